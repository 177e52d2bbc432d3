"""python -m orvex: the orvex command."""
import sys

from orvex.cli import main

sys.exit(main())

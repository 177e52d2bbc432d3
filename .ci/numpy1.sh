#!/usr/bin/env bash
# The vector functions load NumPy's C API at run time and must work with the
# last NumPy 1.x as well: their tests run once more with NumPy 1.26 put in
# front of the NumPy 2 of the interpreter that tests/run.sh installed the
# module into. A folder on PYTHONPATH rather than a second virtual
# environment: that one would see the base interpreter's site-packages, not
# the active environment's with the module in it.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
target=$PWD/build/numpy1
rm -rf "$target"
if ! "$PYTHON" -m pip install -q --no-deps --only-binary=:all: --target "$target" numpy==1.26.4; then
    echo "NumPy 1.26 could not be installed for $("$PYTHON" -V 2>&1) (no wheel or no network): run skipped"
    exit 0
fi
export PYTHONPATH="$target${PYTHONPATH:+:$PYTHONPATH}"
cd tests
"$PYTHON" -c 'import numpy, sys; sys.exit(0 if numpy.__version__.startswith("1.") else "NumPy 1.x is not the one imported")'
"$PYTHON" -m pytest -q -p no:cacheprovider test_vectors.py test_vectors_batch.py test_vectors_memory.py

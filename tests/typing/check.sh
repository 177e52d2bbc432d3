#!/usr/bin/env bash
# Checks what a type checker sees of the installed module: mypy's stubtest
# compares the stub with the module, then mypy and pyright check user_code.py
# and front_door.py (both are also run once on the sample files). Expects the
# module installed into $PYTHON (tests/run.sh does that). A checker that
# cannot be installed is reported and skipped; anything a checker finds fails.
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python3}
samples=$PWD/../../examples/samples
# Known-good releases: a new checker release may not break CI on its own.
mypy=mypy==2.4.1
pyright=pyright==1.1.414
# The pyright package runs its bundled copy with the node on PATH, or with
# node from a PyPI wheel; left alone it would fetch node from elsewhere.
command -v node >/dev/null 2>&1 || pyright="pyright[nodejs]==1.1.414"
export PYRIGHT_PYTHON_IGNORE_WARNINGS=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp user_code.py front_door.py "$work/"
cd "$work"

"$PYTHON" user_code.py "$samples" >/dev/null
"$PYTHON" front_door.py "$samples" >/dev/null

failed=0
if "$PYTHON" -m pip install -q "$mypy"; then
    "$PYTHON" -m mypy.stubtest orvex || failed=1
    "$PYTHON" -m mypy --strict --warn-unused-ignores --cache-dir "$work/.mypy_cache" user_code.py front_door.py || failed=1
else
    echo "mypy could not be installed: stubtest and mypy skipped"
fi
if "$PYTHON" -m pip install -q "$pyright" && "$PYTHON" -m pyright --version >/dev/null 2>&1; then
    # The interpreter itself, not a launcher (pyenv's shims are scripts).
    "$PYTHON" -m pyright --pythonpath "$("$PYTHON" -c 'import sys; print(sys.executable)')" user_code.py front_door.py || failed=1
else
    echo "pyright could not be installed or started: pyright skipped"
fi
exit $failed

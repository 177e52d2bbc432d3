#!/usr/bin/env bash
# The whole benchmark in one command (see bench/README.md):
#     bash bench/run.sh [--quick] [--mb 50] [--json results.json]
# The peers are installed into the benchmark's own venv only (build/bench-venv);
# a peer that cannot be installed shows as failing in the table. The floor
# driver is built with the C++ tests.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
VENV=${BENCH_VENV:-build/bench-venv}

[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv --system-site-packages "$VENV"
for peer in praatio tgt textgrid praat-parselmouth pyarrow numpy; do
    "$VENV/bin/python" -m pip install -q "$peer" || echo "warning: $peer not installed"
done
"$VENV/bin/python" -m pip install -q .

cmake -S . -B build/cpp-tests -DORVEX_TESTS=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/cpp-tests -j2 --target core_parse >/dev/null

exec "$VENV/bin/python" bench/suite.py --driver build/cpp-tests/core_parse "$@"

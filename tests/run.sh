#!/usr/bin/env bash
# Sets up and runs every test the project has: builds and installs the
# module, builds and runs the C++ tests of the core library, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

"$PYTHON" -m pip install -q '.[test]'

cmake -S . -B build/cpp-tests -DORVEX_TESTS=ON -DORVEX_WERROR=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/cpp-tests -j2
shopt -s nullglob
cpp_passed=0
for test in build/cpp-tests/test_*; do
    [ -x "$test" ] || continue
    "$test"
    cpp_passed=$((cpp_passed + 1))
done
echo "C++ tests: $cpp_passed passed, 0 failed"

# Run from the tests directory so that the installed module is imported,
# not anything in the source tree.
cd tests
"$PYTHON" -m pytest -q -p no:cacheprovider "$@"

#!/usr/bin/env bash
# Sets up and runs every test the project has: builds and installs the
# module, builds and runs the C++ tests of the core library, then pytest.
# Needs a C++20 compiler and a Python with pip; installs cmake and ninja from
# PyPI when the machine has none.
# Started as `sh tests/run.sh` or from another shell: go on in bash.
if [ -z "${BASH_VERSION:-}" ]; then exec bash "$0" "$@"; fi
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

missing() {
    echo "tests/run.sh: $*" >&2
    exit 1
}
command -v "$PYTHON" >/dev/null 2>&1 || missing "no Python interpreter '$PYTHON' (set PYTHON=/path/to/python)"
"$PYTHON" -m pip --version >/dev/null 2>&1 || missing "$PYTHON has no pip (apt-get install python3-pip, or use a virtual environment)"
command -v "${CXX:-c++}" >/dev/null 2>&1 || missing "no C++ compiler '${CXX:-c++}': install g++ 12 or later (apt-get install g++) or set CXX"

# Tools pip installs for this interpreter land in its scripts folder, which
# is not on PATH when a virtual environment is used without activating it.
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
cmake_ok() {
    command -v cmake >/dev/null 2>&1 || return 1
    # the version CMakeLists.txt asks for
    printf '%s\n' 3.18 "$(cmake --version | sed -n '1s/[^0-9]*\([0-9.]*\).*/\1/p')" | sort -C -V
}
if ! cmake_ok || ! command -v ninja >/dev/null 2>&1; then
    "$PYTHON" -m pip install -q cmake ninja || missing "cmake >= 3.18 and ninja are needed and pip could not install them"
    cmake_ok || missing "cmake >= 3.18 is needed; the one on PATH is $(command -v cmake)"
fi

# One build serves the module and the C++ tests: pip builds in
# build/cpp-tests with the tests switched on, so the core is compiled once,
# and the module too gets -Werror. Its folder is kept, so a re-run compiles
# only what changed. The cmake and ninja found above are the ones it uses
# (a folder made with another generator cannot switch: it is made anew).
if [ -f build/cpp-tests/CMakeCache.txt ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' build/cpp-tests/CMakeCache.txt; then
    rm -rf build/cpp-tests
fi
"$PYTHON" -m pip install -q -C build-dir=build/cpp-tests -C cmake.define.ORVEX_TESTS=ON \
    -C cmake.define.ORVEX_WERROR=ON '.[test]'
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

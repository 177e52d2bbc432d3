#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (g++, in build/asan, installed into its own venv build/asan-venv so that the
# normal install is left alone) and runs the whole pytest suite against it,
# the C++ tests of the core too: sanitize.sh [pytest args]. Fails on any
# failed test and on any sanitizer report.
#
# The ASan runtime of the compiler that built the module is preloaded into
# the interpreter, which was not built with it. Leak detection is on, with
# .ci/lsan.supp for what the interpreter itself leaves at exit. Every
# ASan and LSan report of every process (children started by the tests
# included) is written under build/asan/reports; the run fails if there is
# any, whatever pytest says.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
PYTHON=${PYTHON:-python3}
CXX=${CXX:-g++}
flags="-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
venv=$root/build/asan-venv
reports=$root/build/asan/reports

"$PYTHON" -m venv --system-site-packages "$venv"
# The C++ tests are built in the same folder as the module: the core is
# compiled once, with the same flags for both.
"$venv/bin/python" -m pip install -q --upgrade-strategy only-if-needed \
    -C build-dir=build/asan -C cmake.build-type=None -C cmake.define.ORVEX_TESTS=ON \
    -C cmake.define.CMAKE_CXX_COMPILER="$(command -v "$CXX")" -C cmake.define.CMAKE_CXX_FLAGS="$flags" '.[test]'

asan_runtime=$("$CXX" -print-file-name=libasan.so)
[ -f "$asan_runtime" ] || { echo "sanitize: no ASan runtime for $CXX" >&2; exit 1; }
# The interpreter does not link the C++ runtime; loaded only with the module,
# it would come after ASan has looked for the real __cxa_throw, and the first
# exception thrown would stop the process.
cxx_runtime=$("$CXX" -print-file-name=libstdc++.so)
rm -rf "$reports"
mkdir -p "$reports"
# halt_on_error stops a process at its first report, and the report file
# fails the run even where the process's exit status goes unchecked.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=66:log_path=$reports/asan"
# use_tls=0: the GCC 12 runtime misreads the dynamic TLS of threads that
# touched a dlopen()ed library's thread_local (the module's pool workers),
# and the leak check then crashes. Nothing of ours is kept only in TLS.
export LSAN_OPTIONS="use_tls=0:suppressions=$root/.ci/lsan.supp:print_suppressions=0"
# UBSan of g++ 12 writes to stderr only (it ignores log_path); halting makes
# its report fail the process, and pytest captures at the Python level only
# (--capture=sys) so that a report of the test process itself stays visible.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# Tests whose thresholds cannot hold under ASan (memory growth, timing) can
# look at this.
export ORVEX_SANITIZERS=1

status=0
for test in build/asan/test_*; do
    [ -x "$test" ] || continue
    "$test" >/dev/null || status=1
done

# Cases that cannot run under ASan, and only those:
# - RSS growth thresholds: ASan keeps freed blocks in quarantine and maps
#   shadow memory, so the resident set grows by design.
# Node ids are relative to the repository root, where pytest's settings are.
deselect=(--deselect tests/test_vectors_memory.py::test_making_and_dropping_results_does_not_grow_memory
          --deselect tests/test_arrow_consumers.py::test_many_rounds_do_not_grow_memory)
(cd tests && LD_PRELOAD="$asan_runtime $cxx_runtime" "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "${deselect[@]}" "$@") \
    || status=1

if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitize: reports found:" >&2
    for report in "$reports"/*; do
        echo "---- $report" >&2
        head -40 "$report" >&2
    done
    status=1
fi
[ $status -eq 0 ] && echo "sanitize: clean (no ASan, LSan or UBSan report)"
exit $status

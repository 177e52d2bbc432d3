"""textgrids2arrow against the vector functions, and its memory when a large corpus streams to Parquet.

    python3 bench/bench_arrow.py [--mb 50] [--files 4000] [--parquet 100000,20000] [--repeat 7]

1. One large long-layout file (as bench_vectors.py makes it): pa.table(textgrids2arrow([f])) against
   textgrid2vectors(f, False, "long"), in a child pinned to one CPU and in a child with every CPU.
2. The corpus of bench_batch.py: pa.table(textgrids2arrow(paths)) against textgrids2vectors(paths).
3. Small files streamed into one Parquet file with pyarrow.parquet.ParquetWriter: the peak RSS above the
   interpreter's resident size before the call (pyarrow and orvex imported), for each count given. The
   files are hard links to the 4,000 files of step 2, so that a large count costs directory entries,
   not disk.
4. What a result holds per row: the RSS it keeps, for the table and for the vectors.

Timings are medians of --repeat calls, the two functions interleaved so that both see the same machine;
each figure comes from its own child interpreter, pinned before orvex is imported.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_batch import write_batch  # noqa: E402
from bench_read import make_long_file  # noqa: E402

TIMING_CHILD = r"""
import gc, json, os, statistics, sys, time
if sys.argv[1] != "all":
    os.sched_setaffinity(0, {int(c) for c in sys.argv[1].split(",")})
import pyarrow as pa
import orvex
repeat = int(sys.argv[2])
with open(sys.argv[3]) as f:
    paths = f.read().split("\n")
if len(paths) == 1:
    vectors = lambda: orvex.textgrid2vectors(paths[0], False, "long")
else:
    vectors = lambda: orvex.textgrids2vectors(paths, False, "long")
arrow = lambda: pa.table(orvex.textgrids2arrow(paths, False, "long"))
def timed(fn):
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    del result
    gc.collect()
    return elapsed
timed(vectors); timed(arrow)  # page cache, pool start-up
t_vec, t_arrow = [], []
for _ in range(repeat):
    t_vec.append(timed(vectors))
    t_arrow.append(timed(arrow))
print(json.dumps({"vectors": statistics.median(t_vec), "arrow": statistics.median(t_arrow),
                  "cpus": len(os.sched_getaffinity(0))}))
"""

HELD_CHILD = r"""
import ctypes, gc, json, sys
import numpy, pyarrow as pa
import orvex
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
with open(sys.argv[2]) as f:
    paths = f.read().split("\n")
call = (lambda: pa.table(orvex.textgrids2arrow(paths, False, "long"))) if sys.argv[1] == "arrow" else \
    (lambda: orvex.textgrids2vectors(paths, False, "long"))
warm = call(); del warm; gc.collect()
ctypes.CDLL(None).malloc_trim(0); pa.default_memory_pool().release_unused()
before = rss()
result = call()
gc.collect()
ctypes.CDLL(None).malloc_trim(0); pa.default_memory_pool().release_unused()
held = rss() - before
rows = result.num_rows if sys.argv[1] == "arrow" else len(result[0])
buffers = result.nbytes if sys.argv[1] == "arrow" else None
print(json.dumps({"held": held, "rows": rows, "buffers": buffers}))
"""

PARQUET_CHILD = r"""
import json, os, sys
import pyarrow as pa, pyarrow.parquet as pq
import orvex
def status_kb(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))
files, out = sys.argv[1], sys.argv[2]
baseline = status_kb("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts afresh from here
stream = orvex.textgrids2arrow(files, False, "long")
reader = pa.RecordBatchReader.from_stream(stream)
rows = batches = 0
with pq.ParquetWriter(out, reader.schema) as writer:
    for batch in reader:
        writer.write_batch(batch)
        rows += batch.num_rows
        batches += 1
print(json.dumps({"baseline_kb": baseline, "peak_kb": status_kb("VmHWM:"), "rows": rows, "batches": batches,
                  "files": stream.files_total, "failures": len(stream.failures)}))
"""


def run_child(code, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def timing_pair(label, cpus, repeat, paths_file, baseline_name):
    r = run_child(TIMING_CHILD, cpus, repeat, paths_file)
    print(f"  {label:22s} {baseline_name} {r['vectors'] * 1e3:8.1f} ms, pa.table(textgrids2arrow) "
          f"{r['arrow'] * 1e3:8.1f} ms: {r['vectors'] / r['arrow']:5.2f}x faster ({r['cpus']} CPU)")


def write_paths(path, paths):
    with open(path, "w") as f:
        f.write("\n".join(paths))
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=50)
    parser.add_argument("--files", type=int, default=4000)
    parser.add_argument("--parquet", default="100000,20000")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    cpus = sorted(os.sched_getaffinity(0))
    print(f"CPUs in the mask: {len(cpus)}; timings are medians of {args.repeat}")

    with tempfile.TemporaryDirectory() as tmp:
        big = os.path.join(tmp, "big.TextGrid")
        rows = make_long_file(big, args.mb)
        print(f"1. one file: {os.path.getsize(big) / 1e6:.1f} MB, {rows} intervals")
        big_list = write_paths(os.path.join(tmp, "big.txt"), [big])
        timing_pair("pinned to one CPU:", str(cpus[0]), args.repeat, big_list, "textgrid2vectors")
        timing_pair("all CPUs:", "all", args.repeat, big_list, "textgrid2vectors")
        os.unlink(big)

        corpus_dir = os.path.join(tmp, "corpus")
        os.mkdir(corpus_dir)
        paths = write_batch(corpus_dir, args.files)
        size = sum(os.path.getsize(p) for p in paths) / 1e6
        print(f"2. corpus: {args.files} files, {size:.1f} MB")
        corpus_list = write_paths(os.path.join(tmp, "corpus.txt"), paths)
        timing_pair("pinned to one CPU:", str(cpus[0]), args.repeat, corpus_list, "textgrids2vectors")
        timing_pair("all CPUs:", "all", args.repeat, corpus_list, "textgrids2vectors")

        print("3. small files streamed into one Parquet file (ParquetWriter), peak RSS above the baseline:")
        for count in (int(c) for c in args.parquet.split(",")):
            links = os.path.join(tmp, f"links{count}")
            os.mkdir(links)
            for k in range(count):
                os.link(paths[k % len(paths)], os.path.join(links, f"{k:06d}.TextGrid"))
            r = run_child(PARQUET_CHILD, links, os.path.join(tmp, "out.parquet"))
            grown = (r["peak_kb"] - r["baseline_kb"]) / 1024
            print(f"  {r['files']:7d} files, {r['rows']} rows in {r['batches']} batches: baseline "
                  f"{r['baseline_kb'] / 1024:6.1f} MiB, peak {r['peak_kb'] / 1024:6.1f} MiB, "
                  f"{grown:6.1f} MiB above the baseline")
            for name in os.listdir(links):
                os.unlink(os.path.join(links, name))
            os.rmdir(links)

        print("4. what the result of the corpus of step 2 holds:")
        for call in ("arrow", "vectors"):
            r = run_child(HELD_CHILD, call, corpus_list)
            extra = f"; Arrow buffers {r['buffers'] / r['rows']:.1f} B/row" if r["buffers"] else ""
            name = "pa.table(textgrids2arrow)" if call == "arrow" else "textgrids2vectors"
            print(f"  {name:26s} {r['rows']} rows, holds {r['held'] / 2**20:6.1f} MiB RSS, "
                  f"{r['held'] / r['rows']:5.1f} B/row{extra}")


if __name__ == "__main__":
    main()

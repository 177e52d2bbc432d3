"""Figures of single concerns, each run alone by an option of the suite:

    python3 bench/suite.py --concern read|batch|vectors|write|arrow|praat [--mb 50] [--files 4000] [--repeat N]

read     textgrid2data on the large grid against reading its bytes.
batch    textgrids2data on all CPUs against one CPU, and a small batch (below the pool's threshold on a
         2-CPU machine) against the same files read one by one.
vectors  textgrid2vectors against textgrid2data; the peak RSS of each in a fresh child against the file
         size; and a check that every number and flag array views the very buffer its owner object holds
         (no copy after the core library made it).
write    data2textgrid and vectors2textgrid (columns as lists and as NumPy arrays) writing the large grid
         in the long layout, against one f.write of the same bytes prepared in memory.
arrow    pa.table(textgrids2arrow) against the vector functions on the large grid and on the small grids;
         the peak RSS of small files streamed into one Parquet file (--parquet counts, hard links to the
         small grids); and what a result holds per row.
praat    pa.table(textgrids2arrow) with its default layout "praat" against "auto", on one CPU: the large
         grid in both layouts and the real-world folder (--corpus), wall and CPU time, calls interleaved.

The module must be installed; the inputs come from generate.py (the large grid in the long layout, the
small grids), written afresh into a temporary folder.
"""
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time

import generate


def timed(fn):
    """Seconds of one call; its result is freed outside the timed span."""
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def best_of(repeat, fn):
    return min(timed(fn) for _ in range(repeat))


def run_child(code, *args):
    """Runs code in a fresh interpreter with argv args; returns what it printed last, as JSON."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out.splitlines()[-1])


def write_paths(path, paths):
    with open(path, "w") as f:
        f.write("\n".join(paths))
    return path


def pinned_cpu():
    return str(sorted(os.sched_getaffinity(0))[0])


# ---- read ---------------------------------------------------------------------------------------------------

def read(tmp, args):
    import orvex
    path, _, items = generate.large_grid(tmp, args.mb)
    size = os.path.getsize(path) / 1e6

    def read_bytes():
        with open(path, "rb") as f:
            return f.read()

    t_bytes = best_of(args.repeat, read_bytes)
    t_data = best_of(args.repeat, lambda: orvex.textgrid2data(path, True, "long"))
    print(f"file: {size:.1f} MB, {items} items in 4 tiers")
    print(f"open(path, 'rb').read():           {t_bytes * 1e3:8.1f} ms  {size / t_bytes:8.0f} MB/s")
    print(f"textgrid2data(path, True, 'long'): {t_data * 1e3:8.1f} ms  {size / t_data:8.0f} MB/s")


# ---- batch --------------------------------------------------------------------------------------------------

# argv: cpus or "all", repeat, paths file.
BATCH_CHILD = r"""
import json, os, sys, time
if sys.argv[1] != "all":
    os.sched_setaffinity(0, {int(c) for c in sys.argv[1].split(",")})
import orvex
with open(sys.argv[3]) as f:
    paths = f.read().split("\n")
orvex.textgrids2data(paths, True, "long")  # page cache, pool start-up
best = float("inf")
for _ in range(int(sys.argv[2])):
    start = time.perf_counter()
    result = orvex.textgrids2data(paths, True, "long")
    best = min(best, time.perf_counter() - start)
    del result  # freeing the result is the caller's business, not the call's
print(json.dumps({"best": best, "cpus": len(os.sched_getaffinity(0))}))
"""


def batch(tmp, args):
    import orvex
    paths = generate.small_grids(tmp, args.files)
    paths_file = write_paths(os.path.join(tmp, "paths.txt"), paths)
    size = sum(os.path.getsize(p) for p in paths) / 1e6
    print(f"batch: {args.files} files, {size:.1f} MB, 2 interval tiers each; "
          f"CPUs in the mask: {len(os.sched_getaffinity(0))}")
    on_all = run_child(BATCH_CHILD, "all", args.repeat, paths_file)
    on_one = run_child(BATCH_CHILD, pinned_cpu(), args.repeat, paths_file)
    print(f"textgrids2data, {on_all['cpus']} CPUs:  {on_all['best'] * 1e3:8.1f} ms")
    print(f"textgrids2data, 1 CPU:   {on_one['best'] * 1e3:8.1f} ms")
    print(f"speed-up:                {on_one['best'] / on_all['best']:8.2f}x")

    small = paths[:args.small]
    orvex.textgrids2data(small, True, "long")
    # Interleaved, many rounds: the two figures see the same machine noise.
    t_batch = t_single = float("inf")
    for _ in range(max(50, args.repeat * 10)):
        t_batch = min(t_batch, timed(lambda: orvex.textgrids2data(small, True, "long")))
        t_single = min(t_single, timed(lambda: [orvex.textgrid2data(p, True, "long") for p in small]))
    print(f"{args.small} files, textgrids2data:       {t_batch * 1e6:8.0f} us")
    print(f"{args.small} files, {args.small} x textgrid2data:   {t_single * 1e6:8.0f} us")
    print(f"batch / one by one:               {t_batch / t_single:8.2f}")


# ---- vectors ------------------------------------------------------------------------------------------------

# VmHWM, unlike ru_maxrss, starts afresh at exec: the child's figure is not inflated by the parent it was
# forked from. argv: the call ("read" for open().read()), the path.
RSS_CHILD = r"""
import json, sys
import numpy, orvex

def status_kb(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))

call, path = sys.argv[1], sys.argv[2]
before, resident = status_kb("VmHWM:"), status_kb("VmRSS:")
if call == "read":
    with open(path, "rb") as f:
        result = f.read()
else:
    result = getattr(orvex, call)(path, True, "long")
print(json.dumps({"before_kb": before, "peak_kb": status_kb("VmHWM:"), "held_kb": status_kb("VmRSS:") - resident}))
"""


def owner_address(array):
    # The owner's first field after the object header is the buffer address; Python offers no accessor for
    # it, so read it where it lies.
    return ctypes.c_void_p.from_address(id(array.base) + object.__basicsize__).value


def vectors(tmp, args):
    import numpy
    import orvex
    path, _, rows = generate.large_grid(tmp, args.mb)
    size = os.path.getsize(path)
    print(f"file: {size / 1e6:.1f} MB, {rows} items in 4 tiers, numpy {numpy.__version__}")

    # Interleaved so that both see the same machine state.
    t_vec = t_data = float("inf")
    for _ in range(args.repeat):
        t_vec = min(t_vec, timed(lambda: orvex.textgrid2vectors(path, True, "long")))
        t_data = min(t_data, timed(lambda: orvex.textgrid2data(path, True, "long")))
    print(f"textgrid2vectors: {t_vec * 1e3:8.1f} ms")
    print(f"textgrid2data:    {t_data * 1e3:8.1f} ms   ({t_data / t_vec:.2f}x the time of textgrid2vectors)")

    print("RSS of one call in a fresh child process: peak, peak grown during the call, and what the result "
          f"still holds afterwards; file size {size / 2**20:.1f} MiB:")
    for call in ("read", "textgrid2vectors", "textgrid2data"):
        r = run_child(RSS_CHILD, call, path)
        peak, grown, held = (v * 1024 for v in (r["peak_kb"], r["peak_kb"] - r["before_kb"], r["held_kb"]))
        label = "open().read()" if call == "read" else call
        print(f"  {label:17s} peak {peak / 2**20:6.1f} MiB, grown {grown / 2**20:6.1f} MiB "
              f"({grown / size:.2f}x the file), result holds {held / 2**20:6.1f} MiB ({held / rows:.0f} B/row)")

    result = orvex.textgrid2vectors(path, True, "long")
    names = result[3]
    print(f"tier-name column: {len(names)} rows, {len({id(s) for s in names})} distinct str objects")
    for index, column in ((0, "tmins"), (1, "tmaxs"), (4, "is_intervals")):
        array = result[index]
        data = array.__array_interface__["data"][0]
        owner = owner_address(array)
        verdict = "same buffer, not copied" if data == owner and not array.flags.owndata else "COPIED"
        print(f"  {column:12s} array data 0x{data:x}, owner {type(array.base).__name__} buffer 0x{owner:x}: "
              f"{verdict}")


# ---- write --------------------------------------------------------------------------------------------------

def to_columns(data):
    tmins, tmaxs, labels, names, flags = [], [], [], [], []
    for name, is_interval, items in data:
        for a, b, label in items:
            tmins.append(a)
            tmaxs.append(b if is_interval else a)
            labels.append(label)
            names.append(name)
            flags.append(is_interval)
    return tmins, tmaxs, labels, names, flags


def write(tmp, args):
    import numpy as np
    import orvex
    data = generate.large_grid_data(args.mb)
    columns = to_columns(data)
    path = os.path.join(tmp, "bench.TextGrid")
    orvex.data2textgrid(data, None, None, path, "long")
    with open(path, "rb") as f:
        prepared = f.read()
    size_mb = len(prepared) / 1e6
    arrays = (np.asarray(columns[0], dtype=np.float64), np.asarray(columns[1], dtype=np.float64), columns[2],
              columns[3], np.asarray(columns[4], dtype=np.bool_))

    def python_write():
        with open(path, "wb") as f:
            f.write(prepared)

    figures = [
        ("data2textgrid", best_of(args.repeat, lambda: orvex.data2textgrid(data, None, None, path, "long"))),
        ("vectors2textgrid (lists)",
         best_of(args.repeat, lambda: orvex.vectors2textgrid(*columns, None, None, path, "long"))),
        ("vectors2textgrid (NumPy)",
         best_of(args.repeat, lambda: orvex.vectors2textgrid(*arrays, None, None, path, "long"))),
        ("f.write of prepared bytes", best_of(args.repeat, python_write)),
    ]
    # The file written last by the orvex calls must equal the prepared bytes.
    orvex.vectors2textgrid(*columns, None, None, path, "long")
    with open(path, "rb") as f:
        assert f.read() == prepared, "vectors2textgrid wrote other bytes than data2textgrid"
    print(f"long layout, {size_mb:.1f} MB, {len(columns[0])} items, best of {args.repeat}, "
          f"cpus {len(os.sched_getaffinity(0))}")
    for label, seconds in figures:
        print(f"  {label:<28} {seconds * 1e3:8.1f} ms  {size_mb / seconds:8.1f} MB/s")


# ---- arrow --------------------------------------------------------------------------------------------------

# argv: cpus or "all", repeat, paths file.
ARROW_TIMING_CHILD = r"""
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
import json, sys
import numpy, pyarrow as pa
import orvex
with open(sys.argv[1]) as f:
    paths = f.read().split("\n")
table = pa.table(orvex.textgrids2arrow(paths, False, "long"))
arrow = sum(b.size for column in table.columns for chunk in column.chunks for b in chunk.buffers() if b is not None)
v = orvex.textgrids2vectors(paths, False, "long")
arrays = sum(v[i].nbytes for i in (0, 1, 4, 5))
lists = sys.getsizeof(v[2]) + sys.getsizeof(v[3])
strs = {id(s): sys.getsizeof(s) for column in (v[2], v[3]) for s in column}
print(json.dumps({"rows": table.num_rows, "arrow": arrow, "arrays": arrays, "lists": lists,
                  "strs": sum(strs.values()), "distinct": len(strs)}))
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


def arrow_timing(label, cpus, repeat, paths_file, baseline_name):
    r = run_child(ARROW_TIMING_CHILD, cpus, repeat, paths_file)
    print(f"  {label:22s} {baseline_name} {r['vectors'] * 1e3:8.1f} ms, pa.table(textgrids2arrow) "
          f"{r['arrow'] * 1e3:8.1f} ms: {r['vectors'] / r['arrow']:5.2f}x faster ({r['cpus']} CPU)")


def arrow(tmp, args):
    print(f"CPUs in the mask: {len(os.sched_getaffinity(0))}; timings are medians of {args.repeat}")
    big, _, rows = generate.large_grid(tmp, args.mb)
    print(f"1. one file: {os.path.getsize(big) / 1e6:.1f} MB, {rows} items")
    big_list = write_paths(os.path.join(tmp, "big.txt"), [big])
    arrow_timing("pinned to one CPU:", pinned_cpu(), args.repeat, big_list, "textgrid2vectors")
    arrow_timing("all CPUs:", "all", args.repeat, big_list, "textgrid2vectors")

    corpus_dir = os.path.join(tmp, "corpus")
    os.mkdir(corpus_dir)
    paths = generate.small_grids(corpus_dir, args.files)
    size = sum(os.path.getsize(p) for p in paths) / 1e6
    print(f"2. corpus: {args.files} files, {size:.1f} MB")
    corpus_list = write_paths(os.path.join(tmp, "corpus.txt"), paths)
    arrow_timing("pinned to one CPU:", pinned_cpu(), args.repeat, corpus_list, "textgrids2vectors")
    arrow_timing("all CPUs:", "all", args.repeat, corpus_list, "textgrids2vectors")

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

    print("4. what the result of the corpus of step 2 holds, counted exactly:")
    r = run_child(HELD_CHILD, corpus_list)
    n = r["rows"]
    held = r["arrays"] + r["lists"] + r["strs"]
    print(f"  pa.table(textgrids2arrow): {r['arrow'] / n:5.1f} B/row (Arrow buffers; each label's bytes once)")
    print(f"  textgrids2vectors:         {held / n:5.1f} B/row (arrays {r['arrays'] / n:.1f}, list slots "
          f"{r['lists'] / n:.1f}, {r['distinct']} distinct str objects {r['strs'] / n:.1f})")


# ---- praat ----------------------------------------------------------------------------------------------------

PRAAT_CHILD = r"""
import json, os, sys, time
os.sched_setaffinity(0, {int(sys.argv[1])})
import pyarrow as pa
import orvex
repeat = int(sys.argv[2])
with open(sys.argv[3]) as f:
    paths = f.read().split("\n")
best = {}
for layout in ("auto", "praat") * 2:  # page cache, pool start-up
    pa.table(orvex.textgrids2arrow(paths, False, layout))
for _ in range(repeat):
    for layout in ("auto", "praat"):
        wall, cpu = time.perf_counter(), time.process_time()
        pa.table(orvex.textgrids2arrow(paths, False, layout))
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        old = best.get(layout, (wall, cpu))
        best[layout] = (min(old[0], wall), min(old[1], cpu))
print(json.dumps(best))
"""


def praat(tmp, args):
    print(f"pa.table(textgrids2arrow(files, False, layout)) on one CPU, best of {args.repeat}, interleaved")
    long_path, short_path, rows = generate.large_grid(tmp, args.mb)
    inputs = [("large long", [long_path]), ("large short", [short_path])]
    if os.path.isdir(args.corpus):
        found = sorted(os.path.join(root, name) for root, _, names in os.walk(args.corpus) for name in names)
        inputs.append((f"real-world ({len(found)} files)", found))
    for label, paths in inputs:
        r = run_child(PRAAT_CHILD, pinned_cpu(), args.repeat, write_paths(os.path.join(tmp, "list.txt"), paths))
        (aw, ac), (pw, pc) = r["auto"], r["praat"]
        print(f"  {label:24s} auto {aw * 1e3:7.1f} ms ({ac * 1e3:7.1f} CPU), praat {pw * 1e3:7.1f} ms "
              f"({pc * 1e3:7.1f} CPU): {pw / aw:.3f}x wall, {pc / ac:.3f}x CPU")


CONCERNS = {"read": read, "batch": batch, "vectors": vectors, "write": write, "arrow": arrow, "praat": praat}


# How many calls each concern's figures are the best or the median of, unless --repeat says.
REPEATS = {"read": 5, "batch": 7, "vectors": 5, "write": 5, "arrow": 7, "praat": 15}


def run(name, args):
    """Runs one concern with the suite's arguments (mb, files, small, parquet, repeat)."""
    if args.repeat is None:
        args.repeat = REPEATS[name]
    with tempfile.TemporaryDirectory() as tmp:
        CONCERNS[name](tmp, args)

"""The whole benchmark in one run: orvex against every peer and against the floors.

    bash bench/run.sh [--quick] [--mb 50] [--json results.json]
    python3 bench/suite.py --concern read|batch|vectors|write|arrow|praat [--mb 50] [--repeat N]

bench/run.sh prepares the benchmark's own venv (peers installed there only) and the
C++ floor driver, then runs this file; see bench/README.md for the table it prints.

Every figure is the median of several calls made in a child interpreter, one child per
figure, pinned to one CPU ("1 CPU") or free on every CPU the machine grants ("all").
The inputs are generated afresh into a temporary folder (bench/generate.py).
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import concerns  # noqa: E402
import generate  # noqa: E402

PEERS = ("praatio", "tgt", "textgrid", "parselmouth")

# Runs one task several times in a fresh interpreter and prints the times as JSON.
# argv: a JSON job {"task", "args", "repeat", "warmup", "cpu"}; "cpu" null leaves the
# process free, a number pins it before anything is imported (orvex reads its CPU count
# from the affinity mask).
CHILD = r"""
import json, os, sys, time
with open(sys.argv[1]) as f:  # a file: a batch's paths outgrow the argument list
    job = json.load(f)
# Some peers print as they read; only the figures go to the real stdout.
figures_out, sys.stdout = sys.stdout, sys.stderr
if job["cpu"] is not None:
    os.sched_setaffinity(0, {job["cpu"]})

def status_kb(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))

task, args = job["task"], job["args"]

def collect_praatio(path):
    from praatio import textgrid as ptg
    tg = ptg.openTextgrid(path, includeEmptyIntervals=True)
    return [(name, list(tg.getTier(name).entries)) for name in tg.tierNames]

def tgt_items(tg):
    import tgt
    out = []
    for tier in tg.tiers:
        if isinstance(tier, tgt.core.IntervalTier):
            out.append([(i.start_time, i.end_time, i.text) for i in tier.intervals])
        else:
            out.append([(p.time, p.text) for p in tier.points])
    return out

def collect_tgt(path):
    import tgt
    return tgt_items(tgt.io.read_textgrid(path, include_empty_intervals=True))

def collect_textgrid(path):
    import textgrid
    tg = textgrid.TextGrid.fromFile(path)
    out = []
    for tier in tg:
        if isinstance(tier, textgrid.IntervalTier):
            out.append([(i.minTime, i.maxTime, i.mark) for i in tier])
        else:
            out.append([(p.time, p.mark) for p in tier])
    return out

def collect_parselmouth(path):
    # Praat's own reader, then its items as Python objects in one conversion:
    # the quickest way a parselmouth user gets at every time and label.
    import parselmouth
    return tgt_items(parselmouth.read(path).to_tgt())

def probe():
    # Which of the paths the task reads at all: one child for a whole folder.
    collect = globals()["collect_" + task[5:]]
    ok = []
    for i, p in enumerate(args["paths"]):
        try:
            collect(p)
            ok.append(i)
        except Exception:
            pass
    return ok

if args.get("probe"):
    print(json.dumps({"ok": probe()}), file=figures_out)
    sys.exit(0)

def make_call():
    if task == "read_bytes":
        def run():
            for p in args["paths"]:
                with open(p, "rb") as f:
                    f.read()
        return run
    if task.startswith("peer_"):
        collect = globals()["collect_" + task[5:]]
        paths = args["paths"]
        return lambda: [collect(p) for p in paths]
    import orvex
    if task == "textgrids2arrow":
        import pyarrow
        # pyarrow's first table from a stream loads about 48 MB of its own,
        # which belongs to the memory baseline, not to the call.
        pyarrow.table(orvex.textgrids2arrow([]))
        paths, strict, layout = args["paths"], args["strict"], args["layout"]
        return lambda: pyarrow.table(orvex.textgrids2arrow(paths, strict, layout))
    if task in ("data2textgrid", "vectors2textgrid"):
        source, out = args["source"], args["out"]
        layout = args["layout"]
        if task == "data2textgrid":
            data = orvex.textgrid2data(source, False, "auto")
            return lambda: orvex.data2textgrid(data[2], None, None, out, layout)
        columns = orvex.textgrid2vectors(source, False, "auto")
        return lambda: orvex.vectors2textgrid(*columns, None, None, out, layout)
    if "vectors" in task:
        import numpy  # noqa: F401  (loaded before the memory baseline, as a user's program would have it)
    fn = getattr(orvex, task)
    strict, layout = args["strict"], args["layout"]
    if task.startswith("textgrids2"):
        paths = args["paths"]
        return lambda: fn(paths, strict, layout)
    path = args["paths"][0]
    return lambda: fn(path, strict, layout)

call = make_call()
base_hwm, base_rss = status_kb("VmHWM:"), status_kb("VmRSS:")
times, cpu_times = [], []
peak = None
for k in range(job["warmup"] + job["repeat"]):
    start, cpu_start = time.perf_counter(), time.process_time()
    result = call()
    elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu_start
    if k == 0:
        peak = (status_kb("VmHWM:") - base_hwm, status_kb("VmRSS:") - base_rss)
    del result  # freeing the result is the caller's business, not the call's
    if k >= job["warmup"]:
        times.append(elapsed)
        cpu_times.append(cpu)
print(json.dumps({"times": times, "cpu_times": cpu_times, "peak_kb": peak[0], "held_kb": peak[1],
                  "cpus": len(os.sched_getaffinity(0))}), file=figures_out)
"""

PRAAT_SCRIPT = """form Read
    sentence list
    integer repeat
endform
paths$# = readLinesFromFile$# (list$)
for k to repeat
    stopwatch
    for i to size (paths$#)
        id = Read from file: paths$# [i]
        removeObject: id
    endfor
    t = stopwatch
    appendInfoLine: fixed$ (t, 6)
endfor
"""

# Which files Praat reads at all, one "ok"/"fail" line per file.
PRAAT_PROBE = """form Probe
    sentence list
endform
paths$# = readLinesFromFile$# (list$)
for i to size (paths$#)
    nocheck Read from file: paths$# [i]
    if numberOfSelected () > 0
        appendInfoLine: "ok"
        Remove
    else
        appendInfoLine: "fail"
    endif
endfor
"""


class Bench:
    def __init__(self, tmp, quick):
        self.tmp = tmp
        self.quick = quick
        self.cpus = sorted(os.sched_getaffinity(0))
        self.rows = []
        self.results = {}
        self.praat = shutil.which("praat")
        self.praat_home = os.path.join(tmp, "praat-home")
        os.makedirs(self.praat_home, exist_ok=True)

    def child(self, task, args, repeat, cpu, warmup=1):
        job = {"task": task, "args": args, "repeat": repeat, "warmup": warmup, "cpu": cpu}
        spec_path = os.path.join(self.tmp, "job.json")
        with open(spec_path, "w") as f:
            json.dump(job, f)
        done = subprocess.run([sys.executable, "-c", CHILD, spec_path], capture_output=True, text=True,
                              cwd=self.tmp)
        if done.returncode != 0:
            return {"error": (done.stderr.strip().splitlines() or ["exit %d" % done.returncode])[-1]}
        return json.loads(done.stdout)

    def pinned(self):
        return self.cpus[0]

    def time(self, key, task, args, repeat, both=False, warmup=1):
        """Median seconds of task, pinned and (both=True) on all CPUs; stored under key."""
        out = {}
        for mode, cpu in (("1", self.pinned()), ("all", None)):
            if mode == "all" and not both:
                continue
            got = self.child(task, args, repeat, cpu, warmup)
            out[mode] = got.get("error") if "error" in got else statistics.median(got["times"])
            if mode == "1" and "peak_kb" in got:
                out["cpu"] = statistics.median(got["cpu_times"])
                out["peak_kb"] = got["peak_kb"]
                out["held_kb"] = got["held_kb"]
        self.results[key] = out
        return out

    def praat_time(self, key, paths, repeat):
        if not self.praat:
            self.results[key] = {"1": "praat not installed"}
            return self.results[key]
        listing = os.path.join(self.tmp, key.replace(" ", "_") + ".txt")
        with open(listing, "w", encoding="utf-8") as f:
            f.write("\n".join(paths) + "\n")
        script = os.path.join(self.tmp, "read.praat")
        with open(script, "w") as f:
            f.write(PRAAT_SCRIPT)
        done = subprocess.run(["taskset", "-c", str(self.pinned()), self.praat, "--run", script, listing,
                               str(repeat)], capture_output=True, text=True, env=dict(os.environ, HOME=self.praat_home))
        if done.returncode != 0:
            self.results[key] = {"1": "fails: " + (done.stderr.strip().splitlines() or ["?"])[-1]}
        else:
            self.results[key] = {"1": statistics.median(float(x) for x in done.stdout.split())}
        return self.results[key]

    def praat_readable(self, paths):
        if not self.praat:
            return []
        listing = os.path.join(self.tmp, "probe.txt")
        with open(listing, "w", encoding="utf-8") as f:
            f.write("\n".join(paths) + "\n")
        script = os.path.join(self.tmp, "probe.praat")
        with open(script, "w") as f:
            f.write(PRAAT_PROBE)
        done = subprocess.run([self.praat, "--run", script, listing], capture_output=True, text=True,
                              env=dict(os.environ, HOME=self.praat_home))
        verdicts = done.stdout.split()
        return [p for p, v in zip(paths, verdicts) if v == "ok"]


def seconds(value):
    if isinstance(value, str):
        return value
    return f"{value * 1e3:.1f} ms" if value < 10 else f"{value:.1f} s"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", help="the core_parse floor driver (needed by the whole suite)")
    parser.add_argument("--concern", choices=sorted(concerns.CONCERNS),
                        help="only the figures of one concern (see bench/concerns.py); no peers, no driver")
    parser.add_argument("--files", type=int, default=4000, help="--concern batch, arrow: the small grids")
    parser.add_argument("--small", type=int, default=19, help="--concern batch: the small batch")
    parser.add_argument("--parquet", default="100000,20000", help="--concern arrow: files streamed to Parquet")
    parser.add_argument("--repeat", type=int, help="--concern: calls per figure")
    parser.add_argument("--mb", type=float, default=50.0)
    parser.add_argument("--quick", action="store_true", help="small inputs, few repeats: a smoke run")
    parser.add_argument("--stream", type=int, default=100_000, help="how many grids the streaming set has")
    parser.add_argument("--json", help="also write every figure to this file")
    parser.add_argument("--corpus", default=os.path.join(HERE, "..", "..", "shared", "realworld", "corpus"))
    args = parser.parse_args()
    if args.concern:
        concerns.run(args.concern, args)
        return
    if not args.driver:
        parser.error("the whole suite needs --driver (bash bench/run.sh builds and passes it)")
    quick = args.quick
    mb = 2.0 if quick else args.mb
    n_small, n_stream = (200, 2000) if quick else (4000, args.stream)
    rep_fast, rep_slow = (3, 1) if quick else (7, 3)
    began = time.perf_counter()

    import orvex
    have_arrow = hasattr(orvex, "textgrids2arrow")
    with tempfile.TemporaryDirectory(prefix="orvex-bench-") as tmp:
        b = Bench(tmp, quick)
        long_path, short_path, n_items = generate.large_grid(tmp, mb)
        # praatio cannot read times with an exponent (3e-07); it gets the same grid
        # with its two tiny times written positionally as well.
        plain_path = generate.large_grid_plain_times(tmp, mb)
        small_dir = os.path.join(tmp, "small")
        stream_dir = os.path.join(tmp, "stream")
        os.makedirs(small_dir)
        os.makedirs(stream_dir)
        small = generate.small_grids(small_dir, n_small)
        stream = generate.small_grids(stream_dir, n_stream, seed=8, words=3)
        size = {"long": os.path.getsize(long_path), "short": os.path.getsize(short_path)}
        print(f"inputs: large grid {n_items} items, long {size['long'] / 1e6:.1f} MB, short "
              f"{size['short'] / 1e6:.1f} MB; {n_small} small grids; {n_stream} streaming grids "
              f"(made in {time.perf_counter() - began:.0f} s); CPUs {len(b.cpus)}; load {os.getloadavg()[0]:.1f}",
              flush=True)

        # Floors.
        floors = {}
        for layout, path in (("long", long_path), ("short", short_path)):
            done = subprocess.run([args.driver, path, layout, str(rep_fast * 2 + 1)], capture_output=True,
                                  text=True, check=True)
            floors[layout] = json.loads(done.stdout)
            b.time(f"read_bytes {layout}", "read_bytes", {"paths": [path]}, rep_fast)
        # The floor under every reader of files: the core loading and parsing
        # them from disk on one thread, with nothing built from the grids.
        for name, paths in (("large long", [long_path]), ("small", small)):
            listing = os.path.join(tmp, "list.txt")
            with open(listing, "w") as f:
                f.write("\n".join(paths) + "\n")
            done = subprocess.run(["taskset", "-c", str(b.pinned()), args.driver, "--corpus", listing,
                                   str(rep_fast * 2 + 1)], capture_output=True, text=True, check=True)
            floors[f"read {name}"] = json.loads(done.stdout)
        b.results["floors"] = floors

        # orvex on the large grid.
        for layout, path in (("long", long_path), ("short", short_path)):
            a = {"paths": [path], "strict": True, "layout": layout}
            for fn in ("textgrid2vectors", "textgrid2data", "textgrids2data", "textgrids2vectors"):
                b.time(f"{fn} {layout}", fn, a, rep_fast, both=True)
            if have_arrow:
                b.time(f"textgrids2arrow {layout}", "textgrids2arrow", a, rep_fast, both=True)
                # The stream's default layout, to be read as fast as "auto".
                b.time(f"textgrids2arrow praat {layout}", "textgrids2arrow", dict(a, layout="praat"), rep_fast,
                       both=True)
            b.praat_time(f"praat {layout}", [path], rep_fast)
            for peer in PEERS:
                b.time(f"{peer} {layout}", "peer_" + peer, {"paths": [path]}, rep_slow, warmup=0)
            if layout == "long":
                b.time("praatio long, positional times", "peer_praatio", {"paths": [plain_path]}, rep_slow, warmup=0)
            print(f"  large {layout} done ({time.perf_counter() - began:.0f} s)", flush=True)

        # Writing the large grid, and a grid of 100,000 one-item tiers.
        out = os.path.join(tmp, "written.TextGrid")
        for fn in ("data2textgrid", "vectors2textgrid"):
            b.time(f"{fn} long", fn, {"source": long_path, "out": out, "layout": "long"}, rep_fast, both=True)
        written = {"long": os.path.getsize(out) if os.path.exists(out) else size["long"]}
        many = os.path.join(tmp, "many_tiers.TextGrid")
        n_tiers = 2000 if quick else 100_000
        orvex.data2textgrid([(f"t{i}", True, [(0.0, 1.0, "x")]) for i in range(n_tiers)], None, None, many, "long")
        b.time("data2textgrid many tiers", "data2textgrid", {"source": many, "out": out, "layout": "long"},
               rep_fast, both=True)
        b.time("textgrid2data many tiers", "textgrid2data", {"paths": [many], "strict": True, "layout": "long"},
               rep_fast, both=True)
        print(f"  writing done ({time.perf_counter() - began:.0f} s)", flush=True)

        # Batches of small grids, and the streaming set.
        a_small = {"paths": small, "strict": True, "layout": "long"}
        for fn in ("textgrids2data", "textgrids2vectors") + (("textgrids2arrow",) if have_arrow else ()):
            b.time(f"{fn} small", fn, a_small, rep_fast, both=True)
        b.praat_time("praat small", small, 1 if quick else 3)
        for peer in PEERS:
            b.time(f"{peer} small", "peer_" + peer, {"paths": small}, 1, warmup=0)
        a_stream = {"paths": stream, "strict": True, "layout": "long"}
        for fn in ("textgrids2data",) + (("textgrids2arrow",) if have_arrow else ()):
            b.time(f"{fn} stream", fn, a_stream, rep_slow, both=True)
        b.time("read_bytes stream", "read_bytes", {"paths": stream}, rep_slow)
        print(f"  batches done ({time.perf_counter() - began:.0f} s)", flush=True)

        # The real-world folder: every file orvex and Praat both read.
        corpus = []
        if os.path.isdir(args.corpus):
            for root, _, names in os.walk(args.corpus):
                corpus += [os.path.join(root, n) for n in names]
            corpus.sort()
        real = {}
        if corpus:
            readable = []
            for p in corpus:
                try:
                    orvex.textgrid2data(p, False, "auto")
                    readable.append(p)
                except (KeyboardInterrupt, SystemExit):
                    raise
                except BaseException:  # noqa: BLE001  (orvex's fatal read failure is a BaseException)
                    pass
            praat_ok = set(b.praat_readable(corpus))
            both = [p for p in readable if p in praat_ok]
            real = {"files": len(corpus), "orvex reads": len(readable), "praat reads": len(praat_ok),
                    "timed": len(both), "bytes": sum(os.path.getsize(p) for p in both)}
            fn = "textgrids2arrow" if have_arrow else "textgrids2data"
            b.time(f"{fn} corpus", fn, {"paths": both, "strict": False, "layout": "auto"}, rep_fast, both=True)
            if have_arrow:
                b.time("textgrids2arrow praat corpus", fn, {"paths": both, "strict": False, "layout": "praat"},
                       rep_fast, both=True)
            b.praat_time("praat corpus", both, rep_slow)
            for peer in PEERS:
                got = b.child("peer_" + peer, {"paths": both, "probe": True}, 1, None, 0)
                ok = [both[i] for i in got.get("ok", [])]
                real[f"{peer} reads"] = len(ok) if "error" not in got else got["error"]
                # The peer against orvex on the files it reads.
                b.time(f"{peer} corpus", "peer_" + peer, {"paths": ok}, 1, warmup=0)
                b.time(f"{fn} corpus for {peer}", fn, {"paths": ok, "strict": False, "layout": "auto"}, rep_fast)
        b.results["corpus"] = real
        b.results["sizes"] = {"long": size["long"], "short": size["short"], "written long": written["long"],
                              "items": n_items, "small files": n_small, "stream files": n_stream,
                              "small bytes": sum(os.path.getsize(p) for p in small),
                              "stream bytes": sum(os.path.getsize(p) for p in stream),
                              "many tiers bytes": os.path.getsize(many)}
        b.results["meta"] = {"cpus": len(b.cpus), "load": os.getloadavg(), "seconds": time.perf_counter() - began,
                             "textgrids2arrow": have_arrow}
        report(b.results)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(b.results, f, indent=1)


def report(r):
    import report as rep  # the table lives apart so that it can be printed from a saved run
    print(rep.table(r))


if __name__ == "__main__":
    main()

"""textgrid2vectors against textgrid2data on a generated ~50 MB long-layout file.

    python3 bench/bench_vectors.py [--mb 50] [--repeat 5]

Prints the time of both functions (best of --repeat, measured in one run),
the peak RSS of each in a fresh child process against the file size, and
checks that every number and flag array views the very buffer its owner
object holds (no copy after the core library made it).
"""
import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_read import make_long_file  # noqa: E402

import numpy  # noqa: E402,F401  (loaded up front so that neither timing pays for it)
import orvex  # noqa: E402

# VmHWM, unlike ru_maxrss, starts afresh at exec: the child's figure is not
# inflated by the parent it was forked from.
CHILD = r"""
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


def timed(fn):
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    del result  # freed outside the timed span
    return elapsed


def peak_rss(call, path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(orvex.__file__)] + sys.path))
    out = subprocess.run([sys.executable, "-c", CHILD, call, path], env=env, check=True, capture_output=True,
                         text=True).stdout
    figures = json.loads(out)
    return [v * 1024 for v in (figures["peak_kb"], figures["peak_kb"] - figures["before_kb"], figures["held_kb"])]


def owner_address(array):
    # The owner's first field after the object header is the buffer address;
    # Python offers no accessor for it, so read it where it lies.
    return ctypes.c_void_p.from_address(id(array.base) + object.__basicsize__).value


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=50)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.TextGrid")
        rows = make_long_file(path, args.mb)
        size = os.path.getsize(path)
        print(f"file: {size / 1e6:.1f} MB, {rows} intervals in 3 tiers, numpy {numpy.__version__}")

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
            peak, grown, held = peak_rss(call, path)
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


if __name__ == "__main__":
    main()

"""Reads every sample in each layout the module offers and writes it back in both layouts, into OUT: the files
written and a text dump of what was read. Two builds of the module (x86_64 and aarch64) must give the same bytes.

usage: python wheel_smoke.py SAMPLES_DIR OUT_DIR
"""
import os
import sys

import orvex

samples, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
names = sorted(n for n in os.listdir(samples) if n.endswith(".TextGrid"))
paths = [os.path.join(samples, n) for n in names]
with open(os.path.join(out, "read.txt"), "w", encoding="utf-8") as dump:
    for name, path in zip(names, paths):
        data = orvex.textgrid2data(path, True, "auto")
        dump.write(f"{name} data {data!r}\n")
        vectors = orvex.textgrid2vectors(path, True, "auto")
        dump.write(f"{name} vectors {[getattr(v, 'tolist', lambda v=v: v)() for v in vectors]!r}\n")
        tmin, tmax, tiers = data
        for layout in ("long", "short"):
            stem = os.path.join(out, f"{name}.{layout}")
            orvex.data2textgrid(tiers, tmin, tmax, stem + ".data.TextGrid", layout)
            orvex.vectors2textgrid(*vectors, tmin, tmax, stem + ".vectors.TextGrid", layout)
            again = orvex.textgrid2data(stem + ".data.TextGrid", True, layout)
            assert again == data, (name, layout)
    batch = orvex.textgrids2vectors(paths, True, "auto")
    dump.write(f"batch {[v.tolist() if hasattr(v, 'tolist') else v for v in batch]!r}\n")
    dump.write(f"data batch {orvex.textgrids2data(paths, True, 'auto')!r}\n")
# Number writing and reading differ most between builds: awkward times, written and read back.
times = sorted({round(i * 0.1 + (i % 7) * 1e-9, 12) for i in range(1, 400)} | {2.0**-30, 1 / 3, 123456.789012345})
n = len(times) - 1
labels = [f"x{i}" for i in range(n)]
for layout in ("long", "short"):
    path = os.path.join(out, f"numbers.{layout}.TextGrid")
    orvex.vectors2textgrid(times[:-1], times[1:], labels, ["t"] * n, [True] * n, 0.0, times[-1], path, layout)
    with open(os.path.join(out, "read.txt"), "a", encoding="utf-8") as dump:
        dump.write(f"numbers {layout} {orvex.textgrid2vectors(path, True, layout)[0].tolist()!r}\n")
print(f"{len(names)} samples read and written in {out}")

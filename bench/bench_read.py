"""Read speed of textgrid2data on a generated ~50 MB long-layout file, against reading its bytes.

    python3 bench/bench_read.py [--mb 50] [--repeat 5]
"""
import argparse
import os
import tempfile
import time

import orvex


def make_long_file(path, target_mb):
    """3 interval tiers of equal length, ~400,000 intervals for 50 MB."""
    per_tier = max(1, int(target_mb * 1e6 / 125 / 3))
    out = ['File type = "ooTextFile"\r\nObject class = "TextGrid"\r\n\r\n',
           f"xmin = 0 \r\nxmax = {per_tier * 0.01:.2f} \r\ntiers? <exists> \r\nsize = 3 \r\nitem []: \r\n"]
    for t, name in enumerate(["words", "phones", "syllables"], 1):
        out.append(f'    item [{t}]:\r\n        class = "IntervalTier" \r\n        name = "{name}" \r\n'
                   f"        xmin = 0 \r\n        xmax = {per_tier * 0.01:.2f} \r\n"
                   f"        intervals: size = {per_tier} \r\n")
        out.extend(f"        intervals [{i + 1}]:\r\n            xmin = {i * 0.01:.2f} \r\n"
                   f"            xmax = {(i + 1) * 0.01:.2f} \r\n            text = \"{name[:2]}{i % 997}\" \r\n"
                   for i in range(per_tier))
    with open(path, "w", newline="") as f:
        f.write("".join(out))
    return per_tier * 3


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=50)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.TextGrid")
        rows = make_long_file(path, args.mb)
        size = os.path.getsize(path) / 1e6

        def read_bytes():
            with open(path, "rb") as f:
                f.read()

        t_bytes = best_of(args.repeat, read_bytes)
        t_data = best_of(args.repeat, lambda: orvex.textgrid2data(path, True, "long"))
        print(f"file: {size:.1f} MB, {rows} intervals in 3 tiers")
        print(f"open(path, 'rb').read():           {t_bytes * 1e3:8.1f} ms  {size / t_bytes:8.0f} MB/s")
        print(f"textgrid2data(path, True, 'long'): {t_data * 1e3:8.1f} ms  {size / t_data:8.0f} MB/s")


if __name__ == "__main__":
    main()

"""Throughput of writing a long-layout TextGrid of about 50 MB.

Times data2textgrid, vectors2textgrid (columns as lists and as NumPy arrays)
and, as the floor, one f.write of the same bytes prepared in memory. Each
figure is the best of --repeat runs; MB is 10**6 bytes.

    PYTHONPATH=build/dev python bench/bench_write.py [--mb 50] [--repeat 5]
"""

import argparse
import os
import random
import tempfile
import time

import orvex


def make_data(target_bytes):
    # About 115 bytes per interval block in the long layout with these labels.
    words = ["the", "quick", "brown", "fox", "jumps", "over", "a", "lazy", "dog", "", "sil"]
    rng = random.Random(1)
    n_items = target_bytes // 115
    tiers = []
    for t, name in enumerate(["words", "phones", "syllables", "notes"]):
        items = []
        time_now = 0.0
        for _ in range(n_items // 4):
            step = rng.uniform(0.01, 0.5)
            items.append((time_now, time_now + step, rng.choice(words)))
            time_now += step
        tiers.append((name, t != 3, items))
    return tiers


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


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=50.0)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    data = make_data(int(args.mb * 1e6))
    # Points must not carry an end apart from their time.
    data[3] = (data[3][0], False, [(a, a, label) for a, _, label in data[3][2]])
    columns = to_columns(data)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.TextGrid")
        orvex.data2textgrid(data, None, None, path, "long")
        with open(path, "rb") as f:
            prepared = f.read()
        size_mb = len(prepared) / 1e6
        rows = len(columns[0])

        import numpy as np

        arrays = (
            np.asarray(columns[0], dtype=np.float64),
            np.asarray(columns[1], dtype=np.float64),
            columns[2],
            columns[3],
            np.asarray(columns[4], dtype=np.bool_),
        )

        def python_write():
            with open(path, "wb") as f:
                f.write(prepared)

        figures = [
            ("data2textgrid", best_of(args.repeat, lambda: orvex.data2textgrid(data, None, None, path, "long"))),
            ("vectors2textgrid (lists)", best_of(args.repeat, lambda: orvex.vectors2textgrid(*columns, None, None, path, "long"))),
            ("vectors2textgrid (NumPy)", best_of(args.repeat, lambda: orvex.vectors2textgrid(*arrays, None, None, path, "long"))),
            ("f.write of prepared bytes", best_of(args.repeat, python_write)),
        ]
        # The file written last by the orvex calls must equal the prepared bytes.
        orvex.vectors2textgrid(*columns, None, None, path, "long")
        with open(path, "rb") as f:
            assert f.read() == prepared, "vectors2textgrid wrote other bytes than data2textgrid"

    print(f"long layout, {size_mb:.1f} MB, {rows} items, best of {args.repeat}, cpus {len(os.sched_getaffinity(0))}")
    for label, seconds in figures:
        print(f"  {label:<28} {seconds * 1e3:8.1f} ms  {size_mb / seconds:8.1f} MB/s")


if __name__ == "__main__":
    main()

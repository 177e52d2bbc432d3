"""Batch reading on the worker pool: textgrids2data on all CPUs against one CPU, and a small batch
(below the pool's threshold on a 2-CPU machine) against the same files read one by one.

    python3 bench/bench_batch.py [--files 4000] [--small 19] [--repeat 7]

Each large-batch figure comes from its own child interpreter; the one-CPU child pins itself with
os.sched_setaffinity before its first batch, so its pool is sized for one CPU. Figures are the best of
--repeat calls; a result is freed after its call is timed.
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

WORDS = ["the", "a", "speech", "of", "corpus", "annotation", "vowel", "and", "sound", "reading", "tier", "praat"]


def textgrid_text(rng):
    """Long layout, 2 interval tiers: ~25 words and ~90 phones over the same span."""
    n_words = rng.randint(22, 28)
    n_phones = rng.randint(85, 95)
    end = round(n_words * 0.4, 3)
    out = ['File type = "ooTextFile"\nObject class = "TextGrid"\n\n',
           f"xmin = 0 \nxmax = {end} \ntiers? <exists> \nsize = 2 \nitem []: \n"]
    for t, (name, count) in enumerate([("words", n_words), ("phones", n_phones)], 1):
        out.append(f'    item [{t}]:\n        class = "IntervalTier" \n        name = "{name}" \n'
                   f"        xmin = 0 \n        xmax = {end} \n        intervals: size = {count} \n")
        step = end / count
        for i in range(count):
            label = rng.choice(WORDS) if name == "words" else rng.choice(WORDS)[:2]
            out.append(f"        intervals [{i + 1}]:\n            xmin = {i * step!r} \n"
                       f"            xmax = {(i + 1) * step if i + 1 < count else end!r} \n"
                       f'            text = "{label}" \n')
    return "".join(out)


def write_batch(directory, count, seed=7):
    rng = random.Random(seed)
    paths = []
    for i in range(count):
        path = os.path.join(directory, f"f{i:05d}.TextGrid")
        with open(path, "w") as f:
            f.write(textgrid_text(rng))
        paths.append(path)
    return paths


# Run in a child interpreter: argv = [cpus or "all", repeat, paths file].
CHILD = r"""
import os, sys, time
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
print(best, len(os.sched_getaffinity(0)))
"""


def time_in_child(cpus, repeat, paths_file):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", CHILD, cpus, str(repeat), paths_file], env=env, check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0]), int(out[1])


def timed(fn):
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=4000)
    parser.add_argument("--small", type=int, default=19)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    import orvex

    cpus = sorted(os.sched_getaffinity(0))
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_batch(tmp, args.files)
        paths_file = os.path.join(tmp, "paths.txt")
        with open(paths_file, "w") as f:
            f.write("\n".join(paths))
        size = sum(os.path.getsize(p) for p in paths) / 1e6
        print(f"batch: {args.files} files, {size:.1f} MB, 2 interval tiers each; CPUs in the mask: {len(cpus)}")

        t_all, n_all = time_in_child("all", args.repeat, paths_file)
        t_one, _ = time_in_child(str(cpus[0]), args.repeat, paths_file)
        print(f"textgrids2data, {n_all} CPUs:  {t_all * 1e3:8.1f} ms")
        print(f"textgrids2data, 1 CPU:   {t_one * 1e3:8.1f} ms")
        print(f"speed-up:                {t_one / t_all:8.2f}x")

        small = paths[:args.small]
        orvex.textgrids2data(small, True, "long")
        # Interleaved, many rounds: the two figures see the same machine noise.
        rounds = max(50, args.repeat * 10)
        t_batch = t_single = float("inf")
        for _ in range(rounds):
            t_batch = min(t_batch, timed(lambda: orvex.textgrids2data(small, True, "long")))
            t_single = min(t_single, timed(lambda: [orvex.textgrid2data(p, True, "long") for p in small]))
        print(f"{args.small} files, textgrids2data:       {t_batch * 1e6:8.0f} us")
        print(f"{args.small} files, {args.small} x textgrid2data:   {t_single * 1e6:8.0f} us")
        print(f"batch / one by one:               {t_batch / t_single:8.2f}")


if __name__ == "__main__":
    main()

"""Reads the sample files beside this script in both shapes and prints them."""
import pathlib

import orvex

HERE = pathlib.Path(__file__).resolve().parent / "samples"
long_file = str(HERE / "hello_long.TextGrid")
short_file = str(HERE / "hello_short.TextGrid")

tmin, tmax, tiers = orvex.textgrid2data(long_file, True, "long")
print(f"{long_file}: {tmin} .. {tmax} s, {len(tiers)} tiers")
for name, is_interval, items in tiers:
    kind = "intervals" if is_interval else "points"
    print(f"  {name} ({len(items)} {kind})")
    for start, end, label in items:
        print(f"    {start:6.3f} {end:6.3f}  {label!r}")

batch = orvex.textgrids2data([long_file, short_file, "missing.TextGrid"], True, "auto")
print("batch of 3 (the missing file gives an empty entry):")
for path, (start, end, tiers) in zip(["long", "short", "missing"], batch):
    print(f"  {path}: {start} .. {end}, {sum(len(t[2]) for t in tiers)} items")

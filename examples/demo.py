"""Reads the sample files beside this script in both shapes, edits them and writes them back."""
import pathlib
import tempfile

import orvex

HERE = pathlib.Path(__file__).resolve().parent / "samples"
long_file = str(HERE / "hello_long.TextGrid")
short_file = str(HERE / "hello_short.TextGrid")

# Tier-structured data: nested tuples and lists.
tmin, tmax, tiers = orvex.textgrid2data(long_file, True, "long")
print(f"{long_file}: {tmin} .. {tmax} s, {len(tiers)} tiers")
for name, is_interval, items in tiers:
    kind = "intervals" if is_interval else "points"
    print(f"  {name} ({len(items)} {kind}): " + " ".join(repr(label) for _, _, label in items))

# Columns: one row per interval or point, numbers as NumPy arrays.
tmins, tmaxs, labels, tier_names, is_intervals = orvex.textgrid2vectors(short_file, True, "short")
phones = [i for i, name in enumerate(tier_names) if name == "phones" and labels[i]]
mean = sum(tmaxs[i] - tmins[i] for i in phones) / len(phones)
print(f"{short_file}: {len(labels)} rows; mean phone duration {mean * 1000:.0f} ms")

# A batch in one call; the missing file gives an empty entry, not an error.
batch = orvex.textgrids2data([long_file, short_file, "missing.TextGrid"], True, "auto")
print("batch:", [sum(len(tier[2]) for tier in entry[2]) for entry in batch], "items per file")

with tempfile.TemporaryDirectory() as tmp:
    # Edit and write back in both shapes; the results read back the same.
    upper = [(name, flag, [(a, b, label.upper()) for a, b, label in items]) for name, flag, items in tiers]
    orvex.data2textgrid(upper, tmin, tmax, f"{tmp}/upper.TextGrid", "long")
    orvex.vectors2textgrid(tmins, tmaxs, [label.upper() for label in labels], tier_names, is_intervals,
                           tmin, tmax, f"{tmp}/upper_short.TextGrid", "short")
    same = (orvex.textgrid2data(f"{tmp}/upper.TextGrid", True, "long")
            == orvex.textgrid2data(f"{tmp}/upper_short.TextGrid", True, "short"))
    print("written in both layouts and read back:", "identical" if same else "DIFFERENT")
    print(pathlib.Path(f"{tmp}/upper.TextGrid").read_text().splitlines()[8:18])

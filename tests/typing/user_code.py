"""Code as a user of orvex writes it, checked by mypy and pyright against the installed stub.

Run as a script with the sample folder as argument, it also does what it says. A line marked
`# type: ignore` is a call the stub must refuse: both checkers are told to report a marker that
hides no error, so a stub that grows too lenient fails the check as well as one that grows too
strict.
"""
# pyright: strict, reportUnnecessaryTypeIgnoreComment=true
from __future__ import annotations

import sys
import tempfile
from pathlib import Path
from typing import Literal

import numpy as np
import numpy.typing as npt

import orvex

version: str = orvex.__version__


def shift_words(sample: str, out_dir: str) -> float:
    tmin, tmax, tiers = orvex.textgrid2data(sample, True, "long")
    words = [items for name, is_interval, items in tiers if name == "words" and is_interval][0]
    shifted = [(start + 0.5, end + 0.5, label.upper()) for start, end, label in words]
    tiers.append(("shifted", True, shifted))
    orvex.data2textgrid(tiers, None, tmax + 0.5, f"{out_dir}/data.TextGrid", "long")
    # Writing takes any string: whatever is not "long" gives the short layout.
    layout: str = "short"
    orvex.data2textgrid([(n, np.bool_(f), i) for n, f, i in tiers], 0, tmax + 0.5, f"{out_dir}/d.TextGrid", layout)
    return tmin


def durations(sample: str, layout: Literal["long", "short", "auto"]) -> npt.NDArray[np.float64]:
    tmins, tmaxs, labels, tier_names, is_intervals = orvex.textgrid2vectors(sample, False, layout)
    keep: npt.NDArray[np.bool_] = is_intervals & np.array([label != "" for label in labels])
    first: str = tier_names[0]
    assert first
    return (tmaxs - tmins)[keep]


def batch(samples: list[str], out_dir: str) -> int:
    grids = orvex.textgrids2data(samples, False, "auto")
    items = sum(len(tier[2]) for _, _, tiers in grids for tier in tiers)
    tmins, tmaxs, labels, tier_names, is_intervals, file_ids = orvex.textgrids2vectors(samples, False, "auto")
    ids: npt.NDArray[np.uint32] = file_ids
    first = ids == 0
    orvex.vectors2textgrid(tmins[first], tmaxs[first], [labels[i] for i in np.flatnonzero(first)],
                           [tier_names[i] for i in np.flatnonzero(first)], is_intervals[first], None, None,
                           f"{out_dir}/v.TextGrid", "short")
    orvex.vectors2textgrid([0.0, 1], (1, 2.0), ["a", "b"], ["t", "t"], [True, True], 0.0, None,
                           f"{out_dir}/w.TextGrid", "anything else")
    stream = orvex.textgrids2arrow(Path(samples[0]).parent, batch_files=1)
    failures: list[tuple[int, str, str]] = stream.failures
    assert stream.files_total == len(samples) and failures == []
    report = orvex.arrow2textgrids(orvex.textgrids2arrow(samples), Path(out_dir) / "back", "short", overwrite=True)
    written: list[tuple[str, str, str]] = report.failures
    assert report.files_written == report.files_total and written == []
    return items


def refused(sample: str) -> None:
    orvex.textgrid2data(sample, True, "Long")  # type: ignore
    orvex.textgrids2vectors([sample], True, "")  # type: ignore
    orvex.textgrid2vectors(Path(sample), True, "long")  # type: ignore
    orvex.textgrid2data(sample, 1, "auto")  # type: ignore
    orvex.data2textgrid([("t", True, [(0, 1, "a")])], "0", None, "out.TextGrid", "long")  # type: ignore
    orvex.data2textgrid([["t", True, [(0, 1, "a")]]], None, None, "out.TextGrid", "long")  # type: ignore
    orvex.vectors2textgrid([0.0], [1.0], ["a"], ["t"], [1], None, None, "out.TextGrid", "long")  # type: ignore
    orvex.textgrids2arrow([sample], file_type="Long")  # type: ignore
    orvex.textgrids2arrow([sample], False, "auto", "utf-8")  # type: ignore
    orvex.arrow2textgrids([{"file": sample}], "out", "long")  # type: ignore
    orvex.arrow2textgrids(orvex.textgrids2arrow(sample), "out", "long", None)  # type: ignore
    bad: int = orvex.textgrid2data(sample, True, "long")[0]  # type: ignore
    print(bad)


if __name__ == "__main__":
    samples = sorted(str(path) for path in Path(sys.argv[1]).glob("*.TextGrid"))
    with tempfile.TemporaryDirectory() as tmp:
        print(version, shift_words(samples[0], tmp), durations(samples[-1], "auto").sum(), batch(samples, tmp))

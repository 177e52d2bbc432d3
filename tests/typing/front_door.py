"""The front door as a user writes it, checked by mypy and pyright against the installed stub.

Run as a script with the sample folder as argument, it also does what it says. A line marked
`# type: ignore` is a call the stub must refuse (see user_code.py).
"""
# pyright: strict, reportUnnecessaryTypeIgnoreComment=true
from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import orvex


def relabel(sample: Path, out: Path) -> orvex.TextGrid:
    grid = orvex.read(sample)
    words = grid["words"]
    words.items[0] = words.items[0]._replace(label="HELLO")
    grid.write(out)
    return orvex.read(str(out).encode(), layout="long", strict=True, encoding="utf-8")


def look_up(grid: orvex.TextGrid) -> list[str]:
    found: orvex.Item | None = grid["words"].item_at(0.5)
    first: orvex.Tier = grid[0]
    spans = [item.tmax - item.tmin for item in first]
    tmin, tmax, tiers = grid.to_data()
    again = orvex.TextGrid.from_data(tiers, tmin, tmax)
    assert len(again) == len(grid) and len(spans) == len(first) and found is not None
    return [f"{tier.name}: {len(tier)} {'intervals' if tier.is_interval else 'points'}" for tier in grid]


def where(path: str) -> tuple[str, int | None]:
    try:
        orvex.read(path)
    except orvex.TextGridError as exc:
        return exc.path, exc.line
    return path, None


def refused(grid: orvex.TextGrid, sample: str) -> None:
    orvex.read(sample, layout="Long")  # type: ignore
    orvex.read(sample, "praat")  # type: ignore
    orvex.read(1)  # type: ignore
    grid.write(sample, "auto")  # type: ignore
    grid[1.5]  # type: ignore
    orvex.TextGrid.from_data([("t", True, [(0, 1, 2)])])  # type: ignore
    label: int = grid[0].items[0].label  # type: ignore
    print(label)


if __name__ == "__main__":
    samples = sorted(Path(sys.argv[1]).glob("*.TextGrid"))
    with tempfile.TemporaryDirectory() as tmp:
        edited = relabel(samples[0], Path(tmp) / "edited.TextGrid")
        print(look_up(edited), where(str(Path(tmp) / "missing.TextGrid")))

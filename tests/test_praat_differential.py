"""Praat against the "praat" layout on files mutated from the real-world
folder: tokens deleted, "!" comments inserted, numbers rewritten in Praat's
other forms, lines swapped, text cut short, in all three kinds of file. Both
must read the same grid, or both refuse. Takes minutes, so it runs only when
asked: ORVEX_DIFFERENTIAL=1 pytest -m differential test_praat_differential.py"""
import os
import random
import re

import pytest

import orvex
from test_read_praat import binary
from test_realworld import (CORPUS, PRAAT, as_praat_reads, manifest, praat_grids, praat_habits, reported,
                            undefined_starts)

pytestmark = [
    pytest.mark.differential,
    pytest.mark.skipif(os.environ.get("ORVEX_DIFFERENTIAL") != "1", reason="set ORVEX_DIFFERENTIAL=1 to run"),
    pytest.mark.skipif(PRAAT is None or not CORPUS.is_dir(), reason="needs Praat and the real-world files"),
]

NUMBER = re.compile(rb"(?<=\s)\d+\.\d+(?=\s)")


def mutants(data, rng):
    """A few mutations of one file's bytes."""
    out = [data[:rng.randrange(len(data))]]
    if data.startswith(b"ooBinaryFile"):
        flipped = bytearray(data)
        for _ in range(3):
            flipped[rng.randrange(len(data))] = rng.randrange(256)
        return out + [bytes(flipped)]
    tokens = re.split(rb"(\s+)", data)
    k = rng.randrange(len(tokens))
    out.append(b"".join(tokens[:k] + tokens[k + 1:]))
    lines = data.split(b"\n")
    k = rng.randrange(1, max(2, len(lines)))
    out.append(b"\n".join(lines[:k] + [b"! " + bytes(rng.choice(b'"<1x')) * 2] + lines[k:]))
    if len(lines) > 3:
        k = rng.randrange(1, len(lines) - 1)
        lines[k], lines[k + 1] = lines[k + 1], lines[k]
        out.append(b"\n".join(lines))
    forms = [lambda m: m + b"%", lambda m: m + b"/1", lambda m: m + b"s", lambda m: m + b"/0",
             lambda m: b"+" + m, lambda m: m.replace(b".", b"e")]
    out.append(NUMBER.sub(lambda m: rng.choice(forms)(m.group()) if rng.random() < 0.3 else m.group(), data, count=50))
    return out


def praat_or_crash(paths):
    """Praat's grids, in runs of files; a file on which Praat itself crashes
    (it does on a grid without tiers, "<absent>") gives "crash"."""
    if not paths:
        return []
    try:
        return praat_grids(paths)
    except AssertionError:
        if len(paths) == 1:
            return ["crash"]
        half = len(paths) // 2
        return praat_or_crash(paths[:half]) + praat_or_crash(paths[half:])


def generated(rng, folder):
    """Small random grids in the four forms Praat writes: long, short,
    chronological and binary."""
    for n in range(60):
        tiers = []
        for t in range(rng.randrange(1, 4)):
            interval = rng.random() < 0.6
            times = sorted({round(rng.uniform(0, 10), rng.choice((1, 3, 6))) for _ in range(rng.randrange(0, 6))})
            if interval:
                items = [(a, b, rng.choice(["", "a", 'say "hi"', "\u00e9t\u00e9", "x\ny"])) for a, b in zip(times, times[1:])]
            else:
                items = [(a, a, rng.choice(["", "p", "\u4e2d"])) for a in times]
            tiers.append((f"t{t}", interval, items))
        for layout in ("long", "short"):
            path = folder / f"gen{n}{layout}.TextGrid"
            orvex.data2textgrid(tiers, 0.0, 10.0, str(path), layout)
            yield path.read_bytes()
        yield binary(0.0, 10.0, [(name, flag, items, 0.0, 10.0) for name, flag, items in tiers])
        text = f'"Praat chronological TextGrid text file"\n0 10 ! Time domain.\n{len(tiers)} ! Number of tiers.\n'
        text += "".join(f'"{"IntervalTier" if flag else "TextTier"}" "{name}" 0 10\n' for name, flag, _ in tiers)
        entries = [(t, item) for t, (_, _, items) in enumerate(tiers, 1) for item in items]
        rng.shuffle(entries)
        for t, (a, b, label) in entries:
            quoted = label.replace('"', '""')
            text += f'{t} {a} {b} "{quoted}"\n' if tiers[t - 1][1] else f'{t} {a} "{quoted}"\n'
        yield text.encode("utf-8")


def test_mutants_read_as_praat_reads(tmp_path):
    rng = random.Random(17)
    rows = [r for r in manifest() if (CORPUS / r["file"]).stat().st_size < 20000]
    (tmp_path / "gen").mkdir()
    sources = [(CORPUS / r["file"]).read_bytes() for r in rows] + list(generated(rng, tmp_path / "gen"))
    paths = []
    for data in sources:
        if not data:
            continue
        for m in mutants(data, rng):
            paths.append(tmp_path / f"{len(paths)}.TextGrid")
            paths[-1].write_bytes(m)
    theirs = [g for k in range(0, len(paths), 500) for g in praat_or_crash(paths[k:k + 500])]
    differing, undefined = [], 0
    for path, praat in zip(paths, theirs):
        if praat == "crash":
            continue
        try:
            ours = orvex._read_praat(str(path), False)
        except OSError:
            ours = None
        if (ours is None) != (praat is None):
            differing.append((path.name, "refused" if ours is None else "read"))
        elif ours is not None:
            chronological = b"chronological" in path.read_bytes()[:200].replace(b"\0", b"")
            if undefined_starts(ours):
                # Which items Praat keeps around an undefined start depends on
                # the order it meets them in: only the outline must agree.
                undefined += 1
                outline = lambda grid: as_praat_reads((reported(grid[0]), reported(grid[1]),
                                                        [(n, f, []) for n, f, _ in grid[2]]))
                if outline(ours) != outline(praat):
                    differing.append((path.name, "differing outline"))
            elif as_praat_reads(praat_habits(ours, praat, chronological)) != as_praat_reads(praat):
                differing.append((path.name, "differing"))
    print(f"{len(paths)} mutants, Praat crashes on {theirs.count('crash')}, "
          f"reads {sum(g not in (None, 'crash') for g in theirs)} "
          f"({undefined} with undefined starts, compared in outline), differing {len(differing)}")
    assert differing == [], differing

"""Real TextGrid files from many tools, read by Praat and by orvex, compared
tier by tier: names, classes, item counts, times bit for bit, labels. The
files live outside the repository (../shared/realworld/ from the repository
root); the tests skip where that folder or Praat is missing.

Run as a script, it prints how many files read identically, differently or
not at all: python tests/test_realworld.py"""

import csv
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import orvex
from praat_helpers import PRAAT, REPORT_PROCEDURES, parse_reports, praat_reading, run_praat

ROOT = Path(__file__).resolve().parents[1]
REALWORLD = ROOT.parent / "shared" / "realworld"
CORPUS = REALWORLD / "corpus"
# Reads files with the core's Praat text decoding (UTF-16, Latin-1), which
# no Python function offers; built with the C++ tests.
DUMP = ROOT / "build" / "cpp-tests" / "textgrid_dump"

pytestmark = [
    pytest.mark.skipif(not (REALWORLD / "manifest.tsv").is_file(), reason="no real-world files here"),
    pytest.mark.skipif(PRAAT is None, reason="praat is not installed"),
]

# One Praat run for every file; a file Praat refuses gives "E".
DUMP_SCRIPT = r"""
form Dump
    sentence list_path
endform
""" + REPORT_PROCEDURES + r"""
list = Read Strings from raw text file: list_path$
nfiles = Get number of strings
for f to nfiles
    selectObject: list
    path$ = Get string: f
    nocheck Read from file: path$
    if numberOfSelected("TextGrid") = 1
        tg = selected("TextGrid")
        @report: tg
        removeObject: tg
    else
        appendInfoLine: "E"
    endif
endfor
"""


def manifest():
    with open(REALWORLD / "manifest.tsv", newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def praat_grids(paths):
    with tempfile.TemporaryDirectory() as tmp:
        (Path(tmp) / "list.txt").write_text("".join(f"{p}\n" for p in paths), encoding="utf-8")
        grids = parse_reports(run_praat(Path(tmp), DUMP_SCRIPT, Path(tmp) / "list.txt", timeout=600))
    assert len(grids) == len(paths)
    return grids


def dump_grids(paths):
    """What the core reads with Praat's text decoding and "auto" layout."""
    done = subprocess.run([str(DUMP)], input="".join(f"{p}\n" for p in paths).encode("utf-8"),
                          capture_output=True, timeout=600)
    assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
    grids = parse_reports(done.stdout.decode("utf-8"))
    assert len(grids) == len(paths)
    return grids


def orvex_grid(path):
    try:
        return orvex.textgrid2data(str(path), False, "auto")
    except BaseException as exc:  # read errors and fatal read failures alike
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        return None


def bits(x):
    return "nan" if x != x else struct.pack("<d", x)


def as_praat_reads(grid):
    """Praat turns CR LF and a lone CR inside a string into LF as it reads;
    orvex keeps them. Times become bit patterns so that -0.0 and NaN compare
    as what they are."""
    tmin, tmax, tiers = grid
    return (bits(tmin), bits(tmax),
            [(praat_reading(name), flag, [(bits(a), bits(b), praat_reading(label)) for a, b, label in items])
             for name, flag, items in tiers])


def outcome(praat, ours):
    if ours is None:
        return "refused"
    return "identical" if as_praat_reads(ours) == as_praat_reads(praat) else "differing"


# Files Praat reads whose encoding the six functions refuse, as they must:
# they take UTF-8 only. Praat's binary layout is refused by every reader.
NOT_UTF8 = {"utf-16be", "utf-16le", "latin-1", "binary"}

# Files that still read otherwise than in Praat, and why. Praat reads a text
# file as a stream of values, wherever they stand on a line, skips "!"
# comments and any text that is not a value, and knows more number forms;
# orvex reads the two layouts line by line, as they are written.
FREE_FORM = ("differing", "values spread over lines freely, or comments: orvex reads by line")
NUMBER_FORMS = ("differing", "Praat's own number forms (hex, fractions, percents, trailing text)")
EMPTY_TIER = ("differing", "Praat gives an interval tier without intervals one empty interval")
KNOWN = {
    "brigitte-bigi+SPPAS/sppas/tests/data/F_F_B003_P8_chronological.TextGrid": FREE_FORM,
    "praat+praat/test/fon/examples/sineWithNoise.TextGrid": FREE_FORM,
    "tjmahr+readtextgrid/tests/testthat/test-data/comment.TextGrid": FREE_FORM,
    "tjmahr+readtextgrid/tests/testthat/test-data/hard-to-parse.TextGrid": FREE_FORM,
    "tjmahr+readtextgrid/tests/testthat/test-data/hard-to-parse@23fc86b4.TextGrid": FREE_FORM,
    "tjmahr+readtextgrid/tests/testthat/test-data/hard-to-parse@9c87e63c.TextGrid": FREE_FORM,
    "tjmahr+readtextgrid/tests/testthat/test-data/hard-to-parse@cffb68a9.TextGrid": FREE_FORM,
    "tjmahr+readtextgrid/tests/testthat/test-data/short.TextGrid": FREE_FORM,  # no blank header line
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/fail-space-plus-dot-digit.TextGrid": NUMBER_FORMS,
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/hex-numbers-okay.TextGrid": NUMBER_FORMS,
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/okay-fractions.TextGrid": NUMBER_FORMS,
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/okay-hex-numbers.TextGrid": NUMBER_FORMS,
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/okay-percents-fractions.TextGrid": NUMBER_FORMS,
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/okay-percents.TextGrid": NUMBER_FORMS,
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/okay-percents@b83537b4.TextGrid": NUMBER_FORMS,
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/okay-real-with-trailing-characters.TextGrid":
        NUMBER_FORMS,
    "tjmahr+readtextgrid/tests/testthat/test-data/praat-test/okay-real-with-trailing-characters@2d3e9c5e.TextGrid":
        NUMBER_FORMS,
    "kylebgorman+textgrid/tests/data/short_format.TextGrid": EMPTY_TIER,
    "rsprouse+audiolabel/test/empty_tier.long.TextGrid": EMPTY_TIER,
    "rsprouse+audiolabel/test/empty_tier.short.TextGrid": EMPTY_TIER,
    "timmahrt+praatIO/tutorials/empty_textgrid.TextGrid": EMPTY_TIER,
}


def expected(row, refused_encodings):
    if row["enc"] in refused_encodings:
        return "refused"
    return KNOWN.get(row["file"], ("identical",))[0]


@pytest.fixture(scope="module")
def corpus():
    rows = manifest()
    paths = [CORPUS / row["file"] for row in rows]
    return rows, paths, praat_grids(paths)


def test_six_functions_read_what_praat_reads(corpus):
    rows, paths, praat = corpus
    wrong = {}
    for row, path, theirs in zip(rows, paths, praat):
        if theirs is None:
            continue  # Praat refuses it; nothing to compare
        got = outcome(theirs, orvex_grid(path))
        if got != expected(row, NOT_UTF8):
            wrong[row["file"]] = got
    assert wrong == {}


@pytest.mark.skipif(not DUMP.is_file(), reason="the C++ tests are not built")
def test_praat_decoding_reads_what_praat_reads(corpus):
    rows, paths, praat = corpus
    wrong = {}
    for row, theirs, ours in zip(rows, praat, dump_grids(paths)):
        if theirs is None:
            continue
        got = outcome(theirs, ours)
        if got != expected(row, {"binary"}):
            wrong[row["file"]] = got
    assert wrong == {}


def item_rows(grid):
    """A grid as the corpus stream has it: one row per item, empty tiers gone."""
    return [(index, name, flag, bits(a), bits(b), label)
            for index, (name, flag, items) in enumerate(grid[2]) for a, b, label in items]


@pytest.mark.skipif(not hasattr(orvex, "textgrids2arrow"), reason="no corpus stream in this build")
def test_corpus_stream_reads_what_praat_reads(corpus):
    pa = pytest.importorskip("pyarrow")
    rows, paths, praat = corpus
    stream = orvex.textgrids2arrow([str(p) for p in paths], False, "auto", encoding="auto")
    table = pa.table(stream).to_pydict()
    failed = {failure[0] for failure in stream.failures}
    got = [[] for _ in paths]
    for i, name, index, flag, a, b, label in zip(*(table[c] for c in (
            "file_id", "tier", "tier_index", "is_interval", "tmin", "tmax", "label"))):
        got[i].append((index, praat_reading(name), flag, bits(a), bits(b), praat_reading(label)))
    wrong = {}
    for i, (row, theirs) in enumerate(zip(rows, praat)):
        if theirs is None or row["file"] in KNOWN:
            continue
        if expected(row, {"binary"}) == "refused":
            same = i in failed
        else:
            same = i not in failed and got[i] == item_rows(theirs)
        if not same:
            wrong[row["file"]] = "refused" if i in failed else "differing"
    assert wrong == {}


def praat_habits(ours, theirs, chronological):
    """Our grid as Praat has it once read: each tier's items sorted by start,
    an item whose start repeats an earlier one dropped, and (but in the
    chronological layout) an interval tier without intervals given one empty
    interval over the tier's bounds, which the data shape does not hold and
    are taken from Praat's. Items with an undefined start are left out: where
    Praat puts them, and which items beside them it drops, depends on the
    order it meets them in; undefined_starts() tells such grids. Infinite
    times become undefined, as Praat reports them."""
    tmin, tmax, tiers = ours
    out = []
    for k, (name, flag, items) in enumerate(tiers):
        kept, starts = [], set()
        for a, b, label in sorted((item for item in items if item[0] == item[0]), key=lambda item: item[0]):
            if a not in starts:
                starts.add(a)
                kept.append((a, b, label))
        if flag and not kept and not chronological and k < len(theirs[2]) and len(theirs[2][k][2]) == 1:
            kept = [theirs[2][k][2][0][:2] + ("",)]
        out.append((name, flag, [(reported(a), reported(b), label) for a, b, label in kept]))
    return reported(tmin), reported(tmax), out


def reported(x):
    """Praat reports an infinite time as undefined."""
    return x if x - x == 0 else float("nan")


def undefined_starts(grid):
    return any(a != a for _, _, items in grid[2] for a, _, _ in items)


def stream_rows(paths):
    """The corpus stream's rows by file id, and the ids of its failures."""
    pa = pytest.importorskip("pyarrow")
    stream = orvex.textgrids2arrow([str(p) for p in paths])  # "praat" is the default
    table = pa.table(stream).to_pydict()
    rows = {}
    for i, index, name, flag, a, b, label in zip(*(table[c] for c in (
            "file_id", "tier_index", "tier", "is_interval", "tmin", "tmax", "label"))):
        rows.setdefault(i, []).append((index, name, flag, bits(a), bits(b), label))
    return rows, {failure[0] for failure in stream.failures}


@pytest.mark.skipif(not hasattr(orvex, "_read_praat"), reason="no praat layout in this build")
def test_praat_layout_reads_and_refuses_as_praat(corpus):
    rows, paths, praat = corpus
    streamed, failed = stream_rows(paths)
    wrong = {}
    for i, (row, path, theirs) in enumerate(zip(rows, paths, praat)):
        if theirs is None:
            if i not in failed:
                wrong[row["file"]] = "read, but Praat refuses it"
            continue
        try:
            ours = orvex._read_praat(str(path), False)
        except OSError as exc:
            wrong[row["file"]] = f"refused: {exc}"
            continue
        chronological = b"chronological" in path.read_bytes()[:200].replace(b"\0", b"")
        if as_praat_reads(praat_habits(ours, theirs, chronological)) != as_praat_reads(theirs):
            wrong[row["file"]] = "differing"
        elif i in failed or streamed.get(i, []) != [(k, name, flag, bits(a), bits(b), label)
                                                    for k, (name, flag, items) in enumerate(ours[2])
                                                    for a, b, label in items]:
            wrong[row["file"]] = "the stream differs from _read_praat"
    assert wrong == {}


def main():
    rows, paths = manifest(), None
    paths = [CORPUS / row["file"] for row in rows]
    praat = praat_grids(paths)
    readers = [("six functions (UTF-8)", [orvex_grid(p) for p in paths])]
    if DUMP.is_file():
        readers.append(("core, Praat decoding", dump_grids(paths)))
    print(f"{len(paths)} files, Praat refuses {sum(g is None for g in praat)}")
    for title, grids in readers:
        counts, detail = {}, {}
        for row, theirs, ours in zip(rows, praat, grids):
            if theirs is None:
                continue
            got = outcome(theirs, ours)
            counts[got] = counts.get(got, 0) + 1
            if got != "identical":
                detail.setdefault(got, []).append(row["file"])
        print(f"{title}: " + ", ".join(f"{k} {counts.get(k, 0)}" for k in ("identical", "differing", "refused")))
        if "-v" in sys.argv:
            for kind, files in detail.items():
                for name in files:
                    print(f"  {kind}\t{name}")


if __name__ == "__main__":
    main()

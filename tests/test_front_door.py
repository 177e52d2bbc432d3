"""orvex.read, TextGrid, Tier, Item and TextGridError: one file read, edited and written back."""
import math
import os
import pathlib

import pytest

import orvex

SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "samples"
SAMPLE = SAMPLES / "hello_long.TextGrid"
WORDS = [(0.0, 1.0, "a"), (1.0, 1.5, 'say "hi" now'), (1.5, 2.0, '"quoted"\nover two lines ""')]


def relabel(grid):
    grid["words"].items[-1] = grid["words"].items[-1]._replace(label="b")


def add_tier(grid):
    grid.tiers.append(orvex.Tier("notes", False, grid.tmin, grid.tmax, [(0.25, 0.25, "x")]))
    grid.tiers[-1].items.append((0.5, 0.5, "a plain tuple"))


def drop_all_points(grid):
    grid["events"].items.clear()


# (file or data, edit, layout to write); what is read back must equal the edited grid.
EDITS = [
    pytest.param(SAMPLE, relabel, "long", id="sample-relabel-long"),
    pytest.param(SAMPLES / "hello_short.TextGrid", add_tier, "short", id="sample-add-tier-short"),
    pytest.param(SAMPLE, drop_all_points, "long", id="sample-empty-point-tier-kept"),
    pytest.param([("words", True, WORDS), ("events", False, [])], relabel, "short", id="data-quotes-empty-tier"),
    pytest.param([("words", True, WORDS), ("words", False, [(0.5, 0.5, "p")])], add_tier, "long",
                 id="data-two-tiers-one-name"),
    pytest.param(lambda: orvex.TextGrid(0, 2, [orvex.Tier("words", True, 0.5, 1.5, [(0.5, 1, "a")])]), relabel,
                 "short", id="tier-with-a-range-of-its-own"),
]


@pytest.mark.parametrize("source, edit, layout", EDITS)
def test_an_edited_grid_reads_back_equal(source, edit, layout, tmp_path):
    grid = orvex.TextGrid.from_data(source) if isinstance(source, list) else source() if callable(source) \
        else orvex.read(source)
    edit(grid)
    out = tmp_path / "out.TextGrid"
    grid.write(str(out).encode(), layout)
    assert orvex.read(out) == grid
    assert not [name for name in os.listdir(tmp_path) if name != "out.TextGrid"]


@pytest.mark.parametrize("layout", ["long", "short"])
def test_writing_gives_the_bytes_of_data2textgrid_and_reading_its_data(layout, tmp_path):
    # 1e-07 and 1e21 need the positional number rule; quotes are doubled
    tiers = [("w", True, [(1e-07, 0.1 + 0.2, 'say "hi"'), (0.5, 1 / 3 + 1, "")]), ("p", False, [(1e21, 1e21, '"')])]
    ours, theirs = tmp_path / "ours.TextGrid", tmp_path / "theirs.TextGrid"
    orvex.TextGrid.from_data(tiers, 0, 2e21).write(ours, layout)
    orvex.data2textgrid(tiers, 0, 2e21, str(theirs), layout)
    assert ours.read_bytes() == theirs.read_bytes()
    for path in (SAMPLE, SAMPLES / "hello_short.TextGrid"):
        assert orvex.read(path, layout="auto").to_data() == orvex.textgrid2data(str(path), True, "auto")


def test_a_utf16_file_and_path_kinds(tmp_path):
    text = orvex.read(SAMPLE)
    path = tmp_path / "utf16.TextGrid"
    path.write_bytes(SAMPLE.read_text(encoding="utf-8").encode("utf-16"))
    for given in (path, str(path), bytes(path)):
        assert orvex.read(given) == text
    with pytest.raises(TypeError):
        orvex.read(3)


def test_lookups():
    grid = orvex.read(SAMPLE)
    assert grid[0] is grid["words"] and grid[-1] is grid["events"] and len(grid) == 3
    assert [tier.name for tier in grid] == ["words", "phones", "events"]
    assert repr(grid) == "<TextGrid 0-1.9: 'words' (4 intervals), 'phones' (10 intervals), 'events' (2 points)>"
    with pytest.raises(KeyError, match="no tier named 'Words'; the tiers are: 'words', 'phones', 'events'"):
        grid["Words"]
    words, events = grid["words"], grid["events"]
    starts = [item.tmin for item in words]
    # the later interval where two meet, the last one's end, before the first, a point exactly
    assert [words.item_at(t) for t in (starts[1], 1.9, -1, math.nan)] == [words.items[1], words.items[-1], None, None]
    assert events.item_at(events.items[1].tmin) == events.items[1] and events.item_at(0.61) is None


def grid_of(*tiers, tmin=0, tmax=3):
    return orvex.TextGrid.from_data(tiers, tmin, tmax)


# One message per kind of problem, naming tier and items with times and labels.
PROBLEMS = [
    pytest.param(grid_of(("words", True, [(0, 1.5, "a"), (1.4, 1.9, "b")])),
                 'tier "words": interval 2 (1.4-1.9 "b") starts before interval 1 (0-1.5 "a") ends', id="overlap"),
    pytest.param(grid_of(("words", True, [(1.2, 1.5, "a"), (0.2, 0.5, "b")])),
                 'tier "words": interval 2 (0.2-0.5 "b") comes before interval 1 (1.2-1.5 "a"): items must be '
                 "in time order", id="out-of-order"),
    pytest.param(grid_of(("events", False, [(0.7, 0.7, "y"), (0.5, 0.5, "x")])),
                 'tier "events": point 2 (0.5 "x") comes before point 1 (0.7 "y"): items must be in time order',
                 id="points-out-of-order"),
    pytest.param(grid_of(("words", True, [(2.5, 3.5, "c")])),
                 'tier "words": interval 1 (2.5-3.5 "c") lies outside the tier (0-3)', id="outside-the-tier"),
    pytest.param(orvex.TextGrid(0, 3, [orvex.Tier("w", True, 0, 4)]),
                 'tier "w": its time range 0-4 lies outside the grid\'s (0-3)', id="tier-outside-the-grid"),
    pytest.param(orvex.TextGrid(1, 1), "the grid's time range 1-1 is empty: tmax must be greater than tmin",
                 id="empty-grid"),
    pytest.param(grid_of(("words", True, [(0, math.nan, "a")])),
                 'tier "words": interval 1 (0-NaN "a") has a time that is not a number', id="nan"),
    pytest.param(grid_of(("words", True, [(1, 1, "a")])),
                 'tier "words": interval 1 (1-1 "a") does not end after it starts', id="empty-interval"),
    pytest.param(orvex.TextGrid(0, 3, [orvex.Tier("events", False, 0, 3, [(1, 1, 5)])]),
                 'tier "events": point 1 has a label of type int, not str', id="label-not-a-str"),
    pytest.param(grid_of(("events", False, [(1, 2, "a")])),
                 'tier "events": point 1 (1 "a") has two times, 1 and 2: a point\'s tmax must equal its tmin',
                 id="point-with-two-times"),
]


@pytest.mark.parametrize("grid, message", PROBLEMS)
def test_write_refuses_a_broken_grid_with_its_message(grid, message, tmp_path):
    out = tmp_path / "out.TextGrid"
    out.write_text("old")
    with pytest.raises(ValueError) as info:
        grid.write(out)
    assert str(info.value) == message
    assert out.read_text() == "old" and os.listdir(tmp_path) == ["out.TextGrid"]


def test_from_data_without_items_or_bounds_says_what_to_give():
    with pytest.raises(ValueError, match="no items to take its time range from; give tmin and tmax"):
        orvex.TextGrid.from_data([("words", True, [])])


# The six's own failures, the internal one (a BaseException) included, come as TextGridError too.
@pytest.mark.parametrize("content, layout, line, message", [
    pytest.param(None, "praat", None, "cannot read the file: No such file or directory", id="missing"),
    pytest.param(b"", "long", 1, 'found nothing where a TextGrid file starts with File type = "ooTextFile"',
                 id="empty"),
    pytest.param(b"xmin = 0\n", "long", 1,
                 'found "xmin = 0" where a TextGrid file starts with File type = "ooTextFile"', id="not-a-textgrid"),
    pytest.param(b'File type = "ooTextFile"\n', "auto", None, "Unexpected end of file while reading the header",
                 id="header-only"),
    pytest.param(SAMPLE.read_bytes().replace(b"IntervalTier", b"Foo"), "long", None, 'Unknown tier class: "Foo"',
                 id="unknown-tier-class"),
])
def test_every_read_failure_is_a_textgrid_error(content, layout, line, message, tmp_path):
    path = tmp_path / "bad.TextGrid"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(orvex.TextGridError) as info:
        orvex.read(path, layout=layout)
    assert (info.value.path, info.value.line, info.value.message) == (str(path), line, message)
    assert isinstance(info.value, OSError)


def test_writing_keeps_the_old_file_when_asked_or_when_the_rename_fails(tmp_path, monkeypatch):
    out = tmp_path / "out.TextGrid"
    out.write_text("old")
    grid = orvex.read(SAMPLE)
    with pytest.raises(FileExistsError, match="out.TextGrid"):
        grid.write(out, overwrite=False)

    def fail(source, target):
        raise PermissionError(13, "Permission denied")
    monkeypatch.setattr(os, "replace", fail)
    with pytest.raises(PermissionError, match="out.TextGrid"):
        grid.write(out)
    assert out.read_text() == "old" and os.listdir(tmp_path) == ["out.TextGrid"]
    with pytest.raises(ValueError, match="layout must be 'long' or 'short', not 'auto'"):
        grid.write(out, "auto")

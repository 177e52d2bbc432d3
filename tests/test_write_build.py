"""How data2textgrid and vectors2textgrid turn Python values into a TextGrid:
derived bounds, dropped tiers, grouping, ordering, and what they refuse."""

import math

import pytest

import orvex

LARGEST = 1.7976931348623157e308


def parse_short(path):
    """(tmin, tmax, [(is_interval, name, tmin, tmax, items)]) of a short-layout
    file written by orvex whose labels hold no line breaks."""
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8").split("\r\n")
    assert lines[-1] == ""
    values = iter(lines[3:-1])

    def string():
        text = next(values)
        assert text[0] == text[-1] == '"'
        return text[1:-1].replace('""', '"')

    tmin, tmax = float(next(values)), float(next(values))
    next(values)
    tiers = []
    for _ in range(int(next(values))):
        is_interval = string() == "IntervalTier"
        name = string()
        lo, hi, count = float(next(values)), float(next(values)), int(next(values))
        items = []
        for _ in range(count):
            start = float(next(values))
            end = float(next(values)) if is_interval else start
            items.append((start, end, string()))
        tiers.append((is_interval, name, lo, hi, items))
    assert next(values, None) is None
    return tmin, tmax, tiers


# Each test writes below its own tmp_path: a fixture made from it would be one
# file for all the threads that run a test at once.
def out_file(tmp_path):
    return str(tmp_path / "out.TextGrid")


def from_data(tmp_path, data, tmin=None, tmax=None):
    orvex.data2textgrid(data, tmin, tmax, out_file(tmp_path), "short")
    return parse_short(out_file(tmp_path))


def from_vectors(tmp_path, rows, tmin=None, tmax=None):
    """rows: (tmin, tmax, label, tier name, is_interval) each."""
    columns = [list(c) for c in zip(*rows)] if rows else [[], [], [], [], []]
    orvex.vectors2textgrid(*columns, tmin, tmax, out_file(tmp_path), "short")
    return parse_short(out_file(tmp_path))


def creation_error(message):
    return pytest.raises(OSError, match="^" + "Failed to create TextGrid because: " + message + "$")


# -- bounds --------------------------------------------------------------

WORDS = ("words", True, [(1.0, 2.0, "a"), (2.0, 4.0, "b")])
PHONES = ("phones", True, [(0.5, 3.0, "c")])


@pytest.mark.parametrize(
    "tmin, tmax, expected_global, expected_tiers",
    [
        (None, None, (0.5, 4.0), [(1.0, 4.0), (0.5, 3.0)]),
        (0.0, None, (0.0, 4.0), [(0.0, 4.0), (0.0, 3.0)]),
        (None, 5.0, (0.5, 5.0), [(1.0, 5.0), (0.5, 5.0)]),
        # Given bounds override the tiers' own, even inside the items' span.
        (0.0, 3.5, (0.0, 3.5), [(0.0, 3.5), (0.0, 3.5)]),
    ],
    ids=["derived", "tmin-given", "tmax-given", "both-given"],
)
def test_bounds_are_given_or_spanned(tmp_path, tmin, tmax, expected_global, expected_tiers):
    gmin, gmax, tiers = from_data(tmp_path, [WORDS, PHONES], tmin, tmax)
    assert (gmin, gmax) == expected_global
    assert [(t[2], t[3]) for t in tiers] == expected_tiers
    rows = [(a, b, lab, name, flag) for name, flag, items in (WORDS, PHONES) for a, b, lab in items]
    assert from_vectors(tmp_path, rows, tmin, tmax) == (gmin, gmax, tiers)


def test_nan_times_are_skipped_when_spanning(tmp_path):
    _, _, tiers = from_data(tmp_path, [("w", True, [(1.0, float("nan"), "a"), (float("nan"), 3.0, "b")])], None, None)
    assert tiers[0][2:4] == (1.0, 3.0)


@pytest.mark.parametrize(
    "write",
    [
        lambda tmp_path: from_data(tmp_path, [("w", True, [(float("nan"), 1.0, "")])]),
        lambda tmp_path: from_vectors(tmp_path, [(float("nan"), 1.0, "", "w", True)]),
    ],
    ids=["data", "vectors"],
)
def test_all_nan_starts_leave_the_largest_float(tmp_path, write):
    # The tier then starts at the largest double, and so does the grid.
    with creation_error("tmin should be less than tmax in TextGrid"):
        write(tmp_path)


# -- dropped tiers -------------------------------------------------------


def test_empty_tiers_are_dropped(tmp_path):
    _, _, tiers = from_data(tmp_path, [("empty", True, []), WORDS, ("none", False, [])])
    assert [t[1] for t in tiers] == ["words"]


@pytest.mark.parametrize("data", [[], [("e", True, [])]], ids=["no-tiers", "only-empty"])
def test_no_items_needs_given_bounds(tmp_path, data):
    with creation_error("Time bounds should be non-negative in TextGrid"):
        from_data(tmp_path, data)
    assert from_data(tmp_path, data, 0.0, 5.0) == (0.0, 5.0, [])


# -- validation ------------------------------------------------------------


@pytest.mark.parametrize(
    "data, tmin, tmax, message",
    [
        ([WORDS], -1.0, None, "Time bounds should be non-negative in TextGrid"),
        ([WORDS], 1.0, 1.0000005, "tmin should be less than tmax in TextGrid"),
        ([("words", True, [(2.0, 3.0, ""), (0.0, 1.0, "")])], None, None, "Items 0 and 1 overlap in tier words"),
        ([("words", True, [(0, 1, ""), (1, 2, ""), (2, 2, "")])], 0.0, 3.0,
         "tmin should be less than tmax in item 2 in tier words"),
        ([("events", False, [(1.5, 2.0, "")])], 0.0, 3.0, "Item 0 should have tmin == tmax in PointTier events"),
        ([("w", True, [(5.0, 6.0, "")])], None, 2.0, "tmin should be less than tmax in TextGrid"),
    ],
    ids=["negative-tmin", "too-close", "out-of-order", "empty-interval", "point-apart", "tmax-before-items"],
)
def test_validation_errors(tmp_path, data, tmin, tmax, message):
    with creation_error(message):
        from_data(tmp_path, data, tmin, tmax)


def test_items_may_lie_outside_their_tier(tmp_path):
    _, _, tiers = from_data(tmp_path, [("w", True, [(0.0, 12.0, "")])], 0.0, 10.0)
    assert tiers[0][2:5] == (0.0, 10.0, [(0.0, 12.0, "")])


# -- grouping and ordering of columns -------------------------------------


def test_tiers_follow_first_appearance(tmp_path):
    rows = [(0, 1, "a", "words", True), (0, 1, "b", "phones", True), (1, 2, "c", "words", True)]
    _, _, tiers = from_vectors(tmp_path, rows)
    assert [(t[1], [i[2] for i in t[4]]) for t in tiers] == [("words", ["a", "c"]), ("phones", ["b"])]


def test_names_group_exactly(tmp_path):
    rows = [(0, 1, "a", "w", True), (0, 1, "b", "W", True), (0, 1, "c", "w ", True)]
    assert [t[1] for t in from_vectors(tmp_path, rows)[2]] == ["w", "W", "w "]


def test_rows_sorted_stably_by_start(tmp_path):
    rows = [(2, 3, "two", "w", True), (0, 1, "zero", "w", True), (1, 2, "one", "w", True),
            (1.0, 1.0, "first", "p", False), (0.5, 0.5, "early", "p", False), (1.0, 1.0, "second", "p", False)]
    _, _, tiers = from_vectors(tmp_path, rows)
    assert [i[2] for i in tiers[0][4]] == ["zero", "one", "two"]
    assert [i[2] for i in tiers[1][4]] == ["early", "first", "second"]


def test_from_data_keeps_item_order(tmp_path):
    with creation_error("Items 1 and 2 overlap in tier w"):
        from_data(tmp_path, [("w", True, [(0, 1, ""), (2, 3, ""), (1, 2, "")])])


def test_tier_kind_comes_from_its_first_row(tmp_path):
    rows = [(0, 1, "a", "w", True), (1, 2, "b", "w", False)]
    assert from_vectors(tmp_path, rows)[2][0][0] is True
    rows = [(1, 1, "a", "p", False), (2, 2, "b", "p", True)]
    assert from_vectors(tmp_path, rows)[2][0][0] is False


def test_overlap_indices_count_after_sorting(tmp_path):
    rows = [(0.5, 2.0, "late", "w", True), (0.0, 1.0, "early", "w", True)]
    with creation_error("Items 0 and 1 overlap in tier w"):
        from_vectors(tmp_path, rows)


@pytest.mark.parametrize("rows", [
    [(float("nan"), 1, "a", "w", True), (0, 1, "b", "w", True)],
    [(0, 1, "a", "w", True), (1, 2, "b", "w", True), (float("nan"), 3, "c", "w", True)],
], ids=["first", "third"])
def test_nan_start_in_a_tier_of_several_rows_fails(tmp_path, rows):
    with pytest.raises(OSError, match=r"^Failed to create TextGrid because: .*\bw\b.*NaN"):
        from_vectors(tmp_path, rows)


def test_nan_start_in_a_single_row_tier_is_left_to_validation(tmp_path):
    _, _, tiers = from_vectors(tmp_path, [(float("nan"), 1.0, "a", "w", True), (0, 1, "b", "v", True)], 0.0, None)
    assert math.isnan(tiers[0][4][0][0])


@pytest.mark.parametrize("short", range(5), ids=["tmins", "tmaxs", "labels", "tier_names", "is_intervals"])
def test_unequal_columns(tmp_path, short):
    columns = [[0.0, 1.0], [1.0, 2.0], ["a", "b"], ["w", "w"], [True, True]]
    columns[short] = columns[short][:1]
    with creation_error("Input vectors must have the same length"):
        orvex.vectors2textgrid(*columns, None, None, out_file(tmp_path), "long")


# -- results of the readers accepted as they are ----------------------------


def test_reading_results_are_accepted_unchanged(tmp_path):
    out = out_file(tmp_path)
    data = [("words", True, [(0.0, 1.25, "a"), (1.25, 2.0, "b")]), ("events", False, [(0.5, 0.5, "x")])]
    orvex.data2textgrid(data, 0.0, 2.0, out, "long")
    read = orvex.textgrid2data(out, True, "long")
    again = str(tmp_path / "again.TextGrid")
    orvex.data2textgrid(read[2], read[0], read[1], again, "long")
    assert open(again, "rb").read() == open(out, "rb").read()


def test_vector_results_are_accepted_unchanged(tmp_path):
    pytest.importorskip("numpy")
    out = out_file(tmp_path)
    orvex.data2textgrid([("w", True, [(0.0, 1.0, "a"), (1.0, 2.5, "b")]),
                         ("p", False, [(1.5, 1.5, "c"), (2.0, 2.0, "d")])], None, None, out, "long")
    vectors = orvex.textgrid2vectors(out, True, "long")
    again = str(tmp_path / "again.TextGrid")
    orvex.vectors2textgrid(*vectors, None, None, again, "long")
    assert open(again, "rb").read() == open(out, "rb").read()

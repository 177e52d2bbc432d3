"""The short-layout reader: values by position, shifted by counts and by labels over several lines."""
import pytest

from tg_helpers import fatal_message, mixed_line_ends, read, short_text, write

WORDS = ("IntervalTier", '"words"', 0, 2.5, [(0, 1.2, '"hello"'), (1.2, 2.5, '""')])
EVENTS = ("TextTier", '"events"', 0, 2.5, [(0.75, '"x"')])
EXPECTED = (0.0, 2.5, [("words", True, [(0.0, 1.2, "hello"), (1.2, 2.5, "")]),
                       ("events", False, [(0.75, 0.75, "x")])])


def read_short(path, strict=False):
    return read(path, strict, "short")


def test_worked_example(tmp_path):
    assert read_short(write(tmp_path, short_text(0, 2.5, [WORDS, EVENTS])), strict=True) == EXPECTED


@pytest.mark.parametrize("transform", [
    pytest.param(lambda t: t.replace("\n", "\r\n"), id="crlf"),
    pytest.param(lambda t: t.replace("\n", "\r"), id="cr"),
    pytest.param(lambda t: mixed_line_ends(t, ["\r", "\n", "\r\n"]), id="cr-lf-crlf-mixed"),
    pytest.param(lambda t: t.replace("\n", "\n\t  "), id="indented"),
    pytest.param(lambda t: "\ufeff" + t, id="bom"),
    pytest.param(lambda t: t.rstrip("\n"), id="no-final-newline"),
    pytest.param(lambda t: t + "extra\nlines\n", id="trailing-lines"),
    pytest.param(lambda t: t.replace("File type", "Anything at all"), id="header-not-checked"),
])
def test_layout_variants_read_the_same(tmp_path, transform):
    assert read_short(write(tmp_path, transform(short_text(0, 2.5, [WORDS, EVENTS])))) == EXPECTED


@pytest.mark.parametrize("raw, label", [
    ('"a""b"""', 'a"b"'), ('"""x"""', '"x"'), ('""', ""), ('"C:\\"', "C:\\"), ('"k" ignored', "k"),
    ("bare", "bare"),
])
def test_quoted_labels(tmp_path, raw, label):
    text = short_text(0, 2, [("IntervalTier", '"w"', 0, 2, [(0, 1, raw)])])
    assert read_short(write(tmp_path, text))[2][0][2][0][2] == label


@pytest.mark.parametrize("eol", ["\n", "\r\n", "\r"])
def test_label_over_several_lines_shifts_later_positions(tmp_path, eol):
    label = '"one\n""IntervalTier""\n7"'
    text = short_text(0, 3, [("IntervalTier", '"w"', 0, 3, [(0, 1, label), (1, 2, '"next"')]), EVENTS])
    result = read_short(write(tmp_path, text.replace("\n", eol)), strict=True)
    assert result[2][0][2] == [(0.0, 1.0, "one" + eol + '"IntervalTier"' + eol + "7"), (1.0, 2.0, "next")]
    assert result[2][1] == ("events", False, [(0.75, 0.75, "x")])


def test_missing_blank_header_line_reads_one_line_off(tmp_path):
    text = short_text(0, 2.5, [WORDS]).replace('"TextGrid"\n\n', '"TextGrid"\n', 1)
    path = write(tmp_path, text)
    assert read_short(path) == (2.5, 0.0, [])
    with pytest.raises(OSError, match="Time bounds should be non-negative in TextGrid$"):
        read_short(path, strict=True)


def test_zero_tier_count_ignores_following_tiers(tmp_path):
    text = short_text(0, 2.5, [WORDS]).replace("<exists>\n1\n", "<exists>\n0\n")
    assert read_short(write(tmp_path, text)) == (0.0, 2.5, [])


def test_unparsable_item_count_means_no_items(tmp_path):
    # The tier's count line reads as 0, so the next tier's class follows at once.
    text = short_text(0, 2.5, [("IntervalTier", '"w"', 0, 2.5, []), EVENTS]).replace(
        "2.5\n0\n", "2.5\nmany\n", 1)
    assert read_short(write(tmp_path, text))[2] == [("w", True, []), ("events", False, [(0.75, 0.75, "x")])]


def test_wrong_class_reads_items_from_the_wrong_lines(tmp_path):
    text = short_text(0, 3, [("TextTier", '"e"', 0, 3, [(1, 2, '"a"')])])  # interval lines in a point tier
    assert read_short(write(tmp_path, text))[2] == [("e", False, [(1.0, 1.0, "2")])]


@pytest.mark.parametrize("eol", ["\n", "\r", "\r\n"])
@pytest.mark.parametrize("cut", [0, 1, 6, 7, 11, 12, 14])
def test_text_ending_early_is_fatal(tmp_path, cut, eol):
    lines = short_text(0, 2.5, [WORDS]).replace("\n", eol).splitlines(keepends=True)
    assert len(lines) > cut + 1
    assert "end" in fatal_message(read_short, write(tmp_path, "".join(lines[:cut])))


def test_cr_before_crlf_ends_a_line_of_its_own(tmp_path):
    # "0\r\r\n" is two lines, so every later value comes one line later.
    text = short_text(0, 2.5, [WORDS]).replace("\n0\n", "\n0\r\r\n", 1)
    assert read_short(write(tmp_path, text)) == (0.0, 0.0, [])


def test_huge_declared_counts_end_early_instead_of_allocating(tmp_path):
    base = 'File type = "ooTextFile"\nObject class = "TextGrid"\n\n0\n1\n<exists>\n'
    for tail in ["1000000000000000000\n", '1\n"IntervalTier"\n"w"\n0\n1\n18446744073709551615\n0\n1\n"a"\n']:
        assert "end" in fatal_message(read_short, write(tmp_path, base + tail))


@pytest.mark.parametrize("cls", ['"Foo"', "Foo", '"intervaltier"', '"TextTier"""'])
def test_unknown_class_is_fatal_with_the_line_as_written(tmp_path, cls):
    text = short_text(0, 2.5, [WORDS]).replace('"IntervalTier"', "  " + cls + "  ")
    assert fatal_message(read_short, write(tmp_path, text)) == "Unknown tier class: " + cls


def test_strict_validates_bounds_and_order(tmp_path):
    text = short_text(0, 2, [("IntervalTier", '"w"', 0, 2, [(0, 1, '""'), (0.5, 2, '""')])])
    path = write(tmp_path, text)
    assert len(read_short(path)[2][0][2]) == 2
    with pytest.raises(OSError, match="Items 0 and 1 overlap in tier w$"):
        read_short(path, strict=True)

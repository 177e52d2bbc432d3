"""The long-layout reader: line forms, keys, values, quoted strings, lenient and strict outcomes."""
import math
import os
import re
import struct

import pytest

from tg_helpers import fatal_message, labels, long_text, mixed_line_ends, read, write

WORDS = ("IntervalTier", '"words"', 0, 2.5, [(0, 1.2, '"hello"'), (1.2, 2.5, '""')])
EVENTS = ("TextTier", '"events"', 0, 2.5, [(0.75, '"x"')])


def bits(x):
    return struct.pack("<d", x)


def one_label(tmp_path, text_value, tail=""):
    """Reads a file whose only interval has the given raw `text = ...` value; `tail` follows the item."""
    body = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [(0, 1, text_value)])]) + tail
    return read(write(tmp_path, body))


def test_worked_example(tmp_path):
    result = read(write(tmp_path, long_text(0, 2.5, [WORDS, EVENTS])), strict=True)
    assert result == (0.0, 2.5, [("words", True, [(0.0, 1.2, "hello"), (1.2, 2.5, "")]),
                                 ("events", False, [(0.75, 0.75, "x")])])


@pytest.mark.parametrize("transform", [
    pytest.param(lambda t: t.replace("\n", "\r\n"), id="crlf"),
    pytest.param(lambda t: t.replace("\n", "\r"), id="cr"),
    pytest.param(lambda t: mixed_line_ends(t, ["\r", "\n", "\r\n", "\r\r\n"]), id="cr-lf-crlf-mixed"),
    pytest.param(lambda t: t.replace("    ", "\t"), id="tabs"),
    pytest.param(lambda t: re.sub(r"(item|intervals|points) \[", r"\1[", t), id="no-blank-before-bracket"),
    pytest.param(lambda t: "\ufeff" + t, id="bom"),
    pytest.param(lambda t: t.replace("\n", " \u00a0\u3000\n"), id="unicode-trailing-space"),
    pytest.param(lambda t: t.replace("\n    ", "\n\u2003 "), id="unicode-indent"),
    pytest.param(lambda t: t.rstrip("\n"), id="no-final-newline"),
    pytest.param(lambda t: t.replace("\n", "\n\n"), id="blank-lines"),
])
def test_layout_variants_read_the_same(tmp_path, transform):
    text = long_text(0, 2.5, [WORDS, EVENTS])
    assert read(write(tmp_path, transform(text))) == read(write(tmp_path, text, "plain.TextGrid"))


def number_rule():
    """The (text, value) pairs of the number rule, shared with the C++ test of the number reader."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "numbers.tsv")
    with open(path, encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")]
    return [pytest.param(text, float(value), id=repr(text)) for text, value in rows]


@pytest.mark.parametrize("value, expected", number_rule())
def test_numbers(tmp_path, value, expected):
    text = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [(value, 1, '""')])])
    got = read(write(tmp_path, text))[2][0][2][0][0]
    if math.isnan(expected):
        assert math.isnan(got) and math.copysign(1, got) == math.copysign(1, expected)
    else:
        assert bits(got) == bits(expected)


def test_negative_zero_keeps_its_sign(tmp_path):
    text = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [("-0", 1, '""')])])
    assert bits(read(write(tmp_path, text))[2][0][2][0][0]) == bits(-0.0)


@pytest.mark.parametrize("size, strict_ok", [
    ("1", True), ("+1", True), ("01", True), ("-1", False), ("1.0", False), ("", False), ("x", False),
    ("18446744073709551616", False),  # one past 2**64 - 1: an overflow reads as 0
])
def test_counts(tmp_path, size, strict_ok):
    text = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [(0, 1, '"a"')])], size=size)
    path = write(tmp_path, text)
    assert labels(read(path)) == [["a"]]  # lenient reading never looks at the count
    if strict_ok:
        read(path, strict=True)
    else:
        with pytest.raises(OSError, match="TextGrid size does not match number of tiers$"):
            read(path, strict=True)


@pytest.mark.parametrize("raw, label", [
    ('"hello"', "hello"),
    ('""', ""),
    ('"a""b"""', 'a"b"'),
    ('"""x"""', '"x"'),
    ('"C:\\"', "C:\\"),
    ('"x = y"', "x = y"),
    ('"say \\"hi\\""', 'say \\'),  # a backslash is no escape: the quote after it closes the string
    ('"kept" and ignored', "kept"),
    ('"  padded  "', "  padded  "),
    ('unquoted', "unquoted"),
    ('bare"', "bare"),
    pytest.param('"""', "", id="pair-then-end-of-text"),
])
def test_quoted_labels(tmp_path, raw, label):
    assert labels(one_label(tmp_path, raw)) == [[label]]


@pytest.mark.parametrize("eol", ["\n", "\r\n", "\r"])
def test_label_over_several_lines_keeps_its_bytes(tmp_path, eol):
    raw = '"first  ' + eol + 'item [3]:' + eol + '    xmin = 7' + eol + 'intervals [9]:' + eol + 'end ""q"" "'
    result = one_label(tmp_path, raw)
    assert result[2] == [("w", True, [(0.0, 1.0, "first  " + eol + "item [3]:" + eol + "    xmin = 7" + eol
                                       + "intervals [9]:" + eol + 'end "q" ')])]


def test_reading_goes_on_after_the_closing_line(tmp_path):
    text = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [(0, 1, '"a\nb" trailing = 5'), (1, 2, '"c"')])])
    assert read(write(tmp_path, text), strict=True)[2][0][2] == [(0.0, 1.0, "a\nb"), (1.0, 2.0, "c")]


def test_unclosed_label_at_end_of_text_keeps_its_first_line(tmp_path):
    text = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [(0, 1, '"open')])]) + "xmax = 9\n"
    result = read(write(tmp_path, text))
    assert result[2][0][2] == [(0.0, 9.0, "open")]  # the next line is read as a key line again


def test_multiline_tier_name(tmp_path):
    text = long_text(0, 3, [("IntervalTier", '"two\nlines"', 0, 3, [(0, 1, '"a"')])])
    assert read(write(tmp_path, text), strict=True)[2][0][0] == "two\nlines"


def test_doubled_quote_class(tmp_path):
    text = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [])]).replace('"IntervalTier"', '"TextTier"""')
    assert fatal_message(read, write(tmp_path, text)) == 'Unknown tier class: "TextTier"""'


@pytest.mark.parametrize("cls", ['"Interval"', "IntervalTier extra", '"intervaltier"', '""'])
def test_unknown_class_is_fatal(tmp_path, cls):
    text = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [])]).replace('"IntervalTier"', cls)
    assert fatal_message(read, write(tmp_path, text)) == "Unknown tier class: " + cls


def test_unquoted_class_is_accepted(tmp_path):
    text = long_text(0, 3, [("TextTier", '"e"', 0, 3, [(1, '"m"')])]).replace('"TextTier"', "TextTier")
    assert read(write(tmp_path, text))[2][0][1] is False


@pytest.mark.parametrize("line", ["intervals [1]:", "points [1]:", "intervals[1]:", "points[1]:"])
def test_item_before_any_tier_is_fatal(tmp_path, line):
    message = fatal_message(read, write(tmp_path, "xmin = 0\nxmax = 1\n" + line + "\n"))
    assert message


def test_lenient_reading(tmp_path):
    text = 'File type = "ooTextFile"\n' + "\n".join([
        "xmin = 0", "xmax = 4", "size = 7", "unknown line", "item []:",
        "xmin = 99",  # between tiers: ignored
        "item [1]:", "name = \"t\"", "bogus = 1", "intervals [1]:", "xmin = 2", "xmax = 3", "text = \"late\"",
        "intervals [2]:", "xmin = 0", "xmax = 1", "xmin = 0.5", "mark = \"m\"",
        "item [2]:", "class = \"TextTier\"", "points [1]:", "xmin = 1", "xmax = 1",
        "size = 5",  # a header key after the first tier: no tier key of that name, so ignored
    ]) + "\n"
    result = read(write(tmp_path, text))
    assert result == (0.0, 4.0, [("t", True, [(2.0, 3.0, "late"), (0.5, 1.0, "m")]),
                                 ("", False, [(1.0, 1.0, "")])])
    with pytest.raises(OSError, match="TextGrid size does not match number of tiers"):
        read(write(tmp_path, text), strict=True)


@pytest.mark.parametrize("tiers, message", [
    ([("IntervalTier", '"w"', 0, 2, [(0, 1, '""'), (0.99, 2, '""')])], "Items 0 and 1 overlap in tier w"),
    ([("IntervalTier", '"w"', 0, 2, [(0, 1, '""'), (0.9999995, 2, '""')])], None),
    ([("IntervalTier", '"w"', 0, 2, [(0, 1, '""'), (1.5, 2, '""')])], None),
    ([("IntervalTier", '"w"', 1, 1, [])], "tmin should be less than tmax in tier w"),
    ([("IntervalTier", '"w"', 0, 2, [(1, 1.0000005, '""')])], "tmin should be less than tmax in item 0 in tier w"),
    ([("TextTier", '"e"', 0, 2, [(0.5, '""'), (0.5, '""'), (0.7, '""')])], None),
    ([("TextTier", '"e"', 0, 2, [(0.7, '""'), (0.5, '""')])], "Items 0 and 1 overlap in tier e"),
    ([("TextTier", '"e"', 0, 2, [(-1, '""')])], None),
    ([("IntervalTier", '"w"', 0, 2, [(5, 9, '""')])], None),  # items need not lie inside their tier
])
def test_strict_validation(tmp_path, tiers, message):
    path = write(tmp_path, long_text(0, 2, tiers))
    read(path)  # lenient reading never fails on these
    if message is None:
        read(path, strict=True)
    else:
        with pytest.raises(OSError) as info:
            read(path, strict=True)
        assert str(info.value) == f"Failed to read TextGrid file {path} because: {message}"


@pytest.mark.parametrize("key", ["number", "time"])
def test_point_time_keys(tmp_path, key):
    # Some corpus tools write "time = ..." where Praat writes "number = ...".
    text = long_text(0, 2, [("TextTier", '"e"', 0, 2, [(0.5, '"a"'), (1.5, '"b"')])]).replace("number =", key + " =")
    assert read(write(tmp_path, text), strict=True)[2] == [("e", False, [(0.5, 0.5, "a"), (1.5, 1.5, "b")])]


@pytest.mark.parametrize("line, tiers", [
    ("item[]:", []),  # the list of tiers: an "item[" line would have begun a tier
    ("item[1]:", [("", True, [(1.0, 2.0, "")])]),
    ("item [ 1]:", [("", True, [(1.0, 2.0, "")])]),
    ("item  [1]:", []),  # two blanks: a key line, so the item has no tier
    ("item[ ]:", [("", True, [(1.0, 2.0, "")])]),
    ("items[1]:", []),
])
def test_bracket_lines_with_and_without_a_blank(tmp_path, line, tiers):
    text = f"xmin = 0\nxmax = 3\n{line}\nintervals[1]:\nxmin = 1\nxmax = 2\n"
    if tiers:
        assert read(write(tmp_path, text))[2] == tiers
    else:
        assert fatal_message(read, write(tmp_path, text)) == "Item found before any tier: intervals[1]:"


def test_point_with_tmin_and_tmax_apart(tmp_path):
    text = long_text(0, 2, [("TextTier", '"e"', 0, 2, [(1, '""')])]).replace(
        "number = 1", "xmin = 1\n            xmax = 1.5")
    with pytest.raises(OSError, match="Item 0 should have tmin == tmax in PointTier e$"):
        read(write(tmp_path, text), strict=True)


@pytest.mark.parametrize("text, strict_message", [
    ("", "Time bounds should be non-negative in TextGrid"),
    ('File type = "ooTextFile"\nObject class = "TextGrid"\n\nxmin = 0\nxmax = 1\ntiers? <absent>\nsize = 0\n', None),
    ("xmin = 0\nxmax = 1\nitem []:\nitem [1]:\nxmin = 0\nxmax = 1\nintervals [1]:\nxmin = 0\nxmax = 1\n",
     "TextGrid size does not match number of tiers"),
])
def test_files_without_tiers_or_counts(tmp_path, text, strict_message):
    path = write(tmp_path, text)
    read(path)
    if strict_message is None:
        assert read(path, strict=True)[2] == []
    else:
        with pytest.raises(OSError, match=strict_message):
            read(path, strict=True)


def test_tier_without_class_is_an_interval_tier(tmp_path):
    text = long_text(0, 3, [("IntervalTier", '"w"', 0, 3, [(0, 1, '"a"')])]).replace(
        '        class = "IntervalTier"\n', "")
    assert read(write(tmp_path, text), strict=True)[2][0][1] is True

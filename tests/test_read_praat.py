"""The "praat" layout: Praat's value rules, one table per rule, its three kinds
of file, and the messages that say where a file went wrong. Where Praat is
installed, files it writes itself are read back, and the tables are checked
against it too."""
import math
import struct

import pytest

import orvex
from praat_helpers import PRAAT, REPORT_PROCEDURES, parse_reports, run_praat
from test_realworld import praat_grids

pytestmark = pytest.mark.skipif(not hasattr(orvex, "_read_praat"), reason="no praat layout in this build")

HEADER = 'File type = "ooTextFile"\nObject class = "TextGrid"\n\n'


def read(tmp_path, content, strict=False, name="t.TextGrid"):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    return orvex._read_praat(str(path), strict)


def failure(tmp_path, content, strict=False):
    with pytest.raises(OSError) as info:
        read(tmp_path, content, strict)
    return str(info.value).split(" because: ", 1)[1]


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


NAN = float("nan")
NUMBERS = [
    ("plain", "2.5", 2.5), ("sign", "+1e+2", 100.0), ("point-only", "1.", 1.0), ("point-exponent", "1.e2", 100.0),
    ("trailing-text", "100ms", 100.0), ("trailing-point", "1.5.5", 1.5), ("comma", "1,5", 1.0),
    ("hex", "0x10", 16.0), ("hex-float", "0x1.8p1", 3.0), ("hex-upper", "0X1P-2", 0.25), ("bare-0x", "0x", 0.0),
    ("fraction", "1/4", 0.25), ("fraction-hex", "1/0x2", 0.5), ("fraction-twice", "1/2/3", 0.5),
    ("percent", "50%", 0.5), ("percent-exponent", "1.5e3%", 15.0), ("percent-denominator", "3/2%", 150.0),
    ("percent-after-text", "1%x", 0.01), ("percent-not-after-hex", "0x10%", 16.0),
    ("percent-scaled", "0.1e-3%", 0.0001 * 0.01), ("40-characters", "1" + "0" * 39, 1e39),
    ("subnormal", "2.5e-324", 5e-324), ("many-digits", "9999999999999999999999", 1e22),
    ("zero-denominator", "1/0", NAN), ("negative-zero-denominator", "1/-0", NAN), ("empty-denominator", "1/", NAN),
    ("bad-denominator", "1//2", NAN), ("sign-point", "+.5", NAN), ("exponent-without-digits", "1e", NAN),
    ("exponent-point", "1.e", NAN), ("exponent-percent", "1e%", NAN), ("overflow", "1e400", math.inf), ("overflow-fraction", "1e400/2", math.inf), ("infinite-denominator", "1/1e400", NAN),
    ("hex-overflow", "0x1p1024", math.inf), ("undefined", "--undefined--", NAN),
]


@pytest.mark.parametrize("token, value", [case[1:] for case in NUMBERS], ids=[case[0] for case in NUMBERS])
def test_numbers(tmp_path, token, value):
    got = read(tmp_path, HEADER + f"xmin = 0\nxmax = {token}\ntiers? <exists>\nsize = 0\n")
    assert same(got[1], value)


# Each text holds one value per rule, spread or hidden as Praat allows; all
# read as a grid 0..3 with one tier "w" holding (1, 2, label).
SPREADING = [
    ("long", HEADER + 'xmin = 0\nxmax = 3\ntiers? <exists>\nsize = 1\nitem []:\n  item [1]:\n    class = "IntervalTier"\n'
     '    name = "w"\n    xmin = 0\n    xmax = 3\n    intervals: size = 1\n    intervals [1]:\n      xmin = 1\n'
     '      xmax = 2\n      text = "a"\n', "a"),
    ("short-without-blank-line", 'File type = "ooTextFile"\nObject class = "TextGrid"\n0\n3\n<exists>\n1\n'
     '"IntervalTier"\n"w"\n0\n3\n1\n1\n2\n"a"\n', "a"),
    ("one-line", HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1 2 "a"', "a"),
    ("comments", HEADER + '0 ! xmin "x" <y> 5\n3 <exists> 1 "IntervalTier" ! "v"\n"w" 0 3 1 1 2 "a" ! end', "a"),
    ("glued-key-skipped", HEADER + 'xmin=7 0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1 2 "a"', "a"),
    ("words-before-values", HEADER + 'x 0 [3] 3 <exists> n: 1 "IntervalTier" a!b "w" 0 3 1 1 2 "a"', "a"),
    ("unicode-spaces", HEADER + '0\u00a03\u3000<exists>\u20281\u2029"IntervalTier"\x85"w"\u205f0 3 1 1 2 "a"', "a"),
    ("doubled-quote", HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1 2 """a"" b"', '"a" b'),
    ("line-ends-kept", HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1 2 "a\r\nb\rc"', "a\r\nb\rc"),
    ("quote-then-nbsp", HEADER + '0 3 <exists> 1 "IntervalTier" "w"\u00a00 3 1 1 2 "a"', "a"),
    ("capital-flag", HEADER + '0 3 <Exists> 1 "IntervalTier" "w" 0 3 1 1 2 "a"', "a"),
    ("integer-prefix", HEADER + '0 3 <exists> 1.7 "IntervalTier" "w" 0 3 1e3 1 2 "a"', "a"),
    ("class-version", HEADER.replace('"TextGrid"', '"TextGrid 0"') + '0 3 <exists> 1 "IntervalTier 0" "w" 0 3 1 1 2 "a"', "a"),
    ("nul-dropped", HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1 2 "a\x00"', "a"),
    ("utf-16", ("\ufeff" + HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1 2 "a"').encode("utf-16-be"), "a"),
    ("latin-1", (HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1 2 "\xe9"').encode("latin-1"), "\xe9"),
]


@pytest.mark.parametrize("text, label", [case[1:] for case in SPREADING], ids=[case[0] for case in SPREADING])
def test_values_anywhere(tmp_path, text, label):
    assert read(tmp_path, text) == (0.0, 3.0, [("w", True, [(1.0, 2.0, label)])])


# The lines of a tier's items in the shapes Praat writes are read by
# shortcuts; an item of another shape midway must read as the general
# reading reads it, and so must every item after it.
def short_tier(points, second):
    kind, count = ('"TextTier"', 3) if points else ('"IntervalTier"', 3)
    first, third = ("0.5\n\"a\"\n", "2.5\n\"c\"\n") if points else ("0\n1\n\"a\"\n", "2\n3\n\"c\"\n")
    return HEADER + f"0\n3\n<exists>\n1\n{kind}\n\"w\"\n0\n3\n{count}\n" + first + second + third


SHAPES = [
    ("trailing-text", False, '1\n2ms\n"b"\n', (1.0, 2.0, "b")),
    ("crlf", False, '1\r\n2\r\n"b"\r\n', (1.0, 2.0, "b")),
    ("comment", False, '1 ! one\n2\n"b" ! two\n', (1.0, 2.0, "b")),
    ("overflow", False, '1\n1e400\n"b"\n', (1.0, math.inf, "b")),
    ("doubled-quote", False, '1\n2\n"""b"""\n', (1.0, 2.0, '"b"')),
    ("one-line", False, '1 2 "b"\n', (1.0, 2.0, "b")),
    ("plus-sign", True, '+1.5\n"b"\n', (1.5, 1.5, "b")),
    ("fraction", True, '3/2\n"b"\n', (1.5, 1.5, "b")),
]


@pytest.mark.parametrize("points, second, item", [case[1:] for case in SHAPES], ids=[case[0] for case in SHAPES])
def test_item_of_another_shape_midway(tmp_path, points, second, item):
    first, third = ((0.5, 0.5, "a"), (2.5, 2.5, "c")) if points else ((0.0, 1.0, "a"), (2.0, 3.0, "c"))
    assert read(tmp_path, short_tier(points, second)) == (0.0, 3.0, [("w", not points, [first, item, third])])
    if math.isinf(item[1]):
        assert failure(tmp_path, short_tier(points, second), strict=True) == (
            "line 17: the xmax of item 2 of tier 1 is undefined")


# What each failure says, with its line.
WRONG = [
    ("string-for-number", HEADER + 'xmin = 0\nxmax = "3"\n', 'line 5: found a string where a number (xmax) was expected'),
    ("flag-for-number", HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0\n<x>', 'line 5: found a flag where a number (xmax of tier 1) was expected'),
    ("number-for-string", HEADER + '0 3 <exists> 1 "IntervalTier" 5', 'line 4: found a number where a string (name of tier 1) was expected'),
    ("flag-for-string", HEADER + '0 3 <exists> 1 <x>', 'line 4: found a flag where a string (class of tier 1) was expected'),
    ("number-for-flag", HEADER + '0 3 1', 'line 4: found a number where a flag (tiers flag) was expected'),
    ("string-for-flag", HEADER + '0 3 "exists"', 'line 4: found a string where a flag (tiers flag) was expected'),
    ("string-for-integer", HEADER + '0 3 <exists> 1 "TextTier" "w" 0 3 "1"', 'line 4: found a string where an integer (number of items of tier 1) was expected'),
    ("ends", HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1\n', 'line 5: the text ends where a number (xmax of item 1 of tier 1) was expected'),
    ("ends-in-string", HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 1 2 "a\n', 'line 4: the text ends inside the label of item 1 of tier 1'),
    ("after-quote", HEADER + '0 3 <exists> 1 "IntervalTier" "w"x', 'line 4: found "x" right after the closing quote of the name of tier 1'),
    ("format-character-after-quote", HEADER + '0 3 <exists> 1 "IntervalTier"\ufeff"w"', 'line 4: found "\ufeff" right after the closing quote of the class of tier 1'),
    ("number-beyond-ascii", HEADER + '0 1\u200b', 'line 4: found a number holding a character beyond ASCII where a number (xmax) was expected'),
    ("long-number", HEADER + '0 ' + '1' * 41, 'line 4: found text of more than 40 characters where a number (xmax) was expected'),
    ("bad-flag", HEADER + '0 3 <exi sts>', 'line 4: the flag <exi sts> is neither <exists> nor <absent>'),
    ("integer-beyond-32-bits", HEADER + '0 3 <exists> 2147483648', 'line 4: the number of tiers does not fit in 32 bits'),
    ("unknown-class", HEADER + '0 3 <exists> 1 "PointTier" "w"', 'line 4: unknown tier class "PointTier" (class of tier 1)'),
    ("newer-class", HEADER + '0 3 <exists> 1 "IntervalTier 1" "w"', 'line 4: unknown tier class "IntervalTier 1" (class of tier 1)'),
    ("grid-reversed", HEADER + '3 0 <exists> 0', 'line 4: the xmax is less than the xmin'),
    ("interval-reversed", HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 1 2 1 "a"', 'line 4: the xmax of item 1 of tier 1 is less than the xmin of item 1 of tier 1'),
    ("empty", "", "not a TextGrid file: the file is empty"),
    ("no-file-type", 'Object class = "TextGrid"\n0 3 <exists> 0', 'not a TextGrid file: its first line "Object class = "TextGrid"" names neither ooTextFile nor ooBinaryFile'),
    ("other-class", 'File type = "ooTextFile"\nObject class = "Sound"\n', 'not a TextGrid file: its object class is "Sound"'),
]


@pytest.mark.parametrize("text, message", [case[1:] for case in WRONG], ids=[case[0] for case in WRONG])
def test_failures_say_where(tmp_path, text, message):
    assert failure(tmp_path, text) == message


def test_strict_refuses_undefined_and_validates(tmp_path):
    text = HEADER + '0 3 <exists> 1 "IntervalTier" "w" 0 3 2 1 2 "a" 1.5 1/0 "b"'
    assert failure(tmp_path, text, strict=True) == "line 4: the xmax of item 2 of tier 1 is undefined"
    assert failure(tmp_path, text.replace("1/0", "2.5"), strict=True) == "Items 0 and 1 overlap in tier w"
    # Lenient: kept as written, in file order, the undefined end included.
    tiers = read(tmp_path, text)[2]
    assert tiers[0][2][0] == (1.0, 2.0, "a") and math.isnan(tiers[0][2][1][1])


CHRONOLOGICAL = ('"Praat chronological TextGrid text file"\n0 3   ! Time domain.\n2   ! Number of tiers.\n'
                 '"IntervalTier" "w" 0 3\n"TextTier" "e" 0 3\n\n! w:\n1 1.5 3\n"b"\n\n! e:\n2 2.5\n"q"\n'
                 '2 0.5 "p"\n1 0 1.5 "a"\n2 0.5 "p2"\n')


def test_chronological(tmp_path):
    # Each tier's items in time order, ties in file order, nothing dropped.
    assert read(tmp_path, CHRONOLOGICAL) == (0.0, 3.0, [
        ("w", True, [(0.0, 1.5, "a"), (1.5, 3.0, "b")]),
        ("e", False, [(0.5, 0.5, "p"), (0.5, 0.5, "p2"), (2.5, 2.5, "q")])])
    assert failure(tmp_path, CHRONOLOGICAL + '3 1 2 "x"\n') == "line 17: tier number 3 of item 6 is not between 1 and 2"
    assert failure(tmp_path, CHRONOLOGICAL + '"x"\n') == \
        "line 17: found a string where an integer (tier number of item 6) was expected"
    # Praat recognises no chronological file below 100 bytes.
    assert failure(tmp_path, '"Praat chronological TextGrid text file"\n0 3\n0\n').startswith("not a TextGrid file")


def text_binary(text):
    return struct.pack(">H", len(text)) + text.encode("latin-1") if max(map(ord, text), default=0) < 256 else \
        b"\xff\xff" + struct.pack(">H", len(text)) + text.encode("utf-16-be")


def binary(tmin, tmax, tiers, flag=1):
    """A binary TextGrid file as Praat writes one."""
    out = b"ooBinaryFile\x08TextGrid" + struct.pack(">ddB", tmin, tmax, flag)
    if not flag:
        return out
    out += struct.pack(">i", len(tiers))
    for name, is_interval, items, *bounds in tiers:
        kind = "IntervalTier" if is_interval else "TextTier"
        out += bytes([len(kind)]) + kind.encode() + text_binary(name) + struct.pack(">ddi", *(bounds or (tmin, tmax)), len(items))
        for a, b, label in items:
            out += struct.pack(">dd", a, b) if is_interval else struct.pack(">d", a)
            out += text_binary(label)
    return out


BINARY_GRID = (0.0, 3.0, [("w\u00e9", True, [(0.0, 1.5, "a \U0001F600 \u00e9"), (1.5, 3.0, "")]),
                          ("e", False, [(2.5, 2.5, "q"), (0.5, 0.5, "p")])])


def test_binary(tmp_path):
    data = binary(*BINARY_GRID)
    assert read(tmp_path, data) == BINARY_GRID
    assert read(tmp_path, binary(0.0, 3.0, [], flag=0)) == (0.0, 3.0, [])
    odd = data.replace(b"\x08TextTier", b"\x08TextTieR")
    assert failure(tmp_path, odd) == f'binary TextGrid file: unknown tier class "TextTieR" (class of tier 2) ' \
                                     f'before byte {odd.index(b"TextTieR") + 8}'
    reversed_tier = binary(0.0, 3.0, [("w", True, [], 2.0, 1.0)])
    assert failure(tmp_path, reversed_tier).startswith("binary TextGrid file: the xmax of tier 1 is less than the xmin")
    # The mark "ooBinaryFile" decides the kind before any text decoding.
    assert orvex.textgrids2arrow([str(tmp_path / "t.TextGrid")]).failures == []


def test_binary_truncated_at_every_byte(tmp_path):
    data = binary(*BINARY_GRID)
    messages = set()
    for n in range(len(data)):
        message = failure(tmp_path, data[:n]) if n else "empty"
        assert n == 0 or message.startswith(f"binary TextGrid file ends at byte {n} inside the ") \
            or message.startswith("not a TextGrid file"), (n, message)
        messages.add(message.split(" inside the ")[-1])
    assert {"label of item 1 of tier 1", "time of item 2 of tier 2", "number of items of tier 2"} <= messages


@pytest.mark.skipif(PRAAT is None, reason="praat is not installed")
def test_files_praat_writes(tmp_path):
    script = r"""
form W
    sentence out
endform
""" + REPORT_PROCEDURES + r"""
tg = Create TextGrid: 0, 3, "words events", "events"
Insert boundary: 1, 1.5
""" + 'Set interval text: 1, 1, "h" + unicode$(233) + "llo " + unicode$(128512) + " ""q"""\n' + r"""Insert point: 2, 0.5, "p1"
Insert point: 2, 2.5, "x" + unicode$(128512)
Save as text file: out$ + "/long.TextGrid"
Save as short text file: out$ + "/short.TextGrid"
Save as chronological text file: out$ + "/chronological.TextGrid"
Save as binary file: out$ + "/binary.TextGrid"
@report: tg
"""
    expected = parse_reports(run_praat(tmp_path, script, tmp_path))[0]
    for kind in ("long", "short", "chronological", "binary"):
        assert orvex._read_praat(str(tmp_path / f"{kind}.TextGrid"), True) == expected, kind


@pytest.mark.skipif(PRAAT is None, reason="praat is not installed")
def test_tables_agree_with_praat(tmp_path):
    """Every text of the tables above that Praat reads, it reads as we do;
    every one that fails here, Praat refuses."""
    texts = [HEADER + f"xmin = 0\nxmax = {token}\ntiers? <exists>\nsize = 0\n" for _, token, _ in NUMBERS]
    texts += [text for _, text, _ in SPREADING] + [text for _, text, _ in WRONG]
    paths = []
    for i, text in enumerate(texts):
        paths.append(tmp_path / f"{i}.TextGrid")
        paths[-1].write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    theirs = praat_grids(paths)
    for path, praat in zip(paths, theirs):
        try:
            ours = orvex._read_praat(str(path), False)
        except OSError:
            ours = None
        assert (ours is None) == (praat is None), path.read_bytes()
        if ours is not None:
            # Praat reports an infinite time as undefined.
            assert same(ours[0], praat[0]) and same(ours[1] if math.isfinite(ours[1]) else NAN, praat[1])
            assert [(n, f, [(a, b, lab.replace("\r\n", "\n").replace("\r", "\n")) for a, b, lab in items])
                    for n, f, items in ours[2]] == praat[2]

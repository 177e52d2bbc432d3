"""Praat, the format's own program, as the reference: it must open what orvex
writes, and orvex must read what Praat writes, with the same tiers, times and
labels. Skipped where Praat is not installed."""

import pytest

import orvex
from praat_helpers import PRAAT, REPORT_PROCEDURES, parse_reports, praat_reading, run_praat

pytestmark = pytest.mark.skipif(PRAAT is None, reason="praat is not installed")

REPORT_SCRIPT = r"""
form Report
    sentence path
endform
""" + REPORT_PROCEDURES + r"""
tg = Read from file: path$
@report: tg
"""

# Praat writes a grid of its own in both layouts; non-ASCII text comes from
# code points so that the script itself stays ASCII.
CREATE_SCRIPT = r'''
form Create
    sentence long_path
    sentence short_path
endform
Text writing preferences: "UTF-8"
# Quoted text goes through variables: the argument list of a command does
# not take doubled quotes.
names$ = "words events " + """quoted"""
tg = Create TextGrid: 0, 3.5, names$, "events"
Insert boundary: 1, 0.25
Insert boundary: 1, 1.2
Insert boundary: 1, 1/3 + 2
label$ = "say ""hi"""
Set interval text: 1, 1, label$
label$ = "two" + newline$ + "lines " + unicode$(233) + unicode$(28450) + unicode$(128512)
Set interval text: 1, 2, label$
label$ = "back\slash \"""
Set interval text: 1, 3, label$
Insert point: 2, 0.75, "x"
Insert point: 2, 1.5, ""
label$ = """"
Insert point: 2, 3.25, label$
name$ = "name with ""quotes"""
Set tier name: 3, name$
Insert boundary: 3, 0.1
Set interval text: 3, 2, "  padded  "
Save as text file: long_path$
Save as short text file: short_path$
'''


def praat_report(tmp_path, path):
    """What Praat reads from path, in the shape textgrid2data returns."""
    [grid] = parse_reports(run_praat(tmp_path, REPORT_SCRIPT, path))
    return grid


# Interval tiers cover their tier without gaps, as Praat's own do; points
# never share a time (Praat refuses that).
ORVEX_GRID = [
    ("words", True, [
        (0.0, 0.5, 'say "hi"'),
        (0.5, 1.0, ""),
        (1.0, 1 / 3 + 1, "two\nlines"),
        (1 / 3 + 1, 2.0, "crlf\r\ninside and lone\rcr"),
        (2.0, 2.5, "é 漢字 \U0001f600"),
        (2.5, 3.0, 'back\\slash \\" and ""'),
        (3.0, 4.0, "  padded  "),
    ]),
    ('tier "quoted"', False, [(0.1, 0.1, "x"), (0.30000000000000004, 0.30000000000000004, ""),
                              (2.0, 2.0, '"'), (3.5, 3.5, "ü\nline")]),
    ("after", True, [(0.0, 4.0, "item []:")]),
]


@pytest.mark.parametrize("file_type", ["long", "short"])
def test_praat_reads_what_orvex_writes(tmp_path, file_type):
    path = tmp_path / f"orvex_{file_type}.TextGrid"
    orvex.data2textgrid(ORVEX_GRID, 0.0, 4.0, str(path), file_type)
    expected = (0.0, 4.0, [(praat_reading(name), flag, [(a, b, praat_reading(label)) for a, b, label in items])
                           for name, flag, items in ORVEX_GRID])
    assert praat_report(tmp_path, path) == expected


def test_orvex_reads_what_praat_writes(tmp_path):
    long_path, short_path = tmp_path / "praat_long.TextGrid", tmp_path / "praat_short.TextGrid"
    run_praat(tmp_path, CREATE_SCRIPT, long_path, short_path)
    assert b"item []:" in long_path.read_bytes()
    assert b"item []" not in short_path.read_bytes()
    reported = praat_report(tmp_path, long_path)
    # Sanity: the grid Praat made holds the awkward labels.
    labels = [label for _, _, items in reported[2] for _, _, label in items]
    assert 'say "hi"' in labels and '"' in labels and any("\n" in label for label in labels)
    assert orvex.textgrid2data(str(long_path), True, "long") == reported
    assert praat_report(tmp_path, short_path) == reported
    assert orvex.textgrid2data(str(short_path), True, "short") == reported

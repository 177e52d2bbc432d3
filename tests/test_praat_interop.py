"""Praat, the format's own program, as the reference: it must open what orvex
writes, and orvex must read what Praat writes, with the same tiers, times and
labels. Skipped where Praat is not installed."""

import os
import shutil
import subprocess

import pytest

import orvex

PRAAT = shutil.which("praat")
pytestmark = pytest.mark.skipif(PRAAT is None, reason="praat is not installed")

# Reports a TextGrid one value per line. Names and labels are escaped so that
# line breaks survive: backslash, LF, CR and tab become \\ \n \r \t.
REPORT_SCRIPT = r"""
form Report
    sentence path
endform
procedure esc: .s$
    .s$ = replace$(.s$, "\", "\\", 0)
    .s$ = replace$(.s$, newline$, "\n", 0)
    .s$ = replace$(.s$, unicode$(13), "\r", 0)
    .s$ = replace$(.s$, tab$, "\t", 0)
    esc.out$ = .s$
endproc
tg = Read from file: path$
start = Get start time
end = Get end time
writeInfoLine: "G", tab$, start, tab$, end
nt = Get number of tiers
for t from 1 to nt
    selectObject: tg
    name$ = Get tier name: t
    isint = Is interval tier: t
    @esc: name$
    appendInfoLine: "T", tab$, isint, tab$, esc.out$
    if isint
        n = Get number of intervals: t
        for i from 1 to n
            a = Get start time of interval: t, i
            b = Get end time of interval: t, i
            lab$ = Get label of interval: t, i
            @esc: lab$
            appendInfoLine: "I", tab$, a, tab$, b, tab$, esc.out$
        endfor
    else
        n = Get number of points: t
        for i from 1 to n
            a = Get time of point: t, i
            lab$ = Get label of point: t, i
            @esc: lab$
            appendInfoLine: "P", tab$, a, tab$, esc.out$
        endfor
    endif
endfor
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


def run_praat(tmp_path, script, *args):
    script_path = tmp_path / "script.praat"
    script_path.write_text(script, encoding="utf-8")
    home = tmp_path / "home"
    home.mkdir(exist_ok=True)
    # Praat keeps its preferences under $HOME; a private one keeps runs apart.
    env = dict(os.environ, HOME=str(home))
    done = subprocess.run([PRAAT, "--run", str(script_path), *map(str, args)], env=env,
                          capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
    return done.stdout.decode("utf-8")


def unescape(s):
    out, i = [], 0
    while i < len(s):
        if s[i] == "\\":
            out.append({"\\": "\\", "n": "\n", "r": "\r", "t": "\t"}[s[i + 1]])
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)


def praat_report(tmp_path, path):
    """What Praat reads from path, in the shape textgrid2data returns."""
    grid = None
    for line in run_praat(tmp_path, REPORT_SCRIPT, path).split("\n"):
        if not line:
            continue
        kind, *fields = line.split("\t")
        if kind == "G":
            grid = (float(fields[0]), float(fields[1]), [])
        elif kind == "T":
            grid[2].append((unescape(fields[1]), fields[0] == "1", []))
        elif kind == "I":
            grid[2][-1][2].append((float(fields[0]), float(fields[1]), unescape(fields[2])))
        else:
            grid[2][-1][2].append((float(fields[0]), float(fields[0]), unescape(fields[1])))
    return grid


def praat_reading(label):
    # Praat turns CR LF and a lone CR inside a string into LF as it reads.
    return label.replace("\r\n", "\n").replace("\r", "\n")


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

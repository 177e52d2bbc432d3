"""Driving Praat, the format's own program, as a reference reader: a headless
run with a private HOME, and a report of a TextGrid that parses back into the
shape textgrid2data returns."""
import os
import shutil
import subprocess

PRAAT = shutil.which("praat")

# Praat procedures for a script: `@report: tg` prints the TextGrid one value
# per line. Names and labels are escaped so that line breaks survive:
# backslash, LF, CR and tab become \\ \n \r \t. Praat prints a number with 15
# significant digits when they give the same double back, else with 17, so
# times read back bit for bit.
REPORT_PROCEDURES = r"""
procedure esc: .s$
    .s$ = replace$(.s$, "\", "\\", 0)
    .s$ = replace$(.s$, newline$, "\n", 0)
    .s$ = replace$(.s$, unicode$(13), "\r", 0)
    .s$ = replace$(.s$, tab$, "\t", 0)
    esc.out$ = .s$
endproc
procedure report: .tg
    selectObject: .tg
    .start = Get start time
    .end = Get end time
    appendInfoLine: "G", tab$, .start, tab$, .end
    .nt = Get number of tiers
    for .t from 1 to .nt
        selectObject: .tg
        .name$ = Get tier name: .t
        .isint = Is interval tier: .t
        @esc: .name$
        appendInfoLine: "T", tab$, .isint, tab$, esc.out$
        if .isint
            .n = Get number of intervals: .t
            for .i from 1 to .n
                .a = Get start time of interval: .t, .i
                .b = Get end time of interval: .t, .i
                .lab$ = Get label of interval: .t, .i
                @esc: .lab$
                appendInfoLine: "I", tab$, .a, tab$, .b, tab$, esc.out$
            endfor
        else
            .n = Get number of points: .t
            for .i from 1 to .n
                .a = Get time of point: .t, .i
                .lab$ = Get label of point: .t, .i
                @esc: .lab$
                appendInfoLine: "P", tab$, .a, tab$, esc.out$
            endfor
        endif
    endfor
endproc
"""


def run_praat(tmp_path, script, *args, timeout=120):
    script_path = tmp_path / "script.praat"
    script_path.write_text(script, encoding="utf-8")
    home = tmp_path / "home"
    home.mkdir(exist_ok=True)
    # Praat keeps its preferences under $HOME; a private one keeps runs apart.
    env = dict(os.environ, HOME=str(home))
    done = subprocess.run([PRAAT, "--run", str(script_path), *map(str, args)], env=env,
                          capture_output=True, timeout=timeout)
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


def number(field):
    # Praat's word for a time it cannot tell (NaN, or inf in a file).
    return float("nan") if field == "--undefined--" else float(field)


def parse_reports(text):
    """The grids of a run of reports, in order; a line "E" stands for a file
    that was not read and gives None."""
    grids = []
    for line in text.split("\n"):
        if not line:
            continue
        kind, *fields = line.split("\t")
        if kind == "E":
            grids.append(None)
        elif kind == "G":
            grids.append((number(fields[0]), number(fields[1]), []))
        elif kind == "T":
            grids[-1][2].append((unescape(fields[1]), fields[0] == "1", []))
        elif kind == "I":
            grids[-1][2][-1][2].append((number(fields[0]), number(fields[1]), unescape(fields[2])))
        else:
            grids[-1][2][-1][2].append((number(fields[0]), number(fields[0]), unescape(fields[1])))
    return grids


def praat_reading(label):
    # Praat turns CR LF and a lone CR inside a string into LF as it reads.
    return label.replace("\r\n", "\n").replace("\r", "\n")

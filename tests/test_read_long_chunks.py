"""Large long-layout texts, which are parsed in chunks when two CPUs are free, read exactly as in one pass:
the outcome of each file (data, validation error or fatal failure) is compared, lenient and strict, with a
child interpreter pinned to one CPU. Each text is about 5 MiB, so it makes two chunks, and is laid out so
that its middle falls on the line before a chosen item line, where the second chunk then starts."""
import hashlib
import json
import os
import re
import subprocess
import sys

import pytest

import orvex

pytestmark = pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="chunks need two CPUs")

N1, N2 = 26000, 23000  # filler intervals before and after the cut: about 2.7 and 2.4 MB of text
P1, P2 = 36000, 32000  # the same in points, which are shorter


def head(n_tiers, nl):
    return nl.join(['File type = "ooTextFile"', 'Object class = "TextGrid"', "", "xmin = 0", "xmax = 1000",
                    "tiers? <exists>", f"size = {n_tiers}", "item []:", ""])


def tier(index, name, size, nl, cls="IntervalTier"):
    word = "points" if cls == "TextTier" else "intervals"
    return nl.join([f"    item [{index}]:", f'        class = "{cls}"', f'        name = "{name}"',
                    "        xmin = 0", "        xmax = 1000", f"        {word}: size = {size}", ""])


def intervals(start, n, nl):
    return "".join(f"        intervals [{k + 1}]:{nl}            xmin = {k * 0.01:.2f}{nl}"
                   f"            xmax = {(k + 1) * 0.01:.2f}{nl}            text = \"w{k % 97}\"{nl}"
                   for k in range(start, start + n))


def points(start, n, nl):
    return "".join(f"        points [{k + 1}]:{nl}            number = {k * 0.01:.2f}{nl}"
                   f"            mark = \"p{k % 97}\"{nl}" for k in range(start, start + n))


def open_label(k, nl):
    """An interval whose label opens and goes on to the following lines."""
    return (f"        intervals [{k + 1}]:{nl}            xmin = {k * 0.01:.2f}{nl}"
            f"            xmax = {(k + 1) * 0.01:.2f}{nl}            text = \"opens{nl}")


def junk(nbytes, nl):
    return f'        comment = "not read"{nl}' * (nbytes // 30)


def one_tier(nl, before_cut, after_cut, n_after=N2):
    """One interval tier of N1 items, the lines around the cut, then n_after items."""
    return (head(1, nl) + tier(1, "a", N1 + 1 + n_after, nl) + intervals(0, N1, nl) + before_cut,
            after_cut + intervals(N1 + 1, n_after, nl))


# Each case gives (text before the cut, text from the cut on, what the lenient read gives: the item count
# of each tier, or the start of the fatal message). check_cut False: the second chunk starts later.
CASES = {
    "cut-inside-a-tier": (lambda nl: (head(1, nl) + tier(1, "a", N1 + N2, nl) + intervals(0, N1, nl),
                                      intervals(N1, N2, nl)), [N1 + N2]),
    "cut-inside-a-point-tier": (lambda nl: (head(1, nl) + tier(1, "p", P1 + P2, nl, "TextTier") + points(0, P1, nl),
                                            points(P1, P2, nl)), [P1 + P2]),
    # The second chunk's items go to a tier whose header lines end the first chunk.
    "cut-at-a-tier's-first-item": (lambda nl: (head(2, nl) + tier(1, "a", N1, nl) + intervals(0, N1, nl)
                                               + tier(2, "b", N2, nl), intervals(0, N2, nl)), [N1, N2]),
    "cut-at-a-tier's-last-item": (lambda nl: (head(2, nl) + tier(1, "a", N1 + 1, nl) + intervals(0, N1, nl),
                                              intervals(N1, 1, nl) + tier(2, "b", N2, nl) + intervals(0, N2, nl)),
                                  [N1 + 1, N2]),
    "label-closes-just-before-cut": (lambda nl: one_tier(nl, open_label(N1, nl) + f"xmin = 99{nl}closes\"{nl}", ""),
                                     [N1 + 1 + N2]),
    # A label without item-like lines pushes the cut past its end.
    "label-spans-the-middle": (lambda nl: one_tier(nl, open_label(N1, nl) + f"xmin = 99{nl}" * 200,
                                                   f"xmin = 98{nl}" * 200 + f'closes"{nl}'), [N1 + 1 + N2]),
    # The cut is made at a line inside a label, so the first chunk reads past it.
    "item-line-inside-a-label": (lambda nl: one_tier(nl, open_label(N1, nl),
                                                     f"        intervals [7]:{nl}xmin = 5{nl}closes\"{nl}"),
                                 [N1 + 1 + N2]),
    "label-closes-on-an-item-line": (lambda nl: one_tier(nl, open_label(N1, nl),
                                                         f"        intervals [7]: closes\"{nl}"), [N1 + 1 + N2]),
    "fatal-in-both-chunks": (lambda nl: (head(3, nl) + tier(1, "a", N1, nl) + intervals(0, N1, nl)
                                         + tier(2, "b", 1, nl, "Bogus1"),
                                         intervals(0, 1, nl) + tier(3, "c", N2, nl, "Bogus2") + intervals(0, N2, nl)),
                             'Unknown tier class: "Bogus1"'),
    "fatal-in-the-late-chunk": (lambda nl: (head(2, nl) + tier(1, "a", N1 + 1, nl) + intervals(0, N1, nl),
                                            intervals(N1, 1, nl) + tier(2, "c", N2, nl, "Bogus2")
                                            + intervals(0, N2, nl)), 'Unknown tier class: "Bogus2"'),
    # Nothing but header lines in the first chunk: the second one's first line fails, before its bad class.
    "item-before-any-tier-in-the-late-chunk": (lambda nl: (head(1, nl) + junk(2_600_000, nl),
                                                           intervals(0, 1, nl) + tier(1, "c", N2, nl, "Bogus2")
                                                           + intervals(0, N2, nl)),
                                               "Item found before any tier: intervals [1]:"),
    # Strict reading fails on the two items that meet at the cut.
    "overlap-across-the-cut": (lambda nl: (head(1, nl) + tier(1, "a", N1 + N2, nl) + intervals(0, N1, nl),
                                           intervals(N1 - 1, N2, nl)), [N1 + N2]),
    "no-item-after-the-middle": (lambda nl: (head(2, nl) + tier(1, "a", N1, nl) + intervals(0, N1, nl),
                                             tier(2, "b", 0, nl) + junk(2_300_000, nl)), [N1, 0]),
}
# Other line ends, and brackets without a blank before them ("tight").
VARIANTS = ["cut-inside-a-tier", "cut-at-a-tier's-last-item", "item-line-inside-a-label"]
PARAMS = ([(name, "\n") for name in CASES] + [(name, "\r\n") for name in VARIANTS]
          + [(name, "\r") for name in VARIANTS] + [(name, "tight") for name in VARIANTS[:2]])
IDS = [name + {"\n": "", "\r\n": "-crlf", "\r": "-cr", "tight": "-tight"}[nl] for name, nl in PARAMS]


def build(name, nl):
    """The case's text, padded at its end with an ignored line so that its middle falls on the last line
    before the cut."""
    if nl == "tight":
        before, after = (re.sub(r"(item|intervals|points) \[", r"\1[", part) for part in CASES[name][0]("\n"))
        nl = "\n"
    else:
        before, after = CASES[name][0](nl)
    middle = len(before) - 2  # on the last line of `before`, so the next line start found is the cut
    pad = 2 * middle - len(before) - len(after)
    assert pad > len(nl)
    text = before + after + "#" * (pad - len(nl)) + nl
    assert 4 << 20 <= len(text) < 6 << 20 and len(text) // 2 == middle
    return text


def outcome(path, strict):
    try:
        result = orvex.textgrid2data(path, strict, "long")
    except BaseException as exc:  # the module's internal failure is not an Exception
        return [type(exc).__name__, str(exc)]
    return [[len(t[2]) for t in result[2]], hashlib.sha256(repr(result).encode()).hexdigest()]


CHILD = """
import json, os, sys
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import test_read_long_chunks as t
print(json.dumps({p: [t.outcome(p, False), t.outcome(p, True)] for p in json.loads(sys.stdin.read())}))
"""


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Paths of every case, and their outcomes in the one-pass parse of a child pinned to one CPU."""
    root = tmp_path_factory.mktemp("chunks")
    paths = {}
    for (name, nl), case_id in zip(PARAMS, IDS):
        path = root / f"{case_id}.TextGrid"
        path.write_bytes(build(name, nl).encode())
        paths[case_id] = str(path)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(orvex.__path__[0]), os.path.dirname(__file__)]))
    done = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(list(paths.values())), env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return paths, json.loads(done.stdout)


@pytest.mark.parametrize("name, nl", PARAMS, ids=IDS)
def test_reads_as_one_pass(files, name, nl):
    paths, one_pass = files
    path = paths[IDS[PARAMS.index((name, nl))]]
    got = [outcome(path, False), outcome(path, True)]
    assert got == one_pass[path]
    expected = CASES[name][1]
    if isinstance(expected, str):
        assert got[0][1].startswith(expected) and got[1] == got[0]
    else:
        assert got[0][0] == expected

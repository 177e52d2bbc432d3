"""Hostile files and hostile arguments: each gives a result or the defined error, never a crash, a hang or a
result that disagrees with itself. Everything runs in child processes with a time limit, so that a crash or a
hang shows up as the failing case (each child names the case it starts on stderr)."""
import functools
import json
import math
import os
import random
import struct
import subprocess
import sys

import pytest

import orvex
from fakes import IterSeq, Seq, lying

np = pytest.importorskip("numpy")

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "samples")
FATAL_PREFIXES = ("Unknown tier class: ", "Item found before any tier: ", "Unexpected end of file while reading ")
LAYOUTS = [("long", False), ("long", True), ("short", False), ("short", True), ("auto", False)]


def sample(layout):
    with open(os.path.join(SAMPLES, f"hello_{layout}.TextGrid"), "rb") as f:
        return f.read()


# ---- hostile files ------------------------------------------------------------------------------------------

def truncated(layout):
    """The sample cut after every line, and in the middle of every line."""
    lines = sample(layout).splitlines(keepends=True)
    cuts = {}
    for k in range(len(lines) + 1):
        head = b"".join(lines[:k])
        cuts[f"line{k}"] = head
        if k < len(lines):
            cuts[f"line{k}-half"] = head + lines[k][:len(lines[k]) // 2]
    return cuts


TOKENS = [b"item []:", b"item [1]:", b"intervals [1]:", b"points [2]:", b'class = "IntervalTier"',
          b'class = "TextTier"', b"intervals: size = 3", b"points: size = 18446744073709551615", b"size = 2",
          b"xmin = ", b"xmax = ", b"number = ", b"text = ", b"mark = ", b'"', b'""', b'"a""b"', b"nan", b"-inf",
          b"1e308", b"1e999", b"-0", b"0x10", b"4.9e-324", b"<exists>", b'"IntervalTier"', b'"TextTier"',
          b'File type = "ooTextFile"', b'Object class = "TextGrid"', b"\xef\xbb\xbf", b"=", b" ", b"\t",
          "é€𝄞".encode(), b"0", b"1", b"2"]


def soup(rng, pieces):
    out = []
    for _ in range(pieces):
        out.append(rng.choice(TOKENS))
        out.append(rng.choice([b"\n", b"\r\n", b"\r", b" ", b""]))
    return b"".join(out)


def random_files():
    rng = random.Random(1010)
    files = {f"bytes{i}": bytes(rng.randrange(256) for _ in range(rng.randrange(2000))) for i in range(60)}
    files.update({f"ascii{i}": bytes(rng.choice(b"\n\r \"=[]:0123456789.-abcxnie") for _ in range(2000))
                  for i in range(60)})
    files.update({f"soup{i}": soup(rng, rng.randrange(1, 400)) for i in range(200)})
    # Long enough for the long layout to be parsed in chunks on several threads.
    for i in range(2):
        files[f"large-soup{i}"] = sample("long")[:200] + soup(rng, 900000)
    return files


def counts():
    """Declared counts far beyond what the file holds, or beyond any integer type."""
    long_text, short_text = sample("long").decode(), sample("short").decode()
    files = {}
    for count in ("1000000000000000000", "18446744073709551615", "18446744073709551616",
                  "1" + "0" * 30, "-1", "1e18"):
        files[f"long-header-{count}"] = long_text.replace("size = 3", f"size = {count}", 1).encode()
        files[f"long-tier-{count}"] = long_text.replace("intervals: size = 4", f"intervals: size = {count}",
                                                        1).encode()
        lines = short_text.split("\r\n")
        tiers_at = lines.index("<exists>") + 1
        files[f"short-tiers-{count}"] = "\r\n".join(lines[:tiers_at] + [count] + lines[tiers_at + 1:]).encode()
        items_at = tiers_at + 5
        files[f"short-items-{count}"] = "\r\n".join(lines[:items_at] + [count] + lines[items_at + 1:]).encode()
    return files


def non_finite():
    """Every number of the sample replaced by one spelling of NaN or an infinity."""
    import re
    files = {}
    for layout in ("long", "short"):
        text = sample(layout).decode()
        for spelling in ("nan", "NaN", "inf", "-inf", "Infinity", "-Infinity", "1e999", "-nan"):
            if layout == "long":
                out = re.sub(r"(?m)^(\s*(?:xmin|xmax|number) = )\S+", lambda m: m.group(1) + spelling, text)
            else:
                out = re.sub(r"(?m)^-?[0-9.]+(\r?)$",
                             lambda m: (spelling if "." in m.group(0) or m.group(0) == "0" else m.group(0))
                             + m.group(1), text)
            files[f"{layout}-{spelling}"] = out.encode()
    return files


def one_line():
    return {"letters": b"a" * (100 << 20), "open-quote": b'text = "' + b"x" * (100 << 20)}


FAMILIES = {"truncated-long": lambda: truncated("long"), "truncated-short": lambda: truncated("short"),
            "random": random_files, "counts": counts, "non-finite": non_finite, "one-line": one_line}


def bits(x):
    """A float by bit pattern, so that -0.0 and 0.0 differ; every NaN as one (the writer writes them all
    alike)."""
    return "nan" if math.isnan(x) else struct.pack("<d", x).hex()


def rows_of(data):
    return [(bits(a), bits(b), label, name, flag) for name, flag, items in data[2] for a, b, label in items]


def describe(exc):
    if isinstance(exc, OSError):
        return "OSError: " + str(exc)
    if not isinstance(exc, Exception):
        return "internal: " + exc.args[0]
    return f"{type(exc).__name__}: {exc}"


def read_file_family(family, root):
    """For each file of the family and each layout: the outcome of reading it, both shapes; and whether a
    successful read writes back in both layouts and reads back the same (NaN compared by bit pattern)."""
    report = {}
    for name, content in FAMILIES[family]().items():
        path = os.path.join(root, f"{family}-{name}.TextGrid")
        with open(path, "wb") as f:
            f.write(content)
        for layout, strict in (LAYOUTS if family != "one-line" else LAYOUTS[::2]):
            case = f"{name} {layout} strict={strict}"
            print("case", family, case, file=sys.stderr, flush=True)
            outcomes = []
            for shape in ("data", "vectors"):
                try:
                    got = (orvex.textgrid2data if shape == "data" else orvex.textgrid2vectors)(path, strict, layout)
                except BaseException as exc:
                    outcomes.append(describe(exc).replace(path, "{path}"))
                    continue
                if shape == "data":
                    data = got
                    outcomes.append("ok")
                else:
                    rows = list(zip(map(bits, got[0].tolist()), map(bits, got[1].tolist()), got[2], got[3],
                                    got[4].tolist()))
                    outcomes.append("ok" if outcomes[0] == "ok" and rows == rows_of(data) else "disagrees")
            if outcomes == ["ok", "ok"] and family in ("non-finite", "truncated-long", "truncated-short"):
                for out_layout in ("long", "short"):
                    out = path + ".out"
                    try:
                        orvex.data2textgrid(data[2], data[0], data[1], out, out_layout)
                    except OSError as exc:
                        if not str(exc).startswith("Failed to create TextGrid because: "):
                            outcomes.append("write: " + describe(exc))
                        continue
                    back = orvex.textgrid2data(out, False, out_layout)
                    if rows_of(back) != rows_of(data) or bits(back[0]) != bits(data[0]):
                        outcomes.append(f"round trip through {out_layout} differs")
            report[case] = outcomes
        os.remove(path)
    return report


def allowed(outcome):
    return (outcome == "ok" or outcome.startswith("OSError: Failed to read TextGrid file {path} because: ")
            or any(outcome.startswith("internal: " + prefix) for prefix in FATAL_PREFIXES))


def run_child(code, *args, timeout=300):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(orvex.__path__[0]), os.path.dirname(__file__)]))
    done = subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, text=True,
                          timeout=timeout)
    last = [line for line in done.stderr.splitlines() if line.startswith("case ")][-1:]
    assert done.returncode == 0, f"child died (status {done.returncode}) in {last}: {done.stderr[-2000:]}"
    return json.loads(done.stdout.splitlines()[-1])


FILE_CHILD = r"""
import json, sys
import test_hostile
print(json.dumps({family: test_hostile.read_file_family(family, sys.argv[1]) for family in sys.argv[2:]}))
"""


@pytest.fixture(scope="module")
def file_report(tmp_path_factory):
    families = [f for f in FAMILIES if f != "one-line"]
    return run_child(FILE_CHILD, str(tmp_path_factory.mktemp("hostile")), *families)


@pytest.mark.parametrize("family", [f for f in FAMILIES if f != "one-line"])
def test_hostile_files_give_a_result_or_the_defined_error(file_report, family):
    report = file_report[family]
    bad = {case: outcomes for case, outcomes in report.items()
           if not all(allowed(o) for o in outcomes) or outcomes[0] != outcomes[1]}
    assert bad == {}
    assert report  # the family was not empty


def test_truncation_ends(file_report):
    # The whole sample reads strictly; the empty file fails as each layout says.
    long_cuts = file_report["truncated-long"]
    last = max(int(case.split()[0][4:]) for case in long_cuts if "half" not in case)
    assert long_cuts[f"line{last} long strict=True"] == ["ok", "ok"]
    assert file_report["truncated-short"]["line0 short strict=False"][0] == (
        "internal: Unexpected end of file while reading the header")
    assert file_report["truncated-long"]["line0 long strict=False"] == ["ok", "ok"]


@pytest.mark.parametrize("family, case", [("counts", "long-tier-18446744073709551615 long strict=False"),
                                          ("counts", "short-items-1000000000000000000 short strict=False")])
def test_huge_declared_counts_are_no_allocation(file_report, family, case):
    # Neither reserves memory by the declared count: the long layout reads what is there, the short one ends
    # where the text does.
    assert file_report[family][case][0] in ("ok", "internal: Unexpected end of file while reading a label",
                                            "internal: Unexpected end of file while reading an interval xmin")


@pytest.mark.slow
def test_hundred_megabytes_on_one_line(tmp_path):
    report = run_child(FILE_CHILD, str(tmp_path), "one-line")["one-line"]
    assert report["letters long strict=False"] == ["ok", "ok"]
    assert report["letters short strict=False"][0] == "internal: Unexpected end of file while reading the header"
    assert all(allowed(o) for outcomes in report.values() for o in outcomes)


# ---- hostile arguments --------------------------------------------------------------------------------------

class NumpyLikeBool:
    pass


NumpyBoolLying = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: 2})


class StrLiar(str):
    """A str whose Python-level methods all lie; only its text counts."""

    def __str__(self):
        return "lie"

    def __eq__(self, other):
        return False

    def __hash__(self):
        raise TypeError("unhashable liar")

    __ne__ = __eq__


def changing(items, action):
    """A list that changes length while it is read: the element at position 1 acts on the list."""
    out = list(items)

    def act():
        action(out)
        return 1.0

    out[1] = lying(float=act)
    return out


ROWS = [0.0, 1.0, 2.0, 3.0]


def vectors_args(out, **change):
    args = dict(tmins=ROWS, tmaxs=[r + 1 for r in ROWS], labels=["a", "b", "c", "d"], tier_names=["w"] * 4,
                is_intervals=[True] * 4, tmin=None, tmax=None, output_file=out, file_type="long")
    args.update(change)
    return args


class Expect:
    """The outcomes allowed: "same" (succeeds and writes the file the plain arguments write), "ok" (succeeds),
    or exception types; and the exact message of an exception when one is given."""

    def __init__(self, *allowed, message=None):
        self.allowed = [a if isinstance(a, str) else a.__name__ for a in allowed]
        if "ok" in self.allowed:
            self.allowed.append("same")
        self.message = message


SAME_LENGTH = "Failed to create TextGrid because: Input vectors must have the same length"
NO_SPACE = "Failed to save TextGrid file /dev/full because: No space left on device (os error 28)"


def midway():
    yield "a"
    raise ZeroDivisionError("midway")


def shrinking_items():
    """Items of a tier; reading the first item's end clears the list."""
    items = [(0.0, None, "a"), (1.0, 2.0, "b"), (2.0, 3.0, "c")]
    items[0] = (0.0, lying(float=lambda: (items.clear(), 1.0)[1]), "a")
    return items


def argument_cases(root):
    """id -> (function name, keyword arguments, Expect)."""
    out = os.path.join(root, "out.TextGrid")
    good = os.path.join(root, "good.TextGrid")
    arr = np.array(ROWS)
    V = "vectors2textgrid"
    cases = {
        # __float__ / __index__ that raise or lie
        "float-returns-str": (V, vectors_args(out, tmins=[0.0, lying(float="x"), 2.0, 3.0]), Expect(TypeError)),
        "float-returns-int": (V, vectors_args(out, tmins=[0.0, lying(float=1), 2.0, 3.0]), Expect(TypeError)),
        "float-raises-keyboard": (V, vectors_args(out, tmins=[0.0, lying(float=KeyboardInterrupt()), 2.0, 3.0]),
                                  Expect(KeyboardInterrupt)),
        "index-raises": (V, vectors_args(out, tmax=lying(index=OverflowError("no"))), Expect(OverflowError)),
        "index-lies": (V, vectors_args(out, tmins=[0.0, lying(index=1), 2.0, 3.0]), Expect("same")),
        # flags
        "bool-lies": (V, vectors_args(out, is_intervals=[True, NumpyBoolLying(), True, True]), Expect(TypeError)),
        "bool-of-other-object": (V, vectors_args(out, is_intervals=[True, NumpyLikeBool(), True, True]),
                                 Expect(TypeError)),
        # __len__, __iter__, __getitem__
        "len-raises": (V, vectors_args(out, labels=IterSeq(["a", "b", "c", "d"], length=MemoryError())), Expect("same")),
        "len-negative": (V, vectors_args(out, tmins=IterSeq(ROWS, length=-5)), Expect("same")),
        "len-too-small": (V, vectors_args(out, tmins=IterSeq(ROWS, length=0)), Expect("same")),
        "len-huge": (V, vectors_args(out, tier_names=IterSeq(["w"] * 4, length=sys.maxsize)), Expect("same")),
        "iter-raises": (V, vectors_args(out, tmins=IterSeq(ROWS, iterate=RuntimeError("no"))), Expect(RuntimeError)),
        "iter-not-iterator": (V, vectors_args(out, tmins=IterSeq(ROWS, iterate=lambda: 5)), Expect(TypeError)),
        "iter-stops-early": (V, vectors_args(out, tmins=IterSeq(ROWS, iterate=lambda: iter(ROWS[:2]))),
                             Expect(OSError, message=SAME_LENGTH)),
        "iter-raises-midway": (V, vectors_args(out, labels=IterSeq([], iterate=midway)),
                               Expect(ZeroDivisionError)),
        "getitem-only": (V, vectors_args(out, tmins=Seq(ROWS)), Expect("same")),
        "getitem-raises": (V, vectors_args(out, tmins=Seq(ROWS, getitem=KeyError("k"))), Expect(KeyError)),
        "fspath-raises": ("textgrid2data", dict(file=lying(fspath=RuntimeError("no")), strict=False,
                                                file_type="long"), Expect(TypeError)),
        "fspath-output": (V, vectors_args(out, output_file=lying(fspath=out)), Expect(TypeError)),
        # sequences that change length while they are read
        "grows-while-read": (V, vectors_args(out, tmins=changing(ROWS, lambda l: l.extend([9.0] * 1000))),
                             Expect(OSError, message=SAME_LENGTH)),
        "shrinks-while-read": (V, vectors_args(out, tmins=changing(ROWS, lambda l: l.clear())),
                               Expect(OSError, message=SAME_LENGTH)),
        "items-cleared-while-read": ("data2textgrid", dict(data=[("w", True, shrinking_items())], tmin=None,
                                                           tmax=None, output_file=out, file_type="long"),
                                     Expect("ok")),
        # str subclasses: only the text counts
        "str-liar-everywhere": (V, vectors_args(out, labels=[StrLiar(x) for x in "abcd"],
                                                tier_names=[StrLiar("w")] * 4, output_file=StrLiar(out),
                                                file_type=StrLiar("long")), Expect("same")),
        "str-liar-reading": ("textgrid2data", dict(file=StrLiar(good), strict=False,
                                                   file_type=StrLiar("long")), Expect("ok")),
        # lone surrogates
        **{f"surrogate-{where}": (V, vectors_args(out, **{where: value}), Expect(UnicodeEncodeError))
           for where, value in (("labels", ["a", "\udc80", "c", "d"]), ("tier_names", ["w", "w", "\ud800", "w"]),
                                ("output_file", out + "\udcff"), ("file_type", "lo\udc80ng"))},
        "surrogate-batch-path": ("textgrids2data", dict(files=[good, "\udc80"], strict=False, file_type="long"),
                                 Expect(UnicodeEncodeError)),
        # NumPy arrays of every awkward kind
        "numpy-int": (V, vectors_args(out, tmins=arr.astype(np.int64)), Expect("same")),
        "numpy-float32": (V, vectors_args(out, tmins=arr.astype(np.float32)), Expect("same")),
        "numpy-bool-times": (V, dict(tmins=np.array([False, True]), tmaxs=[1.0, 2.0], labels=["a", "b"],
                                     tier_names=["w", "w"], is_intervals=[True, True], tmin=None, tmax=None,
                                     output_file=out, file_type="long"), Expect("ok")),
        "numpy-str-times": (V, vectors_args(out, tmins=arr.astype(str)), Expect(TypeError)),
        "numpy-bytes-labels": (V, vectors_args(out, labels=np.array([b"a", b"b", b"c", b"d"])), Expect(TypeError)),
        "numpy-object": (V, vectors_args(out, tmins=np.array(ROWS, dtype=object)), Expect("same")),
        "numpy-object-mixed": (V, vectors_args(out, tmins=np.array([0.0, None, 2.0, 3.0], dtype=object)),
                               Expect(TypeError)),
        "numpy-2d-times": (V, vectors_args(out, tmins=arr.reshape(2, 2)), Expect(TypeError)),
        "numpy-2d-column": (V, vectors_args(out, tmins=arr.reshape(4, 1)), Expect(TypeError, "same")),
        "numpy-2d-labels": (V, vectors_args(out, labels=np.array([["a", "b"], ["c", "d"]])), Expect(TypeError)),
        "numpy-2d-flags": (V, vectors_args(out, is_intervals=np.ones((4, 1), dtype=bool)), Expect(TypeError)),
        "numpy-0d": (V, vectors_args(out, tmins=np.array(1.0)), Expect(TypeError)),
        "numpy-strided": (V, vectors_args(out, tmins=np.arange(8.0)[::2], tmaxs=np.arange(1.0, 9.0)[::2]),
                          Expect("ok")),
        "numpy-reversed": (V, vectors_args(out, tmins=np.array(ROWS[::-1])[::-1]), Expect("same")),
        "numpy-read-only": (V, vectors_args(out, tmins=read_only(arr)), Expect("same")),
        "numpy-int-flags": (V, vectors_args(out, is_intervals=np.ones(4, dtype=np.int8)), Expect(TypeError)),
        "numpy-object-flags": (V, vectors_args(out, is_intervals=np.array([True] * 4, dtype=object)), Expect("same")),
        "numpy-complex": (V, vectors_args(out, tmins=arr.astype(complex)), Expect("same", TypeError)),
        # NUL bytes in paths, and a device that takes no data
        "nul-read": ("textgrid2data", dict(file=good + "\0x", strict=False, file_type="long"),
                     Expect(OSError, message=f"Failed to read TextGrid file {good}\0x because: file name contained "
                                           "an unexpected NUL byte")),
        "nul-batch": ("textgrids2data", dict(files=[good + "\0x"], strict=False, file_type="long"), Expect("ok")),
        "nul-write": (V, vectors_args(out + "\0x"), Expect(OSError)),
        "nul-write-data": ("data2textgrid", dict(data=[("w", True, [(0.0, 1.0, "a")])], tmin=None, tmax=None,
                                                 output_file=out + "\0x", file_type="short"), Expect(OSError)),
        "dev-full": (V, vectors_args("/dev/full"),
                     Expect(OSError, message=NO_SPACE)),
        "dev-full-data": ("data2textgrid", dict(data=[("w", True, [(0.0, 1.0, "a")])], tmin=None, tmax=None,
                                                output_file="/dev/full", file_type="long"),
                          Expect(OSError, message=NO_SPACE)),
    }
    return cases


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def run_argument_cases(root):
    """What each argument case gave: "same", "ok", or the exception's type and message; and the files that
    exist afterwards besides the expected ones."""
    good = os.path.join(root, "good.TextGrid")
    orvex.vectors2textgrid(**vectors_args(good))
    with open(good, "rb") as f:
        reference = f.read()
    report = {}
    for case, (name, kwargs, _) in argument_cases(root).items():
        print("case", case, file=sys.stderr, flush=True)
        out = os.path.join(root, "out.TextGrid")
        if os.path.exists(out):
            os.remove(out)
        try:
            getattr(orvex, name)(**kwargs)
        except BaseException as exc:
            report[case] = [type(exc).__name__, str(exc).replace(root, "{root}")]
        else:
            same = os.path.exists(out) and open(out, "rb").read() == reference
            report[case] = ["same" if same else "ok", None]
    report["stray files"] = sorted(set(os.listdir(root)) - {"good.TextGrid", "out.TextGrid"})
    return report


ARGUMENT_CHILD = r"""
import json, sys
import test_hostile
print(json.dumps(test_hostile.run_argument_cases(sys.argv[1])))
"""


@pytest.fixture(scope="module")
def argument_report(tmp_path_factory):
    return run_child(ARGUMENT_CHILD, str(tmp_path_factory.mktemp("hostile-arguments")))


@pytest.mark.parametrize("case", list(argument_cases("{root}")))
def test_hostile_arguments_give_a_result_or_the_defined_error(argument_report, case):
    expected = argument_cases("{root}")[case][2]
    kind, message = argument_report[case]
    assert kind in expected.allowed, message
    if expected.message is not None:
        assert message == expected.message


def test_nothing_is_written_where_no_file_was_asked_for(argument_report):
    # A path cut at a NUL byte would have created "out.TextGrid" or "good.TextGrid" under another name.
    assert argument_report["stray files"] == []


# ---- labels crafted against the shared-string table -------------------------------------------------------

MASK64 = (1 << 64) - 1
SEED, MULTIPLIER = 0x9E3779B97F4A7C15, 0xFF51AFD7ED558CCD


@functools.lru_cache
def colliding_labels(count, key):
    """count 16-byte printable labels whose hash in the module's shared-string table is `key` (the table's text hash
    inverted: the first eight bytes are drawn, the last eight solved for)."""
    def unmix(h):  # inverse of h ^= h >> 29
        return h ^ (h >> 29) ^ (h >> 58)
    inverse = pow(MULTIPLIER, -1, 1 << 64)
    before_last = (unmix(key) * inverse) & MASK64
    rng = random.Random(16)
    found = []
    while len(found) < count:
        first = rng.randbytes(8)
        if not all(0x20 <= b < 0x7F for b in first):
            first = bytes(0x20 + b % 0x5F for b in first)
        h = ((SEED ^ 16) ^ int.from_bytes(first, "little")) * MULTIPLIER & MASK64
        h ^= h >> 29
        last = (before_last ^ h).to_bytes(8, "little")
        if all(0x20 <= b < 0x7F for b in last):
            found.append((first + last).decode())
    return found


def packed_key(text):
    """The table's key of a text of up to seven bytes: its bytes, its length in the top byte."""
    data = text.encode()
    return int.from_bytes(data, "little") | len(data) << 56


@pytest.mark.parametrize("layout", ["long", "short"])
@pytest.mark.parametrize("colliders", [1, 100], ids=["one", "a-hundred"])
def test_crafted_label_replaces_no_other_label(tmp_path, layout, colliders):
    # Labels hashed onto the key of "a" come first; every later "a", and every repeat of a crafted label,
    # still reads as itself. A hundred of them make a run longer than the table probes, and the distinct
    # words after them make the table grow with that run in it.
    from test_vectors import write
    crafted = colliding_labels(colliders, packed_key("a"))
    labels = crafted + ["a"] * 20 + [f"w{k}" for k in range(300)] + crafted + ["b", "a"]
    items = [(float(k), float(k + 1), label) for k, label in enumerate(labels)]
    path = write(tmp_path / "t.TextGrid", [("words", True, items)], layout)
    data = orvex.textgrid2data(path, True, layout)
    assert [item[2] for item in data[2][0][2]] == labels
    assert orvex.textgrid2vectors(path, True, layout)[2] == labels

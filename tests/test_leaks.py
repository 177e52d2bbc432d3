"""Every function, called thousands of times on success and on each way it can fail, leaves no memory behind
(traced Python memory and the process's resident size) and hands its arguments back with the reference counts
they came with."""
import ctypes
import gc
import os
import sys
import tracemalloc

import pytest

import orvex
from tg_helpers import long_text, short_text

np = pytest.importorskip("numpy")
try:
    import pyarrow as pa
except ImportError:
    pa = None

CALLS = 1000
# Under AddressSanitizer (its runtime preloaded into Python) freed memory sits in quarantine and the resident
# size grows by design; the traced Python memory and the reference counts still tell.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

try:
    malloc_trim = ctypes.CDLL(None).malloc_trim
except (OSError, AttributeError):
    def malloc_trim(pad):
        return 0


def rss():
    malloc_trim(0)  # memory the allocator kept after it was freed is no leak
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


ITEMS = [(i * 0.1, (i + 1) * 0.1, f"w{i}") for i in range(40)]
TIERS = [("IntervalTier", '"words"', 0, 4, [(a, b, f'"{t}"') for a, b, t in ITEMS]),
         ("TextTier", '"events"', 0, 4, [(0.5, '"e"'), (1.5, '"f"')])]
OVERLAP = [("IntervalTier", '"w"', 0, 2, [(0, 1, '"a"'), (0.5, 1.5, '"b"')])]
BOGUS = [("Bogus", '"w"', 0, 1, [(0, '"a"')])]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")
    made = {}
    for name, text in (("long", long_text(0, 4, TIERS)), ("short", short_text(0, 4, TIERS)),
                       ("overlap", long_text(0, 2, OVERLAP)), ("bogus", long_text(0, 1, BOGUS))):
        made[name] = str(root / f"{name}.TextGrid")
        with open(made[name], "w") as f:
            f.write(text)
    made["missing"] = str(root / "missing.TextGrid")
    made["out"] = str(root / "out.TextGrid")
    made["dir"] = str(root)
    made["nodir"] = str(root / "no" / "such" / "dir.TextGrid")
    return made


def cases(f):
    """id -> (function, positional arguments, keyword arguments, exception type or None for success)."""
    internal = type(_internal_error())
    data = [("words", True, list(ITEMS)), ("events", False, [(0.5, 0.5, "e"), (1.5, 1.5, "f")])]
    overlapping = [("w", True, [(0.0, 1.0, "a"), (0.5, 1.5, "b")])]
    columns = (np.array([a for a, _, _ in ITEMS]), [b for _, b, _ in ITEMS], [t for _, _, t in ITEMS],
               ["words"] * len(ITEMS), np.ones(len(ITEMS), dtype=bool))
    batch = [f["long"], f["missing"], f["overlap"], f["long"]]
    table = {}
    for name in ("textgrid2data", "textgrid2vectors"):
        fn = getattr(orvex, name)
        table.update({
            f"{name}-success": (fn, (f["long"], True, "long"), {}, None),
            f"{name}-success-auto": (fn, (f["short"], False, "auto"), {}, None),
            f"{name}-binding": (fn, (f["long"], True), {"mode": "long"}, TypeError),
            f"{name}-conversion": (fn, (f["long"], 1, "long"), {}, TypeError),
            f"{name}-read-error": (fn, (f["missing"], True, "long"), {}, OSError),
            f"{name}-fatal": (fn, (f["bogus"], False, "long"), {}, internal),
            f"{name}-validation": (fn, (f["overlap"], True, "long"), {}, OSError),
        })
    for name in ("textgrids2data", "textgrids2vectors"):
        fn = getattr(orvex, name)
        table.update({
            f"{name}-success": (fn, (batch, True, "long"), {}, None),
            f"{name}-binding": (fn, (batch,), {"strict": True}, TypeError),
            f"{name}-conversion": (fn, (batch + [None], True, "long"), {}, TypeError),
            f"{name}-fatal": (fn, (batch + [f["bogus"]], True, "long"), {}, internal),
            f"{name}-unknown-layout": (fn, (batch, True, "Long"), {}, internal),
        })
    table.update({
        "data2textgrid-success": (orvex.data2textgrid, (data, None, None, f["out"], "long"), {}, None),
        "data2textgrid-binding": (orvex.data2textgrid, (data, None, None, f["out"], "long", 1), {}, TypeError),
        "data2textgrid-conversion": (orvex.data2textgrid, (data + [("x", 1, [])], None, None, f["out"], "long"),
                                     {}, TypeError),
        "data2textgrid-validation": (orvex.data2textgrid, (overlapping, None, None, f["out"], "short"), {},
                                     OSError),
        "data2textgrid-save": (orvex.data2textgrid, (data, None, None, f["dir"], "short"), {}, OSError),
        "data2textgrid-save-nodir": (orvex.data2textgrid, (data, 0.0, 9.0, f["nodir"], "long"), {}, OSError),
        "vectors2textgrid-success": (orvex.vectors2textgrid, (*columns, None, None, f["out"], "long"), {}, None),
        "vectors2textgrid-binding": (orvex.vectors2textgrid, columns, {"tmin": None}, TypeError),
        "vectors2textgrid-conversion": (orvex.vectors2textgrid,
                                        (*columns[:4], [True, 1], None, None, f["out"], "long"), {}, TypeError),
        "vectors2textgrid-validation": (orvex.vectors2textgrid,
                                        (*columns[:4], columns[4][:-1], None, None, f["out"], "long"), {},
                                        OSError),
        "vectors2textgrid-save": (orvex.vectors2textgrid, (*columns, None, None, f["dir"], "short"), {},
                                  OSError),
    })
    if hasattr(orvex, "textgrids2arrow"):
        table.update({
            "textgrids2arrow-unconsumed": (orvex.textgrids2arrow, (batch, True, "long"), {}, None),
            "textgrids2arrow-binding": (orvex.textgrids2arrow, (batch,), {"mode": "long"}, TypeError),
            "textgrids2arrow-conversion": (orvex.textgrids2arrow, (batch + [None],), {}, TypeError),
            "textgrids2arrow-layout": (orvex.textgrids2arrow, (batch, True, "Long"), {}, ValueError),
        })
        if pa is not None:
            table["textgrids2arrow-consumed"] = (arrow_table, (batch + [f["bogus"], f["dir"]], True, "auto"), {},
                                                 None)
    return table


def arrow_table(files, strict, file_type):
    """A stream read to its end by a consumer, with its failures looked at."""
    stream = orvex.textgrids2arrow(files, strict, file_type)
    pa.table(stream)
    return stream.failures


def _internal_error():
    try:
        orvex.textgrid2data("/no/such/file", True, "Long")
    except BaseException as exc:
        return exc


CASE_IDS = list(cases({k: "" for k in ("long", "short", "overlap", "bogus", "missing", "out", "dir", "nodir")}))


def watched(args, kwargs):
    """The argument objects and the elements of list arguments, whose reference counts must not move; shared
    singletons, small numbers and interned strings are left out, as any code moves theirs."""
    objects = []
    for value in (*args, *kwargs.values()):
        objects.append(value)
        if isinstance(value, list):
            objects.extend(value)
    return [o for o in objects
            if o is not None and not isinstance(o, (bool, int)) and not (type(o) is str and sys.intern(o) is o)]


# The smallest leak, one float or one reference-counted str per call, would be 24 kB over CALLS calls; a
# leaked TextGrid or column buffer far more. Less than 16 bytes a call is no object leaked per call: the
# free-threaded build's full suite showed 13-14 kB in every round for the consumed stream (a table some
# registry doubles now and then), and none when the case ran alone.
PYTHON_GROWTH_LIMIT = 16 * 1024


def traced_growth(once):
    """How much the traced Python memory grew over CALLS calls of once."""
    traced = tracemalloc.get_traced_memory()[0]
    for _ in range(CALLS):
        once()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - traced


@pytest.mark.thread_unsafe
@pytest.mark.parametrize("case", CASE_IDS)
def test_repeated_calls_leave_nothing_behind(files, case):
    fn, args, kwargs, expected = cases(files)[case]

    def once():
        try:
            fn(*args, **kwargs)
        except BaseException as exc:
            if type(exc) is not expected:
                raise
        else:
            assert expected is None

    for _ in range(50):
        once()
    objects = watched(args, kwargs)
    # Cyclic garbage an earlier test left (a failed test's frames) may hold the shared argument objects until the
    # next collection: collect before counting, not only after.
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    before = rss()
    for _ in range(CALLS):
        once()
    gc.collect()
    rss_growth = rss() - before
    tracemalloc.start()
    python_growth = traced_growth(once)
    if python_growth >= PYTHON_GROWTH_LIMIT:
        # A cache a consumer fills once (pyarrow's, the interpreter's) shows in one round only; a leak grows
        # by the same amount in every round.
        python_growth = min(python_growth, traced_growth(once))
    tracemalloc.stop()
    assert python_growth < PYTHON_GROWTH_LIMIT, f"traced Python memory grew by {python_growth} bytes"
    assert SANITIZED or rss_growth < 1024 * 1024, f"resident size grew by {rss_growth} bytes"
    assert [sys.getrefcount(o) for o in objects] == refs

"""arrow2textgrids: the real-world round trip, the bytes against data2textgrid, every input kind, each failure,
path escapes, overwrite, and atomicity under a full disk and Ctrl-C."""
import inspect
import os
import re
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow", minversion="15.0")
import orvex

REALWORLD = Path(__file__).resolve().parents[1] / ".." / "shared" / "realworld" / "corpus"


def items_table(rows, **types):
    """rows: (file, tier, tmin, tmax, label[, is_interval]); types override a column's Arrow type."""
    cols = {"file": [r[0] for r in rows], "tier": [r[1] for r in rows], "tmin": [float(r[2]) for r in rows],
            "tmax": [float(r[3]) for r in rows], "label": [r[4] for r in rows]}
    if any(len(r) > 5 for r in rows):
        cols["is_interval"] = [r[5] if len(r) > 5 else True for r in rows]
    return pa.table({k: pa.array(v, types.get(k)) for k, v in cols.items()})


def tmp_files(folder):
    return [p for p in Path(folder).rglob("*") if p.name.startswith(".orvex-")]


def comparable(table, root, leave_out=()):
    rows = []
    for r in table.to_pylist():
        if r["file"] in leave_out:
            continue
        del r["file_id"]
        r["file"] = os.path.relpath(r["file"], root)
        # Bit for bit: times as their 64-bit patterns.
        r["tmin"], r["tmax"] = struct.pack("<d", r["tmin"]), struct.pack("<d", r["tmax"])
        rows.append(r)
    rows.sort(key=lambda r: r["file"])  # stable: the order within a file stays
    return rows


@pytest.mark.skipif(not REALWORLD.is_dir(), reason="the real-world folder is absent")
@pytest.mark.parametrize("layout", ["long", "short"])
def test_realworld_round_trip(tmp_path, layout):
    try:
        tables = {rows: pa.table(orvex.textgrids2arrow(str(REALWORLD), rows=rows)) for rows in ("files", "tiers")}
    except TypeError:
        pytest.skip("textgrids2arrow has no rows= here")
    tables["items"] = pa.table(orvex.textgrids2arrow(str(REALWORLD)))
    report = orvex.arrow2textgrids(tables["items"], tmp_path, layout, tiers=tables["tiers"], files=tables["files"])
    assert report.files_total == tables["files"].num_rows
    assert report.files_written == report.files_total - len(report.failures) > 600
    # A file is refused only when a strict read refuses it too (NaN times, which a lenient read lets
    # through and no reader takes back once written, among them).
    failed = {file for file, _, _ in report.failures}
    strict = orvex.textgrids2arrow(sorted(failed), strict=True)
    pa.table(strict)
    assert {file for _, file, _ in strict.failures} == failed
    assert not tmp_files(tmp_path)
    for rows, before in tables.items():
        after = pa.table(orvex.textgrids2arrow(str(tmp_path), **({} if rows == "items" else {"rows": rows})))
        assert comparable(after, tmp_path) == comparable(before, REALWORLD, failed), rows


TWO_TIERS = [("words", True, [(0.0, 0.5, "a"), (0.5, 2.0, 'say "hi"')]), ("beats", False, [(1.0, 1.0, "x")])]


@pytest.mark.parametrize("layout", ["long", "short"])
@pytest.mark.parametrize("words", [1, 9000])  # 9000: a tier long enough to be rendered on the pool too
def test_bytes_as_data2textgrid(tmp_path, layout, words):
    reference = tmp_path / "ref.TextGrid"
    # Tiers that span the grid's items, as data2textgrid derives every bound then.
    tiers = [("words", True, [(k * 0.5, k * 0.5 + 0.5, "a") for k in range(words)] + [(words * 0.5, 9e3, 'say "hi"')]),
             ("beats", False, [(0.0, 0.0, "x"), (9e3, 9e3, "y")])]
    orvex.data2textgrid(tiers, None, None, str(reference), layout)
    rows = [("g.TextGrid", name, a, b, label, flag) for name, flag, items in tiers for a, b, label in items]
    rows = rows[1::-1] + rows[:1:-1]  # each tier's items in reverse
    report = orvex.arrow2textgrids(items_table(rows), tmp_path / "out", layout)
    assert report.failures == [] and (report.files_written, report.files_total) == (1, 1)
    assert (tmp_path / "out" / "g.TextGrid").read_bytes() == reference.read_bytes()


def inputs():
    rows = [("g.TextGrid", n, a, b, label, flag) for n, flag, items in TWO_TIERS for a, b, label in items]
    table = items_table(rows)
    yield "pyarrow-table", lambda: table
    yield "record-batch", lambda: table.to_batches()[0]
    yield "reader", lambda: pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=1))
    yield "large-utf8", lambda: items_table(rows, file=pa.large_utf8(), tier=pa.large_utf8(), label=pa.large_utf8())
    yield "string-view", lambda: items_table(rows, file=pa.string_view(), label=pa.string_view())
    yield "dictionary", lambda: table.set_column(1, "tier", table["tier"].dictionary_encode())
    yield "float32-times", lambda: items_table(rows, tmin=pa.float32(), tmax=pa.float32())
    yield "sliced", lambda: pa.concat_tables([items_table([("g", "w", 9, 9.5, "z", True)] * 3),
                                              table]).combine_chunks().slice(3)
    yield "polars", lambda: pytest.importorskip("polars").from_arrow(table)
    # The module's default connection outlives the relation; a connection of its own would be collected under
    # it by older duckdb releases ("Connection has already been closed").
    yield "duckdb", lambda: pytest.importorskip("duckdb").from_arrow(table)


@pytest.mark.parametrize("make", [m for _, m in inputs()], ids=[i for i, _ in inputs()])
def test_inputs(tmp_path, make):
    reference = tmp_path / "ref.TextGrid"
    orvex.data2textgrid(TWO_TIERS, 0.0, 2.0, str(reference), "long")
    files = pa.table({"file": ["g.TextGrid"], "tmin": [0.0], "tmax": [2.0]})
    report = orvex.arrow2textgrids(make(), tmp_path / "out", files=files)
    assert report.failures == [] and report.files_written == 1
    assert (tmp_path / "out" / "g.TextGrid").read_bytes() == reference.read_bytes()


SHORT = ('File type = "ooTextFile"\nObject class = "TextGrid"\n\n0\n3\n<exists>\n4\n'
         '"IntervalTier"\n"w"\n0\n3\n1\n0\n3\n"a"\n"IntervalTier"\n"w"\n0\n3\n1\n0\n3\n"b"\n'
         '"IntervalTier"\n"empty"\n0.5\n2\n0\n"TextTier"\n"p"\n0\n3\n1\n1.5\n"x"\n')


@pytest.mark.parametrize("with_tiers", [True, False], ids=["tiers", "items-only"])
def test_same_named_empty_and_single_point_tiers(tmp_path, with_tiers):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "g.TextGrid").write_text(SHORT)
    tiers = None
    if with_tiers:
        try:
            tiers = orvex.textgrids2arrow(str(tmp_path / "src"), rows="tiers")
        except TypeError:
            pytest.skip("textgrids2arrow has no rows= here")
    report = orvex.arrow2textgrids(orvex.textgrids2arrow(str(tmp_path / "src")), tmp_path / "out", "short",
                                   tiers=tiers)
    assert report.failures == []
    if with_tiers:
        assert (tmp_path / "out" / "g.TextGrid").read_bytes() == SHORT.replace("\n", "\r\n").encode()
    else:
        # Tiers told apart by tier_index, the lone point valid: only the empty tier is lost.
        data = orvex.textgrid2data(str(tmp_path / "out" / "g.TextGrid"), True, "short")
        assert data == (0.0, 3.0, [("w", True, [(0.0, 3.0, "a")]), ("w", True, [(0.0, 3.0, "b")]),
                                   ("p", False, [(1.5, 1.5, "x")])])


def test_order_and_derived_bounds(tmp_path):
    # Rows of two files interleaved, a tier's items out of order, one point alone in its tier.
    rows = [("b/x.TextGrid", "w", 1, 2, "2"), ("a.TextGrid", "p", 0.5, 0.5, "p", False),
            ("b/x.TextGrid", "w", 0, 1, "1"), ("a.TextGrid", "w", 0, 1, "q")]
    report = orvex.arrow2textgrids(items_table(rows), tmp_path)
    assert report.failures == [] and report.files_total == 2
    x = orvex.textgrid2data(str(tmp_path / "b" / "x.TextGrid"), True, "long")
    assert x == (0.0, 2.0, [("w", True, [(0.0, 1.0, "1"), (1.0, 2.0, "2")])])
    a = orvex.textgrid2data(str(tmp_path / "a.TextGrid"), True, "long")
    assert [t[0] for t in a[2]] == ["p", "w"] and a[1] == 1.0


def test_absolute_paths_mirror_their_common_folder(tmp_path):
    rows = [("/data/corpus/s1/a.TextGrid", "w", 0, 1, ""), ("/data/corpus/s2/deep/b.TextGrid", "w", 0, 1, "")]
    assert orvex.arrow2textgrids(items_table(rows), tmp_path).files_written == 2
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*.TextGrid")) == [
        "s1/a.TextGrid", "s2/deep/b.TextGrid"]


# (id, rows of the failing file, message); the path is "" where no path could be made.
FAILURES = [
    ("overlap", [("f.TextGrid", "w", 0, 2, "a"), ("f.TextGrid", "w", 1, 3, "b")], "Items 0 and 1 overlap in tier w"),
    ("negative", [("f.TextGrid", "w", -1, 2, "a")], "Time bounds should be non-negative in TextGrid"),
    ("point-not-a-point", [("f.TextGrid", "p", 0, 2, "a", False)], "Item 0 should have tmin == tmax in PointTier p"),
    ("nan-start", [("f.TextGrid", "w", float("nan"), 2, "a"), ("f.TextGrid", "w", 0, 1, "b")],
     "Cannot sort tier w by start time: row 0 has a NaN tmin"),
    ("nan-end", [("f.TextGrid", "w", 0, 1, "a"), ("f.TextGrid", "w", 1, float("nan"), "b")],
     "Time bounds should be finite in item 1 in tier w"),
    ("dot-dot", [("../f.TextGrid", "w", 0, 1, "a")], "the path leads outside the output folder"),
    ("dot-dot-inside", [("a/../../f.TextGrid", "w", 0, 1, "a")], "the path leads outside the output folder"),
    ("no-name", [("sub/", "w", 0, 1, "a")], "the path names no file"),
    ("link-out", [("out/f.TextGrid", "w", 0, 1, "a")], "the folder out is a link leading outside the output folder"),
    ("exists", [("old.TextGrid", "w", 0, 1, "a")], "the file exists already and overwrite is off"),
    ("folder-is-a-file", [("old.TextGrid/f.TextGrid", "w", 0, 1, "a")], "Not a directory (os error 20)"),
]


@pytest.mark.parametrize("rows,message", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failures(tmp_path, rows, message):
    out = tmp_path / "out"
    (out / "in").mkdir(parents=True)
    (out / "old.TextGrid").write_text("old")
    os.symlink(tmp_path, out / "out")
    os.symlink(out / "in", out / "in-link")  # a link that stays inside is followed
    report = orvex.arrow2textgrids(items_table(rows + [("in-link/ok.TextGrid", "w", 0, 1, "")]), out)
    assert report.failures == [(rows[0][0], "" if "the path" in message else str(out / rows[0][0]), message)]
    assert report.files_written == 1 and (out / "in" / "ok.TextGrid").is_file()
    assert (out / "old.TextGrid").read_text() == "old" and sorted(p.name for p in tmp_path.iterdir()) == ["out"]
    assert not tmp_files(out)


def test_overwrite(tmp_path):
    (tmp_path / "g.TextGrid").write_text("old")
    os.symlink(tmp_path / "elsewhere", tmp_path / "link.TextGrid")
    rows = [("g.TextGrid", "w", 0, 1, "new"), ("link.TextGrid", "w", 0, 1, "new")]
    report = orvex.arrow2textgrids(items_table(rows), tmp_path, overwrite=True)
    assert report.failures == [] and "new" in (tmp_path / "g.TextGrid").read_text()
    # A link in the target's place is replaced by the file, never written through.
    assert not (tmp_path / "link.TextGrid").is_symlink() and not (tmp_path / "elsewhere").exists()


def utf8_from_buffers(offsets, data):
    # Unchecked by pyarrow: the producer of a table may be any library, or none.
    return pa.Array.from_buffers(pa.utf8(), len(offsets) - 1,
                                 [None, pa.py_buffer(struct.pack(f"<{len(offsets)}i", *offsets)), pa.py_buffer(data)])


BAD_CALLS = [
    ("missing-column", lambda t: t.drop_columns(["label"]), {}, ValueError, "items has no column 'label'"),
    ("wrong-type", lambda t: t.set_column(2, "tmin", t["tmin"].cast(pa.utf8())), {}, TypeError,
     "column 'tmin' of items has type utf8; a float or integer type is needed"),
    ("null", lambda t: t.set_column(4, "label", pa.array(["a", None])), {}, ValueError,
     "column 'label' of items holds a null at row 1"),
    ("tiers-missing-column", lambda t: t, {"tiers": pa.table({"file": ["g"], "tier": ["w"], "tmin": [0.0]})},
     ValueError, "tiers has no column 'tmax'"),
    ("offsets-backwards", lambda t: t.set_column(4, "label", utf8_from_buffers([0, 5, 2], b"hello")), {}, ValueError,
     "column 'label' of items holds a malformed string offset at row 1"),
    ("not-utf8", lambda t: t.set_column(4, "label", utf8_from_buffers([0, 1, 2], b"\xffa")), {}, ValueError,
     "column 'label' of items holds text that is not UTF-8 at row 0"),
    # UTF-8 as a whole, cut inside a character: the second row starts on its continuation byte.
    ("split-character", lambda t: t.set_column(4, "label", utf8_from_buffers([0, 1, 2], "\u00e9".encode())), {},
     ValueError, "column 'label' of items holds text that is not UTF-8 at row 0"),
    ("not-utf8-entry", lambda t: t.set_column(1, "tier", pa.DictionaryArray.from_arrays(
        pa.array([0, 1], pa.int32()), utf8_from_buffers([0, 1, 2], b"w\xff"))), {}, ValueError,
     "column 'tier' of items holds text that is not UTF-8 at row 1"),
    ("dictionary-index", lambda t: t.set_column(1, "tier", pa.DictionaryArray.from_arrays(
        pa.array([0, 7], pa.int32()), pa.array(["w"]), safe=False)), {}, ValueError,
     "column 'tier' of items holds a dictionary index out of range at row 1"),
    ("not-arrow", lambda t: t.to_pylist(), {}, TypeError, "argument 'items': expected an Arrow table"),
    ("file-type", lambda t: t, {"file_type": "Long"}, ValueError, "file_type must be 'long' or 'short', not 'Long'"),
]


@pytest.mark.parametrize("change,kwargs,error,message", [b[1:] for b in BAD_CALLS], ids=[b[0] for b in BAD_CALLS])
def test_bad_calls_write_nothing(tmp_path, change, kwargs, error, message):
    table = items_table([("g", "w", 0, 1, "a"), ("h", "w", 0, 1, "b")])
    with pytest.raises(error, match=re.escape(message)):
        orvex.arrow2textgrids(change(table), tmp_path / "out", **kwargs)
    assert not (tmp_path / "out").exists()


def test_full_disk_leaves_old_files_and_no_temporaries(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)], capture_output=True).returncode:
        pytest.skip("no small tmpfs can be mounted here")
    try:
        (disk / "g0.TextGrid").write_text("old")
        rows = [(f"g{k}.TextGrid", "w", i, i + 1, "x" * 40) for k in range(4) for i in range(300)]
        report = orvex.arrow2textgrids(items_table(rows), disk, overwrite=True)
        assert report.files_written < 4 and report.failures
        assert all(m == "No space left on device (os error 28)" for _, _, m in report.failures)
        assert not tmp_files(disk)
        # Every file is the old one or a whole new one.
        assert all(p.read_text() == "old" or p.read_text().count("intervals [") == 300 for p in disk.iterdir())
    finally:
        subprocess.run(["umount", str(disk)], check=True)


def test_ctrl_c_stops_within_half_a_second_and_leaves_no_half_files(tmp_path):
    child = textwrap.dedent(r"""
        import os, signal, sys, time, pyarrow as pa, orvex
        n = 20000
        t = pa.table({"file": [f"d{k % 50}/g{k}.TextGrid" for k in range(n) for _ in range(20)],
                      "tier": ["w"] * (20 * n), "tmin": [float(i) for _ in range(n) for i in range(20)],
                      "tmax": [float(i + 1) for _ in range(n) for i in range(20)], "label": ["x"] * (20 * n)})
        pid = os.getpid()
        if os.fork() == 0:
            time.sleep(0.3)
            os.kill(pid, signal.SIGINT)
            os._exit(0)
        start = time.monotonic()
        try:
            for _ in range(50):
                orvex.arrow2textgrids(t, sys.argv[1], overwrite=True)
            print("returned")
        except KeyboardInterrupt:
            print("KeyboardInterrupt", time.monotonic() - start - 0.3)
    """)
    done = subprocess.run([sys.executable, "-c", child, str(tmp_path)], capture_output=True, text=True, timeout=120)
    outcome = done.stdout.split()
    assert outcome[:1] == ["KeyboardInterrupt"], done.stdout + done.stderr
    assert float(outcome[1]) < 0.5
    assert not tmp_files(tmp_path)
    for path in tmp_path.rglob("*.TextGrid"):
        assert path.read_bytes().count(b"intervals [") == 20, path


def test_signature_and_place_in_all():
    assert orvex.__all__[orvex.__all__.index("textgrids2arrow") + 1] == "arrow2textgrids"
    params = inspect.signature(orvex.arrow2textgrids).parameters
    assert [(p.name, p.kind.name, p.default) for p in params.values()] == [
        ("items", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("out_dir", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("file_type", "POSITIONAL_OR_KEYWORD", "long"), ("tiers", "KEYWORD_ONLY", None),
        ("files", "KEYWORD_ONLY", None), ("overwrite", "KEYWORD_ONLY", False)]

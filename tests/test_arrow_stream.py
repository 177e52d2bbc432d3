"""textgrids2arrow: the stream's schema and rows, per-file failures, the inputs it takes, its arguments."""

import inspect
import os
import pathlib
import re

import pytest

# The PyCapsule interface (__arrow_c_stream__) is read by pyarrow 15 and later.
pa = pytest.importorskip("pyarrow", minversion="15.0")
np = pytest.importorskip("numpy")
import orvex
from test_vectors import EMPTY, TONES, WORDS, write
from tg_helpers import fatal_message, long_text, short_text

SCHEMA = pa.schema([
    pa.field("file_id", pa.uint32(), nullable=False),
    pa.field("file", pa.dictionary(pa.int32(), pa.utf8()), nullable=False),
    pa.field("tier", pa.dictionary(pa.int32(), pa.utf8()), nullable=False),
    pa.field("tier_index", pa.uint32(), nullable=False),
    pa.field("is_interval", pa.bool_(), nullable=False),
    pa.field("tmin", pa.float64(), nullable=False),
    pa.field("tmax", pa.float64(), nullable=False),
    pa.field("label", pa.utf8(), nullable=False),
])

UNICODE = ("wörter", True, [(0.0, 0.4, "ʃ"), (0.4, 0.9, 'say "hi"'), (0.9, 1.0, "日本")])
SAME_NAME = ("words", False, [(0.2, 0.2, "p")])


def pool_size():
    """A file count that puts one batch on the worker pool."""
    return 10 * len(os.sched_getaffinity(0)) + 1


def batches(stream):
    """Every batch of the stream, each checked by pyarrow's full validation."""
    reader = pa.RecordBatchReader.from_stream(stream)
    out = []
    for batch in reader:
        batch.validate(full=True)
        out.append(batch)
    return out


def read_table(files, *args, **kwargs):
    stream = orvex.textgrids2arrow(files, *args, **kwargs)
    table = pa.Table.from_batches(batches(stream), schema=SCHEMA)
    return table, stream


def float_bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def assert_same_rows_as_vectors(table, paths, strict=False, file_type="auto"):
    """Same rows, same order, times bit for bit, as textgrids2vectors on the same paths."""
    tmins, tmaxs, labels, names, flags, ids = orvex.textgrids2vectors([str(p) for p in paths], strict, file_type)
    assert table.column("file_id").to_pylist() == ids.tolist()
    assert float_bits(table.column("tmin").to_numpy()) == float_bits(tmins)
    assert float_bits(table.column("tmax").to_numpy()) == float_bits(tmaxs)
    assert table.column("label").to_pylist() == labels
    assert table.column("tier").to_pylist() == names
    assert table.column("is_interval").to_pylist() == flags.tolist()
    assert table.column("file").to_pylist() == [str(paths[i]) for i in ids.tolist()]


def corpus(tmp_path, count, bad_every=0):
    """count files of varied shapes (long and short layout); every bad_every-th one is missing."""
    shapes = [[WORDS, EMPTY, TONES], [UNICODE], [WORDS, SAME_NAME], [], [TONES, UNICODE, WORDS]]
    paths = []
    for k in range(count):
        path = tmp_path / f"f{k:04d}.TextGrid"
        if not (bad_every and k % bad_every == bad_every - 1):
            write(path, shapes[k % len(shapes)], "long" if k % 2 else "short")
        paths.append(str(path))
    return paths


# ---- schema and rows -----------------------------------------------------------

@pytest.mark.parametrize("files", [[], "empty-dir", ["missing"]], ids=["no-files", "empty-directory", "only-failures"])
def test_empty_result_has_the_full_schema(tmp_path, files):
    if files == "empty-dir":
        files = str(tmp_path)
    elif files:
        files = [str(tmp_path / name) for name in files]
    stream = orvex.textgrids2arrow(files)
    table = pa.table(stream)
    assert table.schema == SCHEMA and table.num_rows == 0
    assert pa.schema(stream) == SCHEMA  # __arrow_c_schema__ too


@pytest.mark.parametrize("batch_files", [1, 2, 7, None])
@pytest.mark.parametrize("count", [5, "pool"])
def test_rows_equal_textgrids2vectors(tmp_path, batch_files, count):
    paths = corpus(tmp_path, pool_size() if count == "pool" else count, bad_every=4)
    table, stream = read_table(paths, False, "auto", batch_files=batch_files)
    assert table.schema == SCHEMA
    assert_same_rows_as_vectors(table, paths)
    assert stream.files_done == stream.files_total == len(paths)


@pytest.mark.parametrize("batch_files,sizes", [(1, [3, 2, 3]), (2, [5, 3]), (3, [8]), (None, [8])])
def test_batches_hold_runs_of_consecutive_files(tmp_path, batch_files, sizes):
    paths = [write(tmp_path / f"{k}.TextGrid", tiers) for k, tiers in enumerate([[WORDS], [TONES], [WORDS]])]
    got = batches(orvex.textgrids2arrow(paths, batch_files=batch_files))
    assert [b.num_rows for b in got] == sizes
    # Each batch's dictionaries hold only what its own rows use.
    for batch in got:
        used = set(batch.column("file").to_pylist())
        assert set(batch.column("file").dictionary.to_pylist()) == used


# A few large files are read one after the other, many smaller ones on the pool.
@pytest.mark.parametrize("count,label_bytes", [(4, 7_000_000), (100, 200_000)])
def test_default_batches_end_once_their_files_held_16_mib(tmp_path, count, label_bytes):
    # One row a file, so a batch's rows count its files.
    paths = [write(tmp_path / f"{k:03d}.TextGrid", [("big", True, [(0.0, 1.0, "x" * label_bytes)])])
             for k in range(count)]
    per_batch = -(-(16 << 20) // os.path.getsize(paths[0]))  # files that pass 16 MiB
    # On the pool, files still being read when the run passed the mark join it too.
    most = per_batch + len(os.sched_getaffinity(0)) - 1
    sizes = [b.num_rows for b in batches(orvex.textgrids2arrow(paths))]
    assert sum(sizes) == count
    assert all(per_batch <= n <= most for n in sizes[:-1]) and 0 < sizes[-1] <= most, sizes


def test_tier_index_keeps_tiers_with_one_name_apart(tmp_path):
    path = write(tmp_path / "a.TextGrid", [WORDS, EMPTY, SAME_NAME])
    table = pa.table(orvex.textgrids2arrow([path]))
    assert table.column("tier").to_pylist() == ["words"] * 3 + ["words"]
    assert table.column("tier_index").to_pylist() == [0, 0, 0, 2]
    assert table.column("is_interval").to_pylist() == [True] * 3 + [False]
    assert table.column("tier").chunk(0).dictionary.to_pylist() == ["words"]


def test_labels_are_one_buffer_of_their_exact_bytes(tmp_path):
    path = write(tmp_path / "a.TextGrid", [UNICODE, WORDS])
    label = pa.table(orvex.textgrids2arrow([path])).column("label").chunk(0)
    _, offsets, data = label.buffers()
    want = [l for _, _, items in (UNICODE, WORDS) for _, _, l in items]
    assert data.to_pybytes() == "".join(want).encode("utf-8")
    assert np.frombuffer(offsets, dtype=np.int32)[:len(want) + 1].tolist() == \
        np.cumsum([0] + [len(l.encode()) for l in want]).tolist()


@pytest.mark.parametrize("value", [0.0, -0.0, 5e-324, 1e300, float("inf")], ids=["zero", "-zero", "denormal",
                                                                                  "large", "inf"])
def test_times_keep_their_bits(tmp_path, value):
    text = long_text(0, 1, [("IntervalTier", '"t"', 0, 1, [(value, value, '"x"')])])
    path = tmp_path / "a.TextGrid"
    path.write_text(text)
    table = pa.table(orvex.textgrids2arrow([str(path)], False, "long"))
    assert float_bits(table.column("tmin").to_numpy()) == float_bits([value])


# ---- failures --------------------------------------------------------------------

def make_failure(tmp_path, kind):
    """A file of the given kind of failure, and the arguments that make it fail."""
    path = tmp_path / f"{kind}.TextGrid"
    args = (False, "auto")
    if kind == "missing":
        pass
    elif kind == "directory":
        path.mkdir()
    elif kind == "utf16":
        path.write_bytes(long_text(0, 1, [("IntervalTier", '"t"', 0, 1, [(0, 1, '"ü"')])]).encode("utf-16"))
        return str(path), args, {"encoding": "utf-8"}
    elif kind == "strict":
        write(path, [("o", True, [(0.0, 1.0, "a"), (0.5, 1.5, "b")])])
        args = (True, "auto")
    elif kind == "empty":
        path.write_bytes(b"")
    elif kind == "tier-class":
        path.write_text(long_text(0, 1, [("WordTier", '"t"', 0, 1, [])]))
    elif kind == "truncated":
        path.write_text(short_text(0, 1, [("IntervalTier", '"t"', 0, 1, [(0, 1, '"a"')])])[:-10])
        args = (False, "short")
    return str(path), args, {}


FAILURES = {
    "missing": "Failed to read TextGrid file {} because: No such file or directory (os error 2)",
    "directory": "Failed to read TextGrid file {} because: Is a directory (os error 21)",
    "utf16": "Failed to read TextGrid file {} because: stream did not contain valid UTF-8",
    "strict": "Failed to read TextGrid file {} because: Items 0 and 1 overlap in tier o",
    "empty": None,       # whatever the single-file reader says, fatal or not
    "tier-class": 'Unknown tier class: "WordTier"',
    "truncated": None,
}


def single_file_message(path, strict, file_type):
    """The message textgrid2data raises for this file (read error or fatal failure)."""
    try:
        orvex.textgrid2data(path, strict, file_type)
    except OSError as exc:
        return str(exc)
    except Exception:
        raise
    except BaseException:
        return fatal_message(orvex.textgrid2data, path, strict, file_type)
    return None


@pytest.mark.parametrize("padding", [2, "pool"], ids=["calling-thread", "pool"])
@pytest.mark.parametrize("kind", FAILURES)
def test_failure_of_each_kind_among_good_files(tmp_path, kind, padding):
    bad, args, kwargs = make_failure(tmp_path, kind)
    good = corpus(tmp_path, pool_size() if padding == "pool" else padding)
    paths = good[:1] + [bad] + good[1:]
    table, stream = read_table(paths, *args, **kwargs)
    want = FAILURES[kind].format(bad) if FAILURES[kind] else single_file_message(bad, *args)
    if kind == "empty" and want is None:
        assert stream.failures == []  # an empty file that reads as an empty TextGrid is no failure
        return
    assert stream.failures == [(1, bad, want)]
    if kind != "utf16":
        assert single_file_message(bad, *args) == want
    assert 1 not in table.column("file_id").to_pylist()
    good_rows = pa.table(orvex.textgrids2arrow(good, *args, **kwargs))
    assert table.num_rows == good_rows.num_rows


def test_failures_come_in_file_order_and_with_the_batches(tmp_path):
    paths = corpus(tmp_path, 9, bad_every=3)
    stream = orvex.textgrids2arrow(paths, batch_files=3)
    reader = pa.RecordBatchReader.from_stream(stream)
    assert (stream.files_done, stream.failures) == (0, [])
    reader.read_next_batch()
    assert stream.files_done == 3 and [f[0] for f in stream.failures] == [2]
    reader.read_all()
    assert stream.files_done == stream.files_total == 9
    assert [f[:2] for f in stream.failures] == [(k, paths[k]) for k in (2, 5, 8)]


# ---- what files may be --------------------------------------------------------------

def test_directory_gives_every_textgrid_below_it_sorted(tmp_path):
    for rel in ["b/z.TextGrid", "a.textgrid", "b/a/y.TEXTGRID", "c.TextGrid.bak", "notes.txt", "b/x.TextGrid"]:
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        write(tmp_path / rel, [WORDS])
    (tmp_path / "d.TextGrid").mkdir()  # a directory by that name is no file
    os.symlink(tmp_path / "b", tmp_path / "link")  # a link to a directory is not entered
    os.symlink(tmp_path / "a.textgrid", tmp_path / "e.TextGrid")  # a link to a file is a file
    expected = [str(tmp_path / rel) for rel in ["a.textgrid", "b/a/y.TEXTGRID", "b/x.TextGrid", "b/z.TextGrid",
                                                "e.TextGrid"]]
    for given in (str(tmp_path), tmp_path, str(tmp_path).encode()):
        stream = orvex.textgrids2arrow(given)
        table = pa.table(stream)
        assert stream.files_total == 5
        assert table.column("file").unique().to_pylist() == expected


def test_directory_that_cannot_be_listed_raises_oserror(tmp_path):
    (tmp_path / "locked").mkdir()
    os.chmod(tmp_path / "locked", 0)
    try:
        if os.access(tmp_path / "locked", os.R_OK):
            pytest.skip("running with permissions that read any directory")
        with pytest.raises(OSError, match="Failed to list the TextGrid files in .* because: Permission denied"):
            orvex.textgrids2arrow(tmp_path)
    finally:
        os.chmod(tmp_path / "locked", 0o700)


@pytest.mark.parametrize("make", [
    lambda paths: paths[0],
    lambda paths: pathlib.Path(paths[0]),
    lambda paths: [pathlib.Path(p) for p in paths],
    lambda paths: (p.encode() for p in paths),
    lambda paths: tuple(paths),
    lambda paths: iter(paths),
], ids=["one-file", "one-path-object", "path-objects", "bytes-generator", "tuple", "iterator"])
def test_inputs_of_every_shape_read_alike(tmp_path, make):
    paths = corpus(tmp_path, 3)
    table = pa.table(orvex.textgrids2arrow(make(paths)))
    n = 1 if make(paths) in (paths[0], pathlib.Path(paths[0])) else 3
    assert_same_rows_as_vectors(table, paths[:n])


def test_path_that_is_not_utf8_is_read_and_shown_escaped(tmp_path):
    name = os.fsencode(str(tmp_path)) + b"/caf\xe9.TextGrid"
    with open(name, "w") as f:
        f.write(long_text(0, 1, [("IntervalTier", '"t"', 0, 1, [(0, 1, '"x"')])]))
    for given in (name, os.fsdecode(name)):
        stream = orvex.textgrids2arrow([given, given + (b"-missing" if isinstance(given, bytes) else "-missing")])
        table = pa.table(stream)
        shown = str(tmp_path) + "/caf\\udce9.TextGrid"
        assert table.column("file").to_pylist() == [shown]
        assert stream.failures[0][1] == shown + "-missing"


def test_stream_is_consumed_once(tmp_path):
    stream = orvex.textgrids2arrow(corpus(tmp_path, 2))
    schema = stream.__arrow_c_schema__()
    assert pa.table(stream).num_rows > 0
    with pytest.raises(RuntimeError, match="already exported"):
        pa.table(stream)
    assert pa.schema(stream) == SCHEMA
    del schema


# ---- arguments ---------------------------------------------------------------------

def test_signature_and_place_in_all():
    assert orvex.__all__[6] == "textgrids2arrow"  # after the six; the front door follows
    params = inspect.signature(orvex.textgrids2arrow).parameters
    assert [(p.name, p.kind.name, p.default) for p in params.values()] == [
        ("files", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("strict", "POSITIONAL_OR_KEYWORD", False),
        ("file_type", "POSITIONAL_OR_KEYWORD", "praat"),
        ("encoding", "KEYWORD_ONLY", "auto"),
        ("batch_files", "KEYWORD_ONLY", None),
        ("rows", "KEYWORD_ONLY", "items"),
    ]
    assert isinstance(orvex.textgrids2arrow([]), orvex.TextGridStream)
    with pytest.raises(TypeError):
        orvex.TextGridStream()


def python_twin(files, strict=False, file_type="auto", *, encoding="auto", batch_files=None, rows="items"):
    """A def with the same parameters: binding errors must read the same."""


@pytest.mark.parametrize("args,kwargs", [
    ((), {}),
    (([], 1, "auto", "utf-8"), {}),
    (([], 1, "auto", "utf-8"), {"batch_files": 2}),
    (([],), {"files": []}),
    (([],), {"strict2": True}),
], ids=["missing-files", "too-many-positional", "keyword-only-given-too", "files-twice", "unknown-keyword"])
def test_binding_errors_read_as_cpythons(args, kwargs):
    with pytest.raises(TypeError) as want:
        python_twin(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        orvex.textgrids2arrow(*args, **kwargs)
    # From 3.14 CPython adds a guess at the meant keyword, made by a function
    # of its own that extensions cannot call: the message is compared without it.
    want_text = re.sub(r"\. Did you mean '\w+'\?$", "", str(want.value))
    assert str(got.value) == want_text.replace("python_twin", "textgrids2arrow")


@pytest.mark.parametrize("kwargs,error,message", [
    ({"files": 3}, TypeError, "argument 'files': expected a directory, a file or an iterable of paths, not 'int'"),
    ({"files": [3]}, TypeError, "argument 'files': expected str, bytes or os.PathLike object, not int"),
    ({"files": [], "file_type": "Long"}, ValueError,
         "file_type must be 'praat', 'long', 'short' or 'auto', not 'Long'"),
    ({"files": [], "file_type": 1}, TypeError, "argument 'file_type': 'int' object cannot be cast as 'str'"),
    ({"files": [], "encoding": "latin-1"}, ValueError, "encoding must be 'auto' or 'utf-8', not 'latin-1'"),
    ({"files": [], "batch_files": 0}, ValueError, "batch_files must be at least 1, not 0"),
    ({"files": [], "batch_files": 2.0}, TypeError, "argument 'batch_files': expected None or an int, not 'float'"),
    ({"files": [], "batch_files": True}, TypeError, "argument 'batch_files': expected None or an int, not 'bool'"),
], ids=["files-int", "file-int", "unknown-layout", "layout-int", "unknown-encoding", "zero-batch", "float-batch",
        "bool-batch"])
def test_argument_errors_come_before_reading(kwargs, error, message):
    with pytest.raises(error) as info:
        orvex.textgrids2arrow(**kwargs)
    assert str(info.value) == message


def test_bad_argument_leaves_a_generator_unconsumed(tmp_path):
    paths = iter(corpus(tmp_path, 2))
    with pytest.raises(ValueError):
        orvex.textgrids2arrow(paths, False, "Long")
    assert len(list(paths)) == 2


@pytest.mark.parametrize("strict", [1, "yes", [0], np.True_], ids=["int", "str", "list", "numpy"])
def test_strict_takes_any_truthy_value(tmp_path, strict):
    path, args, _ = make_failure(tmp_path, "strict")
    stream = orvex.textgrids2arrow([path], strict)
    pa.table(stream)
    assert len(stream.failures) == 1


@pytest.mark.parametrize("encoding", ["auto", "utf-8", "UTF-8", "utf8"])
def test_encoding_names(tmp_path, encoding):
    assert pa.table(orvex.textgrids2arrow(corpus(tmp_path, 1), encoding=encoding)).num_rows == 5


@pytest.mark.parametrize("codec", ["utf-16", "utf-8-sig", "latin-1"])
def test_auto_encoding_reads_what_praat_reads(tmp_path, codec):
    text = long_text(0, 1, [("IntervalTier", '"wörter"', 0, 1, [(0, 1, '"über"')])])
    path = tmp_path / f"{codec}.TextGrid"
    path.write_bytes(text.encode(codec))
    stream = orvex.textgrids2arrow([str(path)])
    table = pa.table(stream)
    assert (table.column("tier").to_pylist(), table.column("label").to_pylist()) == (["wörter"], ["über"])
    assert stream.failures == []
    if codec != "utf-8-sig":
        strict_utf8 = orvex.textgrids2arrow([str(path)], encoding="utf-8")
        pa.table(strict_utf8)
        assert [f[2].endswith("stream did not contain valid UTF-8") for f in strict_utf8.failures] == [True]

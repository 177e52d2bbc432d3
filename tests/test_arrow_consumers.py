"""textgrids2arrow with every consumer the README shows, Ctrl-C in a consumer, and memory over many streams."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pa = pytest.importorskip("pyarrow", minversion="15.0")
import orvex
from test_arrow_stream import SCHEMA, corpus


@pytest.fixture
def files(tmp_path):
    return corpus(tmp_path, 12, bad_every=5)


def expected(files):
    return pa.table(orvex.textgrids2arrow(files, batch_files=4))


def as_plain(table):
    """The rows as Python values, dictionary columns decoded."""
    return {name: table.column(name).to_pylist() for name in SCHEMA.names}


def via_pyarrow_reader(stream):
    return pa.RecordBatchReader.from_stream(stream).read_all()


def via_polars_dataframe(stream):
    pl = pytest.importorskip("polars", minversion="1.0")  # first to take any Arrow PyCapsule stream
    return pl.DataFrame(stream).to_arrow()


def via_polars_from_arrow(stream):
    pl = pytest.importorskip("polars", minversion="1.0")
    return pl.from_arrow(pa.RecordBatchReader.from_stream(stream)).to_arrow()


def via_duckdb(stream):
    duckdb = pytest.importorskip("duckdb", minversion="1.1")  # scans PyCapsule streams
    # The connection is held while the relation is read: older DuckDB
    # releases close it as soon as the connection object is dropped.
    connection = duckdb.connect()
    relation = connection.sql("SELECT * FROM stream")
    return getattr(relation, "to_arrow_table", None)() if hasattr(relation, "to_arrow_table") else relation.arrow()


def via_pandas(stream):
    pytest.importorskip("pandas")
    return pa.Table.from_pandas(pa.table(stream).to_pandas(types_mapper=None))


@pytest.mark.parametrize("consume", [pa.table, via_pyarrow_reader, via_polars_dataframe, via_polars_from_arrow,
                                     via_duckdb, via_pandas],
                         ids=["pyarrow.table", "RecordBatchReader", "polars.DataFrame", "polars.from_arrow",
                              "duckdb", "pandas"])
def test_every_consumer_sees_the_same_rows(files, consume):
    stream = orvex.textgrids2arrow(files, batch_files=4)
    got = consume(stream)
    assert as_plain(got) == as_plain(expected(files))
    assert [f[0] for f in stream.failures] == [4, 9]


def test_duckdb_queries_the_stream(files):
    duckdb = pytest.importorskip("duckdb", minversion="1.1")  # scans PyCapsule streams
    stream = orvex.textgrids2arrow(files, batch_files=4)
    connection = duckdb.connect()
    rows = connection.sql("SELECT tier, count(*), sum(tmax - tmin) FROM stream GROUP BY tier ORDER BY tier").fetchall()
    table = expected(files)
    want = {}
    for tier, a, b in zip(*(table.column(c).to_pylist() for c in ("tier", "tmin", "tmax"))):
        n, total = want.get(tier, (0, 0.0))
        want[tier] = (n + 1, total + (b - a))
    assert [(t, n) for t, n, _ in rows] == [(t, want[t][0]) for t in sorted(want)]


def test_parquet_round_trip(tmp_path, files):
    pq = pytest.importorskip("pyarrow.parquet")
    stream = orvex.textgrids2arrow(files, batch_files=4)
    reader = pa.RecordBatchReader.from_stream(stream)
    with pq.ParquetWriter(tmp_path / "corpus.parquet", reader.schema) as writer:
        for batch in reader:
            writer.write_batch(batch)
    assert as_plain(pq.read_table(tmp_path / "corpus.parquet")) == as_plain(expected(files))


# ---- a stream abandoned half-way, and many streams -----------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_stream_dropped_half_way_stops_reading(files):
    stream = orvex.textgrids2arrow(files * 20, batch_files=2)
    reader = pa.RecordBatchReader.from_stream(stream)
    reader.read_next_batch()
    del reader  # the next batch is being read ahead: it must be stopped and freed, not leaked
    gc.collect()
    assert stream.files_done == 2 and stream.files_total == 240
    with pytest.raises(RuntimeError):
        pa.table(stream)


@pytest.mark.thread_unsafe
@pytest.mark.slow
def test_many_rounds_do_not_grow_memory(files):
    def rounds(n):
        for k in range(n):
            stream = orvex.textgrids2arrow(files, batch_files=3)
            if k % 4 == 0:
                pa.table(stream)
            elif k % 4 == 1:
                reader = pa.RecordBatchReader.from_stream(stream)
                reader.read_next_batch()
                del reader
            elif k % 4 == 2:
                capsule = stream.__arrow_c_stream__()  # exported, never consumed
                del capsule
            stream.failures
            del stream

    rounds(200)
    gc.collect()
    before = rss_bytes()
    rounds(600)
    gc.collect()
    assert rss_bytes() - before < 4 * 1024 * 1024


# ---- Ctrl-C ---------------------------------------------------------------------

INTERRUPTED_CHILD = r"""
import ctypes, os, sys, time
import pyarrow as pa
import orvex

def cpu():
    t = os.times()
    return t.user + t.system

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

paths = [sys.argv[1]] * int(sys.argv[2])
pa.table(orvex.textgrids2arrow(paths[:50]))  # warm up: pool, imports
baseline = rss()
print("reading", flush=True)
start = time.monotonic()
try:
    pa.table(orvex.textgrids2arrow(paths))
    print("finished before the signal", flush=True)
except BaseException as exc:
    ended = time.monotonic()
    print("stopped", type(exc).__name__, str(exc).replace("\n", " "), flush=True)
    c0 = cpu(); time.sleep(0.5); idle = cpu() - c0
    print("idle_cpu", idle)
    # Freed memory that the allocators keep for reuse is not held by us.
    pa.default_memory_pool().release_unused()
    ctypes.CDLL(None).malloc_trim(0)
    print("held_mb", (rss() - baseline) / 2**20)
    print("later_rows", pa.table(orvex.textgrids2arrow(paths[:3])).num_rows)
    print("ended_at", ended)
"""


@pytest.mark.slow
def test_ctrl_c_during_pyarrow_table_ends_it_within_a_second(tmp_path):
    big = tmp_path / "big.TextGrid"
    items = [(i * 0.01, (i + 1) * 0.01, f'"w{i % 97}"') for i in range(20000)]
    from tg_helpers import long_text
    big.write_text(long_text(0, 200, [("IntervalTier", '"words"', 0, 200, items)]))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(orvex.__path__[0])] + sys.path))
    # Some ten seconds of reading, a few gigabytes if it ran to its end: a
    # Ctrl-C that goes unheard fails the test instead of filling the machine.
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, str(big), "3000"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "reading"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    lines = dict(line.split(" ", 1) for line in out.splitlines())
    assert "stopped" in lines, (out, err)
    assert "KeyboardInterrupt" in lines["stopped"]
    assert float(lines["ended_at"]) - sent < 1.5
    assert float(lines["idle_cpu"]) < 0.1  # no thread kept reading
    assert float(lines["held_mb"]) < 32
    assert int(lines["later_rows"]) == 60000

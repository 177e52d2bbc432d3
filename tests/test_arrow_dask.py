"""The Dask example on a real local cluster of two worker processes: Parquet rows and failures equal the stream's."""

import os
import sys

import pytest

pa = pytest.importorskip("pyarrow", minversion="15.0")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("pandas")
# Dask says "requirements are not installed" with a plain ImportError when it
# is there without what its dataframe needs (as where pip could not find
# wheels of them all for the interpreter): a skip too.
pytest.importorskip("dask.dataframe", exc_type=ImportError)
distributed = pytest.importorskip("distributed", exc_type=ImportError)
import orvex
from test_arrow_stream import SCHEMA, corpus

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import dask_corpus  # noqa: E402


@pytest.mark.thread_unsafe
@pytest.mark.slow
def test_dask_parquet_dataset_equals_the_stream(tmp_path):
    (tmp_path / "corpus").mkdir()
    paths = corpus(tmp_path / "corpus", 2100, bad_every=97)  # every 97th file is missing
    # Two fail in ways that end the six batch functions: an empty file, an unknown tier class.
    (tmp_path / "corpus" / "f0010.TextGrid").write_bytes(b"")
    (tmp_path / "corpus" / "f0500.TextGrid").write_text(
        'File type = "ooTextFile"\nObject class = "TextGrid"\n\n0\n1\n<exists>\n1\n"WordTier"\n')
    stream = orvex.textgrids2arrow(paths)
    want = pa.table(stream)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) \
            as cluster, distributed.Client(cluster):
        failures = dask_corpus.corpus_to_parquet(paths, str(tmp_path / "out"), files_per_partition=300)
    got = pq.read_table(tmp_path / "out" / "rows")
    assert got.num_rows == want.num_rows > 0
    for name in SCHEMA.names:
        assert got.column(name).to_pylist() == want.column(name).to_pylist(), name
    assert failures == stream.failures
    assert len(failures) >= 20 and {f[0] for f in failures} >= {10, 500}


@pytest.mark.thread_unsafe
def test_dask_writes_back_per_partition(tmp_path):
    import dask

    (tmp_path / "corpus").mkdir()
    paths = corpus(tmp_path / "corpus", 7, bad_every=3)
    with dask.config.set(scheduler="synchronous"):
        frame = dask_corpus.corpus_frame(paths, str(tmp_path / "out"), files_per_partition=2)
        failures = dask_corpus.corpus_to_textgrids(frame, str(tmp_path / "back"), str(tmp_path / "corpus"))
    assert failures == []
    # Every partition mirrors the corpus from its root, not from the folder its own files share. Items
    # alone carry no empty tiers, so tier positions are left out.
    def rows(folder):
        table = pa.table(orvex.textgrids2arrow(str(folder))).drop_columns(["file_id", "tier_index"]).to_pylist()
        return [dict(r, file=os.path.relpath(r["file"], folder)) for r in table]

    assert rows(tmp_path / "back") == rows(tmp_path / "corpus") != []

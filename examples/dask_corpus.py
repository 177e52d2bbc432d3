"""A TextGrid corpus as a Dask dataframe, written as a Parquet dataset, with every file's failure kept.

    python3 examples/dask_corpus.py CORPUS_DIR OUT_DIR                     # local processes
    python3 examples/dask_corpus.py CORPUS_DIR OUT_DIR --scheduler tcp://scheduler:8786   # a cluster

The path list is cut into chunks of consecutive files; dask.dataframe.from_map reads each chunk with
orvex.textgrids2arrow on some worker, as one partition (a pandas DataFrame with pyarrow-backed columns).
The rows go to OUT_DIR/rows/ and each partition's failures to OUT_DIR/failures/, part files numbered in
file order, so that reading either directory back gives the corpus in order. On a cluster the workers
must see the corpus and OUT_DIR at the same paths (a shared file system), and have orvex installed.
"""
import argparse
import os
import shutil

import dask.dataframe as dd
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

import orvex

FAILURE_SCHEMA = pa.schema([("file_id", pa.uint32()), ("path", pa.utf8()), ("message", pa.utf8())])


def part_name(index):
    return f"part-{index:06d}.parquet"


def read_chunk(chunk, strict, file_type, failures_dir):
    """One partition: the rows of a chunk of files, their file ids counted over the whole corpus.

    The chunk's failures are written beside the rows as a small Parquet file named after the chunk, so
    that running a partition twice (a retried task) writes the same file again.
    """
    index, first_id, paths = chunk
    stream = orvex.textgrids2arrow(paths, strict, file_type)
    table = pa.table(stream)
    ids = pc.add(table.column("file_id"), pa.scalar(first_id, pa.uint32()))
    table = table.set_column(0, table.schema.field(0), ids)
    failures = pa.table([pa.array([first_id + f[0] for f in stream.failures], pa.uint32()),
                         pa.array([f[1] for f in stream.failures], pa.utf8()),
                         pa.array([f[2] for f in stream.failures], pa.utf8())], schema=FAILURE_SCHEMA)
    pq.write_table(failures, os.path.join(failures_dir, part_name(index)))
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def corpus_frame(paths, out_dir, strict=False, file_type="praat", files_per_partition=500):
    """The corpus as a lazy dask DataFrame, one partition per chunk of consecutive files."""
    failures_dir = os.path.join(out_dir, "failures")
    os.makedirs(failures_dir, exist_ok=True)
    chunks = [(k, start, paths[start:start + files_per_partition])
              for k, start in enumerate(range(0, len(paths), files_per_partition))]
    # The schema of an empty stream is the schema of every partition: no file is read to learn it.
    meta = pa.table(orvex.textgrids2arrow([])).to_pandas(types_mapper=pd.ArrowDtype)
    return dd.from_map(read_chunk, chunks, strict=strict, file_type=file_type, failures_dir=failures_dir,
                       meta=meta, enforce_metadata=False, label="textgrids")


def corpus_to_parquet(paths, out_dir, strict=False, file_type="praat", files_per_partition=500):
    """Writes OUT_DIR/rows/ and OUT_DIR/failures/; returns the failures as (file_id, path, message)."""
    shutil.rmtree(out_dir, ignore_errors=True)
    frame = corpus_frame(paths, out_dir, strict, file_type, files_per_partition)
    frame.to_parquet(os.path.join(out_dir, "rows"), name_function=part_name, write_index=False)
    failures = pq.read_table(os.path.join(out_dir, "failures"))
    return list(zip(*(failures.column(name).to_pylist() for name in FAILURE_SCHEMA.names)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus", help="a directory: every *.TextGrid file below it is read")
    parser.add_argument("out", help="the output directory (replaced)")
    parser.add_argument("--scheduler", help="address of a running dask scheduler; default: a local cluster")
    parser.add_argument("--files-per-partition", type=int, default=500)
    parser.add_argument("--strict", action="store_true")
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    # The same code runs on one machine or on many: only the client changes.
    client = Client(args.scheduler) if args.scheduler else Client(LocalCluster(threads_per_worker=1))
    with client:
        # The directory walk of textgrids2arrow gives the same sorted list the workers would see.
        paths = [os.path.join(root, name) for root, _, names in os.walk(args.corpus) for name in names
                 if name.lower().endswith(".textgrid")]
        paths.sort()
        failures = corpus_to_parquet(paths, args.out, args.strict, "praat", args.files_per_partition)
    rows = pq.ParquetDataset(os.path.join(args.out, "rows")).read().num_rows
    print(f"{len(paths)} files, {rows} rows in {args.out}/rows, {len(failures)} failures in {args.out}/failures")
    for file_id, path, message in failures[:10]:
        print(f"  {file_id}: {message}")


if __name__ == "__main__":
    main()

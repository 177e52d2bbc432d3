"""textgrids2arrow(rows="tiers") and (rows="files"): their schemas, their rows against the items table, failures."""

import pytest

pa = pytest.importorskip("pyarrow", minversion="15.0")
import orvex
from test_arrow_stream import FAILURES, batches, make_failure, pool_size
from tg_helpers import long_text, short_text

KEYS = [("file_id", pa.uint32()), ("file", pa.dictionary(pa.int32(), pa.utf8()))]
NAME = pa.dictionary(pa.int32(), pa.utf8())
SCHEMAS = {
    "tiers": pa.schema([pa.field(n, t, nullable=False) for n, t in KEYS + [
        ("tier_index", pa.uint32()), ("tier", NAME), ("is_interval", pa.bool_()), ("tmin", pa.float64()),
        ("tmax", pa.float64()), ("size", pa.uint32())]]),
    "files": pa.schema([pa.field(n, t, nullable=False) for n, t in KEYS + [
        ("tmin", pa.float64()), ("tmax", pa.float64()), ("tiers", pa.uint32())]]),
}

# (grid tmin, grid tmax, tiers): tier bounds unlike the grid's, an empty tier in the middle, two tiers of one
# name, a file without tiers.
GRIDS = [
    (0.0, 3.0, [("IntervalTier", '"w"', 0.0, 2.5, [(0.0, 1.0, '"a"'), (1.0, 2.5, '"b"')]),
                ("IntervalTier", '"gap"', 0.5, 1.5, []),
                ("TextTier", '"w"', 0.25, 3.0, [(0.5, '"p"')])]),
    (-1.0, 0.5, []),
    (0.0, 1e300, [("TextTier", '"t"', 5e-324, 1e300, [])]),
]


def grid_files(tmp_path, count):
    paths = []
    for k in range(count):
        path = tmp_path / f"g{k:04d}.TextGrid"
        path.write_text((long_text if k % 2 else short_text)(*GRIDS[k % len(GRIDS)]), encoding="utf-8")
        paths.append(str(path))
    return paths


def level_rows(paths, rows, **kwargs):
    stream = orvex.textgrids2arrow(paths, rows=rows, **kwargs)
    table = pa.Table.from_batches(batches(stream), schema=SCHEMAS.get(rows) or pa.schema(stream))
    return table.to_pylist(), stream


def expected(paths, rows):
    out = []
    for k, path in enumerate(paths):
        tmin, tmax, tiers = GRIDS[k % len(GRIDS)]
        if rows == "files":
            out.append({"file_id": k, "file": path, "tmin": tmin, "tmax": tmax, "tiers": len(tiers)})
        for i, (cls, name, t0, t1, items) in enumerate(tiers if rows == "tiers" else []):
            out.append({"file_id": k, "file": path, "tier_index": i, "tier": name.strip('"'),
                        "is_interval": cls == "IntervalTier", "tmin": t0, "tmax": t1, "size": len(items)})
    return out


@pytest.mark.parametrize("rows", ["tiers", "files"])
@pytest.mark.parametrize("count,batch_files", [(0, None), (5, 1), (5, 2), ("pool", None)],
                         ids=["no-files", "batches-of-1", "batches-of-2", "pool"])
def test_rows_of_each_level_and_their_schema(tmp_path, rows, count, batch_files):
    paths = grid_files(tmp_path, pool_size() if count == "pool" else count)
    got, stream = level_rows(paths, rows, batch_files=batch_files)
    assert got == expected(paths, rows)
    assert pa.schema(stream) == SCHEMAS[rows]


@pytest.mark.parametrize("batch_files", [1, 3, None])
def test_levels_agree_with_the_items_table(tmp_path, batch_files):
    paths = grid_files(tmp_path, pool_size())
    items, _ = level_rows(paths, "items", batch_files=batch_files)
    tiers, _ = level_rows(paths, "tiers", batch_files=batch_files)
    files, _ = level_rows(paths, "files", batch_files=batch_files)
    per_tier = {}
    for row in items:
        key = (row["file_id"], row["tier_index"])
        per_tier.setdefault(key, []).append((row["file"], row["tier"], row["is_interval"]))
    for row in tiers:
        seen = per_tier.pop((row["file_id"], row["tier_index"]), [])
        assert len(seen) == row["size"]
        assert set(seen) <= {(row["file"], row["tier"], row["is_interval"])}
    assert per_tier == {}
    tier_files = [(r["file_id"], r["file"]) for r in tiers]
    for row in files:
        assert tier_files.count((row["file_id"], row["file"])) == row["tiers"]


@pytest.mark.parametrize("padding", [2, "pool"], ids=["calling-thread", "pool"])
@pytest.mark.parametrize("kind", FAILURES)
def test_failures_are_those_of_the_items_table(tmp_path, kind, padding):
    bad, args, kwargs = make_failure(tmp_path, kind)
    good = grid_files(tmp_path, pool_size() if padding == "pool" else padding)
    paths = good[:1] + [bad] + good[1:]
    want = orvex.textgrids2arrow(paths, *args, **kwargs)
    pa.table(want)
    for rows in ("tiers", "files"):
        got, stream = level_rows(paths, rows, strict=args[0], file_type=args[1], **kwargs)
        assert stream.failures == want.failures
        if want.failures:
            assert 1 not in {row["file_id"] for row in got}


@pytest.mark.parametrize("value,error,message", [
    ("item", ValueError, "rows must be 'items', 'tiers' or 'files', not 'item'"),
    ("Tiers", ValueError, "rows must be 'items', 'tiers' or 'files', not 'Tiers'"),
    (None, TypeError, "argument 'rows': 'NoneType' object cannot be cast as 'str'"),
], ids=["singular", "letter-case", "none"])
def test_unknown_level_is_refused_before_reading(value, error, message):
    with pytest.raises(error) as info:
        orvex.textgrids2arrow(iter(["never-read"]), rows=value)
    assert str(info.value) == message

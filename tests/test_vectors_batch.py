"""textgrids2vectors: joining the files' columns and the file-id column."""

import os

import pytest

np = pytest.importorskip("numpy")
import orvex
from test_vectors import EMPTY, TONES, WORDS, expected_columns, write
from tg_helpers import fatal_message

THREE = ("a", True, [(0.0, 1.0, "x"), (1.0, 2.0, "y"), (2.0, 3.0, "z")])
TWO = ("b", False, [(0.5, 0.5, "p"), (1.5, 1.5, "q")])


def cpus():
    return len(os.sched_getaffinity(0))


def joined(tier_lists):
    """The expected six columns for files given as lists of tiers (None: no rows)."""
    cols = [[], [], [], [], [], []]
    for k, tiers in enumerate(tier_lists):
        part = expected_columns(tiers or [])
        for c in range(5):
            cols[c] += part[c]
        cols[5] += [k] * len(part[0])
    return cols


def as_lists(result):
    return [c if isinstance(c, list) else c.tolist() for c in result]


def test_empty_path_list_gives_six_empty_columns():
    result = orvex.textgrids2vectors([], True, "long")
    assert len(result) == 6
    assert [len(c) for c in result] == [0] * 6
    assert [result[i].dtype for i in (0, 1, 4, 5)] == [np.float64, np.float64, np.bool_, np.uint32]
    assert result[2] == [] and result[3] == []


def test_empty_path_list_never_checks_the_file_type():
    assert len(orvex.textgrids2vectors([], True, "Long")[5]) == 0


def test_missing_file_uses_up_its_position(tmp_path):
    paths = [write(tmp_path / "a.TextGrid", [THREE]), str(tmp_path / "missing.TextGrid"),
             write(tmp_path / "b.TextGrid", [TWO])]
    result = orvex.textgrids2vectors(paths, True, "long")
    assert result[5].tolist() == [0, 0, 0, 2, 2]
    assert as_lists(result) == joined([[THREE], None, [TWO]])


@pytest.mark.parametrize("strict,rows", [(True, 3), (False, 5)], ids=["strict", "lenient"])
def test_strict_failure_contributes_no_rows(tmp_path, strict, rows):
    overlap = ("o", True, [(0.0, 1.0, "a"), (0.5, 1.5, "b")])
    paths = [write(tmp_path / "o.TextGrid", [overlap]), write(tmp_path / "a.TextGrid", [THREE])]
    result = orvex.textgrids2vectors(paths, strict, "long")
    assert len(result[0]) == rows
    assert result[5].tolist() == ([1, 1, 1] if strict else [0, 0, 1, 1, 1])




def test_tier_name_objects_are_shared_within_each_file(tmp_path):
    paths = [write(tmp_path / "a.TextGrid", [THREE]), write(tmp_path / "b.TextGrid", [THREE, TWO])]
    names = orvex.textgrids2vectors(paths, True, "long")[3]
    assert names == ["a"] * 3 + ["a"] * 3 + ["b"] * 2
    assert names[0] is names[2] and names[3] is names[5] and names[6] is names[7]


@pytest.mark.parametrize("index,dtype,itemsize", [(0, np.float64, 8), (1, np.float64, 8), (4, np.bool_, 1),
                                                  (5, np.uint32, 4)],
                         ids=["tmins", "tmaxs", "is_intervals", "file_ids"])
@pytest.mark.parametrize("files", [0, 2], ids=["no-files", "two-files"])
def test_batch_arrays_are_views_on_owners(tmp_path, files, index, dtype, itemsize):
    paths = [write(tmp_path / f"{k}.TextGrid", [THREE]) for k in range(files)]
    a = orvex.textgrids2vectors(paths, True, "long")[index]
    assert a.dtype == dtype and a.strides == (itemsize,) and len(a) == 3 * files
    assert a.flags.writeable and not a.flags.owndata and a.flags.aligned
    assert type(a.base).__name__ == "PySliceContainer"
    assert a.__array_interface__["data"][0] % itemsize == 0


@pytest.mark.parametrize("offset", [-1, 0], ids=["calling-thread", "pool"])
def test_large_batch_keeps_path_order(tmp_path, offset):
    # Around the size where the batch moves to the worker pool; distinct
    # files and a few failures make any reordering visible.
    n = 10 * cpus() + offset
    tier_lists = []
    paths = []
    for k in range(n):
        if k % 7 == 3:
            tier_lists.append(None)
            paths.append(str(tmp_path / f"missing{k}"))
            continue
        tiers = [("t", True, [(float(j), float(j + 1), f"{k}.{j}") for j in range(k % 4)])]
        tier_lists.append(tiers)
        paths.append(write(tmp_path / f"{k}.TextGrid", tiers, xmax=10.0))
    assert as_lists(orvex.textgrids2vectors(paths, False, "long")) == joined(tier_lists)


def test_unknown_file_type_ends_the_batch(tmp_path):
    path = write(tmp_path / "a.TextGrid", [THREE])
    assert fatal_message(orvex.textgrids2vectors, [path], True, "Long") == "Unknown file type: Long"


def test_fatal_failure_in_one_file_ends_the_batch(tmp_path):
    bad = tmp_path / "bad.TextGrid"
    bad.write_text('File type = "ooTextFile"\nitem []:\n    item [1]:\n        class = "Odd"\n')
    paths = [write(tmp_path / "a.TextGrid", [THREE]), str(bad), write(tmp_path / "b.TextGrid", [TWO])]
    assert fatal_message(orvex.textgrids2vectors, paths, True, "long") == 'Unknown tier class: "Odd"'


def test_single_path_string_is_refused():
    with pytest.raises(TypeError) as info:
        orvex.textgrids2vectors("a.TextGrid", True, "long")
    assert str(info.value) == "argument 'files': Can't extract `str` to `Vec`"

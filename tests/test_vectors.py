"""textgrid2vectors: the columns of one file and the arrays that carry them."""

import struct

import pytest
from hypothesis import given, settings, strategies as st

np = pytest.importorskip("numpy")
import orvex
import tg_helpers as tg
from tg_helpers import fatal_message


# ---- helpers shared by the vector test files --------------------------------

def tiers_text(tiers, layout="long", xmax=None):
    """File text for tiers given as (name, is_interval, [(tmin, tmax, label)])."""
    if xmax is None:
        xmax = max([i[1] for _, _, items in tiers for i in items] + [1.0])
    quoted = lambda text: '"' + text.replace('"', '""') + '"'
    tiers = [("IntervalTier" if is_interval else "TextTier", quoted(name), 0.0, xmax,
             [(a, b, quoted(label)) if is_interval else (a, quoted(label)) for a, b, label in items])
            for name, is_interval, items in tiers]
    return (tg.long_text if layout == "long" else tg.short_text)(0.0, xmax, tiers)


def write(path, tiers, layout="long", xmax=None):
    path.write_text(tiers_text(tiers, layout, xmax), encoding="utf-8")
    return str(path)


def expected_columns(tiers):
    rows = [(tmin, tmax if is_interval else tmin, label, name, is_interval)
            for name, is_interval, items in tiers for tmin, tmax, label in items]
    return [list(c) for c in zip(*rows)] if rows else [[], [], [], [], []]


def bits(values):
    return [struct.pack("<d", v) for v in values]


WORDS = ("words", True, [(0.0, 0.5, "the"), (0.5, 1.25, "cat"), (1.25, 2.0, "")])
TONES = ("tones", False, [(0.3, 0.3, "H*"), (1.5, 1.5, "L%")])
EMPTY = ("silence", True, [])


# ---- the columns -------------------------------------------------------------

@pytest.mark.parametrize("layout,file_type", [("long", "long"), ("short", "short"), ("long", "auto"),
                                              ("short", "auto")])
def test_rows_run_tier_by_tier_in_item_order(tmp_path, layout, file_type):
    tiers = [WORDS, EMPTY, TONES]
    path = write(tmp_path / "a.TextGrid", tiers, layout)
    tmins, tmaxs, labels, names, flags = orvex.textgrid2vectors(path, True, file_type)
    want = expected_columns(tiers)
    assert tmins.tolist() == want[0]
    assert tmaxs.tolist() == want[1]
    assert labels == want[2]
    assert names == want[3]
    assert flags.tolist() == want[4]



def test_file_without_items_gives_empty_columns(tmp_path):
    path = write(tmp_path / "e.TextGrid", [EMPTY, ("dots", False, [])])
    tmins, tmaxs, labels, names, flags = orvex.textgrid2vectors(path, True, "long")
    assert [a.dtype for a in (tmins, tmaxs, flags)] == [np.float64, np.float64, np.bool_]
    assert [len(a) for a in (tmins, tmaxs, flags)] == [0, 0, 0]
    assert labels == [] and names == []



def test_rows_of_one_tier_share_one_name_object(tmp_path):
    # One str per tier keeps a large result small; it must still be a plain,
    # equal str per row.
    path = write(tmp_path / "s.TextGrid", [WORDS, TONES])
    names = orvex.textgrid2vectors(path, True, "long")[3]
    assert names[0] is names[1] is names[2]
    assert names[3] is names[4]
    assert names[0] == "words" and names[3] == "tones"


@pytest.mark.parametrize("make_label", [
    pytest.param(lambda i: "ab"[i % 2], id="repeating"),
    pytest.param(lambda i: f"w{i}", id="all-distinct"),  # past the cache's trial and its size
    pytest.param(lambda i: "x" * 70 + "ab"[i % 2], id="long"),
    pytest.param(lambda i: f"w{i}" if i % 3 else "sil", id="mixed"),
    # Texts up to seven bytes are kept as one word with their length, longer ones by hash.
    pytest.param(lambda i: "ʃa\0"[: i % 4] * (i % 7), id="lengths-around-a-word"),
])
def test_labels_come_back_whatever_their_repetition(tmp_path, make_label):
    n = 20000
    labels = [make_label(i) for i in range(n)]
    path = write(tmp_path / "l.TextGrid", [("w", True, [(i, i + 1, labels[i]) for i in range(n)])])
    assert orvex.textgrid2vectors(path, True, "long")[2] == labels
    assert [item[2] for item in orvex.textgrid2data(path, True, "long")[2][0][2]] == labels



# ---- the arrays ----------------------------------------------------------------

ARRAYS = [pytest.param(0, np.float64, 8, id="tmins"), pytest.param(1, np.float64, 8, id="tmaxs"),
          pytest.param(4, np.bool_, 1, id="is_intervals")]


@pytest.mark.parametrize("rows", [0, 3], ids=["empty", "rows"])
@pytest.mark.parametrize("index,dtype,itemsize", ARRAYS)
def test_array_is_a_writeable_view_on_an_owner(tmp_path, rows, index, dtype, itemsize):
    path = write(tmp_path / "a.TextGrid", [WORDS if rows else EMPTY])
    a = orvex.textgrid2vectors(path, True, "long")[index]
    assert type(a) is np.ndarray and a.ndim == 1 and len(a) == rows
    assert a.dtype == dtype and a.strides == (itemsize,)
    assert a.flags.writeable and not a.flags.owndata
    assert a.flags.c_contiguous and a.flags.aligned
    assert type(a.base).__name__ == "PySliceContainer"
    # An empty column still points at a real, suitably aligned address.
    address = a.__array_interface__["data"][0]
    assert address != 0 and address % itemsize == 0


def test_owner_type_is_hidden_and_cannot_be_made_from_python(tmp_path):
    path = write(tmp_path / "a.TextGrid", [WORDS])
    owner_type = type(orvex.textgrid2vectors(path, True, "long")[0].base)
    assert not hasattr(orvex, "PySliceContainer")
    with pytest.raises(TypeError):
        owner_type()


def test_each_array_has_its_own_buffer(tmp_path):
    path = write(tmp_path / "a.TextGrid", [WORDS])
    first = orvex.textgrid2vectors(path, True, "long")
    second = orvex.textgrid2vectors(path, True, "long")
    first[0][:] = -1.0
    first[4][:] = False
    assert first[1].tolist() == [0.5, 1.25, 2.0]
    assert second[0].tolist() == [0.0, 0.5, 1.25]
    assert second[4].tolist() == [True, True, True]
    assert first[0].base is not first[1].base



times = st.floats(min_value=0.0, max_value=1e6, allow_nan=False, allow_infinity=False)
labels = st.text(st.characters(blacklist_categories=("Cs", "Cc")), max_size=8)
tier = st.tuples(st.sampled_from(["a", "b", "ü"]), st.booleans(), st.lists(st.tuples(times, times, labels),
                                                                         max_size=6))


@settings(max_examples=60, deadline=None)
@given(tiers=st.lists(tier, max_size=4), layout=st.sampled_from(["long", "short"]))
def test_columns_match_the_file_for_any_tiers(tmp_path_factory, tiers, layout):
    path = write(tmp_path_factory.mktemp("h") / "h.TextGrid", tiers, layout, xmax=2e6)
    got = orvex.textgrid2vectors(path, False, layout)
    want = expected_columns(tiers)
    assert bits(got[0]) == bits(want[0]) and bits(got[1]) == bits(want[1])
    assert got[2] == want[2] and got[3] == want[3] and got[4].tolist() == want[4]


# ---- failures ------------------------------------------------------------------

def test_missing_file_raises_ioerror_naming_the_path(tmp_path):
    path = str(tmp_path / "missing.TextGrid")
    with pytest.raises(OSError) as info:
        orvex.textgrid2vectors(path, False, "long")
    assert str(info.value) == f"Failed to read TextGrid file {path} because: No such file or directory (os error 2)"
    assert info.value.args == (str(info.value),) and info.value.errno is None


def test_strict_reading_refuses_overlap_lenient_keeps_it(tmp_path):
    tiers = [("w", True, [(0.0, 1.0, "a"), (0.5, 1.5, "b")])]
    path = write(tmp_path / "o.TextGrid", tiers)
    with pytest.raises(OSError, match=r"^Failed to read TextGrid file .* because: Items 0 and 1 overlap in tier w$"):
        orvex.textgrid2vectors(path, True, "long")
    assert orvex.textgrid2vectors(path, False, "long")[2] == ["a", "b"]


@pytest.mark.parametrize("text,message", [
    (None, "Unknown file type: Long"),
    ('File type = "ooTextFile"\nitem []:\n    item [1]:\n        class = "Odd"\n', 'Unknown tier class: "Odd"'),
], ids=["file-type", "tier-class"])
def test_fatal_read_failure_is_the_internal_failure(tmp_path, text, message):
    path = tmp_path / "f.TextGrid"
    path.write_text(text or tiers_text([WORDS]))
    assert fatal_message(orvex.textgrid2vectors, str(path), False, "Long" if text is None else "long") == message


def test_columns_feed_vectors2textgrid_back(tmp_path):
    # The arrays go back in through the sequence protocol, NumPy scalars and all.
    path = write(tmp_path / "a.TextGrid", [WORDS, TONES])
    columns = orvex.textgrid2vectors(path, True, "long")
    out = str(tmp_path / "b.TextGrid")
    orvex.vectors2textgrid(*columns, 0.0, 2.0, out, "long")
    assert orvex.textgrid2data(out, True, "long") == orvex.textgrid2data(path, True, "long")

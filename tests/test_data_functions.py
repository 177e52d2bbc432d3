"""textgrid2data and textgrids2data: the shape of the result, and which failures raise what."""
import gc
import os
import struct

import pytest

import orvex
from tg_helpers import fatal_message, long_text, short_text, write

WORDS = ("IntervalTier", '"words"', 0, 2.5, [(0, 1.25, '"hello"'), (1.25, 2.5, '"wörld"')])
EVENTS = ("TextTier", '"events"', 0, 2.5, [(0.5, '"x"'), (2, '""')])
EXPECTED = (0.0, 2.5, [("words", True, [(0.0, 1.25, "hello"), (1.25, 2.5, "wörld")]),
                       ("events", False, [(0.5, 0.5, "x"), (2.0, 2.0, "")])])
EMPTY_ENTRY = (0.0, 0.0, [])


@pytest.fixture
def sample(tmp_path):
    return write(tmp_path, long_text(0, 2.5, [WORDS, EVENTS]), "sample.TextGrid")


def assert_shape(result):
    """Exact types at every level: tuples of three, lists, float, bool singletons, str."""
    assert type(result) is tuple and len(result) == 3
    tmin, tmax, tiers = result
    assert type(tmin) is float and type(tmax) is float and type(tiers) is list
    for tier in tiers:
        assert type(tier) is tuple and len(tier) == 3
        name, is_interval, items = tier
        assert type(name) is str and (is_interval is True or is_interval is False) and type(items) is list
        for item in items:
            assert type(item) is tuple and len(item) == 3
            assert [type(v) for v in item] == [float, float, str]


@pytest.mark.parametrize("file_type", ["long", "auto"])
def test_single_file_result(sample, file_type):
    result = orvex.textgrid2data(sample, True, file_type)
    assert result == EXPECTED
    assert_shape(result)


@pytest.mark.parametrize("read", [lambda p: orvex.textgrid2data(p, False, "long"),
                                  lambda p: orvex.textgrids2data([p], False, "long")[0]])
def test_only_the_containers_are_left_to_the_collector(sample, read):
    # An item holds two floats and a str and cannot be part of a cycle; left
    # tracked, the collector would walk every item of a large grid once more.
    _, _, tiers = read(sample)
    assert all(gc.is_tracked(tier) and gc.is_tracked(tier[2]) for tier in tiers)
    assert not any(gc.is_tracked(item) for _, _, items in tiers for item in items)


def test_short_layout_and_keywords(tmp_path):
    path = write(tmp_path, short_text(0, 2.5, [WORDS, EVENTS]))
    result = orvex.textgrid2data(file_type="short", file=path, strict=True)
    assert result == EXPECTED
    assert_shape(result)


def test_file_without_tiers(tmp_path):
    path = write(tmp_path, long_text(0.5, 3, []))
    assert orvex.textgrid2data(path, True, "long") == (0.5, 3.0, [])


def test_floats_keep_their_bits(tmp_path):
    path = write(tmp_path, long_text(5e-324, 1.7976931348623157e308,
                                     [("IntervalTier", '"w"', 0, 1, [("-0.0", "0.1", '""')])]))
    tmin, tmax, [(_, _, [(a, b, _)])] = orvex.textgrid2data(path, False, "long")
    bits = [struct.pack("<d", x) for x in (tmin, tmax, a, b)]
    assert bits == [struct.pack("<d", x) for x in (5e-324, 1.7976931348623157e308, -0.0, 0.1)]


@pytest.mark.parametrize("how, because", [
    ("missing", "No such file or directory (os error 2)"),
    ("directory", "Is a directory (os error 21)"),
    ("latin-1", "stream did not contain valid UTF-8"),
    ("nul-byte", "file name contained an unexpected NUL byte"),
])
def test_read_failure_raises_ioerror(tmp_path, how, because):
    path = {
        "missing": os.path.join(str(tmp_path), ".", "missing.TextGrid"),
        "directory": str(tmp_path),
        "latin-1": write(tmp_path, long_text(0, 1, []).encode("utf-8") + b'"\xe9"\n', "latin.TextGrid"),
        # must not quietly read the file the path would name if cut at the NUL
        "nul-byte": write(tmp_path, long_text(0, 1, []), "valid.TextGrid") + "\0.bak",
    }[how]
    with pytest.raises(IOError) as info:
        orvex.textgrid2data(path, False, "long")
    error = info.value
    assert type(error) is OSError
    message = f"Failed to read TextGrid file {path} because: {because}"
    assert str(error) == message
    assert error.args == (message,)
    assert (error.errno, error.strerror, error.filename) == (None, None, None)


def test_strict_validation_failure_raises_ioerror_and_lenient_reads(tmp_path):
    overlapping = ("IntervalTier", '"words"', 0, 2, [(0, 1.5, '"a"'), (1, 2, '"b"')])
    path = write(tmp_path, long_text(0, 2, [overlapping]))
    with pytest.raises(OSError) as info:
        orvex.textgrid2data(path, True, "long")
    assert str(info.value) == f"Failed to read TextGrid file {path} because: Items 0 and 1 overlap in tier words"
    assert orvex.textgrid2data(path, False, "long")[2][0][2] == [(0.0, 1.5, "a"), (1.0, 2.0, "b")]


def test_fatal_read_failure_is_the_internal_error_without_prefix(tmp_path):
    path = write(tmp_path, long_text(0, 1, [("IntervalTier", '"w"', 0, 1, [])]).replace("IntervalTier", "Tier"))
    assert fatal_message(orvex.textgrid2data, path, False, "long") == 'Unknown tier class: "Tier"'
    assert fatal_message(orvex.textgrid2data, path, False, "Long") == "Unknown file type: Long"


def test_batch_keeps_order_and_matches_single_reads(tmp_path, sample):
    short = write(tmp_path, short_text(0, 4, [WORDS]), "short.TextGrid")
    batch = orvex.textgrids2data([short, sample, short], True, "auto")
    assert batch == [orvex.textgrid2data(p, True, "auto") for p in (short, sample, short)]
    assert type(batch) is list
    for entry in batch:
        assert_shape(entry)


def test_batch_gives_empty_entries_for_read_errors(tmp_path, sample):
    overlapping = write(tmp_path, long_text(0, 2, [("IntervalTier", '"w"', 0, 2, [(0, 2, '""'), (1, 2, '""')])]),
                        "overlap.TextGrid")
    files = [sample, str(tmp_path / "missing.TextGrid"), overlapping, str(tmp_path)]
    batch = orvex.textgrids2data(files, True, "long")
    assert batch == [EXPECTED, EMPTY_ENTRY, EMPTY_ENTRY, EMPTY_ENTRY]
    assert_shape(batch[1])


def test_empty_batch(sample):
    assert orvex.textgrids2data([], True, "long") == []
    assert orvex.textgrids2data((), True, "no such layout") == []


def test_batch_fatal_failure_ends_the_call(sample):
    assert fatal_message(orvex.textgrids2data, [sample, "/no/such/file"], True, "Long") == \
        "Unknown file type: Long"


def test_batch_accepts_tuples_and_numpy_string_arrays(sample):
    np = pytest.importorskip("numpy")
    assert orvex.textgrids2data((sample,), True, "long") == [EXPECTED]
    assert orvex.textgrids2data(np.array([sample, sample]), True, "long") == [EXPECTED, EXPECTED]

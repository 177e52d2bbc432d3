"""Whatever the writers put in a file, the readers give back unchanged: every
name, label and time, in both layouts."""

import os
import tempfile

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvex

# Pieces that have broken TextGrid round trips: quotes next to the closing
# quote, backslashes before quotes, line breaks, and text that looks like
# the structure around it.
TRICKY = [
    '"', '""', '"""', "\\", '\\"', '"\\', "\n", "\r\n", "\r", " ", "  ", "\t", "\x00",
    "        intervals [2]:", '            text = "x" ', "item []: ", '"\r\n', '\r\n"', "xmin = 0 ",
    "<exists>", '"IntervalTier"', 'File type = "ooTextFile"', "\r\n0\r\n", "é", "漢字", "\U0001f600",
]

any_char = st.characters(blacklist_categories=("Cs",))
text = st.lists(st.one_of(st.sampled_from(TRICKY), st.text(any_char, max_size=6)), max_size=5).map("".join)

# Strictly increasing boundaries keep interval tiers valid; the steps are
# arbitrary doubles so that every digit count gets written.
step = st.one_of(st.floats(min_value=1e-5, max_value=1e4), st.sampled_from([0.1, 1 / 3, 1e-5, 123456.789]))


@st.composite
def interval_tier(draw):
    start = draw(st.one_of(st.just(0.0), st.floats(min_value=0.0, max_value=1e6)))
    labels = draw(st.lists(text, min_size=1, max_size=6))
    items = []
    for label in labels:
        end = start + draw(step)
        items.append((start, end, label))
        start = end + draw(st.sampled_from([0.0, 0.0, 0.5]))  # touching or with a gap
    return (draw(text), True, items)


@st.composite
def point_tier(draw):
    times = sorted(draw(st.lists(st.floats(min_value=0.0, max_value=1e7), min_size=1, max_size=6)))
    return (draw(text), False, [(t, t, draw(text)) for t in times])


grids = st.lists(st.one_of(interval_tier(), point_tier()), min_size=1, max_size=4)


def write_and_read(tiers, file_type):
    tmax = max(item[1] for _, _, items in tiers for item in items) + 1.0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rt.TextGrid")
        orvex.data2textgrid(tiers, 0.0, tmax, path, file_type)
        return (0.0, tmax, tiers), orvex.textgrid2data(path, True, file_type)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(grids)
def test_long_layout_round_trip(tiers):
    written, read = write_and_read(tiers, "long")
    assert read == written


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(grids)
def test_short_layout_round_trip(tiers):
    written, read = write_and_read(tiers, "short")
    assert read == written


@settings(max_examples=100, deadline=None)
@given(grids, st.sampled_from(["long", "short"]))
def test_vectors_round_trip(tiers, file_type):
    # Tiers are grouped by name on the way in, so names are made distinct.
    tiers = [(f"{i}:{name}", flag, items) for i, (name, flag, items) in enumerate(tiers)]
    rows = [(a, b, label, name, flag) for name, flag, items in tiers for a, b, label in items]
    columns = [list(c) for c in zip(*rows)]
    tmax = max(columns[1]) + 1.0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rt.TextGrid")
        orvex.vectors2textgrid(*columns, 0.0, tmax, path, file_type)
        assert orvex.textgrid2data(path, True, file_type) == (0.0, tmax, tiers)


@settings(max_examples=200, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False).map(abs).filter(lambda t: t < 1e300))
def test_any_time_round_trips(t):
    written, read = write_and_read([("t", False, [(t, t, "")])], "short")
    assert read == written

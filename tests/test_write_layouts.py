"""The bytes data2textgrid and vectors2textgrid put on disk, and what saving
does to the file system when it succeeds and when it fails."""

import os

import pytest

import orvex

CRLF = "\r\n"

EXAMPLE_DATA = [
    ("words", True, [(0.0, 1.2, "hello"), (1.2, 2.5, "")]),
    ("events", False, [(0.75, 0.75, "x")]),
]
EXAMPLE_VECTORS = (
    [0.0, 1.2, 0.75],
    [1.2, 2.5, 0.75],
    ["hello", "", "x"],
    ["words", "words", "events"],
    [True, True, False],
)

# The worked example as each layout writes it; the C++ tests of the writer hold the same files.
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def example(layout):
    with open(os.path.join(DATA, f"worked_example_{layout}.TextGrid"), "rb") as f:
        return f.read().decode("utf-8")


EXAMPLE_LONG = example("long")
EXAMPLE_SHORT = example("short")


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8")


def write_data(path, file_type, data=EXAMPLE_DATA, tmin=0.0, tmax=2.5):
    orvex.data2textgrid(data, tmin, tmax, str(path), file_type)


def write_vectors(path, file_type, vectors=EXAMPLE_VECTORS, tmin=0.0, tmax=2.5):
    orvex.vectors2textgrid(*vectors, tmin, tmax, str(path), file_type)


WRITERS = [pytest.param(write_data, id="data"), pytest.param(write_vectors, id="vectors")]


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize(
    "file_type, expected",
    [
        ("long", EXAMPLE_LONG),
        ("short", EXAMPLE_SHORT),
        # Only the exact word selects the long layout; nothing is refused.
        ("Long", EXAMPLE_SHORT),
        ("LONG", EXAMPLE_SHORT),
        ("auto", EXAMPLE_SHORT),
        ("", EXAMPLE_SHORT),
        (" long", EXAMPLE_SHORT),
    ],
    ids=["long", "short", "Long", "LONG", "auto", "empty", "padded"],
)
def test_worked_example_bytes(tmp_path, write, file_type, expected):
    path = tmp_path / "out.TextGrid"
    assert write(path, file_type) is None
    assert read_text(path) == expected


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize("file_type", ["long", "short"])
def test_existing_longer_file_is_replaced(tmp_path, write, file_type):
    path = tmp_path / "out.TextGrid"
    path.write_bytes(b"old content " * 100000)
    write(path, file_type)
    assert read_text(path) == (EXAMPLE_LONG if file_type == "long" else EXAMPLE_SHORT)


@pytest.mark.parametrize(
    "name, label, long_line, short_line",
    [
        ('say "hi"', 'say "hi"', '            text = "say ""hi""" ', '"say ""hi"""'),
        ("q", 'back\\slash \\"', '            text = "back\\slash \\""" ', '"back\\slash \\"""'),
    ],
    ids=["quotes", "backslash-kept"],
)
def test_quotes_are_doubled_and_nothing_else_changes(tmp_path, name, label, long_line, short_line):
    path = tmp_path / "q.TextGrid"
    write_data(path, "long", [(name, True, [(0.0, 1.0, label)])], 0.0, 1.0)
    lines = read_text(path).split(CRLF)
    assert long_line in lines
    assert '        name = "' + name.replace('"', '""') + '" ' in lines
    write_data(path, "short", [(name, True, [(0.0, 1.0, label)])], 0.0, 1.0)
    assert short_line in read_text(path).split(CRLF)


def test_non_ascii_written_as_utf8_without_bom(tmp_path):
    path = tmp_path / "u.TextGrid"
    write_data(path, "long", [("ñame", True, [(0.0, 1.0, "日本語 ü")])], 0.0, 1.0)
    raw = path.read_bytes()
    assert raw.startswith(b"File type")
    assert '            text = "日本語 ü" '.encode() in raw
    assert '        name = "ñame" '.encode() in raw


@pytest.mark.parametrize("write", WRITERS)
def test_missing_directory_fails_and_creates_nothing(tmp_path, write):
    path = tmp_path / "missing" / "out.TextGrid"
    with pytest.raises(OSError) as info:
        write(path, "long")
    assert "No such file or directory (os error 2)" in str(info.value)
    assert str(path) in str(info.value)
    assert not (tmp_path / "missing").exists()


def test_directory_as_output_fails(tmp_path):
    with pytest.raises(IOError, match=r"Is a directory \(os error 21\)"):
        write_data(tmp_path, "short")


def test_nul_in_path_is_refused_and_nothing_is_created(tmp_path):
    with pytest.raises(OSError, match="NUL byte"):
        write_data(str(tmp_path / "cut") + "\0rest", "long")
    assert list(tmp_path.iterdir()) == []


INVALID_DATA = [
    pytest.param(lambda p: write_data(p, "long", [], None, None), id="data-no-tiers"),
    pytest.param(lambda p: write_data(p, "long", [("w", True, [(1.0, 0.5, "")])], None, None), id="data-bad-item"),
    pytest.param(lambda p: write_vectors(p, "long", ([0.0], [1.0], [], ["w"], [True])), id="vectors-short-column"),
    pytest.param(lambda p: write_vectors(p, "long", ([], [], [], [], []), None, None), id="vectors-empty"),
]

INVALID_ARGUMENTS = [
    pytest.param(lambda p: write_data(p, "long", [("w", True, [(0.0, 1.0)])]), ValueError, id="data-item-pair"),
    pytest.param(lambda p: orvex.data2textgrid(EXAMPLE_DATA, 0.0, 2.5, str(p), b"long"), TypeError, id="data-bytes-type"),
    pytest.param(lambda p: write_vectors(p, "long", ([0.0], [1.0], ["a"], ["w"], [1])), TypeError, id="vectors-int-flag"),
    pytest.param(lambda p: orvex.vectors2textgrid(*EXAMPLE_VECTORS, 0.0, 2.5, p, "long"), TypeError, id="vectors-path-object"),
]


@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
@pytest.mark.parametrize(
    "fail, error",
    [pytest.param(p.values[0], OSError, id=p.id) for p in INVALID_DATA] + INVALID_ARGUMENTS,
)
def test_failure_before_saving_touches_no_file(tmp_path, fail, error, existing):
    path = tmp_path / "out.TextGrid"
    if existing:
        path.write_bytes(b"keep me")
    with pytest.raises(error) as info:
        fail(path)
    if error is OSError:
        assert str(info.value).startswith("Failed to create TextGrid because: ")
    assert path.read_bytes() == b"keep me" if existing else not path.exists()


# The umask belongs to the process: copies of this test on other threads
# would change it under each other.
@pytest.mark.thread_unsafe
def test_new_file_mode_follows_umask(tmp_path):
    old = os.umask(0o027)
    try:
        path = tmp_path / "m.TextGrid"
        write_data(path, "long")
    finally:
        os.umask(old)
    assert path.stat().st_mode & 0o777 == 0o640

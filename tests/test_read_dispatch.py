"""Choosing the reader: layout names, detection for "auto", and the read errors every reader shares."""
import os

import pytest

from tg_helpers import fatal_message, labels, long_text, read, short_text, write

TIERS = [("IntervalTier", '"w"', 0, 2, [(0, 1, '"a"'), (1, 2, '"b"')])]


@pytest.mark.parametrize("file_type", ["Long", "LONG", " long", "long ", "", "auto\n", "shor", "lo\0ng", "ü"])
def test_unknown_layout_is_fatal_before_the_file_is_touched(file_type):
    assert fatal_message(read, "/no/such/file", False, file_type) == "Unknown file type: " + file_type


@pytest.mark.parametrize("maker, file_type", [(long_text, "long"), (short_text, "short")])
def test_auto_detects_both_layouts(tmp_path, maker, file_type):
    path = write(tmp_path, maker(0, 2, TIERS))
    assert read(path, True, "auto") == read(path, True, file_type)


@pytest.mark.parametrize("transform", [
    pytest.param(lambda t: t.replace("item []", "item[]").replace("item [1]", "item[1]"), id="no-blank"),
    pytest.param(lambda t: t.replace("\n", "\r"), id="cr"),
])
def test_auto_detects_long_layout_variants(tmp_path, transform):
    path = write(tmp_path, transform(long_text(0, 2, TIERS)))
    assert labels(read(path, True, "auto")) == [["a", "b"]]


def test_auto_picks_long_for_item_brackets_anywhere(tmp_path):
    # A short file whose label mentions "item []" is handed to the long reader, which finds no tiers.
    text = short_text(0, 2, [("IntervalTier", '"w"', 0, 2, [(0, 2, '"see item [] here"')])])
    assert read(write(tmp_path, text), False, "auto") == (0.0, 0.0, [])


def test_auto_on_an_empty_file_uses_the_short_reader(tmp_path):
    assert "end" in fatal_message(read, write(tmp_path, ""), False, "auto")


def test_auto_with_bom(tmp_path):
    path = write(tmp_path, "\ufeff" + long_text(0, 2, TIERS))
    assert labels(read(path, True, "auto")) == [["a", "b"]]


NOT_UTF8 = "stream did not contain valid UTF-8"
BINARY = "binary TextGrid files are not supported"


@pytest.mark.parametrize("data, message", [
    pytest.param("x".encode("utf-16"), NOT_UTF8, id="utf-16"),
    pytest.param("name = \"caf\xe9\"\n".encode("latin-1"), NOT_UTF8, id="latin-1"),
    pytest.param(bytes(range(256)) * 4, NOT_UTF8, id="binary"),
    pytest.param(b"\xed\xa0\x80", NOT_UTF8, id="surrogate"),
    pytest.param(b"\xc0\xaf", NOT_UTF8, id="overlong"),
    pytest.param(b"ok\xf4\x90\x80\x80", NOT_UTF8, id="above-unicode"),
    pytest.param(b"cut \xe2\x82", NOT_UTF8, id="truncated"),
    # Praat's binary layout is named, whether or not its bytes happen to be UTF-8.
    pytest.param(b"ooBinaryFile\x08TextGrid\x00\x00\x00\x00\x00\x00\x00\x00?\xf0\x00\x00", BINARY,
                 id="praat-binary"),
    pytest.param(b"ooBinaryFile\x08TextGrid\n", BINARY, id="praat-binary-in-ascii"),
])
@pytest.mark.parametrize("file_type", ["long", "short", "auto"])
def test_bytes_that_are_not_utf8_text(tmp_path, data, message, file_type):
    path = write(tmp_path, data)
    with pytest.raises(OSError) as info:
        read(path, False, file_type)
    assert str(info.value) == f"Failed to read TextGrid file {path} because: {message}"


@pytest.mark.parametrize("file_type", ["long", "short", "auto"])
def test_missing_file(tmp_path, file_type):
    path = str(tmp_path / "missing.TextGrid")
    with pytest.raises(OSError) as info:
        read(path, False, file_type)
    assert str(info.value) == (f"Failed to read TextGrid file {path} because: "
                               "No such file or directory (os error 2)")
    assert info.value.args == (str(info.value),) and info.value.errno is None


def test_directory(tmp_path):
    with pytest.raises(OSError, match=r"because: Is a directory \(os error 21\)$"):
        read(str(tmp_path), False, "long")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_unreadable_file(tmp_path):
    path = write(tmp_path, long_text(0, 2, TIERS))
    os.chmod(path, 0)
    with pytest.raises(OSError, match=r"Permission denied \(os error 13\)$"):
        read(path, False, "long")


def test_nul_in_path_is_refused_not_truncated(tmp_path):
    real = write(tmp_path, long_text(0, 2, TIERS))
    with pytest.raises(OSError, match="NUL"):
        read(real + "\0ignored", False, "long")


def test_valid_multibyte_text(tmp_path):
    text = long_text(0, 2, [("IntervalTier", '"ɪpa 音"', 0, 2, [(0, 2, '"😀 ə\u3000"')])])
    result = read(write(tmp_path, text), True, "long")
    assert result[2][0][0] == "ɪpa 音" and labels(result) == [["😀 ə\u3000"]]

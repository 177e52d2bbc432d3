#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target: make_seeds.py OUT_DIR.

The files are made here rather than kept in the repository so that a change
of layout is one edit. Each target gets a directory OUT_DIR/<target>.
"""
import os
import struct
import sys

HEADER = 'File type = "ooTextFile"\nObject class = "TextGrid"\n\n'


def quoted(s):
    return '"' + s.replace('"', '""') + '"'


def long_text(tiers, xmin=0, xmax=3):
    out = [HEADER, f"xmin = {xmin} \n", f"xmax = {xmax} \n", "tiers? <exists> \n", f"size = {len(tiers)} \n",
           "item []: \n"]
    for t, (cls, name, items) in enumerate(tiers, 1):
        kind = "intervals" if cls == "IntervalTier" else "points"
        out += [f"    item [{t}]:\n", f'        class = "{cls}" \n', f"        name = {quoted(name)} \n",
                f"        xmin = {xmin} \n", f"        xmax = {xmax} \n", f"        {kind}: size = {len(items)} \n"]
        for i, item in enumerate(items, 1):
            out.append(f"        {kind} [{i}]:\n")
            if kind == "intervals":
                a, b, label = item
                out += [f"            xmin = {a} \n", f"            xmax = {b} \n",
                        f"            text = {quoted(label)} \n"]
            else:
                a, label = item
                out += [f"            number = {a} \n", f"            mark = {quoted(label)} \n"]
    return "".join(out)


def short_text(tiers, xmin=0, xmax=3):
    out = [HEADER, f"{xmin}\n", f"{xmax}\n", "<exists>\n", f"{len(tiers)}\n"]
    for cls, name, items in tiers:
        out += [quoted(cls) + "\n", quoted(name) + "\n", f"{xmin}\n", f"{xmax}\n", f"{len(items)}\n"]
        for item in items:
            out += [f"{x}\n" for x in item[:-1]] + [quoted(item[-1]) + "\n"]
    return "".join(out)


INTERVALS = ("IntervalTier", "words", [(0, 1.5, "a"), (1.5, 2.25, ""), (2.25, 3, "end")])
POINTS = ("TextTier", "tones", [(0.5, "H*"), (2.125, "L%")])
QUOTES = ("IntervalTier", 'say "hi"', [(0, 1, 'he said ""no"" "'), (1, 3, '"')])
MULTILINE = ("IntervalTier", "two\nlines", [(0, 1, "first\nsecond"), (1, 2, "item []:\n    intervals [9]:"),
                                             (2, 3, "a\r\nb")])
UNICODE = ("IntervalTier", "ünïcödé", [(0, 1, "日本語"), (1, 3, "\u00a0spaced\u3000")])
ODD_NUMBERS = ("IntervalTier", "numbers", [("1e-3", "0.5E1", "x"), ("inf", "-Infinity", "y"), ("nan", "+.5", "z"),
                                           ("1e400", "-0", "w"), ("5e-324", "00012.000", "v")])
EMPTY = ("IntervalTier", "", [])

GRIDS = {
    "intervals": [INTERVALS],
    "points": [POINTS],
    "mixed": [INTERVALS, POINTS, EMPTY],
    "quotes": [QUOTES],
    "multiline": [MULTILINE],
    "unicode": [UNICODE],
    "numbers": [ODD_NUMBERS],
    "none": [],
}


def variants(text):
    """The same text with the line ends and byte order marks files come with."""
    yield "lf", text.encode()
    yield "crlf", text.replace("\n", "\r\n").encode()
    yield "cr", text.replace("\n", "\r").encode()
    yield "bom", b"\xef\xbb\xbf" + text.encode()
    yield "utf16le", b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")
    yield "utf16be", b"\xfe\xff" + text.encode("utf-16-be")
    latin = text.encode("latin-1", errors="replace")
    if latin != text.encode():
        yield "latin1", latin


def texts():
    for name, tiers in GRIDS.items():
        for layout, render in (("long", long_text), ("short", short_text)):
            for kind, data in variants(render(tiers)):
                yield f"{layout}_{name}_{kind}", data
    # Files cut short, and counts that promise more than there is.
    full = long_text([INTERVALS, POINTS]).encode()
    yield "long_truncated", full[: len(full) // 2]
    yield "short_truncated", short_text([INTERVALS]).encode()[:-7]
    yield "short_huge_count", short_text([INTERVALS]).replace("\n3\n", "\n18446744073709551615\n", 1).encode()
    yield "long_item_before_tier", (HEADER + "intervals [1]:\n xmin = 0\n").encode()
    yield "long_unknown_class", long_text([INTERVALS]).replace("IntervalTier", "Fancy").encode()


NUMBERS = ["0", "-0", "+0", "1", "1.5", ".5", "5.", "-2.25", "1e10", "1E-10", "1e+5", "123456789012345678901234567890",
           "0.1", "1.7976931348623157e308", "1.8e308", "4.9e-324", "2.4e-324", "1e-400", "inf", "-INF", "Infinity",
           "nan", "-NaN", "", "-", ".", "e5", "1e", "1e+", "0x1p3", "nan(1)", " 1", "1 ", "1.2.3", "--1", "+-1",
           "18446744073709551615", "18446744073709551616", "+7", "0000000000000000000001", "9007199254740993",
           "0.30000000000000004", "1" + "0" * 400, "0." + "0" * 400 + "1"]


BINARY = b"ooBinaryFile\x08TextGrid" + bytes(range(256))


def binary_body(tiers, xmin=0.0, xmax=3.0):
    """A binary TextGrid after its "ooBinaryFile" mark (the binary target
    puts that in front). Numbers written as text in a grid are read here."""
    def text(s):
        if all(ord(c) < 256 for c in s):
            return struct.pack(">H", len(s)) + s.encode("latin-1")
        return b"\xff\xff" + struct.pack(">H", len(s)) + s.encode("utf-16-be")
    out = b"\x08TextGrid" + struct.pack(">ddBi", xmin, xmax, 1, len(tiers))
    for cls, name, items in tiers:
        out += bytes([len(cls)]) + cls.encode() + text(name) + struct.pack(">ddi", xmin, xmax, len(items))
        for item in items:
            out += b"".join(struct.pack(">d", float(x)) for x in item[:-1]) + text(item[-1])
    return out


CHRONOLOGICAL = ('"Praat chronological TextGrid text file"\n0 3   ! Time domain.\n2   ! Number of tiers.\n'
                 '"IntervalTier" "words" 0 3\n"TextTier" "tones" 0 3\n\n! words:\n1 1.5 3\n"b"\n'
                 '2 0.5 "H*"\n1 0 1.5 "a ""q"""\n2 0.5 "L%" ! the same time\n')


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main(out):
    all_texts = list(texts())
    for target in ("long", "short", "auto", "roundtrip", "decode", "praat_text"):
        for name, data in all_texts:
            write(os.path.join(out, target), name, data)
    write(os.path.join(out, "praat_text"), "chronological", CHRONOLOGICAL.encode("utf-8"))
    for name, tiers in GRIDS.items():
        write(os.path.join(out, "praat_binary"), name, binary_body(tiers))
    write(os.path.join(out, "decode"), "binary", BINARY)
    write(os.path.join(out, "decode"), "utf16_lone_surrogate", b"\xff\xfe" + "a".encode("utf-16-le") + b"\x00\xd8")
    write(os.path.join(out, "decode"), "utf16_odd", b"\xfe\xff\x00a\x00")
    for name, data in all_texts:
        if name.startswith("long"):
            # The first byte picks the chunk count.
            for k in (0, 3):
                write(os.path.join(out, "chunks"), f"{name}_{k}", bytes([k]) + data)
    longs = [data for name, data in all_texts if name.startswith("long") and name.endswith("_lf")]
    shorts = [data for name, data in all_texts if name.startswith("short") and name.endswith("_lf")]
    for i, (a, b) in enumerate(zip(longs, shorts)):
        # The first byte sets the label bytes per batch; NUL separates files.
        for k in (2, 40):
            write(os.path.join(out, "arrow"), f"pair{i}_{k}", bytes([k]) + a + b"\0" + b + b"\0" + a)
    for i, n in enumerate(NUMBERS):
        write(os.path.join(out, "number"), f"n{i:03d}", n.encode())


if __name__ == "__main__":
    main(sys.argv[1])

"""Deterministic benchmark inputs, written into a folder the caller owns.

    large_grid(folder, mb=50, seed=11)  -> (long path, short path, items)
    large_grid_data(mb=50, seed=11)     -> the same grid as data2textgrid takes it
    small_grids(folder, count, seed=7, words=25) -> [paths]

The large grid looks like a forced alignment: a word tier, a phone tier in
IPA, a syllable tier and a point tier of events, with empty intervals for
pauses and labels that hold quotes. Its times are written the way Praat
writes them: 15 significant digits when those give the double back, 17
otherwise, and an exponent for tiny values (1e-05). Half the boundaries lie
on a 10 ms frame grid (k * 0.01, which as a double often needs all 17
digits), the rest anywhere.
"""
import decimal
import os
import random

WORDS = ["the", "a", "speech", "of", "corpus", "annotation", "vowel", "and", "sound", "reading", "tier",
         "river", "north", "wind", "sun", "traveller", "cloak", "stronger", "dispute", "warm", "Straße",
         "café", "naïve", "über", "mañana"]
PHONES = ["ə", "ɪ", "ʊ", "æ", "ɑː", "ʃ", "ŋ", "θ", "ð", "tʃ", "dʒ", "ɹ", "iː", "uː", "eɪ", "aɪ", "oʊ", "p",
          "t", "k", "s", "n", "m", "l", "b", "d", "ɡ", "f", "v", "z", "ʒ", "h", "w", "j"]
EVENTS = ['click', 'say "hi"', '"quoted"', "breath", "laugh", "", "noise ☆"]


def praat_time(t):
    text = f"{t:.15g}"
    return text if float(text) == t else f"{t:.17g}"


def positional_time(t):
    """praat_time without exponents: the same digits, laid out in full."""
    text = praat_time(t)
    return format(decimal.Decimal(text), "f") if "e" in text else text


def quoted(label):
    return '"' + label.replace('"', '""') + '"'


def _alignment(rng, n_words):
    """Tiers as (name, is_interval, [(tmin, tmax, label)]), all from 0 to the same end."""
    words, phones, syllables, events = [], [], [], []
    t = 0.0
    frame = 0
    for w in range(n_words):
        on_grid = w % 2 == 0
        if on_grid:
            frame += rng.randint(15, 60)
            end = frame * 0.01
        else:
            end = t + rng.uniform(0.12, 0.6)
            frame = int(end * 100) + 1
        label = "" if rng.random() < 0.12 else rng.choice(WORDS)
        words.append((t, end, label))
        n_ph = rng.randint(2, 4)
        # Jittered even cuts: every phone keeps at least a tenth of the word.
        cuts = [t + (end - t) * (i + rng.uniform(-0.4, 0.4)) / n_ph for i in range(1, n_ph)]
        bounds = [t] + cuts + [end]
        for i in range(n_ph):
            phones.append((bounds[i], bounds[i + 1], "" if not label else rng.choice(PHONES)))
        mid = bounds[n_ph // 2]
        syllables.append((t, mid, label[:2]))
        syllables.append((mid, end, label[2:]))
        if w % 4 == 0:
            events.append((t + (end - t) * rng.random(), None, rng.choice(EVENTS)))
        t = end
    # Tiny times, as an aligner's first event may be.
    events.insert(0, (1.5e-05, None, "start"))
    events.insert(0, (3e-07, None, "onset"))
    events.sort(key=lambda e: e[0])
    return t, [("words", True, words), ("phones", True, phones), ("syllables", True, syllables),
               ("events", False, events)]


def _long_text(xmax, tiers, praat_time=praat_time):
    out = ['File type = "ooTextFile"\nObject class = "TextGrid"\n\n',
           f"xmin = 0 \nxmax = {praat_time(xmax)} \ntiers? <exists> \nsize = {len(tiers)} \nitem []: \n"]
    for n, (name, is_interval, items) in enumerate(tiers, 1):
        kind = "intervals" if is_interval else "points"
        out.append(f'    item [{n}]:\n        class = "{"IntervalTier" if is_interval else "TextTier"}" \n'
                   f"        name = {quoted(name)} \n        xmin = 0 \n        xmax = {praat_time(xmax)} \n"
                   f"        {kind}: size = {len(items)} \n")
        if is_interval:
            out.extend(f"        intervals [{i}]:\n            xmin = {praat_time(a)} \n"
                       f"            xmax = {praat_time(b)} \n            text = {quoted(label)} \n"
                       for i, (a, b, label) in enumerate(items, 1))
        else:
            out.extend(f"        points [{i}]:\n            number = {praat_time(a)} \n"
                       f"            mark = {quoted(label)} \n"
                       for i, (a, _, label) in enumerate(items, 1))
    return "".join(out)


def _short_text(xmax, tiers):
    out = ['File type = "ooTextFile"\nObject class = "TextGrid"\n\n',
           f"0\n{praat_time(xmax)}\n<exists>\n{len(tiers)}\n"]
    for name, is_interval, items in tiers:
        out.append(f'"{"IntervalTier" if is_interval else "TextTier"}"\n{quoted(name)}\n0\n{praat_time(xmax)}\n'
                   f"{len(items)}\n")
        if is_interval:
            out.extend(f"{praat_time(a)}\n{praat_time(b)}\n{quoted(label)}\n" for a, b, label in items)
        else:
            out.extend(f"{praat_time(a)}\n{quoted(label)}\n" for a, _, label in items)
    return "".join(out)


def large_grid(folder, mb=50.0, seed=11):
    """The same alignment in both layouts; about `mb` MB in the long one."""
    # About 780 bytes of long-layout text per word with its phones, syllables and events.
    xmax, tiers = _alignment(random.Random(seed), max(8, int(mb * 1e6 / 780)))
    paths = []
    for layout, render in (("long", _long_text), ("short", _short_text)):
        path = os.path.join(folder, f"large_{layout}.TextGrid")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(render(xmax, tiers))
        paths.append(path)
    return paths[0], paths[1], sum(len(items) for _, _, items in tiers)


def large_grid_data(mb=50.0, seed=11):
    """The alignment of large_grid as data2textgrid takes it: (name, is_interval, [(tmin, tmax, label)]),
    a point's tmax being its time."""
    _, tiers = _alignment(random.Random(seed), max(8, int(mb * 1e6 / 780)))
    return [(name, is_interval, [(a, a if b is None else b, label) for a, b, label in items])
            for name, is_interval, items in tiers]


def large_grid_plain_times(folder, mb=50.0, seed=11):
    """The long layout of large_grid with no time in exponent form."""
    xmax, tiers = _alignment(random.Random(seed), max(8, int(mb * 1e6 / 780)))
    path = os.path.join(folder, "large_long_positional.TextGrid")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(_long_text(xmax, tiers, positional_time))
    return path


def small_grids(folder, count, seed=7, words=25):
    """`count` long-layout grids of a word and a phone tier, `words` words each."""
    rng = random.Random(seed)
    paths = []
    for i in range(count):
        xmax, tiers = _alignment(rng, words)
        path = os.path.join(folder, f"small_{i:06d}.TextGrid")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(_long_text(xmax, tiers[:2]))
        paths.append(path)
    return paths

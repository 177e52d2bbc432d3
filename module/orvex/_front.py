"""Reading, editing and writing one TextGrid file: orvex.read, TextGrid, Tier, Item, TextGridError.

The six functions of the extension are exact to their contract and take their arguments as the
contract says; this is the forgiving way in for one file: paths of any kind, defaults, tiers by
name, and failures that say where and what. Only the standard library is used.
"""
from __future__ import annotations

import math
import os
import re
import stat
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, NamedTuple, NoReturn, Optional, SupportsFloat, SupportsIndex, Tuple, Union, overload

import orvex

__all__ = ["read", "TextGrid", "Tier", "Item", "TextGridError"]

_PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# The tier-structured shape of the six functions.
_TierData = Tuple[str, bool, Sequence[Tuple[SupportsFloat, SupportsFloat, str]]]

# The six functions' tolerance: bounds closer than this are equal.
_EPSILON = 1e-6


class TextGridError(OSError):
    """A TextGrid file could not be read: where (path, and line where one applies) and what."""

    path: str
    line: Optional[int]
    message: str

    def __init__(self, path: str, line: Optional[int], message: str) -> None:
        super().__init__(message)
        self.path = path
        self.line = line
        self.message = message
        self.filename = path

    def __str__(self) -> str:
        where = self.path if self.line is None else f"{self.path}:{self.line}"
        return f"{where}: {self.message}"

    def __reduce__(self) -> tuple[Any, ...]:
        # The arguments of __init__, not the message alone that OSError keeps.
        return (type(self), (self.path, self.line, self.message))


class Item(NamedTuple):
    """One interval, or one point (tmin == tmax); change one with item._replace(label=...)."""

    tmin: float
    tmax: float
    label: str


class Tier:
    """An interval or point tier: name, kind, its own time range and its items in time order."""

    __slots__ = ("name", "is_interval", "tmin", "tmax", "items")
    __hash__ = None  # type: ignore[assignment]  # mutable

    def __init__(self, name: str, is_interval: bool, tmin: float, tmax: float,
                 items: Iterable[tuple[float, float, str]] = ()) -> None:
        self.name = name
        self.is_interval = is_interval
        self.tmin = tmin
        self.tmax = tmax
        self.items: list[Item] = [Item(*item) for item in items]

    def __len__(self) -> int:
        return len(self.items)

    def __iter__(self) -> Iterator[Item]:
        return iter(self.items)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Tier):
            return NotImplemented
        return (self.name, self.is_interval, self.tmin, self.tmax, self.items) == (
            other.name, other.is_interval, other.tmin, other.tmax, other.items)

    def __repr__(self) -> str:
        kind = "intervals" if self.is_interval else "points"
        return f"<Tier {self.name!r}: {len(self.items)} {kind}, {_number(self.tmin)}-{_number(self.tmax)}>"

    def item_at(self, t: float) -> Optional[Item]:
        """The interval that holds t (the later one where two meet at t), the point at t, or None.

        A binary search: the items must be in time order, as write() requires.
        """
        items = self.items
        low, high = 0, len(items)
        while low < high:  # the first item that starts after t
            middle = (low + high) // 2
            if items[middle].tmin <= t:
                low = middle + 1
            else:
                high = middle
        if low == 0:
            return None
        found = items[low - 1]
        if self.is_interval:
            return found if t <= found.tmax else None
        return found if found.tmin == t else None


class TextGrid:
    """A whole TextGrid: its time range and its tiers; grid["words"] or grid[0] gives a tier."""

    __slots__ = ("tmin", "tmax", "tiers")
    __hash__ = None  # type: ignore[assignment]  # mutable

    def __init__(self, tmin: float, tmax: float, tiers: Iterable[Tier] = ()) -> None:
        self.tmin = tmin
        self.tmax = tmax
        self.tiers: list[Tier] = list(tiers)

    @overload
    def __getitem__(self, key: str) -> Tier: ...
    @overload
    def __getitem__(self, key: SupportsIndex) -> Tier: ...

    def __getitem__(self, key: Union[str, SupportsIndex]) -> Tier:
        if isinstance(key, str):
            for tier in self.tiers:
                if tier.name == key:
                    return tier
            names = ", ".join(repr(tier.name) for tier in self.tiers) or "none"
            raise KeyError(f"no tier named {key!r}; the tiers are: {names}")
        return self.tiers[key]

    def __len__(self) -> int:
        return len(self.tiers)

    def __iter__(self) -> Iterator[Tier]:
        return iter(self.tiers)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, TextGrid):
            return NotImplemented
        return (self.tmin, self.tmax, self.tiers) == (other.tmin, other.tmax, other.tiers)

    def __repr__(self) -> str:
        tiers = ", ".join(f"{tier.name!r} ({len(tier.items)} {'intervals' if tier.is_interval else 'points'})"
                          for tier in self.tiers)
        return f"<TextGrid {_number(self.tmin)}-{_number(self.tmax)}: {tiers or 'no tiers'}>"

    def to_data(self) -> tuple[float, float, list[tuple[str, bool, list[Item]]]]:
        """(tmin, tmax, [(name, is_interval, [(tmin, tmax, label), ...]), ...]), the shape of textgrid2data."""
        return (self.tmin, self.tmax, [(tier.name, tier.is_interval, list(tier.items)) for tier in self.tiers])

    @classmethod
    def from_data(cls, data: Iterable[_TierData], tmin: Optional[SupportsFloat] = None,
                  tmax: Optional[SupportsFloat] = None) -> TextGrid:
        """A grid from tiers in the shape of textgrid2data: [(name, is_interval, [(tmin, tmax, label), ...]), ...].

        A bound left out spans the items; every tier spans the grid, and tiers without items are kept.
        """
        tiers = []
        for name, is_interval, items in data:
            if not isinstance(name, str):
                raise TypeError(f"a tier name must be a str, not {type(name).__name__}")
            converted = []
            for start, end, label in items:
                if not isinstance(label, str):
                    raise TypeError(f"tier {_quoted(name)}: a label must be a str, not {type(label).__name__}")
                converted.append(Item(float(start), float(end), label))
            tier = Tier(name, bool(is_interval), 0.0, 0.0)
            tier.items = converted
            tiers.append(tier)
        starts = [item.tmin for tier in tiers for item in tier.items if not math.isnan(item.tmin)]
        ends = [item.tmax for tier in tiers for item in tier.items if not math.isnan(item.tmax)]
        if (tmin is None and not starts) or (tmax is None and not ends):
            raise ValueError("the grid is empty: there are no items to take its time range from; give tmin and tmax")
        low = min(starts) if tmin is None else float(tmin)
        high = max(ends) if tmax is None else float(tmax)
        for tier in tiers:
            tier.tmin, tier.tmax = low, high
        return cls(low, high, tiers)

    def write(self, path: _PathLike, layout: str = "long", *, overwrite: bool = True) -> None:
        """Writes the grid in the "long" or "short" layout, after checking it (ValueError says what is wrong).

        The file is written under a temporary name in the same folder and renamed over path, so path
        holds either its old content or the whole new one. With overwrite=False an existing file is
        left alone (FileExistsError). The writer is data2textgrid's, with the same bytes for the
        same grid; unlike data2textgrid, tiers without items and the tiers' own time ranges are kept.
        """
        if layout not in ("long", "short"):
            raise ValueError(f"layout must be 'long' or 'short', not {layout!r}")
        problem = _problem(self)
        if problem is not None:
            raise ValueError(problem)
        plain = (self.tmin, self.tmax, [(tier.name, tier.is_interval, tier.tmin, tier.tmax,
                                         tier.items if type(tier.items) is list else list(tier.items))
                                        for tier in self.tiers])
        text = orvex._render_grid(plain, layout == "long")  # type: ignore[attr-defined]
        _write_atomically(os.fspath(path), text, overwrite)


def read(path: _PathLike, *, layout: str = "praat", strict: bool = False, encoding: str = "auto") -> TextGrid:
    """Reads one TextGrid file.

    layout: "praat" (as Praat reads: long, short, chronological and binary files) or the six
    functions' "long", "short" and "auto". encoding: "auto" (UTF-16 with a byte order mark, UTF-8,
    else Latin-1, as Praat reads) or "utf-8". strict: also check the grid as write() does.
    Every failure to read the file is a TextGridError naming the path, the line where one
    applies, and what was found.
    """
    if layout not in _LAYOUTS:
        raise ValueError(f"layout must be one of {', '.join(map(repr, _LAYOUTS))}, not {layout!r}")
    if encoding not in ("auto", "utf-8"):
        raise ValueError(f"encoding must be 'auto' or 'utf-8', not {encoding!r}")
    raw = os.fspath(path)
    shown = os.fsdecode(raw)
    tmin, tmax, tiers = _read_native(raw, shown, layout, encoding)
    grid = TextGrid(tmin, tmax, [_tier(*tier) for tier in tiers])
    if strict:
        problem = _problem(grid)
        if problem is not None:
            raise TextGridError(shown, None, problem)
    return grid


def _tier(name: str, is_interval: bool, tmin: float, tmax: float, items: list[Item]) -> Tier:
    """A Tier over a list of Items as it is."""
    tier = Tier.__new__(Tier)
    tier.name, tier.is_interval, tier.tmin, tier.tmax, tier.items = name, is_interval, tmin, tmax, items
    return tier


_LAYOUTS = ("praat", "long", "short", "auto")
_NativeTier = Tuple[str, bool, float, float, "list[Item]"]
_FAILED_READ = re.compile(r"line (\d+): (.*)", re.DOTALL)


def _read_native(raw: Union[str, bytes], shown: str, layout: str,
                 encoding: str) -> tuple[float, float, Sequence[_NativeTier]]:
    """(tmin, tmax, [(name, is_interval, tmin, tmax, items), ...]) of the file, or TextGridError."""
    try:
        if layout == "praat":
            return _read_praat(raw, shown, encoding)
        read = orvex._read_grid(os.fsencode(raw), layout, encoding, Item)  # type: ignore[attr-defined]
        if not read[2]:
            _check_first_line(raw, shown)
        return read  # type: ignore[no-any-return]
    except TextGridError:
        raise
    except OSError as exc:
        raise _failure(shown, exc) from None
    except BaseException as exc:
        # The six's readers raise their internal failure (an unknown tier class, a file that ends
        # early) as a BaseException.
        if not _is_internal_failure(exc):
            raise
        raise _failure(shown, exc) from None


def _read_praat(raw: Union[str, bytes], shown: str, encoding: str) -> tuple[float, float, Sequence[_NativeTier]]:
    """The file as Praat reads it.

    Until the extension reads Praat's own way, the "auto" reader stands in: Praat decodes the text
    the same way, yet binary and chronological files are refused.
    """
    read = orvex._read_grid(os.fsencode(raw), "praat", encoding, Item)  # type: ignore[attr-defined]
    if not read[2]:
        _check_first_line(raw, shown)
    return read  # type: ignore[no-any-return]


def _check_first_line(raw: Union[str, bytes], shown: str) -> None:
    """Refuses a file read as a grid without tiers whose first line is not a TextGrid's: the six's
    readers take nearly anything for an empty grid. A file that is not a regular one (a pipe) has
    been read already."""
    if not stat.S_ISREG(os.stat(raw).st_mode):
        return
    with open(raw, "rb") as file:
        head = file.read(512)
    if head.startswith(b"ooBinaryFile"):
        return  # the reader says what it makes of it
    if head.startswith((b"\xfe\xff", b"\xff\xfe")):
        head = head[:len(head) // 2 * 2].decode("utf-16", "replace").encode("utf-8")
    first_line = head.removeprefix(b"\xef\xbb\xbf").split(b"\n", 1)[0]
    if b"ooTextFile" not in first_line:
        raise TextGridError(shown, 1, f"found {_shorten(first_line)} where a TextGrid file starts with "
                                      'File type = "ooTextFile"')


def _is_internal_failure(exc: BaseException) -> bool:
    kind = type(exc)
    return kind.__module__ == "orvex" and kind.__name__ == "InternalError"


def _failure(shown: str, exc: BaseException) -> TextGridError:
    """The TextGridError for a failure of the extension or the file system."""
    if isinstance(exc, OSError) and exc.strerror:
        return TextGridError(shown, None, f"cannot read the file: {exc.strerror}")
    message = str(exc.args[0]) if exc.args else str(exc)
    found = _FAILED_READ.fullmatch(message)
    if found:
        return TextGridError(shown, int(found.group(1)), found.group(2))
    return TextGridError(shown, None, message)


def _shorten(text: bytes) -> str:
    shown = text.decode("utf-8", "replace").strip()
    return _quoted(shown[:40] + ("..." if len(shown) > 40 else "")) if shown else "nothing"


# Checking, with messages for people: the first problem found, or None.

def _quoted(text: str) -> str:
    import json  # only messages need it

    return json.dumps(text, ensure_ascii=False)


def _describe(tier: Tier, index: int) -> str:
    start, end, label = tier.items[index]
    if tier.is_interval:
        return f"interval {index + 1} ({_number(start)}-{_number(end)} {_quoted(label)})"
    return f"point {index + 1} ({_number(start)} {_quoted(label)})"


def _problem(grid: TextGrid) -> Optional[str]:
    if not (math.isfinite(grid.tmin) and math.isfinite(grid.tmax)):
        return f"the grid's time range {_number(grid.tmin)}-{_number(grid.tmax)} is not made of two numbers"
    if grid.tmax - grid.tmin <= _EPSILON:
        return f"the grid's time range {_number(grid.tmin)}-{_number(grid.tmax)} is empty: tmax must be greater than tmin"
    for tier in grid.tiers:
        problem = _tier_problem(grid, tier)
        if problem is not None:
            return f"tier {_quoted(tier.name)}: {problem}"
    return None


def _tier_problem(grid: TextGrid, tier: Tier) -> Optional[str]:
    span = f"{_number(tier.tmin)}-{_number(tier.tmax)}"
    if not (math.isfinite(tier.tmin) and math.isfinite(tier.tmax)):
        return f"its time range {span} is not made of two numbers"
    if tier.tmax - tier.tmin <= _EPSILON:
        return f"its time range {span} is empty: tmax must be greater than tmin"
    if tier.tmin < grid.tmin - _EPSILON or tier.tmax > grid.tmax + _EPSILON:
        return f"its time range {span} lies outside the grid's ({_number(grid.tmin)}-{_number(grid.tmax)})"
    if _items_sound(tier):
        return None
    items = tier.items
    before_start = before_end = 0.0
    for index, (start, end, label) in enumerate(items):
        if not isinstance(label, str):
            kind = "interval" if tier.is_interval else "point"
            return f"{kind} {index + 1} has a label of type {type(label).__name__}, not str"
        if not (math.isfinite(start) and math.isfinite(end)):
            return f"{_describe(tier, index)} has a time that is not a number"
        if tier.is_interval and end - start <= _EPSILON:
            return f"{_describe(tier, index)} does not end after it starts"
        if not tier.is_interval and abs(end - start) > _EPSILON:
            return (f"{_describe(tier, index)} has two times, {_number(start)} and {_number(end)}: "
                    "a point's tmax must equal its tmin")
        if start < tier.tmin - _EPSILON or end > tier.tmax + _EPSILON:
            return f"{_describe(tier, index)} lies outside the tier ({span})"
        if index:
            if start < before_start - _EPSILON:
                return f"{_describe(tier, index)} comes before {_describe(tier, index - 1)}: items must be in time order"
            if tier.is_interval and before_end - start > _EPSILON:
                return f"{_describe(tier, index)} starts before {_describe(tier, index - 1)} ends"
        before_start, before_end = start, end
    return None


def _items_sound(tier: Tier) -> bool:
    """True when _tier_problem would find nothing wrong with the items: one quick pass for the
    common case, the messages being made only for a tier that fails it. NaN fails every comparison."""
    low, high = tier.tmin - _EPSILON, tier.tmax + _EPSILON
    before_start = before_end = -math.inf
    if tier.is_interval:
        for start, end, label in tier.items:
            if not (low <= start and end <= high and end - start > _EPSILON and before_end - start <= _EPSILON
                    and start >= before_start - _EPSILON and label.__class__ is str):
                return False
            before_start, before_end = start, end
    else:
        for start, end, label in tier.items:
            if not (low <= start <= high and end <= high and -_EPSILON <= end - start <= _EPSILON
                    and start >= before_start - _EPSILON and label.__class__ is str):
                return False
            before_start = start
    return True


def _number(value: float) -> str:
    """value as the writer writes it: the shortest decimal that reads back to it, positional
    (1e-07 is 0.0000001, 1.0 is 1)."""
    text = repr(float(value))
    if "e" in text:
        from decimal import Decimal  # only tiny and huge times need it

        text = format(Decimal(text), "f")
    elif text in ("nan", "inf", "-inf"):
        return "NaN" if text == "nan" else text
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def _write_atomically(target: Union[str, bytes], data: bytes, overwrite: bool) -> None:
    """Writes data to a new file beside target and renames it over target (or links it, to keep an old one)."""
    folder, name = os.path.split(os.fsdecode(target))
    for _ in range(100):
        temporary = os.path.join(folder, f".{name}.{os.urandom(4).hex()}.tmp")
        try:
            # Created as open() creates files, so the umask decides the mode (mkstemp's is 0600).
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
        except OSError as exc:
            _raise_for(exc, target)
    else:
        raise FileExistsError(f"no free temporary name beside {os.fsdecode(target)}")
    try:
        try:
            with os.fdopen(fd, "wb") as file:
                file.write(data)
            if overwrite:
                os.replace(temporary, target)
            else:
                os.link(temporary, target)
        except OSError as exc:
            _raise_for(exc, target)
    finally:
        try:  # gone already when it was renamed
            os.unlink(temporary)
        except FileNotFoundError:
            pass


def _raise_for(exc: OSError, target: Union[str, bytes]) -> NoReturn:
    """exc again, naming the target rather than the temporary file."""
    if exc.errno is None:
        raise exc
    raise type(exc)(exc.errno, exc.strerror, os.fsdecode(target)) from None

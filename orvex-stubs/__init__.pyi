"""Python module for TextGrid file manipulation."""

import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, ClassVar, Literal, NamedTuple, SupportsFloat, SupportsIndex, Union, final, overload

import numpy as np
import numpy.typing as npt

__all__ = [
    "textgrid2vectors",
    "textgrids2vectors",
    "textgrid2data",
    "textgrids2data",
    "data2textgrid",
    "vectors2textgrid",
    "textgrids2arrow",
    "read",
    "TextGrid",
    "Tier",
    "Item",
    "TextGridError",
]

__version__: str

# The layout a reader expects; any other name raises the internal-failure
# exception, so a type checker should refuse it.
_ReadLayout = Literal["long", "short", "auto"]
# The layout a writer produces: exactly "long" gives the long layout and every
# other string the short one, so any str is accepted; the two names are
# spelled out for editors that offer them.
_WriteLayout = Union[Literal["long", "short"], str]

# A time as the module accepts it: anything float() takes except str.
_Real = Union[SupportsFloat, SupportsIndex]
# A flag: True/False or a NumPy boolean scalar; plain integers are refused.
_Flag = Union[bool, np.bool_]

# (tmin, tmax, label) for one interval or point.
_Item = tuple[float, float, str]
# (name, is_interval, items) for one tier.
_TierData = tuple[str, bool, list[_Item]]
# (tmin, tmax, tiers) for one file.
_TextGridData = tuple[float, float, list[_TierData]]

# (tmins, tmaxs, labels, tier_names, is_intervals), one row per item.
_TextGridVectors = tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    list[str],
    list[str],
    npt.NDArray[np.bool_],
]
# The five columns joined over all files, then the 0-based file id of each row.
_TextGridsVectors = tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    list[str],
    list[str],
    npt.NDArray[np.bool_],
    npt.NDArray[np.uint32],
]

_ItemIn = tuple[_Real, _Real, str]
_TierIn = tuple[str, _Flag, Sequence[_ItemIn]]

def textgrid2vectors(file: str, strict: _Flag, file_type: _ReadLayout) -> _TextGridVectors: ...
def textgrids2vectors(files: Sequence[str], strict: _Flag, file_type: _ReadLayout) -> _TextGridsVectors: ...
def textgrid2data(file: str, strict: _Flag, file_type: _ReadLayout) -> _TextGridData: ...
def textgrids2data(files: Sequence[str], strict: _Flag, file_type: _ReadLayout) -> list[_TextGridData]: ...
def data2textgrid(
    data: Sequence[_TierIn],
    tmin: _Real | None,
    tmax: _Real | None,
    output_file: str,
    file_type: _WriteLayout,
) -> None: ...
def vectors2textgrid(
    tmins: Sequence[_Real] | npt.NDArray[Any],
    tmaxs: Sequence[_Real] | npt.NDArray[Any],
    labels: Sequence[str],
    tier_names: Sequence[str],
    is_intervals: Sequence[_Flag] | npt.NDArray[np.bool_],
    tmin: _Real | None,
    tmax: _Real | None,
    output_file: str,
    file_type: _WriteLayout,
) -> None: ...

# A path as os.fspath() takes it.
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

@final
class TextGridStream:
    """A stream of Arrow record batches over TextGrid files, made by textgrids2arrow()."""

    # (file_id, path, message) for every file that could not be read, in file order.
    @property
    def failures(self) -> list[tuple[int, str, str]]: ...
    @property
    def files_done(self) -> int: ...
    @property
    def files_total(self) -> int: ...
    # An "arrow_array_stream" PyCapsule; a stream can be exported once.
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    # An "arrow_schema" PyCapsule.
    def __arrow_c_schema__(self) -> object: ...

def textgrids2arrow(
    files: _Path | Iterable[_Path],
    strict: object = False,
    file_type: Literal["praat", "long", "short", "auto"] = "praat",
    *,
    encoding: Literal["auto", "utf-8"] = "auto",
    batch_files: int | None = None,
    rows: Literal["items", "tiers", "files"] = "items",
) -> TextGridStream: ...

# The front door for one file: forgiving arguments, tiers by name, failures that say where.

class TextGridError(OSError):
    """A TextGrid file could not be read: where (path, and line where one applies) and what."""

    path: str
    line: int | None
    message: str
    def __init__(self, path: str, line: int | None, message: str) -> None: ...

class Item(NamedTuple):
    """One interval, or one point (tmin == tmax)."""

    tmin: float
    tmax: float
    label: str

class Tier:
    """An interval or point tier: name, kind, its own time range and its items in time order."""

    name: str
    is_interval: bool
    tmin: float
    tmax: float
    items: list[Item]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self, name: str, is_interval: bool, tmin: float, tmax: float, items: Iterable[tuple[float, float, str]] = ()
    ) -> None: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Item]: ...
    def __eq__(self, other: object) -> bool: ...
    # The interval holding t (the later one where two meet), the point at t, or None.
    def item_at(self, t: float) -> Item | None: ...

class TextGrid:
    """A whole TextGrid: its time range and its tiers; grid["words"] or grid[0] gives a tier."""

    tmin: float
    tmax: float
    tiers: list[Tier]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, tmin: float, tmax: float, tiers: Iterable[Tier] = ()) -> None: ...
    # By name the first tier of that name (KeyError listing the names there are), else by position.
    @overload
    def __getitem__(self, key: str) -> Tier: ...
    @overload
    def __getitem__(self, key: SupportsIndex) -> Tier: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Tier]: ...
    def __eq__(self, other: object) -> bool: ...
    def write(self, path: _Path, layout: Literal["long", "short"] = "long", *, overwrite: bool = True) -> None: ...
    def to_data(self) -> tuple[float, float, list[tuple[str, bool, list[Item]]]]: ...
    @classmethod
    def from_data(
        cls, data: Iterable[tuple[str, _Flag, Iterable[_ItemIn]]], tmin: _Real | None = None, tmax: _Real | None = None
    ) -> TextGrid: ...

def read(
    path: _Path,
    *,
    layout: Literal["praat", "long", "short", "auto"] = "praat",
    strict: bool = False,
    encoding: Literal["auto", "utf-8"] = "auto",
) -> TextGrid: ...

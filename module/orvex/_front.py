"""Reading, editing and writing one TextGrid file."""
from __future__ import annotations

from typing import NamedTuple

__all__ = ["Item"]


class Item(NamedTuple):
    """One interval, or one point (tmin == tmax)."""

    tmin: float
    tmax: float
    label: str

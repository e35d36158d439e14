"""The back-test side's bridge to the excursion engine :mod:`kovalt.trevik` (compiled module)."""

from typing import Final, Mapping

import numpy as np
import numpy.typing as npt

#: Record layout of :func:`replay`'s events: kind (int32), day (int32), slot (int32), size (f8).
EVENT_DTYPE: Final[np.dtype]
#: Event kinds: set the current day / open ``slot`` with ``size`` / close ``slot``.
DATE: Final[int]
ENTRY: Final[int]
EXIT: Final[int]

def start_analysis(
    price: npt.NDArray[np.float64] | None,
    pos2price: Mapping[int, int],
    slot_count: int,
    window: int,
    window_step: int,
) -> None:
    """Hand the price matrix (days x columns), the slot -> column map and the window to the
    engine and reset its results."""

def record_date(day: int) -> None: ...
def record_entry(slot: int, size: float) -> None: ...
def record_exit(slot: int) -> None: ...
def end_analysis(open_positions: Mapping[int, float]) -> None:
    """Book the positions still open (slot -> size); raises what the engine raises."""

def entry() -> npt.NDArray[np.int64]:
    """The engine's per-slot entry days."""

def position() -> npt.NDArray[np.float64]:
    """The engine's per-slot position sizes."""

def replay(events: npt.NDArray[np.void]) -> None:
    """Run an array of :data:`EVENT_DTYPE` events in one native loop."""

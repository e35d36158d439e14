"""The excursion engine (compiled module). Native code drives it through ``__pyx_capi__``;
Python reads its results after :func:`kovalt.recorder.end_analysis`."""

from typing import Any

import numpy as np
import numpy.typing as npt

#: One [slot, entry day, exit day] per booked trade; the exit day is -1 for an open position.
trades: list[list[Any]]
#: The position size recorded at each booked trade's entry.
trade_positions: list[np.float64]
#: One excursion record per booked trade: groups of (mae, gmfe, bmfe, mdd, pdays, return) for
#: the window samples, then the exit summary; -1.0 where unwritten.
trevik: list[npt.NDArray[np.float64]]
__pyx_capi__: dict[str, Any]

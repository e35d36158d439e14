"""Parameter sweeps: many back-tests of one strategy on a Dask cluster, compared side by side.

``run(close, weights_for, grid, ...)`` back-tests every variant of ``grid`` in Dask worker
processes and returns a :class:`SweepResult`. Dask is imported when a sweep starts, so that
importing ``kovalt`` or ``kovalt.report`` never loads it. The figures of the table are defined
in :mod:`kovalt.sweep.summary`.
"""

from kovalt.sweep.grid import expand_grid
from kovalt.sweep.result import SweepResult
from kovalt.sweep.runner import run

__all__ = ["run", "SweepResult", "expand_grid"]

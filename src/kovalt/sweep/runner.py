"""kovalt.sweep.run: the variants of a grid back-tested on a Dask cluster."""

from __future__ import annotations

import sys

import pandas as pd

from kovalt.sweep.cluster import connect
from kovalt.sweep.grid import expand_grid
from kovalt.sweep.result import TABLE_COLUMNS, SweepResult
from kovalt.sweep.task import error_text, run_variant, warm_up

__all__ = ["run"]


def run(close, weights_for, grid, *, scheduler=None, workers=None, progress=True,
        **backtest_options) -> SweepResult:
    """Back-test every variant of ``grid`` and compare them.

    ``weights_for(close, **params)`` returns the weights table of one variant; ``grid`` maps
    parameter names to lists of values (cartesian product, in the mapping's order) or is a list
    of parameter dicts. ``backtest_options`` go to :func:`kovalt.backtest.run` unchanged
    (fee_ratio, tax_ratio, resample, benchmark, high, low, window, window_step).

    Each variant runs in a Dask worker process: ``scheduler=None`` starts a local cluster of
    ``workers`` processes (default: one per core) and closes it at the end; an address
    ("tcp://host:8786") or a ``distributed.Client`` uses that cluster as it is. The price tables
    and ``weights_for`` travel to every worker once; a worker sends back only the variant's
    figures and equity curve. A variant that raises gets the error's type and message in its
    row, and the others go on. ``progress`` shows a progress bar on standard error (the
    back-test's own ``progress`` callback is not available in a sweep).
    """
    if not callable(weights_for):
        raise TypeError(f"weights_for must be callable, not {type(weights_for).__name__}")
    variants = expand_grid(grid)
    _check_parameter_names(variants)
    # Tables go once to every worker; the small options travel with each task.
    shared = {"close": close, "weights_for": weights_for}
    shared.update({name: value for name, value in backtest_options.items()
                   if isinstance(value, (pd.DataFrame, pd.Series))})
    scalars = {name: value for name, value in backtest_options.items() if name not in shared}

    with connect(scheduler, workers) as client:
        summaries = _run_on(client, variants, shared, scalars, progress)
    return SweepResult(variants, summaries, close, weights_for, backtest_options)


def _check_parameter_names(variants: list[dict]) -> None:
    taken = sorted({name for params in variants for name in params} & set(TABLE_COLUMNS))
    if taken:
        raise ValueError(f"parameter names clash with the columns of the sweep table: "
                         f"{', '.join(taken)}")


def _run_on(client, variants: list[dict], shared: dict, scalars: dict, progress) -> list[dict]:
    from distributed import as_completed

    client.run(warm_up)
    remote = client.scatter(shared, broadcast=True)
    futures = {}
    try:
        for i, params in enumerate(variants):
            future = client.submit(_run_shared, remote, params, scalars, pure=False)
            futures[future] = i
        summaries: list[dict | None] = [None] * len(variants)
        with _progress_bar(len(variants), progress) as bar:
            for future in as_completed(futures):
                summaries[futures[future]] = _outcome(future)
                bar.update(1)
        return summaries
    finally:
        client.cancel(list(futures) + list(remote.values()))


def _run_shared(shared: dict, params: dict, scalars: dict) -> dict:
    tables = {name: value for name, value in shared.items()
              if name not in ("close", "weights_for")}
    return run_variant(shared["close"], shared["weights_for"], params, {**scalars, **tables})


def _outcome(future) -> dict:
    """The variant's summary, or an error row when the task itself failed on the cluster
    (a worker lost, a function the worker cannot unpickle, ...)."""
    try:
        return future.result()
    except Exception as error:  # noqa: BLE001 - reported in the variant's row
        return {"statistics": None, "curve": None, "error": error_text(error)}


def _progress_bar(total: int, enabled: bool):
    from tqdm import tqdm

    return tqdm(total=total, desc="sweep", unit="variant", file=sys.stderr,
                disable=not enabled, leave=True)

"""One variant of a sweep, as it runs on a worker: weights, back-test, summary.

The excursion engine keeps its state per process and a Report is not for concurrent use, so
variants in one process must not overlap: a process-wide lock serialises each variant's
back-test and summary (its dashboard included), which keeps a cluster whose workers run several
threads correct (the local cluster of a sweep runs one thread per worker process anyway).
"""

from __future__ import annotations

import threading

from kovalt.sweep.summary import summarize

__all__ = ["run_variant", "backtest_variant", "error_text", "warm_up"]

_ENGINE = threading.RLock()


def backtest_variant(close, weights_for, params: dict, options: dict):
    """The full Report of one variant."""
    from kovalt import backtest

    weights = weights_for(close, **params)
    with _ENGINE:
        return backtest.run(close, weights, **options)


def run_variant(close, weights_for, params: dict, options: dict) -> dict:
    """The summary of one variant: {"statistics", "curve", "error"}. A variant that raises gives
    its error's text and nothing else; the sweep goes on."""
    try:
        with _ENGINE:
            report = backtest_variant(close, weights_for, params, options)
            summary = summarize(report)
    except Exception as error:  # noqa: BLE001 - any failure of the user's code is a result
        return {"statistics": None, "curve": None, "error": error_text(error)}
    summary["error"] = None
    return summary


def error_text(error: BaseException) -> str:
    message = str(error)
    return f"{type(error).__name__}: {message}" if message else type(error).__name__


def warm_up() -> None:
    """Import what a variant needs, once per worker, before the first variant is timed."""
    import plotly.express  # noqa: F401 - the dashboard's first use costs a second otherwise

    import kovalt.backtest  # noqa: F401
    import kovalt.ravnel  # noqa: F401
    import kovalt.report  # noqa: F401

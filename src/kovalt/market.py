"""Market information of a back-test: the prices it ran on and the benchmark it is measured against.

A :class:`MarketInfo` is handed to :class:`kovalt.report.Report`, whose excursion dashboard asks it
for the average true range of every asset (:meth:`MarketInfo.calc_atr`) and whose upload asks it
for the benchmark (:meth:`MarketInfo.get_benchmark`).
"""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["MarketInfo", "NoBenchmarkError"]


class NoBenchmarkError(LookupError):
    """The market information was built without a benchmark series."""


def _check_alike(name: str, table: pd.DataFrame, close: pd.DataFrame) -> pd.DataFrame:
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"{name} prices must be a pandas DataFrame, not {type(table).__name__}")
    if not table.index.equals(close.index):
        raise ValueError(f"{name} prices must have the same dates as the close prices")
    if not table.columns.equals(close.columns):
        raise ValueError(f"{name} prices must have the same assets as the close prices")
    return table


class MarketInfo:
    """Close prices (dates × assets), optionally high and low prices, and a benchmark series.

    ``high`` and ``low`` must have exactly the dates and assets of ``close``; they are used
    together (give both or neither). ``benchmark`` is the benchmark's value series indexed by date.
    """

    def __init__(
        self,
        close: pd.DataFrame,
        high: pd.DataFrame | None = None,
        low: pd.DataFrame | None = None,
        benchmark: pd.Series | None = None,
    ) -> None:
        if not isinstance(close, pd.DataFrame):
            raise TypeError(f"close prices must be a pandas DataFrame, not {type(close).__name__}")
        if (high is None) != (low is None):
            raise ValueError("give both high and low prices, or neither")
        self.close = close
        self.high = None if high is None else _check_alike("high", high, close)
        self.low = None if low is None else _check_alike("low", low, close)
        if benchmark is not None and not isinstance(benchmark, pd.Series):
            raise TypeError(f"benchmark must be a pandas Series, not {type(benchmark).__name__}")
        self.benchmark = benchmark

    def true_range(self) -> pd.DataFrame:
        """Per date and asset: the day's range widened to the previous close.

        With close prices only this is the absolute close-to-close change. The first date has
        no previous close; its true range is the high-low range, or missing with closes only.
        """
        previous = self.close.shift(1)
        if self.high is None:
            return (self.close - previous).abs()
        top = np.fmax(self.high, previous)
        bottom = np.fmin(self.low, previous)
        return top - bottom

    @staticmethod
    def calc_atr(market_info: MarketInfo, n: int) -> pd.DataFrame:
        """The ``n``-day average true range of every asset: a table of dates × assets.

        Each value is the plain mean of the last ``n`` true ranges; dates with fewer than ``n``
        of them are missing. It is a static method because the report calls it as
        ``market_info.calc_atr(market_info, n)``.
        """
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
            raise ValueError(f"the ATR window must be a positive whole number of days, got {n!r}")
        return market_info.true_range().rolling(int(n), min_periods=int(n)).mean()

    def get_benchmark(self) -> pd.Series:
        """The benchmark's value series."""
        if self.benchmark is None:
            raise NoBenchmarkError(
                "this back-test has no benchmark: pass benchmark=<a value series indexed by date> "
                "to kovalt.backtest.run (or to MarketInfo), or --benchmark FILE to `kovalt run`"
            )
        return self.benchmark

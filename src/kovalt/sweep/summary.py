"""The figures a sweep keeps of one back-test, computed from its Report.

- "cagr", "max_drawdown", "daily_sharpe", "daily_sortino", "calmar": ``kovalt.ravnel``'s
  ``calc_stats`` of the calendar-daily equity series with an annual risk-free rate of 0.02,
  which is what ``Report.upload`` sends, so a variant's figures match its page on the
  strategy-storage service. The calendar-daily series is the report's ``creturn`` resampled to
  calendar days, keeping each day's last value (days without a price are no observation; see
  ``kovalt.ravnel.PerformanceStats`` for the periods per year).
- "win_ratio": the share of closed trades (those with an exit date) whose "return" is positive;
  NaN without a closed trade. Trades still open at the end are not counted.
- "trades": every row of the trade table, open trades included.
- "mean_edge_ratio": the dashboard's edge ratio (``Report.display_trevik_analysis``: favourable
  over adverse excursions, each in units of the trade's 10-day ATR at entry, over the complete
  trades) at the longest time scale of the excursion table; NaN when the dashboard has no
  complete trade or no time scale.
"""

from __future__ import annotations

import math

import pandas as pd

from kovalt.strategy_document import statistics

__all__ = ["STATISTICS", "summarize", "daily_statistics", "win_ratio", "mean_edge_ratio"]

#: The columns of the sweep table after the parameters, in order ("error" comes last).
STATISTICS = ("cagr", "max_drawdown", "daily_sharpe", "daily_sortino", "calmar", "win_ratio",
              "trades", "mean_edge_ratio")
_RAVNEL_FIGURES = ("cagr", "max_drawdown", "daily_sharpe", "daily_sortino", "calmar")
_EDGE_RATIO_HOVER = "mean_edge_ratio="


def summarize(report) -> dict:
    """The statistics of :data:`STATISTICS` and the equity curve ("curve") of a Report.

    It builds the report's MAE/MFE dashboard, which changes the trade table the way the
    dashboard does (absolute "mae" and "mdd", an "entry_volatility" column): the figures that
    read the trade table are taken before it.
    """
    figures = daily_statistics(report)
    trades = report.get_trades()
    figures["win_ratio"] = win_ratio(trades)
    figures["trades"] = len(trades)
    figures["mean_edge_ratio"] = mean_edge_ratio(report)
    return {"statistics": figures, "curve": report.creturn}


def daily_statistics(report) -> dict[str, float]:
    """The upload's statistics of ``report`` (the same object its page shows)."""
    stats = statistics(report).stats
    return {name: float(stats[name]) for name in _RAVNEL_FIGURES}


def win_ratio(trades: pd.DataFrame) -> float:
    closed = trades[trades["exit_date"].notna()]
    if not len(closed):
        return math.nan
    return float((closed["return"] > 0).mean())


def mean_edge_ratio(report) -> float:
    """The edge ratio of the dashboard's edge-ratio panel at its longest time scale.

    Read from the dashboard figure itself so that there is one definition of the ratio, the
    report module's.
    """
    try:
        figure = report.display_trevik_analysis()
    except ZeroDivisionError:  # the dashboard's answer when no trade is complete
        return math.nan
    for trace in figure.data:
        if _EDGE_RATIO_HOVER in (trace.hovertemplate or ""):
            scales = pd.to_numeric(pd.Series(trace.x), errors="coerce")
            if scales.notna().any():
                return float(trace.y[int(scales.idxmax())])
            return math.nan
    return math.nan

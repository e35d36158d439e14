"""The strategy document of a report: what ``Report.upload`` sends, without sending it.

The offline report page is drawn from this document by the same page model as the storage
service's strategy page, so both show a back-test alike. The steps follow the upload's own, key
by key; tests compare the two documents.
"""

from __future__ import annotations

import math
from typing import Any

# Its functions, not the pandas methods of the same names, which another library may own.
from kovalt import ravnel

__all__ = ["strategy_document", "statistics"]

RISK_FREE_RATE = 0.02
NDAYS = (1, 5, 10, 20, 60)
DATE_FORMAT = "%Y-%m-%d"


def _first_word(column):
    return column.astype(str).str.split(" ").str.get(0)


def _longest_drawdowns(stats) -> dict[str, Any]:
    table = stats.drawdown_details.sort_values("Length", kind="stable").tail(5)
    table = table.assign(Start=_first_word(table["Start"]), End=_first_word(table["End"]))
    return table.set_index("Start").to_dict(orient="index")


def _aligned_benchmark(report, curve) -> list[float]:
    """The benchmark on the curve's dates, rebased on its first value; NaN without one."""
    try:
        benchmark = report.market_info.get_benchmark()
    except LookupError:
        return [math.nan] * len(curve)
    aligned = benchmark.dropna().reindex(curve.index, method="ffill").ffill()
    valid = aligned.dropna()
    if len(valid):
        aligned = ravnel.rebase(valid).reindex(curve.index)
    return aligned.to_numpy(dtype=float).tolist()


def _calendar_daily(report):
    return report.creturn.resample("1D").last()


def statistics(report):
    """The statistics object of the page and the upload: calendar-daily values, risk-free
    rate 0.02."""
    stats = ravnel.calc_stats(_calendar_daily(report))
    stats.set_riskfree_rate(RISK_FREE_RATE)
    return stats


def _ndays_return(report, curve, n: int) -> float:
    # A back-test shorter than n days has no n-day return; the upload raises IndexError there,
    # the page shows it as missing.
    return report.get_ndays_return(curve, n) if len(curve) > n else math.nan


def strategy_document(report, dashboard_html: str | None = None) -> dict[str, Any]:
    """The upload's document of ``report``; ``dashboard_html`` fills "trevik_plotly_html"."""
    daily = _calendar_daily(report)
    stats = statistics(report)
    summary = stats.stats.to_dict()
    for key in ("start", "end"):
        summary[key] = summary[key].strftime(DATE_FORMAT)
    curve = ravnel.rebase(daily.ffill().dropna())
    trade_at = report.trade_at if isinstance(report.trade_at, str) else "close"
    return {
        "drawdown_details": _longest_drawdowns(stats),
        "stats": summary,
        "returns": {"time": curve.index.astype(str).to_list(), "value": curve.values.tolist()},
        "benchmark": _aligned_benchmark(report, curve),
        "ndays_return": {n: _ndays_return(report, curve, n) for n in NDAYS},
        "return_table": stats.return_table.transpose().to_dict(),
        "fee_ratio": report.fee_ratio,
        "tax_ratio": report.tax_ratio,
        "trade_at": trade_at,
        "trevik_plotly_html": dashboard_html,
        "update_date": report.update_date.strftime(DATE_FORMAT),
        "last_trading_date": report.last_trading_date.strftime(DATE_FORMAT),
        "next_trading_date": report.next_trading_date.strftime(DATE_FORMAT),
        "position": report.position_info(),
        "public_performance": False,
        "public_code": False,
        "public_position": False,
    }

"""What the strategy page shows, computed from a stored strategy document.

Everything here returns plain text and numbers; the template escapes every text it prints, so
nothing of the document reaches the page as markup.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import Any

from kovalt.server.payload import POSITION_META_KEYS

MISSING = "–"
KEY_FIGURES = ("total_return", "cagr", "max_drawdown", "daily_sharpe", "calmar")
# Statistic names that are fractions of the capital, shown as percentages; ratios, day counts
# and moments are not.
_PERCENT_NAME = re.compile(
    r"(return|cagr|drawdown|mean|vol|best|worst|perc|mtd|ytd|month|year|incep|^rf$)"
)
_PLAIN_NAME = re.compile(r"(sharpe|sortino|calmar|skew|kurt|days)")
STATUS_CLASSES = {"持有": "hold", "買進": "enter", "賣出": "exit", "停損停利": "stop"}
NDAYS_LABELS = {"1": "1 day", "5": "5 days", "10": "10 days", "20": "20 days", "60": "60 days"}


def _finite(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        number = float(value)
    except OverflowError:
        return None
    return number if math.isfinite(number) else None


def format_number(value: Any) -> str:
    if value is None:
        return MISSING
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        if abs(value) < 10**15:
            return f"{value:,}"
        # Stored before uploads were held to a double's range, an integer may exceed it.
        number = _finite(value)
        return f"{number:.4g}" if number is not None else ("∞" if value > 0 else "-∞")
    if isinstance(value, float):
        if math.isnan(value):
            return MISSING
        if math.isinf(value):
            return "∞" if value > 0 else "-∞"
        return f"{value:,.2f}" if abs(value) >= 1e4 else f"{value:.6g}"
    return str(value)


def format_percent(value: Any) -> str:
    number = _finite(value)
    if number is None:
        return format_number(value) if isinstance(value, (str, float)) else MISSING
    return f"{number * 100:,.2f}%"


def format_stat(name: str, value: Any) -> str:
    if _PERCENT_NAME.search(name) and not _PLAIN_NAME.search(name):
        return format_percent(value)
    return format_number(value)


def stat_label(name: str) -> str:
    return name.replace("_", " ")


def value_class(value: Any) -> str:
    """CSS class colouring a return: gains and losses read at a glance."""
    number = _finite(value)
    if number is None or number == 0:
        return ""
    return "gain" if number > 0 else "loss"


@dataclass
class Table:
    columns: list[str]
    rows: list[list[tuple[str, str]]] = field(default_factory=list)  # (text, css class)


def summary_rows(stats: dict[str, Any]) -> list[tuple[str, str]]:
    return [(stat_label(name), format_stat(name, value)) for name, value in stats.items()]


def key_figures(stats: dict[str, Any]) -> list[tuple[str, str, str]]:
    return [
        (stat_label(name), format_stat(name, stats[name]), value_class(stats[name]))
        for name in KEY_FIGURES
        if name in stats
    ]


def _length_key(entry: dict[str, Any]) -> float:
    length = _finite(entry.get("Length"))
    return -math.inf if length is None else length


def drawdown_table(details: dict[str, dict[str, Any]]) -> Table:
    """The drawdown periods, longest first, each column of the document shown."""
    columns: list[str] = []
    for entry in details.values():
        columns.extend(name for name in entry if name not in columns)
    table = Table(["Start", *columns])
    ordered = sorted(details.items(), key=lambda item: _length_key(item[1]), reverse=True)
    for start, entry in ordered:
        row = [(start, "")]
        for name in columns:
            value = entry.get(name)
            if name == "drawdown":
                row.append((format_percent(value), value_class(value)))
            else:
                row.append((format_number(value), ""))
        table.rows.append(row)
    return table


def return_table(table_by_period: dict[str, dict[str, Any]]) -> Table:
    """Periodic returns: one row per outer key (the year), one column per inner key (month)."""
    columns: list[str] = []
    for returns in table_by_period.values():
        columns.extend(name for name in returns if name not in columns)
    table = Table(["", *columns])
    for period, returns in table_by_period.items():
        row = [(period, "")]
        for name in columns:
            value = returns.get(name)
            row.append((format_percent(value), value_class(value)))
        table.rows.append(row)
    return table


def ndays_rows(ndays: dict[str, Any]) -> list[tuple[str, str, str]]:
    return [
        (NDAYS_LABELS.get(n, f"{n} days"), format_percent(value), value_class(value))
        for n, value in ndays.items()
    ]


def _date_text(value: Any) -> str:
    return value if isinstance(value, str) and value else MISSING


def position_table(position: dict[str, Any]) -> Table:
    table = Table(
        ["Asset", "Status", "Weight", "Next weight", "Entry", "Exit", "Return", "Entry price"]
    )
    for asset, entry in position.items():
        if asset in POSITION_META_KEYS or not isinstance(entry, dict):
            continue
        status = entry.get("status")
        label = status if isinstance(status, str) and status else MISSING
        table.rows.append(
            [
                (asset, "asset"),
                (label, "status " + STATUS_CLASSES.get(label, "other")),
                (format_percent(entry.get("weight")), ""),
                (format_percent(entry.get("next_weight")), ""),
                (_date_text(entry.get("entry_date")), ""),
                (_date_text(entry.get("exit_date")), ""),
                (format_percent(entry.get("return")), value_class(entry.get("return"))),
                (format_number(entry.get("entry_price")), ""),
            ]
        )
    return table


def position_meta(position: dict[str, Any]) -> list[tuple[str, str]]:
    return [
        (stat_label(key), position[key])
        for key in POSITION_META_KEYS
        if isinstance(position.get(key), str)
    ]


def chart_data(returns: dict[str, Any], benchmark: list[Any]) -> dict[str, Any]:
    """Series for the two charts, with every missing or infinite value as null (JSON-safe)."""
    strategy = [_finite(value) for value in returns["value"]]
    bench = [_finite(value) for value in benchmark]
    drawdown: list[float | None] = []
    peak = None
    for value in strategy:
        if value is not None and (peak is None or value > peak):
            peak = value
        # A tiny peak can make the ratio overflow to infinity, which JSON cannot carry.
        below = value / peak - 1 if value is not None and peak and peak > 0 else None
        drawdown.append(_finite(below))
    return {
        "time": list(returns["time"]),
        "strategy": strategy,
        "benchmark": bench if any(value is not None for value in bench) else None,
        "drawdown": drawdown,
    }


def has_dashboard(document: dict[str, Any]) -> bool:
    html = document.get("trevik_plotly_html")
    return isinstance(html, str) and bool(html.strip())


def context(document: dict[str, Any]) -> dict[str, Any]:
    """Everything the strategy template needs from the document."""
    stats = document["stats"]
    position = document["position"]
    return {
        "key_figures": key_figures(stats),
        "summary": summary_rows(stats),
        "period": (_date_text(stats.get("start")), _date_text(stats.get("end"))),
        "charts": chart_data(document["returns"], document["benchmark"]),
        "drawdowns": drawdown_table(document["drawdown_details"]),
        "returns_table": return_table(document["return_table"]),
        "ndays": ndays_rows(document["ndays_return"]),
        "positions": position_table(position),
        "position_meta": position_meta(position),
        "settings": [
            ("fee ratio", format_number(document["fee_ratio"])),
            ("tax ratio", format_number(document["tax_ratio"])),
            ("trade at", document["trade_at"]),
            ("update date", document["update_date"]),
            ("last trading date", document["last_trading_date"]),
            ("next trading date", document["next_trading_date"]),
        ],
        "has_dashboard": has_dashboard(document),
    }

"""Strategy documents as the upload client sends them, built from a simulated back-test.

The document has the client's 17 keys in the client's order, its values computed from a random
equity curve with pandas the way the report computes them, and it travels as the client's
four-field form with ``json.dumps`` defaults (so NaN is written bare).
"""

from __future__ import annotations

import json

import numpy as np
import pandas as pd

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
LABELS = {"hold": "持有", "exit": "賣出", "enter": "買進", "sl_tp_exit": "停損停利"}


def _drawdown_details(curve: pd.Series) -> dict:
    peak = curve.cummax()
    below = curve < peak
    periods, start = [], None
    for date, is_below in below.items():
        if is_below and start is None:
            start = date
        elif not is_below and start is not None:
            periods.append((start, date))
            start = None
    if start is not None:
        periods.append((start, curve.index[-1]))
    rows = [
        {
            "Start": begin,
            "End": end,
            "Length": (end - begin).days,
            "drawdown": float((curve[begin:end] / peak[begin:end] - 1).min()),
        }
        for begin, end in periods
    ]
    table = pd.DataFrame(rows, columns=["Start", "End", "Length", "drawdown"])
    table = table.sort_values("Length").tail(5)
    for column in ("Start", "End"):
        table[column] = table[column].astype(str).str.split(" ").str[0]
    return table.set_index("Start").to_dict("index")


def _return_table(curve: pd.Series) -> dict:
    monthly = curve.resample("ME").last().pct_change()
    monthly.iloc[0] = curve.resample("ME").last().iloc[0] / curve.iloc[0] - 1
    table = pd.DataFrame(np.nan, index=sorted(set(monthly.index.year)), columns=[*MONTHS, "YTD"])
    for date, value in monthly.items():
        table.loc[date.year, MONTHS[date.month - 1]] = value
    yearly = curve.resample("YE").last()
    starts = pd.concat([pd.Series([curve.iloc[0]]), pd.Series(yearly.to_numpy()[:-1])])
    table["YTD"] = yearly.to_numpy() / starts.to_numpy() - 1
    return table.transpose().to_dict()


def _position(assets, statuses, update_date, next_date) -> dict:
    position = {}
    assert len(assets) == len(statuses)
    for index, (asset, action) in enumerate(zip(assets, statuses)):
        exits = action in ("exit", "sl_tp_exit")
        position[asset] = {
            "status": LABELS.get(action, float("nan")),
            "weight": round(1 / len(assets), 4),
            "next_weight": 0.0 if exits else round(1 / len(assets), 4),
            "entry_date": f"2024-0{1 + index % 9}-1{index % 10}",
            "exit_date": "2024-12-30" if exits else "",
            "return": [0.1234, -0.056, 0.0, 0][index % 4],
            "entry_price": 100.0 + 7.5 * index,
        }
    position["update_date"] = update_date
    position["next_trading_date"] = next_date
    position["trade_at"] = "close"
    return position


def dashboard_html() -> str:
    """A dashboard fragment as the client makes it: plotly's HTML, plotly.js from its CDN."""
    import plotly.graph_objects as go
    from plotly.io import to_html

    figure = go.Figure(go.Scatter(x=[1, 2, 3], y=[0.1, -0.2, 0.15], name="mae vs return"))
    figure.update_layout(title="trade excursions", height=500, width=900)
    return to_html(figure, full_html=False, include_plotlyjs="cdn")


def build_payload(
    *,
    seed: int = 7,
    days: int = 420,
    assets=("2330", "2317", "1101", "2603", "0050"),
    statuses=("hold", "enter", "exit", "sl_tp_exit", "unknown"),
    trevik_charts: bool = False,
) -> dict:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2023-01-02", periods=days)
    creturn = pd.Series(np.cumprod(1 + rng.normal(0.0006, 0.012, days)), index=dates)
    daily = creturn.resample("1D").last()
    curve = daily.ffill().dropna()
    curve = curve / curve.iloc[0] * 100
    benchmark = pd.Series(np.cumprod(1 + rng.normal(0.0003, 0.01, days)), index=dates)
    benchmark = benchmark.reindex(curve.index, method="ffill").ffill()
    benchmark = benchmark / benchmark.iloc[0] * 100
    total = float(curve.iloc[-1] / curve.iloc[0] - 1)
    stats = {
        "start": curve.index[0].strftime("%Y-%m-%d"),
        "end": curve.index[-1].strftime("%Y-%m-%d"),
        "rf": 0.02,
        "total_return": total,
        "cagr": (1 + total) ** (365.25 / (curve.index[-1] - curve.index[0]).days) - 1,
        "max_drawdown": float((curve / curve.cummax() - 1).min()),
        "calmar": float("nan"),
        "daily_sharpe": 1.2345,
        "daily_vol": 0.1905,
        "ten_year": float("nan"),
        "avg_drawdown_days": 12.5,
    }
    update_date = dates[-1].strftime("%Y-%m-%d")
    next_date = (dates[-1] + pd.offsets.BDay()).strftime("%Y-%m-%d")
    return {
        "drawdown_details": _drawdown_details(curve),
        "stats": stats,
        "returns": {"time": curve.index.astype(str).to_list(), "value": curve.values.tolist()},
        "benchmark": benchmark.values.tolist(),
        "ndays_return": {
            n: float(curve.iloc[-1] / curve.iloc[-1 - n] - 1) for n in (1, 5, 10, 20, 60)
        },
        "return_table": _return_table(curve),
        "fee_ratio": 0.001425,
        "tax_ratio": 0.003,
        "trade_at": "close",
        "trevik_plotly_html": dashboard_html() if trevik_charts else None,
        "update_date": update_date,
        "last_trading_date": update_date,
        "next_trading_date": next_date,
        "position": _position(assets, statuses, update_date, next_date),
        "public_performance": False,
        "public_code": False,
        "public_position": False,
    }


def upload_form(payload: dict | str, token: str, name: str, collection: str = "strategies") -> dict:
    """The four form fields in the client's order; a str payload is sent as it stands."""
    data = payload if isinstance(payload, str) else json.dumps(payload)
    return {"data": data, "api_token": token, "collection": collection, "document_id": name}

"""Shared fixtures: a small Report built from a creturn series and a position table, with a trade
table and an excursion table attached the way a back-test engine attaches them."""

import numpy as np
import pandas as pd
import pytest

DATES = pd.date_range("2024-01-01", periods=6, freq="D")


def build_report(position=None, creturn=None, trade_at="close", next_trading_date=None):
    """A Report over `position` (default: two stocks bought on day 2 and 4)."""
    from kovalt.report import Report

    if position is None:
        position = pd.DataFrame(
            {"2330": [0, 0.5, 0.5, 0.5, 0.5, 0.5], "1101": [0, 0, 0, 0.5, 0.5, 0.5]},
            index=DATES,
        )
    if creturn is None:
        creturn = pd.Series(np.linspace(1.0, 1.25, len(position)), index=position.index)
    if next_trading_date is None:
        next_trading_date = pd.Timestamp("2024-01-08")
    return Report(creturn, position, 0.001425, 0.003, trade_at, next_trading_date, None)


def sample_trades():
    return pd.DataFrame(
        {
            "stock_id": ["2330 台積電", "1101 台泥", "2330 台積電"],
            "entry_sig_date": pd.to_datetime(["2024-01-01", "2024-01-03", "2024-01-04"]),
            "exit_sig_date": pd.to_datetime(["2024-01-03", None, None]),
            "return": [0.05, np.nan, 0.02],
        }
    )


def sample_trevik(trades):
    columns = pd.MultiIndex.from_product([["exit"], ["mae", "gmfe", "bmfe", "mdd", "pdays", "return"]])
    return pd.DataFrame(0.0, index=trades.index, columns=columns)


@pytest.fixture
def make_report():
    return build_report


@pytest.fixture
def report():
    """A fresh Report with `trades` and `trevik` attached."""
    rep = build_report()
    rep.trades = sample_trades()
    rep.trevik = sample_trevik(rep.trades)
    return rep

import math

import numpy as np
import pandas as pd
import pytest

NAN = np.nan
HOLD, SELL, BUY, STOP = "持有", "賣出", "買進", "停損停利"


def current_trades(rows, index):
    """rows: (weight, next_weights, entry_sig_date, exit_sig_date, return, entry_price)."""
    columns = ["weight", "next_weights", "entry_sig_date", "exit_sig_date", "return", "entry_price"]
    table = pd.DataFrame(rows, columns=columns, index=pd.Index(index))
    for column in ["entry_sig_date", "exit_sig_date"]:
        table[column] = pd.to_datetime(table[column])
    return table


def attach(report, trades, actions=None, resample=None):
    report.current_trades = trades
    report.actions = pd.Series(actions or {}, dtype=object)
    report.resample = resample
    return report.position_info()


@pytest.mark.parametrize(
    "resample, exit_date, action, status",
    [
        ("M", None, None, HOLD),
        (None, None, None, BUY),
        ("M", "2024-01-05", None, SELL),
        (None, "2024-01-05", None, SELL),
        ("M", "2024-01-05", "hold", HOLD),   # the engine's action wins over an exit signal
        (None, None, "sl_tp_exit", STOP),
        (None, None, "exit", SELL),
        ("M", None, "enter", BUY),
        (None, None, "rebalance", NAN),      # an unknown action gives a missing status
    ],
)
def test_status_from_action_or_default(report, resample, exit_date, action, status):
    trades = current_trades([(0.5, 0.5, "2024-01-02", exit_date, 0.1, 10.0)], ["2330"])
    info = attach(report, trades, {"2330": action} if action else None, resample)
    got = info["2330"]["status"]
    assert got == status or (isinstance(status, float) and pd.isna(got))


def test_one_entry_per_asset_from_its_latest_trade_then_the_metadata(report):
    trades = current_trades(
        [
            (0.5, 0.0, "2024-01-10", "2024-03-01", 0.12, 50.0),   # old trade, exits 1 March
            (0.0, 0.4, "2024-03-04", None, NAN, NAN),            # new trade, entered 4 March
            (NAN, 0.2, None, None, NAN, 7.0),                    # no dates at all
            (0.3, 0.3, "2024-02-01", None, 0.05, 20.0),
        ],
        ["2330", "2330", "1101", "0050"],
    )
    info = attach(report, trades, {"2330": "enter"}, resample="M")
    assert list(info) == ["0050", "1101", "2330", "update_date", "next_trading_date", "trade_at"]
    assert info["2330"] == {"status": BUY, "weight": 0.0, "next_weight": 0.4,
                            "entry_date": "2024-03-04", "exit_date": "", "return": 0,
                            "entry_price": 0}
    undated = info["1101"]
    assert math.isnan(undated["weight"]) and (undated["entry_date"], undated["exit_date"]) == ("", "")
    assert (undated["return"], undated["entry_price"]) == (0, 7.0)
    assert list(info["0050"]) == ["status", "weight", "next_weight", "entry_date", "exit_date",
                                  "return", "entry_price"]
    assert (info["update_date"], info["next_trading_date"], info["trade_at"]) == (
        "2024-01-06", "2024-01-08", "close")


def test_equal_latest_dates_keep_table_order_and_missing_values_come_from_earlier_rows(report):
    trades = current_trades(
        [
            (0.1, 0.0, "2024-01-02", "2024-02-01", 0.3, 11.0),
            (0.2, NAN, "2024-02-01", None, 0.4, 12.0),    # same latest date, later in the table
            (0.9, 0.9, None, None, 0.9, 99.0),             # undated: sorts before both
        ],
        ["2330", "2330", "2330"],
    )
    info = attach(report, trades)
    assert info["2330"]["weight"] == 0.2 and info["2330"]["entry_price"] == 12.0
    assert info["2330"]["next_weight"] == 0.0   # missing in the latest row: the earlier one shows


def test_many_tied_trades_of_one_asset_keep_table_order(report):
    # enough rows for an unstable sort to move ties: the last row dated 1 February must win
    rows = [(i / 100, 0.1, "2024-01-15" if i % 3 else "2024-02-01", None, 0.0, float(i))
            for i in range(24)]
    info = attach(report, current_trades(rows, ["2330"] * 24))
    assert info["2330"]["entry_price"] == 21.0


@pytest.mark.parametrize("trade_at, published", [("open", "open"), (None, "close"), (1, "close")])
def test_empty_trades_give_only_the_metadata(make_report, trade_at, published):
    report = make_report(trade_at=trade_at)
    info = attach(report, current_trades([], []))
    assert info == {"update_date": "2024-01-06", "next_trading_date": "2024-01-08",
                    "trade_at": published}


def test_metadata_replaces_an_asset_of_the_same_name(report):
    info = attach(report, current_trades([(0.5, 0.5, "2024-01-02", None, 0.1, 1.0)], ["trade_at"]))
    assert list(info) == ["trade_at", "update_date", "next_trading_date"]
    assert info["trade_at"] == "close"


@pytest.mark.parametrize(
    "attribute, value",
    [("current_trades", None), ("actions", None), ("next_trading_date", "2024-01-08")],
)
def test_missing_attributes_and_dates_without_strftime_raise(report, attribute, value):
    report.current_trades = current_trades([(0.5, 0.5, "2024-01-02", None, 0.1, 1.0)], ["2330"])
    report.actions = pd.Series(dtype=object)
    report.resample = None
    if value is None:
        delattr(report, attribute)
    else:
        setattr(report, attribute, value)
    with pytest.raises(AttributeError):
        report.position_info()

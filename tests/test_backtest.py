import numpy as np
import pandas as pd
import pytest

from kovalt import backtest
from kovalt.backtest import MEASURES

DATES = pd.bdate_range("2024-01-01", periods=8)


def one_asset_market():
    # entry signal on day 1 -> bought at day 2's close (12); sold at day 5's close (14)
    close = pd.DataFrame({"A": [10.0, 11, 12, 9, 13, 14, 15, 16]}, index=DATES)
    weights = pd.DataFrame({"A": [1.0, 0.0]}, index=DATES[[1, 4]])
    return close, weights


# ---------------------------------------------------------------------------------------------
# Hand-checkable markets


@pytest.mark.parametrize("fee, tax", [(0.0, 0.0), (0.001, 0.003), (0.01, 0.0)])
def test_one_trade_cumulative_return_with_costs(fee, tax):
    close, weights = one_asset_market()
    report = backtest.run(close, weights, fee_ratio=fee, tax_ratio=tax, window=4, window_step=2)
    held = (1 - fee) * close["A"] / 12
    expected = [1.0, 1.0, held.iloc[2], held.iloc[3], held.iloc[4],
                held.iloc[5] * (1 - fee - tax)] + [held.iloc[5] * (1 - fee - tax)] * 2
    np.testing.assert_allclose(report.creturn.to_numpy(), expected)
    np.testing.assert_array_equal(report.position["A"].to_numpy(), [0, 0, 1, 1, 1, 0, 0, 0])


def test_one_trade_row_of_the_trade_table():
    close, weights = one_asset_market()
    report = backtest.run(close, weights, window=4, window_step=2)
    trade = report.trades.iloc[0]
    assert len(report.trades) == 1
    assert trade["stock_id"] == "A"
    assert (trade["entry_sig_date"], trade["entry_date"]) == (DATES[1], DATES[2])
    assert (trade["exit_sig_date"], trade["exit_date"]) == (DATES[4], DATES[5])
    assert trade["period"] == 3 and trade["position"] == 1.0
    # path 12 -> 9 -> 13 -> 14
    assert trade["return"] == pytest.approx(14 / 12 - 1)
    assert trade["mae"] == pytest.approx(9 / 12 - 1)
    assert trade["gmfe"] == pytest.approx(14 / 12 - 1)
    assert trade["bmfe"] == pytest.approx(0.0)
    assert trade["mdd"] == pytest.approx(-0.25)
    assert trade["pdays"] == 2
    assert (trade["entry_price"], trade["exit_price"]) == (12.0, 14.0)


def test_resized_holding_is_one_trade_and_is_charged_for_the_resize():
    close = pd.DataFrame({"A": [10.0, 10, 10, 10, 10, 10]}, index=DATES[:6])
    weights = pd.DataFrame({"A": [0.5, 1.0, 0.0]}, index=DATES[[0, 2, 3]])
    report = backtest.run(close, weights, fee_ratio=0.01, tax_ratio=0.0)
    assert len(report.trades) == 1 and report.trades["position"].iloc[0] == 0.5
    # buy 0.5, buy 0.5 more, sell 1 (relative to the equity of the moment)
    expected_end = (1 - 0.01 * 0.5) * (1 - 0.01 * 0.5 / (1 - 0.005)) * (1 - 0.01)
    assert report.creturn.iloc[-1] == pytest.approx(expected_end, rel=1e-3)
    np.testing.assert_array_equal(report.position["A"].to_numpy(), [0, 0.5, 0.5, 1, 0, 0])


def test_report_attributes_are_set():
    close, weights = one_asset_market()
    bench = pd.Series(np.linspace(100, 110, 8), index=DATES)
    report = backtest.run(close, weights, benchmark=bench, resample=None)
    assert report.benchmark is bench
    assert report.market_info.get_benchmark() is bench
    assert report.update_date == DATES[-1]
    assert report.last_trading_date == DATES[5]
    assert report.next_trading_date == pd.Timestamp("2024-01-11")
    assert report.resample is None and report.trade_at == "close"
    assert report.get_trades() is report.trades and report.get_trevik() is report.trevik
    assert report.actions.empty and report.current_trades.empty


# ---------------------------------------------------------------------------------------------
# A random market checked against direct computations


def random_market(days=160, assets=6, seed=3):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-03-01", periods=days)
    close = pd.DataFrame(50 * np.cumprod(1 + rng.normal(0, 0.02, (days, assets)), axis=0),
                         index=dates, columns=[f"S{i}" for i in range(assets)])
    return close, rng


def random_weights(close, rng, every=7):
    signal = close.index[::every]
    held = rng.random((len(signal), close.shape[1])) < 0.4
    weights = np.where(held, rng.uniform(0.05, 0.3, held.shape), 0.0)
    return pd.DataFrame(weights, index=signal, columns=close.columns)


def reference_equity(close, position, fee, tax):
    """Day by day with share quantities: trade to the new weights on the days they change."""
    price = close.to_numpy()
    target = position.to_numpy()
    cash, shares, out = 1.0, np.zeros(price.shape[1]), []
    for t in range(len(price)):
        if t == 0 or (target[t] != target[t - 1]).any():
            value = cash + shares @ price[t]
            drift = shares * price[t] / value
            change = target[t] - drift
            value *= 1 - fee * np.abs(change).sum() - tax * np.clip(-change, 0, None).sum()
            shares = target[t] * value / price[t]
            cash = value * (1 - target[t].sum())
        out.append(cash + shares @ price[t])
    return np.array(out)


def direct_measures(path):
    """The six measures of a price path from its first day to its last."""
    growth = path / path[0]
    peak = np.maximum.accumulate(growth)
    trough_day = int(np.argmin(growth)) if growth.min() < 1 else 0
    return {
        "mae": growth.min() - 1,
        "gmfe": growth.max() - 1,
        "bmfe": growth[:trough_day + 1].max() - 1,
        "mdd": (growth / peak).min() - 1,
        "pdays": float((growth[1:] > 1).sum()),
        "return": growth[-1] - 1,
    }


@pytest.fixture(scope="module")
def random_run():
    close, rng = random_market()
    weights = random_weights(close, rng)
    report = backtest.run(close, weights, fee_ratio=0.002, tax_ratio=0.003, window=20,
                          window_step=5)
    return close, weights, report


def test_cumulative_return_matches_a_day_by_day_share_simulation(random_run):
    close, _, report = random_run
    expected = reference_equity(close, report.position, 0.002, 0.003)
    np.testing.assert_allclose(report.creturn.to_numpy(), expected, rtol=1e-12)


def test_position_table_follows_the_signals_one_row_later(random_run):
    close, weights, report = random_run
    shifted = weights.reindex(close.index).ffill().shift(1).fillna(0.0)
    pd.testing.assert_frame_equal(report.position, shifted, check_freq=False)


def test_trades_agree_with_the_prices(random_run):
    close, weights, report = random_run
    trades = report.trades
    assert len(trades) > 10 and trades["exit_date"].isna().any()
    rows = close.index.get_indexer
    for _, trade in trades.iterrows():
        entry = rows([trade.entry_date])[0]
        end = len(close) - 1 if pd.isna(trade.exit_date) else rows([trade.exit_date])[0]
        path = close[trade.stock_id].to_numpy()[entry:end + 1]
        for measure, value in direct_measures(path).items():
            assert trade[measure] == pytest.approx(value, abs=1e-12), measure
        assert trade.period == end - entry
        assert close.index[entry - 1] == trade.entry_sig_date
        assert trade.position == weights.loc[trade.entry_sig_date, trade.stock_id]
    # each trade is a holding spell: the asset is held from entry until the exit, and not before
    position = report.position
    for trade in trades.itertuples(index=False):
        entry = rows([trade.entry_date])[0]
        assert position[trade.stock_id].iloc[entry - 1] == 0
        assert (position[trade.stock_id].loc[trade.entry_date:trade.exit_sig_date] > 0).all()


def test_excursion_table_samples_the_path_after_entry(random_run):
    close, _, report = random_run
    table = report.trevik
    assert list(table.columns.get_level_values(0).unique()) == [0, 5, 10, 15, "exit"]
    assert list(table.columns.get_level_values(1)[:6]) == list(MEASURES)
    assert table.index.equals(report.trades.index)
    pd.testing.assert_frame_equal(table["exit"], report.trades[list(MEASURES)],
                                  check_names=False)
    for row, trade in report.trades.iterrows():
        entry = close.index.get_loc(trade["entry_date"])
        for offset in (0, 5, 10, 15):
            path = close[trade["stock_id"]].to_numpy()[entry:entry + offset + 1]
            sample = table.loc[row, offset]
            if len(path) < offset + 1:
                assert sample.isna().all()
                continue
            for measure, value in direct_measures(path).items():
                assert sample[measure] == pytest.approx(value, abs=1e-12)


# ---------------------------------------------------------------------------------------------
# The end of the back-test: open trades and the next trading date


def test_open_trades_and_the_last_signal_become_current_trades_and_actions():
    dates = pd.bdate_range("2024-03-01", periods=6)
    close = pd.DataFrame(100.0, index=dates, columns=["HOLD", "EXIT", "ENTER", "IDLE"])
    close["HOLD"] = [100.0, 101, 102, 103, 104, 105]
    weights = pd.DataFrame(
        {"HOLD": [0.3, 0.3], "EXIT": [0.3, 0.0], "ENTER": [0.0, 0.2], "IDLE": [0.0, 0.0]},
        index=dates[[1, 5]])
    report = backtest.run(close, weights)

    trades = report.trades.set_index("stock_id")
    assert set(trades.index) == {"HOLD", "EXIT"}
    assert trades["exit_date"].isna().all()
    assert pd.isna(trades.loc["HOLD", "exit_sig_date"])
    assert trades.loc["EXIT", "exit_sig_date"] == dates[5]  # the last signal closes it
    assert trades.loc["HOLD", "return"] == pytest.approx(105 / 102 - 1)
    assert trades.loc["HOLD", "period"] == 3

    current = report.current_trades
    assert list(current.index) == ["ENTER", "EXIT", "HOLD"]
    assert report.actions.to_dict() == {"ENTER": "enter", "EXIT": "exit", "HOLD": "hold"}
    assert current.loc["ENTER", ["weight", "next_weights"]].tolist() == [0.0, 0.2]
    assert current.loc["EXIT", ["weight", "next_weights"]].tolist() == [0.3, 0.0]
    assert current.loc["ENTER", "entry_sig_date"] == dates[5]
    assert current.loc["HOLD", "entry_price"] == 102
    assert report.next_trading_date == pd.Timestamp("2024-03-11")  # Friday -> Monday


@pytest.mark.parametrize(
    "dates, expected",
    [
        (pd.bdate_range("2024-01-01", "2024-01-05"), "2024-01-08"),
        (pd.date_range("2024-01-01", "2024-01-07"), "2024-01-08"),  # trades every day
        (pd.date_range("2024-01-01", "2024-01-05", tz="Asia/Taipei"), "2024-01-08"),
    ],
)
def test_next_trading_date_follows_the_market_calendar(dates, expected):
    close = pd.DataFrame({"A": np.linspace(10, 11, len(dates))}, index=dates)
    weights = pd.DataFrame({"A": [0.5]}, index=dates[:1])
    report = backtest.run(close, weights)
    assert report.next_trading_date == pd.Timestamp(expected, tz=dates.tz)


def test_resample_rebalances_at_period_ends_only():
    close, rng = random_market(days=130, assets=4, seed=11)
    daily = random_weights(close, rng, every=1)
    report = backtest.run(close, daily, resample="M")
    month_ends = close.index.to_series().groupby(close.index.to_period("M")).max()
    trade_days = report.position.index[report.position.diff().abs().sum(axis=1) > 0]
    previous = close.index[close.index.get_indexer(trade_days) - 1]
    assert set(previous) <= set(month_ends)
    assert (report.trades["entry_sig_date"].isin(month_ends)).all()
    # the latest targets of each month are traded
    first = month_ends.iloc[0]
    after = close.index[close.index.get_loc(first) + 1]
    np.testing.assert_array_equal(report.position.loc[after].to_numpy(),
                                  daily.loc[first].to_numpy())
    assert report.resample == "M"


def test_no_trades_gives_empty_tables_with_their_columns():
    close, weights = one_asset_market()
    report = backtest.run(close, weights * 0)
    assert report.trades.empty and "mae" in report.trades.columns
    assert report.trevik.empty and ("exit", "return") in report.trevik.columns
    assert (report.creturn == 1.0).all()


# ---------------------------------------------------------------------------------------------
# Bad input


def _set_a(table, day, value):
    table = table.astype(object) if isinstance(value, str) else table.copy()
    table.loc[DATES[day], "A"] = value
    return table


def _with_index(table, index):
    table = table.copy()
    table.index = index
    return table


BAD_INPUT = [
    ("empty close", lambda c, w: (c.iloc[:0], w), "close prices are empty"),
    ("empty weights", lambda c, w: (c, w.iloc[:0]), "weights are empty"),
    ("no assets", lambda c, w: (c.iloc[:, :0], w), "close prices are empty"),
    ("unsorted dates", lambda c, w: (c.iloc[::-1], w), "not in ascending order"),
    ("duplicate dates", lambda c, w: (pd.concat([c, c.iloc[:1]]).sort_index(), w),
     "duplicate dates"),
    ("text dates", lambda c, w: (_with_index(c, c.index.strftime("%Y-%m-%d")), w),
     "indexed by date"),
    ("weights off the calendar",
     lambda c, w: (c, _with_index(w, w.index + pd.Timedelta(hours=1))), "not dates of the close"),
    ("unknown asset", lambda c, w: (c, w.assign(ZZZ=0.1)), "assets without close prices: ZZZ"),
    ("held NaN price", lambda c, w: (_set_a(c, 3, np.nan), w),
     "close price missing for A on 2024-01-04"),
    ("zero price", lambda c, w: (_set_a(c, 6, 0.0), w), "must be positive"),
    ("text cells", lambda c, w: (_set_a(c, 0, "x"), w),
     "non-numeric columns: A"),
    ("negative weight", lambda c, w: (c, -w), "must not be negative"),
    ("infinite weight", lambda c, w: (c, w.replace(1.0, np.inf)), "infinite value for A"),
    ("mixed time zones", lambda c, w: (c.tz_localize("UTC"), w), "time-zone-aware"),
]


@pytest.mark.parametrize("name, corrupt, message", BAD_INPUT, ids=[b[0] for b in BAD_INPUT])
def test_bad_tables_raise_a_value_error_naming_the_problem(name, corrupt, message):
    close, weights = corrupt(*one_asset_market())
    with pytest.raises(ValueError, match=message):
        backtest.run(close, weights)


def test_nan_prices_of_assets_not_held_are_accepted():
    close, weights = one_asset_market()
    close["B"] = np.nan
    close.loc[DATES[4:], "B"] = 20.0
    report = backtest.run(close, weights.assign(B=[0.0, 0.5]))
    assert set(report.trades["stock_id"]) == {"A", "B"}


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"trade_at": "open"}, "trade_at"),
        ({"fee_ratio": -0.1}, "fee_ratio"),
        ({"tax_ratio": "x"}, "tax_ratio"),
        ({"window": -1}, "window"),
        ({"window_step": 0}, "window_step"),
        ({"resample": "fortnight"}, "resample"),
        ({"benchmark": pd.Series([1.0], index=[pd.Timestamp("1999-01-01")])}, "no date"),
        ({"high": one_asset_market()[0].iloc[1:], "low": one_asset_market()[0].iloc[1:]},
         "dates and assets"),
    ],
)
def test_bad_settings_raise_a_value_error(kwargs, message):
    with pytest.raises(ValueError, match=message):
        backtest.run(*one_asset_market(), **kwargs)


@pytest.mark.parametrize("damage", ["drop the last trade", "shift an entry"])
def test_engine_results_that_disagree_with_the_simulation_are_not_reported(monkeypatch, damage):
    real = backtest._run_excursions

    def damaged(*args):
        trades, positions, records = (list(x) for x in real(*args))
        if damage == "drop the last trade":
            trades, positions, records = trades[:-1], positions[:-1], records[:-1]
        else:
            slot, entry, exit_ = trades[0]
            trades[0] = [slot, entry + 1, exit_]
        return trades, positions, records

    monkeypatch.setattr(backtest, "_run_excursions", damaged)
    with pytest.raises(RuntimeError, match="disagree with the simulation"):
        backtest.run(*one_asset_market())

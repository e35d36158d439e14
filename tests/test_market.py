import numpy as np
import pandas as pd
import pytest

from kovalt.market import MarketInfo, NoBenchmarkError

DATES = pd.bdate_range("2024-01-01", periods=6)


def closes():
    return pd.DataFrame({"A": [10.0, 11, 9, 9.5, 12, 11], "B": [50.0, 50, 52, 49, 48, 51]},
                        index=DATES)


@pytest.mark.parametrize("n", [1, 2, 3])
def test_atr_from_closes_is_the_mean_absolute_close_change(n):
    info = MarketInfo(closes())
    atr = info.calc_atr(info, n)
    changes = {"A": [1.0, 2, 0.5, 2.5, 1], "B": [0.0, 2, 3, 1, 3]}
    for asset, values in changes.items():
        expected = [np.nan] * n + [np.mean(values[i - n + 1:i + 1]) for i in range(n - 1, 5)]
        np.testing.assert_allclose(atr[asset].to_numpy(), expected)
    assert atr.index.equals(DATES) and list(atr.columns) == ["A", "B"]


def test_atr_with_high_and_low_widens_the_range_to_the_previous_close():
    close = closes()[["A"]]
    high = close + 0.5
    low = close - 0.5
    low.iloc[2, 0] = 8.0  # a day whose low lies below its close by more than the half point
    info = MarketInfo(close, high, low)
    true_range = MarketInfo.calc_atr(info, 1)["A"].to_numpy()
    # day 0: high - low; day 1: gap up from 10 to a high of 11.5 -> 11.5 - 10;
    # day 2: previous close 11 above the high 9.5 -> 11 - 8
    np.testing.assert_allclose(true_range[:3], [1.0, 1.5, 3.0])


@pytest.mark.parametrize("bad", [0, -1, 2.5, True, "10"])
def test_atr_window_must_be_a_positive_whole_number(bad):
    info = MarketInfo(closes())
    with pytest.raises(ValueError, match="ATR window"):
        info.calc_atr(info, bad)


def test_benchmark_is_returned_and_its_absence_explains_how_to_give_one():
    bench = pd.Series(np.linspace(100, 105, 6), index=DATES)
    assert MarketInfo(closes(), benchmark=bench).get_benchmark() is bench
    with pytest.raises(NoBenchmarkError, match="benchmark=") as caught:
        MarketInfo(closes()).get_benchmark()
    assert "--benchmark" in str(caught.value)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"high": closes()}, "both high and low"),
        ({"high": closes(), "low": closes().iloc[1:]}, "same dates"),
        ({"high": closes(), "low": closes()[["B", "A"]]}, "same assets"),
        ({"benchmark": [1, 2, 3]}, "Series"),
    ],
)
def test_misaligned_or_partial_price_tables_are_rejected(kwargs, message):
    with pytest.raises((ValueError, TypeError), match=message):
        MarketInfo(closes(), **kwargs)

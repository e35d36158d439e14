import json
import math

import numpy as np
import pandas as pd
import pytest

from kovalt import ravnel

# Deprecated pandas calls would break on the next major version: fail on any warning.
pytestmark = pytest.mark.filterwarnings("error")

TIMEZONES = [None, "Asia/Taipei", "America/New_York"]


def daily(values, start="2020-01-01", tz=None, freq="D"):
    return pd.Series(values, index=pd.date_range(start, periods=len(values), freq=freq, tz=tz),
                     dtype=float)


def steady(rate, start, end, tz=None):
    """A curve growing at exactly ``rate`` a year, sampled every calendar day."""
    index = pd.date_range(start, end, freq="D", tz=tz)
    years = (index.tz_localize(None) - index.tz_localize(None)[0]).days / 365.25
    return pd.Series(100 * (1 + rate) ** years.to_numpy(), index=index)


def random_walk(days=900, seed=7, tz=None):
    rng = np.random.default_rng(seed)
    return daily(100 * np.cumprod(1 + rng.normal(0.0004, 0.012, days)), tz=tz)


def report_payload(stats_object):
    """What the report's upload builds from a statistics object, encoded like it does."""
    stats_object.set_riskfree_rate(0.02)
    details = stats_object.drawdown_details.sort_values("Length").tail(5)
    for column in ("Start", "End"):
        details[column] = details[column].astype(str).str.split(" ").str[0]
    summary = stats_object.stats.to_dict()
    summary["start"] = summary["start"].strftime("%Y-%m-%d")
    summary["end"] = summary["end"].strftime("%Y-%m-%d")
    return json.dumps({
        "drawdown_details": details.set_index("Start").to_dict("index"),
        "stats": summary,
        "return_table": stats_object.return_table.transpose().to_dict(),
    })


@pytest.mark.parametrize("make", [pd.Series, lambda v: pd.DataFrame({"a": v, "b": v[::-1]})])
def test_rebase_and_drawdown_series_keep_shape_and_index(make):
    values = [50.0, 60.0, 45.0, 75.0, 30.0]
    obj = make(values)
    obj.index = pd.date_range("2021-03-01", periods=5)
    rebased = obj.rebase()
    drawdown = obj.to_drawdown_series()
    for result in (rebased, drawdown):
        assert result.shape == obj.shape and result.index.equals(obj.index)
    first = rebased if rebased.ndim == 1 else rebased["a"]
    np.testing.assert_allclose(first, [100, 120, 90, 150, 60])
    column = drawdown if drawdown.ndim == 1 else drawdown["a"]
    np.testing.assert_allclose(column, [0, 0, -0.25, 0, -0.6])
    if rebased.ndim == 2:
        np.testing.assert_allclose(rebased["b"], [100, 250, 150, 200, 100 / 0.6])
        assert (drawdown["b"] <= 0).all()
    assert np.all(obj.rebase(1).iloc[0] == 1.0)


def test_rebase_edge_cases():
    frame = pd.DataFrame([[2.0, 4.0], [3.0, 2.0]], columns=["x", "x"])
    assert frame.rebase().to_numpy().tolist() == [[100.0, 100.0], [150.0, 50.0]]
    assert pd.Series([np.nan, 1.0, 2.0]).rebase().isna().all()  # no silent re-anchoring
    assert pd.Series([], dtype=float).rebase().empty
    with_gap = pd.Series([10.0, np.nan, 5.0, 20.0]).to_drawdown_series()
    assert with_gap.isna().tolist() == [False, True, False, False]
    assert with_gap.iloc[2:].tolist() == [-0.5, 0.0]


@pytest.mark.parametrize("tz", TIMEZONES)
def test_steady_growth_has_its_rate_and_no_drawdown(tz):
    curve = steady(0.10, "2012-01-01", "2023-01-01", tz=tz)
    result = curve.calc_stats()
    stats = result.stats
    for key in ("cagr", "incep", "three_year", "five_year", "ten_year"):
        assert stats[key] == pytest.approx(0.10, rel=1e-9), key
    assert stats["max_drawdown"] == 0 and result.drawdown_details.empty
    assert stats["total_return"] == pytest.approx(1.1 ** (4018 / 365.25) - 1)
    assert math.isnan(stats["calmar"]) and math.isnan(stats["daily_sharpe"])
    assert stats["start"] == curve.index[0] and stats["end"] == curve.index[-1]
    assert str(stats["start"].tz) == str(curve.index.tz)


@pytest.mark.parametrize("tz", TIMEZONES)
def test_drawdown_periods_including_an_unrecovered_last_one(tz):
    values = [100, 110, 99, 88, 105, 110, 120, 120, 90, 100, 121, 115, 96, 100]
    prices = daily(values, start="2024-03-01", tz=tz)  # crosses New York's DST change
    result = prices.calc_stats()
    details = result.drawdown_details
    assert list(details.columns[:4]) == ["Start", "End", "Length", "drawdown"]
    day = prices.index
    assert details["Start"].tolist() == [day[2], day[8], day[11]]
    assert details["End"].tolist() == [day[5], day[10], day[13]]
    assert details["Length"].tolist() == [3, 2, 2]
    np.testing.assert_allclose(details["drawdown"], [-0.2, -0.25, 96 / 121 - 1])
    stats = result.stats
    assert stats["max_drawdown"] == pytest.approx(-0.25)
    assert stats["avg_drawdown_days"] == pytest.approx(7 / 3)
    assert stats["avg_drawdown"] == pytest.approx((-0.2 - 0.25 + 96 / 121 - 1) / 3)


def test_lengths_count_calendar_days_across_a_dst_change():
    # New York springs forward on 2024-03-10: an absolute difference would lose an hour.
    index = pd.DatetimeIndex(["2024-03-01", "2024-03-02", "2024-03-20"]).tz_localize(
        "America/New_York")
    details = pd.Series([10.0, 9.0, 10.0], index=index).calc_stats().drawdown_details
    assert details["Length"].tolist() == [18]


def test_trailing_returns_start_at_the_month_end_on_or_before_each_anchor():
    prices = pd.Series([50.0, 80.0, 90.0, 100.0, 110.0, 121.0], index=pd.to_datetime(
        ["2018-03-15", "2020-03-15", "2020-12-10", "2020-12-31", "2021-02-28", "2021-03-10"]))
    stats = prices.calc_stats().stats
    assert stats["mtd"] == pytest.approx(121 / 110 - 1)
    assert stats["ytd"] == pytest.approx(0.21)
    # 2020-12-10 is the anchor three months back; the month-end before it is 2020-11-30.
    assert stats["three_month"] == pytest.approx(121 / 80 - 1)
    assert stats["six_month"] == pytest.approx(121 / 80 - 1)
    assert stats["one_year"] == pytest.approx(121 / 50 - 1)
    assert math.isnan(stats["three_year"])
    assert_ytd_compounds_the_months(prices.calc_stats().return_table)


def assert_ytd_compounds_the_months(table):
    months = table[list(ravnel.MONTH_COLUMNS)]
    np.testing.assert_allclose((1 + months.fillna(0)).prod(axis=1) - 1, table["YTD"], atol=1e-12)


def test_series_starting_this_year_measures_ytd_and_mtd_from_its_first_value():
    stats = daily([100.0, 102.0, 105.0], start="2022-07-10").calc_stats().stats
    assert stats["mtd"] == stats["ytd"] == stats["total_return"] == pytest.approx(0.05)
    assert math.isnan(stats["three_month"])


def test_return_table_compounds_calendar_months():
    # Month-end values; the first value (2021-11-30) only anchors December.
    values = [100.0, 110.0, 99.0, 108.9, 108.9]
    index = pd.to_datetime(["2021-11-30", "2021-12-31", "2022-01-31", "2022-02-28", "2022-04-30"])
    result = pd.Series(values, index=index).calc_stats()
    table = result.return_table
    assert table.index.tolist() == [2021, 2022]
    assert table.columns.tolist() == [*ravnel.MONTH_COLUMNS, "YTD"]
    assert table.loc[2021, "Dec"] == pytest.approx(0.10)
    assert table.loc[2021].drop(["Dec", "YTD"]).isna().all()
    np.testing.assert_allclose(table.loc[2022, ["Jan", "Feb", "Mar", "Apr"]], [-0.1, 0.1, 0, 0],
                               atol=1e-12)
    assert table.loc[2022, "YTD"] == pytest.approx(0.9 * 1.1 - 1)
    assert table.loc[2022, "May":"Dec"].isna().all()
    stats = result.stats
    assert (stats["best_month"], stats["worst_month"]) == pytest.approx((0.1, -0.1))
    assert (stats["avg_up_month"], stats["avg_down_month"]) == pytest.approx((0.1, -0.1))
    assert stats["win_year_perc"] == 0.0  # 2021 began inside the year: only 2022 counts


def test_twelve_month_win_share_counts_rolling_windows():
    month_ends = pd.date_range("2020-01-31", periods=16, freq="ME")
    values = [100.0] * 12 + [120.0, 90.0, 130.0, 150.0]
    stats = pd.Series(values, index=month_ends).calc_stats().stats
    # Windows end in Jan..Apr 2021 against Jan..Apr 2020 (all 100): 3 of 4 rose.
    assert stats["twelve_month_win_perc"] == 0.75


def test_risk_free_rate_changes_the_sharpe_figures():
    # Business days: 252 periods a year; returns alternate +2% / -1%.
    prices = daily(np.cumprod([1.0, 1.02, 0.99, 1.02, 0.99]), start="2024-01-01", freq="B")
    result = prices.calc_stats()
    spread = 0.015 * math.sqrt(4 / 3)
    assert result.stats["daily_sharpe"] == pytest.approx(0.005 / spread * math.sqrt(252))
    # Target downside deviation over all four returns: sqrt((0.01 ** 2 + 0.01 ** 2) / 4).
    assert result.stats["daily_sortino"] == pytest.approx(0.005 / math.sqrt(2e-4 / 4)
                                                          * math.sqrt(252))
    result.set_riskfree_rate(0.05)
    per_day = 1.05 ** (1 / 252) - 1
    stats = result.stats
    assert stats["rf"] == 0.05
    assert stats["daily_sharpe"] == pytest.approx((0.005 - per_day) / spread * math.sqrt(252))
    result.set_riskfree_rate(0.0)
    assert result.stats["daily_sharpe"] == pytest.approx(0.005 / spread * math.sqrt(252))
    for bad in (float("nan"), -1.0, float("inf")):
        with pytest.raises(ValueError):
            result.set_riskfree_rate(bad)


def test_monthly_and_yearly_sharpe_follow_the_rate():
    result = random_walk(days=1500).calc_stats()
    before = result.stats
    result.set_riskfree_rate(0.03)
    after = result.stats
    for key in ("daily_sharpe", "monthly_sharpe", "yearly_sharpe", "daily_sortino"):
        assert after[key] < before[key], key
    assert after["cagr"] == before["cagr"] and after["daily_vol"] == before["daily_vol"]


def test_weekend_dates_mean_calendar_day_annualisation():
    returns = np.random.default_rng(3).normal(0, 0.01, 200)
    curve = np.cumprod(np.concatenate([[1.0], 1 + returns]))
    calendar = daily(curve, freq="D").calc_stats().stats
    trading = daily(curve, freq="B").calc_stats().stats
    assert calendar["daily_vol"] / trading["daily_vol"] == pytest.approx(math.sqrt(365 / 252))
    forced = daily(curve, freq="D").calc_stats(periods_per_year=252).stats
    assert forced["daily_vol"] == pytest.approx(trading["daily_vol"])


def test_gaps_and_order_do_not_change_the_figures():
    walk = random_walk(days=400)
    weekdays_only = walk[walk.index.day_of_week < 5]
    gappy = weekdays_only.resample("1D").last()  # weekends missing, as the report passes it
    shuffled = walk.sample(frac=1, random_state=1)
    expected = weekdays_only.calc_stats().stats  # missing days are no observation
    for candidate in (gappy, shuffled.where(shuffled.index.day_of_week < 5)):
        got = candidate.calc_stats().stats
        pd.testing.assert_series_equal(got, expected)


@pytest.mark.parametrize("length", [0, 1, 2, 3, 40, 900])
@pytest.mark.parametrize("tz", [None, "Asia/Taipei"])
def test_every_figure_is_a_json_number_and_short_series_give_nan(length, tz):
    prices = random_walk(days=900, tz=tz).iloc[:length]
    result = prices.calc_stats()
    if length == 0:
        assert pd.isna(result.stats["start"])
        return
    json.loads(report_payload(result))
    stats = result.stats
    assert all(type(value) is float for key, value in stats.items() if key not in ("start", "end"))
    required = {"daily_sharpe", "daily_sortino", "daily_vol", "monthly_vol", "yearly_sharpe",
                "three_year", "ten_year", "twelve_month_win_perc", "win_year_perc"}
    assert required <= set(stats.index)
    if length <= 2:
        assert math.isnan(stats["daily_vol"]) and math.isnan(stats["daily_sharpe"])
        assert math.isnan(stats["daily_skew"]) and math.isnan(stats["monthly_vol"])
    if length < 365:
        assert math.isnan(stats["one_year"]) and math.isnan(stats["twelve_month_win_perc"])
    if length == 1:
        assert math.isnan(stats["total_return"]) and result.return_table.empty
    assert_ytd_compounds_the_months(result.return_table)
    if length == 900:
        assert not math.isnan(stats["yearly_sharpe"]) and not math.isnan(stats["one_year"])


def test_inputs_without_dates_are_rejected():
    with pytest.raises(TypeError):
        pd.Series([1.0, 2.0]).calc_stats()
    with pytest.raises(TypeError):
        ravnel.calc_stats([1.0, 2.0])


def test_installation_leaves_a_foreign_attribute_alone():
    class Host:
        def rebase(self):
            return "theirs"

    with pytest.warns(RuntimeWarning, match="rebase"):
        assert not ravnel._install(Host, "rebase", ravnel.rebase)
    assert Host().rebase() == "theirs"
    assert ravnel._install(Host, "calc_stats", ravnel.calc_stats)
    assert ravnel._install(Host, "calc_stats", ravnel.calc_stats)  # ours: replaced quietly
    assert pd.Series.calc_stats is ravnel.calc_stats
    assert pd.DataFrame.to_drawdown_series is ravnel.to_drawdown_series


@pytest.mark.parametrize("values, times, total_return, cagr", [
    ([1.0, 0.5, 0.0, 0.0, 0.2], pd.date_range("2020-01-01", periods=5), -0.8, None),
    ([1.0, 2.0], pd.DatetimeIndex(["2020-01-01 10:00:00", "2020-01-01 10:00:01"]), 1.0, math.inf),
])
def test_degenerate_curves_give_figures_without_warnings(values, times, total_return, cagr):
    result = pd.Series(values, index=times).calc_stats()
    json.loads(report_payload(result))
    stats = result.stats
    assert stats["total_return"] == pytest.approx(total_return)
    if cagr is not None:
        assert stats["cagr"] == cagr
    else:
        assert stats["max_drawdown"] == -1.0 and math.isnan(stats["daily_vol"])

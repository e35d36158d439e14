import calendar
import json
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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
    # Ending on a month's last day, the base is the last day of the month three months back.
    ends = pd.Series([100.0, 110.0, 99.0], index=pd.to_datetime(
        ["2020-12-31", "2021-01-29", "2021-04-30"]))  # 2021-01-31 is a Sunday
    assert ends.calc_stats().stats["three_month"] == pytest.approx(0.9 - 1)


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
    if length == 40:  # January is partial: one complete month, no complete year
        assert result.return_table.loc[2020, ["Jan", "Feb"]].notna().all()
        for key in ("monthly_sharpe", "monthly_sortino", "monthly_vol", "yearly_mean",
                    "best_year", "win_year_perc"):
            assert math.isnan(stats[key]), key
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


# ---------------------------------------------------------------------------------------------
# Every figure against the textbook formulas, written out here on the observed rows.

def month_end(year, month):
    """The last calendar day of a month, months counted past December or before January."""
    year, month = year + (month - 1) // 12, (month - 1) % 12 + 1
    return pd.Timestamp(year, month, calendar.monthrange(year, month)[1])


def trailing_base(last, months):
    """The last month-end on or before the date ``months`` months before ``last``."""
    if last == month_end(last.year, last.month):
        return month_end(last.year, last.month - months)
    end_then = month_end(last.year, last.month - months)
    earlier = min(end_then, end_then.replace(day=1) + pd.Timedelta(days=last.day - 1))
    return earlier if earlier == end_then else month_end(earlier.year, earlier.month - 1)


def period_closes(dates, values, key):
    """Close of each calendar period from the first to the last (carried over when empty)."""
    periods = sorted(set(key(d) for d in dates))
    every = range(periods[0], periods[-1] + 1)
    closes, last = [], None
    for period in every:
        inside = [v for d, v in zip(dates, values) if key(d) == period]
        last = inside[-1] if inside else last
        closes.append(last)
    return np.array(closes)


def textbook_figures(series, n, rf):
    observed = series.dropna()
    d, v = list(observed.index), observed.to_numpy()
    r = v[1:] / v[:-1] - 1
    days = (d[-1] - d[0]).days
    years = days / 365.25
    total = v[-1] / v[0] - 1
    cagr = (1 + total) ** (1 / years) - 1
    depth = v / np.maximum.accumulate(v) - 1
    runs, i = [], 0
    while i < len(depth):  # drawdown periods: (start, end, deepest)
        if depth[i] < 0:
            j = i
            while j < len(depth) and depth[j] < 0:
                j += 1
            runs.append(((d[min(j, len(d) - 1)] - d[i]).days, depth[i:j].min()))
            i = j
        else:
            i += 1

    def value_on_or_before(day):
        before = [value for date, value in zip(d, v) if date <= day]
        return before[-1] if before else math.nan

    def since(day):  # last value before ``day`` or the first value
        before = [value for date, value in zip(d, v) if date < day]
        return v[-1] / (before[-1] if before else v[0]) - 1

    def trailing(months, annualised=False):
        base_day = trailing_base(d[-1], months)
        base = value_on_or_before(base_day)
        growth = v[-1] / base - 1
        if not annualised or math.isnan(base):
            return growth
        base_date = max(date for date in d if date <= base_day)
        return (1 + growth) ** (365.25 / (d[-1] - base_date).days) - 1

    def figures(prefix, unit, x, periods):
        rfp = (1 + rf) ** (1 / periods) - 1
        excess = x - rfp
        m, s = x.mean(), x.std(ddof=1)
        k = len(x)
        dev = x - m
        m2, m3, m4 = (dev ** 2).mean(), (dev ** 3).mean(), (dev ** 4).mean()
        return {
            f"{prefix}_sharpe": (m - rfp) / s * math.sqrt(periods),
            f"{prefix}_sortino": excess.mean() / math.sqrt((np.minimum(excess, 0) ** 2).mean())
            * math.sqrt(periods),
            f"{prefix}_mean": m * periods,
            f"{prefix}_vol": s * math.sqrt(periods),
            f"{prefix}_skew": math.sqrt(k * (k - 1)) / (k - 2) * m3 / m2 ** 1.5,
            f"{prefix}_kurt": (k - 1) / ((k - 2) * (k - 3)) * ((k + 1) * m4 / m2 ** 2 - 3 * (k - 1)),
            f"best_{unit}": x.max(), f"worst_{unit}": x.min(),
        }

    def complete_returns(key, closes_on_period_end):
        closes = period_closes(d, v, key)
        if closes_on_period_end:  # the first value closes its period; the next one is whole
            bounds = np.concatenate([[v[0]], closes[1:]])
        else:  # the first period is partial: its close is where complete periods begin
            bounds = closes
        return bounds[1:] / bounds[:-1] - 1, bounds

    first = d[0]
    monthly, month_bounds = complete_returns(
        lambda day: day.year * 12 + day.month, first == month_end(first.year, first.month))
    yearly, _ = complete_returns(lambda day: day.year, first == month_end(first.year, 12))
    last = d[-1]
    expected = {
        "start": d[0], "end": d[-1], "rf": rf, "total_return": total, "cagr": cagr,
        "max_drawdown": depth.min(), "calmar": cagr / -depth.min(),
        "mtd": since(pd.Timestamp(last.year, last.month, 1)),
        "three_month": trailing(3), "six_month": trailing(6),
        "ytd": since(pd.Timestamp(last.year, 1, 1)), "one_year": trailing(12),
        "three_year": trailing(36, True), "five_year": trailing(60, True),
        "ten_year": trailing(120, True), "incep": cagr,
        **figures("daily", "day", r, n), **figures("monthly", "month", monthly, 12),
        **figures("yearly", "year", yearly, 1),
        "avg_drawdown": np.mean([deepest for _, deepest in runs]),
        "avg_drawdown_days": np.mean([length for length, _ in runs]),
        "avg_up_month": monthly[monthly > 0].mean(), "avg_down_month": monthly[monthly < 0].mean(),
        "win_year_perc": (yearly > 0).mean(),
        "twelve_month_win_perc": (month_bounds[12:] / month_bounds[:-12] > 1).mean(),
    }
    return expected


def walk(index, seed, drift=0.0004, spread=0.012):
    rng = np.random.default_rng(seed)
    return pd.Series(100 * np.cumprod(1 + rng.normal(drift, spread, len(index))), index=index)


def business_daily():  # starts inside a month and a year
    return walk(pd.bdate_range("2017-03-14", "2023-08-17"), seed=11)


def calendar_daily_with_gaps():  # as the upload passes it: weekends and some holidays missing
    trading = walk(pd.bdate_range("2018-06-05", "2022-02-09"), seed=12)
    holidays = trading.sample(frac=0.04, random_state=3).index
    return trading.drop(holidays).resample("1D").last()


def every_day():  # a market trading every day, starting on a year's last day
    return walk(pd.date_range("2019-12-31", "2023-05-31", freq="D"), seed=13, spread=0.03)


@pytest.mark.parametrize("make, periods, too_short_for", [
    (business_daily, 252, ["ten_year"]),
    (calendar_daily_with_gaps, 252, ["five_year", "ten_year"]),
    (every_day, 365, ["five_year", "ten_year"]),
])
def test_every_figure_follows_its_textbook_formula(make, periods, too_short_for):
    series = make()
    result = series.calc_stats()
    result.set_riskfree_rate(0.02)
    stats = result.stats
    expected = textbook_figures(series, periods, 0.02)
    assert result.periods_per_year == periods
    assert list(stats.index) == list(expected)
    for key, value in expected.items():
        if isinstance(value, pd.Timestamp):  # "start" and "end"
            assert stats[key] == value, key
        else:
            assert stats[key] == pytest.approx(value, rel=1e-9, nan_ok=True), key
    assert stats[stats.isna()].index.tolist() == too_short_for  # the others are all exercised


@settings(max_examples=40, deadline=None)
@given(days=st.integers(2, 800), skip=st.integers(0, 40), keep=st.floats(0.05, 1.0),
       weekends=st.booleans(), seed=st.integers(0, 2 ** 32 - 1))
def test_gaps_in_a_calendar_daily_series_change_nothing(days, skip, keep, weekends, seed):
    full = walk(pd.date_range("2019-01-01", periods=days + 2 * skip, freq="D"), seed=seed % 97)
    kept = np.random.default_rng(seed).random(days) < keep
    if not weekends:
        kept &= full.index[skip:skip + days].day_of_week < 5
    observed = full.iloc[skip:skip + days][kept]
    gappy = observed.reindex(full.index)  # missing rows inside and around the observations
    plain, with_gaps = observed.calc_stats(), gappy.calc_stats()
    for first, second in ((plain, with_gaps), (plain, ravnel.calc_stats(gappy))):
        pd.testing.assert_series_equal(first.stats, second.stats, check_exact=True)
        pd.testing.assert_frame_equal(first.return_table, second.return_table, check_exact=True)
        pd.testing.assert_frame_equal(first.drawdown_details, second.drawdown_details)

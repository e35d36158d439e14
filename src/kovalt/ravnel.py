"""Performance statistics of equity curves, installed as methods on pandas objects.

Importing this module adds to pandas:

``DataFrame.rebase(value=100)``, ``Series.rebase(value=100)``
    Each column (or the series) divided by its first value and multiplied by ``value``. A
    missing first value makes the whole column missing; nothing is filled.

``DataFrame.to_drawdown_series()``, ``Series.to_drawdown_series()``
    Each value divided by the running maximum of its column, minus 1: 0 at a new high and
    negative below it. Missing values stay missing and do not stop the running maximum.

``Series.calc_stats(periods_per_year=None)``
    A :class:`PerformanceStats` of an equity (price-like) series indexed by dates.

A pandas attribute that already exists under one of these names (another library installed
it first) is left as it is: replacing it would change that library's results behind its back.
Each one kept is named once, in a ``RuntimeWarning`` at import. ``kovalt.report`` never relies
on the installed methods; it calls the module-level functions of the same names, which work on
any pandas object whatever is installed.

:class:`PerformanceStats` states the definition of every figure.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd

__all__ = ["PerformanceStats", "calc_stats", "rebase", "to_drawdown_series"]

DAYS_PER_YEAR = 365.25
CALENDAR_DAYS_PER_YEAR = 365
TRADING_DAYS_PER_YEAR = 252
MONTH_COLUMNS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun",
                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
DRAWDOWN_COLUMNS = ("Start", "End", "Length", "drawdown")

# A market that trades every day has 2/7 of its dates on weekends, a trading-day calendar none
# or a few make-up Saturdays; the threshold lies halfway.
EVERY_DAY_WEEKEND_SHARE = 1 / 7

# Below this spread a return series counts as constant: a steadily compounding curve leaves
# rounding noise around 1e-17 that would otherwise turn into a Sharpe ratio of 1e13.
_FLAT_TOLERANCE = 1e-12

_NAN = float("nan")


def rebase(obj, value=100.0):
    """Divide each column of a DataFrame (or a Series) by its first value, times ``value``."""
    if len(obj) == 0:
        return obj.astype(float)
    first = obj.iloc[0]
    if isinstance(obj, pd.DataFrame):
        # Positional, so that duplicate column labels do not realign the division.
        first = first.to_numpy()
    return obj / first * value


def to_drawdown_series(obj):
    """Each value over the running maximum of its column, minus 1 (0 at a high, < 0 below)."""
    return obj / obj.cummax() - 1


def calc_stats(prices, periods_per_year=None):
    """Performance statistics of the equity series ``prices`` (a :class:`PerformanceStats`)."""
    return PerformanceStats(prices, periods_per_year=periods_per_year)


class PerformanceStats:
    """Statistics of one equity curve.

    Input. The series is sorted by date and its missing values are dropped: a date without a
    value is a date without an observation, so a calendar-daily series whose weekends and
    holidays are missing (what ``resample("1D").last()`` gives) has exactly the figures of the
    same observations without the empty rows. Dates are read as wall-clock times, so a tz-aware
    series gives the same calendar periods and day counts as the naive one with the same local
    dates.

    Conventions:

    - Returns are simple returns, ``value / previous value - 1``; figures are fractions (0.1 is
      10%). A span of time is turned into years with 365.25 calendar days a year.
    - Periods per year ``n`` of the "daily" figures (the returns between consecutive
      observations), unless ``periods_per_year`` is given: when the median spacing of the
      observations rounds to one day, 365 if at least 1/7 of the observations fall on a
      Saturday or Sunday (a market that trades every day, such as crypto: 2/7 of its dates are
      weekend dates) and 252 otherwise (a trading-day calendar); for any other spacing (weekly,
      monthly, intraday) the observed number of returns per 365.25-day year. Monthly figures
      use n = 12, yearly ones n = 1.
    - Risk-free rate: ``rf`` is an annual rate; per period it is ``(1 + rf) ** (1 / n) - 1``
      and the excess return of a period is its return minus that.
    - Sharpe ratio: mean excess return / sample standard deviation of the returns (``N - 1``
      degrees of freedom) * sqrt(n); NaN when the returns do not vary.
    - Sortino ratio: mean excess return / target downside deviation * sqrt(n), with the target
      downside deviation ``sqrt(sum(min(excess, 0) ** 2) / N)`` over all ``N`` returns (each
      return above the target counts as a zero shortfall); NaN when no return falls below
      the risk-free rate.
    - Mean and volatility are annualised as ``mean * n`` and ``sample std * sqrt(n)``; skewness
      and kurtosis are the bias-adjusted sample skewness and excess kurtosis (G1 and G2).
    - Calendar periods: a month's (year's) return runs from the last value of the previous
      month (year) to the last value of this one; the first period starts at the series' first
      value and the last one ends at its last value. A period without an observation has a zero
      return (the value carries over). A series whose first value falls on the last day of its
      period starts with the next period.
    - Partial periods: when the series starts inside a month (year), that first month (year)
      is partial. The return table shows it, but the monthly (yearly) figures leave it out:
      monthly_* and yearly_*, best/worst month and year, avg_up/down_month, win_year_perc and
      the twelve-month windows all use complete periods only (the last period, which ends at
      the last value, is kept).
    - A figure that cannot be computed (too few observations or periods, no dispersion, no
      period of the kind it averages) is NaN, never an exception: dispersion figures need two
      returns, skewness three and kurtosis four.
    - Every entry of ``stats`` is a Python ``float`` except "start" and "end" (``pd.Timestamp``),
      so ``json.dumps(stats.to_dict())`` works once those two are formatted.

    Members:

    ``set_riskfree_rate(rate)``
        Sets the annual risk-free rate (default 0); ``stats`` reflects it from then on.
    ``stats``
        A Series of the figures below, recomputed after each rate change.
    ``drawdown_details``
        A DataFrame, one row per drawdown period in date order, with "Start" (the first date
        below the previous high), "End" (the first date back at that high, or the last date
        when the series has not recovered), "Length" (whole calendar days from Start to End)
        and "drawdown" (the deepest drawdown of the period, a negative fraction).
    ``return_table``
        A DataFrame indexed by year with the monthly returns under "Jan" ... "Dec" and the
        year's compounded return under "YTD"; months without a return are NaN. Partial first
        and last periods are included.
    ``prices``, ``returns``, ``drawdown``, ``monthly_returns``, ``yearly_returns``
        The cleaned series, its returns between observations, its drawdown series, and the
        monthly and yearly returns of the return table (indexed by the period's last calendar
        day, partial periods included).
    ``periods_per_year``
        The ``n`` of the daily figures.

    Figures of ``stats``:

    ========================  ==========================================================
    start, end                first and last date with a value
    rf                        the annual risk-free rate in use
    total_return              last value / first value - 1
    cagr                      (1 + total_return) ** (1 / years) - 1, years = elapsed days
                              / 365.25
    max_drawdown              the lowest value of the drawdown series (0 if it never falls)
    calmar                    cagr / -max_drawdown (NaN without a drawdown)
    mtd, ytd                  last value over the last value before the current month
                              (year), minus 1; from the first value when the series starts
                              within that month (year)
    three_month, six_month,   last value over the value at the base month-end, minus 1: the
    one_year                  last month-end on or before the date 3, 6 or 12 months before
                              the last date (the same day of the month, or the month's last
                              day when that month is shorter; from a month's last day, the
                              last day of the month that many months earlier); the value
                              there is the last one on or before that day. NaN when the
                              series starts after the base month-end
    three_year, five_year,    the same over 36, 60 and 120 months, annualised like cagr over
    ten_year                  the days between the two values
    incep                     the annualised return since the first value (equals cagr)
    daily_mean, daily_vol     mean and volatility of the returns, annualised with n
    daily_sharpe              Sharpe ratio of the returns (see above)
    daily_sortino             Sortino ratio of the returns (see above)
    daily_skew, daily_kurt    sample skewness and excess kurtosis of the returns
    best_day, worst_day       largest and smallest return between observations
    monthly_*, yearly_*       the same figures on the complete monthly (n = 12) and yearly
                              (n = 1) returns; best/worst_month, best/worst_year likewise
    avg_drawdown              mean "drawdown" of the drawdown periods
    avg_drawdown_days         mean "Length" of the drawdown periods
    avg_up_month              mean of the positive complete monthly returns
    avg_down_month            mean of the negative complete monthly returns
    win_year_perc             share of complete years with a positive return
    twelve_month_win_perc     share of rolling twelve-month returns, between the values at
                              month ends twelve months apart (the last one ends at the last
                              value), that are positive
    ========================  ==========================================================
    """

    def __init__(self, prices, periods_per_year=None):
        with _quiet_arithmetic():
            self._prepare(prices, periods_per_year)

    def _prepare(self, prices, periods_per_year):
        self.prices = _clean_prices(prices)
        self.name = self.prices.name
        self.rf = 0.0
        # Calendar arithmetic runs on local wall-clock dates so that DST shifts neither the
        # month boundaries nor the day counts; reported dates come from the original index.
        self._wall = _wall_clock(self.prices.index)
        self._values = self.prices.to_numpy()
        self.periods_per_year = (
            _infer_periods_per_year(self._wall) if periods_per_year is None
            else _positive_number(periods_per_year, "periods_per_year")
        )
        self.returns = pd.Series(
            self._values[1:] / self._values[:-1] - 1, index=self.prices.index[1:],
            name=self.name,
        )
        self.drawdown = to_drawdown_series(self.prices)
        wall_series = pd.Series(self._values, index=self._wall)
        months = _period_returns(wall_series, "ME")
        years = _period_returns(wall_series, "YE")
        self.monthly_returns, self.yearly_returns = months.returns, years.returns
        self._complete_months, self._complete_years = months.complete(), years.complete()
        self._month_end_values = months.complete_bounds()
        self._drawdown_details = self._find_drawdown_periods()
        self._return_table = self._build_return_table()
        self._stats = None

    def __repr__(self):
        return f"<PerformanceStats {self.name!r}: {len(self.prices)} values>"

    def set_riskfree_rate(self, rate):
        """Use ``rate`` (annual, e.g. 0.02 for 2%) as the risk-free rate from now on."""
        rate = float(rate)
        if not math.isfinite(rate) or rate <= -1:
            raise ValueError(f"risk-free rate must be a finite number above -1, got {rate!r}")
        self.rf = rate
        self._stats = None

    @property
    def stats(self):
        if self._stats is None:
            with _quiet_arithmetic():
                self._stats = self._compute_stats()
        return pd.Series(self._stats, dtype=object, name=self.name)

    @property
    def drawdown_details(self):
        return self._drawdown_details.copy()

    @property
    def return_table(self):
        return self._return_table.copy()

    def _compute_stats(self):
        values, wall = self._values, self._wall
        has_returns = len(values) >= 2
        start = self.prices.index[0] if len(values) else pd.NaT
        end = self.prices.index[-1] if len(values) else pd.NaT
        total_return = values[-1] / values[0] - 1 if has_returns else _NAN
        years = _years_between(wall[0], wall[-1]) if has_returns else _NAN
        cagr = _annualise(total_return, years)
        max_drawdown = float(self.drawdown.min()) if has_returns else _NAN
        calmar = cagr / -max_drawdown if max_drawdown < 0 else _NAN
        details = self._drawdown_details

        result = {
            "start": start,
            "end": end,
            "rf": self.rf,
            "total_return": total_return,
            "cagr": cagr,
            "max_drawdown": max_drawdown,
            "calmar": calmar,
            "mtd": self._return_since_period_start(month=True),
            "three_month": self._trailing_return(months=3),
            "six_month": self._trailing_return(months=6),
            "ytd": self._return_since_period_start(month=False),
            "one_year": self._trailing_return(months=12),
            "three_year": self._trailing_return(months=36, annualised=True),
            "five_year": self._trailing_return(months=60, annualised=True),
            "ten_year": self._trailing_return(months=120, annualised=True),
            "incep": cagr,
        }
        result.update(_distribution("daily", self.returns.to_numpy(), self.rf,
                                    self.periods_per_year, "day"))
        monthly, yearly = self._complete_months, self._complete_years
        result.update(_distribution("monthly", monthly, self.rf, 12, "month"))
        result.update(_distribution("yearly", yearly, self.rf, 1, "year"))
        result.update({
            "avg_drawdown": _mean(details["drawdown"].to_numpy()),
            "avg_drawdown_days": _mean(details["Length"].to_numpy()),
            "avg_up_month": _mean(monthly[monthly > 0]),
            "avg_down_month": _mean(monthly[monthly < 0]),
            "win_year_perc": _mean(yearly > 0),
            "twelve_month_win_perc": self._twelve_month_win_share(),
        })
        # Plain floats: numpy scalars would not survive json.dumps.
        return {key: value if key in ("start", "end") else float(value)
                for key, value in result.items()}

    def _return_since_period_start(self, month):
        if len(self._values) < 2:
            return _NAN
        last = self._wall[-1]
        period_start = pd.Timestamp(last.year, last.month if month else 1, 1)
        before = self._wall.searchsorted(period_start, side="left") - 1
        return self._values[-1] / self._values[max(before, 0)] - 1

    def _trailing_return(self, months, annualised=False):
        if len(self._values) < 2:
            return _NAN
        last = self._wall[-1]
        month_end = _base_month_end(last.normalize(), months)
        # The value of the base month-end: the last one on or before that day, whatever time.
        base = self._wall.searchsorted(month_end + pd.Timedelta(days=1), side="left") - 1
        if base < 0:
            return _NAN
        growth = self._values[-1] / self._values[base] - 1
        if not annualised:
            return growth
        return _annualise(growth, _years_between(self._wall[base], last))

    def _twelve_month_win_share(self):
        bounds = self._month_end_values
        if len(bounds) < 13:
            return _NAN
        return _mean(bounds[12:] / bounds[:-12] - 1 > 0)

    def _find_drawdown_periods(self):
        depth = self.drawdown.to_numpy()
        below = np.concatenate([[False], depth < 0, [False]])
        edges = np.diff(below.astype(np.int8))
        starts = np.flatnonzero(edges == 1)
        stops = np.flatnonzero(edges == -1)  # first position back at the high, maybe past end
        ends = np.minimum(stops, len(depth) - 1)
        deepest = np.array([depth[a:b].min() for a, b in zip(starts, stops)], dtype=float)
        index = self.prices.index
        return pd.DataFrame({
            "Start": index[starts],
            "End": index[ends],
            "Length": (self._wall[ends] - self._wall[starts]).days.to_numpy(dtype=np.int64),
            "drawdown": deepest,
        }, columns=list(DRAWDOWN_COLUMNS))

    def _build_return_table(self):
        years = [int(year) for year in self.yearly_returns.index.year]
        rows = {year: row for row, year in enumerate(years)}
        table = np.full((len(years), len(MONTH_COLUMNS) + 1), np.nan)
        months = self.monthly_returns
        for year, month, value in zip(months.index.year, months.index.month, months.to_numpy()):
            table[rows[int(year)], int(month) - 1] = value
        table[:, -1] = self.yearly_returns.to_numpy()
        return pd.DataFrame(table, index=pd.Index(years, dtype=np.int64),
                            columns=[*MONTH_COLUMNS, "YTD"])


def _quiet_arithmetic():
    # A curve that touches 0 yields undefined returns; they show up as NaN in the figures,
    # which is the answer, so numpy need not also warn about them.
    return np.errstate(divide="ignore", invalid="ignore", over="ignore")


def _clean_prices(prices):
    if not isinstance(prices, pd.Series):
        raise TypeError(f"calc_stats needs a pandas Series, got {type(prices).__name__}")
    if not isinstance(prices.index, pd.DatetimeIndex):
        raise TypeError(
            f"calc_stats needs a series indexed by dates, got {type(prices.index).__name__}")
    if not prices.index.is_monotonic_increasing:
        prices = prices.sort_index(kind="stable")
    # A missing value is a date without an observation, not a day on which nothing moved.
    return prices.astype("float64").dropna()


def _wall_clock(index):
    return index.tz_localize(None) if index.tz is not None else index


def _infer_periods_per_year(wall):
    if len(wall) < 2:
        return TRADING_DAYS_PER_YEAR  # no return to annualise
    spacing_days = (wall[1:] - wall[:-1]) / pd.Timedelta(days=1)
    if round(float(np.median(spacing_days))) == 1:
        weekend_share = float(np.mean(wall.day_of_week >= 5))
        if weekend_share >= EVERY_DAY_WEEKEND_SHARE:
            return CALENDAR_DAYS_PER_YEAR
        return TRADING_DAYS_PER_YEAR
    years = _years_between(wall[0], wall[-1])
    return (len(wall) - 1) / years if years > 0 else TRADING_DAYS_PER_YEAR


def _base_month_end(day, months):
    """The last month-end on or before the date ``months`` months before ``day``."""
    if day.is_month_end:
        return day - pd.offsets.MonthEnd(months)
    earlier = day - pd.DateOffset(months=months)
    return earlier if earlier.is_month_end else earlier - pd.offsets.MonthEnd(1)


def _positive_number(value, what):
    number = float(value)
    if not math.isfinite(number) or number <= 0:
        raise ValueError(f"{what} must be a positive number, got {value!r}")
    return number


class _PeriodReturns:
    """Returns per calendar period, the values they run between and whether the first period
    is partial (the series started inside it)."""

    def __init__(self, returns, bounds, first_partial):
        self.returns, self.bounds, self.first_partial = returns, bounds, first_partial

    def complete(self):
        values = self.returns.to_numpy()
        return values[1:] if self.first_partial else values

    def complete_bounds(self):
        """Values at period ends (the last one is the series' last value)."""
        return self.bounds[1:] if self.first_partial else self.bounds


def _period_returns(wall_series, rule):
    if len(wall_series) < 2:
        empty = pd.Series([], dtype=float, index=pd.DatetimeIndex([]))
        return _PeriodReturns(empty, wall_series.to_numpy(), False)
    resampled = wall_series.resample(rule)
    # Periods without an observation keep the previous value: a zero return.
    period_ends = resampled.last().ffill()
    labels = period_ends.index
    bounds = np.concatenate([[wall_series.iloc[0]], period_ends.to_numpy()])
    first_day = wall_series.index[0].normalize()
    first_partial = True
    if resampled.count().iloc[0] == 1 and first_day == labels[0].normalize():
        # The first value closes its period: nothing happened in it before the series began,
        # and the next period is complete.
        labels, bounds = labels[1:], bounds[1:]
        first_partial = False
    return _PeriodReturns(pd.Series(bounds[1:] / bounds[:-1] - 1, index=labels), bounds,
                          first_partial)


def _distribution(prefix, returns, rf, periods_per_year, unit):
    rf_per_period = (1 + rf) ** (1 / periods_per_year) - 1
    figures = {
        f"{prefix}_sharpe": _sharpe(returns, rf_per_period, periods_per_year),
        f"{prefix}_sortino": _sortino(returns, rf_per_period, periods_per_year),
        f"{prefix}_mean": _mean(returns) * periods_per_year,
        f"{prefix}_vol": _std(returns) * math.sqrt(periods_per_year),
        f"{prefix}_skew": _moment(returns, 3, "skew"),
        f"{prefix}_kurt": _moment(returns, 4, "kurt"),
        f"best_{unit}": float(returns.max()) if len(returns) else _NAN,
        f"worst_{unit}": float(returns.min()) if len(returns) else _NAN,
    }
    return figures


def _sharpe(returns, rf_per_period, periods_per_year):
    spread = _std(returns)
    if not spread > 0:
        return _NAN
    return (_mean(returns) - rf_per_period) / spread * math.sqrt(periods_per_year)


def _sortino(returns, rf_per_period, periods_per_year):
    if len(returns) < 2:
        return _NAN
    excess = returns - rf_per_period
    shortfall = np.minimum(excess, 0.0)
    # Target downside deviation: every return counts, those above the target as no shortfall.
    downside = math.sqrt(float(np.mean(shortfall * shortfall)))
    if _is_flat(downside, excess):
        return _NAN
    return _mean(excess) / downside * math.sqrt(periods_per_year)


def _std(values):
    """Sample standard deviation; 0 for values that only differ by rounding, NaN below two."""
    if len(values) < 2:
        return _NAN
    spread = float(np.std(values, ddof=1))
    return 0.0 if _is_flat(spread, values) else spread


def _is_flat(spread, values):
    return spread <= _FLAT_TOLERANCE * max(1.0, float(np.max(np.abs(values))))


def _moment(values, order, method):
    if len(values) < order or not _std(values) > 0:
        return _NAN
    return getattr(pd.Series(values), method)()


def _mean(values):
    return float(np.mean(values)) if len(values) else _NAN


def _years_between(start, end):
    return (end - start) / pd.Timedelta(days=DAYS_PER_YEAR)


def _annualise(growth, years):
    if not years > 0 or not 1 + growth >= 0:
        return _NAN
    try:
        return (1.0 + float(growth)) ** (1.0 / float(years)) - 1.0
    except OverflowError:  # a large gain over hours: a real but unrepresentable rate
        return math.inf


def _install(owner, name, function):
    """Attach ``function`` as a method unless ``owner`` already has a foreign ``name``."""
    existing = getattr(owner, name, None)
    if existing is not None and getattr(existing, "__module__", None) != __name__:
        origin = getattr(existing, "__module__", None) or type(existing).__name__
        warnings.warn(
            f"{owner.__module__}.{owner.__name__}.{name} is already defined (by {origin}); it"
            f" is left as it is, so {owner.__name__}.{name}() does not give kovalt's figures."
            f" kovalt.report uses kovalt.ravnel.{name} regardless; call"
            f" kovalt.ravnel.{name}(obj) for the same.",
            RuntimeWarning, stacklevel=2)
        return False
    setattr(owner, name, function)
    return True


for _owner, _name, _function in (
    (pd.DataFrame, "rebase", rebase),
    (pd.Series, "rebase", rebase),
    (pd.DataFrame, "to_drawdown_series", to_drawdown_series),
    (pd.Series, "to_drawdown_series", to_drawdown_series),
    (pd.Series, "calc_stats", calc_stats),
):
    _install(_owner, _name, _function)
del _owner, _name, _function

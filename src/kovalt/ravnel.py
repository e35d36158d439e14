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

A pandas attribute that already exists under one of these names is left alone, with a
``RuntimeWarning``; the module-level functions of the same names work on any pandas object.

Conventions of every figure (see :class:`PerformanceStats` for the list):

- Returns are simple returns, ``value / previous value - 1``; figures are fractions (0.1 is 10%).
- A year is 365.25 calendar days when a span of time is turned into years.
- Months and years are calendar periods. A period's return runs from the last value of the
  previous period to the last value of this one; the first period starts at the series' first
  value and the last one ends at its last value, so both may be partial. A period without an
  observation has a zero return (the value carries over); a series whose first value falls on
  the last day of its period starts with the next period.
- "Daily" figures use the returns between consecutive observations and are annualised with
  365 periods a year when the series has weekend dates (a calendar-daily or round-the-clock
  market series) and 252 otherwise (a trading-day series); ``periods_per_year`` overrides that.
  Monthly figures use 12 periods a year, yearly ones 1.
- The risk-free rate is an annual rate ``rf``; per period it is ``(1 + rf) ** (1 / n) - 1``
  for ``n`` periods a year.
- Dispersion uses the sample estimate (``n - 1`` degrees of freedom).
- A figure that cannot be computed (too few observations, no dispersion, no period of the
  kind it averages) is NaN, never an exception.
- Every entry of ``stats`` is a Python ``float`` except "start" and "end" (``pd.Timestamp``),
  so ``json.dumps(stats.to_dict())`` works once those two are formatted.
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

    The series is sorted by date and forward-filled; leading missing values are dropped. Dates
    are read as wall-clock times, so a tz-aware series gives the same calendar periods and day
    counts as the naive one with the same local dates.

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
        year's compounded return under "YTD"; months without a return are NaN.
    ``prices``, ``returns``, ``drawdown``, ``monthly_returns``, ``yearly_returns``
        The cleaned series, its returns between observations, its drawdown series, and the
        monthly and yearly returns (indexed by the period's last calendar day).

    Figures of ``stats``:

    ========================  ==========================================================
    start, end                first and last date of the series
    rf                        the annual risk-free rate in use
    total_return              last value / first value - 1
    cagr                      (1 + total_return) ** (1 / years) - 1, years = elapsed days
                              / 365.25
    max_drawdown              the lowest value of the drawdown series (0 if it never falls)
    calmar                    cagr / -max_drawdown (NaN without a drawdown)
    mtd, ytd                  last value over the last value before the current month
                              (year), minus 1; from the first value when the series starts
                              within that month (year)
    three_month, six_month,   last value over the last value at or before the same date
    one_year                  3, 6 or 12 months earlier, minus 1; NaN when the series is
                              shorter than that
    three_year, five_year,    the same over 3, 5 and 10 years, annualised like cagr over
    ten_year                  the days between the two values
    incep                     the annualised return since the first value (equals cagr)
    daily_mean, daily_vol     mean and standard deviation of the returns, annualised
                              (times n and times sqrt(n))
    daily_sharpe              mean of (return - rf per period) / standard deviation *
                              sqrt(n); NaN when the returns do not vary
    daily_sortino             mean of (return - rf per period) / downside deviation *
                              sqrt(n), downside deviation = sqrt(sum(min(excess, 0) ** 2)
                              / (count - 1)); NaN when no return falls below rf
    daily_skew, daily_kurt    sample skewness and excess kurtosis of the returns
    best_day, worst_day       largest and smallest return between observations
    monthly_*, yearly_*       the same figures on monthly (n = 12) and yearly (n = 1)
                              returns; best/worst_month, best/worst_year likewise
    avg_drawdown              mean "drawdown" of the drawdown periods
    avg_drawdown_days         mean "Length" of the drawdown periods
    avg_up_month              mean of the positive monthly returns
    avg_down_month            mean of the negative monthly returns
    win_year_perc             share of years with a positive return
    twelve_month_win_perc     share of rolling twelve-month returns (month end to month
                              end, or from the first value) that are positive
    ========================  ==========================================================

    Figures needing returns are NaN for a series of fewer than two values; dispersion
    figures need two returns, skewness three and kurtosis four.
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
        self.monthly_returns, self._month_bounds = _period_returns(wall_series, "ME")
        self.yearly_returns, _ = _period_returns(wall_series, "YE")
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
        monthly = self.monthly_returns.to_numpy()
        yearly = self.yearly_returns.to_numpy()
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
        base = self._wall.searchsorted(last - pd.DateOffset(months=months), side="right") - 1
        if base < 0:
            return _NAN
        growth = self._values[-1] / self._values[base] - 1
        if not annualised:
            return growth
        return _annualise(growth, _years_between(self._wall[base], last))

    def _twelve_month_win_share(self):
        bounds = self._month_bounds
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
    return prices.astype("float64").ffill().dropna()


def _wall_clock(index):
    return index.tz_localize(None) if index.tz is not None else index


def _infer_periods_per_year(wall):
    if len(wall) and (wall.day_of_week >= 5).any():
        return CALENDAR_DAYS_PER_YEAR
    return TRADING_DAYS_PER_YEAR


def _positive_number(value, what):
    number = float(value)
    if not math.isfinite(number) or number <= 0:
        raise ValueError(f"{what} must be a positive number, got {value!r}")
    return number


def _period_returns(wall_series, rule):
    """Returns per calendar period, and the values they run between (first value first)."""
    if len(wall_series) < 2:
        return pd.Series([], dtype=float, index=pd.DatetimeIndex([])), wall_series.to_numpy()
    resampled = wall_series.resample(rule)
    # Periods without an observation keep the previous value: a zero return, as for ffill.
    period_ends = resampled.last().ffill()
    labels = period_ends.index
    bounds = np.concatenate([[wall_series.iloc[0]], period_ends.to_numpy()])
    first_day = wall_series.index[0].normalize()
    if resampled.count().iloc[0] == 1 and first_day == labels[0].normalize():
        # The first value closes its period: nothing happened in it before the series began.
        labels, bounds = labels[1:], bounds[1:]
    return pd.Series(bounds[1:] / bounds[:-1] - 1, index=labels), bounds


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
    downside = math.sqrt(float(np.sum(shortfall * shortfall)) / (len(excess) - 1))
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
        warnings.warn(
            f"{owner.__module__}.{owner.__name__} already has {name!r}; it is left as it is."
            f" Call kovalt.ravnel.{name}(obj) instead.",
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

"""A minimal back-test engine that turns prices and target weights into a :class:`Report`.

Conventions (all of them apply to :func:`run`):

- ``weights`` holds target weights (fractions of equity) decided at the close of each signal
  date. They take effect on the next row of ``close``: the engine trades at that row's close
  (``trade_at="close"``), and the position table shows the new weights from that row on.
- Without ``resample`` every row of ``weights`` whose targets differ from the row before is a
  rebalancing signal. With ``resample`` (a pandas period alias such as ``"W"``, ``"M"`` or
  ``"Q"``) the latest targets are traded at the end of every period, restoring weights that
  drifted with the prices.
- Between trades the engine holds quantities, so weights drift with prices; the rest of equity
  is cash at zero interest. Weights are long-only; their sum may exceed 1 (borrowed cash).
- Costs: ``fee_ratio`` on the value bought and sold, ``tax_ratio`` on the value sold, both
  measured against equity just before the trade.
- A trade is a spell of holding one asset: it opens when its target weight becomes positive and
  closes when it returns to 0 (a change of size in between is not a new trade).
- A missing weight (NaN) means 0. A missing close price is fine where the strategy does not
  hold the asset, and an error where it does.

The excursions of every trade (MAE, MFE, drawdown, days in profit, return) come from the native
engine :mod:`kovalt.trevik`, driven by :func:`kovalt.recorder.replay`.
"""

from __future__ import annotations

import itertools
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pandas as pd

from kovalt.market import MarketInfo

__all__ = ["run", "MEASURES", "DEFAULT_FEE_RATIO", "DEFAULT_TAX_RATIO", "DEFAULT_WINDOW",
           "DEFAULT_WINDOW_STEP"]

DEFAULT_FEE_RATIO = 1.425e-3
DEFAULT_TAX_RATIO = 3e-3
DEFAULT_WINDOW = 40
DEFAULT_WINDOW_STEP = 5

#: The six measures of an excursion record group, in the engine's order.
MEASURES = ("mae", "gmfe", "bmfe", "mdd", "pdays", "return")

# Rows simulated at once: bounds the temporary (rows x assets) arrays of the valuation.
_CHUNK_ROWS = 256
# Columns copied at once when a table is laid out by rows.
_COPY_COLUMNS = 128

Progress = Callable[[str], None]


# ---------------------------------------------------------------------------------------------
# Input checks


def _describe(labels, limit: int = 5) -> str:
    shown = [_label_text(x) for x in list(labels)[:limit]]
    more = len(labels) - len(shown)
    return ", ".join(shown) + (f" and {more} more" if more > 0 else "")


def _label_text(value) -> str:
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d") if value == value.normalize() else str(value)
    return str(value)


def _check_dates(name: str, index: pd.Index) -> pd.DatetimeIndex:
    if not isinstance(index, pd.DatetimeIndex):
        raise ValueError(f"{name} must be indexed by date (a DatetimeIndex), "
                         f"not by {type(index).__name__}")
    if index.hasnans:
        raise ValueError(f"{name} have a missing date in their index")
    duplicated = index[index.duplicated()]
    if len(duplicated):
        raise ValueError(f"{name} have duplicate dates: {_describe(duplicated.unique())}")
    if not index.is_monotonic_increasing:
        position = int(np.flatnonzero(np.diff(index.asi8) < 0)[0])
        raise ValueError(f"{name}' dates are not in ascending order: "
                         f"{_label_text(index[position])} comes before "
                         f"{_label_text(index[position + 1])}")
    return index


def _check_numeric(name: str, table: pd.DataFrame) -> np.ndarray:
    bad = [c for c, dtype in table.dtypes.items()
           if not (pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype))]
    if bad:
        raise ValueError(f"{name} must be numbers; non-numeric columns: {_describe(bad)}")
    values = table.to_numpy(dtype=np.float64, na_value=np.nan)
    infinite = np.isinf(values)
    if infinite.any():
        row, col = np.argwhere(infinite)[0]
        raise ValueError(f"{name} hold an infinite value for {table.columns[col]} on "
                         f"{_label_text(table.index[row])}")
    return values


def _rows_contiguous(values: np.ndarray) -> np.ndarray:
    """``values`` in C order. pandas keeps a table's columns contiguous, so this is a transposing
    copy; a band of columns at a time keeps both the reads and the writes within the cache,
    several times faster than one np.ascontiguousarray over the whole table."""
    if values.flags.c_contiguous:
        return values
    out = np.empty(values.shape, dtype=values.dtype)
    for lo in range(0, values.shape[1], _COPY_COLUMNS):
        out[:, lo:lo + _COPY_COLUMNS] = values[:, lo:lo + _COPY_COLUMNS]
    return out


def _asset_labels(name: str, columns: pd.Index) -> pd.Index:
    labels = pd.Index([str(c) for c in columns])
    if labels.has_duplicates:
        raise ValueError(f"{name} have duplicate assets: {_describe(labels[labels.duplicated()])}")
    return labels


def _check_table(name: str, table) -> pd.DataFrame:
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame (dates x assets), "
                        f"not {type(table).__name__}")
    if table.shape[0] == 0 or table.shape[1] == 0:
        raise ValueError(f"{name} are empty ({table.shape[0]} dates x {table.shape[1]} assets)")
    return table


def _check_same_time_zone(first: str, a: pd.DatetimeIndex, second: str, b: pd.DatetimeIndex):
    if (a.tz is None) != (b.tz is None):
        raise ValueError(f"{first} and {second} must both have time-zone-aware dates, or both "
                         f"naive ones")


def _check_ratio(name: str, value) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None
    if not 0.0 <= number < 1.0:
        raise ValueError(f"{name} must lie in [0, 1), got {value!r}")
    return number


def _check_count(name: str, value, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < minimum:
        raise ValueError(f"{name} must be a whole number >= {minimum}, got {value!r}")
    if value > np.iinfo(np.int32).max:
        raise ValueError(f"{name} is too large: {value!r}")
    return int(value)


def _period_alias(resample) -> str | None:
    if resample is None:
        return None
    if not isinstance(resample, str):
        raise ValueError(f"resample must be None or a period alias such as 'W', 'M' or 'Q', "
                         f"got {resample!r}")
    # Period aliases differ from the date-offset spelling pandas 2.2+ prefers for period ends.
    alias = {"ME": "M", "QE": "Q", "YE": "Y", "BME": "M", "BQE": "Q", "BYE": "Y"}.get(
        resample, resample)
    try:
        pd.Period("2020-01-01", freq=alias)
    except (ValueError, TypeError):
        raise ValueError(f"resample must be a period alias such as 'W', 'M' or 'Q', "
                         f"got {resample!r}") from None
    return alias


@dataclass
class _Market:
    dates: pd.DatetimeIndex
    assets: pd.Index
    price: np.ndarray  # dates x assets, C-contiguous float64, NaN where missing
    signal_rows: np.ndarray  # rows of `dates` whose close decided a new target
    targets: np.ndarray  # one row of target weights per signal row
    next_date: pd.Timestamp


def _prepare(close, weights, resample) -> tuple[_Market, pd.DataFrame]:
    close = _check_table("close prices", close)
    weights = _check_table("weights", weights)
    dates = _check_dates("close prices", close.index)
    weight_dates = _check_dates("weights", weights.index)
    _check_same_time_zone("close prices", dates, "weights", weight_dates)
    assets = _asset_labels("close prices", close.columns)
    weight_assets = _asset_labels("weights", weights.columns)

    unknown = weight_assets[~weight_assets.isin(assets)]
    if len(unknown):
        raise ValueError(f"weights given for assets without close prices: {_describe(unknown)}")
    outside = weight_dates[~weight_dates.isin(dates)]
    if len(outside):
        raise ValueError(f"weights have dates that are not dates of the close prices: "
                         f"{_describe(outside)}")

    price = _rows_contiguous(_check_numeric("close prices", close))
    bad = price <= 0
    if bad.any():
        row, col = np.argwhere(bad)[0]
        raise ValueError(f"close prices must be positive; {assets[col]} is {price[row, col]:g} "
                         f"on {_label_text(dates[row])}")

    raw = _check_numeric("weights", weights)
    raw = np.where(np.isnan(raw), 0.0, raw)
    if (raw < 0).any():
        row, col = np.argwhere(raw < 0)[0]
        raise ValueError(f"weights must not be negative (long-only engine); "
                         f"{weight_assets[col]} is {raw[row, col]:g} on "
                         f"{_label_text(weight_dates[row])}")
    targets = np.zeros((len(weight_dates), len(assets)))
    targets[:, assets.get_indexer(weight_assets)] = raw
    rows = dates.get_indexer(weight_dates)

    next_date = _next_market_day(dates)
    period = _period_alias(resample)
    if period is None:
        previous = np.vstack([np.zeros((1, len(assets))), targets[:-1]])
        changed = (targets != previous).any(axis=1)
        signal_rows, signal_targets = rows[changed], targets[changed]
    else:
        signal_rows, signal_targets = _period_end_signals(dates, next_date, period, rows, targets)
    market = _Market(dates, assets, price, signal_rows.astype(np.int64), signal_targets, next_date)
    frame = pd.DataFrame(price, index=dates, columns=assets, copy=False)
    return market, frame


def _next_market_day(dates: pd.DatetimeIndex) -> pd.Timestamp:
    """The date after the last one: the next weekday, or the next day for markets that trade on
    weekends (any weekend date in the index)."""
    last = dates[-1]
    if (dates.day_of_week >= 5).any():
        return last + pd.Timedelta(days=1)
    return last + pd.offsets.BDay(1)


def _period_end_signals(dates, next_date, period, rows, targets):
    """The last row of each period that has targets by then, with the latest targets."""
    wall = dates.tz_localize(None) if dates.tz is not None else dates
    periods = wall.to_period(period)
    following = np.append(periods[1:].asi8, pd.Period(
        next_date.tz_localize(None) if next_date.tz is not None else next_date, freq=period
    ).ordinal)
    ends = np.flatnonzero(periods.asi8 != following)
    latest = np.searchsorted(rows, ends, side="right") - 1
    known = latest >= 0
    return ends[known], targets[latest[known]]


# ---------------------------------------------------------------------------------------------
# Simulation


@dataclass
class _Schedule:
    trade_rows: np.ndarray  # row of each executed rebalance (signal row + 1), ascending
    book: np.ndarray  # (rebalances + 1) x assets: row 0 is the empty book before any trade
    period_of_row: np.ndarray  # per date: index into `book` of the weights held at its close
    pending: np.ndarray | None  # targets decided on the last date, traded after it


def _schedule(market: _Market) -> _Schedule:
    n, m = market.price.shape
    executed = market.signal_rows + 1 < n
    trade_rows = market.signal_rows[executed] + 1
    book = np.vstack([np.zeros((1, m)), market.targets[executed]])
    period_of_row = np.searchsorted(trade_rows, np.arange(n), side="right")
    pending = market.targets[~executed][-1] if (~executed).any() else None
    return _Schedule(trade_rows, book, period_of_row, pending)


def _check_held_prices(market: _Market, schedule: _Schedule, position: np.ndarray):
    missing = np.isnan(market.price) & (position > 0)
    if missing.any():
        row, col = np.argwhere(missing)[0]
        raise ValueError(f"close price missing for {market.assets[col]} on "
                         f"{_label_text(market.dates[row])}, a date the strategy holds it")
    if schedule.pending is not None:
        entering = np.isnan(market.price[-1]) & (schedule.pending > 0)
        if entering.any():
            col = int(np.flatnonzero(entering)[0])
            raise ValueError(f"weights for {market.assets[col]} on "
                             f"{_label_text(market.dates[-1])}, a date without its close price")


def _simulate(market: _Market, schedule: _Schedule, fee: float, tax: float) -> np.ndarray:
    """Equity at each close, starting from 1.0."""
    # Unheld assets get a neutral price so that weight 0 times their ratio stays 0 (no copy of
    # the table when nothing is missing).
    missing = np.isnan(market.price)
    price = np.where(missing, 1.0, market.price) if missing.any() else market.price
    book = schedule.book
    start_row = np.concatenate([[0], schedule.trade_rows])
    cash = 1.0 - book.sum(axis=1)

    # Value of each period's book at the next trade, relative to its start.
    if len(schedule.trade_rows):
        drifted = book[:-1] * (price[schedule.trade_rows] / price[start_row[:-1]])
        value_before = cash[:-1] + drifted.sum(axis=1)
        if (value_before <= 0).any():
            k = int(np.flatnonzero(value_before <= 0)[0])
            raise ValueError(f"the strategy lost all its equity by "
                             f"{_label_text(market.dates[schedule.trade_rows[k]])}")
        drift = drifted / value_before[:, None]
        change = book[1:] - drift
        cost = fee * np.abs(change).sum(axis=1) + tax * np.clip(-change, 0, None).sum(axis=1)
        after_trade = np.concatenate([[1.0], np.cumprod(value_before * (1.0 - cost))])
    else:
        after_trade = np.ones(1)

    n = price.shape[0]
    equity = np.empty(n)
    for lo in range(0, n, _CHUNK_ROWS):
        rows = slice(lo, min(lo + _CHUNK_ROWS, n))  # a view of the prices, not a copy
        k = schedule.period_of_row[rows]
        growth = cash[k] + (book[k] * (price[rows] / price[start_row[k]])).sum(axis=1)
        equity[rows] = after_trade[k] * growth
    return equity


# ---------------------------------------------------------------------------------------------
# Excursion engine


def _position_changes(schedule: _Schedule):
    """Entries and exits per rebalance, ordered by rebalance then asset: (rows, slots, sizes)."""
    held = schedule.book > 0
    opened = held[1:] & ~held[:-1]
    closed = ~held[1:] & held[:-1]
    k_in, slot_in = np.nonzero(opened)
    k_out, slot_out = np.nonzero(closed)
    entries = (schedule.trade_rows[k_in], slot_in, schedule.book[k_in + 1, slot_in])
    exits = (schedule.trade_rows[k_out], slot_out)
    still_open = np.flatnonzero(held[-1])
    return entries, exits, still_open


def _events(n_days: int, entries, exits) -> np.ndarray:
    """One day record per day; on each day the exits before the entries, each by slot."""
    from kovalt import recorder

    entry_days, entry_slots, entry_sizes = entries
    exit_days, exit_slots = exits
    days = np.arange(n_days)
    kind = np.concatenate([np.full(n_days, recorder.DATE), np.full(len(exit_days), recorder.EXIT),
                           np.full(len(entry_days), recorder.ENTRY)])
    day = np.concatenate([days, exit_days, entry_days])
    slot = np.concatenate([np.zeros(n_days, np.int64), exit_slots, entry_slots])
    size = np.concatenate([np.zeros(n_days + len(exit_days)), entry_sizes])
    place = _event_places(n_days, exit_days, exit_slots, entry_days, entry_slots)
    events = np.empty(len(day), dtype=recorder.EVENT_DTYPE)
    if place is None:
        rank = np.concatenate([np.zeros(n_days), np.ones(len(exit_days)),
                               np.full(len(entry_days), 2)])
        order = np.lexsort((slot, rank, day))
        events["kind"], events["day"] = kind[order], day[order]
        events["slot"], events["size"] = slot[order], size[order]
        return events
    events["kind"][place], events["day"][place] = kind, day
    events["slot"][place], events["size"][place] = slot, size
    return events


def _in_day_slot_order(days: np.ndarray, slots: np.ndarray, n_days: int) -> bool:
    if len(days) and (days.min() < 0 or days.max() >= n_days):
        return False
    later = days[1:] > days[:-1]
    return bool((later | ((days[1:] == days[:-1]) & (slots[1:] > slots[:-1]))).all())


def _event_places(n_days, exit_days, exit_slots, entry_days, entry_slots):
    """Where each record of _events goes (day records, then exits, then entries), as sorting them
    by (day, rank, slot) would put them; None unless the exits and the entries each come in
    (day, slot) order, as the schedule lists them."""
    if not (_in_day_slot_order(exit_days, exit_slots, n_days)
            and _in_day_slot_order(entry_days, entry_slots, n_days)):
        return None
    exits_on = np.bincount(exit_days, minlength=n_days)
    entries_on = np.bincount(entry_days, minlength=n_days)
    day_start = np.concatenate([[0], np.cumsum(1 + exits_on + entries_on)[:-1]])
    first_exit = np.concatenate([[0], np.cumsum(exits_on)[:-1]])
    first_entry = np.concatenate([[0], np.cumsum(entries_on)[:-1]])
    exit_place = (day_start[exit_days] + 1 + np.arange(len(exit_days))
                  - first_exit[exit_days])
    entry_place = (day_start[entry_days] + 1 + exits_on[entry_days]
                   + np.arange(len(entry_days)) - first_entry[entry_days])
    return np.concatenate([day_start, exit_place, entry_place]).astype(np.int64)


def _run_excursions(market: _Market, schedule: _Schedule, window: int, window_step: int):
    """Drive the native engine; returns its (trades, trade_positions, trevik) lists."""
    from kovalt import recorder, trevik

    n, m = market.price.shape
    entries, exits, still_open = _position_changes(schedule)
    events = _events(n, entries, exits)
    recorder.start_analysis(market.price, {i: i for i in range(m)}, m, window, window_step)
    recorder.replay(events)
    sizes = schedule.book[-1]
    recorder.end_analysis({int(s): float(sizes[s]) for s in still_open})
    return trevik.trades, trevik.trade_positions, trevik.trevik


def _booked_array(trades) -> np.ndarray:
    """The engine's trades ([slot, entry row, exit row] lists) as an (n, 3) int64 array, as
    np.asarray(trades, dtype=np.int64).reshape(-1, 3) gives it, without converting each list to
    an array first. Anything unexpected takes numpy's own route and its errors."""
    if isinstance(trades, list):
        try:
            if all(map((3).__eq__, map(len, trades))):
                return np.fromiter(itertools.chain.from_iterable(trades), dtype=np.int64,
                                   count=3 * len(trades)).reshape(-1, 3)
        except (TypeError, ValueError, OverflowError):
            pass
    return np.asarray(trades, dtype=np.int64).reshape(-1, 3)


def _stacked_records(records, width: int) -> np.ndarray:
    """The engine's excursion records (one float64 array of ``width`` values per trade) as one
    (n, width) array, as np.vstack gives it; one concatenation instead of a 2-d view per record."""
    if not len(records):
        return np.empty((0, width))
    if isinstance(records, list):
        try:
            if all(map(width.__eq__, map(len, records))):
                flat = np.concatenate(records)
                if flat.ndim == 1:
                    return flat.reshape(len(records), width)
        except (TypeError, ValueError):
            pass
    return np.vstack(records)


def _check_engine_trades(trades, records, n_expected: int, position: np.ndarray):
    """The engine reports failures inside its recorders without raising: make sure each booked
    trade is a holding spell of the simulation, and that none is missing."""
    booked = _booked_array(trades)
    problem = None
    if len(booked) != n_expected or len(records) != n_expected:
        problem = f"{len(booked)} trades and {len(records)} records for {n_expected} holdings"
    elif len(booked):
        slot, entry, exit_ = booked[:, 0], booked[:, 1], booked[:, 2]
        closed = exit_ >= 0
        starts = (position[entry, slot] > 0) & ((entry == 0) | (position[entry - 1, slot] == 0))
        ends = ~closed | ((position[np.where(closed, exit_, 0), slot] == 0)
                          & (position[np.where(closed, exit_ - 1, 0), slot] > 0))
        if not (starts & ends).all():
            problem = f"trade {int(np.flatnonzero(~(starts & ends))[0])} is not a holding spell"
    if problem:
        raise RuntimeError(f"the excursion engine's results disagree with the simulation "
                           f"({problem}); see the error it printed above")


# ---------------------------------------------------------------------------------------------
# Tables


def sample_offsets(window: int, window_step: int) -> list[int]:
    """Day offsets after entry at which the engine samples a trade: 0, step, 2*step, ... < window."""
    return list(range(0, window, window_step))


def excursion_table(records: np.ndarray, window: int, window_step: int,
                    index: pd.Index | None = None) -> pd.DataFrame:
    """The excursion records as a table: columns (offset, measure) for each sample offset and
    ("exit", measure) for the exit summary. Groups the engine never wrote (-1.0 throughout:
    samples beyond the end of the prices) are missing."""
    width = 6 * (len(sample_offsets(window, window_step)) + 1)
    records = np.asarray(records, dtype=np.float64).reshape(-1, width)
    return _excursion_frame(records.copy(), window, window_step, index)


def _excursion_frame(values: np.ndarray, window: int, window_step: int,
                     index: pd.Index | None) -> pd.DataFrame:
    """excursion_table over ``values`` (n x width float64), which it marks and keeps: the caller
    hands over an array nothing else uses."""
    offsets = sample_offsets(window, window_step)
    groups = values.reshape(len(values), len(offsets) + 1, 6)
    # Measure by measure: six strided comparisons are cheaper than reducing an axis of six.
    unwritten = groups[:, :, 0] == -1.0
    for j in range(1, 6):
        unwritten &= groups[:, :, j] == -1.0
    groups[unwritten] = np.nan
    columns = pd.MultiIndex.from_product([offsets + ["exit"], list(MEASURES)],
                                         names=["offset", "measure"])
    return pd.DataFrame(values, index=index, columns=columns, copy=False)


def trade_table(trades, positions, records, market_dates: pd.DatetimeIndex, assets: pd.Index,
                price: np.ndarray, pending: np.ndarray | None) -> pd.DataFrame:
    """One row per trade, in the engine's booking order, from its three result lists.

    Columns: "stock_id"; "entry_date" and "exit_date" (the dates of the trading closes; the exit
    is missing for a trade still open); "entry_sig_date" and "exit_sig_date" (the signal dates,
    one row earlier; an open trade has an exit signal date only when the last date's weights
    close it); "position" (the entry weight); "period" (rows from entry to exit, or to the last
    date when open); "entry_price", "exit_price"; and the exit summary of the excursion record:
    "return" (exit close over entry close, minus 1, before costs), "mae", "gmfe", "bmfe", "mdd"
    (fractions; mae and mdd negative), "pdays" (days in profit).
    """
    booked = np.asarray(trades, dtype=np.int64).reshape(-1, 3)
    slot, entry_row, exit_row = booked[:, 0], booked[:, 1], booked[:, 2]
    is_open = exit_row < 0
    last = len(market_dates) - 1
    at_end = np.where(is_open, last, exit_row)

    def dates_at(rows, valid):
        out = pd.DatetimeIndex(market_dates.take(np.where(valid, rows, 0)))
        return out.where(valid, pd.NaT)

    exit_signal = np.where(is_open, last, exit_row - 1)
    exit_signalled = ~is_open
    if pending is not None:
        exit_signalled = exit_signalled | (is_open & (pending[slot] == 0))
    summary = np.asarray(records, dtype=np.float64)
    summary = summary.reshape(len(booked), -1)[:, -6:] if len(booked) else np.empty((0, 6))
    table = pd.DataFrame({
        "stock_id": assets.take(slot),
        "entry_date": dates_at(entry_row, np.ones(len(booked), bool)),
        "exit_date": dates_at(exit_row, ~is_open),
        "entry_sig_date": dates_at(entry_row - 1, entry_row >= 1),
        "exit_sig_date": dates_at(exit_signal, exit_signalled),
        "position": np.asarray(positions, dtype=np.float64),
        "period": (at_end - entry_row).astype(np.int64),
        "entry_price": price[entry_row, slot],
        "exit_price": np.where(is_open, np.nan, price[np.where(is_open, 0, exit_row), slot]),
    })
    for j, measure in enumerate(MEASURES):
        table[measure] = summary[:, j]
    return table


def current_state(trades: pd.DataFrame, book_now: np.ndarray, pending: np.ndarray | None,
                  assets: pd.Index, last_date: pd.Timestamp):
    """The trades the position report covers and the action of each asset on the next date.

    Covered: the trades still open, and the entries that the last date's weights ask for.
    "weight" is the weight held now, "next_weights" the weight after the next trade.
    """
    upcoming = book_now if pending is None else pending
    open_trades = trades[trades["exit_date"].isna()]
    slots = assets.get_indexer(open_trades["stock_id"])
    held = pd.DataFrame({
        "weight": book_now[slots],
        "next_weights": upcoming[slots],
        "entry_sig_date": open_trades["entry_sig_date"].to_numpy(),
        "exit_sig_date": open_trades["exit_sig_date"].to_numpy(),
        "return": open_trades["return"].to_numpy(),
        "entry_price": open_trades["entry_price"].to_numpy(),
    }, index=pd.Index(open_trades["stock_id"]))
    new_slots = np.flatnonzero((upcoming > 0) & (book_now == 0))
    entering = pd.DataFrame({
        "weight": 0.0,
        "next_weights": upcoming[new_slots],
        "entry_sig_date": pd.DatetimeIndex([last_date] * len(new_slots)),
        "exit_sig_date": pd.DatetimeIndex([pd.NaT] * len(new_slots), tz=last_date.tz),
        "return": np.nan,
        "entry_price": np.nan,
    }, index=assets.take(new_slots))
    current = pd.concat([held, entering]) if len(entering) else held
    current = current.sort_index(kind="stable")

    actions = pd.Series("hold", index=current.index, dtype=object)
    actions[current["next_weights"].to_numpy() == 0] = "exit"
    actions[current["weight"].to_numpy() == 0] = "enter"
    return current, actions


# ---------------------------------------------------------------------------------------------
# Entry point


def run(close: pd.DataFrame, weights: pd.DataFrame, *, fee_ratio: float = DEFAULT_FEE_RATIO,
        tax_ratio: float = DEFAULT_TAX_RATIO, trade_at: str = "close", resample: str | None = None,
        benchmark: pd.Series | None = None, high: pd.DataFrame | None = None,
        low: pd.DataFrame | None = None, window: int = DEFAULT_WINDOW,
        window_step: int = DEFAULT_WINDOW_STEP, progress: Progress | None = None):
    """Back-test target ``weights`` on ``close`` prices and return a :class:`kovalt.report.Report`.

    ``close``: dates x assets. ``weights``: signal dates (a subset of the close dates) x assets
    (a subset of the close assets). ``benchmark``: the benchmark's value series, shown beside the
    strategy. ``high``/``low``: same shape as ``close``, used for the average true range.
    ``window``/``window_step``: the excursion samples, taken 0, step, 2*step, ... days (< window)
    after each entry. ``progress`` is called with the name of each stage as it starts.

    See the module documentation for the trading conventions. Bad input raises ValueError
    (TypeError for arguments of the wrong kind) naming the problem.
    """
    from kovalt.report import Report

    say = progress or (lambda stage: None)
    say("checking the input")
    if trade_at != "close":
        raise ValueError(f"trade_at must be 'close' (trades happen at the close of the row after "
                         f"the signal), got {trade_at!r}")
    fee_ratio = _check_ratio("fee_ratio", fee_ratio)
    tax_ratio = _check_ratio("tax_ratio", tax_ratio)
    window = _check_count("window", window, 0)
    window_step = _check_count("window_step", window_step, 1)
    market, close_table = _prepare(close, weights, resample)
    if benchmark is not None:
        benchmark = _check_benchmark(benchmark, market.dates)
    info = MarketInfo(close_table, _align_like("high", high, close, close_table),
                      _align_like("low", low, close, close_table), benchmark)

    say("simulating")
    schedule = _schedule(market)
    position_values = schedule.book[schedule.period_of_row]
    _check_held_prices(market, schedule, position_values)
    equity = _simulate(market, schedule, fee_ratio, tax_ratio)
    creturn = pd.Series(equity, index=market.dates)
    position = pd.DataFrame(position_values, index=market.dates, columns=market.assets,
                            copy=False)

    say("analysing excursions")
    trades, positions, records = _run_excursions(market, schedule, window, window_step)
    held = schedule.book > 0
    n_holdings = int((held[1:] & ~held[:-1]).sum())
    booked = _booked_array(trades)
    _check_engine_trades(booked, records, n_holdings, position_values)

    say("building tables")
    width = 6 * (len(sample_offsets(window, window_step)) + 1)
    stacked = _stacked_records(records, width)
    table = trade_table(booked, positions, stacked, market.dates, market.assets, market.price,
                        schedule.pending)
    # The trade table holds copies of the exit summary: the stacked records can become the
    # excursion table's own values.
    excursions = _excursion_frame(stacked, window, window_step, table.index)
    current, actions = current_state(table, schedule.book[-1], schedule.pending, market.assets,
                                     market.dates[-1])

    say("building the report")
    report = Report(creturn, position, fee_ratio, tax_ratio, trade_at, market.next_date, info)
    report.benchmark = benchmark
    report.trades = table
    report.trevik = excursions
    report.current_trades = current
    report.actions = actions
    report.resample = resample
    return report


def _align_like(name: str, table, original: pd.DataFrame, checked: pd.DataFrame):
    if table is None:
        return None
    if not isinstance(table, pd.DataFrame):
        raise TypeError(f"{name} prices must be a pandas DataFrame, not {type(table).__name__}")
    if not table.index.equals(original.index) or list(table.columns) != list(original.columns):
        raise ValueError(f"{name} prices must have exactly the dates and assets of the close "
                         f"prices")
    values = _check_numeric(f"{name} prices", table)
    return pd.DataFrame(values, index=checked.index, columns=checked.columns)


def _check_benchmark(benchmark, dates: pd.DatetimeIndex) -> pd.Series:
    if not isinstance(benchmark, pd.Series):
        raise TypeError(f"benchmark must be a pandas Series of values indexed by date, "
                        f"not {type(benchmark).__name__}")
    index = _check_dates("benchmark values", benchmark.index)
    _check_same_time_zone("close prices", dates, "the benchmark", index)
    frame = _check_numeric("benchmark values", benchmark.to_frame())
    if not index.isin(dates).any():
        raise ValueError("the benchmark shares no date with the close prices")
    if (frame[~np.isnan(frame)] <= 0).any():
        raise ValueError("benchmark values must be positive")
    return benchmark

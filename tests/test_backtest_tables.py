"""The back-test's tables against numpy's plain conversions of the engine's result lists, which
the back-test replaces by cheaper ones (one concatenation, one pass over the trades)."""

import numpy as np
import pandas as pd

from kovalt import backtest, trevik


def plain_excursion_values(records, width):
    groups = np.vstack(records).reshape(len(records), -1, 6)
    unwritten = (groups == -1.0).all(axis=2)
    return np.where(unwritten[:, :, None], np.nan, groups).reshape(len(records), width)


def test_tables_match_numpys_plain_conversions():
    rng = np.random.default_rng(11)
    dates = pd.bdate_range("2020-01-01", periods=90)
    close = pd.DataFrame(20 * np.cumprod(1 + rng.normal(0, 0.02, (90, 70)), axis=0),
                         index=dates, columns=[f"S{i}" for i in range(70)])
    signals = dates[::7]
    weights = pd.DataFrame(np.where(rng.random((len(signals), 70)) < 0.3, 0.05, 0.0),
                           index=signals, columns=close.columns)
    report = backtest.run(close, weights, window=30, window_step=4)  # samples past the end too
    trades, records = list(trevik.trades), list(trevik.trevik)
    width = len(records[0])

    values = report.trevik.to_numpy()
    assert np.isnan(values).any() and not np.isnan(values).all()
    np.testing.assert_array_equal(values, plain_excursion_values(records, width))
    expected = backtest.trade_table(np.asarray(trades, dtype=np.int64), trevik.trade_positions,
                                    np.vstack(records), report.position.index,
                                    report.position.columns, close.to_numpy(), None)
    pd.testing.assert_frame_equal(report.trades, expected)

    by_columns = np.asfortranarray(rng.random((37, 131)))
    np.testing.assert_array_equal(backtest._rows_contiguous(by_columns), by_columns)
    assert backtest._rows_contiguous(by_columns).flags.c_contiguous


def test_events_are_in_the_order_sorting_gives():
    from kovalt import recorder

    rng = np.random.default_rng(5)
    for n_days, ordered in [(40, True), (40, False), (1, True), (6, True)]:
        def changes(count):
            days, slots = rng.integers(0, n_days, count), rng.integers(0, 9, count)
            keys = np.unique(days * 9 + slots)  # one change per (day, slot), in (day, slot) order
            if not ordered:
                keys = rng.permutation(keys)
            return keys // 9, keys % 9
        exit_days, exit_slots = changes(30)
        entry_days, entry_slots = changes(30)
        sizes = rng.random(len(entry_days))
        events = backtest._events(n_days, (entry_days, entry_slots, sizes),
                                  (exit_days, exit_slots))
        kind = np.concatenate([np.full(n_days, recorder.DATE),
                               np.full(len(exit_days), recorder.EXIT),
                               np.full(len(entry_days), recorder.ENTRY)])
        day = np.concatenate([np.arange(n_days), exit_days, entry_days])
        slot = np.concatenate([np.zeros(n_days, np.int64), exit_slots, entry_slots])
        size = np.concatenate([np.zeros(n_days + len(exit_days)), sizes])
        rank = np.concatenate([np.zeros(n_days), np.ones(len(exit_days)),
                               np.full(len(entry_days), 2)])
        order = np.lexsort((slot, rank, day))
        for field, values in [("kind", kind), ("day", day), ("slot", slot), ("size", size)]:
            np.testing.assert_array_equal(events[field], values[order])

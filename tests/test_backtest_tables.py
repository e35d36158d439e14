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

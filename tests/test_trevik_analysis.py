"""Excursion records of single trades: the worked examples, the record layout and the failures of
the analysis."""

import math
import sys

import numpy as np
import pytest

import kovalt.recorder as recorder
import kovalt.trevik as trevik
from trevik_oracle import INT_MAX, excursion_record


@pytest.fixture
def reports(monkeypatch):
    caught = []
    monkeypatch.setattr(sys, "unraisablehook", caught.append)
    return caught


def trade(price, entry_day, exit_day, window, step, column=0):
    """The record of one trade of slot 0 on `price` (a matrix or one column of prices)."""
    price = np.asarray(price, dtype=float) if not isinstance(price, np.ndarray) else price
    if price.ndim == 1:
        price = price[:, None]
    recorder.start_analysis(price, {0: column}, 1, window, step)
    recorder.record_date(entry_day)
    recorder.record_entry(0, 1.0)
    recorder.record_date(exit_day)
    recorder.record_exit(0)
    return trevik.trevik[0] if trevik.trevik else None


def groups(record):
    return record.reshape(-1, 6)


def close_to(rows):
    return pytest.approx(np.array(rows, dtype=float), abs=1e-12)


def test_rising_path():
    record = trade([10, 11, 12, 13], 0, 2, window=3, step=1)
    assert record.shape == (24,) and record.dtype == np.float64
    expected = [[0, 0, 0, 0, 0, 0], [0, 0.1, 0, 0, 1, 0.1], [0, 0.2, 0, 0, 2, 0.2]]
    assert groups(record) == close_to(expected + expected[-1:])


def test_trough_before_the_peak_gives_no_favourable_excursion_before_it():
    record = trade([10, 8, 12, 9], 0, 3, window=4, step=1)
    assert groups(record)[1:] == close_to(
        [[-0.2, 0, 0, -0.2, 0, -0.2],
         [-0.2, 0.2, 0, -0.2, 1, 0.2],
         [-0.2, 0.2, 0, -0.25, 1, -0.1],
         [-0.2, 0.2, 0, -0.25, 1, -0.1]])


def test_favourable_excursion_before_the_trough_is_kept_after_a_higher_peak():
    record = trade([10, 12, 9, 15], 0, 3, window=4, step=1)
    mae, gmfe, bmfe = groups(record)[-1][:3]
    assert (mae, gmfe, bmfe) == pytest.approx((-0.1, 0.5, 0.2), abs=1e-12)


def test_open_position_is_analysed_up_to_the_current_day(reports):
    price = np.random.default_rng(3).uniform(5, 15, (40, 6))
    recorder.start_analysis(price, {4: 5}, 6, 20, 2)
    recorder.record_date(12)
    recorder.record_entry(4, 0.25)
    recorder.record_date(30)
    assert recorder.end_analysis({4: 0.25}) is None
    assert trevik.trades == [[4, 12, -1]] and trevik.trade_positions == [0.25]
    record = trevik.trevik[0]
    assert record.shape == (6 * 9 + 12,)
    samples, summary = record[:-6].reshape(-1, 6), record[-6:]
    assert summary.tolist() == samples[9].tolist()  # the sample 18 days after entry
    assert summary[5] == pytest.approx(price[30, 5] / price[12, 5] - 1)
    assert samples[0].tolist() == [0.0] * 6 and not reports


@pytest.mark.parametrize(
    "prices, expected",
    [
        ([10, math.nan, 11], [[0] * 6, [0] * 6, [0, 0.1, 0, 0, 1, 0.1]]),
        ([10, 11, math.nan], [[0] * 6, [0, 0.1, 0, 0, 1, 0.1], [0, 0.1, 0, 0, 2, 0.1]]),
        ([math.nan, 10, 11], [[0] * 6, [0] * 6, [0, 0.1, 0, 0, 1, 0.1]]),
        ([0, math.nan, math.nan], [[0] * 6] * 3),
    ],
    ids=["missing-day", "missing-day-in-profit", "missing-entry-price", "zero-never-followed"],
)
def test_days_without_a_price_repeat_the_growth(prices, expected):
    assert groups(trade(prices, 0, 2, window=3, step=1))[:3] == close_to(expected)


@pytest.mark.parametrize(
    "rows, entry_day, exit_day, window, step, unwritten_groups, exit_offset",
    [
        (9, 1, 3, 0, 1, [], 2),  # no window: only the exit summary
        (9, 1, 3, 3, 5, [], 2),  # one sample
        (5, 2, 3, 6, 1, [3, 4, 5], 1),  # matrix ends within the window
        (9, 5, 2, 3, 1, [], 3),  # exit before entry: the last analysed day
        (9, 1, 7, 4, 2, [], 6),  # held beyond the window
    ],
)
def test_record_layout(rows, entry_day, exit_day, window, step, unwritten_groups, exit_offset):
    price = np.random.default_rng(rows).uniform(1, 2, rows)
    record = trade(price, entry_day, exit_day, window, step)
    record_groups = record.reshape(-1, 6)
    assert len(record) == 6 * ((window - 1) // step) + 12
    written = [g for g in range(len(record_groups) - 1) if g not in unwritten_groups]
    assert all((record_groups[g] == -1).all() for g in unwritten_groups)
    assert not any((record_groups[g] == -1).all() for g in written)
    growth = price[entry_day + exit_offset] / price[entry_day]
    assert record[-1] == pytest.approx(growth - 1)


@pytest.mark.parametrize(
    "prices, entry_day, window, step, column, error",
    [
        ([10, 0, 5], 0, 3, 1, 0, (ZeroDivisionError, "float division")),
        ([0, math.nan, 5], 0, 3, 0, 0, (ZeroDivisionError, "float division")),  # ranks first
        ([10, 11, 12], 0, 3, 0, 0, (ZeroDivisionError, "integer division or modulo by zero")),
        ([10, 11, 12], 0, -5, 2, 0, (ValueError, "negative dimensions are not allowed")),
        ([10, 11, 12], 0, -1, 1, 0, (IndexError, "Out of bounds on buffer access (axis 0)")),
        ([10, 11, 12], 3, 3, 1, 0, (IndexError, "index 3 is out of bounds for axis 0 with size 3")),
        ([10, 11, 12], 4, 3, 1, 0, (OverflowError, "can't convert negative value to size_t")),
        ([10, 11, 12], 0, 3, 1, 2, (IndexError, "index 2 is out of bounds for axis 0 with size 1")),
        ([10, 11, 12], 0, 3, 1, -2, (IndexError, "index -2 is out of bounds for axis 0 with size 1")),
    ],
)
def test_failed_analysis_is_reported_and_books_nothing(
    reports, prices, entry_day, window, step, column, error
):
    assert trade(prices, entry_day, 2, window, step, column) is None
    assert trevik.trades == [] and trevik.trade_positions == []
    [report] = reports
    assert (report.exc_type, str(report.exc_value)) == error
    assert report.object == "kovalt.trevik.record_exit"


def test_matrix_with_too_many_rows_for_an_int(reports):
    huge = np.lib.stride_tricks.as_strided(np.ones(2), shape=(2**31, 2), strides=(0, 8))
    assert trade(huge, 0, 2, 3, 1) is None
    assert (reports[0].exc_type, str(reports[0].exc_value)) == (
        OverflowError, "value too large to convert to int")


def native_and_model(price, entry_day, exit_day, window, step, column, reports):
    native = trade(price, entry_day, exit_day, window, step, column)
    try:
        expected = excursion_record(price, column, entry_day, exit_day, window, step)
    except Exception as error:  # noqa: BLE001 - the comparison covers the error
        assert native is None
        assert (reports[0].exc_type, str(reports[0].exc_value)) == (type(error), str(error))
        return
    assert native.tobytes() == expected.tobytes()


def test_negative_days_and_columns_count_from_the_end(reports):
    price = np.random.default_rng(5).uniform(1, 2, (6, 3))
    native_and_model(price, -2, 1, 3, 1, -1, reports)  # rows 4, 5, 0, 1 of the last column
    assert trade(price, 0, 4, 5, 2, -1).tobytes() == trade(price, 0, 4, 5, 2, 2).tobytes()
    assert not reports


def test_entry_day_near_the_int_limit_wraps_the_horizon(reports):
    price = np.ones((4, 1))
    native_and_model(price, INT_MAX - 1, 1, 5, 1, 0, reports)
    assert str(reports[0].exc_value) == "can't convert negative value to size_t"


def reshaped(price):
    price.resize((4, 3), refcheck=False)
    return price


@pytest.mark.parametrize(
    "change",
    [
        lambda price: price.view(np.int64).__setitem__(..., price.view(np.int64) % 97) or price,
        lambda price: setattr(price, "dtype", np.dtype(">f8")) or price,
        lambda price: setattr(price, "dtype", np.dtype(np.int64)) or price,
        reshaped,
    ],
    ids=["values", "byte-order", "dtype", "resized"],
)
def test_matrix_changed_after_start_is_read_as_it_is_now(reports, change):
    price = np.random.default_rng(8).uniform(1, 2, (9, 3))
    recorder.start_analysis(price, {0: 1}, 1, 3, 1)
    changed = change(price)
    recorder.record_date(1)
    recorder.record_entry(0, 1.0)
    recorder.record_date(3)
    recorder.record_exit(0)
    expected = excursion_record(changed, 1, 1, 3, 3, 1)
    assert not reports and trevik.trevik[0].tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "matrix, error",
    [
        (None, (AttributeError, "'NoneType' object has no attribute 'shape'")),
        (memoryview(np.ones((3, 2))),
         (NotImplementedError, "multi-dimensional sub-views are not implemented")),
    ],
)
def test_matrices_without_numpy_item_access_fail_the_analysis(reports, matrix, error):
    recorder.start_analysis(matrix, {}, 1, 2, 1)
    assert not reports  # accepted by start_analysis
    recorder.record_exit(0)
    assert (reports[0].exc_type, str(reports[0].exc_value)) == error

"""last_trading_date: the native scan of a numeric position table against pandas' own
diff().abs().sum(axis=1) route (KOVALT_LAST_TRADING_DATE_PATH=literal)."""

import os
from contextlib import contextmanager

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kovalt.report import Report

ROUTE = "KOVALT_LAST_TRADING_DATE_PATH"

FLOATS = [0.0, -0.0, 1.0, 0.5, np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324, 3e38, -3e38]
DTYPES = ["float64", "float32", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32",
          "uint64", "bool"]


def cell_pool(dtype: str) -> list:
    if dtype.startswith("float"):
        return FLOATS
    if dtype == "bool":
        return [False, True]
    info = np.iinfo(dtype)
    return [0, 1, 2, int(info.min), int(info.max), int(info.max) - 1]


@contextmanager
def route(name: str):
    previous = os.environ.get(ROUTE)
    os.environ[ROUTE] = name
    try:
        yield
    finally:
        if previous is None:
            del os.environ[ROUTE]
        else:
            os.environ[ROUTE] = previous


def last_trading_date(position, name: str):
    with route(name):
        return Report(None, position, 0.0, 0.0, "close", None, None).last_trading_date


def outcome(position, name: str):
    try:
        return "value", last_trading_date(position, name)
    except Exception as error:  # noqa: BLE001 - the error itself is the result compared
        return "error", (type(error), str(error))


@st.composite
def numeric_tables(draw):
    dtype = draw(st.sampled_from(DTYPES))
    rows = draw(st.integers(1, 7))
    columns = draw(st.integers(1, 4))
    pool = cell_pool(dtype)
    # Repeating earlier rows makes unchanged days (and all-equal tables) common.
    values = [draw(st.lists(st.sampled_from(pool), min_size=columns, max_size=columns))]
    for _ in range(rows - 1):
        repeat = draw(st.booleans())
        values.append(values[-1] if repeat else
                      draw(st.lists(st.sampled_from(pool), min_size=columns, max_size=columns)))
    with np.errstate(over="ignore"):  # 1e308 as float32 is inf, one more infinity to test
        cells = np.array(values, dtype=object).astype(dtype)
    layout = draw(st.sampled_from(["C", "F", "strided", "columns"]))
    labels = [f"A{j}" for j in range(columns)]
    dates = pd.date_range("2024-01-01", periods=rows)
    index = draw(st.sampled_from(["sorted", "shuffled", "repeated", "integers"]))
    if index == "shuffled":
        dates = dates[draw(st.permutations(range(rows)))]
    elif index == "repeated":
        dates = dates[np.minimum(np.arange(rows), 1)]
    elif index == "integers":
        dates = pd.Index(np.arange(rows)[::-1])
    if layout == "columns":  # one array per column
        return pd.DataFrame({label: cells[:, j].copy() for j, label in enumerate(labels)},
                            index=dates)
    if layout == "strided":  # every other row and column of a larger array
        wide = np.zeros((2 * rows, 2 * columns), dtype=dtype)
        wide[::2, ::2] = cells
        cells = wide[::2, ::2]
    elif layout == "F":
        cells = np.asfortranarray(cells)
    return pd.DataFrame(cells, index=dates, columns=labels, copy=False)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(numeric_tables())
def test_the_scan_finds_the_date_pandas_finds(position):
    expected = last_trading_date(position, "literal")
    found = last_trading_date(position, "fast")
    assert type(found) is type(expected) and found == expected, position


def other_tables():
    dates = pd.date_range("2024-01-01", periods=4)
    numbers = [0.0, 0.5, 0.5, np.nan]
    return {
        "mixed dtypes": pd.DataFrame({"a": numbers, "b": np.array([1, 1, 2, 2], np.int64)},
                                     index=dates),
        "object numbers": pd.DataFrame({"a": pd.array(numbers, dtype=object)}, index=dates),
        "text": pd.DataFrame({"a": ["x", "y", "y", "z"]}, index=dates),
        "nullable integers": pd.DataFrame({"a": pd.array([1, None, 1, 2], dtype="Int64")},
                                          index=dates),
        "float16": pd.DataFrame({"a": np.array(numbers, np.float16)}, index=dates),
        "datetimes": pd.DataFrame({"a": dates[[0, 0, 1, 1]]}, index=dates),
        "no columns": pd.DataFrame(index=dates, columns=pd.Index([], dtype=str)),
    }


@pytest.mark.parametrize("name", list(other_tables()))
def test_other_tables_keep_pandas_results_and_errors(name):
    position = other_tables()[name]
    assert outcome(position, "automatic") == outcome(position, "literal")
    with pytest.raises(RuntimeError, match="position change scan refused"):
        last_trading_date(position, "fast")

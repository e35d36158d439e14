import numpy as np
import pandas as pd
import pytest

NAN = np.nan
INDEX = pd.to_datetime(["2024-01-02", "2024-01-05", "2024-01-09"])
TABLE = pd.DataFrame({"2330": [1.0, 2.0, 3.0], "1101": [10.0, 20.0, 30.0]}, index=INDEX)


@pytest.fixture(params=["auto", "literal"])
def path(request, monkeypatch):
    """Runs a test on the lookup path and again on the reference algorithm."""
    monkeypatch.setenv("KOVALT_TRADE_INFO_PATH", request.param)
    return request.param


def reference_trade_info(trades, name, df, date_col="entry_sig_date"):
    """The reindex / unstack / lookup algorithm in plain pandas, as the tests' oracle."""
    dates = trades[date_col]
    sids = trades["stock_id"].str.split(" ").str[0]
    table = df.copy()
    table.index = table.index.tz_localize(None)
    if table.index.is_monotonic_decreasing and not table.index.is_monotonic_increasing:
        table = table.iloc[::-1]
    table[sids[~sids.isin(df.columns)].tolist()] = np.nan
    filled = table.reindex(set(dates), method="ffill")
    filled = filled[filled.index.notna()]
    dated = dates.notna().to_numpy()
    pairs = pd.Index(data=list(zip(sids[dated], dates[dated])))
    looked = filled.unstack().loc[pairs].values
    values = pd.Series(looked, index=np.flatnonzero(dated)).reindex(pd.RangeIndex(len(dates)))
    trades[name] = values.values
    if not dated.all():
        trades.loc[~dated, name] = np.nan


def edge_trades():
    return pd.DataFrame({
        "stock_id": ["2330 台積電", "2330", "1101 台泥", "2330", "9999 absent", "1101", "2330"],
        "entry_sig_date": pd.to_datetime(["2024-01-01", "2024-01-03", "2024-01-05", None,
                                          "2024-01-06", "2024-02-01", "2024-01-05 13:30"], format="ISO8601"),
    })


# before first row, between rows, exact date, null date, absent stock, after last, intraday
EDGE_EXPECTED = [NAN, 1.0, 20.0, NAN, NAN, 30.0, 2.0]


@pytest.mark.parametrize(
    "table",
    [TABLE, TABLE.tz_localize("Asia/Taipei"), TABLE.tz_localize("UTC"), TABLE.iloc[::-1]],
    ids=["naive", "taipei", "utc", "descending"],
)
def test_each_trade_gets_the_latest_value_on_or_before_its_date(report, path, table):
    report.trades = edge_trades()
    assert report.add_trade_info("info", table) is None
    np.testing.assert_array_equal(report.trades["info"].to_numpy(), EDGE_EXPECTED)


@pytest.mark.parametrize("table", [TABLE, TABLE.tz_localize("Asia/Taipei")], ids=["naive", "tz"])
def test_the_lookup_path_serves_the_common_case(report, monkeypatch, table):
    monkeypatch.setenv("KOVALT_TRADE_INFO_PATH", "fast")
    report.trades = edge_trades()
    report.add_trade_info("info", table)
    np.testing.assert_array_equal(report.trades["info"].to_numpy(), EDGE_EXPECTED)
    with pytest.raises(RuntimeError, match="not strictly increasing"):
        report.add_trade_info("info", table.iloc[::-1])


def test_adding_under_an_existing_label_overwrites_in_place(report, path):
    trades = report.trades
    trades.insert(1, "info", "old")
    report.add_trade_info("info", TABLE, date_col="exit_sig_date")
    assert report.trades is trades
    assert list(trades.columns).index("info") == 1
    np.testing.assert_array_equal(trades["info"].to_numpy(), [1.0, NAN, NAN])


@pytest.mark.parametrize(
    "dtype, stock, date, expected",
    [
        ("int64", "2330", "2024-01-05", "int64"),
        ("int64", "9999", "2024-01-05", "float64"),   # an absent stock brings NaN
        ("int64", "2330", "2024-01-01", "float64"),   # a date before the first row too
        ("int64", "2330", None, "float64"),
        ("uint8", "2330", "2024-01-05", "uint8"),
        ("float32", "2330", "2024-01-01", "float32"),
        ("float32", "9999", "2024-01-05", "float64"),
        ("bool", "2330", "2024-01-05", "bool"),
        ("bool", "2330", "2024-01-01", "object"),
    ],
)
def test_column_dtype_follows_the_table_and_the_gaps(report, path, dtype, stock, date, expected):
    report.trades = pd.DataFrame({"stock_id": ["1101", stock],
                                  "entry_sig_date": pd.to_datetime(["2024-01-09", date])})
    report.add_trade_info("info", TABLE.astype(dtype))
    assert report.trades["info"].dtype == expected


THREE_DATES = pd.to_datetime(["2024-01-03", "2024-01-05", "2024-01-09"])


@pytest.mark.parametrize(
    "stock_ids, dates, table",
    [
        (["2330 a", "1101", "2330"], THREE_DATES,
         pd.DataFrame({"2330": ["a", "b", "c"], "1101": [1, 2.5, None]}, index=INDEX)),
        (pd.Series(["2330 a", None, "1101"], dtype=object), THREE_DATES, TABLE),
        (pd.Series(["2330 a", 5, "1101"], dtype=object), THREE_DATES, TABLE),
        (pd.Series(["2330 a", "1101 b", "1101"], dtype="category"), THREE_DATES, TABLE),
        ([2330, 1101, 5], THREE_DATES, TABLE),                       # no .str on integers
        (["2330", "1101", "2330"], ["2024-01-03", "2024-01-05", None], TABLE),
        (["2330", "1101", "2330"], THREE_DATES.tz_localize("UTC"), TABLE),
        (["2330", "1101", "2330"], THREE_DATES, TABLE.set_axis(["2330", "2330"], axis=1)),
        (["2330", "1101", "2330"], THREE_DATES, TABLE.set_axis([2330, 1101], axis=1)),
    ],
)
def test_other_inputs_behave_as_the_reference_algorithm(report, path, stock_ids, dates, table):
    report.trades = pd.DataFrame({"stock_id": stock_ids, "entry_sig_date": dates})
    expected = report.trades.copy()
    try:
        reference_trade_info(expected, "info", table)
    except Exception as error:  # the same pandas error must come through
        with pytest.raises(type(error)):
            report.add_trade_info("info", table)
        return
    report.add_trade_info("info", table)
    pd.testing.assert_frame_equal(report.trades, expected)


UTC_HOURS = pd.date_range("2021-11-07 04:00", periods=4, freq="h", tz="UTC")


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"df": TABLE, "date_col": "no such column"}, KeyError),
        ({"df": TABLE.reset_index(drop=True)}, AttributeError),            # not a date index
        ({"df": TABLE.iloc[[1, 0, 2]]}, ValueError),                        # unsorted
        ({"df": TABLE.iloc[[0, 1, 1, 2]]}, ValueError),                     # repeated date
        ({"df": TABLE.set_axis(INDEX.insert(0, pd.NaT)[:3])}, ValueError),  # NaT in the index
        # 01:00 happens twice in New York that night: the wall times repeat
        ({"df": pd.DataFrame({"2330": range(4)}, index=UTC_HOURS.tz_convert("America/New_York"))},
         ValueError),
    ],
)
def test_pandas_errors_pass_and_leave_trades_unchanged(report, path, kwargs, error):
    trades = report.trades
    before = trades.copy()
    with pytest.raises(error) as excinfo:
        report.add_trade_info("info", **kwargs)
    assert report.trades is trades
    pd.testing.assert_frame_equal(trades, before)
    assert "kovalt.report.Report.add_trade_info" in [
        entry.frame.code.raw.co_name for entry in excinfo.traceback]


def random_case(seed):
    rng = np.random.default_rng(seed)
    unit = lambda: rng.choice(["s", "ms", "us", "ns"])
    days = np.sort(rng.choice(400, size=rng.integers(1, 40), replace=False))
    index = (pd.Timestamp("2020-01-01") + pd.to_timedelta(days, "D")).as_unit(unit())
    tz = rng.choice(["", "Asia/Taipei", "America/New_York"])
    if tz:
        index = index.tz_localize(tz)
    stocks = [str(1000 + i) for i in range(rng.integers(1, 9))]
    dtype = rng.choice(["float64", "float32", "int64", "int32", "uint16"])
    cells = rng.integers(0, 1000, size=(len(index), len(stocks))).astype(dtype)
    table = pd.DataFrame(cells, index=index, columns=stocks)
    if dtype.startswith("float"):
        table = table.mask(rng.random(table.shape) < 0.1)
    n = int(rng.integers(1, 80))
    ids = rng.choice(stocks + ["9999", "8888"], size=n)  # repeats and absent stocks
    names = np.where(rng.random(n) < 0.5, ids + " name", ids)
    offsets = pd.to_timedelta(rng.integers(-20, 420, size=n), "D") + pd.to_timedelta(
        rng.integers(0, 24, size=n) * (rng.random(n) < 0.3), "h")
    dates = pd.Series(pd.Timestamp("2020-01-01") + offsets).dt.as_unit(unit())
    dates = dates.mask(rng.random(n) < 0.1)  # NaT
    trades = pd.DataFrame({"stock_id": names, "entry_sig_date": dates, "other": np.arange(n)})
    return trades, table


@pytest.mark.parametrize("seed", range(60))
def test_lookup_path_equals_the_reference_algorithm_on_random_tables(report, monkeypatch, seed):
    trades, table = random_case(seed)
    results = {}
    for mode in ["fast", "literal"]:
        monkeypatch.setenv("KOVALT_TRADE_INFO_PATH", mode)
        report.trades = trades.copy()
        report.add_trade_info("info", table)
        results[mode] = report.trades
    expected = trades.copy()
    reference_trade_info(expected, "info", table)
    pd.testing.assert_frame_equal(results["fast"], results["literal"])
    pd.testing.assert_frame_equal(results["fast"], expected)


@pytest.mark.parametrize(
    "name, columns",
    [("return", ["stock_id", "entry_sig_date", "exit_sig_date"]),
     ("absent", ["stock_id", "entry_sig_date", "exit_sig_date", "return"])],
)
def test_remove_trade_info_rebinds_a_table_without_the_column(report, name, columns):
    original = report.trades
    report.remove_trade_info(name)
    assert list(report.trades.columns) == columns
    assert report.trades is not original and "return" in original.columns


@pytest.mark.parametrize(
    "values, n, expected",
    [
        ([1.0, 1.1, 1.21], 1, 0.1),
        ([1.0, 1.1, 1.21], 2, 0.21),
        ([1.0, 1.1, 1.21], 0, 0.0),
        ([1.0, 1.1, 1.21], -1, 0.21),      # position 0: the last value against the first
        ([1.0, 1.1, 1.21], 3, IndexError),
        ([1.0, NAN, 1.21], 1, NAN),
        (pd.Series([0, 5], dtype=object), 1, ZeroDivisionError),
    ],
)
def test_ndays_return(values, n, expected):
    from kovalt.report import Report

    creturn = pd.Series(values)
    if isinstance(expected, type):
        with pytest.raises(expected):
            Report.get_ndays_return(creturn, n)
    else:
        assert Report.get_ndays_return(n=n, creturn=creturn) == pytest.approx(expected, nan_ok=True)

"""Repeated native calls keep memory and the reference counts of their arguments flat.

Each check warms the entry point up, then makes 20,000 calls and compares the process's resident
memory and the reference counts of the objects handed in with their values before the calls. The
inputs are sized so that a leaked result or argument per call would add far more than the limit.
Run ``python -m pytest -m leak -rP tests/test_native_leaks.py`` to see the measured figures.
"""

import contextlib
import gc
import os
import sys
import weakref

import pytest

from cpython_only import ON_PYPY, REFCOUNT_REASON

if ON_PYPY:
    pytest.skip(REFCOUNT_REASON, allow_module_level=True)

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import psutil  # noqa: E402

import kovalt.recorder as recorder  # noqa: E402
import kovalt.trevik as trevik  # noqa: E402
from kovalt.ulmora import str_to_bytearray  # noqa: E402

pytestmark = pytest.mark.leak

CALLS = 20_000
WARM_UP = 2_000
RSS_LIMIT = 2 * 1024 * 1024
BLOCK_LIMIT = CALLS // 10  # one object kept per call would add CALLS


def measure(call, watched=()):
    """Runs `call` CALLS times after a warm-up.

    Returns the growth of resident memory, of the interpreter's allocated memory blocks (every
    object that stays alive holds one: a leaked small result shows here long before it shows in
    resident memory) and the changes of the watched objects' reference counts.
    """
    for _ in range(WARM_UP):
        call()
    gc.collect()
    counts = refcounts(watched)
    blocks = sys.getallocatedblocks()
    rss = psutil.Process().memory_info().rss
    for _ in range(CALLS):
        call()
    gc.collect()
    growth = psutil.Process().memory_info().rss - rss
    block_growth = sys.getallocatedblocks() - blocks
    changes = [after - before for after, before in zip(refcounts(watched), counts)]
    return growth, block_growth, changes


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def check(name, call, watched=()):
    growth, block_growth, changes = measure(call, watched)
    print(f"{name}: {CALLS} calls, resident memory {growth / 1024:+.0f} KiB, "
          f"allocated blocks {block_growth:+d}, reference counts {changes}")
    assert growth < RSS_LIMIT
    assert block_growth < BLOCK_LIMIT
    assert changes == [0] * len(watched)


@pytest.mark.parametrize("width", [0x7F, 0xFF, 0xFFFF, 0x10FFFF])
def test_str_to_bytearray(width):
    # 2,000 characters: a leaked text or result would add 40 MB or more over the run.
    text = "".join(chr(width - k % 64) for k in range(2_000))
    check(f"str_to_bytearray(max U+{width:04X})", lambda: str_to_bytearray(text), [text])


def test_str_to_bytearray_refusals():
    wrong = [b"x" * 1_000, ["x"] * 200]
    check("str_to_bytearray refusals", lambda: [_refuse(value) for value in wrong], wrong)


def _refuse(value):
    try:
        str_to_bytearray(value)
    except TypeError:
        return
    raise AssertionError("accepted a non-text argument")


# ---------------------------------------------------------------- the excursion engine

SLOTS = range(4)
COLUMN_OF = {slot: 3 - slot for slot in SLOTS}
WIDE_WINDOW, WIDE_STEP = 200, 2  # records of 606 values: a leaked one shows at once


def prices(rows=400, cols=4):
    return np.linspace(10.0, 20.0, rows * cols).reshape(rows, cols)


def clear_results(expected_count):
    """Empties the result lists after checking that every trade since the last call was booked."""
    lists = (trevik.trades, trevik.trade_positions, trevik.trevik)
    assert [len(results) for results in lists] == [expected_count] * 3
    for results in lists:
        results.clear()


@contextlib.contextmanager
def quiet_unraisable():
    """Reported failures go nowhere: neither to the hook's default printing nor to stderr."""
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: None
    with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
        try:
            yield
        finally:
            sys.unraisablehook = previous


def test_start_analysis_releases_each_matrix_at_the_next_start():
    # Keys and values above 256: the interpreter shares small ints, so only these have counts
    # that tell whether the engine's copy of the map holds on to them.
    pos2price = {10_000 + slot: 20_000 + slot for slot in range(8)}
    keys_and_values = [*pos2price, *pos2price.values()]
    matrix = prices()
    before = refcounts([matrix])
    recorder.start_analysis(matrix, pos2price, 4, 20, 5)
    alive = weakref.ref(matrix)
    recorder.start_analysis(prices(), pos2price, 4, 20, 5)
    assert refcounts([matrix]) == before
    del matrix
    assert alive() is None

    # A fresh matrix of 12.8 kB per call: keeping any of them would add 250 MB.
    check("start_analysis", lambda: recorder.start_analysis(prices(), pos2price, 64, 20, 5),
          [pos2price, *keys_and_values])


def test_entries_and_exits_with_analysis():
    recorder.start_analysis(prices(), COLUMN_OF, 4, WIDE_WINDOW, WIDE_STEP)
    calls = 0

    def trade():
        nonlocal calls
        calls += 1
        slot = calls % 4
        recorder.record_date(calls % 150)
        recorder.record_entry(slot, 0.25)
        recorder.record_date(calls % 150 + 30)
        recorder.record_exit(slot)
        if calls % 100 == 0:
            assert len(trevik.trevik[-1]) == 606
            clear_results(100)

    check("record_entry + record_exit", trade, [COLUMN_OF])


def test_end_analysis():
    recorder.start_analysis(prices(), COLUMN_OF, 4, WIDE_WINDOW, WIDE_STEP)
    recorder.record_date(120)
    open_positions = {slot: 0.5 for slot in SLOTS}

    def book():
        recorder.end_analysis(open_positions)
        clear_results(len(SLOTS))

    check("end_analysis", book, [open_positions])


def test_replay():
    recorder.start_analysis(prices(), COLUMN_OF, 4, WIDE_WINDOW, WIDE_STEP)
    events = np.zeros(4, dtype=recorder.EVENT_DTYPE)
    events["kind"] = [recorder.DATE, recorder.ENTRY, recorder.DATE, recorder.EXIT]
    events["day"] = [5, 0, 60, 0]
    events["slot"] = [0, 2, 0, 2]
    events["size"] = [0.0, 0.75, 0.0, 0.0]

    def replay():
        recorder.replay(events)
        clear_results(1)

    check("replay", replay, [events])


def test_failing_calls():
    """The error paths: refused matrices, out-of-range slots, failing analyses, raising ends."""
    recorder.start_analysis(prices(), COLUMN_OF, 4, WIDE_WINDOW, WIDE_STEP)
    wrong_matrix = np.ones((40, 4), dtype=np.float32)
    bad_slots = {7: 1.0}
    zero_prices = np.zeros((400, 4))

    def fail():
        recorder.start_analysis(wrong_matrix, COLUMN_OF, 4, 3, 1)  # refused: nothing changes
        recorder.record_entry(9, 1.0)
        recorder.record_exit(-9)
        try:
            recorder.end_analysis(bad_slots)
        except IndexError:
            pass
        else:
            raise AssertionError("end_analysis booked a slot beyond the arrays")

    with quiet_unraisable():
        check("failing calls", fail, [wrong_matrix, bad_slots, COLUMN_OF])
        recorder.start_analysis(zero_prices, COLUMN_OF, 4, WIDE_WINDOW, WIDE_STEP)
        recorder.record_date(50)
        check("failing analyses", lambda: recorder.record_exit(1), [zero_prices])
    assert trevik.trevik == []


# ---------------------------------------------------------------- kovalt.report
# The methods whose work is native: argument binding, the guard's function objects, the trade
# information lookup and n-day returns. The others (position_info, the figures, upload) spend
# milliseconds per call in pandas and plotly; 20,000 calls of them would take minutes.


@pytest.fixture
def lookup_table(report):
    stocks = ["2330", "1101", "2317", "2454"]
    dates = pd.date_range("2023-12-01", periods=60, freq="D")
    return pd.DataFrame(np.linspace(1.0, 2.0, 60 * 4).reshape(60, 4), index=dates, columns=stocks)


def test_add_and_remove_trade_info(report, lookup_table, monkeypatch):
    monkeypatch.setenv("KOVALT_TRADE_INFO_PATH", "fast")  # the native lookup, or an error
    name = "".join(["close_", "price"])  # a text of its own, not an interned constant
    date_col = "entry_sig_date"

    def add():
        report.add_trade_info(name, lookup_table, date_col=date_col)

    check("add_trade_info", add, [report, name, lookup_table, date_col])
    assert report.trades[name].notna().all()
    report.remove_trade_info(name)
    assert name not in report.trades.columns
    # Each call still compares every column with the name and replaces the table.
    check("remove_trade_info", lambda: report.remove_trade_info(name), [report, name])


def test_get_ndays_return(report):
    from kovalt.report import Report

    creturn = pd.Series(np.linspace(1.0, 2.0, 400))
    n = 10**6 // 10**4  # not a cached small int
    check("get_ndays_return", lambda: Report.get_ndays_return(creturn, n=n), [creturn, n])


def test_argument_binding_refusals(report):
    from kovalt.report import Report

    unknown = {"".join(["no_", "such"]): 1}

    def refuse():
        for call in (lambda: report.add_trade_info(), lambda: Report.get_ndays_return(1, 2, 3),
                     lambda: report.get_trades(**unknown)):
            try:
                call()
            except TypeError:
                continue
            raise AssertionError("a wrong call was accepted")

    check("argument binding refusals", refuse, [report, unknown])


def test_asset_type_guard(report):
    from kovalt.report import allow_asset_types

    allowed, refused = ["tw_stock"], ["crypto"]

    def method(self, value=None):
        return value

    payload = object()
    guarded = allow_asset_types(allowed)(method)
    blocked = allow_asset_types(refused)(method)

    def call():
        assert guarded(report, value=payload) is payload
        try:
            blocked(report)
        except Exception as error:  # noqa: BLE001 - the guard raises a plain Exception
            assert type(error) is Exception
        else:
            raise AssertionError("the guard let a crypto-only method run on a stock report")

    check("allow_asset_types wrappers", call, [report, allowed, refused, payload, method])
    check("allow_asset_types decorating", lambda: allow_asset_types(allowed)(method),
          [allowed, method])

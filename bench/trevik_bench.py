"""Excursion engine throughput against baselines measured in the same run.

Workload 1: a 5,000-day x 2,000-stock float64 matrix (random walks, 1% NaN) and 100,000 trades,
holding periods geometric with mean 20 days (cap 250), window 60, step 5, driven natively through
kovalt.recorder.replay. On the same trades:
  (a) a straightforward numba-compiled per-trade loop over price[:, col], run two ways: all
      trades in one compiled call writing one 2-D array, and one call per trade returning its
      record (one array per trade, as the engine books them),
  (b) a numpy-vectorised per-trade reference (cumulative products, maxima and minima),
  (c) the plain-Python model of tests/trevik_oracle.py on a 1,000-trade subsample.
Workload 2: 2,000 trades held 1,000 days on the same matrix.
Limits, built here with g++: the same column walks in plain C++ (bench/column_walk.cpp), the
loads alone and with the engine's per-day arithmetic; and the Python objects the engine books per
trade, made and appended with nothing else (bench/result_objects.cpp).

Times are the CPU time of this thread (the machine may be shared), best of several runs where
cheap; wall time is printed alongside. Records of (a) and (b) are checked bit for bit against the
engine's, and those of (c) as well.

On PyPy (pypy3 bench/trevik_bench.py from a PyPy environment with kovalt installed) numba, the
result-object limit (it hands lists to C through ctypes.py_object, which only CPython has) and the
peak-memory figures (no tracemalloc) are skipped; the engine's figures then show what booking the
per-trade Python objects through PyPy's C-API emulation costs against the CPython run.

Usage: python bench/trevik_bench.py [--trades N] [--quick]   (--quick: numpy on 5,000 trades)
"""

import argparse
import ctypes
import gc
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import platform
import time

import numpy as np

try:
    import numba
except ImportError:  # PyPy: numba supports CPython only
    numba = None
try:
    import tracemalloc
except ImportError:  # PyPy has no allocation tracing
    tracemalloc = None

import kovalt.recorder as recorder
import kovalt.trevik as trevik

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from trevik_oracle import excursion_record  # noqa: E402

ROWS, STOCKS = 5000, 2000
WINDOW, STEP = 60, 5
RECORD_SIZE = 6 * ((WINDOW - 1) // STEP) + 12
ON_CPYTHON = platform.python_implementation() == "CPython"
njit = numba.njit(cache=False) if numba is not None else (lambda function: function)


# ---------------------------------------------------------------------------------------------
# Workloads


def price_matrix(rng):
    price = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, (ROWS, STOCKS)), axis=0))
    price[rng.random((ROWS, STOCKS)) < 0.01] = np.nan
    return price


def holding_trades(rng, count):
    """Non-overlapping trades per stock (slot = column): geometric gaps and holding periods."""
    per_stock = count // STOCKS + 10
    holds = np.minimum(rng.geometric(1 / 20, (STOCKS, per_stock)), 250)
    gaps = rng.geometric(1 / 75, (STOCKS, per_stock))
    entries = np.cumsum(gaps + np.c_[np.zeros(STOCKS, int), holds[:, :-1]], axis=1)
    exits = entries + holds
    slots = np.broadcast_to(np.arange(STOCKS)[:, None], entries.shape)
    inside = exits < ROWS
    slots, entries, exits = slots[inside], entries[inside], exits[inside]
    first = np.argsort(entries, kind="stable")[:count]  # a prefix of each stock's trades
    if len(first) < count:
        raise SystemExit(f"only {len(first)} trades fit the matrix")
    return slots[first], entries[first], exits[first]


def long_trades(rng, count, hold):
    slots = rng.permutation(STOCKS)[:count]
    entries = rng.integers(0, ROWS - hold, count)
    return slots, entries, entries + hold


def events_of(slots, entries, exits):
    """One DATE event per day that has trades, then its exits, then its entries."""
    days = np.unique(np.r_[entries, exits])
    n = len(slots)
    events = np.zeros(len(days) + 2 * n, dtype=recorder.EVENT_DTYPE)
    events["kind"] = np.r_[np.full(len(days), recorder.DATE), np.full(n, recorder.EXIT),
                           np.full(n, recorder.ENTRY)]
    events["day"] = np.r_[days, exits, entries]
    events["slot"] = np.r_[np.zeros(len(days), int), slots, slots]
    events["size"][len(days) + n:] = 1.0
    rank = np.r_[np.zeros(len(days)), np.ones(n), np.full(n, 2)]
    return events[np.lexsort((rank, events["day"]))]


def closing_order(slots, entries, exits, events):
    """The trades in the order the engine books them (by exit event)."""
    exit_events = events[events["kind"] == recorder.EXIT]
    by_slot_exit = {(s, x): i for i, (s, x) in enumerate(zip(slots, exits))}
    day = 0
    order = []
    for event in events:
        if event["kind"] == recorder.DATE:
            day = event["day"]
        elif event["kind"] == recorder.EXIT:
            order.append(by_slot_exit[(event["slot"], day)])
    assert len(order) == len(exit_events)
    return np.array(order)


def analysed_days(entries, exits):
    horizon = np.minimum(np.maximum(exits, entries + WINDOW), ROWS - 1)
    return horizon - entries + 1


# ---------------------------------------------------------------------------------------------
# Contenders


def run_engine(price, events):
    recorder.start_analysis(price, {slot: slot for slot in range(STOCKS)}, STOCKS, WINDOW, STEP)
    recorder.replay(events)
    return trevik.trevik


@njit
def numba_trade(column, entry, exit_day, window, step, record):
    """One trade's record from its price column, written into `record`."""
    size = record.shape[0]
    horizon = min(max(exit_day, entry + window), column.shape[0] - 1)
    length = horizon - entry + 1
    exit_index = min(exit_day - entry, length - 1) if exit_day >= entry else length - 1
    record[:] = -1.0
    base = column[entry]
    growth = peak = trough = peak_at_trough = 1.0
    drawdown = profit_days = 0.0
    written = 0
    for k in range(length):
        if k > 0:
            price_k = column[entry + k]
            if not np.isnan(price_k):
                ratio = price_k / base
                if not np.isnan(ratio):
                    growth *= ratio
                base = price_k
            if peak < growth:
                peak = growth
            if growth < trough:
                trough = growth
                peak_at_trough = peak
            candidate = growth / peak - 1.0
            if candidate < drawdown:
                drawdown = candidate
            if growth > 1.0:
                profit_days += 1.0
        group = (trough - 1.0, peak - 1.0, peak_at_trough - 1.0, drawdown, profit_days,
                 growth - 1.0)
        if k % step == 0 and k < window:
            for v in range(6):
                record[written + v] = group[v]
            written += 6
        if k == exit_index:
            for v in range(6):
                record[size - 6 + v] = group[v]


@njit
def numba_records(price, columns, entries, exits, window, step, out):
    for t in range(columns.shape[0]):
        numba_trade(price[:, columns[t]], entries[t], exits[t], window, step, out[t])
    return out


@njit
def numba_record(price, column, entry, exit_day, window, step, size):
    record = np.empty(size)
    numba_trade(price[:, column], entry, exit_day, window, step, record)
    return record


def run_numba(price, columns, entries, exits):
    out = np.empty((len(columns), RECORD_SIZE))
    return numba_records(price, columns, entries, exits, WINDOW, STEP, out)


def run_numba_per_trade(price, columns, entries, exits):
    return [numba_record(price, c, e, x, WINDOW, STEP, RECORD_SIZE)
            for c, e, x in zip(columns.tolist(), entries.tolist(), exits.tolist())]


def numpy_record(price, column, entry, exit_day):
    horizon = min(max(exit_day, entry + WINDOW), ROWS - 1)
    prices = price[entry : horizon + 1, column]
    length = len(prices)
    days = np.arange(length)
    # Each day's ratio to the latest earlier price that is not NaN; 1.0 where either is NaN.
    latest = np.maximum.accumulate(np.where(np.isnan(prices), 0, days))
    ratios = prices[1:] / prices[latest[:-1]]
    ratios[np.isnan(ratios)] = 1.0
    growth = np.cumprod(np.r_[1.0, ratios])
    peak = np.maximum.accumulate(growth)
    trough = np.minimum.accumulate(growth)
    new_trough = np.r_[False, growth[1:] < trough[:-1]]
    peak_at_trough = peak[np.maximum.accumulate(np.where(new_trough, days, 0))]
    drawdown = np.minimum.accumulate(growth / peak - 1.0)
    profit_days = np.cumsum(growth > 1.0).astype(float)
    table = np.c_[trough - 1.0, peak - 1.0, peak_at_trough - 1.0, drawdown, profit_days,
                  growth - 1.0]
    record = np.full(RECORD_SIZE, -1.0)
    samples = table[0 : min(WINDOW, length) : STEP].ravel()
    record[: len(samples)] = samples
    exit_index = min(exit_day - entry, length - 1) if exit_day >= entry else length - 1
    record[-6:] = table[exit_index]
    return record


def run_numpy(price, columns, entries, exits):
    return [numpy_record(price, c, e, x) for c, e, x in zip(columns, entries, exits)]


def run_oracle(price, columns, entries, exits):
    return [excursion_record(price, int(c), int(e), int(x), WINDOW, STEP)
            for c, e, x in zip(columns, entries, exits)]


def build(name, *include_dirs):
    """bench/<name>.cpp as a shared library in the temporary directory."""
    target = pathlib.Path(tempfile.gettempdir()) / f"kovalt_{name}{sysconfig.get_config_var('SHLIB_SUFFIX')}"
    subprocess.run(["g++", "-O3", "-std=c++20", "-ffp-contract=off", "-shared", "-fPIC",
                    *(f"-I{d}" for d in include_dirs), str(ROOT / "bench" / f"{name}.cpp"),
                    "-o", str(target)], check=True)
    return target


def column_walk_library():
    library = ctypes.CDLL(str(build("column_walk", ROOT / "src" / "trevik")))
    for name in ("walk_prices", "walk_excursions"):
        function = getattr(library, name)
        function.restype = ctypes.c_double
        function.argtypes = [ctypes.c_void_p] + [ctypes.c_int64] * 2 + [ctypes.c_void_p] * 3 + [
            ctypes.c_int64] * 2
    return library


def result_objects_library():
    library = ctypes.PyDLL(str(build("result_objects", sysconfig.get_paths()["include"],
                                     np.get_include())))
    if library.import_numpy() < 0:
        raise ImportError("numpy C API")
    library.book_results.restype = ctypes.c_int
    library.book_results.argtypes = [ctypes.py_object] * 3 + [ctypes.c_void_p] * 2 + [
        ctypes.c_int64] * 2
    return library


def run_result_objects(library, columns, exits):
    lists = {"trades": [], "trade_positions": [], "trevik": []}
    entry = np.zeros(STOCKS, dtype=int)
    position = np.ones(STOCKS)
    slots = np.ascontiguousarray(columns, dtype=np.int64)
    exit_days = np.ascontiguousarray(exits, dtype=np.int64)
    if library.book_results(lists, entry, position, slots.ctypes.data, exit_days.ctypes.data,
                            len(slots), RECORD_SIZE) < 0:
        raise RuntimeError("booking failed")
    return lists


def run_walk(function, price, columns, entries, days, prefetch_rows=32):
    arrays = [np.ascontiguousarray(a, dtype=np.int64) for a in (columns, entries, days)]
    return function(price.ctypes.data, price.strides[0], price.strides[1],
                    *(a.ctypes.data for a in arrays), len(columns), prefetch_rows)


# ---------------------------------------------------------------------------------------------
# Measurement


def clear_engine_results():
    for results in (trevik.trades, trevik.trade_positions, trevik.trevik):
        results.clear()


def timed(function, repeats):
    """Best CPU time and best wall time over `repeats` runs, and the last result. Each run starts
    with the previous results freed, the engine's included."""
    best_cpu = best_wall = float("inf")
    result = None
    for _ in range(repeats):
        result = None
        clear_engine_results()
        gc.collect()
        wall, cpu = time.perf_counter(), time.thread_time()
        result = function()
        best_cpu = min(best_cpu, time.thread_time() - cpu)
        best_wall = min(best_wall, time.perf_counter() - wall)
    return best_cpu, best_wall, result


def peak_memory(function):
    """Peak of memory allocated by `function` (numpy's and Python's allocations); None without
    tracemalloc."""
    if tracemalloc is None:
        return None
    gc.collect()
    tracemalloc.start()
    result = function()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del result
    return peak


def same_records(engine, other):
    return len(engine) == len(other) and all(
        a.tobytes() == np.asarray(b).tobytes() for a, b in zip(engine, other))


def report(name, cpu, wall, trades, days, memory=None, baseline=None):
    line = (f"  {name:<34} {trades / cpu:>12,.0f} trades/s  {cpu / days * 1e9:7.2f} ns/day"
            f"  (cpu {cpu * 1e3:9.1f} ms, wall {wall * 1e3:9.1f} ms)")
    if memory is not None:
        line += f"  peak {memory / 2**20:6.1f} MiB"
    if baseline is not None:
        line += f"  = {cpu / baseline:.2f}x the engine's time"
    print(line)


def workload_one(price, rng, count, quick):
    slots, entries, exits = holding_trades(rng, count)
    events = events_of(slots, entries, exits)
    order = closing_order(slots, entries, exits, events)
    columns, entries, exits = slots[order], entries[order], exits[order]
    days = analysed_days(entries, exits)
    total_days = int(days.sum())
    print(f"\nworkload 1: {count:,} trades, mean hold {np.mean(exits - entries):.1f} days, "
          f"{total_days:,} analysed days ({total_days / count:.1f} per trade), "
          f"window {WINDOW}, step {STEP}")

    engine_cpu, engine_wall, engine = timed(lambda: run_engine(price, events), 5)
    engine = list(engine)
    objects = result_objects_library() if ON_CPYTHON else None
    if objects is not None:
        objects_cpu, objects_wall, _ = timed(lambda: run_result_objects(objects, columns, exits), 5)
    gc.disable()
    try:
        quiet_cpu, _, _ = timed(lambda: run_engine(price, events), 5)
        if objects is not None:
            objects_quiet, _, _ = timed(lambda: run_result_objects(objects, columns, exits), 5)
    finally:
        gc.enable()
    engine_memory = peak_memory(lambda: run_engine(price, events))
    report("engine (recorder.replay)", engine_cpu, engine_wall, count, total_days, engine_memory)
    if objects is not None:
        report("limit: the result objects alone", objects_cpu, objects_wall, count, total_days,
               None, engine_cpu)
        print(f"      with the garbage collector off: engine {quiet_cpu * 1e9 / count:.0f} "
              f"ns/trade, result objects alone {objects_quiet * 1e9 / count:.0f} ns/trade")
    else:
        print(f"      with the garbage collector off: engine {quiet_cpu * 1e9 / count:.0f} "
              f"ns/trade; result objects alone: skipped (needs ctypes.py_object, CPython only)")
    if numba is None:
        print("  (a) numba: skipped, numba is not available on this interpreter")
    else:
        numba_baselines(price, engine, columns, entries, exits, count, total_days, engine_cpu)
    numpy_and_model(price, engine, columns, entries, exits, days, count, total_days, engine_cpu,
                    quick)
    return columns, entries, exits, days, engine_cpu


def numba_baselines(price, engine, columns, entries, exits, count, total_days, engine_cpu):
    run_numba(price, columns[:2], entries[:2], exits[:2])  # compile
    run_numba_per_trade(price, columns[:2], entries[:2], exits[:2])
    numba_cpu, numba_wall, numba_out = timed(lambda: run_numba(price, columns, entries, exits), 5)
    numba_memory = peak_memory(lambda: run_numba(price, columns, entries, exits))
    report("(a) numba, all trades in one call", numba_cpu, numba_wall, count, total_days,
           numba_memory, engine_cpu)
    print(f"      records identical to the engine's: {same_records(engine, numba_out)}")
    del numba_out
    call_cpu, call_wall, call_out = timed(
        lambda: run_numba_per_trade(price, columns, entries, exits), 3)
    call_memory = peak_memory(lambda: run_numba_per_trade(price, columns, entries, exits))
    report("(a) numba, one call per trade", call_cpu, call_wall, count, total_days, call_memory,
           engine_cpu)
    print(f"      records identical to the engine's: {same_records(engine, call_out)}")
    del call_out


def numpy_and_model(price, engine, columns, entries, exits, days, count, total_days, engine_cpu,
                    quick):
    numpy_count = count if not quick else 5000
    numpy_cpu, numpy_wall, numpy_out = timed(
        lambda: run_numpy(price, columns[:numpy_count], entries[:numpy_count],
                          exits[:numpy_count]), 1)
    numpy_days = int(days[:numpy_count].sum())
    numpy_memory = peak_memory(lambda: run_numpy(price, columns[:numpy_count],
                                                 entries[:numpy_count], exits[:numpy_count]))
    report(f"(b) numpy per trade ({numpy_count:,})", numpy_cpu, numpy_wall, numpy_count,
           numpy_days, numpy_memory, engine_cpu * numpy_days / total_days)
    print(f"      records identical to the engine's: "
          f"{same_records(engine[:numpy_count], numpy_out)}")

    sample = np.sort(np.random.default_rng(11).choice(count, 1000, replace=False))
    oracle_cpu, oracle_wall, oracle_out = timed(
        lambda: run_oracle(price, columns[sample], entries[sample], exits[sample]), 1)
    sample_days = int(days[sample].sum())
    report("(c) Python model (1,000 trades)", oracle_cpu, oracle_wall, 1000, sample_days, None,
           engine_cpu * sample_days / total_days)
    print(f"      records identical to the engine's: "
          f"{same_records([engine[i] for i in sample], oracle_out)}")


def workload_two(price, rng, library):
    count, hold = 2000, 1000
    slots, entries, exits = long_trades(rng, count, hold)
    events = events_of(slots, entries, exits)
    order = closing_order(slots, entries, exits, events)
    columns, entries, exits = slots[order], entries[order], exits[order]
    days = analysed_days(entries, exits)
    total_days = int(days.sum())
    print(f"\nworkload 2: {count:,} trades held {hold} days, {total_days:,} analysed days")
    cpu, wall, engine = timed(lambda: run_engine(price, events), 7)
    engine = list(engine)
    report("engine (recorder.replay)", cpu, wall, count, total_days)
    if numba is None:
        print("  (a) numba: skipped, numba is not available on this interpreter")
    else:
        numba_cpu, numba_wall, numba_out = timed(
            lambda: run_numba(price, columns, entries, exits), 7)
        report("(a) numba, all trades in one call", numba_cpu, numba_wall, count, total_days,
               None, cpu)
        print(f"      records identical to the engine's: {same_records(engine, numba_out)}")
    for name in ("walk_prices", "walk_excursions"):
        walk_cpu, walk_wall, _ = timed(
            lambda: run_walk(getattr(library, name), price, columns, entries, days), 7)
        report(f"limit: C++ {name}", walk_cpu, walk_wall, count, total_days, None, cpu)
    return columns, entries, days


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trades", type=int, default=100_000)
    parser.add_argument("--quick", action="store_true", help="numpy reference on 5,000 trades")
    args = parser.parse_args()
    rng = np.random.default_rng(2024)
    price = price_matrix(rng)
    print(f"price matrix {price.shape}, {price.nbytes / 2**20:.0f} MiB, "
          f"{np.isnan(price).mean():.2%} NaN; {platform.python_implementation()} "
          f"{platform.python_version()}, numpy {np.__version__}, "
          f"numba {numba.__version__ if numba is not None else 'not available'}")
    library = column_walk_library()
    columns, entries, exits, days, engine_cpu = workload_one(price, rng, args.trades, args.quick)
    total_days = int(days.sum())
    for name in ("walk_prices", "walk_excursions"):
        walk_cpu, walk_wall, _ = timed(
            lambda: run_walk(getattr(library, name), price, columns, entries, days), 5)
        report(f"limit: C++ {name}", walk_cpu, walk_wall, args.trades, total_days, None,
               engine_cpu)

    workload_two(price, rng, library)


if __name__ == "__main__":
    main()

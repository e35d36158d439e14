"""add_trade_info on a realistic table: the lookup path against the reference algorithm.

100,000 trades over 2,000 stocks, an information table of 5,000 dates x 2,000 stocks (float64).
Each path runs in its own child process on the same seeded data, so the peak resident memory of
one does not hide the other's: the child resets the kernel's high-water mark after building the
data and reports how far the call raised it. The parent checks that both paths wrote the same
column and prints the ratios.

    python bench/bench_add_trade_info.py [--trades N] [--stocks N] [--dates N]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np


def build(trades, stocks, dates, seed=7):
    import pandas as pd

    rng = np.random.default_rng(seed)
    index = pd.bdate_range("2004-01-01", periods=dates)
    labels = [str(1000 + i) for i in range(stocks)]
    table = pd.DataFrame(rng.standard_normal((dates, stocks)), index=index, columns=labels)
    ids = rng.choice(labels + ["9999"], size=trades)  # a few trades of an absent stock
    days = rng.integers(-10, int((index[-1] - index[0]).days) + 10, size=trades)
    entry = pd.Series(index[0] + pd.to_timedelta(days, "D"))
    entry[rng.random(trades) < 0.01] = pd.NaT
    frame = pd.DataFrame({"stock_id": np.char.add(ids, " name"), "entry_sig_date": entry})
    return frame, table


def rss_high_water_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def reset_high_water():
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def child(args):
    import kovalt.report as kr
    import pandas as pd

    trades, table = build(args.trades, args.stocks, args.dates)
    report = kr.Report(pd.Series([1.0, 1.0]), pd.DataFrame({"x": [0, 0]}), 0, 0, "close", None, None)
    report.trades = trades
    os.environ["KOVALT_TRADE_INFO_PATH"] = args.child
    times = []
    resettable = reset_high_water()
    base = rss_high_water_kib()
    for _ in range(args.repeat):
        start = time.perf_counter()
        report.add_trade_info("info", table)
        times.append(time.perf_counter() - start)
    peak = rss_high_water_kib()
    np.save(args.out, report.trades["info"].to_numpy())
    print(json.dumps({"best_s": min(times), "times_s": times,
                      "peak_growth_mib": (peak - base) / 1024 if resettable else None,
                      "dtype": str(report.trades["info"].dtype)}))


def run_child(path, args, out, repeat):
    command = [sys.executable, __file__, "--child", path, "--out", out, "--repeat", str(repeat),
               "--trades", str(args.trades), "--stocks", str(args.stocks), "--dates", str(args.dates)]
    return json.loads(subprocess.run(command, capture_output=True, text=True, check=True).stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trades", type=int, default=100_000)
    parser.add_argument("--stocks", type=int, default=2_000)
    parser.add_argument("--dates", type=int, default=5_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--child")
    parser.add_argument("--out")
    args = parser.parse_args()
    if args.child:
        child(args)
        return
    with tempfile.TemporaryDirectory() as folder:
        fast_out, literal_out = os.path.join(folder, "fast.npy"), os.path.join(folder, "literal.npy")
        fast = run_child("fast", args, fast_out, args.repeat)
        literal = run_child("literal", args, literal_out, 1)
        same = np.array_equal(np.load(fast_out), np.load(literal_out), equal_nan=True)
    print(f"add_trade_info: {args.trades:,} trades, {args.stocks:,} stocks, {args.dates:,} dates")
    print(f"  lookup path     best of {args.repeat}: {fast['best_s'] * 1e3:9.1f} ms   "
          f"peak RSS growth {fast['peak_growth_mib']:8.1f} MiB")
    print(f"  reference algo  single run: {literal['best_s'] * 1e3:9.1f} ms   "
          f"peak RSS growth {literal['peak_growth_mib']:8.1f} MiB")
    print(f"  speed-up {literal['best_s'] / fast['best_s']:.1f}x, memory ratio "
          f"{literal['peak_growth_mib'] / max(fast['peak_growth_mib'], 0.1):.1f}x, "
          f"identical column: {same} ({fast['dtype']} / {literal['dtype']})")


if __name__ == "__main__":
    main()

"""Time of the MAE/MFE dashboard and of its HTML export, by number of trades.

    python bench/bench_dashboard.py [--sizes 1000 10000 50000] [--repeat 3] [--profile]

Prints, per size, the best of `repeat` runs of display_trevik_analysis and of plotly.io.to_html
of its figure, the HTML size (with the bundled plotly.js, and of the figure alone), each time as
a ratio to the smallest size measured in the same run, and the time of the ATR lookup
(add_trade_info) that the dashboard starts with. With --profile, also where the time of the
largest size goes: the cumulative seconds of each plotting and table call the dashboard makes.
"""

import argparse
import cProfile
import pstats
import time

import numpy as np
import pandas as pd
import plotly.io as pio

import kovalt.report as kr

# Twelve time scales besides the entry (0) and the exit.
LEVELS = [0, 1, 2, 3, 5, 10, 15, 20, 30, 40, 60, 90, 120, "exit"]
MEASURES = ["mae", "gmfe", "bmfe", "mdd", "pdays", "return"]
STOCKS = [str(1000 + i) for i in range(200)]


class MarketInfo:
    def __init__(self, atr):
        self.atr = atr

    @staticmethod
    def calc_atr(market_info, n):
        return market_info.atr


def make_report(n_trades, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2019-01-01", periods=1000)
    atr = pd.DataFrame(rng.uniform(0.01, 0.06, (len(dates), len(STOCKS))), dates, STOCKS)
    entry = dates[rng.integers(0, len(dates) - 30, n_trades)]
    exit_ = entry + pd.to_timedelta(rng.integers(1, 30, n_trades), unit="D")
    exit_ = exit_.where(rng.random(n_trades) > 0.02)  # a few trades still open
    trades = pd.DataFrame(
        {
            "stock_id": [f"{s} name" for s in rng.choice(STOCKS, n_trades)],
            "entry_sig_date": entry,
            "exit_sig_date": exit_,
            "return": rng.normal(0.01, 0.08, n_trades),
            "mae": -rng.uniform(0, 0.1, n_trades),
            "gmfe": rng.uniform(0, 0.2, n_trades),
            "bmfe": rng.uniform(0, 0.1, n_trades),
            "mdd": -rng.uniform(0, 0.1, n_trades),
            "pdays": rng.integers(0, 20, n_trades),
            "period": rng.integers(1, 30, n_trades),
        }
    )
    columns = pd.MultiIndex.from_product([LEVELS, MEASURES])
    trevik = pd.DataFrame(rng.normal(0, 0.05, (n_trades, len(columns))), trades.index, columns)
    report = kr.Report(
        pd.Series([1.0, 1.1], dates[:2]),
        pd.DataFrame({STOCKS[0]: [1.0, 1.0]}, dates[:2]),
        0.001425,
        0.003,
        "close",
        dates[1],
        MarketInfo(atr),
    )
    report.trades, report.trevik = trades, trevik
    return report


def best_of(repeat, function):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def measure(n_trades, repeat):
    report = make_report(n_trades)
    build, fig = best_of(repeat, report.display_trevik_analysis)
    export, html = best_of(repeat, lambda: pio.to_html(fig))
    figure_only = pio.to_html(fig, include_plotlyjs=False, full_html=False)
    atr_lookup, _ = best_of(
        repeat, lambda: report.add_trade_info("entry_volatility", report.market_info.atr)
    )
    return build, export, len(html.encode()), len(figure_only.encode()), atr_lookup


def dashboard_of(report):
    return report.display_trevik_analysis()


def direct_calls(stats, caller_name):
    """Cumulative seconds of each Python call that the native method made itself.

    Calls from native code are charged to the last Python frame, `caller_name`, so these
    entries do not overlap (express charts include their own subplots and layout calls).
    """
    calls = {}
    for (file, _, name), entry in stats.items():
        for (_, _, caller), caller_entry in entry[4].items():
            if caller == caller_name:
                key = f"{name} ({file.rsplit('/', 2)[-2]}/{file.rsplit('/', 1)[-1]})"
                calls[key] = calls.get(key, 0.0) + caller_entry[3]
    return sorted(calls.items(), key=lambda item: -item[1])


def profile(n_trades):
    report = make_report(n_trades)
    profiler = cProfile.Profile()
    profiler.enable()
    fig = dashboard_of(report)
    profiler.disable()
    stats = pstats.Stats(profiler).stats
    calls = direct_calls(stats, "dashboard_of")
    total = sum(seconds for _, seconds in calls)
    print(f"\nwhere display_trevik_analysis spends its time for {n_trades:,} trades "
          f"(profiled, so slower: {total:.2f} s in calls it made):")
    for name, seconds in calls[:12]:
        print(f"  {seconds:6.2f} s {seconds / total:5.0%}  {name}")

    profiler = cProfile.Profile()
    profiler.enable()
    pio.to_html(fig)
    profiler.disable()
    print("\nto_html, top cumulative entries:")
    pstats.Stats(profiler).sort_stats("cumulative").print_stats(8)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000, 50_000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--profile", action="store_true")
    args = parser.parse_args()

    make_report(100).display_trevik_analysis()  # first-use imports are not the dashboard's cost

    print(f"{'trades':>8} {'dashboard s':>12} {'ratio':>6} {'to_html s':>10} {'ratio':>6} "
          f"{'HTML MB':>8} {'figure MB':>10} {'ATR lookup s':>13}")
    baseline = None
    for n_trades in args.sizes:
        build, export, size, figure_size, atr_lookup = measure(n_trades, args.repeat)
        baseline = baseline or (build, export)
        print(f"{n_trades:>8,} {build:>12.3f} {build / baseline[0]:>6.1f} {export:>10.3f} "
              f"{export / baseline[1]:>6.1f} {size / 1e6:>8.2f} {figure_size / 1e6:>10.2f} "
              f"{atr_lookup:>13.4f}")
    if args.profile:
        profile(max(args.sizes))


if __name__ == "__main__":
    main()

"""Back-test of 2,000 assets x 5,000 days with about 100,000 trades: seconds per stage and peak
memory.

    python bench/bench_backtest.py [--assets 2000] [--days 5000] [--every 20]

The baseline, measured in the same run, is one pass of pandas over the price table
(``close.pct_change()``), taken warm: the best of five calls (the first call of a process pays
for fresh memory and is several times slower). Every stage is also printed as a multiple of it.
Peak memory is the process's peak resident set size before and after the back-test.
"""

from __future__ import annotations

import argparse
import resource
import time

import numpy as np
import pandas as pd


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # kilobytes on Linux


def market(assets: int, days: int, every: int, seed: int = 1):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2000-01-03", periods=days)
    close = pd.DataFrame(
        50.0 * np.cumprod(1.0 + rng.normal(0.0002, 0.02, (days, assets)), axis=0),
        index=dates, columns=[f"A{i:04d}" for i in range(assets)])
    signals = dates[::every]
    held = rng.random((len(signals), assets)) < 0.3
    weights = pd.DataFrame(np.where(held, 1.0 / (0.3 * assets), 0.0), index=signals,
                           columns=close.columns)
    return close, weights


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--assets", type=int, default=2000)
    parser.add_argument("--days", type=int, default=5000)
    parser.add_argument("--every", type=int, default=20, help="days between signals")
    args = parser.parse_args()

    from kovalt import backtest

    close, weights = market(args.assets, args.days, args.every)
    baseline = float("inf")
    for _ in range(5):
        started = time.perf_counter()
        close.pct_change()
        baseline = min(baseline, time.perf_counter() - started)
    rss_before = peak_rss_mib()

    marks: list[tuple[str, float]] = []
    started = time.perf_counter()
    report = backtest.run(close, weights, window=40, window_step=5,
                          progress=lambda stage: marks.append((stage, time.perf_counter())))
    finished = time.perf_counter()
    rss_after = peak_rss_mib()

    print(f"{args.assets} assets x {args.days} days, {len(weights)} signal dates, "
          f"{len(report.trades):,} trades "
          f"({int(report.trades['exit_date'].isna().sum())} open at the end)")
    print(f"baseline close.pct_change(), best of 5: {baseline:.3f} s")
    ends = [t for _, t in marks[1:]] + [finished]
    for (stage, start), end in zip(marks, ends):
        print(f"  {stage:<22}{end - start:8.3f} s  {(end - start) / baseline:8.1f} x baseline")
    print(f"  {'total':<22}{finished - started:8.3f} s  {(finished - started) / baseline:8.1f} "
          f"x baseline")
    print(f"peak RSS: {rss_before:.0f} MiB with the inputs, {rss_after:.0f} MiB after the run "
          f"(+{rss_after - rss_before:.0f} MiB); price table {close.memory_usage().sum() / 2**20:.0f} "
          f"MiB")


if __name__ == "__main__":
    main()

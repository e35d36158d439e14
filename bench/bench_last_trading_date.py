"""The Report constructor on a 5,000 x 2,000 position table: the native scan for the last change
of position against pandas' diff().abs().sum(axis=1) (KOVALT_LAST_TRADING_DATE_PATH=literal).

Two tables: a back-test's weights, rebalanced every 20 days (the scan stops at the last
rebalance), and one that never changes (the scan reads every cell). Best of --repeat calls each;
the pandas route's first call, the one a user meets right after a back-test, is printed too.

    python bench/bench_last_trading_date.py [--assets 2000] [--days 5000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
import pandas as pd


def tables(assets: int, days: int, seed: int = 3) -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2000-01-03", periods=days)
    labels = [f"A{i:04d}" for i in range(assets)]
    rebalances = -(-days // 20)
    book = np.where(rng.random((rebalances, assets)) < 0.3, 1.0 / (0.3 * assets), 0.0)
    weights = book[np.arange(days) // 20]
    steady = np.broadcast_to(book[0], (days, assets)).copy()
    return {"rebalanced every 20 days": pd.DataFrame(weights, index=dates, columns=labels),
            "never changes": pd.DataFrame(steady, index=dates, columns=labels)}


def construct(position: pd.DataFrame, route: str):
    from kovalt.report import Report

    os.environ["KOVALT_LAST_TRADING_DATE_PATH"] = route
    started = time.perf_counter()
    report = Report(None, position, 0.0, 0.0, "close", None, None)
    return time.perf_counter() - started, report.last_trading_date


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--assets", type=int, default=2000)
    parser.add_argument("--days", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    print(f"{args.days} dates x {args.assets} assets, best of {args.repeat}")
    for name, position in tables(args.assets, args.days).items():
        first, expected = construct(position, "literal")
        runs = {route: [construct(position, route) for _ in range(args.repeat)]
                for route in ("literal", "fast")}
        if any(date != expected for timings in runs.values() for _, date in timings):
            raise SystemExit(f"{name}: the routes disagree on last_trading_date")
        best = {route: min(t for t, _ in timings) for route, timings in runs.items()}
        print(f"  {name} (last change {expected.date()}):")
        print(f"    pandas route  {best['literal'] * 1e3:9.2f} ms   "
              f"(first call {first * 1e3:.2f} ms)")
        print(f"    native scan   {best['fast'] * 1e3:9.2f} ms   "
              f"{best['literal'] / best['fast']:8.1f} x faster")


if __name__ == "__main__":
    main()

"""A deterministic synthetic market and a sample strategy, for the demo and the quickstart.

The market is a one-factor model: every asset follows the market's daily return scaled by its
own beta, plus an asset-specific drift that slowly changes (so that past winners tend to keep
winning for a while, which gives a momentum strategy something to find) and noise. The same
seed always gives the same prices, to the last bit.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["synthetic_market", "momentum_weights"]


def synthetic_market(assets: int = 150, years: float = 6, seed: int = 7, start: str = "2018-01-01"):
    """Close, high and low prices (business days x assets) and an equal-weight benchmark.

    Returns ``(close, high, low, benchmark)``; asset labels are four-digit codes "1101", ....
    """
    if assets < 1 or years <= 0:
        raise ValueError("the synthetic market needs at least one asset and a positive span")
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start, periods=int(round(years * 252)))
    days = len(dates)
    market = rng.normal(0.0005, 0.010, days)
    beta = rng.uniform(0.6, 1.4, assets)
    # Drift as a slow mean-reverting walk: persistent enough for momentum to matter.
    shocks = rng.normal(0.0, 0.00006, (days, assets))
    drift = np.empty((days, assets))
    drift[0] = rng.normal(0.0, 0.0006, assets)
    for day in range(1, days):  # one vector step per day, over all assets at once
        drift[day] = 0.997 * drift[day - 1] + shocks[day]
    noise = rng.normal(0.0, 0.015, (days, assets))
    returns = market[:, None] * beta + drift + noise
    close = 20.0 * rng.uniform(1, 10, assets) * np.cumprod(1.0 + returns, axis=0)
    spread = np.abs(rng.normal(0.0, 0.008, (2, days, assets)))
    columns = pd.Index([str(1101 + 7 * i) for i in range(assets)])
    frame = lambda values: pd.DataFrame(np.round(values, 4), index=dates, columns=columns)  # noqa: E731
    close_table = frame(close)
    high = frame(close * (1.0 + spread[0]))
    low = frame(close * (1.0 - spread[1]))
    benchmark = pd.Series(100.0 * np.cumprod(1.0 + returns.mean(axis=1)), index=dates,
                          name="benchmark")
    return close_table, high, low, benchmark


def momentum_weights(close: pd.DataFrame, lookback: int = 120, top: int = 10) -> pd.DataFrame:
    """Equal weights on the ``top`` assets by ``lookback``-day return, decided on the last
    trading day of every month (one row per month end, once the lookback is available)."""
    momentum = close / close.shift(lookback) - 1.0
    month_end = close.index.to_series().groupby(close.index.to_period("M")).max()
    scores = momentum.loc[month_end.to_numpy()].dropna(how="all")
    ranks = scores.rank(axis=1, ascending=False, method="first")
    chosen = ranks <= top
    return chosen.astype(float).div(chosen.sum(axis=1).clip(lower=1), axis=0)

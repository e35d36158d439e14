"""The dashboard's figure stays what it was: fig.to_dict() of a fixed 2,000-trade report against
the digest of the figure the dashboard produced before its speed-ups."""

import base64
import hashlib
import json

import numpy as np
import pandas as pd
import pytest

from kovalt.report import Report

pytest.importorskip("plotly")

# sha256 of canonical(fig.to_dict()) without the theme for make_report(2000), by violin mode,
# taken before the speed-ups.
EXPECTED = {
    "overlay": "44b999a134c73732b75f8b455c290d8eee98d64abb2287602357f302ab0626f9",
    "group": "62019622ee756387aafffb0288c6f219067399802204b9d1f6bc33f6752cb97c",
}
LEVELS = [0, 1, 3, 5, 10, 20, "exit"]
MEASURES = ["mae", "gmfe", "bmfe", "mdd", "pdays", "return"]
STOCKS = [str(1000 + i) for i in range(50)]


class MarketInfo:
    def __init__(self, atr):
        self.atr = atr

    @staticmethod
    def calc_atr(market_info, n):
        return market_info.atr


def make_report(n_trades, seed=5):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2019-01-01", periods=300)
    atr = pd.DataFrame(rng.uniform(0.01, 0.06, (len(dates), len(STOCKS))), dates, STOCKS)
    entry = dates[rng.integers(0, len(dates) - 30, n_trades)]
    exit_ = entry + pd.to_timedelta(rng.integers(1, 30, n_trades), unit="D")
    trades = pd.DataFrame({
        "stock_id": [f"{s} name" for s in rng.choice(STOCKS, n_trades)],
        "entry_sig_date": entry,
        "exit_sig_date": exit_.where(rng.random(n_trades) > 0.02),  # a few still open
        "return": rng.normal(0.01, 0.08, n_trades),
        "mae": -rng.uniform(0, 0.1, n_trades),
        "gmfe": rng.uniform(0, 0.2, n_trades),
        "bmfe": rng.uniform(0, 0.1, n_trades),
        "mdd": -rng.uniform(0, 0.1, n_trades),
        "pdays": rng.integers(0, 20, n_trades),
        "period": rng.integers(1, 30, n_trades),
    })
    columns = pd.MultiIndex.from_product([LEVELS, MEASURES])
    report = Report(pd.Series([1.0, 1.1], dates[:2]),
                    pd.DataFrame({STOCKS[0]: [1.0, 1.0]}, dates[:2]),
                    0.001425, 0.003, "close", dates[1], MarketInfo(atr))
    report.trades = trades
    report.trevik = pd.DataFrame(rng.normal(0, 0.05, (n_trades, len(columns))), trades.index,
                                 columns)
    return report


def canonical(value):
    """JSON-ready form that tells arrays (dtype kind, item size, shape, values) from lists; text
    arrays count as one kind whatever numpy or pandas names their dtype; plotly's base64 typed
    arrays are decoded."""
    if isinstance(value, dict):
        if set(value) >= {"dtype", "bdata"}:
            array = np.frombuffer(base64.b64decode(value["bdata"]), dtype=value["dtype"])
            if "shape" in value:
                array = array.reshape([int(n) for n in str(value["shape"]).split(",")])
            return canonical(array)
        return {str(key): canonical(item) for key, item in sorted(value.items())}
    if isinstance(value, np.ndarray):
        kind = "text" if value.dtype.kind in "OUST" else f"{value.dtype.kind}{value.dtype.itemsize}"
        return {"array": kind, "shape": list(value.shape),
                "values": [canonical(item) for item in value.ravel().tolist()]}
    if isinstance(value, (list, tuple)):
        return [canonical(item) for item in value]
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (np.generic,)):
        return canonical(value.item())
    if value is None or isinstance(value, (bool, int, str)):
        return value
    return f"{type(value).__name__}:{value!r}"


def digest(fig) -> str:
    figure = fig.to_dict()
    figure["layout"].pop("template", None)  # plotly's default theme, not the dashboard's
    text = json.dumps(canonical(figure), sort_keys=True, ensure_ascii=True)
    return hashlib.sha256(text.encode()).hexdigest()


@pytest.mark.parametrize("violinmode", list(EXPECTED))
def test_dashboard_figure_is_unchanged(violinmode):
    fig = make_report(2000).display_trevik_analysis(violinmode=violinmode)
    assert digest(fig) == EXPECTED[violinmode]

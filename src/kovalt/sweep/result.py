"""SweepResult: the comparison table, the equity curves, and each variant's full Report."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from kovalt.sweep.grid import variant_label
from kovalt.sweep.summary import STATISTICS

__all__ = ["SweepResult", "TABLE_COLUMNS"]

#: The table's columns after the parameters.
TABLE_COLUMNS = STATISTICS + ("error",)


class SweepResult:
    """The outcome of :func:`kovalt.sweep.run`.

    ``table``: one row per variant (index "variant" 0, 1, ... in grid order): the parameters,
    then "cagr", "max_drawdown", "daily_sharpe", "daily_sortino", "calmar", "win_ratio",
    "trades", "mean_edge_ratio" and "error" (missing for a variant that ran, else the error's
    type and message, the figures then missing). ``curves``: the equity curve of each variant
    (column i is row i of the table; all missing for a failed variant), starting at 1.0.
    """

    def __init__(self, variants: list[dict], summaries: list[dict], close, weights_for,
                 backtest_options: dict):
        self.variants = variants
        self._close = close
        self._weights_for = weights_for
        self._backtest_options = backtest_options
        self.table = _table(variants, summaries)
        self.curves = _curves(summaries)

    def __len__(self) -> int:
        return len(self.variants)

    def __repr__(self) -> str:
        failed = int(self.table["error"].notna().sum())
        return f"<SweepResult: {len(self)} variants, {failed} failed>"

    def label(self, i: int) -> str:
        """Variant i's parameters as text: ``lookback=20, top=5``."""
        return variant_label(self.variants[i])

    def report(self, i: int):
        """Variant i back-tested again in this process: its full ``kovalt.report.Report``.

        A variant that failed in the sweep raises its error here."""
        from kovalt.sweep.task import backtest_variant

        if not -len(self) <= i < len(self):
            raise IndexError(f"variant {i} out of range: the sweep has {len(self)} variants")
        return backtest_variant(self._close, self._weights_for, self.variants[i],
                                self._backtest_options)

    def best(self, n: int = 5, by: str = "daily_sharpe") -> pd.DataFrame:
        """The ``n`` rows with the highest ``by``, best first; failed variants come never."""
        ran = self.table[self.table["error"].isna()]
        return ran.sort_values(by, ascending=False, kind="stable", na_position="last").head(n)

    def to_html(self, path) -> Path:
        """Write the comparison page (one offline file) to ``path``; returns the path."""
        from kovalt.sweep.page import write_page

        return write_page(self, Path(path))


def _table(variants: list[dict], summaries: list[dict]) -> pd.DataFrame:
    names = list(dict.fromkeys(name for params in variants for name in params))
    rows = []
    for params, summary in zip(variants, summaries):
        figures = summary["statistics"] or {}
        row = {name: params.get(name, np.nan) for name in names}
        row.update({name: figures.get(name, np.nan) for name in STATISTICS})
        row["error"] = summary["error"]
        rows.append(row)
    table = pd.DataFrame(rows, columns=names + list(TABLE_COLUMNS))
    table["trades"] = table["trades"].astype("Int64")
    table["error"] = table["error"].astype(object).where(table["error"].notna(), None)
    table.index.name = "variant"
    return table


def _curves(summaries: list[dict]) -> pd.DataFrame:
    present = {i: s["curve"] for i, s in enumerate(summaries) if s["curve"] is not None}
    curves = pd.DataFrame(present) if present else pd.DataFrame()
    curves = curves.reindex(columns=range(len(summaries)))
    curves.columns.name = "variant"
    return curves

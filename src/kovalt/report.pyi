"""The report of a back-test (compiled module)."""

from typing import Any, Callable, Iterable, TypeVar

import pandas as pd
import plotly.graph_objects as go

_F = TypeVar("_F", bound=Callable[..., Any])

def allow_asset_types(asset_types: Iterable[str]) -> Callable[[_F], _F]:
    """Restrict a report method to reports of the given asset types ("tw_stock", "crypto")."""

class Report:
    creturn: pd.Series
    position: pd.DataFrame
    benchmark: pd.Series | None
    fee_ratio: float
    tax_ratio: float
    trade_at: Any
    update_date: pd.Timestamp
    asset_type: str
    last_trading_date: pd.Timestamp
    next_trading_date: pd.Timestamp
    market_info: Any
    trades: pd.DataFrame
    trevik: pd.DataFrame
    current_trades: pd.DataFrame
    actions: pd.Series
    resample: Any

    def __init__(
        self,
        creturn: pd.Series,
        position: pd.DataFrame,
        fee_ratio: float,
        tax_ratio: float,
        trade_at: Any,
        next_trading_date: pd.Timestamp,
        market_info: Any,
    ) -> None: ...
    def display(self) -> None:
        """Show the performance figure, the last holdings and the last date in a notebook."""
    @staticmethod
    def create_performance_figure(
        performance_detail: pd.DataFrame, nstocks: pd.Series
    ) -> go.Figure:
        """Four panels: cumulative return, drawdown, rolling return, number of holdings."""
    def upload(self, name: str | None = None, trevik_charts: bool = False) -> dict[str, Any]:
        """Send the result to the strategy-storage service and show its page."""
    def position_info(self) -> dict[str, Any]:
        """Current holdings and the next trades, JSON-ready."""
    @staticmethod
    def get_ndays_return(creturn: pd.Series, n: int) -> float:
        """The return over the last ``n`` rows of a value series."""
    def add_trade_info(self, name: str, df: pd.DataFrame, date_col: str = "entry_sig_date") -> None:
        """Add a column to the trade table: each trade's latest value of ``df`` (dates x assets)
        on or before its ``date_col``."""
    def remove_trade_info(self, name: str) -> None:
        """Remove the column ``name`` from the trade table."""
    def get_trevik(self) -> pd.DataFrame:
        """The excursion table: (offset, measure) columns, one row per trade."""
    def get_trades(self) -> pd.DataFrame:
        """The trade table, one row per trade."""
    def display_trevik_analysis(self, atr_freq: int = 10, violinmode: str = "overlay") -> go.Figure:
        """The eight-panel MAE/MFE dashboard."""

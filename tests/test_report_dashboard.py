import numpy as np
import pandas as pd
import plotly.graph_objects as go
import pytest

import kovalt.report as kr

PROFIT, LOSS = "#69b0ea", "#F66095"
MEASURES = ["return", "mae", "bmfe", "gmfe", "mdd", "volatility", "entry_volatility", "pdays_ratio"]
ATR_DATES = pd.date_range("2024-01-01", periods=10, freq="D")


class MarketInfo:
    """The back-test's market information, reduced to its ATR table."""

    def __init__(self, atr):
        self.atr = atr
        self.windows = []

    @staticmethod
    def calc_atr(market_info, n):
        market_info.windows.append(n)
        return market_info.atr


def atr_table():
    # Constant per stock, so every trade's entry volatility is known by its stock.
    return pd.DataFrame({"A": 0.02, "B": 0.04}, index=ATR_DATES)


def trade_table(returns=(0.1, -0.05, 0.0)):
    """Complete trades of stocks A, B, A, then an open trade and one without an ATR column."""
    complete = len(returns)
    entry = list(ATR_DATES[1 : 1 + complete]) + [ATR_DATES[2], ATR_DATES[3]]
    exit_ = [d + pd.Timedelta(days=3) for d in entry[:complete]] + [pd.NaT, ATR_DATES[8]]
    return pd.DataFrame(
        {
            "stock_id": (["A name", "B name", "A"] * 3)[:complete] + ["A name", "C name"],
            "entry_sig_date": entry,
            "exit_sig_date": exit_,
            "return": list(returns) + [0.5, 0.5],
            "mae": ([-0.02, -0.06, -0.01] * 3)[:complete] + [-0.04, -0.03],
            "gmfe": ([0.12, 0.02, 0.01] * 3)[:complete] + [0.6, 0.6],
            "bmfe": ([0.01, 0.02, 0.0] * 3)[:complete] + [0.1, 0.1],
            "mdd": ([-0.03, -0.07, -0.01] * 3)[:complete] + [-0.05, -0.02],
            "pdays": ([3, 1, 0] * 3)[:complete] + [1, 1],
            "period": ([4, 5, 2] * 3)[:complete] + [2, 2],
        },
        index=pd.RangeIndex(10, 10 + complete + 2),
    )


def excursion_table(trades, levels=(0, 5, "exit")):
    """Per time scale the same excursions; they count only for the complete trades."""
    columns = pd.MultiIndex.from_product(
        [list(levels), ["mae", "gmfe", "bmfe", "mdd", "pdays", "return"]]
    )
    table = pd.DataFrame(0.0, index=trades.index, columns=columns)
    complete = {10: (0.02, -0.01), 11: (0.04, -0.04), 12: (0.0, -0.02)}  # gmfe, mae
    for label in trades.index:
        # Dropped trades would swamp the ratio if they counted.
        gmfe, mae = complete.get(label, (9.0, -9.0))
        for level in levels:
            table.loc[label, (level, "gmfe")] = gmfe
            table.loc[label, (level, "mae")] = mae
    # A row of the excursion table without a trade must not count either.
    extra = pd.DataFrame(9.0, index=[99], columns=columns)
    return pd.concat([table, extra])


def make_report(trades, trevik):
    dates = ATR_DATES[:3]
    report = kr.Report(
        pd.Series([1.0, 1.1, 1.2], dates),
        pd.DataFrame({"A": [1.0, 1.0, 1.0]}, dates),
        0.001425,
        0.003,
        "close",
        dates[-1],
        MarketInfo(atr_table()),
    )
    report.trades = trades
    report.trevik = trevik
    return report


@pytest.fixture
def report():
    trades = trade_table()
    return make_report(trades, excursion_table(trades))


def traces_on(fig, xaxis):
    return [t for t in fig.data if t.xaxis == xaxis]


def test_report_trade_table_keeps_volatility_and_absolute_excursions(report):
    trades = report.trades
    report.display_trevik_analysis(atr_freq=14)

    assert report.market_info.windows == [14]
    assert report.trades is trades and len(trades) == 5  # incomplete trades stay
    np.testing.assert_allclose(trades["entry_volatility"], [0.02, 0.04, 0.02, 0.02, np.nan])
    assert trades["mae"].tolist() == [0.02, 0.06, 0.01, 0.04, 0.03]
    assert trades["mdd"].tolist() == [0.03, 0.07, 0.01, 0.05, 0.02]

    report.display_trevik_analysis()
    assert trades["mae"].tolist() == [0.02, 0.06, 0.01, 0.04, 0.03]
    assert report.market_info.windows == [14, 10]


def test_panels_hold_their_traces_in_order_with_profit_and_loss_colours(report):
    fig = report.display_trevik_analysis()

    assert isinstance(fig, go.Figure)
    summary = [(t.type, t.name, t.legendgroup, t.xaxis, t.yaxis) for t in fig.data]
    charts = [("histogram", "x", "y")] + [("scatter", f"x{n}", f"y{n}") for n in range(3, 8)]
    expected = []
    for kind, x, y in charts[:1]:
        expected += [(kind, "profit", "profit", x, y), (kind, "loss", "loss", x, y)]
    expected.append(("scatter", "", "", "x2", "y2"))
    for kind, x, y in charts[1:]:
        expected += [(kind, "profit", "profit", x, y), (kind, "loss", "loss", x, y)]
    expected += [("scatter", "aux_line", None, f"x{n}", f"y{n}") for n in (5, 6, 7)]
    expected += [("violin", m, None, "x8", "y8") for m in MEASURES]
    assert summary == expected

    for trace in fig.data:
        if trace.type in ("histogram", "scatter") and trace.name != "aux_line":
            assert trace.marker.color == (LOSS if trace.name == "loss" else PROFIT)


def test_zero_return_counts_as_a_loss_in_histogram_and_titles(report):
    fig = report.display_trevik_analysis()
    profit, loss = traces_on(fig, "x")
    assert sorted(profit.x) == [0.1]
    assert sorted(loss.x) == [-0.05, 0.0]

    texts = [a.text for a in fig.layout.annotations]
    assert texts == [
        "Return Histogram(win_ratio:0.333)",
        "Edge Ratio",
        "BMFE/MAE",
        "GMFE/MAE",
        "MAE/Return",
        "BMFE/Return",
        "GMFE/Return",
        "Ratio Violin",
        "avg_return:0.017",
        "benchmark",
    ]
    mean_line, ratio_line = fig.layout.shapes
    assert (mean_line.x0, mean_line.x1, mean_line.xref) == (0.017, 0.017, "x")
    assert (mean_line.line.color, mean_line.line.dash, mean_line.line.width) == ("green", "dash", 3)
    assert (ratio_line.y0, ratio_line.y1, ratio_line.yref) == (1, 1, "y2")
    assert (ratio_line.line.color, ratio_line.line.width) == ("orange", 3)


def test_scatters_plot_complete_trades_sized_by_return_with_hover_data(report):
    fig = report.display_trevik_analysis()
    axes = {
        "x3": ("mae", "bmfe", 2),
        "x4": ("mae", "gmfe", 2),
        "x5": ("return", "mae", 1),
        "x6": ("return", "bmfe", 1),
        "x7": ("return", "gmfe", 1),
    }
    record = {  # complete trades only, "mae" absolute
        "return": [0.1, -0.05, 0.0],
        "mae": [0.02, 0.06, 0.01],
        "bmfe": [0.01, 0.02, 0.0],
        "gmfe": [0.12, 0.02, 0.01],
    }
    for xaxis, (x, y, hover_columns) in axes.items():
        profit, loss = [t for t in traces_on(fig, xaxis) if t.name != "aux_line"]
        assert list(profit.x) + list(loss.x) == pytest.approx(record[x])
        assert list(profit.y) + list(loss.y) == pytest.approx(record[y])
        sizes = list(profit.marker.size) + list(loss.marker.size)
        assert sizes == pytest.approx([0.1, 0.05, 0.0])
        hover = np.concatenate([profit.customdata, loss.customdata])
        assert hover.shape == (3, hover_columns)
        assert hover[:, 0].tolist() == ["A name", "B name", "A"]
        if hover_columns == 2:
            assert hover[:, 1].astype(float).tolist() == pytest.approx(record["return"])


@pytest.mark.parametrize(
    "returns, mae_end, mfe_end",
    [
        ((0.1, -0.05, 0.0), (-0.055, 0.055), (0.11, 0.11)),
        ((0.3, -0.2, 0.1), (-0.22, 0.22), (0.33, 0.33)),
        ((0.04, 0.02, 0.03), (0.022, 0.022), (0.044, 0.044)),  # no loss: smallest return
    ],
)
def test_reference_diagonals_run_past_the_extreme_returns(returns, mae_end, mfe_end):
    trades = trade_table(returns)
    fig = make_report(trades, excursion_table(trades)).display_trevik_analysis()
    diagonals = [t for t in fig.data if t.name == "aux_line"]
    assert [t.xaxis for t in diagonals] == ["x5", "x6", "x7"]
    ends = [(t.x[1], t.y[1]) for t in diagonals]
    assert ends == [pytest.approx(mae_end), pytest.approx(mfe_end), pytest.approx(mfe_end)]
    assert all(list(t.x[:1]) == [0] and list(t.y[:1]) == [0] for t in diagonals)
    assert all(t.mode == "lines" and t.line.color is None for t in diagonals)


def test_only_profitable_trades_give_one_blue_trace_per_chart():
    trades = trade_table((0.04, 0.02, 0.03))
    fig = make_report(trades, excursion_table(trades)).display_trevik_analysis()
    for xaxis in ["x", "x3", "x4", "x5", "x6", "x7"]:
        charted = [t for t in traces_on(fig, xaxis) if t.name != "aux_line"]
        assert [(t.name, t.marker.color) for t in charted] == [("profit", PROFIT)]
    assert fig.layout.annotations[0].text == "Return Histogram(win_ratio:1.0)"


def test_loss_first_keeps_colours_by_group():
    trades = trade_table((-0.1, 0.2, 0.3))
    fig = make_report(trades, excursion_table(trades)).display_trevik_analysis()
    assert [(t.name, t.marker.color) for t in traces_on(fig, "x")] == [
        ("loss", LOSS),
        ("profit", PROFIT),
    ]


def test_edge_ratio_follows_time_scales_in_table_order():
    trades = trade_table()
    # A set of these labels would not keep this order.
    scales = [5, 10, 20, 40, 60, 120]
    trevik = excursion_table(trades, [0, *scales, "exit", "exit_2"])
    trevik.loc[trades.index[:3], (40, "mae")] = 0.0  # no adverse excursion at all
    trevik.loc[trades.index[:3], (60, "gmfe")] = [0.0, 0.0, 0.0]
    trevik.loc[trades.index[:3], (60, "mae")] = 0.0
    fig = make_report(trades, trevik).display_trevik_analysis()

    (line,) = traces_on(fig, "x2")
    assert list(line.x) == scales
    # (0.02/0.02 + 0.04/0.04 + 0) / (0.01/0.02 + 0.04/0.04 + 0.02/0.02) = 2 / 2.5
    expected = [0.8, 0.8, 0.8, np.inf, np.nan, 0.8]
    np.testing.assert_allclose(line.y, expected)
    assert line.marker.color == PROFIT and not line.legendgroup


@pytest.mark.parametrize("levels", [[0, "exit"], [0.0, "exit_5", "max_exit"]])
def test_only_zero_and_exit_labels_give_an_empty_edge_ratio_panel(levels):
    trades = trade_table()
    trevik = excursion_table(trades, levels)
    fig = make_report(trades, trevik).display_trevik_analysis()
    (line,) = traces_on(fig, "x2")
    assert len(line.x) == 0 and len(line.y) == 0
    assert [a.text for a in fig.layout.annotations][-1] == "benchmark"
    assert fig.layout.shapes[1].yref == "y2"


def test_overlay_violins_show_each_measure_of_the_complete_trades(report):
    fig = report.display_trevik_analysis()
    violins = traces_on(fig, "x8")
    assert fig.layout.violinmode == "overlay"
    assert [v.name for v in violins] == MEASURES
    assert all(v.box.visible and v.meanline.visible for v in violins)
    assert all(set(v.x) == {v.name} for v in violins)
    values = {v.name: list(v.y) for v in violins}
    assert values["mae"] == pytest.approx([0.02, 0.06, 0.01])
    assert values["mdd"] == pytest.approx([0.03, 0.07, 0.01])
    assert values["volatility"] == pytest.approx([0.14, 0.08, 0.02])
    assert values["entry_volatility"] == pytest.approx([0.02, 0.04, 0.02])
    assert values["pdays_ratio"] == pytest.approx([0.75, 0.2, 0.0])


def test_group_violins_split_profit_and_loss(report):
    fig = report.display_trevik_analysis(10, "group")
    violins = traces_on(fig, "x8")
    assert fig.layout.violinmode == "group"
    assert [(v.name, v.legendgroup, v.scalegroup) for v in violins] == [
        ("profit", "profit", "profit"),
        ("loss", "loss", "loss"),
    ]
    assert [(v.line.color, v.fillcolor) for v in violins] == [(PROFIT, PROFIT), (LOSS, LOSS)]
    assert all(v.opacity == 0.6 and v.box.visible and v.meanline.visible for v in violins)
    profit, loss = violins
    assert list(profit.x) == MEASURES
    assert list(loss.x) == [m for m in MEASURES for _ in range(2)]
    assert list(profit.y[:2]) == pytest.approx([0.1, 0.02])


def test_layout_titles_axes_and_grid(report):
    fig = report.display_trevik_analysis()
    layout = fig.layout
    assert (layout.height, layout.width, layout.title.text) == (1200, 1200, "MAE/MFE Analysis")
    x_titles = [layout[f"xaxis{n}"].title.text for n in ["", 2, 3, 4, 5, 6, 7, 8]]
    y_titles = [layout[f"yaxis{n}"].title.text for n in ["", 2, 3, 4, 5, 6, 7, 8]]
    assert x_titles == ["return", "time_scale", "mae", "mae", "return", "return", "return", None]
    assert y_titles == ["count", "edge ratio", "bmfe", "gmfe", "mae", "bmfe", "gmfe", None]
    assert [layout[f"yaxis{n}"].showgrid for n in ["", 2, 3, 8]] == [None, False, None, None]

    # Panels 1 and 8 span the width; panels 2 to 7 take a third each, with gaps between.
    widths = [np.diff(layout[f"xaxis{n}"].domain)[0] for n in ["", 2, 3, 4, 5, 6, 7, 8]]
    assert widths[0] == widths[7] == pytest.approx(1.0)
    assert widths[1:7] == pytest.approx([(1.0 - 2 * 0.1) / 3] * 6)
    rows = [layout[f"yaxis{n}"].domain for n in ["", 2, 5, 8]]
    assert all(upper[0] - lower[1] == pytest.approx(0.08) for upper, lower in zip(rows, rows[1:]))


def test_figure_saves_as_html(report, tmp_path):
    path = tmp_path / "dashboard.html"
    report.display_trevik_analysis().write_html(path)
    assert "Return Histogram(win_ratio:0.333)" in path.read_text(encoding="utf-8")


def assert_trade_table_changes_kept(trades):
    assert "entry_volatility" in trades.columns
    assert (trades["mae"].dropna() >= 0).all()


def test_no_complete_trade_is_a_division_by_zero_after_the_table_changes():
    trades = trade_table().iloc[3:]
    report = make_report(trades, excursion_table(trades))
    with pytest.raises(ZeroDivisionError):
        report.display_trevik_analysis()
    assert_trade_table_changes_kept(trades)


def test_unknown_violin_mode_is_refused_by_the_layout(report):
    with pytest.raises(ValueError, match="violinmode"):
        report.display_trevik_analysis(violinmode="stack")
    assert_trade_table_changes_kept(report.trades)


@pytest.mark.parametrize(
    "break_it, error",
    [
        (lambda r: setattr(r, "trades", r.trades.drop(columns="gmfe")), KeyError),
        (lambda r: setattr(r, "trevik", r.trevik.drop(columns=[(5, "gmfe")])), KeyError),
        (lambda r: delattr(r, "trevik"), AttributeError),
    ],
)
def test_missing_inputs_raise_and_keep_the_table_changes(report, break_it, error):
    break_it(report)
    with pytest.raises(error) as raised:
        report.display_trevik_analysis()
    assert "Report.display_trevik_analysis" in "".join(
        str(entry.frame.code.name) for entry in raised.traceback
    )
    assert_trade_table_changes_kept(report.trades)

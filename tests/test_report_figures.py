import sys

import numpy as np
import pandas as pd
import plotly.graph_objects as go
import pytest

import kovalt.report as kr

DATES = pd.date_range("2024-01-01", periods=30, freq="B")


def make_report(creturn, position, benchmark=None):
    report = kr.Report(creturn, position, 0.001425, 0.003, "close", position.index[-1], None)
    report.benchmark = benchmark
    return report


def rebased(strategy, benchmark=None):
    columns = {"strategy": strategy}
    if benchmark is not None:
        columns["benchmark"] = benchmark
    return pd.DataFrame(columns, index=DATES[: len(strategy)])


@pytest.fixture
def shown(monkeypatch):
    """Records what the report hands to the notebook's display function."""
    import IPython.display

    recorded = []
    monkeypatch.setattr(IPython.display, "display", recorded.append)
    return recorded


STRATEGY_TRACES = [
    # name, legend group, fill, line colour, y axis
    ("strategy", "performance", "tozeroy", None, "y"),
    ("strategy - drawdown", "drawdown", "tozeroy", None, "y2"),
    ("strategy - month rolling return", "rolling performance", "tozeroy", None, "y3"),
]
BENCHMARK_TRACES = [
    ("benchmark", "performance", None, "gray", "y"),
    ("benchmark - drawdown", "drawdown", None, "gray", "y2"),
    ("benchmark - month rolling return", "rolling performance", "tozeroy", "rgba(0,0,0,0.2)", "y3"),
]
NSTOCKS_TRACE = [("nstocks", None, "tozeroy", None, "y4")]


@pytest.mark.parametrize(
    "with_benchmark, expected",
    [
        (False, STRATEGY_TRACES + NSTOCKS_TRACE),
        (True, STRATEGY_TRACES + BENCHMARK_TRACES + NSTOCKS_TRACE),
    ],
)
def test_traces_come_in_order_with_their_groups_fills_and_colours(with_benchmark, expected):
    strategy = np.linspace(100, 130, 30)
    detail = rebased(strategy, strategy[::-1] if with_benchmark else None)
    fig = kr.Report.create_performance_figure(detail, pd.Series(3, index=DATES))

    assert isinstance(fig, go.Figure)
    got = [(t.name, t.legendgroup, t.fill, t.line.color, t.yaxis) for t in fig.data]
    assert got == expected
    assert all(t.type == "scatter" and t.mode is None for t in fig.data)


def test_panels_show_returns_drawdowns_and_month_rolling_change():
    # Up 10% a day for 25 days, then a fall to 60% of the peak.
    values = np.concatenate([100 * 1.1 ** np.arange(25), [0.6 * 100 * 1.1**24] * 5])
    detail = rebased(values)
    nstocks = pd.Series(np.arange(30), index=DATES)
    fig = kr.Report.create_performance_figure(performance_detail=detail, nstocks=nstocks)
    strategy, drawdown, rolling, count = fig.data

    assert strategy.y[0] == 0.0
    assert strategy.y[10] == pytest.approx(1.1**10 - 1)
    assert list(strategy.x) == list(DATES)
    np.testing.assert_allclose(drawdown.y[:25], 0.0, atol=1e-12)
    np.testing.assert_allclose(drawdown.y[25:], -0.4)
    assert np.isnan(rolling.y[:20]).all()
    assert rolling.y[20] == pytest.approx(1.1**20 - 1)
    assert rolling.y[29] == pytest.approx(0.6 * 1.1**24 / 1.1**9 - 1)
    assert list(count.y) == list(range(30))


def test_short_history_gives_an_all_missing_rolling_return():
    detail = rebased(np.linspace(100, 90, 20), np.linspace(100, 120, 20))
    fig = kr.Report.create_performance_figure(detail, pd.Series(1, index=DATES[:20]))
    rolling = [t for t in fig.data if "rolling" in t.name]
    assert len(rolling) == 2
    assert all(np.isnan(t.y).all() for t in rolling)


def test_layout_has_range_controls_on_the_bottom_date_axis_and_percent_axes():
    fig = kr.Report.create_performance_figure(rebased(np.full(30, 100.0)), pd.Series(0, DATES))
    layout = fig.layout

    assert (layout.height, layout.width) == (600, 800)
    assert layout.legend.bgcolor == "rgba(0,0,0,0)"
    assert (layout.margin.l, layout.margin.r, layout.margin.t, layout.margin.b) == (60, 20, 40, 20)
    assert [layout[f"yaxis{n}"].tickformat for n in ("", 2, 3, 4)] == [",.0%"] * 3 + [None]

    bottom = layout.xaxis4
    assert bottom.type == "date"
    assert (bottom.rangeslider.visible, bottom.rangeslider.thickness) == (True, 0.1)
    assert (bottom.rangeselector.x, bottom.rangeselector.y) == (0, 1)
    buttons = [(b.count, b.label, b.step, b.stepmode) for b in bottom.rangeselector.buttons]
    assert buttons == [
        (1, "1m", "month", "backward"),
        (6, "6m", "month", "backward"),
        (1, "YTD", "year", "todate"),
        (1, "1y", "year", "backward"),
        (None, None, "all", None),
    ]

    # One shared date axis; the top panel is twice as tall as each of the others.
    assert {layout[f"xaxis{n}"].matches for n in ("", 2, 3)} == {"x4"}
    heights = [np.diff(layout[f"yaxis{n}"].domain)[0] for n in ("", 2, 3, 4)]
    assert heights[0] == pytest.approx(2 * heights[1])
    assert heights[1:] == pytest.approx([heights[1]] * 3)


def test_missing_strategy_column_is_an_attribute_error():
    detail = pd.DataFrame({"benchmark": np.full(5, 100.0)}, index=DATES[:5])
    with pytest.raises(AttributeError):
        kr.Report.create_performance_figure(detail, pd.Series(0, DATES[:5]))


def test_display_shows_figure_last_holdings_and_last_date(shown):
    creturn = pd.Series(np.linspace(1.0, 1.3, 30), index=DATES)
    position = pd.DataFrame(
        {"2330": 0.5, "1101": 0.0, "2454": np.nan, "2603": 0.25}, index=DATES
    )
    position.iloc[:10, 3] = 0.0
    report = make_report(creturn, position)

    assert report.display() is None
    fig, holdings, last_date = shown
    assert [t.name for t in fig.data] == [
        "strategy",
        "strategy - drawdown",
        "strategy - month rolling return",
        "nstocks",
    ]
    # A missing weight counts as held, both in the count and in the last holdings.
    assert list(fig.data[3].y) == [2] * 10 + [3] * 20
    assert holdings.index.tolist() == ["2330", "2454", "2603"]
    assert holdings["2603"] == 0.25 and np.isnan(holdings["2454"])
    assert last_date == DATES[-1]


def test_display_rebases_where_strategy_and_benchmark_both_have_values(shown):
    creturn = pd.Series(np.linspace(2.0, 3.0, 30), index=DATES)
    creturn.iloc[:2] = np.nan
    benchmark = pd.Series(np.linspace(50.0, 80.0, 25), index=DATES[5:])
    position = pd.DataFrame({"2330": 0.0}, index=DATES)
    report = make_report(creturn, position, benchmark)

    report.display()
    fig, holdings, last_date = shown
    names = [t.name for t in fig.data]
    strategy = fig.data[names.index("strategy")]
    bench = fig.data[names.index("benchmark")]
    assert list(strategy.x) == list(DATES[5:])
    assert strategy.y[0] == 0.0 and bench.y[0] == 0.0
    assert bench.y[-1] == pytest.approx(80.0 / 50.0 - 1)
    assert strategy.y[-1] == pytest.approx(3.0 / creturn.iloc[5] - 1)
    assert holdings.empty and last_date == DATES[-1]


def test_display_without_a_benchmark_rebases_after_dropping_missing_values(shown):
    creturn = pd.Series([np.nan, 4.0, 5.0, 6.0], index=DATES[:4])
    report = make_report(creturn, pd.DataFrame({"2330": 1.0}, index=DATES[:4]))
    report.display()
    assert list(shown[0].data[0].y) == pytest.approx([0.0, 0.25, 0.5])


def block_import(monkeypatch, *names):
    for name in list(sys.modules):
        if any(name == n or name.startswith(n + ".") for n in names):
            monkeypatch.delitem(sys.modules, name)
    for name in names:
        monkeypatch.setitem(sys.modules, name, None)  # import raises ImportError


@pytest.mark.parametrize("blocked", ["IPython", "plotly"])
def test_display_is_silent_when_a_package_is_missing(monkeypatch, capfd, shown, blocked):
    report = make_report(pd.Series([1.0, 1.1], DATES[:2]), pd.DataFrame({"A": 1.0}, DATES[:2]))
    block_import(monkeypatch, blocked)
    assert report.display() is None
    assert shown == []
    assert capfd.readouterr() == ("", "")


def test_display_keeps_what_was_shown_before_a_failure(monkeypatch, capfd):
    import IPython.display

    recorded = []

    def fussy_display(obj):
        if isinstance(obj, pd.Series):
            raise RuntimeError("front end gone")
        recorded.append(obj)

    monkeypatch.setattr(IPython.display, "display", fussy_display)
    report = make_report(pd.Series([1.0, 1.1], DATES[:2]), pd.DataFrame({"A": 1.0}, DATES[:2]))
    assert report.display() is None
    assert len(recorded) == 1 and isinstance(recorded[0], go.Figure)
    assert capfd.readouterr() == ("", "")


def test_display_passes_on_errors_building_the_performance_table(shown):
    report = make_report(pd.Series([1.0, 1.1], DATES[:2]), pd.DataFrame({"A": 1.0}, DATES[:2]))
    report.creturn = 5  # a scalar without an index cannot make a table
    with pytest.raises(ValueError):
        report.display()
    assert shown == []

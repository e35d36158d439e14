"""kovalt.sweep: variants back-tested on Dask worker processes against the same back-tests run
here, failing variants, the cluster choices, the command line and its page in a browser."""

from __future__ import annotations

import math
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

distributed = pytest.importorskip("distributed")

import kovalt.ravnel  # noqa: E402,F401 - calc_stats, as the sweep uses it
from kovalt import backtest, demo, sweep  # noqa: E402
from kovalt.cli import main  # noqa: E402

FIGURES = ["cagr", "max_drawdown", "daily_sharpe", "daily_sortino", "calmar", "win_ratio",
           "trades", "mean_edge_ratio"]


@pytest.fixture(scope="module")
def cluster():
    """One local cluster of two single-threaded worker processes for the whole module."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as local, \
            distributed.Client(local) as client:
        yield local, client


@pytest.fixture(scope="module")
def market():
    return demo.synthetic_market(assets=40, years=2.5)


def expected_row(report) -> dict:
    """The table's figures by their documented definitions, on a back-test run here."""
    performance = report.creturn.resample("1D").last().calc_stats()
    performance.set_riskfree_rate(0.02)
    trades = report.get_trades()
    closed = trades[trades["exit_date"].notna()]
    row = {name: performance.stats[name]
           for name in ["cagr", "max_drawdown", "daily_sharpe", "daily_sortino", "calmar"]}
    row["win_ratio"] = (closed["return"] > 0).mean()
    row["trades"] = len(trades)
    edge = next(t for t in report.display_trevik_analysis().data if t.xaxis == "x2")
    row["mean_edge_ratio"] = edge.y[int(np.argmax(edge.x))]
    return row


def test_every_variant_equals_the_same_backtest_run_here_bit_for_bit(cluster, market):
    local, _ = cluster
    close, high, low, benchmark = market
    options = dict(resample="M", benchmark=benchmark, high=high, low=low, window_step=10,
                   fee_ratio=2e-3)
    grid = {"lookback": [20, 60, 120], "top": [3, 8]}
    result = sweep.run(close, demo.momentum_weights, grid, scheduler=local.scheduler_address,
                       progress=False, **options)

    assert list(result.table.columns) == ["lookback", "top"] + FIGURES + ["error"]
    assert result.table[["lookback", "top"]].values.tolist() == [
        [20, 3], [20, 8], [60, 3], [60, 8], [120, 3], [120, 8]]
    assert result.table["error"].isna().all()
    expected = []
    for i, params in enumerate(result.variants):
        report = backtest.run(close, demo.momentum_weights(close, **params), **options)
        expected.append(expected_row(report))
        pd.testing.assert_series_equal(result.curves[i], report.creturn, check_names=False,
                                       check_exact=True)
    expected = pd.DataFrame(expected, index=result.table.index)
    got = result.table[FIGURES].astype(float)
    pd.testing.assert_frame_equal(got, expected.astype(float), check_exact=True)
    assert np.isfinite(got.to_numpy()).all()


def test_a_failing_variant_gets_its_error_row_on_any_cluster(cluster, market):
    local, client = cluster
    close = market[0]

    def weights_for(close, lookback, top, unknown=False):  # local: shipped by value
        weights = demo.momentum_weights(close, lookback, top)
        if unknown:
            weights["ZZZZ"] = 0.1
        return weights

    grid = [{"lookback": 20, "top": 3}, {"lookback": 60, "top": 5, "unknown": True},
            {"lookback": 60, "top": 5}]
    mine = sweep.run(close, weights_for, grid, progress=False, workers=2)  # own LocalCluster
    given = sweep.run(close, weights_for, grid, scheduler=client, progress=False)
    assert client.status == "running"  # the caller's client stays usable

    pd.testing.assert_frame_equal(mine.table, given.table, check_exact=True)
    pd.testing.assert_frame_equal(mine.curves, given.curves, check_exact=True)
    table = mine.table
    assert table.loc[1, "error"] == ("ValueError: weights given for assets without close "
                                     "prices: ZZZZ")
    assert table.loc[1, FIGURES].isna().all() and mine.curves[1].isna().all()
    assert table.loc[[0, 2], "error"].isna().all()
    assert table.loc[[0, 2], "trades"].gt(0).all()
    assert table["unknown"].tolist()[1] is True and math.isnan(table["unknown"][0])

    report = mine.report(2)  # run again here: the full Report
    pd.testing.assert_series_equal(report.creturn, mine.curves[2], check_names=False)
    assert len(report.get_trades()) == table.loc[2, "trades"]
    with pytest.raises(ValueError, match="ZZZZ"):
        mine.report(1)


def test_threaded_workers_keep_back_tests_apart(market):
    """The excursion engine is per process: several threads of one worker must not mix."""
    close = market[0]
    grid = {"lookback": [20, 40, 60, 80, 100, 120], "top": [3, 6]}
    switching = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads take turns as often as they can
    try:
        with distributed.LocalCluster(n_workers=1, threads_per_worker=4, processes=False,
                                      dashboard_address=":0") as local, \
                distributed.Client(local) as client:
            threaded = sweep.run(close, demo.momentum_weights, grid, scheduler=client,
                                 progress=False)
    finally:
        sys.setswitchinterval(switching)
    assert threaded.table["error"].isna().all(), threaded.table["error"].dropna().tolist()
    for i in [0, 5, 11]:
        report = backtest.run(close, demo.momentum_weights(close, **threaded.variants[i]))
        assert threaded.table.loc[i, "trades"] == len(report.get_trades())
        assert threaded.table.loc[i, "cagr"] == expected_row(report)["cagr"]


def test_grid_forms_and_mistakes():
    assert sweep.expand_grid({"a": [1, 2], "b": ("x", "y")}) == [
        {"a": 1, "b": "x"}, {"a": 1, "b": "y"}, {"a": 2, "b": "x"}, {"a": 2, "b": "y"}]
    assert sweep.expand_grid([{"a": 1}, {"b": 2}]) == [{"a": 1}, {"b": 2}]
    for bad, error in [({}, ValueError), ({"a": []}, ValueError), ({"a": 3}, TypeError),
                       ({"a": "12"}, TypeError), ([], ValueError), ([1], TypeError),
                       ({"not a name": [1]}, ValueError), ("a=1", TypeError)]:
        with pytest.raises(error):
            sweep.expand_grid(bad)
    with pytest.raises(ValueError, match="clash"):
        sweep.run(pd.DataFrame(), demo.momentum_weights, {"trades": [1]}, progress=False)
    with pytest.raises(ValueError, match="existing cluster"):
        sweep.run(pd.DataFrame(), demo.momentum_weights, {"top": [1]}, progress=False,
                  scheduler="tcp://127.0.0.1:1", workers=2)


def test_importing_kovalt_does_not_load_dask():
    code = ("import sys, kovalt, kovalt.report, kovalt.sweep, kovalt.cli; "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in "
            "('dask', 'distributed', 'tqdm')))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True)
    assert done.stdout.strip() == "[]"


PAGE = """() => ({
    rows: document.querySelectorAll('table.variants tbody tr').length,
    best: document.querySelectorAll('table.variants tbody tr.best').length,
    plots: document.querySelectorAll('.js-plotly-plot .main-svg').length,
    heatmap: document.querySelectorAll('.js-plotly-plot g.hm, .js-plotly-plot image').length,
    curves: document.querySelectorAll('.js-plotly-plot g.trace.scatter').length,
    scripts: Array.from(document.scripts).filter(s => s.src).length,
    first: document.querySelector('table.variants tbody tr td').textContent,
})"""


def test_demo_command_writes_a_page_that_renders(cluster, tmp_path, capsys, browser_page):
    local, _ = cluster
    out = tmp_path / "sweep"
    assert main(["sweep", "demo", "--out", str(out), "--scheduler", local.scheduler_address,
                 "--no-progress"]) == 0
    printed = capsys.readouterr().out
    assert "12 variants, 0 failed" in printed and "lookback=" in printed

    table = pd.read_csv(out / "results.csv", index_col="variant")
    assert len(table) == 12 and table["error"].isna().all()
    assert table.columns[:2].tolist() == ["lookback", "top"]

    page = browser_page.page
    page.goto((out / "index.html").as_uri())
    page.wait_for_selector(".js-plotly-plot .main-svg", timeout=60_000)
    drawn = page.evaluate(PAGE)
    browser_page.shot()
    assert browser_page.errors == []
    assert drawn["rows"] == 12 and drawn["best"] == 5 and drawn["scripts"] == 0
    assert drawn["plots"] >= 3 and drawn["heatmap"] >= 1 and drawn["curves"] >= 12

    page.click("table.variants th:has-text('daily_sharpe')")  # ascending
    page.click("table.variants th:has-text('daily_sharpe')")  # descending: best first
    best = int(table["daily_sharpe"].idxmax())
    assert page.evaluate(PAGE)["first"] == str(best)
    assert browser_page.errors == []


def test_run_command_sweeps_a_weights_file(cluster, market, tmp_path, capsys):
    local, _ = cluster
    close = market[0]
    close.to_csv(tmp_path / "close.csv")
    (tmp_path / "strategy.py").write_text(
        "from kovalt.demo import momentum_weights\n\n"
        "def weights_for(close, lookback, top):\n"
        "    return momentum_weights(close, lookback, top)\n")
    out = tmp_path / "out"
    status = main(["sweep", "run", "--close", str(tmp_path / "close.csv"),
                   "--weights-module", str(tmp_path / "strategy.py"), "--grid", "lookback=20,60",
                   "--grid", "top=3,5,8", "--resample", "M", "--out", str(out),
                   "--scheduler", local.scheduler_address, "--no-progress"])
    assert status == 0, capsys.readouterr().err
    table = pd.read_csv(out / "results.csv", index_col="variant")
    assert table[["lookback", "top"]].values.tolist() == [
        [20, 3], [20, 5], [20, 8], [60, 3], [60, 5], [60, 8]]
    assert table["error"].isna().all() and (out / "index.html").is_file()

    assert main(["sweep", "run", "--close", str(tmp_path / "close.csv"), "--weights-module",
                 str(tmp_path / "missing.py"), "--grid", "top=3", "--out", str(out)]) == 2
    assert "weights module not found" in capsys.readouterr().err

import importlib.util
import io
import json
import sys

import numpy as np
import pandas as pd
import pytest

from kovalt.cli import main
from kovalt.commands import read_table


def small_market(days=90, assets=5, seed=2):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2023-01-02", periods=days)
    close = pd.DataFrame(30 * np.cumprod(1 + rng.normal(0, 0.02, (days, assets)), axis=0),
                         index=dates, columns=[f"{2300 + i}" for i in range(assets)])
    signal = dates[::10]
    weights = pd.DataFrame(np.where(rng.random((len(signal), assets)) < 0.5, 0.2, 0.0),
                           index=signal, columns=close.columns)
    benchmark = pd.DataFrame({"index": np.linspace(100, 120, days)}, index=dates)
    return close, weights, benchmark


@pytest.fixture
def csv_files(tmp_path):
    close, weights, benchmark = small_market()
    paths = {}
    for name, table in (("close", close), ("weights", weights), ("benchmark", benchmark)):
        paths[name] = tmp_path / f"{name}.csv"
        table.to_csv(paths[name], index_label="date")
    return paths


def run_cli(*args):
    return main(["run", *[str(a) for a in args]])


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_run_writes_the_page_and_the_position_report(csv_files, tmp_path, capsys, monkeypatch):
    out = tmp_path / "out"
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    status = run_cli("--close", csv_files["close"], "--weights", csv_files["weights"],
                     "--benchmark", csv_files["benchmark"], "--out", out)
    printed = capsys.readouterr()
    assert status == 0, terminal.getvalue()
    html = (out / "index.html").read_text(encoding="utf-8")
    assert html.lower().startswith("<!doctype html>") and html.rstrip().endswith("</html>")
    # plotly.js once, beside the page; the page itself only carries data.
    assert '<script src="plotly.min.js"></script>' in html and "<script src=\"http" not in html
    assert len(html) < 1_000_000 and (out / "plotly.min.js").stat().st_size > 1_000_000
    assert sorted(p.name for p in out.iterdir()) == ["index.html", "plotly.min.js",
                                                    "positions.json", "static"]
    positions = json.loads((out / "positions.json").read_text(encoding="utf-8"))
    assert set(positions) >= {"update_date", "next_trading_date", "trade_at"}
    assert positions["update_date"] == "2023-05-05"
    assert "max drawdown" in printed.out and str(out / "positions.json") in printed.out
    for step in ("reading the tables", "simulating", "analysing excursions",
                 "drawing the MAE/MFE dashboard"):
        assert step in terminal.getvalue()


def test_progress_only_on_a_terminal_and_without_quiet(csv_files, tmp_path, capsys,
                                                       monkeypatch):
    files = ("--close", csv_files["close"], "--weights", csv_files["weights"])
    assert run_cli(*files, "--out", tmp_path / "a") == 0  # captured: not a terminal
    printed = capsys.readouterr()
    assert printed.err == "" and "max drawdown" in printed.out
    monkeypatch.setattr(sys, "stderr", Terminal())
    assert run_cli(*files, "--out", tmp_path / "b", "--quiet") == 0
    assert sys.stderr.getvalue() == ""


def test_run_works_without_the_server_extra(csv_files, tmp_path):
    import subprocess

    blocked = ("import sys; sys.modules.update(flask=None, werkzeug=None, waitress=None); "
               "from kovalt.cli import main; sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", blocked, "run", "--close", str(csv_files["close"]),
                           "--weights", str(csv_files["weights"]), "--out", str(tmp_path / "o")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "o" / "index.html").is_file()


def test_help_shows_the_defaults(capsys):
    from kovalt import backtest

    with pytest.raises(SystemExit):
        main(["run", "--help"])
    text = " ".join(capsys.readouterr().out.split()).split("options:", 1)[1]
    for option, value in (("--fee-ratio", backtest.DEFAULT_FEE_RATIO),
                          ("--tax-ratio", backtest.DEFAULT_TAX_RATIO),
                          ("--window", backtest.DEFAULT_WINDOW),
                          ("--window-step", backtest.DEFAULT_WINDOW_STEP)):
        help_text = text.split(option + " " + option.lstrip("-").replace("-", "_").upper(), 1)[1]
        assert f"(default: {value})" in help_text.split(" --", 1)[0], option


def test_parquet_without_pyarrow_names_the_extra(csv_files, tmp_path, monkeypatch):
    def no_engine(*args, **kwargs):
        raise ImportError("Unable to find a usable engine; tried using: 'pyarrow'.\nA suitable "
                          "version of pyarrow is required for parquet support.")

    monkeypatch.setattr(pd, "read_parquet", no_engine)
    (tmp_path / "close.parquet").write_bytes(b"PAR1")
    with pytest.raises(Exception, match=r"^cannot read .*close\.parquet: Parquet needs pyarrow: "
                                        r"pip install 'kovalt\[parquet\]'$"):
        read_table(tmp_path / "close.parquet", "close prices")


def test_page_document_is_the_uploaded_document(tmp_path, httpserver, monkeypatch):
    import kovalt.report
    from kovalt import backtest
    from kovalt.strategy_document import strategy_document

    close, weights, benchmark = small_market()
    report = backtest.run(close, weights, benchmark=benchmark.iloc[:, 0])
    monkeypatch.setenv("KOVALT_API_TOKEN", "test-token")
    monkeypatch.delenv("KOVALT_FORCED_STRATEGY_NAME", raising=False)
    monkeypatch.setattr(kovalt.report, "UPLOAD_URL", httpserver.url_for("/write_database"))
    httpserver.expect_request("/write_database", method="POST").respond_with_json(
        {"status": "success", "uid": "u", "strategy_id": "s"})
    report.upload("mine")
    (request, _), = httpserver.log
    assert request.form["data"] == json.dumps(strategy_document(report))


@pytest.mark.skipif(importlib.util.find_spec("pyarrow") is None,
                    reason="pyarrow is not installed (it has no PyPy build)")
def test_parquet_tables_give_the_same_report_as_csv(csv_files, tmp_path):
    close, weights, _ = small_market()
    close.to_parquet(tmp_path / "close.parquet")
    weights.reset_index(names="date").to_parquet(tmp_path / "weights.parquet")  # dates as column
    pd.testing.assert_frame_equal(read_table(tmp_path / "close.parquet", "close"),
                                  read_table(csv_files["close"], "close"), check_names=False,
                                  check_freq=False)
    pd.testing.assert_frame_equal(read_table(tmp_path / "weights.parquet", "weights"),
                                  read_table(csv_files["weights"], "weights"), check_names=False)


def corrupt_file(path, old, new):
    path.write_text(path.read_text().replace(old, new, 1))


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda p: p["close"].unlink(), "close prices file not found"),
        (lambda p: corrupt_file(p["close"], "2023-01-05", "Jan the fifth?"),
         "unparsable date 'Jan the fifth?'"),
        (lambda p: corrupt_file(p["weights"], "0.2", "lots"), "non-numeric cell 'lots'"),
        (lambda p: corrupt_file(p["weights"], "2304", "9999"),
         "weights given for assets without close prices: 9999"),
        (lambda p: corrupt_file(p["weights"], "2023-01-16", "2023-01-15"),
         "not dates of the close prices"),
        (lambda p: p["close"].write_text(""), "cannot read close prices"),
        (lambda p: p["benchmark"].write_text("date,a,b\n2023-01-02,1,2\n"), "one column"),
    ],
    ids=["missing", "bad date", "text cell", "unknown asset", "misaligned", "empty", "benchmark"],
)
def test_bad_files_end_with_one_line_and_no_traceback(csv_files, tmp_path, capsys, change,
                                                      message):
    change(csv_files)
    status = run_cli("--close", csv_files["close"], "--weights", csv_files["weights"],
                     "--benchmark", csv_files["benchmark"], "--out", tmp_path / "out")
    err = capsys.readouterr().err
    errors = [line for line in err.splitlines() if line.startswith("kovalt: error:")]
    assert status == 2
    assert len(errors) == 1 and message in errors[0], err
    assert "Traceback" not in err
    assert not (tmp_path / "out").exists()


def test_demo_runs_as_a_module_and_is_deterministic(demo_output, tmp_path, capsys):
    out, done = demo_output
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr and "CAGR" in done.stdout
    assert str(out / "index.html") in done.stdout
    assert main(["demo", "--out", str(tmp_path)]) == 0
    first = (out / "positions.json").read_text(encoding="utf-8")
    assert (tmp_path / "positions.json").read_text(encoding="utf-8") == first
    assert len(json.loads(first)) == 10 + 3  # ten holdings, then the dates and trade_at


@pytest.mark.parametrize(
    "reply, status, message",
    [({"status": "success", "uid": "u1", "strategy_id": "s1"}, 0, "uploaded as 'my strategy'"),
     ({"status": "error", "message": "quota exceeded"}, 2, "upload refused: quota exceeded"),
     (None, 2, "--upload needs --benchmark")],
)
def test_run_uploads_under_the_given_name(csv_files, tmp_path, capsys, httpserver, monkeypatch,
                                          reply, status, message):
    import kovalt.report

    monkeypatch.setenv("KOVALT_API_TOKEN", "test-token")
    monkeypatch.delenv("KOVALT_FORCED_STRATEGY_NAME", raising=False)
    monkeypatch.setattr(kovalt.report, "UPLOAD_URL", httpserver.url_for("/write_database"))
    httpserver.expect_request("/write_database", method="POST").respond_with_json(reply or {})
    benchmark = ["--benchmark", csv_files["benchmark"]] if reply else []
    result = run_cli("--close", csv_files["close"], "--weights", csv_files["weights"], *benchmark,
                     "--out", tmp_path / "out", "--upload", "my strategy")
    printed = capsys.readouterr()
    assert result == status, printed.err
    assert message in printed.out + printed.err
    assert "<IPython." not in printed.out
    if reply is None:
        assert httpserver.log == [] and not (tmp_path / "out").exists()
        return
    (request, _), = httpserver.log
    assert request.form["document_id"] == "my strategy"
    assert json.loads(request.form["data"])["position"] == json.loads(
        (tmp_path / "out" / "positions.json").read_text(encoding="utf-8"))


def test_run_without_closed_trades_writes_the_page_without_the_dashboard(tmp_path, capsys):
    close, _, _ = small_market(days=40, assets=2)
    close.to_csv(tmp_path / "close.csv", index_label="date")
    held = pd.DataFrame({"2300": [0.5], "2301": [0.5]}, index=close.index[:1])
    held.to_csv(tmp_path / "weights.csv", index_label="date")  # bought once, never sold
    status = run_cli("--close", tmp_path / "close.csv", "--weights", tmp_path / "weights.csv",
                     "--out", tmp_path / "out")
    assert status == 0, capsys.readouterr().err
    html = (tmp_path / "out" / "index.html").read_text(encoding="utf-8")
    assert '<p id="trade-analysis">No closed trade' in html and 'id="performance"' in html

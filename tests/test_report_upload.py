"""Report.upload against a real HTTP server on loopback, with the real `requests`."""

import json
import logging
import os
import socket
import subprocess
import sys
import traceback
import urllib.parse
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import kovalt.report as report_module
from kovalt.report import Report

CANARY = "tok-CANARY-upload-7c3d"
VIEWER = "https://viewer.test/strategy/?uid="
PAYLOAD_KEYS = [
    "drawdown_details", "stats", "returns", "benchmark", "ndays_return", "return_table",
    "fee_ratio", "tax_ratio", "trade_at", "trevik_plotly_html", "update_date",
    "last_trading_date", "next_trading_date", "position", "public_performance", "public_code",
    "public_position",
]
INSTALL_HINT = "Install ipython to show the complete backtest results."
DATES = pd.bdate_range("2023-01-02", periods=90)


class Market:
    def __init__(self, benchmark, atr):
        self.benchmark, self.atr = benchmark, atr

    def get_benchmark(self):
        return self.benchmark

    @staticmethod
    def calc_atr(market, freq):
        return market.atr


def build_upload_report(benchmark_start="2022-12-01"):
    rng = np.random.default_rng(7)
    creturn = pd.Series(np.cumprod(1 + rng.normal(0.001, 0.012, len(DATES))), index=DATES)
    position = pd.DataFrame({"1101": 0.5, "2330": 0.5}, index=DATES)
    position.loc[DATES[40]:, "2330"] = 0.0
    bench_dates = pd.bdate_range(benchmark_start, DATES[-1])
    benchmark = pd.Series(np.linspace(50.0, 60.0, len(bench_dates)), index=bench_dates)
    atr = pd.DataFrame({"1101": 0.02, "2330": 0.03}, index=DATES)
    report = Report(creturn, position, 0.001425, 0.003, "close", pd.Timestamp("2023-05-08"),
                    Market(benchmark, atr))
    report.current_trades = pd.DataFrame(
        {"weight": [0.5, 0.5], "next_weights": [0.5, 0.0],
         "entry_sig_date": pd.to_datetime(["2023-01-02", "2023-01-02"]),
         "exit_sig_date": pd.to_datetime([None, "2023-02-24"]),
         "return": [0.1, -0.02], "entry_price": [40.0, 500.0]}, index=["1101", "2330"])
    report.actions = pd.Series({"1101": "hold", "2330": "exit"})
    report.resample = None
    report.trades = pd.DataFrame(
        {"stock_id": ["1101 TCC", "2330 TSMC", "1101 TCC"],
         "entry_sig_date": DATES[[0, 5, 30]], "exit_sig_date": DATES[[20, 40, 60]],
         "return": [0.05, -0.03, 0.0], "mae": [-0.01, -0.05, -0.02], "gmfe": [0.08, 0.01, 0.03],
         "bmfe": [0.02, 0.01, 0.01], "mdd": [-0.02, -0.06, -0.03], "pdays": [10, 2, 5],
         "period": [20, 35, 30]})
    columns = pd.MultiIndex.from_product([[5, 10, "exit"], ["gmfe", "mae"]])
    report.trevik = pd.DataFrame(rng.uniform(0.0, 0.05, (3, 6)), columns=columns)
    return report


@pytest.fixture
def report():
    return build_upload_report()


@pytest.fixture
def service(httpserver, monkeypatch):
    monkeypatch.setattr(report_module, "UPLOAD_URL", httpserver.url_for("/write_database"))
    monkeypatch.setattr(report_module, "VIEWER_URL", VIEWER)
    monkeypatch.setenv("KOVALT_API_TOKEN", CANARY)
    monkeypatch.delenv("KOVALT_FORCED_STRATEGY_NAME", raising=False)

    def reply(body, status=200, content_type="application/json"):
        httpserver.expect_request("/write_database", method="POST").respond_with_data(
            body, status=status, content_type=content_type)

    def form():
        (request, _response), = httpserver.log
        assert request.content_type == "application/x-www-form-urlencoded"
        return urllib.parse.parse_qsl(request.get_data(as_text=True), keep_blank_values=True)

    return SimpleNamespace(reply=reply, form=form, log=httpserver.log)


@pytest.fixture
def frames(monkeypatch):
    import IPython.display

    shown = []
    monkeypatch.setattr(IPython.display, "display", lambda *objects: shown.extend(objects))
    return shown


def sent_payload(service):
    return json.loads(dict(service.form())["data"])


def test_form_and_payload_on_the_wire(report, service, frames, monkeypatch):
    events = []
    monkeypatch.setattr(report_module, "json", SimpleNamespace(
        dumps=lambda payload: events.append("dumps") or json.dumps(payload), loads=json.loads))
    monkeypatch.setattr(report_module, "get_token", lambda: events.append("token") or CANARY)
    service.reply('{"uid": "u1", "strategy_id": "s1"}')

    assert report.upload("my strategy") == {"status": "success"}

    fields = service.form()
    assert [key for key, _ in fields] == ["data", "api_token", "collection", "document_id"]
    assert fields[1:] == [("api_token", CANARY), ("collection", "strategies"),
                          ("document_id", "my strategy")]
    assert events == ["dumps", "token"]
    text = fields[0][1]
    payload = json.loads(text)
    assert list(payload) == PAYLOAD_KEYS
    assert json.dumps(payload) == text  # the standard encoder with its default settings
    assert '"ndays_return": {"1": ' in text and '"trevik_plotly_html": null' in text
    assert "\\u6301\\u6709" in text and "持有" not in text  # status labels as \u escapes
    assert text.endswith('"public_performance": false, "public_code": false, '
                         '"public_position": false}')

    returns = payload["returns"]
    calendar = pd.date_range(DATES[0], DATES[-1]).strftime("%Y-%m-%d").tolist()
    assert returns["time"] == calendar
    curve = pd.Series(returns["value"], index=pd.to_datetime(calendar))
    expected = (report.creturn / report.creturn.iloc[0] * 100).reindex(curve.index).ffill()
    np.testing.assert_allclose(curve, expected)
    for n in (1, 5, 10, 20, 60):
        assert payload["ndays_return"][str(n)] == pytest.approx(curve.iloc[-1] / curve.iloc[-1 - n] - 1)
    assert len(payload["benchmark"]) == len(calendar) and payload["benchmark"][0] == 100.0
    assert (payload["stats"]["start"], payload["stats"]["end"]) == ("2023-01-02", "2023-05-05")
    assert (payload["update_date"], payload["last_trading_date"], payload["next_trading_date"]) == (
        "2023-05-05", DATES[40].strftime("%Y-%m-%d"), "2023-05-08")
    assert (payload["fee_ratio"], payload["tax_ratio"], payload["trade_at"]) == (0.001425, 0.003, "close")
    assert payload["position"] == json.loads(json.dumps(report.position_info()))
    lengths = [row["Length"] for row in payload["drawdown_details"].values()]
    assert 0 < len(lengths) <= 5 and lengths == sorted(lengths)
    for start, row in payload["drawdown_details"].items():
        assert pd.Timestamp(start).strftime("%Y-%m-%d") == start and len(row["End"]) == 10


def test_benchmark_starting_after_the_strategy_is_rebased_on_its_first_value(service, frames):
    report = build_upload_report(benchmark_start="2023-01-16")
    service.reply('{"uid": "u", "strategy_id": "s"}')
    report.upload()
    text = dict(service.form())["data"]
    assert '"benchmark": [NaN, NaN, ' in text
    benchmark = sent_payload(service)["benchmark"]
    assert len(benchmark) == len(pd.date_range(DATES[0], DATES[-1]))
    assert np.isnan(benchmark[:14]).all() and benchmark[14] == 100.0
    assert not np.isnan(benchmark[14:]).any() and benchmark[-1] == pytest.approx(120.0)


SUCCESS = {"status": "success"}
PARSE_ERROR = {"status": "error", "message": "cannot parse json object"}
REFUSED = ["Fail to upload result to server", "error message quota exceeded"]


@pytest.mark.parametrize("body, status, content_type, result, printed, page", [
    ('{"status": "ok", "uid": "u-1", "strategy_id": "s_2"}', 200, "application/json",
     SUCCESS, [], VIEWER + "u-1&sid=s_2"),
    ('{"uid": "u-1", "strategy_id": "s_2"}', 200, "application/json", SUCCESS, [],
     VIEWER + "u-1&sid=s_2"),
    ('{"status": "error", "message": "quota exceeded"}', 200, "application/json",
     {"status": "error", "message": "quota exceeded"}, REFUSED, None),
    ('{"status": "error", "message": "quota exceeded"}', 500, "application/json",
     {"status": "error", "message": "quota exceeded"}, REFUSED, None),
    ("stored", 200, "text/plain", PARSE_ERROR, [], None),
    ("<html><body><h1>500 Internal Server Error</h1></body></html>", 500, "text/html",
     PARSE_ERROR, [], None),
    ('{"status": "ok"}', 200, "application/json", SUCCESS, ["'uid'", INSTALL_HINT], None),
], ids=["success", "no-status", "refused", "refused-500", "not-json", "html-500", "no-uid"])
def test_reply_handling(report, service, frames, capsys, body, status, content_type, result,
                        printed, page):
    service.reply(body, status, content_type)
    assert report.upload("s") == result
    assert capsys.readouterr().out.splitlines() == printed
    assert [(f.src, f.width, f.height) for f in frames] == ([(page, "100%", 600)] if page else [])


@pytest.mark.parametrize("body, error, printed", [
    ('{"status": "error"}', KeyError, "Fail to upload result to server\n"),
    ("42", TypeError, ""),
])
def test_replies_that_raise(report, service, frames, capsys, body, error, printed):
    service.reply(body)
    with pytest.raises(error):
        report.upload("s")
    assert capsys.readouterr().out == printed and frames == []


@pytest.mark.parametrize("forced, name, document_id", [
    ("", "given", "given"), ("forced", "given", "forced"), ("", None, "未命名"),
])
def test_forced_name_mode_skips_the_reply(report, service, frames, capsys, monkeypatch, forced,
                                          name, document_id):
    monkeypatch.setenv("KOVALT_FORCED_STRATEGY_NAME", forced)
    service.reply('{"status": "error", "message": "ignored"', 500)
    assert report.upload(name) == SUCCESS
    assert dict(service.form())["document_id"] == document_id
    assert capsys.readouterr().out == "" and frames == []


def test_without_ipython_the_upload_still_succeeds(report, service, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "IPython.display", None)
    service.reply('{"uid": "u", "strategy_id": "s"}')
    assert report.upload() == SUCCESS
    assert dict(service.form())["document_id"] == "未命名"
    first, hint = capsys.readouterr().out.splitlines()
    assert "IPython.display" in first and hint == INSTALL_HINT


@pytest.mark.parametrize("uid, sid, expected", [
    ("Ab-12_x.y~", "77", "Ab-12_x.y~&sid=77"),
    ("u&sid=evil#top", "1/2 ?x=1", "u%26sid%3Devil%23top&sid=1%2F2%20%3Fx%3D1"),
])
def test_identifiers_cannot_change_the_page_query(report, service, frames, uid, sid, expected):
    service.reply(json.dumps({"uid": uid, "strategy_id": sid}))
    report.upload()
    (frame,) = frames
    assert frame.src == VIEWER + expected
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(frame.src).query)
    assert query == {"uid": [uid], "sid": [sid]}


@pytest.mark.parametrize("trevik_charts, break_it, expected", [
    (True, None, "fragment"), (True, "no-trevik", ""), (False, "no-plotly", ""),
])
def test_dashboard_fragment(report, service, frames, monkeypatch, trevik_charts, break_it, expected):
    if break_it == "no-trevik":
        del report.trevik
    if break_it == "no-plotly":
        monkeypatch.setitem(sys.modules, "plotly.io", None)
    service.reply('{"uid": "u", "strategy_id": "s"}')
    assert report.upload("s", trevik_charts) == SUCCESS
    html = sent_payload(service)["trevik_plotly_html"]
    if expected == "fragment":
        assert "<div" in html and "cdn.plot.ly" in html and "<html>" not in html
    else:
        assert html == expected


class RecordedStats:
    """A statistics object that records which members are used, in order."""

    def __init__(self, details, log):
        self._details, self.log = details, log

    def set_riskfree_rate(self, rate):
        self.log.append(("set_riskfree_rate", rate))

    def __getattr__(self, member):
        self.log.append(member)
        start, end = pd.Timestamp("2023-01-02 09:30"), pd.Timestamp("2023-05-05")
        return {"drawdown_details": self._details,
                "stats": pd.Series({"start": start, "end": end, "cagr": 0.12}),
                "return_table": pd.DataFrame({1: [0.01], 2: [np.nan]}, index=[2023])}[member]


def test_statistics_members_and_tied_drawdowns(report, service, frames, monkeypatch):
    lengths = [5, 9, 5, 9, 2] * 4
    starts = pd.date_range("2022-01-03 09:30", periods=20, freq="7D")
    details = pd.DataFrame({"Start": starts, "End": starts + pd.Timedelta(days=3),
                            "Length": lengths, "drawdown": -np.arange(20) / 100})
    log = []
    # The report applies ravnel's own function, looked up when it is called.
    monkeypatch.setattr(report_module.ravnel, "calc_stats",
                        lambda series: RecordedStats(details, log))
    service.reply('{"uid": "u", "strategy_id": "s"}')
    report.upload()
    assert log == [("set_riskfree_rate", 0.02), "drawdown_details", "stats", "return_table"]
    payload = sent_payload(service)
    tied = [i for i, length in enumerate(lengths) if length == 9][-5:]  # equal lengths keep order
    assert list(payload["drawdown_details"]) == [starts[i].strftime("%Y-%m-%d") for i in tied]
    first = starts[tied[0]]
    assert payload["drawdown_details"][first.strftime("%Y-%m-%d")] == {
        "End": (first + pd.Timedelta(days=3)).strftime("%Y-%m-%d"), "Length": 9,
        "drawdown": -tied[0] / 100}
    assert payload["stats"] == {"start": "2023-01-02", "end": "2023-05-05", "cagr": 0.12}
    assert payload["return_table"]["2023"]["1"] == 0.01
    assert np.isnan(payload["return_table"]["2023"]["2"])


def closed_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def everything_said(error):
    """The exception chain as text: messages, attributes and tracebacks with frame locals."""
    parts = ["".join(traceback.TracebackException.from_exception(
        error, capture_locals=True).format())]
    while error is not None:
        request = getattr(error, "request", None)
        parts += [repr(error.args), repr(vars(error)), repr(getattr(request, "body", None))]
        error = error.__cause__ or error.__context__
    return "\n".join(parts)


def test_token_never_printed_logged_or_raised(report, service, frames, capsys, caplog, monkeypatch):
    caplog.set_level(logging.DEBUG)
    service.reply(json.dumps({"status": "error", "message": f"invalid api_token {CANARY}"}))
    result = report.upload("s")
    assert dict(service.form())["api_token"] == CANARY  # it was really sent
    assert result == {"status": "error", "message": "invalid api_token ***"}

    monkeypatch.setattr(report_module, "UPLOAD_URL",
                        f"http://127.0.0.1:{closed_loopback_port()}/write_database")
    with pytest.raises(report_module.requests.ConnectionError) as raised:
        report.upload("s")
    said = everything_said(raised.value)
    assert "write_database" in said and "api_token" in said  # the rendering shows the frames
    captured = capsys.readouterr()
    for text in (said, captured.out, captured.err, caplog.text):
        assert CANARY not in text


@pytest.mark.parametrize("setting, url", [
    ("UPLOAD_URL", "http://example.com/write_database"),
    ("UPLOAD_URL", "http://10.0.0.1/write_database"),
    ("UPLOAD_URL", "ftp://127.0.0.1/write_database"),
    ("UPLOAD_URL", "http://127.0.0.1.example.com/write_database"),
    ("UPLOAD_URL", "http://localhost.example.com/write_database"),
    ("UPLOAD_URL", "http://127.0.0.1@example.com/write_database"),
    ("UPLOAD_URL", "http://example.com\\@127.0.0.1/write_database"),
    ("UPLOAD_URL", "http://example.com @127.0.0.1/write_database"),
    ("UPLOAD_URL", "https:///write_database"),
    ("UPLOAD_URL", b"https://example.com/write_database"),
    ("VIEWER_URL", "http://viewer.example.com/strategy/?uid="),
])
def test_insecure_endpoint_is_refused_before_anything_is_sent(report, service, monkeypatch,
                                                              setting, url):
    monkeypatch.setattr(report_module, setting, url)
    monkeypatch.setattr(report_module, "get_token", lambda: pytest.fail("token read"))
    with pytest.raises(ValueError, match=setting):
        report.upload("s")
    assert service.log == []


@pytest.mark.parametrize("url", [
    "https://upload.example.com/write_database", "http://127.0.0.1:8080/write_database",
    "http://127.8.9.10/write_database", "http://[::1]:8080/write_database",
    "HTTP://LocalHost/write_database",
])
def test_accepted_endpoint_gets_exactly_the_form(report, frames, monkeypatch, url):
    calls = []

    def post(*args, **kwargs):
        calls.append((args, kwargs))
        return SimpleNamespace(text='{"uid": "u", "strategy_id": "s"}')

    monkeypatch.setattr(report_module, "requests", SimpleNamespace(post=post))
    monkeypatch.setattr(report_module, "UPLOAD_URL", url)
    monkeypatch.setattr(report_module, "get_token", lambda: CANARY)
    assert report.upload("s") == SUCCESS
    ((args, kwargs),) = calls
    assert args == (url,) and list(kwargs) == ["data"]
    assert list(kwargs["data"]) == ["data", "api_token", "collection", "document_id"]


@pytest.mark.parametrize("environment, expected", [
    ({}, ("https://", "/write_database", "https://", "/strategy/?uid=")),
    ({"KOVALT_UPLOAD_URL": "http://127.0.0.1:9/write_database",
      "KOVALT_VIEWER_URL": "http://127.0.0.1:9/strategy/?uid="},
     ("http://127.0.0.1:9", "/write_database", "http://127.0.0.1:9", "/strategy/?uid=")),
])
def test_endpoints_come_from_the_environment_at_load(monkeypatch, environment, expected):
    for variable in ("KOVALT_UPLOAD_URL", "KOVALT_VIEWER_URL"):
        monkeypatch.delenv(variable, raising=False)
    for variable, value in environment.items():
        monkeypatch.setenv(variable, value)
    script = "import json, kovalt.report as r; print(json.dumps([r.UPLOAD_URL, r.VIEWER_URL]))"
    upload, viewer = json.loads(subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout)
    assert upload.startswith(expected[0]) and upload.endswith(expected[1])
    assert viewer.startswith(expected[2]) and viewer.endswith(expected[3])


# A library that put methods of the same names on pandas objects before kovalt was imported;
# its versions give figures that could not be mistaken for ravnel's.
RIVAL_LIBRARY = '''
import pandas as pd

def rebase(obj, value=100.0):
    return obj * 0 + 7.0

def to_drawdown_series(obj):
    return obj * 0 - 0.5

def calc_stats(obj):
    raise AssertionError("the rival's calc_stats was used")

for owner in (pd.Series, pd.DataFrame):
    owner.rebase, owner.to_drawdown_series = rebase, to_drawdown_series
pd.Series.calc_stats = calc_stats
'''

IMPORT_ORDER_SCRIPT = '''
import json, sys, types, warnings
import numpy as np, pandas as pd
import rival
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    from test_report_upload import build_upload_report
import kovalt.report as kr
from kovalt import ravnel

shown = []
sys.modules["IPython"] = types.ModuleType("IPython")
sys.modules["IPython.display"] = types.SimpleNamespace(display=shown.append)
sent = []
kr.requests = types.SimpleNamespace(post=lambda url, data: sent.append(data) or
                                    types.SimpleNamespace(text="{}"))
report = build_upload_report()
report.benchmark = report.market_info.benchmark
report.display()
report.upload("s")

creturn = report.creturn
frame = ravnel.rebase(pd.DataFrame({"strategy": creturn,
                                    "benchmark": report.benchmark}).dropna())
daily = creturn.resample("1D").last()
stats = ravnel.calc_stats(daily)
stats.set_riskfree_rate(0.02)
summary = stats.stats.to_dict()
summary["start"], summary["end"] = (summary[k].strftime("%Y-%m-%d") for k in ("start", "end"))
payload = json.loads(sent[0]["data"])
figure = shown[0]
print(json.dumps({
    "warnings": [str(w.message) for w in caught],
    "kept": pd.Series.calc_stats is rival.calc_stats,
    "stats": json.dumps(payload["stats"]) == json.dumps(summary),
    "returns": payload["returns"]["value"] == ravnel.rebase(daily.ffill().dropna()).tolist(),
    "strategy": np.allclose(figure.data[0].y, frame["strategy"] / 100 - 1),
    "drawdown": np.allclose(figure.data[1].y,
                            ravnel.to_drawdown_series(frame)["strategy"]),
}))
'''


def test_report_uses_ravnel_after_another_library_installed_its_methods(tmp_path, monkeypatch):
    # In a fresh process, so that the rival methods never reach this one's pandas.
    (tmp_path / "rival.py").write_text(RIVAL_LIBRARY)
    tests = str(Path(__file__).resolve().parent)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        [str(tmp_path), tests, *filter(None, [os.environ.get("PYTHONPATH")])]))
    monkeypatch.setenv("KOVALT_FORCED_STRATEGY_NAME", "import order")
    monkeypatch.setenv("KOVALT_API_TOKEN", CANARY)
    done = subprocess.run([sys.executable, "-c", IMPORT_ORDER_SCRIPT], capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result.pop("kept")  # the rival's own users keep its methods, with a warning each
    said = [text for text in result.pop("warnings") if "is already defined (by rival)" in text]
    assert len(said) == 5 and all("kovalt.ravnel." in text for text in said)
    assert result == {"stats": True, "returns": True, "strategy": True, "drawdown": True}

import gc
import inspect
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pandas as pd
import pytest

import kovalt.report as kr
from kovalt.report import Report, allow_asset_types

CLASS_BODY_ORDER = [
    "__init__", "display", "create_performance_figure", "upload", "position_info",
    "get_ndays_return", "add_trade_info", "remove_trade_info", "get_trevik", "get_trades",
    "display_trevik_analysis",
]
STATIC_METHODS = {"create_performance_figure", "get_ndays_return"}


def traceback_names(excinfo):
    return [entry.frame.code.raw.co_name for entry in excinfo.traceback]


def test_import_binds_the_namespace_in_order_silences_future_warnings_and_skips_plotting():
    script = textwrap.dedent(
        """
        import sys, warnings
        import kovalt.report as kr
        print([n for n in vars(kr) if not n.startswith("__")])
        print("plotly" in sys.modules, "IPython" in sys.modules)
        with warnings.catch_warnings(record=True) as caught:
            warnings.warn("old", FutureWarning)
            warnings.warn("new", UserWarning)
        print([type(w.message).__name__ for w in caught])
        """
    )
    lines = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True).stdout.splitlines()
    # The upload endpoint constants are bound after Report, so the listed names keep their order.
    assert lines[0] == str(["warnings", "pd", "np", "math", "json", "os", "ravnel", "get_token",
                            "logger", "requests", "allow_asset_types", "Report", "UPLOAD_URL",
                            "VIEWER_URL"])
    assert lines[1] == "False False"
    assert lines[2] == "['UserWarning']"


def test_report_is_a_plain_class_with_undocumented_methods_in_body_order():
    assert type(Report) is type and Report.__bases__ == (object,)
    assert (Report.__module__, Report.__qualname__, Report.__doc__) == ("kovalt.report", "Report", None)
    present = [name for name in vars(Report) if name in CLASS_BODY_ORDER]
    assert present == [name for name in CLASS_BODY_ORDER if name in present]
    assert {"__init__", "position_info", "get_ndays_return", "add_trade_info",
            "remove_trade_info", "get_trevik", "get_trades"} <= set(present)
    for name in present:
        member = vars(Report)[name]
        assert isinstance(member, staticmethod) == (name in STATIC_METHODS)
        function = getattr(Report, name)
        assert (function.__name__, function.__qualname__) == (name, f"Report.{name}")
        assert function.__module__ == "kovalt.report" and function.__doc__ is None


def test_methods_bind_like_python_functions(report):
    bound = report.get_trades
    assert inspect.ismethod(bound) and bound.__self__ is report
    assert Report.get_trades(report) is report.trades and report.get_trevik() is report.trevik
    assert Report.__dict__["get_trades"].__get__(None, Report) is Report.get_trades
    report.extra = 1  # instances keep an ordinary __dict__
    assert "extra" in vars(report)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda r: r.add_trade_info("x"), "add_trade_info() missing 1 required positional argument: 'df'"),
        (lambda r: r.get_trades(1), "get_trades() takes 1 positional argument but 2 were given"),
        (lambda r: r.remove_trade_info(nam="x"), "remove_trade_info() got an unexpected keyword argument 'nam'"),
        (lambda r: r.add_trade_info("x", name="y"), "add_trade_info() got multiple values for argument 'name'"),
        (lambda r: Report.get_ndays_return(pd.Series([1.0])), "get_ndays_return() missing 1 required positional argument: 'n'"),
    ],
)
def test_argument_errors_read_as_python_ones(report, call, message):
    with pytest.raises(TypeError) as excinfo:
        call(report)
    assert str(excinfo.value) == message


def test_failures_carry_the_method_traceback_entry(report):
    with pytest.raises(KeyError) as excinfo:
        report.add_trade_info("x", pd.DataFrame(), date_col="no such column")
    assert "kovalt.report.Report.add_trade_info" in traceback_names(excinfo)


def test_methods_look_module_globals_up_when_called(report, monkeypatch):
    class Rebound:
        def __getattr__(self, name):
            raise LookupError(f"rebound pd.{name}")

    report.current_trades = pd.DataFrame({"exit_sig_date": pd.to_datetime([None])})
    report.resample = None
    monkeypatch.setattr(kr, "pd", Rebound())
    with pytest.raises(LookupError, match="rebound pd.Series"):
        report.position_info()
    monkeypatch.delattr(kr, "pd")
    with pytest.raises(NameError, match="name 'pd' is not defined"):
        report.position_info()


# ----------------------------------------------------------------------------- construction

@pytest.mark.parametrize(
    "labels, asset_type",
    [
        (["2330", "1101"], "tw_stock"),
        (["BTCUSDT", "ETHUSDT"], "crypto"),
        (["2330", "BTCUSDT"], "crypto"),
        (["btcusdt"], "tw_stock"),
    ],
)
def test_asset_type_follows_usdt_in_the_labels(make_report, labels, asset_type):
    position = pd.DataFrame(1.0, index=pd.date_range("2024-01-01", periods=2), columns=labels)
    assert make_report(position).asset_type == asset_type


D = pd.date_range("2024-01-01", periods=7)


@pytest.mark.parametrize(
    "weights, index, last_trading",
    [
        ([0.5], D[:1], D[0]),                                   # a single row
        ([0.3, 0.3, 0.3], D[:3], D[0]),                         # never changes, weights not 0
        ([0, 0, 0.5], D[:3], D[2]),                             # the last row changes
        ([0, 1, 1, 1, 0, 0, 0], D, D[4]),                       # changes on dates 2 and 5
        ([np.nan, 1, 1, 2], D[:4], D[3]),                       # a change next to NaN counts 0
        ([0, 1, 1], D[:3][::-1], D[:3][::-1][1]),              # by place, index descending
    ],
)
def test_update_and_last_trading_dates(make_report, weights, index, last_trading):
    position = pd.DataFrame({"2330": weights}, index=index)
    rep = make_report(position)
    assert rep.update_date == index[-1]
    assert rep.last_trading_date == last_trading


def test_constructor_keeps_the_callers_objects_in_attribute_order(make_report):
    position = pd.DataFrame({"2330": [0, 1]}, index=D[:2])
    creturn = pd.Series([1.0, 1.1], index=D[:2])
    next_date = D[3]
    rep = make_report(position, creturn, trade_at=None, next_trading_date=next_date)
    assert list(vars(rep)) == ["creturn", "position", "benchmark", "fee_ratio", "tax_ratio",
                               "trade_at", "update_date", "asset_type", "last_trading_date",
                               "next_trading_date", "market_info"]
    assert rep.position is position and rep.creturn is creturn and rep.benchmark is None
    assert rep.next_trading_date is next_date and rep.trade_at is None
    with pytest.raises(AttributeError):
        rep.get_trades()
    with pytest.raises(AttributeError):
        rep.get_trevik()


@pytest.mark.parametrize(
    "position, error, set_before",
    [
        (pd.DataFrame({"2330": []}), IndexError, "trade_at"),
        (pd.DataFrame({1101: [1.0]}, index=D[:1]), AttributeError, "update_date"),
    ],
)
def test_constructor_failures_keep_what_was_set(position, error, set_before):
    rep = Report.__new__(Report)
    with pytest.raises(error) as excinfo:
        rep.__init__(pd.Series([1.0]), position, 0, 0, "close", None, None)
    assert list(vars(rep))[-1] == set_before
    assert "kovalt.report.Report.__init__" in traceback_names(excinfo)


# ----------------------------------------------------------------------------- asset-type guard

class Guarded:
    def __init__(self, asset_type):
        self.asset_type = asset_type


def echo(report, *args, **kwargs):
    kwargs["touched"] = True
    return report, args, kwargs


@pytest.mark.parametrize(
    "asset_types, asset_type, refusal_tail",
    [
        (["tw_stock", "crypto"], "crypto", None),
        (["tw_stock"], "crypto", "['tw_stock']"),
        (("tw_stock",), "crypto", "('tw_stock',)"),
        ("tw_stock", "tw_stock", None),                 # substring test of a plain string
        ("tw_stock", "crypto", "tw_stock"),
        ([], "tw_stock", "[]"),
    ],
)
def test_guard_passes_or_refuses_with_the_message(asset_types, asset_type, refusal_tail):
    Guarded.method = allow_asset_types(asset_types)(echo)
    target = Guarded(asset_type)
    keywords = {"k": 1}
    if refusal_tail is None:
        assert target.method(2, **keywords) == (target, (2,), {"k": 1, "touched": True})
        assert keywords == {"k": 1}
        return
    with pytest.raises(Exception) as excinfo:
        target.method(2, **keywords)
    assert type(excinfo.value) is Exception
    assert excinfo.value.args == (
        f"Report.echo for {asset_type} is not implemented. Allowed asset type: {refusal_tail}",)


def test_guard_functions_have_their_names_and_documentation():
    decorator = allow_asset_types(["tw_stock"])
    wrapper = decorator(echo)
    assert (decorator.__name__, decorator.__qualname__) == (
        "decorator", "allow_asset_types.<locals>.decorator")
    assert (wrapper.__name__, wrapper.__qualname__) == (
        "wrapper", "allow_asset_types.<locals>.decorator.<locals>.wrapper")
    assert allow_asset_types.__doc__ == (
        "Decorator to check if a method is in allow asset types\n\n"
        "    The decorator checks if report.method is valid according to the asset type of the "
        "position\n\n    Returns:\n        None\n    ")
    assert wrapper.__doc__ is None and decorator(echo) is not wrapper
    with pytest.raises(TypeError, match="must be set to a string object"):
        wrapper.__qualname__ = 1
    with pytest.raises(TypeError):
        type(wrapper)()


@pytest.mark.parametrize(
    "asset_types, args, error",
    [
        (["tw_stock"], (), IndexError),
        (["tw_stock"], (object(),), AttributeError),
        (5, (Guarded("tw_stock"),), TypeError),
    ],
)
def test_guard_failures_propagate(asset_types, args, error):
    with pytest.raises(error) as excinfo:
        allow_asset_types(asset_types)(echo)(*args)
    assert ("kovalt.report.allow_asset_types.<locals>.decorator.<locals>.wrapper"
            in traceback_names(excinfo))


def test_a_class_holding_a_guarded_method_is_collected():
    def make_cycle():
        class Holder:
            pass

        def method(self):
            return Holder  # the method reaches the class that holds its wrapper

        Holder.method = allow_asset_types(["tw_stock"])(method)
        return weakref.ref(Holder)

    ref = make_cycle()
    gc.collect()
    assert ref() is None

"""The `kovalt demo` and `kovalt run` commands: back-test, then write the report's pages.

Both write, into the output folder:

- index.html: the report page, the storage service's strategy page drawn from the same
  template (statistics, curves, drawdowns, monthly and recent returns, positions) with the
  performance figure and the MAE/MFE dashboard; it loads static/ and plotly.min.js beside it
  and opens offline from the file system;
- positions.json: the position report (current holdings and the next trades);

and print the key statistics and the paths. Progress lines go to standard error, only when it
is a terminal and without --quiet, so that they never mix into the printed result. Problems with the user's files end the command with
one line on standard error and exit status 2, never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import math
import sys
import time
from pathlib import Path

__all__ = ["add_demo_command", "add_run_command", "CommandError", "read_table", "write_outputs"]

POSITIONS_FILE = "positions.json"
DEMO_NAME = "kovalt demo"


class CommandError(Exception):
    """A problem the user can fix, reported as one line without a traceback."""


class Steps:
    """Prints what is being done and how long it took, so that no step runs silently."""

    def __init__(self, stream=None, enabled: bool = True):
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.started: float | None = None

    @classmethod
    def for_terminal(cls, quiet: bool) -> Steps:
        """Progress on standard error when it is a terminal, unless asked to be quiet."""
        return cls(enabled=not quiet and sys.stderr.isatty())

    def note(self, text: str) -> None:
        if self.enabled:
            print(text, file=self.stream, flush=True)

    def __call__(self, text: str) -> None:
        self.finish()
        if not self.enabled:
            return
        sys.stdout.flush()
        print(f"  {text} ...", end="", file=self.stream, flush=True)
        self.started = time.perf_counter()

    def finish(self) -> None:
        if self.started is not None:
            print(f" {time.perf_counter() - self.started:.1f} s", file=self.stream, flush=True)
            self.started = None


# ---------------------------------------------------------------------------------------------
# Parsers


def add_demo_command(subparsers: argparse._SubParsersAction) -> None:
    demo = subparsers.add_parser(
        "demo",
        help="back-test a sample strategy on a synthetic market and write its report",
        description="Back-test a monthly top-10 momentum strategy on a deterministic synthetic "
        "market (150 assets, 6 years, with a benchmark) and write the report page index.html "
        "(with plotly.min.js and static/ beside it) and positions.json into the output folder.",
    )
    demo.add_argument("--out", type=Path, default=Path("demo"),
                      help="output folder (default: %(default)s)")
    demo.add_argument("--upload", nargs="?", const=DEMO_NAME, default=None, metavar="NAME",
                      help=f"also upload the result to the strategy-storage service (as "
                      f"{DEMO_NAME!r} without NAME)")
    _add_quiet(demo)
    demo.set_defaults(run=run_demo)


def add_run_command(subparsers: argparse._SubParsersAction) -> None:
    from kovalt import backtest  # the defaults shown by --help are the engine's own

    run = subparsers.add_parser(
        "run",
        help="back-test your own prices and weights and write the report",
        description="Back-test target weights on your prices. Tables are CSV or Parquet files "
        "with dates in the first column (or the index) and one column per asset; weights are "
        "decided at each date's close and traded at the next date's close; signal dates must "
        "be dates of the close table.",
    )
    run.add_argument("--close", type=Path, required=True, help="close prices (dates x assets)")
    run.add_argument("--weights", type=Path, required=True,
                     help="target weights (signal dates x assets)")
    run.add_argument("--high", type=Path, help="high prices, same shape as the close prices")
    run.add_argument("--low", type=Path, help="low prices, same shape as the close prices")
    run.add_argument("--benchmark", type=Path,
                     help="benchmark values: a table of dates and one column of values")
    run.add_argument("--resample", help="rebalance at every period end: W, M, Q, Y ...")
    run.add_argument("--fee-ratio", type=float, default=backtest.DEFAULT_FEE_RATIO,
                     help="fee on each trade's value (default: %(default)s)")
    run.add_argument("--tax-ratio", type=float, default=backtest.DEFAULT_TAX_RATIO,
                     help="tax on each sale's value (default: %(default)s)")
    run.add_argument("--window", type=int, default=backtest.DEFAULT_WINDOW,
                     help="days after each entry over which the excursions are sampled "
                          "(default: %(default)s)")
    run.add_argument("--window-step", type=int, default=backtest.DEFAULT_WINDOW_STEP,
                     help="days between two excursion samples (default: %(default)s)")
    run.add_argument("--out", type=Path, required=True, help="output folder")
    run.add_argument("--upload", metavar="NAME",
                     help="also upload the result under this strategy name")
    _add_quiet(run)
    run.set_defaults(run=run_files)


def _add_quiet(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--quiet", action="store_true",
                        help="no progress lines (they are shown only on a terminal anyway)")


# ---------------------------------------------------------------------------------------------
# Commands


def run_demo(args: argparse.Namespace) -> int:
    from kovalt import backtest, demo

    steps = Steps.for_terminal(args.quiet)
    steps.note("kovalt demo: monthly top-10 momentum on a synthetic market")
    steps("building the synthetic market (150 assets x 6 years)")
    close, high, low, benchmark = demo.synthetic_market()
    steps("choosing the top 10 by 120-day momentum each month")
    weights = demo.momentum_weights(close)
    report = backtest.run(close, weights, resample="M", benchmark=benchmark, high=high, low=low,
                          progress=steps)
    return _finish(report, args.out, args.upload or DEMO_NAME, bool(args.upload), steps)


def run_files(args: argparse.Namespace) -> int:
    from kovalt import backtest

    if args.upload and not args.benchmark:
        # The upload sends the benchmark beside the strategy: say so before the work, not after.
        return _fail(CommandError("--upload needs --benchmark FILE: the upload sends the "
                                  "benchmark beside the strategy"))
    steps = Steps.for_terminal(args.quiet)
    try:
        steps("reading the tables")
        close = read_table(args.close, "close prices")
        weights = read_table(args.weights, "weights")
        high = read_table(args.high, "high prices") if args.high else None
        low = read_table(args.low, "low prices") if args.low else None
        benchmark = read_benchmark(args.benchmark) if args.benchmark else None
        report = backtest.run(close, weights, resample=args.resample, benchmark=benchmark,
                              high=high, low=low, fee_ratio=args.fee_ratio,
                              tax_ratio=args.tax_ratio, window=args.window,
                              window_step=args.window_step, progress=steps)
    except (CommandError, ValueError, TypeError) as error:
        steps.finish()
        return _fail(error)
    name = args.upload or args.weights.stem  # the weights are the strategy
    return _finish(report, args.out, name, bool(args.upload), steps)


def _fail(error: Exception) -> int:
    print(f"kovalt: error: {error}", file=sys.stderr)
    return 2


def _finish(report, out: Path, name: str, upload: bool, steps: Steps) -> int:
    try:
        paths = write_outputs(report, out, steps, name=name)
    except OSError as error:
        steps.finish()
        return _fail(CommandError(f"cannot write to {out}: {error.strerror or error}"))
    steps.finish()
    print_summary(report, paths)
    if upload:
        return _upload(report, name, steps)
    return 0


def _upload(report, name: str, steps: Steps) -> int:
    steps(f"uploading as {name!r}")
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            result = report.upload(name)
    except Exception as error:  # noqa: BLE001 - one line for the user, whatever failed
        steps.finish()
        return _fail(CommandError(f"upload failed: {error}"))
    finally:
        # Outside a notebook the result page can only show up as an object's repr: drop it.
        for line in printed.getvalue().splitlines():
            if not line.startswith("<IPython."):
                print(line)
    steps.finish()
    if not isinstance(result, dict) or result.get("status") != "success":
        detail = result.get("message", result) if isinstance(result, dict) else result
        return _fail(CommandError(f"upload refused: {detail}"))
    print(f"uploaded as {name!r}")
    return 0


# ---------------------------------------------------------------------------------------------
# Reading the user's tables


def read_table(path: Path, what: str):
    """A CSV or Parquet table indexed by date, every cell a number (empty cells are missing)."""
    import pandas as pd

    path = Path(path)
    if not path.is_file():
        raise CommandError(f"{what} file not found: {path}")
    suffix = path.suffix.lower()
    try:
        if suffix in (".parquet", ".pq"):
            table = pd.read_parquet(path)
            if not isinstance(table.index, pd.DatetimeIndex) and table.shape[1] > 0:
                table = table.set_index(table.columns[0])
        else:
            table = pd.read_csv(path, index_col=0)
    except ImportError:
        # pandas names every engine it tried over several lines; the fix is one install.
        raise CommandError(f"cannot read {path}: Parquet needs pyarrow: "
                           f"pip install 'kovalt[parquet]'") from None
    except (ValueError, OSError, UnicodeDecodeError) as error:
        text = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise CommandError(f"cannot read {what} from {path}: {text}") from None
    if table.shape[0] == 0 or table.shape[1] == 0:
        raise CommandError(f"{what} in {path} are empty: expected dates in the first column and "
                           f"one column per asset")
    table.index = _parse_dates(table.index, path)
    table.columns = [str(c) for c in table.columns]
    return _numeric(table, path)


def _parse_dates(index, path: Path):
    import pandas as pd

    if isinstance(index, pd.DatetimeIndex):
        return index
    text = pd.Series(index, dtype=object)
    parsed = pd.to_datetime(text.astype(str), errors="coerce", format="mixed")
    bad = parsed.isna() | text.isna()
    if bad.any():
        first = int(bad.to_numpy().nonzero()[0][0])
        raise CommandError(f"unparsable date {text.iloc[first]!r} in {path} (data row {first + 1})")
    return pd.DatetimeIndex(parsed, name=index.name)


def _numeric(table, path: Path):
    import pandas as pd

    converted = table.apply(lambda column: pd.to_numeric(column, errors="coerce"))
    bad = converted.isna() & table.notna()
    if bad.to_numpy().any():
        row, col = bad.to_numpy().nonzero()
        row, col = int(row[0]), int(col[0])
        raise CommandError(f"non-numeric cell {table.iat[row, col]!r} in {path}: column "
                           f"{table.columns[col]}, date {table.index[row].date()}")
    return converted.astype(float)


def read_benchmark(path: Path):
    table = read_table(path, "benchmark values")
    if table.shape[1] != 1:
        raise CommandError(f"benchmark file {path} must have one column of values besides the "
                           f"dates, found {table.shape[1]}")
    return table.iloc[:, 0].rename("benchmark")


# ---------------------------------------------------------------------------------------------
# Writing the outputs


def performance_figure(report):
    """The performance figure of a report, built from the same inputs its display uses."""
    import pandas as pd

    from kovalt import ravnel  # its functions: the pandas methods may be another library's

    if report.benchmark is not None:
        table = pd.DataFrame({"strategy": report.creturn,
                              "benchmark": report.benchmark.dropna()}).dropna()
    else:
        table = pd.DataFrame({"strategy": report.creturn}).dropna()
    holdings = (report.position != 0).sum(axis=1)
    return report.create_performance_figure(ravnel.rebase(table), holdings)


def write_outputs(report, out: Path, steps=None, name: str = DEMO_NAME) -> dict[str, Path]:
    """Write the report page (with the files it loads) and the position report into ``out``;
    returns their paths."""
    from kovalt import page_figures
    from kovalt.server import standalone
    from kovalt.strategy_document import strategy_document

    say = steps or (lambda text: None)
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    say("drawing the performance figure")
    performance = page_figures.readable_performance(performance_figure(report))
    say("drawing the MAE/MFE dashboard")
    analysis = {"id": "trade-analysis", "title": "Trade analysis (MAE/MFE)", "css": "dashboard"}
    try:
        dashboard = page_figures.readable_dashboard(report.display_trevik_analysis())
        analysis["plot"] = page_figures.figure_json(dashboard)
    except ZeroDivisionError:
        # The dashboard needs closed trades with every measure known; say so on the page.
        analysis["note"] = "No closed trade with complete excursions: nothing to analyse yet."
    say("writing the report page")
    document = strategy_document(report)
    figures = [
        {"id": "performance", "title": "Performance", "css": "performance",
         "plot": page_figures.figure_json(performance)},
        analysis,
    ]
    paths = {"report": standalone.write_page(out, standalone.render_page(document, name, figures)),
             "positions": out / POSITIONS_FILE}
    say("writing the position report")
    positions = _json_ready(document["position"])
    paths["positions"].write_text(json.dumps(positions, ensure_ascii=False, indent=2) + "\n",
                                  encoding="utf-8")
    return paths


def _json_ready(value):
    """NaN and infinities become null, so that the file is strict JSON."""
    if isinstance(value, dict):
        return {str(key): _json_ready(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(item) for item in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if hasattr(value, "item"):  # numpy scalars
        return _json_ready(value.item())
    return value


def key_statistics(report) -> dict[str, float]:
    """The figures printed after a run: the same statistics as the report page shows."""
    from kovalt.strategy_document import statistics

    stats = statistics(report).stats
    trades = report.trades
    closed = trades[trades["exit_date"].notna()]
    return {
        "total return": stats["total_return"],
        "CAGR": stats["cagr"],
        "max drawdown": stats["max_drawdown"],
        "daily Sharpe": stats["daily_sharpe"],
        "trades": float(len(trades)),
        "win rate (closed trades)": float((closed["return"] > 0).mean()) if len(closed) else math.nan,
    }


def print_summary(report, paths: dict[str, Path]) -> None:
    stats = key_statistics(report)
    start, end = report.creturn.index[0], report.creturn.index[-1]
    print(f"\nback-test {start:%Y-%m-%d} .. {end:%Y-%m-%d}, {report.position.shape[1]} assets")
    for name, value in stats.items():
        if name == "trades":
            print(f"  {name:<26}{int(value)}")
        elif name == "daily Sharpe":
            print(f"  {name:<26}{value:.2f}")
        else:
            print(f"  {name:<26}{value:.2%}")
    print(f"  {'next trading date':<26}{report.next_trading_date:%Y-%m-%d}")
    print()
    for label, path in paths.items():
        print(f"{label + ':':<13}{path.resolve()}")

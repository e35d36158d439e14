"""The `kovalt sweep` commands: `kovalt sweep demo` and `kovalt sweep run`.

Both write DIR/results.csv (the sweep table) and DIR/index.html (the comparison page) and print
the best variants. Problems the user can fix end with one line on standard error and exit
status 2; a sweep whose every variant failed exits with status 1.
"""

from __future__ import annotations

import argparse
import importlib.util
import re
import sys
from pathlib import Path

__all__ = ["add_sweep_command", "DEMO_GRID", "load_weights_for"]

RESULTS_FILE = "results.csv"
PAGE_FILE = "index.html"
#: The demo's grid: momentum lookback (days) x number of assets held.
DEMO_GRID = {"lookback": [20, 60, 120, 250], "top": [5, 10, 20]}


def add_sweep_command(subparsers: argparse._SubParsersAction) -> None:
    sweep = subparsers.add_parser(
        "sweep", help="back-test many parameter variants of a strategy on a Dask cluster",
        description="Back-test every variant of a parameter grid in Dask worker processes "
        "(a local cluster, or an existing one given by --scheduler) and write results.csv and "
        "index.html into the output folder.")
    commands = sweep.add_subparsers(dest="sweep_command", metavar="COMMAND", required=True)

    demo = commands.add_parser(
        "demo", help="sweep the demo's momentum strategy over lookback x top-n",
        description="Sweep the demo's monthly momentum strategy on its synthetic market over "
        f"lookback {DEMO_GRID['lookback']} x top {DEMO_GRID['top']}.")
    _add_common(demo, out_default=Path("sweep"))
    demo.set_defaults(run=run_demo_sweep)

    run = commands.add_parser(
        "run", help="sweep your own strategy on your own tables",
        description="Sweep weights_for(close, **params), defined in a Python file, over a grid "
        "of parameters on your price tables (CSV or Parquet, dates x assets).")
    run.add_argument("--close", type=Path, required=True, help="close prices (dates x assets)")
    run.add_argument("--weights-module", type=Path, required=True, metavar="FILE.py",
                     help="a Python file defining weights_for(close, **params)")
    run.add_argument("--grid", action="append", required=True, metavar="NAME=V1,V2,...",
                     help="a parameter and its values; repeat for each parameter")
    run.add_argument("--high", type=Path, help="high prices, same shape as the close prices")
    run.add_argument("--low", type=Path, help="low prices, same shape as the close prices")
    run.add_argument("--benchmark", type=Path, help="benchmark values (dates, one column)")
    run.add_argument("--resample", help="rebalance at every period end: W, M, Q, Y ...")
    run.add_argument("--fee-ratio", type=float, help="fee on each trade's value")
    run.add_argument("--tax-ratio", type=float, help="tax on each sale's value")
    _add_common(run, out_default=None)
    run.set_defaults(run=run_file_sweep)


def _add_common(parser: argparse.ArgumentParser, out_default: Path | None) -> None:
    if out_default is None:
        parser.add_argument("--out", type=Path, required=True, help="output folder")
    else:
        parser.add_argument("--out", type=Path, default=out_default,
                            help="output folder (%(default)s)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, help="worker processes of the local cluster "
                       "(default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on an existing Dask cluster, e.g. tcp://host:8786")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def run_demo_sweep(args: argparse.Namespace) -> int:
    from kovalt import demo

    close, high, low, benchmark = demo.synthetic_market()
    print(f"kovalt sweep demo: monthly momentum, {_count(DEMO_GRID)} variants on a synthetic "
          f"market ({close.shape[1]} assets x {close.shape[0]} days)", file=sys.stderr)
    return _sweep_and_write(args, close, demo.momentum_weights, DEMO_GRID,
                            dict(resample="M", benchmark=benchmark, high=high, low=low))


def run_file_sweep(args: argparse.Namespace) -> int:
    from kovalt.commands import CommandError, read_benchmark, read_table
    from kovalt.sweep.grid import parse_grid_option

    try:
        grid = dict(parse_grid_option(text) for text in args.grid)
        if len(grid) != len(args.grid):
            raise CommandError("each --grid parameter may be given once")
        weights_for = load_weights_for(args.weights_module)
        close = read_table(args.close, "close prices")
        options = {"resample": args.resample}
        for name, path, what in (("high", args.high, "high prices"),
                                 ("low", args.low, "low prices")):
            if path:
                options[name] = read_table(path, what)
        if args.benchmark:
            options["benchmark"] = read_benchmark(args.benchmark)
        for name in ("fee_ratio", "tax_ratio"):
            if getattr(args, name) is not None:
                options[name] = getattr(args, name)
    except (CommandError, ValueError, TypeError) as error:
        return _fail(error)
    return _sweep_and_write(args, close, weights_for, grid, options)


def load_weights_for(path: Path):
    """``weights_for`` of a Python file, shipped to the workers by value (the workers need not
    have the file)."""
    import cloudpickle

    from kovalt.commands import CommandError

    path = Path(path)
    if not path.is_file():
        raise CommandError(f"weights module not found: {path}")
    name = "kovalt_sweep_user_" + re.sub(r"\W", "_", path.stem)
    module_spec = importlib.util.spec_from_file_location(name, path)
    if module_spec is None or module_spec.loader is None:
        raise CommandError(f"cannot load {path} as a Python module")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = module
    try:
        module_spec.loader.exec_module(module)
    except Exception as error:  # noqa: BLE001 - the user's file: one line, then stop
        del sys.modules[name]
        raise CommandError(f"cannot load {path}: {type(error).__name__}: {error}") from None
    weights_for = getattr(module, "weights_for", None)
    if not callable(weights_for):
        raise CommandError(f"{path} defines no function weights_for(close, **params)")
    cloudpickle.register_pickle_by_value(module)
    return weights_for


def _sweep_and_write(args, close, weights_for, grid, options) -> int:
    from kovalt import sweep

    try:
        result = sweep.run(close, weights_for, grid, scheduler=args.scheduler,
                           workers=args.workers, progress=not args.no_progress, **options)
    except (ValueError, TypeError, OSError) as error:
        return _fail(error)
    try:
        args.out.mkdir(parents=True, exist_ok=True)
        result.table.to_csv(args.out / RESULTS_FILE)
        result.to_html(args.out / PAGE_FILE)
    except OSError as error:
        return _fail(f"cannot write to {args.out}: {error.strerror or error}")
    _print_summary(result, args.out)
    return 1 if result.table["error"].notna().all() else 0


def _print_summary(result, out: Path) -> None:
    table = result.table
    failed = table[table["error"].notna()]
    best = result.best(5)
    print(f"\n{len(table)} variants, {len(failed)} failed; best by daily Sharpe:")
    for i, row in best.iterrows():
        print(f"  {i:>3}  {result.label(i):<28} Sharpe {row['daily_sharpe']:6.2f}  "
              f"CAGR {row['cagr']:7.2%}  max drawdown {row['max_drawdown']:7.2%}  "
              f"trades {row['trades']}")
    for i, row in failed.head(5).iterrows():
        print(f"  failed {i}: {result.label(i)}: {row['error']}")
    print(f"\nresults: {(out / RESULTS_FILE).resolve()}\npage:    {(out / PAGE_FILE).resolve()}")


def _fail(error) -> int:
    print(f"kovalt: error: {error}", file=sys.stderr)
    return 2


def _count(grid: dict) -> int:
    count = 1
    for values in grid.values():
        count *= len(values)
    return count

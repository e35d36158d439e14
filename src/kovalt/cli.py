"""The `kovalt` command line.

Each subcommand is one function that adds its parser to the subcommand table and sets
``run``, the function called with the parsed arguments (returning the exit status). To add a
subcommand, write such a function and list it in ``SUBCOMMANDS``; import heavy or optional
packages inside ``run``, so that ``kovalt --help`` works without them.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence

import kovalt
from kovalt.commands import add_demo_command, add_run_command
from kovalt.server.commands import add_serve_command
from kovalt.sweep.commands import add_sweep_command

SUBCOMMANDS: tuple[Callable[[argparse._SubParsersAction], None], ...] = (
    add_demo_command,
    add_run_command,
    add_serve_command,
    add_sweep_command,
)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kovalt", description="kovalt back-test tools")
    parser.add_argument("--version", action="version", version=f"kovalt {kovalt.__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for add_subcommand in SUBCOMMANDS:
        add_subcommand(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return int(args.run(args) or 0)


if __name__ == "__main__":
    sys.exit(main())

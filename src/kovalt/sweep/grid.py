"""The variants of a sweep: a grid of parameter values expanded into parameter dicts."""

from __future__ import annotations

import itertools
from collections.abc import Iterable, Mapping

__all__ = ["expand_grid", "parse_grid_option", "variant_label"]


def expand_grid(grid) -> list[dict]:
    """One dict of keyword arguments per variant.

    ``grid`` is either a mapping of parameter name to a list of values, expanded into the
    cartesian product with the first name varying slowest (the mapping's order), or a list of
    parameter dicts taken as they are. An empty grid, or a name without values, raises
    ``ValueError``: a sweep of nothing is a mistake, not an empty result.
    """
    if isinstance(grid, Mapping):
        names = list(grid)
        if not names:
            raise ValueError("the grid names no parameter")
        for name in names:
            _check_name(name)
        values = [_values_of(name, grid[name]) for name in names]
        return [dict(zip(names, combination)) for combination in itertools.product(*values)]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError(f"grid must be a mapping of name -> values or a list of parameter dicts, "
                        f"not {type(grid).__name__}")
    variants = []
    for position, params in enumerate(grid):
        if not isinstance(params, Mapping):
            raise TypeError(f"grid entry {position} must be a dict of parameters, "
                            f"not {type(params).__name__}")
        for name in params:
            _check_name(name)
        variants.append(dict(params))
    if not variants:
        raise ValueError("the grid has no variant")
    return variants


def _check_name(name) -> None:
    if not isinstance(name, str) or not name.isidentifier():
        raise ValueError(f"parameter names must be Python identifiers (they are passed as "
                         f"keywords), got {name!r}")


def _values_of(name: str, values) -> list:
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"grid values of {name!r} must be a list of values, got {values!r}")
    values = list(values)
    if not values:
        raise ValueError(f"grid parameter {name!r} has no values")
    return values


def parse_grid_option(text: str) -> tuple[str, list]:
    """``"lookback=20,60,120"`` -> ``("lookback", [20, 60, 120])``; each value becomes an int, a
    float or else stays text."""
    name, sep, values = text.partition("=")
    name = name.strip()
    if not sep or not name or not values.strip():
        raise ValueError(f"a grid is written NAME=VALUE,VALUE,...; got {text!r}")
    _check_name(name)
    return name, [_number_or_text(value.strip()) for value in values.split(",")]


def _number_or_text(value: str):
    for kind in (int, float):
        try:
            return kind(value)
        except ValueError:
            pass
    return value


def variant_label(params: Mapping) -> str:
    """A variant's parameters as one line of text: ``lookback=20, top=5``."""
    return ", ".join(f"{name}={value}" for name, value in params.items())

"""Checking an uploaded strategy document before anything of it is stored.

The document is the JSON object that ``Report.upload`` sends in the form field "data". Python's
``json.dumps`` writes NaN and infinities as the bare words NaN, Infinity and -Infinity, and
``json.loads`` reads them back, so both are accepted. Every check below is one the strategy page
relies on when it draws the document; a document that passes can always be shown.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Callable
from typing import Any

PAYLOAD_KEYS = (
    "drawdown_details",
    "stats",
    "returns",
    "benchmark",
    "ndays_return",
    "return_table",
    "fee_ratio",
    "tax_ratio",
    "trade_at",
    "trevik_plotly_html",
    "update_date",
    "last_trading_date",
    "next_trading_date",
    "position",
    "public_performance",
    "public_code",
    "public_position",
)
POSITION_META_KEYS = ("update_date", "next_trading_date", "trade_at")
# The largest integer that converts to a double (anything above rounds to infinity or raises).
_LARGEST_DOUBLE = int(sys.float_info.max)


class PayloadError(ValueError):
    """The document is not a strategy upload; the text says what is wrong."""


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_number_or_null(value: Any) -> bool:
    return value is None or _is_number(value)


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if _is_number(value):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "a list"
    return "an object"


def _require(condition: bool, key: str, expected: str, value: Any) -> None:
    if not condition:
        # Paths hold the sender's own keys (stock ids, dates): keep the message short.
        shown = key if len(key) <= 80 else key[:77] + "..."
        raise PayloadError(f'"{shown}" must be {expected}, got {_kind(value)}')


def _object_of_objects(key: str, value: Any) -> None:
    _require(isinstance(value, dict), key, "an object", value)
    for inner_key, inner in value.items():
        _require(isinstance(inner, dict), f"{key}.{inner_key}", "an object", inner)


def _object(key: str, value: Any) -> None:
    _require(isinstance(value, dict), key, "an object", value)


def _number(key: str, value: Any) -> None:
    _require(_is_number(value), key, "a number", value)


def _string(key: str, value: Any) -> None:
    _require(isinstance(value, str), key, "a string", value)


def _boolean(key: str, value: Any) -> None:
    _require(isinstance(value, bool), key, "true or false", value)


def _html_or_null(key: str, value: Any) -> None:
    _require(value is None or isinstance(value, str), key, "a string or null", value)


def _numbers_by_name(key: str, value: Any) -> None:
    _object(key, value)
    for name, number in value.items():
        _require(_is_number_or_null(number), f"{key}.{name}", "a number", number)


def _number_list(key: str, value: Any) -> None:
    _require(isinstance(value, list), key, "a list of numbers", value)
    for index, number in enumerate(value):
        _require(_is_number_or_null(number), f"{key}[{index}]", "a number", number)


def _returns(key: str, value: Any) -> None:
    _object(key, value)
    for member in ("time", "value"):
        if member not in value:
            raise PayloadError(f'"{key}" must have the lists "time" and "value"')
    times = value["time"]
    _require(isinstance(times, list), f"{key}.time", "a list of dates", times)
    for index, text in enumerate(times):
        _require(isinstance(text, str), f"{key}.time[{index}]", "a date text", text)
    _number_list(f"{key}.value", value["value"])
    if len(times) != len(value["value"]):
        raise PayloadError(
            f'"{key}" has {len(times)} dates but {len(value["value"])} values; '
            "they must be of equal length"
        )


def _position(key: str, value: Any) -> None:
    _object(key, value)
    for asset, entry in value.items():
        if asset in POSITION_META_KEYS:
            _string(f"{key}.{asset}", entry)
        else:
            _require(isinstance(entry, dict), f"{key}.{asset}", "an object", entry)


_CHECKS: dict[str, Callable[[str, Any], None]] = {
    "drawdown_details": _object_of_objects,
    "stats": _object,
    "returns": _returns,
    "benchmark": _number_list,
    "ndays_return": _numbers_by_name,
    "return_table": _object_of_objects,
    "fee_ratio": _number,
    "tax_ratio": _number,
    "trade_at": _string,
    "trevik_plotly_html": _html_or_null,
    "update_date": _string,
    "last_trading_date": _string,
    "next_trading_date": _string,
    "position": _position,
    "public_performance": _boolean,
    "public_code": _boolean,
    "public_position": _boolean,
}


def _path(parts: tuple[str | int, ...]) -> str:
    return "".join(f"[{part}]" if isinstance(part, int) else f".{part}" for part in parts)[1:]


def _numbers_fit_a_double(document: dict[str, Any]) -> None:
    """Refuse integers beyond a double's range, wherever they are: the page shows every number
    through floating point, and JSON's integers have no bound. Iterative, as deep as the parser
    let the document be."""
    pending: list[tuple[tuple[str | int, ...], Any]] = [((key,), document[key]) for key in document]
    while pending:
        parts, value = pending.pop()
        if isinstance(value, dict):
            pending.extend(((*parts, key), inner) for key, inner in value.items())
        elif isinstance(value, list):
            pending.extend(((*parts, index), inner) for index, inner in enumerate(value))
        elif isinstance(value, int) and abs(value) > _LARGEST_DOUBLE:
            path = _path(parts)
            shown = path if len(path) <= 80 else path[:77] + "..."
            raise PayloadError(
                f'"{shown}" must be a number within ±1.8e308, '
                f"got an integer of {len(str(abs(value)))} digits"
            )


def _keys_phrase(keys: list[str]) -> str:
    shown = ", ".join(f'"{key[:40]}"' for key in keys[:5])
    return shown + (f" and {len(keys) - 5} more" if len(keys) > 5 else "")


def parse_payload(text: str) -> dict[str, Any]:
    """Parse and check the form field "data"; raises PayloadError saying what is wrong."""
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise PayloadError(
            f"it is not valid JSON ({error.msg} at line {error.lineno} column {error.colno})"
        ) from None
    except (ValueError, RecursionError) as error:
        # Integers of thousands of digits, or nesting deeper than the parser's stack.
        raise PayloadError(f"it is not a strategy document ({type(error).__name__})") from None
    if not isinstance(document, dict):
        raise PayloadError(f"it must be a JSON object, got {_kind(document)}")
    missing = [key for key in PAYLOAD_KEYS if key not in document]
    if missing:
        raise PayloadError(f"it lacks the keys {_keys_phrase(missing)}")
    unexpected = [key for key in document if key not in _CHECKS]
    if unexpected:
        raise PayloadError(f"it has unexpected keys {_keys_phrase(unexpected)}")
    for key, check in _CHECKS.items():
        check(key, document[key])
    _numbers_fit_a_double(document)
    benchmark, dates = document["benchmark"], document["returns"]["time"]
    if len(benchmark) != len(dates):
        raise PayloadError(
            f'"benchmark" has {len(benchmark)} values but "returns" has {len(dates)} dates; '
            "the benchmark must be aligned to the strategy's dates"
        )
    return document

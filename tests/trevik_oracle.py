"""A plain-Python model of the excursion engine kovalt.trevik, for differential tests.

It does literally what the engine is meant to do, step by step, with the six running series of a
trade held in full, numpy's own item access for every price and C int semantics where the engine
uses 32-bit ints. It is slow and obvious on purpose.

`Engine` holds the state of one back-test. Its methods raise the error that the native entry point
reports (start_analysis, record_entry, record_exit: through sys.unraisablehook) or raises
(end_analysis). A trade is booked in all three result lists or in none.
"""

import math
import operator
import sys

import numpy as np

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
GROUP = ("mae", "gmfe", "bmfe", "mdd", "pdays", "return")


def wrap32(value):
    """`value` as a 32-bit two's-complement int would hold it."""
    return (value + 2**31) % 2**32 - 2**31


def as_uint64(value):
    """`value` (a signed int) converted to an unsigned 64-bit int."""
    return value % 2**64


def to_c_int(value):
    """Conversion of a Python value to a C int."""
    value = operator.index(value)
    if not INT_MIN <= value <= INT_MAX:
        raise OverflowError("value too large to convert to int")
    return value


def as_double(item):
    """Conversion of a Python value to a C double, as the interpreter does it for C code."""
    kind = type(item)
    if isinstance(item, float):
        return float(item)
    if hasattr(kind, "__float__") or hasattr(kind, "__index__"):
        return float(item)
    raise TypeError(f"must be real number, not {kind.__name__}")


def record_length(window, window_step):
    return 6 * ((window - 1) // window_step) + 12


# How a buffer item format other than a native double is named when the matrix is refused.
_FORMAT_NAMES = {
    "?": "'bool'", "c": "'char'", "b": "'signed char'", "B": "'unsigned char'",
    "h": "'short'", "H": "'unsigned short'", "i": "'int'", "I": "'unsigned int'",
    "l": "'long'", "L": "'unsigned long'", "q": "'long long'", "Q": "'unsigned long long'",
    "n": "'ssize_t'", "N": "'size_t'", "e": "'half'", "f": "'float'", "g": "'long double'",
    "Zf": "'complex float'", "Zd": "'complex double'", "Zg": "'complex long double'",
    "O": "Python object", "P": "a pointer",
}


def _check_format(fmt):
    if fmt[:1] and fmt[0] in "@=<>!^":
        if fmt[0] in ">!" and sys.byteorder == "little":
            raise ValueError("Big-endian buffer not supported on little-endian compiler")
        fmt = fmt[1:]
    if fmt.startswith("T{") and fmt.endswith("}") and "{" not in fmt[2:]:
        fields = fmt[2:-1].split(":")
        if len(fields) == 3 and fields[2] == "":  # exactly one field: its own layout
            return _check_format(fields[0])
    if fmt == "d":
        return
    got = "a struct" if fmt.startswith("T{") else _FORMAT_NAMES.get(fmt, f"'{fmt}'")
    raise ValueError(f"Buffer dtype mismatch, expected 'float64_t' but got {got}")


def check_price_buffer(matrix):
    """Raises what start_analysis raises for a price matrix it refuses."""
    try:
        view = memoryview(matrix)
    except TypeError:
        raise TypeError(
            f"a bytes-like object is required, not '{type(matrix).__name__}'"
        ) from None
    with view:
        if view.ndim != 2:
            raise ValueError(
                f"Buffer has wrong number of dimensions (expected 2, got {view.ndim})"
            )
        _check_format(view.format)
        if view.itemsize != 8:
            plural = "" if view.itemsize == 1 else "s"
            raise ValueError(
                f"Item size of buffer ({view.itemsize} byte{plural}) does not match size of "
                "'float64_t' (8 bytes)"
            )


def excursion_record(price, column, entry_day, exit_day, window, window_step):
    """The excursion record of one trade; raises what the engine's analysis raises."""
    rows = to_c_int(price.shape[0])
    horizon = exit_day
    if wrap32(entry_day + window) > horizon:
        horizon = wrap32(entry_day + window)
    if horizon >= rows:
        horizon = rows - 1
    if horizon - entry_day + 1 < 0:
        raise OverflowError("can't convert negative value to size_t")

    peak, trough, trough_at = [1.0], [1.0], [0]
    drawdown, profit_days, growth = [0.0], [0.0], [1.0]
    base = as_double(price[entry_day][column])
    g = 1.0
    for i, day in enumerate(range(entry_day + 1, horizon + 1)):
        p = as_double(price[day][column])
        if not math.isnan(p):
            if base == 0.0:
                raise ZeroDivisionError("float division")
            r = p / base
            if not math.isnan(r):
                g = g * r
            base = p
        peak.append(g if peak[i] < g else peak[i])
        pk = peak[-1]
        if g < trough[i]:
            trough.append(g)
            trough_at.append(i)
        else:
            trough.append(trough[i])
            trough_at.append(trough_at[i])
        if pk == 0.0:
            raise ZeroDivisionError("float division")
        dd = g / pk - 1
        drawdown.append(dd if dd < drawdown[i] else drawdown[i])
        profit_days.append((1.0 if g > 1.0 else 0.0) + profit_days[i])
        growth.append(g)
    length = len(growth)

    if window_step == 0:
        raise ZeroDivisionError("integer division or modulo by zero")
    record = np.empty(record_length(window, window_step))
    record.fill(-1)

    def group(k):
        return [trough[k] - 1, peak[k] - 1, peak[trough_at[k]] - 1,
                drawdown[k], profit_days[k], growth[k] - 1]

    position, k = 0, 0
    while as_uint64(k) < min(as_uint64(window), as_uint64(length)):
        for value in group(k):
            if position >= len(record):
                raise IndexError("Out of bounds on buffer access (axis 0)")
            record[position] = value
            position += 1
        k += window_step
    exit_index = min(as_uint64(wrap32(exit_day - entry_day)), as_uint64(length - 1))
    size = len(record)
    for offset, value in enumerate(group(exit_index)):
        record[size - 6 + offset] = value
    return record


class Engine:
    """The engine's state and entry points, as just imported."""

    def __init__(self):
        self.date = self.window = self.window_step = 0
        self.pos2price = {}
        self.price = np.zeros((0, 0), dtype=float)
        self.entry = np.zeros(0, dtype=int)
        self.position = np.zeros(0, dtype=float)
        self.trades, self.trade_positions, self.trevik = [], [], []

    def start_analysis(self, price, pos2price, slot_count, window, window_step):
        if price is not None:
            check_price_buffer(price)
        self.price = price
        self.pos2price = dict(pos2price)
        self.window, self.window_step = window, window_step
        self.trades.clear()
        self.trade_positions.clear()
        self.trevik.clear()
        self.entry = np.zeros(slot_count, dtype=int)
        self.position = np.zeros(slot_count, dtype=float)

    def record_date(self, day):
        self.date = day

    def record_entry(self, slot, size):
        self.entry[slot] = self.date
        self.position[slot] = size

    def record_exit(self, slot):
        self._book(slot, self.date)

    def end_analysis(self, open_positions):
        for slot in sorted(open_positions):
            self._book(slot, -1)

    def trevik_analysis(self, slot, entry_day, exit_day):
        column = self.pos2price.setdefault(slot, 0)
        return excursion_record(self.price, column, entry_day, exit_day, self.window,
                                self.window_step)

    def _book(self, slot, listed_exit_day):
        entry_item = self.entry[slot]
        trade = [slot, entry_item, listed_exit_day]
        position_item = self.position[slot]
        record = self.trevik_analysis(slot, to_c_int(entry_item), self.date)
        self.trades.append(trade)
        self.trade_positions.append(position_item)
        self.trevik.append(record)

"""kovalt.trevik, driven through kovalt.recorder, against the plain-Python model of trevik_oracle.

A hypothesis state machine calls the engine's entry points in random order with random price
matrices (any dtype, byte order, dimension count and memory layout), slots, days, windows and
steps. After every call the native engine and the model hold the same lists, the same records
and the same per-slot arrays, and report the same errors. KOVALT_FUZZ_EXAMPLES sets the number of
runs (see native_fuzzing).
"""

import math
import struct
import sys

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import kovalt.recorder as recorder
import kovalt.trevik as trevik
from native_fuzzing import EXAMPLES
from trevik_oracle import INT_MAX, INT_MIN, Engine, record_length


def mostly(usual, *unusual):
    """`usual` about three times in four, else one of `unusual`."""
    return st.integers(0, 99).flatmap(lambda pick: usual if pick < 75 else st.one_of(*unusual))


# ---------------------------------------------------------------- price matrices

PRICES = st.one_of(
    st.floats(0.5, 60.0),
    st.sampled_from([math.nan, math.nan, 0.0, -0.0, -3.0, math.inf, -math.inf, 5e-324, 1e308]),
)


class MatrixSubclass(np.ndarray):
    """Read through its own item access."""


def misaligned(values):
    raw = np.zeros(values.size * values.itemsize + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data, dtype=values.dtype, count=values.size, offset=1)
    view = view.reshape(values.shape)
    view[...] = values
    return view


def strided(values):
    """Every other element of a larger array, starting one element in."""
    padded = np.zeros(tuple(2 * n + 1 for n in values.shape), dtype=values.dtype)
    every_other = tuple(slice(1, None, 2) for _ in values.shape)
    padded[every_other] = values
    return padded[every_other]


def reversed_in_memory(values):
    """Same logical order, memory running backwards (negative strides)."""
    backwards = (slice(None, None, -1),) * values.ndim
    return np.ascontiguousarray(values[backwards])[backwards]


def read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


LAYOUTS = {
    "c": np.ascontiguousarray,
    "fortran": np.asfortranarray,
    "strided": strided,
    "reversed": reversed_in_memory,
    "misaligned": misaligned,
    "read-only": read_only,
    "subclass": lambda v: v.view(MatrixSubclass),
}

DTYPES = ["<f8"] * 7 + [">f8", "<f4", "<i8", "O", "?", "<c16"]


@st.composite
def matrices(draw):
    """Anything a caller might pass as the price matrix."""
    kind = draw(st.sampled_from(["2d"] * 8 + ["1d", "3d", "none", "list", "memoryview"]))
    if kind == "none":
        return None
    rows = draw(mostly(st.integers(4, 12), st.integers(0, 3)))
    cols = draw(mostly(st.integers(1, 4), st.just(0)))
    shape = {"2d": (rows, cols), "1d": (rows,), "3d": (rows, cols, 2)}.get(kind, (rows, cols))
    values = np.array(draw(st.lists(PRICES, min_size=math.prod(shape), max_size=math.prod(shape))))
    values = values.reshape(shape)
    if kind == "list":
        return values.tolist()
    if kind == "memoryview":
        return memoryview(values)
    dtype = draw(st.sampled_from(DTYPES))
    with np.errstate(invalid="ignore", over="ignore"):
        values = values.astype(dtype) if dtype[-2:] not in ("i8", "?") else np.nan_to_num(
            values, posinf=9.0, neginf=-9.0).astype(dtype)
    layouts = sorted(LAYOUTS)
    if values.dtype.hasobject:  # object arrays cannot be made over a raw buffer
        layouts.remove("misaligned")
    return LAYOUTS[draw(st.sampled_from(layouts))](values)


# ---------------------------------------------------------------- scalars

INT32_EDGES = st.sampled_from([INT_MIN, INT_MIN + 1, -1, INT_MAX - 1, INT_MAX])


def days_within(rows):
    """Mostly rows of the current price matrix, sometimes any day at all."""
    return mostly(st.integers(0, max(rows - 1, 0)), st.integers(-rows - 3, -1),
                  st.integers(rows, rows + 4), INT32_EDGES)


def slots_within(slot_count):
    """Mostly slots of the current per-slot arrays, sometimes any slot at all."""
    return mostly(st.integers(0, max(slot_count - 1, 0)), st.integers(-slot_count - 3, -1),
                  st.integers(slot_count, slot_count + 30), INT32_EDGES)


days = days_within(10)
slots = slots_within(6)
columns = mostly(st.integers(0, 3), st.integers(-6, -1), st.integers(4, 6), INT32_EDGES)
sizes = mostly(st.floats(-3, 3), st.sampled_from([math.nan, math.inf, -math.inf, -0.0]))
slot_counts = mostly(st.integers(1, 6), st.integers(-3, 0), st.integers(7, 64))


def reasonable_record(window_and_step):
    # A record of billions of values is a (legitimate) memory exhaustion, not a fault.
    window, step = window_and_step
    return step == 0 or record_length(window, step) <= 10_000


windows = st.one_of(
    st.tuples(st.integers(0, 14), st.integers(1, 6)),
    st.tuples(st.integers(-5, 14), st.integers(-4, 6)),
    st.tuples(INT32_EDGES, st.one_of(INT32_EDGES, st.integers(2**28, INT_MAX))),
).filter(reasonable_record)


def event_rows(days, slots):
    date = st.tuples(st.just(recorder.DATE), days, st.just(0), st.just(0.0))
    entry = st.tuples(st.just(recorder.ENTRY), st.just(0), slots, sizes)
    exit_ = st.tuples(st.just(recorder.EXIT), st.just(0), slots, st.just(0.0))
    return st.lists(st.one_of(date, entry, exit_), max_size=12)


# ---------------------------------------------------------------- comparison


def error_of(error):
    return None if error is None else (type(error).__name__, str(error))


def float_bits(value):
    return struct.pack("<d", value)


class CapturedReports:
    """Collects what the engine hands to sys.unraisablehook during a call."""

    def __enter__(self):
        self.reports = []
        self.previous = sys.unraisablehook
        sys.unraisablehook = self.reports.append
        return self

    def __exit__(self, *exc_info):
        sys.unraisablehook = self.previous

    def errors(self):
        return [(report.object, *error_of(report.exc_value)) for report in self.reports]


def model_errors(name, call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - every error is compared
        return [(f"kovalt.trevik.{name}", *error_of(error))]
    return []


class EngineAgainstModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.model = Engine()

    @initialize(date=days)
    def known_start(self, date):
        # The native engine is process-wide and outlives every run; a clean start of both sides
        # puts them in the same state (the date survives start_analysis, so set it too).
        matrix = np.ones((3, 2))
        for engine in (recorder, self.model):
            engine.start_analysis(matrix, {}, 2, 2, 1)
            engine.record_date(date)

    def void_call(self, name, *args):
        expected = model_errors(name, lambda: getattr(self.model, name)(*args))
        with CapturedReports() as captured:
            getattr(recorder, name)(*args)
        assert captured.errors() == expected

    @rule(price=matrices(), pos2price=st.dictionaries(slots, columns, max_size=5),
          slot_count=slot_counts, window_and_step=windows)
    def start_analysis(self, price, pos2price, slot_count, window_and_step):
        self.void_call("start_analysis", price, pos2price, slot_count, *window_and_step)

    def day(self, data):
        shape = getattr(self.model.price, "shape", (0,))
        return data.draw(days_within(shape[0] if shape else 0))

    def slot(self, data):
        return data.draw(slots_within(len(self.model.entry)))

    @rule(data=st.data())
    def record_date(self, data):
        day = self.day(data)
        recorder.record_date(day)
        self.model.record_date(day)

    @rule(data=st.data(), size=sizes)
    def record_entry(self, data, size):
        self.void_call("record_entry", self.slot(data), size)

    @rule(data=st.data())
    def record_exit(self, data):
        self.void_call("record_exit", self.slot(data))

    @rule(data=st.data(), size=sizes)
    def whole_trade(self, data, size):
        slot = self.slot(data)
        self.record_date(data)
        self.void_call("record_entry", slot, size)
        self.record_date(data)
        self.void_call("record_exit", slot)

    @rule(data=st.data())
    def end_analysis(self, data):
        open_positions = data.draw(st.dictionaries(slots_within(len(self.model.entry)), sizes,
                                                   max_size=5))
        try:
            self.model.end_analysis(open_positions)
            expected = None
        except Exception as error:  # noqa: BLE001
            expected = error_of(error)
        with CapturedReports() as captured:
            try:
                recorder.end_analysis(open_positions)
                raised = None
            except Exception as error:  # noqa: BLE001
                raised = error_of(error)
        assert captured.reports == []
        assert raised == expected

    @rule(data=st.data())
    def replay(self, data):
        shape = getattr(self.model.price, "shape", (0,))
        rows = data.draw(event_rows(days_within(shape[0] if shape else 0),
                                    slots_within(len(self.model.entry))))
        events = np.array(rows, dtype=recorder.EVENT_DTYPE)
        expected = []
        for kind, day, slot, size in rows:
            if kind == recorder.DATE:
                self.model.record_date(day)
            elif kind == recorder.ENTRY:
                expected += model_errors("record_entry", lambda: self.model.record_entry(slot, size))
            else:
                expected += model_errors("record_exit", lambda: self.model.record_exit(slot))
        with CapturedReports() as captured:
            recorder.replay(events)
        assert captured.errors() == expected

    @invariant()
    def same_results(self):
        model = self.model
        assert [[type(v) for v in trade] for trade in trevik.trades] == [
            [type(v) for v in trade] for trade in model.trades
        ]
        assert trevik.trades == model.trades
        assert [type(v) for v in trevik.trade_positions] == [type(v) for v in model.trade_positions]
        assert list(map(float_bits, trevik.trade_positions)) == list(
            map(float_bits, model.trade_positions)
        )
        assert [(r.dtype, r.shape, r.tobytes()) for r in trevik.trevik] == [
            (r.dtype, r.shape, r.tobytes()) for r in model.trevik
        ]
        for engine_array, model_array in [(recorder.entry(), model.entry),
                                          (recorder.position(), model.position)]:
            assert engine_array.dtype == model_array.dtype
            assert engine_array.tobytes() == model_array.tobytes()


EngineAgainstModel.TestCase.settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
test_engine_against_model = EngineAgainstModel.TestCase

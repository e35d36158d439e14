"""Whatever a caller hands the native modules, the answer is a result or a Python error."""

import ctypes
import math
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kovalt.recorder as recorder
import kovalt.trevik as trevik
from kovalt.ulmora import str_to_bytearray

from native_fuzzing import EXAMPLES

# Every storage width of str: one byte (ASCII and Latin-1), two bytes, four bytes, and surrogates.
any_character = st.one_of(
    st.characters(min_codepoint=0, max_codepoint=0xFF),
    st.characters(min_codepoint=0x100, max_codepoint=0xFFFF, exclude_categories=()),
    st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF, exclude_categories=()),
    st.characters(min_codepoint=0x10000, max_codepoint=0x10FFFF, exclude_categories=()),
)


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.text(any_character, max_size=300))
def test_any_text_keeps_the_low_byte_of_every_code_point(text):
    result = str_to_bytearray(text)
    assert type(result) is bytearray
    assert list(result) == [ord(ch) & 0xFF for ch in text]


class TextLike(str):
    pass


class Opaque:
    pass


non_text = st.one_of(
    st.integers(),
    st.floats(allow_nan=True),
    st.complex_numbers(),
    st.booleans(),
    st.binary(),
    st.binary().map(bytearray),
    st.binary().map(memoryview),
    st.lists(st.text(max_size=2), max_size=3),
    st.tuples(st.text(max_size=2)),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    st.text().map(TextLike),
    st.builds(Opaque),
    st.builds(object),
)


@settings(max_examples=EXAMPLES, deadline=None)
@given(non_text)
def test_any_non_text_is_a_type_error_naming_its_type(value):
    with pytest.raises(TypeError) as caught:
        str_to_bytearray(value)
    assert str(caught.value) == (
        f"Argument 'text' has incorrect type (expected str, got {type(value).__name__})"
    )


@pytest.mark.skipif(
    not hasattr(getattr(ctypes, "pythonapi", None), "PyUnicode_FromUnicode") or ctypes.sizeof(ctypes.c_wchar) != 4,
    reason="no legacy wide-character text API with four-byte characters",
)
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_text_built_through_the_legacy_wide_character_api_is_converted_whole():
    wide = "ab\u0141\U0001f600"
    create = ctypes.pythonapi.PyUnicode_FromUnicode
    create.restype, create.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_ssize_t]
    buffer_of = ctypes.pythonapi.PyUnicode_AsUnicode
    buffer_of.restype, buffer_of.argtypes = ctypes.c_void_p, [ctypes.py_object]
    text = create(None, len(wide))  # no canonical form until something asks for one
    cells = (ctypes.c_wchar * len(wide)).from_address(buffer_of(text))
    for index, ch in enumerate(wide):
        cells[index] = ch
    assert str_to_bytearray(text) == bytearray(b"abA\x00")


# ---------------------------------------------------------------- kovalt.recorder's arguments

INT_MIN, INT_MAX = -(2**31), 2**31 - 1


class Indexable:
    """An integer type of its own: converted through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


integral = st.one_of(
    st.integers(INT_MIN - 5, INT_MAX + 5),
    st.integers(),
    st.sampled_from([INT_MIN - 1, INT_MIN, INT_MAX, INT_MAX + 1, 2**32 + 1, -(2**63), 2**64]),
)
as_integral_types = st.sampled_from([int, Indexable, np.int64, np.int32, np.uint32, bool])


@st.composite
def integer_arguments(draw):
    """(argument, the int it stands for): ints of several types, within and beyond 32 bits."""
    value = draw(integral)
    kind = draw(as_integral_types)
    if kind is bool:
        value = draw(st.integers(0, 1))
    if kind in (np.int64, np.int32, np.uint32):
        info = np.iinfo(kind)
        value = min(max(value, int(info.min)), int(info.max))
    return kind(value), value


non_integral = st.one_of(
    st.floats(),
    st.floats(-10, 10).map(np.float32),
    st.floats(-10, 10).map(np.float64),
    st.decimals(allow_nan=False, allow_infinity=False).filter(lambda d: d != d.to_integral()),
    st.fractions().filter(lambda f: f.denominator != 1),
    st.complex_numbers(),
    st.text(max_size=3),
    st.none(),
    st.builds(Opaque),
)


def fresh_engine():
    recorder.start_analysis(np.arange(1.0, 13.0).reshape(6, 2), {}, 3, 2, 1)


def accepted_day(argument):
    """The day the engine took from `argument`, read back through an entry of slot 0."""
    recorder.record_date(argument)
    recorder.record_entry(0, 1.0)
    return int(recorder.entry()[0])


@settings(max_examples=EXAMPLES, deadline=None)
@given(integer_arguments())
def test_integers_are_taken_exactly_or_refused(argument_and_value):
    argument, value = argument_and_value
    fresh_engine()
    if INT_MIN <= value <= INT_MAX:
        assert accepted_day(argument) == value
        recorder.start_analysis(np.ones((2, 2)), {argument: 1}, 1, argument, 1)
    else:
        for call in (recorder.record_date, recorder.record_exit,
                     lambda v: recorder.record_entry(v, 1.0),
                     lambda v: recorder.start_analysis(None, {}, v, 1, 1),
                     lambda v: recorder.start_analysis(None, {v: 0}, 1, 1, 1),
                     lambda v: recorder.start_analysis(None, {0: v}, 1, 1, 1),
                     lambda v: recorder.end_analysis({v: 1.0})):
            with pytest.raises(TypeError):
                call(argument)
        assert accepted_day(7) == 7  # refused arguments changed nothing


@settings(max_examples=EXAMPLES, deadline=None)
@given(non_integral)
def test_numbers_that_are_not_integers_are_never_truncated(argument):
    fresh_engine()
    recorder.record_date(4)
    for call in (recorder.record_date, recorder.record_exit,
                 lambda v: recorder.record_entry(v, 1.0),
                 lambda v: recorder.start_analysis(None, {}, 2, v, 1),
                 lambda v: recorder.start_analysis(None, {v: 0}, 1, 1, 1),
                 lambda v: recorder.start_analysis(None, {0: v}, 1, 1, 1),
                 lambda v: recorder.end_analysis({v: 1.0})):
        with pytest.raises(TypeError):
            call(argument)
    assert trevik.trades == [] and recorder.entry().tolist() == [0, 0, 0]
    assert accepted_day(4) == 4


@pytest.mark.parametrize(
    "size, expected",
    [(Fraction(1, 4), 0.25), (Decimal("2.5"), 2.5), (np.float32(0.5), 0.5), (3, 3.0),
     (True, 1.0), (-math.inf, -math.inf)],
)
def test_sizes_take_any_real_number(size, expected):
    fresh_engine()
    recorder.record_entry(1, size)
    assert recorder.position()[1] == expected


@pytest.mark.parametrize("size", ["1.5", None, 1j, 10**400, Opaque()])
def test_sizes_that_are_no_real_number_are_refused(size):
    fresh_engine()
    with pytest.raises(TypeError):
        recorder.record_entry(1, size)
    assert recorder.entry().tolist() == [0, 0, 0]


WIDE_EVENTS = np.dtype([("kind", "<i4"), ("day", "<i8"), ("slot", "<i4"), ("size", "<f8")])


@pytest.mark.parametrize(
    "events",
    [
        np.array([1.7, 2.2]),  # would become two events with every field 1 and 2
        np.array([(recorder.DATE, 2**32 + 4, 0, 0.0)], dtype=WIDE_EVENTS),  # day beyond 32 bits
        np.zeros(2, dtype=[("kind", "<f8"), ("day", "<i4"), ("slot", "<i4"), ("size", "<f8")]),
        # numpy casts structures by field position: these days would become kinds
        np.array([(5, recorder.DATE, 0, 0.0)],
                 dtype=[("day", "<i4"), ("kind", "<i4"), ("slot", "<i4"), ("size", "<f8")]),
        [(recorder.DATE, 3, 0, 0.0)],
        "events",
    ],
    ids=["floats", "wide day", "float kind", "reordered fields", "list", "text"],
)
def test_replay_refuses_events_it_would_have_to_truncate(events):
    fresh_engine()
    recorder.record_date(1)
    with pytest.raises(TypeError):
        recorder.replay(events)
    assert accepted_day(3) == 3


def test_replay_takes_events_that_convert_safely():
    fresh_engine()
    narrow = np.dtype([("kind", "<i2"), ("day", "<i2"), ("slot", "<i1"), ("size", "<f4")])
    recorder.replay(np.array([(recorder.DATE, 5, 0, 0.0), (recorder.ENTRY, 0, 2, 0.5)], narrow))
    assert recorder.entry().tolist() == [0, 0, 5]
    assert recorder.position().tolist() == [0.0, 0.0, 0.5]


# ---------------------------------------------------------------- Python code run by the engine
# Item access, appends and finalisers can run any Python code in the middle of an entry point,
# including code that restarts the engine; the engine must keep alive what it is working on.


def restart_engine():
    recorder.start_analysis(np.full((4, 2), 3.0), {}, 2, 2, 1)


class RestartingMatrix(np.ndarray):
    """Restarts the engine (which releases this matrix) on its first item access."""

    restarts = 0

    def __getitem__(self, key):
        if RestartingMatrix.restarts == 0:
            RestartingMatrix.restarts += 1
            restart_engine()
        return super().__getitem__(key)


class RestartingList(list):
    def append(self, item):
        super().append(item)
        if len(self) == 1:
            restart_engine()


class FinalisedMatrix(np.ndarray):
    def __del__(self):
        restart_engine()


def plain_trade_is_booked():
    """After whatever happened, the engine books an ordinary trade in its three lists."""
    recorder.start_analysis(np.array([[10.0], [11.0], [12.0]]), {}, 1, 3, 1)
    recorder.record_date(0)
    recorder.record_entry(0, 0.5)
    recorder.record_date(2)
    recorder.record_exit(0)
    assert trevik.trades == [[0, 0, 2]] and trevik.trade_positions == [0.5]
    assert np.allclose(trevik.trevik[0][-6:], [0, 0.2, 0, 0, 2, 0.2])


def exit_while_matrix_restarts(monkeypatch):
    matrix = np.linspace(1, 2, 12).reshape(6, 2).view(RestartingMatrix)
    RestartingMatrix.restarts = 0
    recorder.start_analysis(matrix, {0: 1}, 3, 4, 1)
    del matrix  # the engine holds the only reference now
    recorder.record_date(1)
    recorder.record_entry(0, 1.0)
    recorder.record_date(5)
    recorder.record_exit(0)
    assert RestartingMatrix.restarts == 1
    assert len(trevik.trades) == len(trevik.trade_positions) == len(trevik.trevik) == 1


def end_analysis_while_matrix_restarts(monkeypatch):
    matrix = np.linspace(1, 2, 12).reshape(6, 2).view(RestartingMatrix)
    RestartingMatrix.restarts = 0
    recorder.start_analysis(matrix, {}, 3, 4, 1)
    del matrix
    recorder.record_date(3)
    with pytest.raises(IndexError):  # slot 2 is beyond the arrays of the restarted engine
        recorder.end_analysis({0: 1.0, 1: 1.0, 2: 1.0})
    assert len(trevik.trades) == len(trevik.trade_positions) == len(trevik.trevik) == 2


def append_restarts(monkeypatch):
    monkeypatch.setattr(trevik, "trades", RestartingList())
    recorder.start_analysis(np.ones((5, 2)), {}, 2, 3, 1)
    recorder.record_date(2)
    recorder.record_exit(1)
    recorder.end_analysis({0: 1.0, 1: 1.0})
    monkeypatch.undo()


def finaliser_restarts(monkeypatch):
    recorder.start_analysis(np.ones((3, 3)).view(FinalisedMatrix), {}, 2, 2, 1)
    recorder.start_analysis(np.ones((5, 2)), {}, 2, 2, 1)  # releases the matrix: its finaliser runs
    assert recorder.entry().tolist() == [0, 0]


@pytest.mark.parametrize(
    "scenario",
    [exit_while_matrix_restarts, end_analysis_while_matrix_restarts, append_restarts,
     finaliser_restarts],
)
def test_python_code_that_restarts_the_engine_mid_call(scenario, monkeypatch):
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: None
    try:
        scenario(monkeypatch)
    finally:
        sys.unraisablehook = previous
    plain_trade_is_booked()

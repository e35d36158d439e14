"""The engine's entry points: what they book, what they refuse, and how failures are reported."""

import builtins
import ctypes
import sys
import traceback

import numpy as np
import pytest

import kovalt.recorder as recorder
import kovalt.trevik as trevik
from cpython_only import pythonapi


@pytest.fixture
def reports(monkeypatch):
    caught = []
    monkeypatch.setattr(sys, "unraisablehook", caught.append)
    return caught


def errors(reports):
    return [(r.object, r.exc_type, str(r.exc_value)) for r in reports]


def started(slot_count=4, window=3, step=1, rows=8):
    price = np.random.default_rng(rows).uniform(1, 2, (rows, 3))
    recorder.start_analysis(price, {slot: slot % 3 for slot in range(slot_count)}, slot_count,
                            window, step)
    return price


def booked():
    return len(trevik.trades), len(trevik.trade_positions), len(trevik.trevik)


@pytest.fixture
def engine_array(monkeypatch):
    """Puts another object where a consumer's published address points, as native code may."""
    if pythonapi is None:
        pytest.skip("rewrites the engine's arrays through ctypes.pythonapi, which only CPython has")
    capi = pythonapi
    capi.PyCapsule_GetPointer.restype = ctypes.c_void_p
    capi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    swapped = []

    def swap(name, value):
        address = ctypes.c_void_p.from_address(
            capi.PyCapsule_GetPointer(trevik.__pyx_capi__[name], b"PyArrayObject *"))
        previous = recorder.entry() if name == "entry" else recorder.position()
        capi.Py_IncRef(ctypes.py_object(value))
        address.value = id(value)
        capi.Py_DecRef(ctypes.py_object(previous))  # the engine's reference to it
        swapped.append(name)

    yield swap
    if swapped:
        started()  # fresh arrays again


def test_trade_is_booked_with_entry_day_size_and_record(reports):
    started()
    recorder.record_date(2)
    recorder.record_entry(3, 0.5)
    recorder.record_entry(1, 0.75)
    recorder.record_date(4)
    recorder.record_entry(1, -0.25)  # overwrites the first entry of slot 1
    recorder.record_date(6)
    recorder.record_exit(3)
    recorder.record_exit(1)
    recorder.record_exit(0)  # never entered
    assert trevik.trades == [[3, 2, 6], [1, 4, 6], [0, 0, 6]]
    assert [type(v) for v in trevik.trades[0]] == [int, np.int64, int]
    assert trevik.trade_positions == [0.5, -0.25, 0.0]
    assert all(type(v) is np.float64 for v in trevik.trade_positions)
    assert [r.shape for r in trevik.trevik] == [(24,)] * 3
    assert recorder.entry().tolist() == [0, 4, 0, 2]  # an exit leaves the slot's entry
    assert not reports


def test_end_analysis_books_open_positions_by_ascending_slot_each_time(reports):
    started()
    recorder.record_date(1)
    recorder.record_entry(2, 0.5)
    recorder.record_date(5)
    assert recorder.end_analysis({}) is None and booked() == (0, 0, 0)
    recorder.end_analysis({3: 9.0, 2: 9.0})
    recorder.end_analysis({2: 1.0})
    assert trevik.trades == [[2, 1, -1], [3, 0, -1], [2, 1, -1]]
    assert trevik.trade_positions == [0.5, 0.0, 0.5]
    assert trevik.trevik[0].tobytes() == trevik.trevik[2].tobytes()


def test_end_analysis_stops_at_the_first_failure_keeping_earlier_keys():
    recorder.start_analysis(np.ones((5, 2)), {2: 7}, 4, 3, 1)  # no column 7
    with pytest.raises(IndexError, match="index 7 is out of bounds") as caught:
        recorder.end_analysis({3: 1.0, 1: 1.0, 2: 1.0, 0: 1.0})
    assert [t[0] for t in trevik.trades] == [0, 1] and booked() == (2, 2, 2)
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert "kovalt.trevik.end_analysis" in names


def test_unraisable_report_names_the_entry_point_and_prints_the_traceback(reports, capsys):
    started(slot_count=2)
    recorder.record_date(0)
    recorder.record_entry(5, 1.0)
    recorder.record_exit(-3)
    price = np.array([[1.0], [0.0], [2.0]])
    recorder.start_analysis(price, {}, 1, 3, 1)
    recorder.record_date(2)
    recorder.record_exit(0)
    assert errors(reports) == [
        ("kovalt.trevik.record_entry", IndexError, "index 5 is out of bounds for axis 0 with size 2"),
        ("kovalt.trevik.record_exit", IndexError, "index -3 is out of bounds for axis 0 with size 2"),
        ("kovalt.trevik.record_exit", ZeroDivisionError, "float division"),
    ]
    frames = [[f.name for f in traceback.extract_tb(r.exc_traceback)] for r in reports]
    assert frames == [["kovalt.trevik.record_entry"], ["kovalt.trevik.record_exit"],
                      ["kovalt.trevik.record_exit", "kovalt.trevik.trevik_analysis"]]
    printed = capsys.readouterr().err
    assert printed.count("Traceback (most recent call last):") == 3
    assert "in kovalt.trevik.trevik_analysis\n" in printed
    assert "ZeroDivisionError: float division" in printed
    assert booked() == (0, 0, 0)


def test_entry_is_written_before_a_failing_position(reports, engine_array):
    started(slot_count=3)
    frozen = np.zeros(3)
    frozen.setflags(write=False)
    engine_array("position", frozen)
    recorder.record_date(5)
    recorder.record_entry(1, 0.5)
    assert recorder.entry().tolist() == [0, 5, 0]
    assert errors(reports) == [
        ("kovalt.trevik.record_entry", ValueError, "assignment destination is read-only")]


def test_arrays_put_in_by_a_consumer_are_used_through_their_item_access(reports, engine_array):
    started(slot_count=3)
    engine_array("entry", np.array([1.0, 2.0, 2**40]))  # not integers
    engine_array("position", [0.5, 0.25, 0.125])  # not even an array
    recorder.record_date(3)
    recorder.record_exit(1)
    recorder.record_exit(2)
    recorder.record_entry(0, 7.0)
    assert trevik.trades == [] and recorder.position() == [7.0, 0.25, 0.125]
    assert errors(reports) == [
        ("kovalt.trevik.record_exit", TypeError,
         "'numpy.float64' object cannot be interpreted as an integer"),
        ("kovalt.trevik.record_exit", TypeError,
         "'numpy.float64' object cannot be interpreted as an integer"),
    ]
    engine_array("entry", np.array([1, 2, 2**40]))
    recorder.record_exit(2)
    assert errors(reports)[-1] == (
        "kovalt.trevik.record_exit", OverflowError, "value too large to convert to int")


class FailingList(list):
    def append(self, item):
        raise RuntimeError("full")


@pytest.mark.parametrize("failing", ["trades", "trade_positions", "trevik"])
def test_trade_is_booked_in_all_three_lists_or_none(reports, monkeypatch, failing):
    started()
    monkeypatch.setattr(trevik, failing, FailingList())
    recorder.record_exit(1)
    with pytest.raises(RuntimeError, match="full"):
        recorder.end_analysis({2: 1.0})
    assert booked() == (0, 0, 0)
    assert errors(reports) == [("kovalt.trevik.record_exit", RuntimeError, "full")]


def test_result_lists_are_looked_up_by_name_at_each_call(reports, monkeypatch):
    started()
    elsewhere = []
    monkeypatch.setattr(trevik, "trades", elsewhere)
    recorder.record_exit(0)
    assert len(elsewhere) == 1 and len(trevik.trevik) == 1
    monkeypatch.delattr(trevik, "trades")
    recorder.record_exit(0)
    assert errors(reports) == [
        ("kovalt.trevik.record_exit", NameError, "name 'trades' is not defined")]
    assert len(trevik.trevik) == 1
    monkeypatch.setattr(builtins, "trades", [], raising=False)
    recorder.record_exit(0)
    assert len(builtins.trades) == 1 and len(trevik.trevik) == 2


@pytest.mark.parametrize(
    "matrix, error",
    [
        (np.ones((3, 2), dtype=np.float32),
         (ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'float'")),
        (np.ones((3, 2), dtype=np.int64),
         (ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'long'")),
        (np.ones((3, 2), dtype=complex),
         (ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'complex double'")),
        (np.ones((3, 2), dtype=object),
         (ValueError, "Buffer dtype mismatch, expected 'float64_t' but got Python object")),
        (np.zeros((3, 2), dtype=[("a", "f8"), ("b", "f8")]),
         (ValueError, "Buffer dtype mismatch, expected 'float64_t' but got a struct")),
        (np.zeros((3, 2), dtype=np.dtype({"names": ["a"], "formats": ["f8"], "itemsize": 16})),
         (ValueError,
          "Item size of buffer (16 bytes) does not match size of 'float64_t' (8 bytes)")),
        (np.ones(3), (ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)")),
        (np.ones((2, 2, 2)),
         (ValueError, "Buffer has wrong number of dimensions (expected 2, got 3)")),
        (np.ones((3, 2), dtype=">f8"),
         (ValueError, "Big-endian buffer not supported on little-endian compiler")),
        (np.zeros((3, 2), dtype="M8[s]"), (ValueError, "cannot include dtype 'M' in a buffer")),
        ([[1.0, 2.0]], (TypeError, "a bytes-like object is required, not 'list'")),
    ],
)
def test_refused_price_matrix_changes_nothing(reports, matrix, error):
    started(slot_count=2, window=3)
    recorder.record_exit(1)
    recorder.start_analysis(matrix, {}, 5, 7, 1)
    assert errors(reports) == [("kovalt.trevik.start_analysis", *error)]
    assert booked() == (1, 1, 1) and recorder.entry().shape == (2,)
    recorder.record_exit(1)
    assert trevik.trevik[1].tobytes() == trevik.trevik[0].tobytes()  # same matrix and window


@pytest.mark.parametrize(
    "matrix",
    [
        np.asfortranarray(np.ones((4, 3))),
        np.ones((8, 6))[::2, ::-2],
        np.broadcast_to(np.ones(3), (4, 3)),  # read-only
        np.zeros((4, 3), dtype=np.dtype({"names": ["a"], "formats": ["f8"]})),
        None,
    ],
    ids=["fortran", "strided", "read-only", "one-field-struct", "none"],
)
def test_accepted_price_matrices(reports, matrix):
    started()
    recorder.record_exit(0)
    recorder.start_analysis(matrix, {}, 5, 3, 1)
    assert not reports and booked() == (0, 0, 0) and recorder.entry().shape == (5,)


def test_failing_start_keeps_the_steps_already_done(reports, monkeypatch):
    started(slot_count=2)
    recorder.record_exit(0)
    recorder.start_analysis(np.full((6, 1), 3.0), {}, -1, 4, 2)
    assert errors(reports) == [
        ("kovalt.trevik.start_analysis", ValueError, "negative dimensions are not allowed")]
    assert booked() == (0, 0, 0) and recorder.entry().shape == (2,)
    recorder.record_exit(0)
    assert len(trevik.trevik[0]) == 6 * 1 + 12  # the new window and step are in place

    class FakeNumpy:
        zeros = staticmethod(lambda *args, **kwargs: [0])

    monkeypatch.setattr(trevik, "org_np", FakeNumpy)
    recorder.start_analysis(None, {}, 3, 4, 2)
    monkeypatch.delattr(trevik, "trevik")
    recorder.start_analysis(None, {}, 3, 4, 2)
    assert errors(reports)[1:] == [
        ("kovalt.trevik.start_analysis", TypeError, "Cannot convert list to numpy.ndarray"),
        ("kovalt.trevik.start_analysis", NameError, "name 'trevik' is not defined"),
    ]

"""kovalt.trevik as a module: its namespace, its published capsules and their binding."""

import ctypes
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kovalt.recorder as recorder
import kovalt.trevik as trevik
from cpython_only import needs_pythonapi, pythonapi

SIGNATURES = {
    "entry": "PyArrayObject *",
    "position": "PyArrayObject *",
    "start_analysis": "void (PyArrayObject *, std::map<int,int> , int, int, int)",
    "record_date": "void (int)",
    "record_entry": "void (int, double)",
    "record_exit": "void (int)",
    "end_analysis": "PyObject *(std::map<int,double>  &)",
}

capi = pythonapi
if capi is not None:
    capi.PyCapsule_GetName.restype = ctypes.c_char_p
    capi.PyCapsule_GetName.argtypes = [ctypes.py_object]
    capi.PyCapsule_IsValid.restype = ctypes.c_int
    capi.PyCapsule_IsValid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capi.PyCapsule_GetPointer.restype = ctypes.c_void_p
    capi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


def test_fresh_import_state_and_namespace_order():
    result = run_python("""
        import sys
        import kovalt.trevik as trevik, kovalt.recorder as recorder
        reports = []
        sys.unraisablehook = lambda r: reports.append((r.object, str(r.exc_value)))
        names = [n for n in vars(trevik) if n not in ("__file__", "__cached__")]
        print(names[5:])
        print(trevik.org_np is sys.modules["numpy"], trevik.__test__,
              trevik.trades, trevik.trade_positions, trevik.trevik)
        print(recorder.entry().dtype, recorder.entry().shape,
              recorder.position().dtype, recorder.position().shape)
        recorder.record_entry(0, 1.0)
        recorder.record_exit(0)
        print(reports, trevik.trades, recorder.end_analysis({}))
        try:
            recorder.end_analysis({0: 1.0})
        except IndexError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "['__pyx_capi__', 'org_np', 'trades', 'trade_positions', 'trevik', '__test__']",
        "True {} [] [] []",
        "int64 (0,) float64 (0,)",
        "[('kovalt.trevik.record_entry', 'index 0 is out of bounds for axis 0 with size 0'), "
        "('kovalt.trevik.record_exit', 'index 0 is out of bounds for axis 0 with size 0')] "
        "[] None",
        "index 0 is out of bounds for axis 0 with size 0",
    ]


@needs_pythonapi
def test_capsules_are_named_by_their_signatures_in_order():
    table = trevik.__pyx_capi__
    assert list(table) == list(SIGNATURES)
    for key, signature in SIGNATURES.items():
        assert capi.PyCapsule_GetName(table[key]).decode() == signature
        assert capi.PyCapsule_IsValid(table[key], signature.encode()) == 1
        assert capi.PyCapsule_IsValid(table[key], signature.replace(" ", "").encode()) == 0


@needs_pythonapi
def test_array_capsules_hold_the_address_of_the_current_array():
    addresses = {
        name: ctypes.c_void_p.from_address(capi.PyCapsule_GetPointer(
            trevik.__pyx_capi__[name], b"PyArrayObject *"))
        for name in ("entry", "position")
    }
    for slot_count in (3, 5):
        recorder.start_analysis(np.ones((4, 2)), {}, slot_count, 2, 1)
        assert addresses["entry"].value == id(recorder.entry())
        assert addresses["position"].value == id(recorder.position())
        assert recorder.entry().shape == (slot_count,)


@needs_pythonapi
def test_second_initialisation_returns_the_module_and_keeps_its_state():
    recorder.start_analysis(np.ones((4, 2)), {}, 2, 2, 1)
    recorder.record_exit(1)
    booked = list(trevik.trades)
    init = ctypes.PyDLL(trevik.__file__).PyInit_trevik
    init.restype = ctypes.py_object
    assert init() is trevik
    assert trevik.trades == booked and len(booked) == 1
    assert recorder.entry().shape == (2,)


@pytest.mark.parametrize(
    "tamper, message",
    [
        ("del table['record_exit']", "kovalt.trevik does not export 'record_exit'"),
        ("table['record_exit'] = 7",
         "kovalt.trevik exports 'record_exit' with signature 'int', expected 'void (int)'"),
        ("table['end_analysis'] = table['start_analysis']",
         "kovalt.trevik exports 'end_analysis' with signature "
         "'void (PyArrayObject *, std::map<int,int> , int, int, int)', "
         "expected 'PyObject *(std::map<int,double>  &)'"),
    ],
)
def test_binding_refuses_missing_or_mismatched_capsules(tamper, message):
    result = run_python(f"""
        import kovalt.trevik as trevik
        table = trevik.__pyx_capi__
        {tamper}
        try:
            import kovalt.recorder
        except ImportError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == message


def test_system_exit_inside_an_entry_point_is_reported_not_obeyed():
    result = run_python("""
        import sys
        import numpy as np
        import kovalt.trevik as trevik, kovalt.recorder as recorder
        class Exiting(list):
            def append(self, item):
                raise SystemExit(3)
        reports = []
        sys.unraisablehook = lambda r: reports.append(r.exc_type.__name__)
        recorder.start_analysis(np.ones((3, 1)), {}, 1, 2, 1)
        trevik.trades = Exiting()
        recorder.record_exit(0)
        print(reports, trevik.trade_positions, trevik.trevik)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['SystemExit'] [] []"
    assert "SystemExit: 3" in result.stderr


def test_failed_initialisation_leaves_no_module_and_can_be_retried():
    result = run_python("""
        import sys, traceback
        sys.modules["numpy"] = None  # numpy cannot be imported
        try:
            import kovalt.trevik
        except ImportError as error:
            print([frame.name for frame in traceback.extract_tb(error.__traceback__)][-1])
        print("kovalt.trevik" in sys.modules)
        del sys.modules["numpy"]
        import kovalt.trevik as trevik
        print(list(trevik.__pyx_capi__) == ["entry", "position", "start_analysis", "record_date",
                                           "record_entry", "record_exit", "end_analysis"])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["init kovalt.trevik", "False", "True"]

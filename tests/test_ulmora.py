import ctypes
import sys
import traceback

import pytest

import kovalt.ulmora as ulmora
from kovalt.ulmora import str_to_bytearray
from cpython_only import needs_pythonapi


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", b""),
        ("abc", b"\x61\x62\x63"),
        ("\u00ff", b"\xff"),
        ("\u0100", b"\x00"),
        ("\u4e2d", b"\x2d"),
        ("a\u0000b", b"a\x00b"),
        ("\U0001f600x", b"\x00x"),  # U+1F600: the low byte of an astral code point
    ],
)
def test_one_byte_per_character(text, expected):
    result = str_to_bytearray(text)
    assert type(result) is bytearray
    assert result == bytearray(expected)


def test_long_text_keeps_every_low_byte():
    text = "".join(chr(code) for code in range(0x3000)) * 50
    result = str_to_bytearray(text)
    assert len(result) == len(text)
    assert result == bytearray(ord(ch) % 256 for ch in text)


def test_each_call_returns_a_new_array():
    first, second = str_to_bytearray("ab"), str_to_bytearray("ab")
    first[0] = 0
    assert second == bytearray(b"ab")


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "value, type_name", [(b"abc", "bytes"), (42, "int"), (MyStr("abc"), "MyStr"), (["a"], "list")]
)
def test_non_text_is_rejected_with_its_type_named(value, type_name):
    with pytest.raises(TypeError) as caught:
        str_to_bytearray(value)
    assert str(caught.value) == (
        f"Argument 'text' has incorrect type (expected str, got {type_name})"
    )


def test_none_is_not_iterable():
    with pytest.raises(TypeError, match=r"^'NoneType' is not iterable$"):
        str_to_bytearray(None)


def test_arguments_are_positional_only_and_exactly_one():
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        str_to_bytearray(text="abc")
    with pytest.raises(TypeError, match=r"takes exactly one argument \(0 given\)"):
        str_to_bytearray()
    with pytest.raises(TypeError, match=r"takes exactly one argument \(2 given\)"):
        str_to_bytearray("a", "b")


def test_failure_shows_a_traceback_entry_with_the_qualified_name():
    try:
        str_to_bytearray(1.5)
    except TypeError as error:
        printed = "".join(traceback.format_exception(type(error), error, error.__traceback__))
        names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
    else:
        pytest.fail("no error")
    assert names[-1] == "kovalt.ulmora.str_to_bytearray"
    assert "in kovalt.ulmora.str_to_bytearray" in printed


def test_module_attributes():
    assert ulmora.__test__ == {}
    assert ulmora.__name__ == "kovalt.ulmora"
    assert sys.modules["kovalt.ulmora"] is ulmora


@needs_pythonapi
def test_second_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(ulmora.__file__).PyInit_ulmora
    init.restype = ctypes.py_object
    ulmora.marker = object()
    again = init()
    assert again is ulmora
    assert again.marker is ulmora.marker
    del ulmora.marker

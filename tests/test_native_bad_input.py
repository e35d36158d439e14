"""Whatever a caller hands the native modules, the answer is a result or a Python error."""

import ctypes

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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
    not hasattr(ctypes.pythonapi, "PyUnicode_FromUnicode") or ctypes.sizeof(ctypes.c_wchar) != 4,
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

"""Byte utilities (compiled module)."""

def str_to_bytearray(text: str, /) -> bytearray:
    """One byte per character: the low eight bits of its code point."""

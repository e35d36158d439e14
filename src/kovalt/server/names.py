"""What a strategy name may be: one line of text that a reader can see and tell apart."""

from __future__ import annotations

import unicodedata

MAX_STRATEGY_NAME_LENGTH = 200
# Letters and symbols that draw nothing: the Hangul fillers and the blank Braille pattern.
_BLANK_GRAPHEMES = frozenset("\u115f\u1160\u3164\uffa0\u2800")


def _visible(character: str) -> bool:
    # Letters, numbers, punctuation, symbols and spacing marks draw something; separators,
    # controls, format characters (zero-width, direction marks), private and unassigned code
    # points and lone combining marks do not.
    category = unicodedata.category(character)
    return (category[0] in "LNPS" or category == "Mc") and character not in _BLANK_GRAPHEMES


def name_problem(name: str) -> str | None:
    """Why the upload's strategy name is refused, or None when it is a name."""
    if not name.strip():
        return 'the strategy name ("document_id") is empty: give upload a name'
    if len(name) > MAX_STRATEGY_NAME_LENGTH:
        return (
            f"the strategy name has {len(name)} characters; "
            f"at most {MAX_STRATEGY_NAME_LENGTH} are accepted"
        )
    control = next((c for c in name if unicodedata.category(c) == "Cc"), None)
    if control is not None:
        return (
            f'the strategy name ("document_id") holds the control character U+{ord(control):04X}: '
            "a name is one line of visible text"
        )
    if not any(_visible(character) for character in name):
        return (
            'the strategy name ("document_id") has no visible character: '
            "give upload a name that can be read"
        )
    return None

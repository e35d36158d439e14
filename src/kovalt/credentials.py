"""The user's API token for the strategy-storage service.

The token is looked up in this order:

1. the environment variable ``KOVALT_API_TOKEN``, when set and not empty;
2. the first line of the file ``token`` in the kovalt configuration folder,
   ``$XDG_CONFIG_HOME/kovalt`` (``~/.config/kovalt`` when ``XDG_CONFIG_HOME`` is unset or empty).

The token is never printed or logged, and no error message contains it.
"""

from __future__ import annotations

import os
from pathlib import Path

ENV_VAR = "KOVALT_API_TOKEN"


class TokenNotFoundError(RuntimeError):
    """No API token is configured."""


def config_dir() -> Path:
    """The kovalt configuration folder."""
    base = os.environ.get("XDG_CONFIG_HOME") or str(Path.home() / ".config")
    return Path(base) / "kovalt"


def token_file() -> Path:
    return config_dir() / "token"


def get_token() -> str:
    """Return the user's API token (see the module documentation for where it is read from)."""
    from_env = os.environ.get(ENV_VAR, "")
    if from_env:
        return from_env
    path = token_file()
    try:
        with path.open(encoding="utf-8") as handle:
            first_line = handle.readline().strip()
    except FileNotFoundError:
        first_line = ""
    except OSError as error:
        raise TokenNotFoundError(f"cannot read the API token file {path}: {error.strerror}") from None
    if first_line:
        return first_line
    raise TokenNotFoundError(
        "no kovalt API token found: set the environment variable "
        f"{ENV_VAR}, or write the token on the first line of {path}"
    )

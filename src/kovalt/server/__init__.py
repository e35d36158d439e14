"""kovalt's self-hostable strategy-storage service.

``create_app`` builds the web application (Flask, from the optional extra ``kovalt[server]``);
``kovalt serve`` runs it, and ``kovalt serve add-user NAME`` creates the users who may upload.
The storage itself (``kovalt.server.store``) needs only the standard library, so managing users
works without the extra.
"""

from __future__ import annotations

from typing import Any

__all__ = ["create_app"]


def __getattr__(name: str) -> Any:
    # Flask is optional: import it only when the application is asked for.
    if name == "create_app":
        from kovalt.server.app import create_app

        return create_app
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

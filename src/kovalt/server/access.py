"""Who is looking at a page, and what of a strategy they may see.

The owner signs in on the service's page with the API token and gets a session cookie; the
session lives in the store, so signing out ends it on the server. Every form that changes
something carries the session's form key (or, for the sign-in itself, a key also set as a
cookie), so another site cannot submit it for the signed-in user.
"""

from __future__ import annotations

import hmac
import secrets
from dataclasses import dataclass

from flask import Request, Response, abort

from kovalt.server.store import SESSION_DAYS, Store, StrategySummary, User

SESSION_COOKIE = "kovalt_session"
SIGN_IN_COOKIE = "kovalt_sign_in"
# Fetch destinations of a page shown inside another one (the notebook's frame, for instance).
_EMBEDDED = {"iframe", "frame", "embed", "object"}


@dataclass(frozen=True)
class Viewer:
    """The signed-in user of a request (None when nobody is) and the session's form key."""

    user: User | None = None
    csrf: str = ""

    def owns(self, uid: str) -> bool:
        return self.user is not None and self.user.uid == uid


@dataclass(frozen=True)
class StrategyView:
    """What of one strategy the page shows to its viewer."""

    show_positions: bool  # current holdings, next actions and the trade dashboard
    owner_controls: bool  # the publicity toggles and "revoke link"


def viewer_of(request: Request, store: Store) -> Viewer:
    cookie = request.cookies.get(SESSION_COOKIE)
    found = store.session(cookie) if cookie else None
    return Viewer(*found) if found else Viewer()


def strategy_view(strategy: StrategySummary, viewer: Viewer, request: Request) -> StrategyView:
    owner = viewer.owns(strategy.uid)
    # Framed, the page offers no buttons that a framing page could trick a click on.
    embedded = request.headers.get("Sec-Fetch-Dest", "") in _EMBEDDED
    return StrategyView(
        show_positions=strategy.public_position or owner, owner_controls=owner and not embedded
    )


def listed_for(strategies: list[StrategySummary], viewer: Viewer, uid: str) -> list:
    """The owner's list holds every strategy; anyone else's those with public performance."""
    if viewer.owns(uid):
        return strategies
    return [strategy for strategy in strategies if strategy.public_performance]


def require_form_key(request: Request, expected: str) -> None:
    sent = request.form.get("csrf", "")
    if not expected or not hmac.compare_digest(sent.encode(), expected.encode()):
        abort(403, "The form has expired or was not sent from this service's page; try again.")


def new_sign_in_key() -> str:
    return secrets.token_urlsafe(24)


def set_cookie(response: Response, request: Request, name: str, value: str, days: float) -> None:
    response.set_cookie(
        name,
        value,
        max_age=int(days * 86400),
        path="/",
        httponly=True,
        samesite="Lax",
        secure=request.is_secure,
    )


def set_session_cookie(response: Response, request: Request, cookie: str) -> None:
    set_cookie(response, request, SESSION_COOKIE, cookie, SESSION_DAYS)


def clear_cookie(response: Response, request: Request, name: str) -> None:
    response.delete_cookie(name, path="/", httponly=True, samesite="Lax", secure=request.is_secure)

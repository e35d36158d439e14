"""The owner's pages and forms: sign-in with the API token, sign-out, and a strategy's sharing
(its publicity flags and "revoke link")."""

from __future__ import annotations

from collections.abc import Callable

from flask import Flask, Response, abort, g, redirect, render_template, request, url_for

from kovalt.server import access
from kovalt.server.store import FLAGS, Store

SIGN_IN_MINUTES = 30
# The sign-in form holds a password in effect: no other page may frame it.
SIGN_IN_FRAMING = "; frame-ancestors 'none'"


def _local_target(target: str) -> str | None:
    """A page of this service to go to after signing in, or None for anything else."""
    if not target.startswith(("/strategy/?", "/strategies/?")) or not target.isprintable():
        return None
    return target


def add_account_routes(app: Flask, store: Store, html: Callable[..., Response]) -> None:
    def sign_in_form(status_code: int = 200, message: str = "") -> Response:
        key = access.new_sign_in_key()
        target = _local_target(request.values.get("next", "")) or ""
        text = render_template("sign_in.html", sign_in_key=key, next=target, message=message)
        response = html(text, status_code, extra_policy=SIGN_IN_FRAMING)
        access.set_cookie(response, request, access.SIGN_IN_COOKIE, key, SIGN_IN_MINUTES / 1440)
        return response

    @app.get("/sign-in")
    def sign_in_page() -> Response:
        return sign_in_form()

    @app.post("/sign-in")
    def sign_in() -> Response:
        access.require_form_key(request, request.cookies.get(access.SIGN_IN_COOKIE, ""))
        user = store.authenticate(request.form.get("api_token", ""))
        if user is None:
            return sign_in_form(401, "That is not the API token of a user of this service.")
        cookie, _ = store.open_session(user.uid)
        target = _local_target(request.form.get("next", ""))
        response = redirect(target or url_for("strategies_page", uid=user.uid), 303)
        access.set_session_cookie(response, request, cookie)
        access.clear_cookie(response, request, access.SIGN_IN_COOKIE)
        return response

    @app.post("/sign-out")
    def sign_out() -> Response:
        viewer: access.Viewer = g.viewer
        if viewer.user is not None:
            access.require_form_key(request, viewer.csrf)
            store.close_session(request.cookies[access.SESSION_COOKIE])
        response = redirect(url_for("index"), 303)
        access.clear_cookie(response, request, access.SESSION_COOKIE)
        return response

    def owned_strategy() -> tuple[str, str]:
        viewer: access.Viewer = g.viewer
        uid, sid = request.form.get("uid", ""), request.form.get("sid", "")
        access.require_form_key(request, viewer.csrf)
        if not viewer.owns(uid) or store.strategy(uid, sid) is None:
            abort(404, "There is no such strategy of yours.")
        return uid, sid

    @app.post("/strategy/sharing")
    def sharing() -> Response:
        uid, sid = owned_strategy()
        store.set_flags(uid, sid, tuple(request.form.get(flag) == "on" for flag in FLAGS))
        return redirect(url_for("strategy_page", uid=uid, sid=sid), 303)

    @app.post("/strategy/revoke")
    def revoke() -> Response:
        uid, sid = owned_strategy()
        link = store.revoke_link(uid, sid)
        if link is None:
            abort(404, "There is no such strategy of yours.")
        return redirect(url_for("strategy_page", uid=uid, sid=link), 303)

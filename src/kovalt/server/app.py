"""The web application: the upload endpoint and the strategy pages."""

from __future__ import annotations

import json
import os
import re
import sqlite3
from pathlib import Path
from typing import Any

import plotly
from flask import (
    Flask,
    Response,
    abort,
    g,
    jsonify,
    render_template,
    request,
    send_file,
    url_for,
)
from werkzeug.exceptions import HTTPException

from kovalt.server import access, page
from kovalt.server.account import add_account_routes
from kovalt.server.names import name_problem
from kovalt.server.payload import PayloadError, parse_payload
from kovalt.server.store import Store, default_db_path, uploaded_flags

DEFAULT_MAX_UPLOAD_MB = 50
COLLECTION = "strategies"
_ASSET_PATHS = ("/static/", "/vendor/")
PLOTLY_JS = Path(plotly.__file__).parent / "package_data" / "plotly.min.js"
ADD_USER_HINT = (
    "create a user with `kovalt serve add-user NAME` on the service's machine and set "
    "KOVALT_API_TOKEN (or ~/.config/kovalt/token) to the token it prints"
)

# The pages run no inline script at all: their one script and plotly.js come from this service,
# so text smuggled into the page cannot execute. plotly.js sets inline styles. Forms post to the
# service only.
PAGE_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
    "img-src 'self' data:; font-src 'self' data:; frame-src 'self'; base-uri 'none'; "
    "form-action 'self'"
)
# The dashboard is the uploader's own HTML and script. The policy sandboxes it even when opened
# directly (not through the page's frame): it runs in an origin of its own and reaches nothing.
DASHBOARD_POLICY = (
    "sandbox allow-scripts; default-src 'none'; "
    "script-src 'self' 'unsafe-inline' https://cdn.plot.ly; style-src 'unsafe-inline'; "
    "img-src data: blob:; font-src data:"
)
# The dashboard fragment loads plotly.js from its public CDN; the service's own copy lets the
# page work offline. The CDN tag carries an integrity hash of the CDN file, so the whole tag goes.
_CDN_PLOTLY_TAG = re.compile(
    r'<script\b[^>]*\bsrc="https://cdn\.plot\.ly/plotly-[0-9A-Za-z.\-]*\.js"[^>]*>\s*</script>'
)


def _reply(status_code: int, **members: Any) -> Response:
    response = jsonify(members)
    response.status_code = status_code
    return response


def refuse(status_code: int, message: str) -> Response:
    return _reply(status_code, status="error", message=message)


def _html(
    text: str, status_code: int = 200, policy: str = PAGE_POLICY, extra_policy: str = ""
) -> Response:
    # Stored texts may hold lone surrogates (valid JSON escapes, invalid UTF-8): replace them.
    response = Response(text.encode("utf-8", "replace"), status=status_code)
    response.content_type = "text/html; charset=utf-8"
    response.headers["Content-Security-Policy"] = policy + extra_policy
    # What a page shows depends on who is signed in: no cache may hand it to someone else.
    response.headers["Cache-Control"] = "private, no-cache"
    response.headers["Vary"] = "Cookie"
    return response


def _too_large_message(limit: int, size: int | None) -> str:
    sent = f" ({size / 1e6:.1f} MB were sent)" if size else ""
    return (
        f"the upload is larger than the {limit / 1e6:g} MB this service accepts{sent}: "
        "upload without trevik_charts, or ask the service's operator to start it with a larger "
        "--max-upload-mb"
    )


def create_app(
    db_path: str | os.PathLike[str] | None = None,
    *,
    max_upload_bytes: int = DEFAULT_MAX_UPLOAD_MB * 1_000_000,
    store: Store | None = None,
) -> Flask:
    """The strategy service on a SQLite file (the user's data folder unless a path is given)."""
    app = Flask(__name__)
    app.json.sort_keys = False
    app.config["MAX_CONTENT_LENGTH"] = max_upload_bytes
    app.config["MAX_FORM_MEMORY_SIZE"] = max_upload_bytes
    store = store or Store(db_path or default_db_path())
    app.extensions["kovalt_store"] = store
    app.add_template_filter(_when, "when")
    add_account_routes(app, store, _html)

    @app.before_request
    def identify_viewer() -> None:
        # The upload authenticates with its form's token alone; pages look at the session.
        if request.path != "/write_database" and not request.path.startswith(_ASSET_PATHS):
            g.viewer = access.viewer_of(request, store)

    @app.context_processor
    def viewer_context() -> dict[str, Any]:
        return {"viewer": g.get("viewer")}

    @app.after_request
    def harden(response: Response) -> Response:
        response.headers.setdefault("X-Content-Type-Options", "nosniff")
        # Page addresses carry the ids that give access to a strategy: never pass them on.
        response.headers.setdefault("Referrer-Policy", "no-referrer")
        return response

    @app.errorhandler(HTTPException)
    def http_error(error: HTTPException) -> Response:
        if request.path == "/write_database":
            if error.code == 413:
                return refuse(413, _too_large_message(max_upload_bytes, request.content_length))
            return refuse(error.code or 400, f"{error.name}: send the upload form with POST")
        return _error_page(error.code or 500, error.description or error.name)

    @app.errorhandler(Exception)
    def unexpected_error(error: Exception) -> Response:
        app.logger.exception("request failed")
        if request.path == "/write_database":
            return refuse(500, "the service failed to store the strategy; try the upload again")
        return _error_page(500, "The service failed to show this page.")

    @app.post("/write_database")
    def write_database() -> Response:
        size = request.content_length
        if size is not None and size > max_upload_bytes:
            return refuse(413, _too_large_message(max_upload_bytes, size))
        form = request.form
        token = form.get("api_token", "")
        if not token:
            return refuse(401, f"no API token was sent: {ADD_USER_HINT}")
        user = store.authenticate(token)
        if user is None:
            return refuse(401, f"unknown API token: {ADD_USER_HINT}")
        collection = form.get("collection", "")
        if collection != COLLECTION:
            shown = collection[:40]
            return refuse(400, f'unknown collection "{shown}": this service stores "{COLLECTION}"')
        name = form.get("document_id", "")
        problem = name_problem(name)
        if problem is not None:
            return refuse(400, problem)
        data = form.get("data")
        if data is None:
            return refuse(400, 'the form field "data" with the strategy document is missing')
        try:
            document = parse_payload(data)
        except PayloadError as error:
            return refuse(400, f"malformed payload: {error}")
        try:
            sid, version = store.save_version(user.uid, name, data, uploaded_flags(document))
        except sqlite3.OperationalError:
            app.logger.exception("storing an upload failed")
            return refuse(503, "the service is busy and could not store the strategy; upload again")
        return _reply(200, status="success", uid=user.uid, strategy_id=sid, version=version)

    @app.get("/")
    def index() -> Response:
        return _html(
            render_template("index.html", upload_url=url_for("write_database", _external=True))
        )

    @app.get("/strategy/")
    def strategy_page() -> Response:
        uid, sid, version = _page_ids()
        stored = store.version(uid, sid, version)
        if stored is None:
            abort(404, "There is no such strategy (or no such version of it).")
        document = json.loads(stored.payload)
        view = access.strategy_view(stored.strategy, g.viewer, request)
        text = render_template(
            "strategy.html",
            stored=stored,
            strategy=stored.strategy,
            version=stored.version,
            show_positions=view.show_positions,
            owner_controls=view.owner_controls,
            **page.context(document),
        )
        # The owner's buttons are not offered to a page that frames this one.
        return _html(text, extra_policy="; frame-ancestors 'self'" if view.owner_controls else "")

    @app.get("/strategy/dashboard")
    def dashboard() -> Response:
        uid, sid, version = _page_ids()
        stored = store.version(uid, sid, version)
        if stored is None:
            abort(404, "There is no such strategy (or no such version of it).")
        # The trades name the assets held: the dashboard is shown with the positions only.
        if not access.strategy_view(stored.strategy, g.viewer, request).show_positions:
            abort(404, "The trade analysis of this strategy is not public.")
        fragment = json.loads(stored.payload).get("trevik_plotly_html") or ""
        fragment = _CDN_PLOTLY_TAG.sub(
            f'<script src="{url_for("plotly_js")}"></script>', fragment, count=1
        )
        return _html(render_template("dashboard.html", fragment=fragment), policy=DASHBOARD_POLICY)

    @app.get("/strategies/")
    def strategies_page() -> Response:
        uid = request.args.get("uid", "")
        strategies = store.strategies(uid) if uid else None
        if strategies is None:
            abort(404, "There is no such user.")
        shown = access.listed_for(strategies, g.viewer, uid)
        return _html(
            render_template(
                "strategies.html", uid=uid, strategies=shown, owner=g.viewer.owns(uid)
            )
        )

    @app.get("/vendor/plotly.min.js")
    def plotly_js() -> Response:
        return send_file(PLOTLY_JS, mimetype="text/javascript", max_age=86400)

    return app


def _page_ids() -> tuple[str, str, int | None]:
    uid = request.args.get("uid", "")
    sid = request.args.get("sid", "")
    if not uid or not sid:
        abort(404, "A strategy page address names the strategy with uid and sid.")
    version_text = request.args.get("version")
    if version_text is None:
        return uid, sid, None
    if not re.fullmatch(r"[0-9]{1,9}", version_text):
        abort(404, "There is no such version of this strategy.")
    return uid, sid, int(version_text)


def _when(stamp: str) -> str:
    """A stored UTC time stamp as the page shows it."""
    return stamp[:19].replace("T", " ") + " UTC"


def _error_page(status_code: int, message: str) -> Response:
    return _html(render_template("error.html", code=status_code, message=message), status_code)

"""The strategy page as a standalone file, for a back-test's output folder.

The page is rendered from the service's own template (``report.html`` extends ``strategy.html``)
and page model (:func:`kovalt.server.page.context`), with Jinja alone: no Flask, so the base
install can write it. Links that the service resolves with ``url_for`` become paths relative to
the output folder, where :func:`write_page` copies the style sheet, the scripts and plotly.js
once. The page opens from the file system (file://) without a server.
"""

from __future__ import annotations

import json
import shutil
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from kovalt.server import page

__all__ = ["render_page", "write_page", "PAGE_FILE", "PLOTLY_FILE", "ASSETS_FOLDER"]

PAGE_FILE = "index.html"
PLOTLY_FILE = "plotly.min.js"
ASSETS_FOLDER = "static"
_HERE = Path(__file__).resolve().parent
_ASSETS = ("style.css", "strategy.js", "figures.js")


def _url_for(endpoint: str, **values: Any) -> str:
    if endpoint == "static":
        return f"{ASSETS_FOLDER}/{values['filename']}"
    if endpoint == "plotly_js":
        return PLOTLY_FILE
    # Any other link leads to the service, which a file on disk does not have.
    raise LookupError(f"the standalone page has no address for {endpoint!r}")


def _environment():
    import jinja2

    environment = jinja2.Environment(
        loader=jinja2.FileSystemLoader(_HERE / "templates"),
        autoescape=jinja2.select_autoescape(["html"]),
    )
    environment.globals["url_for"] = _url_for
    # The upload time stamps of the service's header; the file's own header shows none.
    environment.filters["when"] = str
    return environment


def render_page(document: dict[str, Any], name: str, figures: list[dict[str, Any]]) -> str:
    """The page of ``document`` (an upload document) under the strategy ``name``.

    ``figures``: dictionaries with "id", "title", "css" (a class of the figure's box) and "plot"
    (a plotly figure as JSON-ready {data, layout}) or, for a figure that could not be drawn,
    "note" (the text shown in its place); shown after the positions.
    """
    # The service draws what it stored, the document after JSON; so does the file.
    stored = json.loads(json.dumps(document))
    written = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return _environment().get_template("report.html").render(
        # The file is its owner's own copy: positions shown, no account or sharing controls.
        strategy={"name": name}, figures=figures, written_at=written, show_positions=True,
        **page.context(stored),
    )


def write_page(out: Path, html: str) -> Path:
    """Write the page and the files it loads into ``out``; returns the page's path."""
    import plotly

    out = Path(out)
    assets = out / ASSETS_FOLDER
    assets.mkdir(parents=True, exist_ok=True)
    for asset in _ASSETS:
        shutil.copyfile(_HERE / "static" / asset, assets / asset)
    shutil.copyfile(Path(plotly.__file__).parent / "package_data" / PLOTLY_FILE, out / PLOTLY_FILE)
    path = out / PAGE_FILE
    path.write_text(html, encoding="utf-8")
    return path

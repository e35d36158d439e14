"""Shared fixtures: a headless Chromium for tests that look at pages as a person would.

``browser_page`` gives a fresh page of Debian's Chromium driven by Playwright, with the console
errors and uncaught page errors collected, and ``shot(name)`` saving a screenshot under
test-artifacts/. The browser tests are skipped only when Chromium is missing on a developer's
machine; under CI (CI set) a missing browser fails them, so they cannot go quietly unrun.
"""

from __future__ import annotations

import os
import re
import shutil
from dataclasses import dataclass, field
from pathlib import Path

import pytest

ARTIFACTS = Path(__file__).resolve().parent.parent / "test-artifacts"


def _chromium_path() -> str | None:
    configured = os.environ.get("KOVALT_CHROMIUM")
    if configured:
        return configured
    return shutil.which("chromium") or shutil.which("chromium-browser")


def _missing_browser(reason: str) -> None:
    if os.environ.get("CI"):
        pytest.fail(f"{reason}; CI must run the browser tests (.ci/install-browser)")
    pytest.skip(reason)


@pytest.fixture(scope="session")
def browser():
    executable = _chromium_path()
    if executable is None:
        _missing_browser("Chromium is not installed (apt-get install chromium, or .ci/install-browser)")
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        _missing_browser("Playwright is not installed (pip install '.[test]')")
    with sync_playwright() as playwright:
        launched = playwright.chromium.launch(
            executable_path=executable, headless=True, args=["--no-sandbox"]
        )
        yield launched
        launched.close()


@dataclass
class BrowserPage:
    page: object
    name: str
    errors: list[str] = field(default_factory=list)

    def shot(self, label: str = "") -> Path:
        """Save a full-page screenshot as test-artifacts/<test name>[-label].png."""
        ARTIFACTS.mkdir(exist_ok=True)
        stem = re.sub(r"[^A-Za-z0-9_.-]+", "_", self.name + (f"-{label}" if label else ""))
        path = ARTIFACTS / f"{stem}.png"
        self.page.screenshot(path=str(path), full_page=True)
        return path


@pytest.fixture
def browser_page(browser, request):
    context = browser.new_context(viewport={"width": 1280, "height": 900})
    page = context.new_page()
    wrapped = BrowserPage(page, request.node.name)
    page.on(
        "console",
        lambda message: wrapped.errors.append(message.text) if message.type == "error" else None,
    )
    page.on("pageerror", lambda error: wrapped.errors.append(str(error)))
    yield wrapped
    context.close()


@pytest.fixture(scope="session")
def demo_output(tmp_path_factory):
    """The folder written by `python -m kovalt demo`, run once per test session."""
    import subprocess
    import sys

    out = tmp_path_factory.mktemp("demo") / "out"
    done = subprocess.run([sys.executable, "-m", "kovalt", "demo", "--out", str(out)],
                          capture_output=True, text=True, timeout=300)
    return out, done

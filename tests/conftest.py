"""Shared fixtures.

A small Report built from a creturn series and a position table, with a trade table and an
excursion table attached the way a back-test engine attaches them; and a headless Chromium for
tests that look at pages as a person would.

``browser_page`` gives a fresh page of Debian's Chromium driven by Playwright, with the console
errors and uncaught page errors collected, and ``shot(name)`` saving a screenshot under
test-artifacts/. The browser tests are skipped only when Chromium is missing on a developer's
machine; under CI (CI set) a missing browser fails them, so they cannot go quietly unrun.

Also: a small Report built from a creturn series and a position table, with a trade table and an
excursion table attached the way a back-test engine attaches them, and the demo's output folder.
"""

from __future__ import annotations

import os
import re
import shutil
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pytest

try:
    import pandas as pd
except ImportError:  # the numpy-only modules' run (tools/pypy-check without pandas)
    pd = None

ARTIFACTS = Path(__file__).resolve().parent.parent / "test-artifacts"


@pytest.fixture(scope="session")
def artifacts() -> Path:
    """test-artifacts/, for screenshots and measured figures worth keeping from a run."""
    ARTIFACTS.mkdir(exist_ok=True)
    return ARTIFACTS


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
        _missing_browser(
            "Chromium is not installed (apt-get install chromium, or .ci/install-browser)"
        )
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

    def shot(self, label: str = "", element=None) -> Path:
        """Save a screenshot as test-artifacts/<test name>[-label].png: the whole page, or the
        element (a locator) alone. Frames of another origin only show up in their own shot."""
        ARTIFACTS.mkdir(exist_ok=True)
        stem = re.sub(r"[^A-Za-z0-9_.-]+", "_", self.name + (f"-{label}" if label else ""))
        path = ARTIFACTS / f"{stem}.png"
        if element is None:
            self.page.screenshot(path=str(path), full_page=True)
        else:
            element.scroll_into_view_if_needed()
            element.screenshot(path=str(path))
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


DATES = pd.date_range("2024-01-01", periods=6, freq="D") if pd is not None else None


def build_report(position=None, creturn=None, trade_at="close", next_trading_date=None):
    """A Report over `position` (default: two stocks bought on day 2 and 4)."""
    from kovalt.report import Report

    if position is None:
        position = pd.DataFrame(
            {"2330": [0, 0.5, 0.5, 0.5, 0.5, 0.5], "1101": [0, 0, 0, 0.5, 0.5, 0.5]},
            index=DATES,
        )
    if creturn is None:
        creturn = pd.Series(np.linspace(1.0, 1.25, len(position)), index=position.index)
    if next_trading_date is None:
        next_trading_date = pd.Timestamp("2024-01-08")
    return Report(creturn, position, 0.001425, 0.003, trade_at, next_trading_date, None)


def sample_trades():
    return pd.DataFrame(
        {
            "stock_id": ["2330 台積電", "1101 台泥", "2330 台積電"],
            "entry_sig_date": pd.to_datetime(["2024-01-01", "2024-01-03", "2024-01-04"]),
            "exit_sig_date": pd.to_datetime(["2024-01-03", None, None]),
            "return": [0.05, np.nan, 0.02],
        }
    )


def sample_trevik(trades):
    columns = pd.MultiIndex.from_product([["exit"], ["mae", "gmfe", "bmfe", "mdd", "pdays", "return"]])
    return pd.DataFrame(0.0, index=trades.index, columns=columns)


@pytest.fixture
def make_report():
    return build_report


@pytest.fixture
def report():
    """A fresh Report with `trades` and `trevik` attached."""
    rep = build_report()
    rep.trades = sample_trades()
    rep.trevik = sample_trevik(rep.trades)
    return rep

"""End to end on loopback: `kovalt serve` in its own process, real HTTP, pages in Chromium.

The pages looked at in the browser come from a small demo back-test sent by ``Report.upload``
itself, over the real ``requests``. The other uploads go through ``upload_strategy``, which sends
the client's form the same way with documents from a simulated back-test, so that refusals,
concurrency and odd names can be driven precisely.
"""

from __future__ import annotations

import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
import requests

pytest.importorskip("flask")
pytest.importorskip("waitress")

import kovalt.report as report_module  # noqa: E402
from strategy_payloads import build_payload, upload_form  # noqa: E402

MAX_UPLOAD_MB = 2
STARTUP_SECONDS = 30


class LiveService:
    """`kovalt serve` on a free loopback port, over one SQLite file."""

    def __init__(self, folder: Path, *options: str):
        self.db = folder / "strategies.sqlite3"
        self.options = options
        self.process: subprocess.Popen | None = None
        self.base_url = ""
        self.token = self.add_user("alice")

    def kovalt(self, *args: str, **options) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-m", "kovalt", *args],
            capture_output=True,
            text=True,
            timeout=60,
            **options,
        )

    def add_user(self, name: str) -> str:
        created = self.kovalt("serve", "add-user", name, "--db", str(self.db))
        assert created.returncode == 0, created.stderr
        return created.stdout.strip()

    def start(self) -> None:
        self.process = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "kovalt",
                "serve",
                "--port",
                "0",
                "--db",
                str(self.db),
                "--max-upload-mb",
                str(MAX_UPLOAD_MB),
                *self.options,
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
        )
        deadline = time.monotonic() + STARTUP_SECONDS
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            found = re.search(r"listening on (http://127\.0\.0\.1:\d+)/", line)
            if found:
                self.base_url = found.group(1)
                return
            if not line and self.process.poll() is not None:
                break
        self.stop()
        pytest.fail("kovalt serve did not start")

    def stop(self) -> None:
        if self.process is not None:
            self.process.terminate()
            self.process.wait(timeout=20)
            self.process.stdout.close()
            self.process = None

    def restart(self) -> None:
        self.stop()
        self.start()

    @property
    def upload_url(self) -> str:
        return f"{self.base_url}/write_database"

    @property
    def viewer_url(self) -> str:
        return f"{self.base_url}/strategy/?uid="

    def page_url(self, reply: dict) -> str:
        return f"{self.base_url}/strategy/?uid={reply['uid']}&sid={reply['strategy_id']}"


@pytest.fixture(scope="module")
def live(tmp_path_factory):
    service = LiveService(tmp_path_factory.mktemp("service"))
    service.start()
    yield service
    service.stop()


@pytest.fixture(scope="module")
def demo_report():
    """The demo's momentum back-test, on a market small enough to keep the test quick. Its last
    day closes a month, so the next rebalance is pending: holdings, entries and exits at once."""
    from kovalt import backtest, demo

    close, high, low, benchmark = demo.synthetic_market(assets=30, years=2, start="2018-01-25")
    weights = demo.momentum_weights(close)
    return backtest.run(close, weights, resample="M", benchmark=benchmark, high=high, low=low)


@pytest.fixture
def client_of(live, monkeypatch):
    """Report.upload aimed at the live service as the created user; returns the page URLs the
    upload shows, as a notebook would display them."""
    import IPython.display

    monkeypatch.setattr(report_module, "UPLOAD_URL", live.upload_url)
    monkeypatch.setattr(report_module, "VIEWER_URL", live.viewer_url)
    monkeypatch.setenv("KOVALT_API_TOKEN", live.token)
    monkeypatch.delenv("KOVALT_FORCED_STRATEGY_NAME", raising=False)
    shown = []
    monkeypatch.setattr(IPython.display, "display", lambda *objects: shown.extend(objects))
    return shown


def public(payload: dict, **flags: bool) -> dict:
    """The payload with its publicity flags set (all three unless named)."""
    flags = flags or {"public_performance": True, "public_code": True, "public_position": True}
    return dict(payload, **flags)


def sign_in(page, live: LiveService, token: str | None = None) -> None:
    """Sign in as the owner does: the service's sign-in page, the token typed into its form."""
    page.goto(f"{live.base_url}/sign-in")
    page.fill("#api-token", token or live.token)
    page.click("#sign-in-submit")
    page.wait_for_selector("#signed-in-as")


def upload_strategy(
    live: LiveService,
    name: str,
    payload: dict | None = None,
    token: str | None = None,
    trevik_charts: bool = False,
) -> dict:
    """Upload a back-test the way the client does and return the service's reply."""
    document = payload if payload is not None else build_payload(trevik_charts=trevik_charts)
    form = upload_form(document, token or live.token, name)
    return requests.post(live.upload_url, data=form).json()


def test_add_user_prints_the_token_once_and_refuses_a_taken_name(live):
    token = live.add_user("carol")
    assert re.fullmatch(r"[0-9a-f]{16}\.[A-Za-z0-9_-]{43}", token)
    again = live.kovalt("serve", "add-user", "carol", "--db", str(live.db))
    assert again.returncode == 1 and "exists already" in again.stderr and again.stdout == ""
    listed = live.kovalt("serve", "--db", str(live.db), "list-users")
    assert "carol" in listed.stdout and token.split(".")[1] not in listed.stdout
    reply = upload_strategy(live, "carol's first", token=token)
    assert reply["status"] == "success"


@pytest.mark.parametrize("trevik_charts", [True, False], ids=["dashboard", "no-dashboard"])
def test_uploaded_strategy_page_in_the_browser(
    live, browser_page, demo_report, client_of, trevik_charts
):
    name = "動能策略 momentum" + (" +dashboard" if trevik_charts else "")
    assert demo_report.upload(name, trevik_charts=trevik_charts) == {"status": "success"}
    (frame,) = client_of
    assert frame.src.startswith(live.viewer_url) and "&sid=" in frame.src

    page = browser_page.page
    sign_in(page, live)  # the client uploads positions private: the owner sees them
    page.goto(frame.src)
    page.wait_for_function(
        "document.querySelectorAll('#chart-return .scatterlayer .trace').length === 2"
        " && document.querySelectorAll('#chart-drawdown .scatterlayer .trace').length === 1"
    )
    assert page.inner_text("#strategy-name") == name
    creturn = demo_report.creturn
    total_return = f"{(creturn.iloc[-1] / creturn.iloc[0] - 1) * 100:,.2f}%"
    assert (
        page.locator("#stats tr", has_text="total return").inner_text().split()[-1] == total_return
    )
    position = demo_report.position_info()
    assets = [asset for asset, entry in position.items() if isinstance(entry, dict)]
    statuses = [position[asset]["status"] for asset in assets]
    assert page.locator("#positions td.asset").all_inner_texts() == assets
    labels = page.locator("#positions td.status").all_inner_texts()
    assert labels == [status if isinstance(status, str) and status else "–" for status in statuses]
    assert {"持有", "買進", "賣出"} <= set(labels)
    for label, date in (("持有", "entry_date"), ("賣出", "exit_date")):
        asset = assets[labels.index(label)]
        cell = page.locator("td.asset", has_text=re.compile(f"^{re.escape(asset)}$"))
        assert position[asset][date] in page.locator("#positions tr", has=cell).inner_text()

    frames = page.locator("iframe#dashboard")
    if trevik_charts:
        dashboard = page.frame_locator("iframe#dashboard")
        dashboard.locator(".scatterlayer .trace").first.wait_for()
        # The uploader's scripts run in an origin of their own: the page is out of their reach.
        reach = dashboard.locator("body").evaluate(
            "() => { try { return parent.document.title; } catch (e) { return e.name; } }"
        )
        assert reach == "SecurityError"
        browser_page.shot("frame", frames)
    else:
        assert frames.count() == 0
    browser_page.shot()
    assert browser_page.errors == []


def test_script_in_the_name_shows_as_text(live, browser_page):
    name = "<script>alert(1)</script>"
    payload = build_payload(
        assets=("<img src=x onerror=alert(2)>", "2330"), statuses=("hold", "exit")
    )
    payload["position"]["2330"]["status"] = "<svg onload=alert(3)>"
    reply = upload_strategy(live, name, public(payload))
    dialogs = []
    page = browser_page.page
    page.on("dialog", lambda dialog: (dialogs.append(dialog.message), dialog.dismiss()))
    page.goto(live.page_url(reply))
    page.wait_for_selector("#chart-return .main-svg")
    assert page.inner_text("#strategy-name") == name
    assert page.locator("#positions td.asset").all_inner_texts() == [
        "<img src=x onerror=alert(2)>",
        "2330",
    ]
    assert "<svg onload=alert(3)>" in page.locator("#positions").inner_text()
    browser_page.shot("page")
    page.goto(f"{live.base_url}/strategies/?uid={reply['uid']}")
    assert page.get_by_role("link", name=name).count() == 1
    browser_page.shot("listing")
    assert dialogs == []


@pytest.mark.parametrize(
    "form_change, message",
    [
        ({"api_token": "0123456789abcdef.wrong"}, "unknown API token"),
        ({"collection": "backtests"}, "unknown collection"),
        ({"data": '{"stats": {}}'}, "malformed payload"),
        ({"data": "x" * (MAX_UPLOAD_MB * 1_000_000 + 1)}, f"larger than the {MAX_UPLOAD_MB} MB"),
    ],
    ids=["token", "collection", "payload", "size"],
)
def test_refusals_over_http(live, form_change, message):
    form = dict(upload_form(build_payload(), live.token, "refused"), **form_change)
    reply = requests.post(live.upload_url, data=form)
    assert reply.json()["status"] == "error"
    assert message in reply.json()["message"]
    accepted = upload_strategy(live, "accepted", public(build_payload()))
    listing = requests.get(f"{live.base_url}/strategies/", params={"uid": accepted["uid"]}).text
    assert ">refused</a>" not in listing and ">accepted</a>" in listing


def test_concurrent_uploads_lose_nothing_and_survive_a_restart(live, artifacts):
    bob = live.add_user("bob")
    payloads = [public(build_payload(seed=seed), public_performance=True) for seed in range(5)]
    # Two users, ten names each, every name uploaded two or three times: the same strategy gets
    # versions from several threads at once, and equal names of two users stay apart.
    jobs = [
        (f"concurrent-{i % 10}", payloads[i % 5], live.token if i < 25 else bob) for i in range(50)
    ]

    def send(job):
        name, payload, token = job
        return requests.post(live.upload_url, data=upload_form(payload, token, name)).json()

    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=10) as pool:
        replies = list(pool.map(send, jobs))
    elapsed = time.perf_counter() - started
    failures = [reply for reply in replies if reply.get("status") != "success"]
    (artifacts / "concurrency.txt").write_text(
        f"50 uploads from 10 threads: {elapsed:.2f} s, {50 / elapsed:.1f} uploads/s, "
        f"failures: {len(failures)}\n"
    )
    assert failures == []

    strategies, versions = {}, {}
    assert len(jobs) == len(replies)
    for (name, _, _), reply in zip(jobs, replies):
        strategies.setdefault((reply["uid"], name), set()).add(reply["strategy_id"])
        versions.setdefault((reply["uid"], reply["strategy_id"]), []).append(reply["version"])
    assert len(strategies) == 20 and all(len(sids) == 1 for sids in strategies.values())
    for numbers in versions.values():
        assert sorted(numbers) == list(range(1, len(numbers) + 1))

    def pages_served():
        urls = [
            f"{live.base_url}/strategy/?uid={uid}&sid={sid}&version={version}"
            for (uid, sid), numbers in versions.items()
            for version in numbers
        ]
        with ThreadPoolExecutor(max_workers=10) as pool:
            return [response.status_code for response in pool.map(requests.get, urls)]

    assert pages_served() == [200] * 50
    live.restart()
    assert pages_served() == [200] * 50
    for uid in {reply["uid"] for reply in replies}:
        listing = requests.get(f"{live.base_url}/strategies/", params={"uid": uid}).text
        assert all(f">concurrent-{i}</a>" in listing for i in range(10))


PRIVATE_ASSETS = ("QXASSET1", "QXASSET2")


def test_owner_and_stranger_in_the_browser(live, browser, browser_page):
    payload = build_payload(assets=PRIVATE_ASSETS, statuses=("hold", "enter"), trevik_charts=True)
    reply = upload_strategy(live, "private positions", payload)
    address = live.page_url(reply)
    stranger = browser.new_context().new_page()

    def strangers_view(url):
        answer = stranger.goto(url)
        if answer.status == 200:
            stranger.wait_for_selector("#chart-return .main-svg")
        return answer.status, stranger.content()

    status, html = strangers_view(address)
    assert status == 200 and stranger.locator("#key-figures .figure").count() == 5
    assert stranger.locator("#positions-private").is_visible()
    assert stranger.locator("#positions, iframe, #sharing").count() == 0
    assert not any(asset in html for asset in PRIVATE_ASSETS)
    stranger.goto(f"{live.base_url}/strategies/?uid={reply['uid']}")
    assert stranger.get_by_role("link", name="private positions").count() == 0

    # The owner follows the page's own sign-in link and comes back to the page.
    page = browser_page.page
    page.goto(address)
    page.click("#positions-private a")
    page.fill("#api-token", live.token)
    page.click("#sign-in-submit")
    page.wait_for_selector("#positions")
    assert page.url == address
    assert page.locator("#positions td.asset").all_inner_texts() == list(PRIVATE_ASSETS)
    assert page.locator("iframe#dashboard").count() == 1
    assert not page.is_checked("#public_position") and not page.is_checked("#public_performance")
    browser_page.shot("owner")

    page.check("#public_position")
    page.check("#public_performance")
    page.click("#save-sharing")
    page.wait_for_selector("#public_position:checked")
    status, html = strangers_view(address)
    assert status == 200 and all(asset in html for asset in PRIVATE_ASSETS)
    stranger.goto(f"{live.base_url}/strategies/?uid={reply['uid']}")
    assert stranger.get_by_role("link", name="private positions").count() == 1

    page.click("#revoke-link")
    page.wait_for_url(lambda url: url != address and "sid=" in url)
    assert strangers_view(address)[0] == 404
    assert strangers_view(page.url)[0] == 200
    browser_page.shot("revoked")

    page.click("#sign-out")
    page.wait_for_selector("#sign-in")
    assert "kovalt_session" not in {cookie["name"] for cookie in page.context.cookies()}
    stranger.context.close()
    assert browser_page.errors == []


def test_only_a_named_proxy_is_believed_about_https(live, tmp_path):
    header = {"X-Forwarded-Proto": "https"}
    direct = requests.get(f"{live.base_url}/sign-in", headers=header)
    assert "Secure" not in direct.headers["Set-Cookie"]
    proxied = LiveService(tmp_path, "--trusted-proxy", "127.0.0.1")
    proxied.start()
    try:
        behind = requests.get(f"{proxied.base_url}/sign-in", headers=header)
        plain = requests.get(f"{proxied.base_url}/sign-in")
        index = requests.get(f"{proxied.base_url}/", headers=header)
    finally:
        proxied.stop()
    assert "Secure" in behind.headers["Set-Cookie"] and "Secure" not in plain.headers["Set-Cookie"]
    # The index's upload address follows the scheme the proxy reports.
    assert "KOVALT_UPLOAD_URL=https://" in index.text

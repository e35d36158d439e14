"""The upload endpoint and the pages, in process through Flask's test client."""

from __future__ import annotations

import json
import re
import sqlite3

import pytest

pytest.importorskip("flask")

from strategy_payloads import build_payload, dashboard_html, upload_form  # noqa: E402

from kovalt.server import create_app  # noqa: E402
from kovalt.server.access import SIGN_IN_COOKIE  # noqa: E402
from kovalt.server.store import Store  # noqa: E402


class Service:
    def __init__(self, tmp_path, **options):
        self.store = Store(tmp_path / "strategies.sqlite3")
        self.user, self.token = self.store.add_user("alice")
        self.client = create_app(store=self.store, **options).test_client()

    def upload(self, payload, name="momentum", token=None, **form_changes):
        form = upload_form(payload, self.token if token is None else token, name)
        form.update(form_changes)
        for field in [key for key, value in form.items() if value is None]:
            del form[field]
        return self.client.post("/write_database", data=form)

    def sign_in(self, token=None):
        """Sign this client in on the service's page, as the owner does in a browser."""
        return sign_in(self.client, self.token if token is None else token)

    def page(self, reply, **extra):
        query = {"uid": reply.json["uid"], "sid": reply.json["strategy_id"], **extra}
        return self.client.get("/strategy/", query_string=query)


def sign_in(client, token):
    form_page = client.get("/sign-in").get_data(as_text=True)
    key = re.search(r'name="csrf" value="([^"]+)"', form_page).group(1)
    assert client.get_cookie(SIGN_IN_COOKIE).value == key
    return client.post("/sign-in", data={"csrf": key, "api_token": token})


@pytest.fixture
def service(tmp_path):
    return Service(tmp_path)


@pytest.fixture(scope="module")
def payload():
    return build_payload()


def test_same_name_adds_a_version_and_a_new_name_a_strategy(service, payload):
    first = service.upload(payload, "momentum")
    other = service.upload(build_payload(seed=3), "value")
    second = service.upload(build_payload(seed=4), "momentum")
    replies = [first.json, other.json, second.json]
    assert [reply["status"] for reply in replies] == ["success"] * 3
    assert {reply["uid"] for reply in replies} == {service.user.uid}
    assert first.json["strategy_id"] == second.json["strategy_id"] != other.json["strategy_id"]
    assert (first.json["version"], second.json["version"]) == (1, 2)

    # Each version keeps its own document: the pages differ in their first curve value's date.
    newest, oldest = service.page(second), service.page(first, version=1)
    assert newest.status_code == oldest.status_code == 200
    assert b"version 2 of 2" in newest.data and b"version 1 of 2" in oldest.data
    assert newest.data != oldest.data

    service.sign_in()
    listing = service.client.get("/strategies/", query_string={"uid": service.user.uid})
    names = re.findall(r'<a href="/strategy/\?[^"]+">([^<]+)</a>', listing.get_data(as_text=True))
    assert names == ["momentum", "value"]  # the latest upload first


def test_bare_nan_and_infinity_are_accepted_and_shown(service, payload):
    document = dict(
        payload, stats=dict(payload["stats"], calmar=float("inf"), ten_year=float("-inf"))
    )
    text = json.dumps(document)
    assert "NaN" in text and "-Infinity" in text
    reply = service.upload(text)
    assert reply.json["status"] == "success"
    page = service.page(reply).get_data(as_text=True)
    assert re.search(r"<th>calmar</th><td class=\"num\">∞</td>", page)
    assert re.search(r"<th>ten year</th><td class=\"num\">-∞</td>", page)
    # The chart data must stay parseable by the browser's JSON.parse: no bare NaN in it.
    block = re.search(r'id="chart-data">(.*?)</script>', page, re.S).group(1)
    assert "NaN" not in block and "Infinity" not in block
    assert len(json.loads(block)["time"]) == len(payload["returns"]["time"])


def _without(document, key):
    return {name: value for name, value in document.items() if name != key}


def _with_huge(document, *path):
    """The document (a JSON text) with a 401-digit integer at path: valid JSON, beyond a double."""
    document = json.loads(json.dumps(document))
    inner = document
    for key in path[:-1]:
        inner = inner[key]
    inner[path[-1]] = 10**400
    return json.dumps(document)


def _malformed_cases(payload):
    returns = payload["returns"]
    nested = '{"stats": ' + "[" * 100_000 + "]" * 100_000 + "}"
    return {
        "not json": ("{'single': quotes}", "not valid JSON"),
        "a list": ("[1, 2]", "must be a JSON object, got a list"),
        "missing key": (_without(payload, "position"), 'lacks the keys "position"'),
        "extra key": (dict(payload, owner="bob"), 'unexpected keys "owner"'),
        "deep nesting": (nested, "not a strategy document"),
        "short values": (
            dict(payload, returns={"time": returns["time"], "value": returns["value"][:-1]}),
            "dates but",
        ),
        "benchmark misaligned": (
            dict(payload, benchmark=payload["benchmark"][1:]),
            '"benchmark" has',
        ),
        "text fee": (dict(payload, fee_ratio="0.1%"), '"fee_ratio" must be a number, got a string'),
        "boolean fee": (dict(payload, fee_ratio=True), '"fee_ratio" must be a number'),
        "flag as text": (dict(payload, public_code="no"), '"public_code" must be true or false'),
        "position entry": (
            dict(payload, position=dict(payload["position"], **{"2330": [0.5]})),
            '"position.2330" must be an object',
        ),
        "huge fee": (_with_huge(payload, "fee_ratio"), '"fee_ratio" must be a number within'),
        "huge stat": (_with_huge(payload, "stats", "daily_sharpe"), '"stats.daily_sharpe"'),
        "huge price": (
            _with_huge(payload, "position", "2330", "entry_price"),
            '"position.2330.entry_price" must be a number within ±1.8e308, '
            "got an integer of 401 digits",
        ),
        "huge length": (
            _with_huge(payload, "drawdown_details", min(payload["drawdown_details"]), "Length"),
            ".Length\" must be a number within",
        ),
        "curve text": (
            dict(payload, returns={"time": returns["time"], "value": ["1"] * len(returns["time"])}),
            '"returns.value[0]" must be a number',
        ),
    }


def _refusal_cases(service, payload):
    selector = service.token.split(".")[0]
    cases = {
        "no token": (dict(token=""), 401, "no API token was sent"),
        "unknown token": (dict(token="0123456789abcdef.secret"), 401, "unknown API token"),
        # The right user's selector with a wrong secret must not pass.
        "forged secret": (dict(token=f"{selector}.not-the-secret"), 401, "unknown API token"),
        "no dot": (dict(token="justsometoken"), 401, "unknown API token"),
        "collection": (dict(collection="users"), 400, 'unknown collection "users"'),
        "no collection": (dict(collection=None), 400, "unknown collection"),
        "empty name": (dict(name="  "), 400, "strategy name"),
        "long name": (dict(name="x" * 201), 400, "201 characters"),
        "zero width name": (dict(name="\u200b"), 400, "no visible character"),
        "nul name": (dict(name="\x00"), 400, "control character U+0000"),
        "invisible name": (dict(name="\u200e\u3164\u2800\u0301"), 400, "no visible character"),
        "control inside": (dict(name="momentum\nsecond line"), 400, "control character U+000A"),
        "no data": (dict(data=None), 400, '"data"'),
    }
    for label, (document, message) in _malformed_cases(payload).items():
        cases[label] = (dict(payload=document), 400, message)
    return cases


REFUSALS = [
    "no token",
    "unknown token",
    "forged secret",
    "no dot",
    "collection",
    "no collection",
    "empty name",
    "long name",
    "zero width name",
    "nul name",
    "invisible name",
    "control inside",
    "no data",
    "not json",
    "a list",
    "missing key",
    "extra key",
    "deep nesting",
    "short values",
    "benchmark misaligned",
    "text fee",
    "boolean fee",
    "flag as text",
    "position entry",
    "curve text",
    "huge fee",
    "huge stat",
    "huge price",
    "huge length",
]


@pytest.mark.parametrize("case", REFUSALS)
def test_refusals_say_what_is_wrong_and_store_nothing(service, payload, case):
    changes, status_code, message = _refusal_cases(service, payload)[case]
    changes = dict(changes)
    document = changes.pop("payload", payload)
    reply = service.upload(document, **changes)
    assert reply.status_code == status_code
    assert reply.json["status"] == "error"
    assert message in reply.json["message"]
    if case in _malformed_cases(payload):
        assert reply.json["message"].startswith("malformed payload: ")
    assert "uid" not in reply.json
    assert service.store.counts() == {"users": 1, "strategies": 0, "versions": 0}


def test_names_with_something_to_see_are_accepted_as_sent(service, payload):
    # Format characters and combining marks are fine beside visible ones: family emoji joined by
    # zero-width joiners, a decomposed accent, Arabic with its direction mark, a Hangul filler.
    names = ["👨\u200d👩\u200d👧", "cafe\u0301", "\u200fزخم", "\u3164x", " momentum "]
    for name in names:
        reply = service.upload(payload, name=name)
        assert reply.json["status"] == "success", reply.json
        assert service.store.strategy(reply.json["uid"], reply.json["strategy_id"]).name == name


def test_too_large_upload_is_refused_before_parsing(tmp_path, payload):
    service = Service(tmp_path, max_upload_bytes=20_000)
    reply = service.upload(payload)  # about twice the limit once form-encoded
    assert reply.status_code == 413
    assert reply.json["status"] == "error"
    assert "larger than the 0.02 MB this service accepts" in reply.json["message"]
    assert service.store.counts()["versions"] == 0


def test_token_is_kept_only_as_a_hash(tmp_path):
    path = tmp_path / "users.sqlite3"
    store = Store(path)
    alice, alice_token = store.add_user("alice")
    bob, bob_token = store.add_user("bob")
    assert store.authenticate(alice_token) == alice and store.authenticate(bob_token) == bob
    secret = alice_token.split(".", 1)[1]
    with sqlite3.connect(path) as conn:
        conn.execute("PRAGMA wal_checkpoint(FULL)")
    raw = b"".join(file.read_bytes() for file in tmp_path.iterdir())
    assert secret.encode() not in raw and alice_token.encode() not in raw
    with pytest.raises(ValueError, match="exists already"):
        store.add_user("alice")


HOSTILE = "<script>alert(1)</script>"


def test_user_text_is_escaped_on_every_page(service, payload):
    position = {
        "<img src=x onerror=alert(2)>": dict(payload["position"]["2330"], status="<b>持有</b>"),
        **payload["position"],
    }
    stats = dict(payload["stats"], **{"</script><script>alert(3)//": 1.0})
    reply = service.upload(dict(payload, position=position, stats=stats), name=HOSTILE)
    service.sign_in()
    page = service.page(reply).get_data(as_text=True)
    listing = service.client.get("/strategies/", query_string={"uid": service.user.uid})
    for html in (page, listing.get_data(as_text=True)):
        assert HOSTILE not in html
        assert "&lt;script&gt;alert(1)&lt;/script&gt;" in html
    assert "<img src=x" not in page and "&lt;img src=x onerror=alert(2)&gt;" in page
    assert "<b>持有</b>" not in page and "&lt;b&gt;持有&lt;/b&gt;" in page
    # Only the page's own two external scripts and its data block, however the text is crafted.
    assert re.findall(r"<script[^>]*>", page) == [
        '<script type="application/json" id="chart-data">',
        '<script src="/vendor/plotly.min.js">',
        '<script src="/static/strategy.js">',
    ]


@pytest.mark.parametrize(
    "query",
    [
        {"uid": "nobody", "sid": "nothing"},
        {"uid": "OWNER", "sid": "nothing"},
        {"uid": "OTHER", "sid": "SID"},  # another user's uid with this strategy's id
        {"uid": "OWNER", "sid": "SID", "version": "2"},
        {"uid": "OWNER", "sid": "SID", "version": "²"},
        {"uid": "OWNER"},
        {},
    ],
)
def test_unknown_strategy_gives_a_404_page(service, payload, query):
    reply = service.upload(payload)
    other, _ = service.store.add_user("bob")
    names = {"OWNER": service.user.uid, "SID": reply.json["strategy_id"], "OTHER": other.uid}
    query = {key: names.get(value, value) for key, value in query.items()}
    for path in ("/strategy/", "/strategy/dashboard"):
        answer = service.client.get(path, query_string=query)
        assert answer.status_code == 404
        assert answer.content_type.startswith("text/html")
        assert b'id="error-message"' in answer.data
    assert service.client.get("/strategies/", query_string={"uid": "nobody"}).status_code == 404


def test_dashboard_runs_sandboxed_with_the_local_plotly(service, payload):
    fragment = dashboard_html()
    assert "https://cdn.plot.ly/" in fragment
    plain = service.upload(payload, name="plain")
    with_dashboard = service.upload(dict(payload, trevik_plotly_html=fragment), name="dash")
    service.sign_in()

    assert b"<iframe" not in service.page(plain).data
    page = service.page(with_dashboard).get_data(as_text=True)
    frame = re.search(r"<iframe[^>]*>", page).group(0)
    assert 'sandbox="allow-scripts"' in frame and "allow-same-origin" not in frame

    src = re.search(r'src="([^"]+)"', frame).group(1).replace("&amp;", "&")
    dashboard = service.client.get(src)
    assert dashboard.status_code == 200
    policy = dashboard.headers["Content-Security-Policy"]
    assert policy.startswith("sandbox allow-scripts;") and "allow-same-origin" not in policy
    body = dashboard.get_data(as_text=True)
    assert "cdn.plot.ly" not in body and '<script src="/vendor/plotly.min.js"></script>' in body
    assert "Plotly.newPlot" in body

    plotly_js = service.client.get("/vendor/plotly.min.js")
    assert plotly_js.status_code == 200 and b"plotly.js v" in plotly_js.data[:200]


def test_upload_endpoint_answers_json_to_other_methods(service):
    reply = service.client.get("/write_database")
    assert reply.status_code == 405
    assert reply.json["status"] == "error" and "POST" in reply.json["message"]

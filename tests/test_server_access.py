"""Who sees what: sign-in sessions, private positions, the list, sharing toggles, revoked links."""

from __future__ import annotations

import json
import re
import sqlite3

import pytest

pytest.importorskip("flask")

from strategy_payloads import build_payload  # noqa: E402
from test_server_upload import Service, sign_in  # noqa: E402

from kovalt.server.access import SESSION_COOKIE  # noqa: E402
from kovalt.server.store import Store  # noqa: E402

ASSETS = ("QXASSET1", "QXASSET2")


@pytest.fixture
def service(tmp_path):
    return Service(tmp_path)


def _private_payload(**flags):
    payload = build_payload(days=90, assets=ASSETS, statuses=("hold", "enter"))
    payload["trevik_plotly_html"] = "<div>trades of QXASSET1</div>"
    return dict(payload, **flags)


def _form_key(html):
    return re.search(r'name="csrf" value="([^"]+)"', html).group(1)


def _listed(client, uid):
    listing = client.get("/strategies/", query_string={"uid": uid}).get_data(as_text=True)
    return re.findall(r'<a href="/strategy/\?[^"]+">([^<]+)</a>', listing)


def test_a_stranger_sees_performance_and_the_owner_everything(service):
    private = service.upload(_private_payload(), name="private").json
    shared = service.upload(
        _private_payload(public_performance=True, public_position=True), name="shared"
    ).json
    stranger = service.client.application.test_client()
    query = {"uid": private["uid"], "sid": private["strategy_id"]}

    page = stranger.get("/strategy/", query_string=query)
    html = page.get_data(as_text=True)
    assert page.status_code == 200 and 'id="key-figures"' in html and 'id="chart-data"' in html
    assert not any(asset in html for asset in ASSETS)
    assert 'id="positions-private"' in html and "<iframe" not in html
    assert 'id="sharing"' not in html
    assert stranger.get("/strategy/dashboard", query_string=query).status_code == 404
    # The uploaded flags set the start: the shared one shows its positions and is listed.
    shared_query = {"uid": shared["uid"], "sid": shared["strategy_id"]}
    other = stranger.get("/strategy/", query_string=shared_query)
    assert all(asset in other.get_data(as_text=True) for asset in ASSETS)
    assert _listed(stranger, private["uid"]) == ["shared"]

    reply = service.sign_in()
    assert reply.status_code == 303
    assert reply.location.endswith(f"/strategies/?uid={private['uid']}")
    owner_page = service.client.get("/strategy/", query_string=query)
    owner_html = owner_page.get_data(as_text=True)
    assert all(asset in owner_html for asset in ASSETS) and 'id="sharing"' in owner_html
    assert "frame-ancestors 'self'" in owner_page.headers["Content-Security-Policy"]
    assert service.client.get("/strategy/dashboard", query_string=query).status_code == 200
    assert _listed(service.client, private["uid"]) == ["shared", "private"]
    # Inside a frame (a notebook's) the owner sees the positions, without buttons to click.
    framed = service.client.get(
        "/strategy/", query_string=query, headers={"Sec-Fetch-Dest": "iframe"}
    )
    assert ASSETS[0] in framed.get_data(as_text=True) and b'id="sharing"' not in framed.data
    assert "frame-ancestors" not in framed.headers["Content-Security-Policy"]
    # Another user, signed in, is a stranger to alice's strategies.
    _, bob_token = service.store.add_user("bob")
    sign_in(stranger, bob_token)
    assert ASSETS[0] not in stranger.get("/strategy/", query_string=query).get_data(as_text=True)
    assert _listed(stranger, private["uid"]) == ["shared"]


def test_toggles_and_revoke_need_the_owner_and_the_form_key(service):
    reply = service.upload(_private_payload(), name="momentum").json
    query = {"uid": reply["uid"], "sid": reply["strategy_id"]}
    stranger = service.client.application.test_client()
    service.sign_in()
    key = _form_key(service.client.get("/strategy/", query_string=query).get_data(as_text=True))
    form = dict(query, csrf=key, public_position="on", public_performance="on")

    forged = dict(form, csrf="forged")
    assert service.client.post("/strategy/sharing", data=forged).status_code == 403
    assert stranger.post("/strategy/sharing", data=form).status_code == 403
    assert ASSETS[0] not in stranger.get("/strategy/", query_string=query).get_data(as_text=True)
    assert service.client.post("/strategy/sharing", data=form).status_code == 303
    assert ASSETS[0] in stranger.get("/strategy/", query_string=query).get_data(as_text=True)
    assert _listed(stranger, reply["uid"]) == ["momentum"]
    # A new version keeps the owner's choice, whatever flags the client sends.
    again = service.upload(_private_payload(), name="momentum").json
    assert again["strategy_id"] == reply["strategy_id"] and again["version"] == 2
    assert ASSETS[0] in stranger.get("/strategy/", query_string=query).get_data(as_text=True)

    revoked = service.client.post("/strategy/revoke", data=dict(query, csrf=key))
    new_sid = re.search(r"sid=([0-9a-f]{16})$", revoked.location).group(1)
    assert revoked.status_code == 303 and new_sid != reply["strategy_id"]
    addresses = (("/strategy/", {}), ("/strategy/", {"version": "1"}), ("/strategy/dashboard", {}))
    for path, extra in addresses:
        assert stranger.get(path, query_string=dict(query, **extra)).status_code == 404
        assert stranger.get(path, query_string=dict(query, sid=new_sid, **extra)).status_code == 200
    assert service.client.post("/strategy/revoke", data=dict(query, csrf=key)).status_code == 404
    # The upload answers with the strategy's current address.
    assert service.upload(_private_payload(), name="momentum").json["strategy_id"] == new_sid


def _cookie_header(reply, name):
    (header,) = [h for h in reply.headers.getlist("Set-Cookie") if h.startswith(name + "=")]
    return header


def test_sign_in_session_cookie_and_sign_out(service, tmp_path):
    assert b"Sign in" in service.client.get("/").data
    # The sign-in form's key must come back with its cookie: another site cannot post it.
    keyless = {"csrf": "x", "api_token": service.token}
    assert service.client.post("/sign-in", data=keyless).status_code == 403
    wrong = sign_in(service.client, service.token + "x")
    assert wrong.status_code == 401 and service.client.get_cookie(SESSION_COOKIE) is None
    assert service.token.encode() not in wrong.data
    # A token in the address signs nobody in.
    service.client.get("/sign-in", query_string={"api_token": service.token})
    assert service.client.get_cookie(SESSION_COOKIE) is None

    reply = service.sign_in()
    cookie = _cookie_header(reply, SESSION_COOKIE)
    assert "HttpOnly" in cookie and "SameSite=Lax" in cookie and "Secure" not in cookie
    assert service.token not in reply.location and service.token not in cookie
    session = service.client.get_cookie(SESSION_COOKIE).value
    home = service.client.get("/").get_data(as_text=True)
    assert 'id="signed-in-as">alice<' in home
    assert service.client.post("/sign-out", data={"csrf": "forged"}).status_code == 403
    assert service.client.post("/sign-out", data={"csrf": _form_key(home)}).status_code == 303
    assert service.client.get_cookie(SESSION_COOKIE) is None
    # The session ended on the server: its cookie, replayed, is nobody's.
    service.client.set_cookie(SESSION_COOKIE, session)
    assert b'id="signed-in-as"' not in service.client.get("/").data

    secure = service.client.application.test_client()
    form_page = secure.get("/sign-in", base_url="https://strategies.example")
    assert "Secure" in _cookie_header(form_page, "kovalt_sign_in")
    key = _form_key(form_page.get_data(as_text=True))
    form = {"csrf": key, "api_token": service.token}
    signed = secure.post("/sign-in", data=form, base_url="https://strategies.example")
    assert "Secure" in _cookie_header(signed, SESSION_COOKIE)
    assert "frame-ancestors 'none'" in form_page.headers["Content-Security-Policy"]


def test_a_database_of_the_first_release_opens_with_links_and_flags(tmp_path):
    path = tmp_path / "old.sqlite3"
    with sqlite3.connect(path) as conn:
        conn.executescript(
            "CREATE TABLE users (uid TEXT PRIMARY KEY, name TEXT NOT NULL UNIQUE,"
            " selector TEXT NOT NULL UNIQUE, token_hash TEXT NOT NULL, created_at TEXT NOT NULL);"
            "CREATE TABLE strategies (sid TEXT PRIMARY KEY, uid TEXT NOT NULL, name TEXT NOT NULL,"
            " created_at TEXT NOT NULL, updated_at TEXT NOT NULL, versions INTEGER NOT NULL,"
            " UNIQUE (uid, name));"
            "CREATE TABLE versions (sid TEXT NOT NULL, version INTEGER NOT NULL,"
            " uploaded_at TEXT NOT NULL, size INTEGER NOT NULL, payload TEXT NOT NULL,"
            " PRIMARY KEY (sid, version));"
            "INSERT INTO users VALUES ('u1', 'alice', 'sel', 'hash', '2026-01-01T00:00:00Z');"
            "INSERT INTO strategies VALUES ('s1', 'u1', 'old', 't', 't', 2);"
        )
        for version, position in ((1, True), (2, False)):
            payload = json.dumps(_private_payload(public_position=position))
            conn.execute("INSERT INTO versions VALUES ('s1', ?, 't', 0, ?)", (version, payload))
    store = Store(path)
    summary = store.strategy("u1", "s1")
    assert summary.sid == "s1" and summary.public_position and not summary.public_performance
    assert store.version("u1", "s1").version == 2
    Store(path)  # opening again changes nothing
    assert store.strategy("u1", "s1") == summary

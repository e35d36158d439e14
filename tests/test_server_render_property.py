"""Every document the upload validator accepts can be shown: hypothesis against the pages.

Documents are drawn near the shape the client sends, with any JSON value (integers far beyond a
double, NaN, infinities, odd text, nesting) in the places the validator leaves open, and now and
then one key replaced by anything at all. An accepted document must give the strategy page and
the list page with status 200, with chart data the browser's JSON.parse reads; a refused one a
400 with a message.
"""

from __future__ import annotations

import json
import re

import pytest

pytest.importorskip("flask")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from strategy_payloads import build_payload, upload_form  # noqa: E402
from test_server_upload import sign_in  # noqa: E402

from kovalt.server import create_app  # noqa: E402
from kovalt.server.payload import PAYLOAD_KEYS, POSITION_META_KEYS  # noqa: E402
from kovalt.server.store import Store  # noqa: E402

EXAMPLES = 300

texts = st.text(max_size=8)
ordinary_numbers = st.one_of(
    st.integers(min_value=-(10**20), max_value=10**20),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-1e-300, max_value=1e-300),
)
# Integers beyond a double, around its limit too; drawn for one number in twenty.
huge_integers = st.integers(min_value=10**307, max_value=10**400) | st.integers(
    min_value=-(10**400), max_value=-(10**307)
)
numbers = st.integers(0, 19).flatmap(lambda k: huge_integers if k == 0 else ordinary_numbers)
leaves = st.one_of(st.none(), st.booleans(), numbers, texts)
values = st.recursive(
    leaves,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(texts, inner, max_size=3),
    max_leaves=8,
)
number_or_null = st.none() | numbers


@st.composite
def curves(draw):
    size = draw(st.integers(min_value=0, max_value=6))
    times = draw(st.lists(texts, min_size=size, max_size=size))
    value = draw(st.lists(number_or_null, min_size=size, max_size=size))
    benchmark = draw(st.lists(number_or_null, min_size=size, max_size=size))
    return {"time": times, "value": value}, benchmark


@st.composite
def positions(draw):
    entry = st.dictionaries(
        st.sampled_from(
            ["status", "weight", "next_weight", "entry_date", "exit_date", "return", "entry_price"]
        )
        | texts,
        values,
        max_size=7,
    )
    position = draw(st.dictionaries(texts.filter(lambda t: t not in POSITION_META_KEYS), entry,
                                    max_size=3))
    for key in draw(st.sets(st.sampled_from(POSITION_META_KEYS))):
        position[key] = draw(texts)
    return position


@st.composite
def documents(draw):
    returns, benchmark = draw(curves())
    tables = st.dictionaries(texts, st.dictionaries(texts, values, max_size=4), max_size=4)
    document = {
        "drawdown_details": draw(tables),
        "stats": draw(st.dictionaries(st.sampled_from(["start", "end", "total_return",
                                                        "daily_sharpe", "calmar"]) | texts,
                                      values, max_size=6)),
        "returns": returns,
        "benchmark": benchmark,
        "ndays_return": draw(st.dictionaries(texts, number_or_null, max_size=4)),
        "return_table": draw(tables),
        "fee_ratio": draw(numbers),
        "tax_ratio": draw(numbers),
        "trade_at": draw(texts),
        "trevik_plotly_html": draw(st.none() | texts),
        "update_date": draw(texts),
        "last_trading_date": draw(texts),
        "next_trading_date": draw(texts),
        "position": draw(positions()),
        "public_performance": draw(st.booleans()),
        "public_code": draw(st.booleans()),
        "public_position": draw(st.booleans()),
    }
    spoiled = draw(st.none() | st.sampled_from(PAYLOAD_KEYS))
    if spoiled is not None:
        document[spoiled] = draw(values)
    return document


def _strict_json(text: str):
    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")

    return json.loads(text, parse_constant=refuse)


def test_every_accepted_document_is_shown(tmp_path, artifacts):
    store = Store(tmp_path / "strategies.sqlite3")
    user, token = store.add_user("alice")
    client = create_app(store=store).test_client()
    sign_in(client, token)  # the owner's view: positions and sharing controls included
    outcomes = {"accepted": 0, "refused": 0}

    @settings(
        max_examples=EXAMPLES,
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )
    @given(document=documents())
    def check(document):
        reply = client.post("/write_database", data=upload_form(document, token, "drawn"))
        if reply.status_code == 400:
            assert reply.json["message"].startswith("malformed payload: ")
            outcomes["refused"] += 1
            return
        assert reply.status_code == 200 and reply.json["status"] == "success", reply.json
        outcomes["accepted"] += 1
        query = {"uid": user.uid, "sid": reply.json["strategy_id"]}
        page = client.get("/strategy/", query_string=query)
        assert page.status_code == 200 and b'id="sharing"' in page.data
        block = re.search(r'id="chart-data">(.*?)</script>', page.get_data(as_text=True), re.S)
        _strict_json(block.group(1))
        assert client.get("/strategies/", query_string={"uid": user.uid}).status_code == 200

    check()
    (artifacts / "render-property.txt").write_text(
        f"{EXAMPLES} drawn documents: {outcomes['accepted']} accepted and shown, "
        f"{outcomes['refused']} refused\n"
    )
    # Both sides of the validator were explored, not only its refusals.
    assert outcomes["accepted"] >= EXAMPLES // 10 and outcomes["refused"] >= EXAMPLES // 10


def test_a_document_stored_before_the_range_check_is_still_shown(tmp_path):
    store = Store(tmp_path / "strategies.sqlite3")
    user, _ = store.add_user("alice")
    client = create_app(store=store).test_client()
    huge = '"fee_ratio": 1' + "0" * 400
    text = json.dumps(build_payload(days=90)).replace('"fee_ratio": 0.001425', huge)
    sid, _ = store.save_version(user.uid, "old", text)
    page = client.get("/strategy/", query_string={"uid": user.uid, "sid": sid})
    assert page.status_code == 200
    assert re.search(r"<th>fee ratio</th><td>∞</td>", page.get_data(as_text=True))


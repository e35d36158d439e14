import logging

import pytest
import requests

import kovalt
from kovalt import get_token, utils
from kovalt.credentials import TokenNotFoundError

CANARY = "tok-CANARY-5f1e"


@pytest.fixture
def config_home(tmp_path, monkeypatch):
    monkeypatch.delenv("KOVALT_API_TOKEN", raising=False)
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    return tmp_path


def write_token_file(config_home, text):
    folder = config_home / "kovalt"
    folder.mkdir(exist_ok=True)
    (folder / "token").write_text(text, encoding="utf-8")


def test_environment_variable_wins_over_the_file(config_home, monkeypatch):
    write_token_file(config_home, "from-file\n")
    monkeypatch.setenv("KOVALT_API_TOKEN", "from-env")
    assert get_token() == "from-env"


def test_file_first_line_is_used_when_the_variable_is_unset_or_empty(config_home, monkeypatch):
    write_token_file(config_home, "  from-file  \nsecond line\n")
    assert get_token() == "from-file"
    monkeypatch.setenv("KOVALT_API_TOKEN", "")
    assert get_token() == "from-file"


def test_default_folder_is_dot_config(tmp_path, monkeypatch):
    monkeypatch.delenv("KOVALT_API_TOKEN", raising=False)
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / ".config" / "kovalt").mkdir(parents=True)
    (tmp_path / ".config" / "kovalt" / "token").write_text("home-token")
    assert get_token() == "home-token"


@pytest.mark.parametrize("file_text", [None, "", "\n\nlater"])
def test_missing_token_names_both_ways_to_set_one(config_home, file_text):
    if file_text is not None:
        write_token_file(config_home, file_text)
    with pytest.raises(TokenNotFoundError) as caught:
        get_token()
    message = str(caught.value)
    assert "KOVALT_API_TOKEN" in message
    assert str(config_home / "kovalt" / "token") in message


def test_token_is_not_logged(config_home, monkeypatch, caplog):
    monkeypatch.setenv("KOVALT_API_TOKEN", CANARY)
    with caplog.at_level(logging.DEBUG):
        assert get_token() == CANARY
    assert CANARY not in caplog.text


def test_utils_offers_the_logger_and_the_http_client():
    assert utils.logger is logging.getLogger("kovalt")
    assert utils.requests is requests


def test_version_is_a_release_string():
    parts = kovalt.__version__.split(".")
    assert len(parts) == 3 and all(part.isdigit() for part in parts)

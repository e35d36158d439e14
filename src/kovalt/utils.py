"""Shared objects of the kovalt package: its logger and the HTTP client it uses."""

import logging

import requests

logger = logging.getLogger("kovalt")

__all__ = ["logger", "requests"]

"""SQLite storage of the strategy service: users with hashed API tokens, strategies, versions
and the sessions of the pages' sign-in.

Every operation opens its own connection, so the store can be shared by the threads of the web
server without locks of its own; SQLite's write-ahead log lets readers run beside one writer, and
every write takes the write lock up front (``BEGIN IMMEDIATE``) so two uploads of the same strategy
cannot both see "no such strategy yet".
"""

from __future__ import annotations

import hashlib
import json
import hmac
import os
import secrets
import sqlite3
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from pathlib import Path

DB_FILE_NAME = "strategies.sqlite3"
MAX_USER_NAME_LENGTH = 100
# Seconds a writer waits for the lock before the upload is refused as "busy".
BUSY_TIMEOUT_SECONDS = 60.0

_SCHEMA = """
CREATE TABLE IF NOT EXISTS users (
    uid         TEXT PRIMARY KEY,
    name        TEXT NOT NULL UNIQUE,
    selector    TEXT NOT NULL UNIQUE,
    token_hash  TEXT NOT NULL,
    created_at  TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS strategies (
    sid         TEXT PRIMARY KEY,
    uid         TEXT NOT NULL REFERENCES users(uid),
    name        TEXT NOT NULL,
    created_at  TEXT NOT NULL,
    updated_at  TEXT NOT NULL,
    versions    INTEGER NOT NULL,
    UNIQUE (uid, name)
);
CREATE TABLE IF NOT EXISTS sessions (
    token_hash  TEXT PRIMARY KEY,
    uid         TEXT NOT NULL REFERENCES users(uid),
    csrf        TEXT NOT NULL,
    expires_at  TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS strategies_by_user ON strategies (uid, updated_at);
CREATE TABLE IF NOT EXISTS versions (
    sid         TEXT NOT NULL REFERENCES strategies(sid),
    version     INTEGER NOT NULL,
    uploaded_at TEXT NOT NULL,
    size        INTEGER NOT NULL,
    payload     TEXT NOT NULL,
    PRIMARY KEY (sid, version)
);
"""

# Added to strategies after the first release; a database of that release gains them on opening.
# "link" is the strategy's id in its page address, the sid at first and a new one for every
# revoked link; "sid" stays the strategy's key inside the database and is never shown.
_LATER_COLUMNS = {
    "link": "TEXT",
    "public_performance": "INTEGER NOT NULL DEFAULT 0",
    "public_code": "INTEGER NOT NULL DEFAULT 0",
    "public_position": "INTEGER NOT NULL DEFAULT 0",
}
FLAGS = ("public_performance", "public_code", "public_position")
_SUMMARY_COLUMNS = (
    "uid, link, name, created_at, updated_at, versions, public_performance, public_code,"
    " public_position"
)
SESSION_DAYS = 14

# Compared against when the token's selector is unknown, so that a miss costs the same as a hit.
_DUMMY_HASH = hashlib.sha256(b"kovalt: no such token").hexdigest()


class UserExistsError(ValueError):
    """A user of that name exists already."""


@dataclass(frozen=True)
class User:
    uid: str
    name: str
    created_at: str


@dataclass(frozen=True)
class StrategySummary:
    uid: str
    sid: str  # the id in the page address (the current link)
    name: str
    created_at: str
    updated_at: str
    versions: int
    public_performance: bool = False
    public_code: bool = False
    public_position: bool = False

    @classmethod
    def from_row(cls, row: tuple) -> StrategySummary:
        return cls(*row[:6], *(bool(flag) for flag in row[6:9]))


@dataclass(frozen=True)
class StoredVersion:
    strategy: StrategySummary
    version: int
    uploaded_at: str
    payload: str


def default_data_dir() -> Path:
    """The per-user data folder of kovalt (XDG on Unix, LOCALAPPDATA on Windows)."""
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or str(Path.home() / "AppData" / "Local")
    elif sys.platform == "darwin":
        base = str(Path.home() / "Library" / "Application Support")
    else:
        base = os.environ.get("XDG_DATA_HOME") or str(Path.home() / ".local" / "share")
    return Path(base) / "kovalt"


def default_db_path() -> Path:
    return default_data_dir() / DB_FILE_NAME


def utc_now() -> str:
    # Microseconds keep the text sortable between uploads of the same second.
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def uploaded_flags(document: dict) -> tuple[bool, bool, bool]:
    """The publicity flags a strategy document carries, in the order of FLAGS."""
    return tuple(document.get(flag) is True for flag in FLAGS)  # type: ignore[return-value]


def _hash_token(token: str) -> str:
    # Tokens carry 256 random bits, so a fast hash is enough: there is nothing to brute-force.
    return hashlib.sha256(token.encode("utf-8", "surrogatepass")).hexdigest()


def new_token() -> tuple[str, str]:
    """A fresh token and its selector: "<selector>.<secret>", the selector locating the row."""
    selector = secrets.token_hex(8)
    return f"{selector}.{secrets.token_urlsafe(32)}", selector


class Store:
    def __init__(self, path: str | os.PathLike[str]):
        self.path = Path(path)
        # Token hashes and unpublished strategies: a new folder is readable by its owner only.
        self.path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        with self._connect() as conn:
            conn.execute("PRAGMA journal_mode=WAL")
            conn.executescript(_SCHEMA)
        self._add_later_columns()

    def _add_later_columns(self) -> None:
        with self._write() as conn:
            present = {row[1] for row in conn.execute("PRAGMA table_info(strategies)")}
            missing = [name for name in _LATER_COLUMNS if name not in present]
            for name in missing:
                conn.execute(f"ALTER TABLE strategies ADD COLUMN {name} {_LATER_COLUMNS[name]}")
            if "link" in missing:
                conn.execute("UPDATE strategies SET link = sid")
                conn.execute("CREATE UNIQUE INDEX strategies_by_link ON strategies (link)")
            if "public_position" in missing:
                # Strategies stored before the flags had effect: the first upload's flags hold.
                first = conn.execute(
                    "SELECT sid, payload FROM versions WHERE version = 1"
                ).fetchall()
                for sid, payload in first:
                    conn.execute(
                        "UPDATE strategies SET public_performance = ?, public_code = ?,"
                        " public_position = ? WHERE sid = ?",
                        (*uploaded_flags(json.loads(payload)), sid),
                    )

    @contextmanager
    def _connect(self) -> Iterator[sqlite3.Connection]:
        conn = sqlite3.connect(self.path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None)
        try:
            conn.execute("PRAGMA foreign_keys=ON")
            yield conn
        finally:
            conn.close()

    @contextmanager
    def _write(self) -> Iterator[sqlite3.Connection]:
        with self._connect() as conn:
            conn.execute("BEGIN IMMEDIATE")
            try:
                yield conn
            except BaseException:
                conn.execute("ROLLBACK")
                raise
            conn.execute("COMMIT")

    # Users -------------------------------------------------------------------------------------

    def add_user(self, name: str) -> tuple[User, str]:
        """Create a user; returns it and its token, which is not kept anywhere but in the answer."""
        name = name.strip()
        if not name or len(name) > MAX_USER_NAME_LENGTH:
            raise ValueError(f"a user name has 1 to {MAX_USER_NAME_LENGTH} characters")
        token, selector = new_token()
        user = User(uid=secrets.token_hex(8), name=name, created_at=utc_now())
        with self._write() as conn:
            if conn.execute("SELECT 1 FROM users WHERE name = ?", (name,)).fetchone():
                raise UserExistsError(f"a user named {name!r} exists already")
            conn.execute(
                "INSERT INTO users (uid, name, selector, token_hash, created_at)"
                " VALUES (?, ?, ?, ?, ?)",
                (user.uid, user.name, selector, _hash_token(token), user.created_at),
            )
        return user, token

    def users(self) -> list[User]:
        with self._connect() as conn:
            rows = conn.execute("SELECT uid, name, created_at FROM users ORDER BY created_at")
            return [User(*row) for row in rows]

    def authenticate(self, token: str) -> User | None:
        """The user owning the token, or None. The hashes are compared in constant time."""
        selector = token.split(".", 1)[0] if "." in token else ""
        with self._connect() as conn:
            row = conn.execute(
                "SELECT uid, name, created_at, token_hash FROM users WHERE selector = ?",
                (selector,),
            ).fetchone()
        stored_hash = row[3] if row else _DUMMY_HASH
        matches = hmac.compare_digest(_hash_token(token), stored_hash)
        return User(*row[:3]) if row and matches else None

    # Strategies --------------------------------------------------------------------------------

    def save_version(
        self, uid: str, name: str, payload: str, flags: tuple[bool, bool, bool] = (False,) * 3
    ) -> tuple[str, int]:
        """Store the payload as the newest version of the user's strategy of that name.

        Returns the strategy's page id (stable across versions until its link is revoked) and the
        version number. The flags are the new strategy's; a new version keeps the owner's.
        """
        now = utc_now()
        with self._write() as conn:
            row = conn.execute(
                "SELECT sid, versions, link FROM strategies WHERE uid = ? AND name = ?",
                (uid, name),
            ).fetchone()
            if row is None:
                sid, version = secrets.token_hex(8), 1
                link = sid
                conn.execute(
                    "INSERT INTO strategies (sid, uid, name, created_at, updated_at, versions,"
                    " link, public_performance, public_code, public_position)"
                    " VALUES (?, ?, ?, ?, ?, 1, ?, ?, ?, ?)",
                    (sid, uid, name, now, now, link, *flags),
                )
            else:
                sid, version, link = row[0], row[1] + 1, row[2]
                conn.execute(
                    "UPDATE strategies SET updated_at = ?, versions = ? WHERE sid = ?",
                    (now, version, sid),
                )
            conn.execute(
                "INSERT INTO versions (sid, version, uploaded_at, size, payload)"
                " VALUES (?, ?, ?, ?, ?)",
                (sid, version, now, len(payload), payload),
            )
        return link, version

    def strategies(self, uid: str) -> list[StrategySummary] | None:
        """The user's strategies, most recently uploaded first; None for an unknown user."""
        with self._connect() as conn:
            if not conn.execute("SELECT 1 FROM users WHERE uid = ?", (uid,)).fetchone():
                return None
            rows = conn.execute(
                f"SELECT {_SUMMARY_COLUMNS} FROM strategies"
                " WHERE uid = ? ORDER BY updated_at DESC, rowid DESC",
                (uid,),
            )
            return [StrategySummary.from_row(row) for row in rows]

    def strategy(self, uid: str, sid: str) -> StrategySummary | None:
        with self._connect() as conn:
            row = conn.execute(
                f"SELECT {_SUMMARY_COLUMNS} FROM strategies WHERE uid = ? AND link = ?",
                (uid, sid),
            ).fetchone()
        return StrategySummary.from_row(row) if row else None

    def version(self, uid: str, sid: str, version: int | None = None) -> StoredVersion | None:
        """A stored version of the user's strategy (the newest when version is None)."""
        with self._connect() as conn:
            conn.execute("BEGIN")  # one snapshot for the strategy row and its version
            try:
                row = conn.execute(
                    f"SELECT {_SUMMARY_COLUMNS}, sid FROM strategies WHERE uid = ? AND link = ?",
                    (uid, sid),
                ).fetchone()
                if row is None:
                    return None
                summary = StrategySummary.from_row(row)
                wanted = summary.versions if version is None else version
                found = conn.execute(
                    "SELECT version, uploaded_at, payload FROM versions"
                    " WHERE sid = ? AND version = ?",
                    (row[-1], wanted),
                ).fetchone()
            finally:
                conn.execute("COMMIT")
        return StoredVersion(summary, *found) if found else None

    def set_flags(self, uid: str, sid: str, flags: tuple[bool, bool, bool]) -> bool:
        """Set the strategy's publicity flags; False when the user has no such strategy."""
        with self._write() as conn:
            changed = conn.execute(
                "UPDATE strategies SET public_performance = ?, public_code = ?,"
                " public_position = ? WHERE uid = ? AND link = ?",
                (*flags, uid, sid),
            ).rowcount
        return changed == 1

    def revoke_link(self, uid: str, sid: str) -> str | None:
        """Give the strategy a new page id, so that the old address finds nothing; the new id,
        or None when the user has no such strategy."""
        link = secrets.token_hex(8)
        with self._write() as conn:
            changed = conn.execute(
                "UPDATE strategies SET link = ? WHERE uid = ? AND link = ?", (link, uid, sid)
            ).rowcount
        return link if changed == 1 else None

    # Sessions of the pages' sign-in ------------------------------------------------------------

    def open_session(self, uid: str) -> tuple[str, str]:
        """A new session of the user: its cookie value (kept only as a hash) and its form key."""
        cookie, csrf = secrets.token_urlsafe(32), secrets.token_urlsafe(32)
        expires = datetime.now(timezone.utc) + timedelta(days=SESSION_DAYS)
        with self._write() as conn:
            conn.execute("DELETE FROM sessions WHERE expires_at < ?", (utc_now(),))
            conn.execute(
                "INSERT INTO sessions (token_hash, uid, csrf, expires_at) VALUES (?, ?, ?, ?)",
                (_hash_token(cookie), uid, csrf, expires.strftime("%Y-%m-%dT%H:%M:%S.%fZ")),
            )
        return cookie, csrf

    def session(self, cookie: str) -> tuple[User, str] | None:
        """The signed-in user of a session cookie and the session's form key, or None."""
        with self._connect() as conn:
            row = conn.execute(
                "SELECT users.uid, users.name, users.created_at, sessions.csrf FROM sessions"
                " JOIN users ON users.uid = sessions.uid"
                " WHERE sessions.token_hash = ? AND sessions.expires_at > ?",
                (_hash_token(cookie), utc_now()),
            ).fetchone()
        return (User(*row[:3]), row[3]) if row else None

    def close_session(self, cookie: str) -> None:
        with self._write() as conn:
            conn.execute("DELETE FROM sessions WHERE token_hash = ?", (_hash_token(cookie),))

    def counts(self) -> dict[str, int]:
        with self._connect() as conn:
            return {
                "users": conn.execute("SELECT count(*) FROM users").fetchone()[0],
                "strategies": conn.execute("SELECT count(*) FROM strategies").fetchone()[0],
                "versions": conn.execute("SELECT count(*) FROM versions").fetchone()[0],
            }

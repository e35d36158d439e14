"""The `kovalt serve` command: run the service, and manage the users who may upload."""

from __future__ import annotations

import argparse
import logging
import signal
import sys
from pathlib import Path

from kovalt.server.store import Store, UserExistsError, default_db_path

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8750
DEFAULT_MAX_UPLOAD_MB = 50


def add_serve_command(subparsers: argparse._SubParsersAction) -> None:
    serve = subparsers.add_parser(
        "serve",
        help="run the strategy-storage service",
        description="Run the strategy-storage service, or manage its users.",
    )
    serve.add_argument("--host", default=DEFAULT_HOST, help="address to listen on (%(default)s)")
    serve.add_argument(
        "--port", type=int, default=DEFAULT_PORT, help="port (%(default)s; 0 picks a free one)"
    )
    _add_db_option(serve, default=None)
    serve.add_argument(
        "--max-upload-mb",
        type=float,
        default=DEFAULT_MAX_UPLOAD_MB,
        help="largest upload accepted, in MB (%(default)s)",
    )
    serve.add_argument("--threads", type=int, default=8, help="worker threads (%(default)s)")
    serve.add_argument(
        "--trusted-proxy",
        metavar="ADDRESS",
        help="address of an HTTPS reverse proxy whose X-Forwarded-Proto header is believed "
        "(no proxy header is, by default)",
    )
    serve.set_defaults(run=run_service)

    actions = serve.add_subparsers(dest="serve_action", metavar="ACTION")
    add_user = actions.add_parser(
        "add-user",
        help="create a user and print its API token (shown once)",
        description="Create a user. Its API token goes to standard output, once: only its hash "
        "is kept. Example: export KOVALT_API_TOKEN=$(kovalt serve add-user alice)",
    )
    add_user.add_argument("name", help="the user's name")
    _add_db_option(add_user, default=argparse.SUPPRESS)
    add_user.set_defaults(run=run_add_user)

    list_users = actions.add_parser("list-users", help="list the users (never their tokens)")
    _add_db_option(list_users, default=argparse.SUPPRESS)
    list_users.set_defaults(run=run_list_users)


def _add_db_option(parser: argparse.ArgumentParser, default: object) -> None:
    # The actions accept --db after their own name too; SUPPRESS keeps them from resetting a
    # --db given before it.
    parser.add_argument(
        "--db",
        type=Path,
        default=default,
        help=f"SQLite database file (default: {default_db_path()})",
    )


def _store(args: argparse.Namespace) -> Store:
    return Store(args.db or default_db_path())


def run_add_user(args: argparse.Namespace) -> int:
    try:
        user, token = _store(args).add_user(args.name)
    except (UserExistsError, ValueError) as error:
        print(f"kovalt serve add-user: {error}", file=sys.stderr)
        return 1
    # The token alone on standard output, so that it can be captured by a shell.
    print(token, flush=True)
    print(
        f"created user {user.name!r} (uid {user.uid}); the token above is shown only this once",
        file=sys.stderr,
    )
    return 0


def run_list_users(args: argparse.Namespace) -> int:
    for user in _store(args).users():
        print(f"{user.uid}  {user.created_at[:19].replace('T', ' ')}  {user.name}")
    return 0


def _stop(signum: int, frame: object) -> None:
    raise SystemExit(0)


def _proxy_options(trusted_proxy: str | None) -> dict[str, object]:
    # Behind a proxy that ends HTTPS, the request's scheme decides whether the session cookie is
    # marked Secure. Only X-Forwarded-Proto, and only from that one peer, is believed; waitress
    # removes the proxy headers of every other peer.
    if not trusted_proxy:
        return {}
    return {
        "trusted_proxy": trusted_proxy,
        "trusted_proxy_headers": {"x-forwarded-proto"},
        "clear_untrusted_proxy_headers": True,
    }


def run_service(args: argparse.Namespace) -> int:
    try:
        from waitress import create_server

        from kovalt.server.app import create_app
    except ImportError as error:
        print(
            f"kovalt serve needs the server extra (missing {error.name}): "
            "pip install 'kovalt[server]'",
            file=sys.stderr,
        )
        return 2
    limit = int(args.max_upload_mb * 1_000_000)
    if limit <= 0:
        print("kovalt serve: --max-upload-mb must be positive", file=sys.stderr)
        return 2
    db_path = args.db or default_db_path()
    app = create_app(db_path, max_upload_bytes=limit)
    # The transport stops bodies far beyond the limit; the application refuses those in between
    # with a message the client can show.
    server = create_server(
        app,
        host=args.host,
        port=args.port,
        threads=args.threads,
        max_request_body_size=4 * limit + 1_000_000,
        ident="kovalt",
        **_proxy_options(args.trusted_proxy),
    )
    if hasattr(server, "effective_port"):
        host = server.effective_host
        base = (
            f"http://[{host}]:{server.effective_port}"
            if ":" in host
            else f"http://{host}:{server.effective_port}"
        )
        print(f"kovalt serve: listening on {base}/", flush=True)
        print(f"  upload endpoint: {base}/write_database")
    else:
        server.print_listen("kovalt serve: listening on http://{}:{}/")
    print(f"  database: {db_path}", flush=True)
    # A burst of uploads queues a few requests for a moment; that is no news for the console.
    logging.getLogger("waitress.queue").setLevel(logging.ERROR)
    signal.signal(signal.SIGTERM, _stop)
    try:
        server.run()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.close()
    return 0

"""``python -m corvane.service --db PATH [--host H] [--port N] [--api-key KEY]``.

Prints the bound address as ``corvane-service listening on http://HOST:PORT``
(the last start-up line, flushed) so scripts can read it.  Without
``--api-key``/``--api-key-file`` a random key is generated and printed once,
and only on a loopback host; on any other host the service refuses to start.
"""

from __future__ import annotations

import argparse
import ipaddress
import logging
import secrets
import signal
import sys
import threading
from typing import Any

from corvane.service.server import DEFAULT_MAX_BODY_BYTES, make_server
from corvane.utilities.persistence.sqlite import SQLiteStorage


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m corvane.service", description="corvane reference service")
    parser.add_argument("--db", required=True, help="SQLite database file (created when absent)")
    parser.add_argument("--host", default="127.0.0.1", help="interface to bind (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8787, help="port (default 8787; 0 picks a free port)")
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--api-key", help="bearer key clients must send (visible in the process list)")
    keys.add_argument("--api-key-file", help="file whose first line is the bearer key")
    parser.add_argument(
        "--max-body-bytes",
        type=int,
        default=DEFAULT_MAX_BODY_BYTES,
        help=f"largest accepted request body (default {DEFAULT_MAX_BODY_BYTES}); larger bodies get 413",
    )
    parser.add_argument("--quiet", action="store_true", help="do not log requests")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    api_key = args.api_key
    if args.api_key_file:
        with open(args.api_key_file, encoding="utf-8") as handle:
            api_key = handle.readline().strip()
        if not api_key:
            print("corvane-service: the API key file is empty", file=sys.stderr)
            return 2
    if args.api_key is not None and not api_key:
        print("corvane-service: --api-key must not be empty", file=sys.stderr)
        return 2
    generated = api_key is None
    if generated:
        if not is_loopback(args.host):
            print(
                f"corvane-service: refusing to listen on non-loopback host {args.host!r} without "
                "--api-key or --api-key-file",
                file=sys.stderr,
            )
            return 2
        api_key = secrets.token_urlsafe(32)
    if args.max_body_bytes < 1:
        print("corvane-service: --max-body-bytes must be positive", file=sys.stderr)
        return 2
    logging.basicConfig(
        level=logging.WARNING if args.quiet else logging.INFO,
        format="%(asctime)s %(name)s %(levelname)s %(message)s",
        stream=sys.stderr,
    )
    storage = SQLiteStorage(args.db)
    server = make_server(storage, api_key, args.host, args.port, max_body_bytes=args.max_body_bytes)

    def stop(signum: int, frame: Any) -> None:
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    if generated:
        print(f"corvane-service api key (generated, shown once): {api_key}", flush=True)
    print(f"corvane-service listening on {server.url}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        storage.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())

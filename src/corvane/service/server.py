"""The reference service: a ThreadingHTTPServer over ``SQLiteStorage``.

See the "Reference service" section of README.md for the endpoints.  Every
request needs ``Authorization: Bearer <key>``; bodies are JSON and are
validated completely before anything is stored.
"""

from __future__ import annotations

import hashlib
import hmac
import html
import json
import logging
import re
import socket
import socketserver
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

from corvane.service import validation as v
from corvane.utilities.persistence.sqlite import NotFoundError, SQLiteStorage

__all__ = [
    "DEFAULT_MAX_BODY_BYTES",
    "Fault",
    "RequestInfo",
    "ServiceServer",
    "make_server",
]

logger = logging.getLogger("corvane.service")

DEFAULT_MAX_BODY_BYTES = 32 * 1024 * 1024
"""Default body-size cap (32 MiB); larger bodies get 413."""

_DRAIN_LIMIT = 1024 * 1024
"""A rejected body up to (cap +) this size is read and discarded so the client sees the answer."""

MAX_PAGE = 100_000
"""Largest ``limit`` accepted by the paged GET endpoints."""


@dataclass
class RequestInfo:
    """What a request hook sees of a request (the body after the size check)."""

    method: str
    path: str
    query: str
    headers: dict[str, str]
    raw_body: bytes | None
    status: int | None = None

    def header(self, name: str) -> str | None:
        """A header's value by case-insensitive name, or None."""
        lower = name.lower()
        for key, value in self.headers.items():
            if key.lower() == lower:
                return value
        return None

    @property
    def body(self) -> Any:
        """The body parsed as JSON, or None when absent or not JSON."""
        if not self.raw_body:
            return None
        try:
            return json.loads(self.raw_body)
        except ValueError:
            return None


@dataclass
class Fault:
    """What a request hook can ask for instead of normal handling.

    ``delay`` seconds are waited first; then ``close`` drops the connection
    without an answer, or ``status`` answers with that code and ``body`` (a
    JSON value, default an error object) without touching the storage.
    Neither: the request is then handled normally.
    """

    status: int | None = None
    delay: float = 0.0
    close: bool = False
    body: Any = None


RequestHook = Callable[[RequestInfo], "Fault | None"]


class HTTPError(Exception):
    def __init__(self, status: int, message: str, *, headers: dict[str, str] | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.headers = headers or {}


class ServiceServer(ThreadingHTTPServer):
    """The HTTP server; ``storage``, ``api_key`` and ``max_body_bytes`` are set by ``make_server``.

    ``request_hook`` (or None) is called for every request, before
    authentication, with a ``RequestInfo``; it may return a ``Fault``.  The
    test fixture uses it to record requests and inject faults.
    """

    daemon_threads = True
    allow_reuse_address = True

    def __init__(
        self,
        address: tuple[str, int],
        storage: SQLiteStorage,
        api_key: str,
        *,
        max_body_bytes: int = DEFAULT_MAX_BODY_BYTES,
        request_hook: RequestHook | None = None,
    ) -> None:
        if not api_key:
            raise ValueError("an API key is required")
        self.storage = storage
        self._key_digest = hashlib.sha256(("Bearer " + api_key).encode("utf-8")).digest()
        self.max_body_bytes = int(max_body_bytes)
        self.request_hook = request_hook
        self._connections: set[socket.socket] = set()
        self._connections_lock = threading.Lock()
        self.closing = threading.Event()
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, RequestHandler)

    def server_bind(self) -> None:
        # HTTPServer.server_bind would look the host name up (socket.getfqdn), which can be slow.
        socketserver.TCPServer.server_bind(self)
        host, port = self.server_address[:2]
        self.server_name = str(host)
        self.server_port = port

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        if ":" in str(host):
            host = f"[{host}]"
        return f"http://{host}:{port}"

    def authorized(self, header: str | None) -> bool:
        """Constant-time check of an Authorization header against "Bearer <key>"."""
        given = hashlib.sha256((header or "").encode("utf-8", "surrogateescape")).digest()
        return hmac.compare_digest(given, self._key_digest)

    # Track open connections so that server_close can end idle keep-alive ones.
    def process_request(self, request: Any, client_address: Any) -> None:
        with self._connections_lock:
            self._connections.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self._connections_lock:
            self._connections.discard(request)
        super().shutdown_request(request)

    def server_close(self, timeout: float = 5.0) -> None:
        """Stop listening, end open connections and wait (up to ``timeout``) for their handlers."""
        self.closing.set()
        super().server_close()
        with self._connections_lock:
            connections = list(self._connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._connections_lock:
                if not self._connections:
                    break
            time.sleep(0.01)

    def handle_error(self, request: Any, client_address: Any) -> None:
        logger.exception("error while handling a request from %s", client_address[0])


_ID = r"(\d{1,18})"
_ROUTES: list[tuple[str, re.Pattern[str], str]] = [
    (method, re.compile(pattern + r"\Z"), name)
    for method, pattern, name in [
        ("GET", r"/", "page_index"),
        ("GET", r"/v1/health", "get_health"),
        ("GET", r"/v1/pipelines", "get_pipelines"),
        ("POST", r"/v1/pipelines", "post_pipeline"),
        ("GET", rf"/v1/pipelines/{_ID}", "get_pipeline"),
        ("PATCH", rf"/v1/pipelines/{_ID}", "patch_pipeline"),
        ("GET", rf"/v1/pipelines/{_ID}/sources", "get_pipeline_sources"),
        ("GET", rf"/v1/pipelines/{_ID}/nodes", "get_pipeline_nodes"),
        ("GET", rf"/v1/pipelines/{_ID}/edges", "get_pipeline_edges"),
        ("GET", rf"/v1/pipelines/{_ID}/results", "get_pipeline_results"),
        ("GET", rf"/v1/pipelines/{_ID}/values", "get_pipeline_values"),
        ("GET", rf"/v1/pipelines/{_ID}/dashboard", "get_pipeline_dashboard"),
        ("GET", r"/v1/sources", "get_sources"),
        ("POST", r"/v1/sources", "post_sources"),
        ("POST", r"/v1/nodes", "post_nodes"),
        ("POST", r"/v1/edges", "post_edges"),
        ("POST", r"/v1/results", "post_results"),
        ("POST", r"/v1/values", "post_values"),
        ("GET", r"/v1/dashboard", "get_dashboard"),
        ("POST", r"/v1/dashboard/sync", "post_dashboard"),
        ("POST", r"/v1/storage/sources", "post_storage_sources"),
        ("POST", r"/v1/storage/nodes", "post_storage_nodes"),
        ("POST", r"/v1/storage/edges", "post_storage_edges"),
        ("POST", r"/v1/storage/edges/resolved", "post_storage_edges_resolved"),
        ("POST", r"/v1/storage/results", "post_storage_results"),
        ("POST", r"/v1/storage/values", "post_storage_values"),
        ("GET", rf"/v1/storage/pipelines/{_ID}/fingerprint-map", "get_fingerprint_map"),
    ]
]


def _json_bytes(value: Any) -> bytes:
    return json.dumps(value, allow_nan=False, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class RequestHandler(BaseHTTPRequestHandler):
    """One request: hook, authentication, size check, routing, JSON answer."""

    server: ServiceServer
    protocol_version = "HTTP/1.1"
    server_version = "corvane-reference-service/1.0"
    sys_version = ""
    timeout = 60  # seconds a connection may stay idle or a body may take to arrive

    # -- plumbing ------------------------------------------------------------------

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - BaseHTTPRequestHandler API
        logger.info("%s - %s", self.address_string(), format % args)

    def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
        # Request line and status only: headers (and so the key) are never logged.
        if isinstance(code, HTTPStatus):
            code = code.value
        logger.info("%s %s %s", self.command, urlsplit(self.path).path, code)

    def send_response(self, code: int, message: str | None = None) -> None:
        if self._info is not None:
            self._info.status = code
        super().send_response(code, message)

    def do_GET(self) -> None:
        self._handle("GET")

    def do_POST(self) -> None:
        self._handle("POST")

    def do_PATCH(self) -> None:
        self._handle("PATCH")

    def do_PUT(self) -> None:
        self._handle("PUT")

    def do_DELETE(self) -> None:
        self._handle("DELETE")

    _info: RequestInfo | None = None

    def _send(self, status: int, body: bytes, content_type: str, headers: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def _send_json(self, status: int, value: Any, headers: dict[str, str] | None = None) -> None:
        self._send(status, _json_bytes(value), "application/json", headers)

    def _send_error_json(self, status: int, message: str, headers: dict[str, str] | None = None) -> None:
        self._send_json(status, {"error": message, "status": status}, headers)

    def _discard(self, length: int) -> None:
        while length > 0:
            chunk = self.rfile.read(min(length, 65536))
            if not chunk:
                break
            length -= len(chunk)

    # -- the request cycle ---------------------------------------------------------

    def _handle(self, method: str) -> None:
        url = urlsplit(self.path)
        path = url.path
        if len(path) > 1 and path.endswith("/"):
            path = path[:-1]
        self._info = info = RequestInfo(method, path, url.query, dict(self.headers.items()), None)
        server = self.server
        try:
            length = self._content_length()
            authorized = server.authorized(self.headers.get("Authorization"))
            too_big = length is not None and length > server.max_body_bytes
            hook = server.request_hook
            # An unauthenticated body is only read when a hook (the test fixture) wants to see it.
            unread = length if (too_big or not (authorized or hook is not None)) else None
            if length is not None and unread is None:
                info.raw_body = self.rfile.read(length)
                if len(info.raw_body) < length:
                    self.close_connection = True
                    return  # the client went away mid-body
            if hook is not None:
                fault = hook(info)
                if fault is not None and self._apply_fault(fault, unread):
                    return
            if server.closing.is_set():
                self.close_connection = True
                return
            if length is None and self.headers.get("Transfer-Encoding"):
                self.close_connection = True
                self._drain_chunked()
                raise HTTPError(411, "chunked bodies are not supported; send Content-Length")
            if not authorized:
                self._reject_body(unread)
                raise HTTPError(401, "missing or invalid bearer token", headers={"WWW-Authenticate": "Bearer"})
            if too_big:
                self._reject_body(length)
                raise HTTPError(413, f"body larger than {server.max_body_bytes} bytes")
            self._route(method, path, url.query, info.raw_body)
        except HTTPError as exc:
            self._send_error_json(exc.status, str(exc), exc.headers)
        except v.BadRequest as exc:
            self._send_error_json(400, str(exc))
        except NotFoundError as exc:
            self._send_error_json(404, str(exc))
        except (ConnectionError, socket.timeout):
            self.close_connection = True
        except Exception:
            logger.exception("internal error on %s %s", method, path)
            self.close_connection = True
            self._send_error_json(500, "internal error")

    def _content_length(self) -> int | None:
        text = self.headers.get("Content-Length")
        if text is None:
            return None
        try:
            length = int(text)
        except ValueError:
            length = -1
        if length < 0:
            self.close_connection = True
            raise HTTPError(400, "invalid Content-Length")
        return length

    def _drain_chunked(self) -> None:
        """Reads (and drops) a chunked body the client is still sending, within
        the size cap and a short wait, so that closing after the 411 does not
        reset the connection before the client has read the answer."""
        limit = self.server.max_body_bytes + _DRAIN_LIMIT
        sock = self.connection
        previous = sock.gettimeout()
        sock.settimeout(0.2)
        seen, tail = 0, b""
        try:
            while seen < limit:
                data = self.rfile.read1(65536)
                if not data:
                    break
                seen += len(data)
                tail = (tail + data)[-5:]
                if tail.endswith(b"0\r\n\r\n"):
                    break
        except OSError:  # time-out or reset: the answer is sent regardless
            pass
        finally:
            sock.settimeout(previous)

    def _reject_body(self, unread: int | None) -> None:
        """An unread body: drain it when small enough, else close after answering."""
        if unread is None:
            return
        if unread <= self.server.max_body_bytes + _DRAIN_LIMIT:
            self._discard(unread)
        self.close_connection = True

    def _apply_fault(self, fault: Fault, unread: int | None) -> bool:
        if fault.delay:
            self.server.closing.wait(fault.delay)
        if self.server.closing.is_set():
            self.close_connection = True
            return True
        if fault.close:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return True
        if fault.status is not None:
            self._reject_body(unread)
            body = fault.body if fault.body is not None else {"error": "injected fault", "status": fault.status}
            self._send_json(fault.status, body)
            return True
        return False

    def _route(self, method: str, path: str, query: str, raw: bytes | None) -> None:
        allowed = []
        for route_method, pattern, name in _ROUTES:
            match = pattern.match(path)
            if match is None:
                continue
            if route_method != method:
                allowed.append(route_method)
                continue
            args = [int(group) for group in match.groups()]
            params = {key: values[-1] for key, values in parse_qs(query).items()}
            handler = getattr(self, "_" + name)
            if method in ("POST", "PATCH"):
                if raw is None:
                    raise v.BadRequest("a JSON body is required")
                handler(*args, v.parse_json(raw))
            else:
                handler(*args, params)
            return
        if allowed:
            raise HTTPError(405, f"method {method} not allowed here", headers={"Allow": ", ".join(allowed)})
        raise HTTPError(404, f"no such resource: {path}")

    @staticmethod
    def _page(params: dict[str, str]) -> dict[str, int | None]:
        page: dict[str, int | None] = {"limit": None, "offset": 0}
        for key in page:
            if key in params:
                text = params[key]
                if not text.isdigit() or int(text) > (MAX_PAGE if key == "limit" else 2**62):
                    raise v.BadRequest(f"query parameter {key} must be an integer from 0 to {MAX_PAGE}")
                page[key] = int(text)
        return page

    # -- endpoints ----------------------------------------------------------------------

    def _get_health(self, params: dict[str, str]) -> None:
        self._send_json(200, {"status": "ok", "schema_version": self.server.storage.schema_version()})

    def _get_pipelines(self, params: dict[str, str]) -> None:
        self._send_json(200, {"pipelines": self.server.storage.list_pipelines(**self._page(params))})

    def _post_pipeline(self, body: Any) -> None:
        args = v.pipeline_create(body)
        pid = self.server.storage.create_pipeline(**args)
        self._send_json(201, {"pipeline_id": pid, "status": "running"})

    def _get_pipeline(self, pid: int, params: dict[str, str]) -> None:
        self._send_json(200, self.server.storage.get_pipeline(pid))

    def _patch_pipeline(self, pid: int, body: Any) -> None:
        status = v.pipeline_patch(body)
        storage = self.server.storage
        storage.complete_pipeline(pid, status=status)
        self._send_json(200, storage.get_pipeline(pid))

    def _get_pipeline_sources(self, pid: int, params: dict[str, str]) -> None:
        storage = self.server.storage
        storage.get_pipeline(pid)
        self._send_json(200, {"pipeline_id": pid, "sources": storage.get_sources(pid)})

    def _get_pipeline_nodes(self, pid: int, params: dict[str, str]) -> None:
        nodes = self.server.storage.get_nodes(pid, **self._page(params))
        self._send_json(200, {"pipeline_id": pid, "nodes": nodes})

    def _get_pipeline_edges(self, pid: int, params: dict[str, str]) -> None:
        edges = self.server.storage.get_edges(pid)
        self._send_json(200, {"pipeline_id": pid, "edges": edges["resolved"], "fingerprint_edges": edges["fingerprint"]})

    def _get_pipeline_results(self, pid: int, params: dict[str, str]) -> None:
        results = self.server.storage.get_results(pid, **self._page(params))
        self._send_json(200, {"pipeline_id": pid, "results": results})

    def _get_pipeline_values(self, pid: int, params: dict[str, str]) -> None:
        values = self.server.storage.get_row_values(pid, **self._page(params))
        self._send_json(200, {"pipeline_id": pid, "values": values})

    def _get_pipeline_dashboard(self, pid: int, params: dict[str, str]) -> None:
        storage = self.server.storage
        storage.get_pipeline(pid)
        self._send_json(200, {"pipeline_id": pid, "documents": storage.get_dashboard_documents(pid)})

    def _get_sources(self, params: dict[str, str]) -> None:
        self._send_json(200, {"sources": self.server.storage.get_sources(None)})

    def _post_sources(self, body: Any) -> None:
        pid, sources = v.sources(body)
        self._send_json(200, {"stored": self.server.storage.register_sources(sources, pipeline_id=pid)})

    def _post_storage_sources(self, body: Any) -> None:
        pid, sources = v.storage_sources(body)
        self._send_json(200, {"stored": self.server.storage.register_sources(sources, pipeline_id=pid)})

    def _post_nodes(self, body: Any) -> None:
        self._send_json(200, {"stored": self.server.storage.store_nodes(v.nodes(body))})

    def _post_storage_nodes(self, body: Any) -> None:
        self._send_json(200, {"stored": self.server.storage.store_nodes(v.storage_nodes(body))})

    def _post_edges(self, body: Any) -> None:
        pid, edges = v.edges(body)
        self._send_json(200, {"stored": self.server.storage.store_edges(edges, pipeline_id=pid)})

    def _post_storage_edges(self, body: Any) -> None:
        pid, edges = v.storage_edges(body)
        self._send_json(200, {"stored": self.server.storage.store_edges(edges, pipeline_id=pid)})

    def _post_storage_edges_resolved(self, body: Any) -> None:
        self._send_json(200, {"stored": self.server.storage.store_edges_resolved(v.resolved_edges(body))})

    def _post_results(self, body: Any) -> None:
        pid, rows = v.results(body)
        self._send_json(200, {"stored": self.server.storage.store_results(pid, rows)})

    def _post_storage_results(self, body: Any) -> None:
        pid, rows = v.storage_results(body)
        self._send_json(200, {"stored": self.server.storage.store_results(pid, rows)})

    def _post_values(self, body: Any) -> None:
        self._send_json(200, {"stored": self.server.storage.store_row_values(v.values(body))})

    def _post_storage_values(self, body: Any) -> None:
        self._send_json(200, {"stored": self.server.storage.store_row_values(v.storage_values(body))})

    def _get_dashboard(self, params: dict[str, str]) -> None:
        self._send_json(200, {"documents": self.server.storage.get_dashboard_documents()})

    def _post_dashboard(self, body: Any) -> None:
        document = v.dashboard(body)
        self._send_json(200, {"sync_id": self.server.storage.store_dashboard_document(document), "status": "ok"})

    def _get_fingerprint_map(self, pid: int, params: dict[str, str]) -> None:
        storage = self.server.storage
        storage.get_pipeline(pid)
        entries = sorted(storage.get_fingerprint_node_map(pid).items())
        self._send_json(200, {"pipeline_id": pid, "entries": [list(item) for item in entries]})

    def _page_index(self, params: dict[str, str]) -> None:
        self._send(200, render_index(self.server.storage).encode("utf-8"), "text/html; charset=utf-8")


def _fairness_summary(storage: SQLiteStorage, pipeline_id: int) -> tuple[str, list[str]]:
    documents = storage.get_dashboard_documents(pipeline_id)
    if documents:
        fairness = documents[-1]["document"].get("fairness") or {}
        impact = fairness.get("has_disparate_impact")
        attrs = [str(a) for a in fairness.get("protected_attributes") or []]
        verdict = "disparate impact" if impact else ("no disparate impact" if impact is False else "not reported")
        return verdict, sorted(set(attrs))
    protected = storage.protected_columns(pipeline_id)
    return ("protected sources" if protected else "no protected sources") + " (no dashboard report)", protected


def render_index(storage: SQLiteStorage) -> str:
    """The HTML page at "/": the pipelines with their fairness summary (all stored text escaped)."""
    esc = html.escape
    rows = []
    for p in storage.list_pipelines(limit=1000):
        verdict, attrs = _fairness_summary(storage, p["pipeline_id"])
        counts = p["counts"]
        rows.append(
            "<tr>"
            f"<td>{p['pipeline_id']}</td>"
            f"<td>{esc(p['pipeline_name'])}</td>"
            f"<td>{esc(p['status'])}</td>"
            f"<td>{esc(p['created_at'])}</td>"
            f"<td>{counts['nodes']}</td><td>{counts['edges'] + counts['fingerprint_edges']}</td>"
            f"<td>{counts['results']}</td><td>{counts['values']}</td>"
            f"<td>{esc(verdict)}</td>"
            f"<td>{esc(', '.join(attrs)) or '&mdash;'}</td>"
            "</tr>"
        )
    body = "\n".join(rows) or '<tr><td colspan="10">No pipelines yet.</td></tr>'
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>corvane reference service</title>"
        "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
        "td,th{border:1px solid #ccc;padding:.3em .6em;text-align:left}</style></head><body>"
        "<h1>corvane reference service</h1><h2>Pipelines</h2>"
        "<table><thead><tr><th>id</th><th>name</th><th>status</th><th>created</th><th>nodes</th>"
        "<th>edges</th><th>results</th><th>values</th><th>fairness</th><th>protected attributes</th></tr>"
        f"</thead><tbody>\n{body}\n</tbody></table></body></html>\n"
    )


def make_server(
    storage: SQLiteStorage,
    api_key: str,
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    max_body_bytes: int = DEFAULT_MAX_BODY_BYTES,
    request_hook: RequestHook | None = None,
) -> ServiceServer:
    """Bind a server (port 0: a free port) over a storage; call ``serve_forever`` to run it."""
    storage.connect()
    return ServiceServer(
        (host, port), storage, api_key, max_body_bytes=max_body_bytes, request_hook=request_hook
    )

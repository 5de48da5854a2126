"""The reference service in-process, for tests: recording, fault injection, a small client.

Fixtures (registered for every test through ``tests/conftest.py``):

``reference_service``
    A running ``ReferenceService`` on 127.0.0.1 with a free port, a fresh
    SQLite database under ``tmp_path`` and a random API key; stopped after
    the test.

``reference_service_factory``
    ``reference_service_factory(**options)`` starts another one with options
    of ``ReferenceService`` (for example ``max_body_bytes=1024``).

Typical use::

    def test_upload(reference_service):
        svc = reference_service
        svc.inject_fault("POST", "/v1/nodes", status=500, times=1)
        run_client(svc.base_url, svc.api_key)
        nodes = svc.requests_to("POST", "/v1/nodes")
        assert nodes[0].status == 500 and nodes[1].body[0]["fingerprint"] == 7
        assert svc.storage.get_nodes(1)            # what was stored
"""

from __future__ import annotations

import json
import secrets
import threading
import time
import urllib.error
import urllib.request
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from corvane.service.server import DEFAULT_MAX_BODY_BYTES, Fault, RequestInfo, ServiceServer, make_server
from corvane.utilities.persistence.sqlite import SQLiteStorage

__all__ = [
    "FaultRule",
    "RecordedRequest",
    "ReferenceService",
    "reference_service",
    "reference_service_factory",
]

RecordedRequest = RequestInfo
"""A recorded request: ``method``, ``path`` (no query, no trailing "/"), ``query``,
``headers`` (dict as sent; ``header(name)`` looks up case-insensitively),
``raw_body`` (bytes or None), ``body`` (parsed JSON or None) and ``status``
(the answer's status code once answered, None before or when the connection
was dropped)."""


@dataclass
class FaultRule:
    """A fault for the next ``remaining`` requests matching ``method`` and ``path``.

    ``method`` None or "*" matches every method; ``path`` ending in "*" is a
    prefix.  ``remaining`` None: every matching request, until ``reset()``.
    """

    method: str | None
    path: str
    fault: Fault
    remaining: int | None = 1

    def matches(self, method: str, path: str) -> bool:
        if self.method not in (None, "*") and self.method.upper() != method:
            return False
        if self.path.endswith("*"):
            return path.startswith(self.path[:-1])
        return path == (self.path.rstrip("/") or "/")


class ReferenceService:
    """The reference service running in a background thread of this process.

    Attributes: ``base_url`` ("http://127.0.0.1:PORT"), ``api_key``,
    ``db_path``, ``storage`` (the ``SQLiteStorage`` the server writes to),
    ``server``.  ``requests`` is a snapshot list of every request received
    since the start or the last ``reset()``, in arrival order.
    """

    def __init__(
        self,
        db_path: str | Path,
        *,
        api_key: str | None = None,
        max_body_bytes: int = DEFAULT_MAX_BODY_BYTES,
        host: str = "127.0.0.1",
    ) -> None:
        self.db_path = Path(db_path)
        self.api_key = api_key or secrets.token_urlsafe(24)
        self.storage = SQLiteStorage(self.db_path)
        self._lock = threading.Lock()
        self._requests: list[RequestInfo] = []
        self._faults: list[FaultRule] = []
        self.server: ServiceServer = make_server(
            self.storage, self.api_key, host, 0, max_body_bytes=max_body_bytes, request_hook=self._hook
        )
        self.base_url = self.server.url
        self._thread = threading.Thread(
            target=self.server.serve_forever, kwargs={"poll_interval": 0.01}, name="reference-service", daemon=True
        )
        self._thread.start()

    # -- lifecycle ----------------------------------------------------------------

    def stop(self) -> None:
        """Stop serving, close open connections and the database (idempotent)."""
        if self._thread.is_alive():
            self.server.shutdown()
            self._thread.join()
            self.server.server_close()
        self.storage.disconnect()

    def __enter__(self) -> ReferenceService:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # -- recording and faults --------------------------------------------------------

    def _hook(self, info: RequestInfo) -> Fault | None:
        with self._lock:
            self._requests.append(info)
            for rule in self._faults:
                if rule.matches(info.method, info.path):
                    if rule.remaining is not None:
                        rule.remaining -= 1
                        if rule.remaining <= 0:
                            self._faults.remove(rule)
                    return rule.fault
        return None

    def inject_fault(
        self,
        method: str | None,
        path: str,
        *,
        status: int | None = None,
        delay: float = 0.0,
        close: bool = False,
        times: int | None = 1,
        body: Any = None,
    ) -> FaultRule:
        """Make the next ``times`` requests matching ``method`` and ``path`` fail.

        ``delay`` seconds are waited first; then ``close=True`` drops the
        connection without an answer (urllib raises
        ``http.client.RemoteDisconnected``, a ``ConnectionResetError``), or
        ``status`` answers with that code
        (and ``body``, a JSON value, default an error object) without storing
        anything.  With neither, the request is only delayed and then handled
        normally.  Rules are checked in the order they were added; a matching
        request consumes one use of the first matching rule.
        """
        if times is not None and times < 1:
            raise ValueError("times must be at least 1 (or None for always)")
        rule = FaultRule(method, path, Fault(status=status, delay=delay, close=close, body=body), times)
        with self._lock:
            self._faults.append(rule)
        return rule

    @property
    def requests(self) -> list[RequestInfo]:
        with self._lock:
            return list(self._requests)

    def requests_to(self, method: str | None = None, path: str | None = None) -> list[RequestInfo]:
        """Recorded requests with that method and path (None: any)."""
        return [
            r
            for r in self.requests
            if (method is None or r.method == method.upper()) and (path is None or r.path == path)
        ]

    def wait_for_requests(
        self, count: int, method: str | None = None, path: str | None = None, timeout: float = 5.0
    ) -> list[RequestInfo]:
        """Wait until ``count`` matching requests have been answered; AssertionError on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            found = [r for r in self.requests_to(method, path) if r.status is not None]
            if len(found) >= count or time.monotonic() >= deadline:
                break
            time.sleep(0.01)
        if len(found) < count:
            raise AssertionError(f"expected {count} answered {method or '*'} {path or '*'} requests, got {len(found)}")
        return found

    def reset(self) -> None:
        """Forget recorded requests and pending faults (the database is kept)."""
        with self._lock:
            self._requests.clear()
            self._faults.clear()

    # -- a small client ---------------------------------------------------------------------

    def url(self, path: str) -> str:
        return self.base_url + path

    def call(
        self,
        method: str,
        path: str,
        body: Any = None,
        *,
        api_key: str | None = None,
        raw: bytes | None = None,
        headers: dict[str, str] | None = None,
        timeout: float = 10.0,
    ) -> tuple[int, Any]:
        """Send one request; return (status, decoded JSON answer, or text for non-JSON).

        ``body`` is sent as JSON (``raw`` bytes instead, when given); the
        service's own key is used unless ``api_key`` is given ("" sends no
        Authorization header).  HTTP error statuses are returned, not raised.
        """
        data = raw if raw is not None else (None if body is None else json.dumps(body).encode("utf-8"))
        all_headers = {"Content-Type": "application/json"}
        key = self.api_key if api_key is None else api_key
        if key:
            all_headers["Authorization"] = "Bearer " + key
        all_headers.update(headers or {})
        request = urllib.request.Request(self.url(path), data=data, method=method, headers=all_headers)
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                return response.status, _decode(response.read(), response.headers.get("Content-Type", ""))
        except urllib.error.HTTPError as error:
            with error:
                return error.code, _decode(error.read(), error.headers.get("Content-Type", ""))


def _decode(raw: bytes, content_type: str) -> Any:
    if content_type.startswith("application/json"):
        return json.loads(raw)
    return raw.decode("utf-8", "replace")


@pytest.fixture
def reference_service(tmp_path: Path):
    """A running reference service with a fresh database (see the module docstring)."""
    service = ReferenceService(tmp_path / "reference-service.db")
    try:
        yield service
    finally:
        service.stop()


@pytest.fixture
def reference_service_factory(tmp_path: Path):
    """Start more services: ``reference_service_factory(max_body_bytes=..., api_key=...)``."""
    started: list[ReferenceService] = []

    def start(**options: Any) -> ReferenceService:
        service = ReferenceService(tmp_path / f"reference-service-{len(started)}.db", **options)
        started.append(service)
        return service

    try:
        yield start
    finally:
        for service in started:
            service.stop()

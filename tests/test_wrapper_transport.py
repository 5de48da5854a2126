"""corvane.wrapper: _post_json / _patch_json against loopback servers."""

from __future__ import annotations

import datetime
import http.client
import json
import threading
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import numpy as np
import pytest

from corvane import wrapper


class ScriptedServer:
    """A loopback HTTP server answering from a script of (status, body bytes).

    Records every request (method, path, headers, raw body). The reference
    service always answers well-formed objects; these tests need exact bytes
    (null, arrays, broken UTF-8, an echo of the request headers).
    """

    def __init__(self) -> None:
        self.requests: list[dict] = []
        self.answers: list[tuple[int, bytes]] = []
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):  # keep test output clean
                pass

            def _answer(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                owner.requests.append(
                    {"method": self.command, "path": self.path, "headers": dict(self.headers), "body": body}
                )
                status, payload = owner.answers.pop(0) if owner.answers else (200, b"{}")
                if payload == b"<echo-authorization>":
                    payload = ("denied for " + self.headers.get("Authorization", "")).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

            do_POST = do_PATCH = _answer

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True)
        self.thread.start()

    def stop(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def scripted():
    server = ScriptedServer()
    yield server
    server.stop()


SEND = {
    "post": (wrapper._post_json, "POST", ""),
    "patch": (wrapper._patch_json, "PATCH", " (PATCH)"),
}


# ---- the request convention --------------------------------------------------------


def test_requests_against_the_reference_service(reference_service):
    svc = reference_service
    answer = wrapper._post_json(svc.url("/v1/pipelines"), svc.api_key, {"pipeline_name": "m_v1", "config": {}})
    pid = answer["pipeline_id"]
    assert isinstance(pid, int)
    patched = wrapper._patch_json(svc.url(f"/v1/pipelines/{pid}"), svc.api_key, {"status": "validation_complete"})
    assert patched["status"] == "validation_complete"
    post, patch = svc.requests
    for request, method in ((post, "POST"), (patch, "PATCH")):
        assert request.method == method
        assert request.header("Authorization") == "Bearer " + svc.api_key
        assert request.header("Content-Type") == "application/json"
        assert request.header("Accept") == "application/json"
        assert request.header("User-Agent") == "corvane-python-client/1.0"
    assert post.body == {"pipeline_name": "m_v1", "config": {}}
    assert svc.storage.get_pipeline(pid)["status"] == "validation_complete"


def test_unencodable_values_are_sent_as_their_text(scripted):
    payload = {"when": datetime.date(2024, 1, 2), "n": np.int64(3), "x": np.float32(0.5), "ok": [1, None]}
    assert wrapper._post_json(scripted.url + "/p", "k", payload) == {}
    assert json.loads(scripted.requests[0]["body"]) == {"when": "2024-01-02", "n": "3", "x": "0.5", "ok": [1, None]}
    # Any JSON value may be posted, not only objects.
    wrapper._post_json(scripted.url + "/p", "k", [1, "two"])
    assert json.loads(scripted.requests[1]["body"]) == [1, "two"]


@pytest.mark.parametrize("kind", list(SEND))
@pytest.mark.parametrize(
    ("body", "error", "match"),
    [
        (b"null", None, None),
        (b'{"a": [1]}', None, None),
        (b"[1, 2]", TypeError, "^Expected dict, got list$"),
        (b'"text"', TypeError, "^Expected dict, got str$"),
        (b"3", TypeError, "^Expected dict, got int$"),
        (b"true", TypeError, "^Expected dict, got bool$"),
        (b"", ValueError, None),
        (b"{nope", ValueError, None),
        (b'{"a": "\xff"}', UnicodeDecodeError, None),
    ],
    ids=["null", "object", "array", "string", "number", "bool", "empty", "syntax", "bad-utf8"],
)
def test_answers(scripted, kind, body, error, match):
    send = SEND[kind][0]
    scripted.answers.append((200, body))
    if error is None:
        assert send(scripted.url + "/x", "k", {}) == json.loads(body)
    else:
        with pytest.raises(error, match=match):
            send(scripted.url + "/x", "k", {})
    assert len(scripted.requests) == 1


# ---- HTTP errors -------------------------------------------------------------------------


@pytest.mark.parametrize("kind", list(SEND))
def test_http_error_quotes_the_first_200_characters(scripted, kind):
    send, _, note = SEND[kind]
    body = "".join(chr(ord("a") + i % 26) for i in range(1000))
    scripted.answers.append((500, body.encode()))
    url = scripted.url + "/v1/pipelines"
    with pytest.raises(RuntimeError) as info:
        send(url, "KEY-1", {})
    assert str(info.value) == f"HTTP 500{note} from {url}: {body[:200]}"
    assert isinstance(info.value.__cause__, urllib.error.HTTPError)
    assert info.value.__cause__.code == 500
    assert len(scripted.requests) == 1  # no retry


def test_http_error_with_invalid_utf8_and_a_rebound_limit(scripted, monkeypatch):
    scripted.answers.append((404, b"bad \xff\xfe bytes"))
    with pytest.raises(RuntimeError, match="^HTTP 404 from .*: bad \ufffd\ufffd bytes$"):
        wrapper._post_json(scripted.url + "/x", "k", {})
    monkeypatch.setattr(wrapper, "_MAX_ERROR_TEXT", 3)
    scripted.answers.append((409, b"conflict"))
    with pytest.raises(RuntimeError, match="^HTTP 409 \\(PATCH\\) from .*: con$"):
        wrapper._patch_json(scripted.url + "/x", "k", {})


def test_http_error_never_quotes_the_api_key(scripted, monkeypatch):
    key = "sk-live-0123456789abcdef"
    scripted.answers.append((401, b"<echo-authorization>"))
    with pytest.raises(RuntimeError) as info:
        wrapper._post_json(scripted.url + "/x", key, {})
    assert key not in str(info.value)
    assert str(info.value).endswith(": denied for Bearer ***")
    # A key cut by the quoting limit must not leak in part either.
    monkeypatch.setattr(wrapper, "_MAX_ERROR_TEXT", len("denied for Bearer sk-live"))
    scripted.answers.append((401, b"<echo-authorization>"))
    with pytest.raises(RuntimeError) as info:
        wrapper._patch_json(scripted.url + "/x", key, {})
    assert "sk-live" not in str(info.value)


def test_faults_of_the_reference_service_propagate(reference_service):
    svc = reference_service
    svc.inject_fault("POST", "/v1/pipelines", close=True)
    with pytest.raises(http.client.RemoteDisconnected):
        wrapper._post_json(svc.url("/v1/pipelines"), svc.api_key, {"pipeline_name": "x", "config": {}})
    svc.inject_fault("POST", "/v1/pipelines", delay=1.5)
    with pytest.raises(TimeoutError):
        wrapper._post_json(svc.url("/v1/pipelines"), svc.api_key, {"pipeline_name": "x", "config": {}}, timeout=1)
    with pytest.raises(RuntimeError, match=r"^HTTP 401 from http://127\.0\.0\.1:\d+/v1/pipelines: "):
        wrapper._post_json(svc.url("/v1/pipelines"), "wrong-key", {"pipeline_name": "x", "config": {}})


def test_unreachable_service_raises_urlerror():
    with pytest.raises(urllib.error.URLError):
        wrapper._post_json("http://127.0.0.1:1/x", "k", {}, timeout=5)


# ---- arguments ------------------------------------------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize(
    ("send", "args", "message"),
    [
        (wrapper._post_json, (None, "k", {}), "Argument 'url' has incorrect type (expected str, got NoneType)"),
        (wrapper._post_json, (b"http://x", "k", {}), "Argument 'url' has incorrect type (expected str, got bytes)"),
        (wrapper._post_json, ("http://x", None, {}), "Argument 'api_key' has incorrect type (expected str, got NoneType)"),
        (wrapper._patch_json, ("http://x", "k", []), "Argument 'payload' has incorrect type (expected dict, got list)"),
        (wrapper._post_json, ("http://x", "k", {}, "5"), "Argument 'timeout' has incorrect type (expected int, got str)"),
        (wrapper._patch_json, ("http://x", "k", {}, None), "Argument 'timeout' has incorrect type (expected int, got NoneType)"),
    ],
    ids=["url-none", "url-bytes", "key-none", "payload-list", "timeout-str", "timeout-none"],
)
def test_argument_type_errors_come_before_any_request(send, args, message, monkeypatch):
    monkeypatch.setattr(urllib.request, "urlopen", pytest.fail)
    with pytest.raises(TypeError) as info:
        send(*args)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_subclasses_of_str_are_rejected_with_a_note(monkeypatch):
    monkeypatch.setattr(urllib.request, "urlopen", pytest.fail)
    with pytest.raises(TypeError, match=r"^Argument .api_key. has incorrect type \(expected str, got Text\)") as info:
        wrapper._post_json("http://x", Text("k"), {})
    assert "subclasses" in info.value.__notes__[0]


def test_api_key_that_cannot_be_a_header_is_refused_without_echo(monkeypatch):
    monkeypatch.setattr(urllib.request, "urlopen", pytest.fail)
    with pytest.raises(ValueError) as info:
        wrapper._post_json("http://x", "secret-value\r\nX-Evil: 1", {})
    assert "secret-value" not in str(info.value)


class Captured(Exception):
    pass


@pytest.fixture
def captured_open(monkeypatch):
    """urlopen replaced by a recorder that stops before any traffic."""
    seen = []

    def fake(request, timeout):
        seen.append((request, timeout))
        raise Captured

    monkeypatch.setattr(urllib.request, "urlopen", fake)
    return seen


@pytest.mark.parametrize(
    ("send", "extra", "timeout"),
    [
        (wrapper._post_json, (), 120),
        (wrapper._patch_json, (), 30),
        (wrapper._post_json, (2.5,), 2),
        (wrapper._patch_json, (True,), 1),
        (wrapper._post_json, (np.int64(7),), 7),
    ],
    ids=["post-default", "patch-default", "float", "bool", "numpy-int"],
)
def test_timeout_reaches_the_opener_as_int(captured_open, send, extra, timeout):
    with pytest.raises(Captured):
        send("http://127.0.0.1:9/x", "k", {}, *extra)
    [(request, seen_timeout)] = captured_open
    assert seen_timeout == timeout and type(seen_timeout) is int


def test_request_object_carries_method_headers_and_body(captured_open):
    with pytest.raises(Captured):
        wrapper._patch_json("http://127.0.0.1:9/v1/pipelines/4", "", {"status": "é"})
    request, _ = captured_open[0]
    assert request.get_method() == "PATCH"
    assert request.full_url == "http://127.0.0.1:9/v1/pipelines/4"
    assert request.get_header("Authorization") == "Bearer "  # an empty key still sends the header
    assert request.get_header("User-agent") == "corvane-python-client/1.0"
    assert json.loads(request.data.decode("utf-8")) == {"status": "é"}

"""Storage back-end that speaks HTTP to the service (the reference service or a hosted one).

One storage call is one request (large batches are split into several so
that no body exceeds the service's cap). Errors are classified for the
writer: connection failures, time-outs and HTTP 5xx raise
:class:`~corvane.utilities.persistence.writer.TransientStorageError` (worth a
retry); HTTP 4xx raises :class:`StorageRequestError` (not retried). The API
key is sent only in the Authorization header; it never appears in a repr, a
log record or an exception text, even when the service echoes it back.
"""

from __future__ import annotations

import json
import math
import urllib.error
import urllib.parse
import urllib.request
from typing import Any, Iterable, Mapping

from .writer import TransientStorageError

__all__ = ["HostedStorage", "StorageRequestError", "StorageHTTPError"]

#: Records per request for batch calls; keeps bodies well below the service's
#: default 32 MiB cap while amortising the per-request cost.
DEFAULT_CHUNK_RECORDS = 5000
#: Seconds one request may take before it counts as a (transient) failure.
DEFAULT_TIMEOUT = 30.0

_MAX_ERROR_TEXT = 500


class StorageHTTPError(Exception):
    """The service answered with an error status."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(f"HTTP {status}: {message}")
        self.status = status


class StorageRequestError(StorageHTTPError):
    """The service refused the request (HTTP 4xx); retrying cannot help."""


class _ServerError(StorageHTTPError, TransientStorageError):
    """HTTP 5xx: the service failed; a retry may succeed."""


def _mask(text: str, secret: str | None) -> str:
    if secret:
        text = text.replace(secret, "***")
    return text


def _finite_or_none(value: Any) -> tuple[float | None, bool]:
    """(number, was_non_finite): JSON has no NaN or infinity."""
    if value is None:
        return None, False
    number = float(value)
    if math.isfinite(number):
        return number, False
    return None, True


class HostedStorage:
    """Storage calls of the DAG tracker, carried out by the service over HTTP."""

    def __init__(self, api_url: str, api_key: str, tenant_id: str | None = None, *,
                 timeout: float = DEFAULT_TIMEOUT,
                 chunk_records: int = DEFAULT_CHUNK_RECORDS) -> None:
        if not isinstance(api_url, str):
            raise TypeError(f"api_url must be a str, got {type(api_url).__name__}")
        if not isinstance(api_key, str) or not api_key:
            raise TypeError("api_key must be a non-empty str")
        if tenant_id is not None and not isinstance(tenant_id, str):
            raise TypeError(f"tenant_id must be a str or None, got {type(tenant_id).__name__}")
        parsed = urllib.parse.urlsplit(api_url)
        if parsed.scheme not in ("http", "https") or not parsed.netloc:
            raise ValueError("api_url must be an http:// or https:// URL with a host, got "
                             f"{_mask(api_url, api_key)!r}")
        if chunk_records < 1:
            raise ValueError("chunk_records must be positive")
        self._base = api_url.rstrip("/")
        self._api_key = api_key
        self._tenant_id = tenant_id
        self._timeout = float(timeout)
        self._chunk = int(chunk_records)
        self._pipeline_id: int | None = None
        self._connected = False

    def __repr__(self) -> str:
        return f"HostedStorage(api_url={self._base!r}, tenant_id={self._tenant_id!r})"

    @property
    def pipeline_id(self) -> int | None:
        """The pipeline created last through this storage (the default for edges and sources)."""
        return self._pipeline_id

    # -- transport -------------------------------------------------------------

    def _request(self, method: str, path: str, body: Any = None) -> Any:
        data = None
        headers = {"Authorization": f"Bearer {self._api_key}", "Accept": "application/json",
                   "User-Agent": "corvane-persistence"}
        if body is not None:
            data = json.dumps(body, separators=(",", ":"), allow_nan=False).encode("utf-8")
            headers["Content-Type"] = "application/json"
        request = urllib.request.Request(self._base + path, data=data, headers=headers,
                                         method=method)
        try:
            with urllib.request.urlopen(request, timeout=self._timeout) as response:
                raw = response.read()
        except urllib.error.HTTPError as exc:
            try:
                detail = exc.read()[:_MAX_ERROR_TEXT].decode("utf-8", "replace")
            except Exception:  # a broken error body must not hide the status
                detail = ""
            finally:
                exc.close()
            message = _mask(f"{method} {path}: {detail or exc.reason}", self._api_key)
            if exc.code >= 500:
                raise _ServerError(exc.code, message) from None
            raise StorageRequestError(exc.code, message) from None
        except (urllib.error.URLError, OSError) as exc:
            reason = getattr(exc, "reason", exc)
            raise TransientStorageError(
                _mask(f"{method} {path}: service unreachable: {reason}", self._api_key)) from None
        if not raw:
            return None
        try:
            return json.loads(raw)
        except ValueError:
            raise TransientStorageError(f"{method} {path}: answer is not JSON") from None

    def _post_chunks(self, path: str, key: str, items: list[Any],
                     extra: Mapping[str, Any] | None = None) -> int:
        for start in range(0, len(items), self._chunk):
            body = dict(extra or {})
            body[key] = items[start:start + self._chunk]
            self._request("POST", path, body)
        return len(items)

    # -- the storage calls -----------------------------------------------------

    def connect(self) -> None:
        answer = self._request("GET", "/v1/health")
        if not isinstance(answer, dict) or answer.get("status") != "ok":
            raise StorageRequestError(200, "health check did not answer ok")
        self._connected = True

    def disconnect(self) -> None:
        self._connected = False

    def create_pipeline(self, pipeline_name: str | None = None, config: Any = None,
                        git_commit: str | None = None, tenant_id: str | None = None) -> int:
        body = {"pipeline_name": pipeline_name if pipeline_name is not None else "unnamed_pipeline",
                "config": config, "git_commit": git_commit,
                "tenant_id": tenant_id if tenant_id is not None else self._tenant_id}
        answer = self._request("POST", "/v1/pipelines", body)
        if not isinstance(answer, dict) or isinstance(answer.get("pipeline_id"), bool) \
                or not isinstance(answer.get("pipeline_id"), int):
            raise StorageRequestError(200, "pipeline creation answered without a pipeline_id")
        self._pipeline_id = answer["pipeline_id"]
        return self._pipeline_id

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        self._request("PATCH", f"/v1/pipelines/{int(pipeline_id)}", {"status": status})

    def register_source(self, pair_id: int, table: str, column: str,
                        is_protected: bool = False, pipeline_id: int | None = None) -> None:
        self.register_sources([(pair_id, table, column, is_protected)], pipeline_id=pipeline_id)

    def register_sources(self, sources: Iterable[tuple[int, str, str, bool]],
                         pipeline_id: int | None = None) -> int:
        items = [{"pair_id": int(pair_id), "table_name": table, "column_name": column,
                  "is_protected": bool(prot)} for pair_id, table, column, prot in sources]
        pid = pipeline_id if pipeline_id is not None else self._pipeline_id
        return self._post_chunks("/v1/storage/sources", "sources", items, {"pipeline_id": pid})

    def store_nodes(self, nodes: Iterable[Any]) -> int:
        items = []
        for node in nodes:
            items.append({
                "fingerprint": int(node.fingerprint),
                "node_type": node.node_type,
                "operation": node.operation,
                "table_name": node.table_name,
                "column_name": node.column_name,
                "pair_id": None if node.pair_id is None else int(node.pair_id),
                "is_protected": bool(node.is_protected),
                "entity_hash": None if node.entity_hash is None else int(node.entity_hash),
                "chain_hash": None if node.chain_hash is None else int(node.chain_hash),
                "metadata": _json_safe(node.metadata),
                "pipeline_id": None if node.pipeline_id is None else int(node.pipeline_id),
            })
        return self._post_chunks("/v1/storage/nodes", "nodes", items)

    def store_edges(self, edges: Iterable[Any], pipeline_id: int | None = None) -> int:
        items = [{"parent_fingerprint": int(e.parent_fingerprint),
                  "child_fingerprint": int(e.child_fingerprint),
                  "input_position": int(e.input_position)} for e in edges]
        pid = pipeline_id if pipeline_id is not None else self._pipeline_id
        return self._post_chunks("/v1/storage/edges", "edges", items, {"pipeline_id": pid})

    def store_edges_resolved(self, rows: Iterable[tuple[int, int, int]]) -> int:
        items = [[int(parent), int(child), int(pos)] for parent, child, pos in rows]
        return self._post_chunks("/v1/storage/edges/resolved", "edges", items)

    def store_results(self, pipeline_id: int, rows: Iterable[tuple[Any, ...]]) -> int:
        items = []
        for key, name, fingerprint, value, input_hash in rows:
            number, _ = _finite_or_none(value)
            items.append([str(key), str(name), int(fingerprint), number, input_hash])
        return self._post_chunks("/v1/storage/results", "rows", items,
                                 {"pipeline_id": int(pipeline_id)})

    def store_row_values(self, values: Iterable[Any]) -> int:
        items = []
        for v in values:
            number, non_finite = _finite_or_none(v.value)
            text = v.text_value
            if non_finite and text is None:
                text = repr(float(v.value))  # "nan", "inf", "-inf": kept, not lost
            items.append({
                "pipeline_id": None if v.pipeline_id is None else int(v.pipeline_id),
                "row_index": int(v.row_index), "fingerprint": int(v.fingerprint),
                "node_operation": v.node_operation, "column_name": v.column_name,
                "value": number, "text_value": text, "tenant_id": v.tenant_id,
            })
        return self._post_chunks("/v1/storage/values", "values", items)

    write_row_values = store_row_values

    def get_fingerprint_node_map(self, pipeline_id: int | None) -> dict[int, int]:
        if pipeline_id is None:
            return {}
        answer = self._request("GET", f"/v1/storage/pipelines/{int(pipeline_id)}/fingerprint-map")
        entries = answer.get("entries", []) if isinstance(answer, dict) else []
        return {int(fp): int(node_id) for fp, node_id in entries}


def _json_safe(value: Any) -> Any:
    """Metadata as JSON can carry it: unknown objects become their text."""
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, Mapping):
        return {str(k): _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    return str(value)

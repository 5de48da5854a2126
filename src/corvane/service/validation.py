"""Validation of the reference service's request bodies.

Every body is checked completely before anything is written, so a rejected
request stores nothing.  Unknown members are ignored; known members must have
the documented type.  Failures raise ``BadRequest`` with a message naming the
offending member (for example ``body[3].fingerprint``).
"""

from __future__ import annotations

import json
import math
from typing import Any

from corvane.utilities.persistence.storage import StoredEdge, StoredNode, StoredRowValue

INT64_MAX = 2**63 - 1
MAX_NAME_LENGTH = 1000
MAX_STATUS_LENGTH = 64

_MISSING = object()


class BadRequest(ValueError):
    """The request body is malformed; the message says where."""


def _reject_constant(name: str) -> Any:
    raise BadRequest(f"invalid JSON: {name} is not allowed")


def parse_json(raw: bytes) -> Any:
    """Decode a UTF-8 JSON body (NaN and infinities are rejected)."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise BadRequest(f"body is not UTF-8: {exc.reason} at byte {exc.start}") from None
    try:
        return json.loads(text, parse_constant=_reject_constant)
    except json.JSONDecodeError as exc:
        raise BadRequest(f"invalid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    except RecursionError:
        raise BadRequest("invalid JSON: nested too deeply") from None


def _type_name(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    return "object"


def expect_object(value: Any, where: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise BadRequest(f"{where} must be an object, got {_type_name(value)}")
    return value


def expect_array(value: Any, where: str) -> list[Any]:
    if not isinstance(value, list):
        raise BadRequest(f"{where} must be an array, got {_type_name(value)}")
    return value


def check(value: Any, kind: str, where: str) -> Any:
    """Check one value against a kind: nat, int, str, name, bool, number, object."""
    if kind in ("nat", "int"):
        if isinstance(value, bool) or not isinstance(value, int):
            raise BadRequest(f"{where} must be an integer, got {_type_name(value)}")
        low = 0 if kind == "nat" else -INT64_MAX - 1
        if not low <= value <= INT64_MAX:
            raise BadRequest(f"{where} is out of range")
        return value
    if kind in ("str", "name"):
        if not isinstance(value, str):
            raise BadRequest(f"{where} must be a string, got {_type_name(value)}")
        if kind == "name" and not 0 < len(value) <= MAX_NAME_LENGTH:
            raise BadRequest(f"{where} must be a non-empty string of at most {MAX_NAME_LENGTH} characters")
        return value
    if kind == "bool":
        if not isinstance(value, bool):
            raise BadRequest(f"{where} must be a boolean, got {_type_name(value)}")
        return value
    if kind == "number":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise BadRequest(f"{where} must be a number, got {_type_name(value)}")
        number = float(value) if isinstance(value, int) and abs(value) < 2**1023 else value
        if not isinstance(number, float) or not math.isfinite(number):
            raise BadRequest(f"{where} is out of range")
        return number
    if kind == "object":
        return expect_object(value, where)
    raise AssertionError(kind)  # pragma: no cover


def field(
    obj: dict[str, Any],
    key: str,
    kind: str,
    where: str,
    *,
    required: bool = True,
    nullable: bool = False,
    default: Any = None,
) -> Any:
    """One member of an object: missing -> error or default; null -> error or None."""
    value = obj.get(key, _MISSING)
    path = f"{where}.{key}"
    if value is _MISSING:
        if required:
            raise BadRequest(f"{path} is required")
        return default
    if value is None:
        if nullable:
            return None
        raise BadRequest(f"{path} must not be null")
    return check(value, kind, path)


# -- pipelines ---------------------------------------------------------------------


def pipeline_create(body: Any) -> dict[str, Any]:
    """POST /v1/pipelines: {"pipeline_name", "config"?, "git_commit"?, "tenant_id"?}."""
    obj = expect_object(body, "body")
    return {
        "pipeline_name": field(obj, "pipeline_name", "name", "body"),
        "config": field(obj, "config", "object", "body", required=False, nullable=True),
        "git_commit": field(obj, "git_commit", "str", "body", required=False, nullable=True),
        "tenant_id": field(obj, "tenant_id", "str", "body", required=False, nullable=True),
    }


def pipeline_patch(body: Any) -> str:
    """PATCH /v1/pipelines/<id>: {"status": str}."""
    obj = expect_object(body, "body")
    status = field(obj, "status", "str", "body")
    if not 0 < len(status) <= MAX_STATUS_LENGTH:
        raise BadRequest(f"body.status must be a non-empty string of at most {MAX_STATUS_LENGTH} characters")
    return status


# -- sources -----------------------------------------------------------------------


def source(obj: Any, where: str) -> tuple[int | None, tuple[int, str, str, bool]]:
    obj = expect_object(obj, where)
    pid = field(obj, "pipeline_id", "nat", where, required=False, nullable=True)
    return pid, (
        field(obj, "pair_id", "nat", where),
        field(obj, "table_name", "str", where),
        field(obj, "column_name", "str", where),
        field(obj, "is_protected", "bool", where, required=False, default=False),
    )


def _one_pipeline(ids: list[int | None], where: str) -> int | None:
    distinct = {pid or 0 for pid in ids}
    if len(distinct) > 1:
        raise BadRequest(f"{where}: all items of one request must belong to the same pipeline")
    return distinct.pop() if distinct else None


def sources(body: Any) -> tuple[int | None, list[tuple[int, str, str, bool]]]:
    """POST /v1/sources: one source object or an array of them."""
    if isinstance(body, dict):
        parsed = [source(body, "body")]
    else:
        parsed = [source(item, f"body[{i}]") for i, item in enumerate(expect_array(body, "body"))]
    return _one_pipeline([p for p, _ in parsed], "body"), [s for _, s in parsed]


def storage_sources(body: Any) -> tuple[int | None, list[tuple[int, str, str, bool]]]:
    """POST /v1/storage/sources: {"pipeline_id"?, "sources": [...]}."""
    obj = expect_object(body, "body")
    pid = field(obj, "pipeline_id", "nat", "body", required=False, nullable=True)
    items = _array_member(obj, "sources", "body")
    parsed = [source(item, f"body.sources[{i}]") for i, item in enumerate(items)]
    inner = _one_pipeline([p for p, _ in parsed], "body.sources")
    if inner and pid and inner != pid:
        raise BadRequest("body.sources: pipeline_id differs from body.pipeline_id")
    return pid or inner, [s for _, s in parsed]


def _array_member(obj: dict[str, Any], key: str, where: str) -> list[Any]:
    if key not in obj:
        raise BadRequest(f"{where}.{key} is required")
    return expect_array(obj[key], f"{where}.{key}")


# -- nodes and edges -----------------------------------------------------------------


def node(obj: Any, where: str) -> StoredNode:
    obj = expect_object(obj, where)
    metadata = obj.get("metadata")
    return StoredNode(
        fingerprint=field(obj, "fingerprint", "nat", where),
        node_type=field(obj, "node_type", "str", where, required=False, nullable=True),
        operation=field(obj, "operation", "str", where, required=False, nullable=True),
        table_name=field(obj, "table_name", "str", where, required=False, nullable=True),
        column_name=field(obj, "column_name", "str", where, required=False, nullable=True),
        pair_id=field(obj, "pair_id", "nat", where, required=False, nullable=True),
        is_protected=field(obj, "is_protected", "bool", where, required=False, default=False),
        entity_hash=field(obj, "entity_hash", "nat", where, required=False, nullable=True),
        chain_hash=field(obj, "chain_hash", "nat", where, required=False, nullable=True),
        metadata=metadata,
        pipeline_id=field(obj, "pipeline_id", "nat", where, required=False, nullable=True),
    )


def nodes(body: Any) -> list[StoredNode]:
    """POST /v1/nodes: an array of node objects."""
    items = expect_array(body, "body")
    return [node(item, f"body[{i}]") for i, item in enumerate(items)]


def storage_nodes(body: Any) -> list[StoredNode]:
    """POST /v1/storage/nodes: {"nodes": [...]}."""
    obj = expect_object(body, "body")
    return [node(item, f"body.nodes[{i}]") for i, item in enumerate(_array_member(obj, "nodes", "body"))]


def edge(obj: Any, where: str) -> tuple[int | None, StoredEdge]:
    obj = expect_object(obj, where)
    pid = field(obj, "pipeline_id", "nat", where, required=False, nullable=True)
    return pid, StoredEdge(
        parent_fingerprint=field(obj, "parent_fingerprint", "nat", where),
        child_fingerprint=field(obj, "child_fingerprint", "nat", where),
        input_position=field(obj, "input_position", "nat", where, required=False, default=0),
    )


def edges(body: Any) -> tuple[int | None, list[StoredEdge]]:
    """POST /v1/edges: an array of edge objects (one pipeline per request)."""
    items = expect_array(body, "body")
    parsed = [edge(item, f"body[{i}]") for i, item in enumerate(items)]
    return _one_pipeline([p for p, _ in parsed], "body"), [e for _, e in parsed]


def storage_edges(body: Any) -> tuple[int | None, list[StoredEdge]]:
    """POST /v1/storage/edges: {"pipeline_id"?, "edges": [...]}."""
    obj = expect_object(body, "body")
    pid = field(obj, "pipeline_id", "nat", "body", required=False, nullable=True)
    parsed = [edge(item, f"body.edges[{i}]") for i, item in enumerate(_array_member(obj, "edges", "body"))]
    inner = _one_pipeline([p for p, _ in parsed], "body.edges")
    if inner and pid and inner != pid:
        raise BadRequest("body.edges: pipeline_id differs from body.pipeline_id")
    return pid or inner, [e for _, e in parsed]


def resolved_edges(body: Any) -> list[tuple[int, int, int]]:
    """POST /v1/storage/edges/resolved: {"edges": [[parent id, child id, position], ...]}."""
    obj = expect_object(body, "body")
    rows = []
    for i, item in enumerate(_array_member(obj, "edges", "body")):
        where = f"body.edges[{i}]"
        item = expect_array(item, where)
        if len(item) != 3:
            raise BadRequest(f"{where} must hold 3 integers: parent id, child id, input position")
        rows.append(tuple(check(v, "nat", f"{where}[{j}]") for j, v in enumerate(item)))
    return rows  # type: ignore[return-value]


# -- results and values ----------------------------------------------------------------


def results(body: Any) -> tuple[int, list[tuple[str, str, int, float | None, str | None]]]:
    """POST /v1/results: {"pipeline_id", "results": [result objects]}."""
    obj = expect_object(body, "body")
    pid = field(obj, "pipeline_id", "nat", "body")
    rows = []
    for i, item in enumerate(_array_member(obj, "results", "body")):
        where = f"body.results[{i}]"
        item = expect_object(item, where)
        rows.append(
            (
                field(item, "row_key", "str", where),
                field(item, "output_name", "str", where),
                field(item, "fingerprint", "nat", where),
                field(item, "output_value", "number", where, required=False, nullable=True),
                field(item, "input_hash", "str", where, required=False, nullable=True),
            )
        )
    return pid, rows


def storage_results(body: Any) -> tuple[int, list[tuple[str, str, int, float | None, str | None]]]:
    """POST /v1/storage/results: {"pipeline_id", "rows": [[key, name, fingerprint, value, hash], ...]}."""
    obj = expect_object(body, "body")
    pid = field(obj, "pipeline_id", "nat", "body")
    rows = []
    for i, item in enumerate(_array_member(obj, "rows", "body")):
        where = f"body.rows[{i}]"
        item = expect_array(item, where)
        if len(item) != 5:
            raise BadRequest(f"{where} must hold 5 items: row key, output name, fingerprint, value, input hash")
        key, name, fingerprint, value, input_hash = item
        rows.append(
            (
                check(key, "str", f"{where}[0]"),
                check(name, "str", f"{where}[1]"),
                check(fingerprint, "nat", f"{where}[2]"),
                None if value is None else check(value, "number", f"{where}[3]"),
                None if input_hash is None else check(input_hash, "str", f"{where}[4]"),
            )
        )
    return pid, rows


def row_value(obj: Any, where: str) -> StoredRowValue:
    obj = expect_object(obj, where)
    return StoredRowValue(
        pipeline_id=field(obj, "pipeline_id", "nat", where, nullable=True),
        row_index=field(obj, "row_index", "nat", where),
        fingerprint=field(obj, "fingerprint", "nat", where),
        node_operation=field(obj, "node_operation", "str", where),
        column_name=field(obj, "column_name", "str", where, required=False, nullable=True),
        value=field(obj, "value", "number", where, required=False, nullable=True),
        text_value=field(obj, "text_value", "str", where, required=False, nullable=True),
        tenant_id=field(obj, "tenant_id", "str", where, required=False, nullable=True),
    )


def values(body: Any) -> list[StoredRowValue]:
    """POST /v1/values: an array of value objects."""
    items = expect_array(body, "body")
    return [row_value(item, f"body[{i}]") for i, item in enumerate(items)]


def storage_values(body: Any) -> list[StoredRowValue]:
    """POST /v1/storage/values: {"values": [...]}."""
    obj = expect_object(body, "body")
    return [row_value(item, f"body.values[{i}]") for i, item in enumerate(_array_member(obj, "values", "body"))]


# -- dashboard ---------------------------------------------------------------------------


def dashboard(body: Any) -> dict[str, Any]:
    """POST /v1/dashboard/sync: the dashboard document (members checked when present)."""
    obj = expect_object(body, "body")
    pipeline = expect_object(obj.get("pipeline"), "body.pipeline")
    expect_object(obj.get("model"), "body.model")
    fairness = expect_object(obj.get("fairness"), "body.fairness")
    field(pipeline, "pipeline_name", "str", "body.pipeline", required=False)
    field(pipeline, "status", "str", "body.pipeline", required=False)
    field(pipeline, "node_count", "nat", "body.pipeline", required=False)
    field(pipeline, "edge_count", "nat", "body.pipeline", required=False)
    field(pipeline, "provenance_pipeline_id", "nat", "body.pipeline", required=False, nullable=True)
    field(fairness, "has_disparate_impact", "bool", "body.fairness", required=False)
    if "protected_attributes" in fairness:
        attrs = expect_array(fairness["protected_attributes"], "body.fairness.protected_attributes")
        for i, attr in enumerate(attrs):
            check(attr, "str", f"body.fairness.protected_attributes[{i}]")
    return obj

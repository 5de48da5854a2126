"""Fast JSON serialisation through orjson, with a standard-library fallback."""

from typing import Any, Callable, Literal

# "orjson" when orjson imported at module import, "json" otherwise.
BACKEND: Literal["orjson", "json"]

def dumps(
    obj: Any,
    default: Callable[[Any], Any] | None = None,
    indent: Any = None,
    sort_keys: Any = False,
) -> str:
    """Serialize to JSON string (always a str, never bytes)."""

def loads(s: str | bytes | bytearray | memoryview) -> Any:
    """Deserialize from JSON string."""

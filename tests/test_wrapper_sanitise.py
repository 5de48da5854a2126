"""corvane.wrapper: value sanitising, container serialisation, _gs and the JSON pair."""

from __future__ import annotations

import contextlib
import json
import logging
import math
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from corvane import wrapper

from support.child import CORVANE_ROOT as SRC


def run_isolated(code: str, hide: tuple[str, ...] = ()) -> str:
    """Runs `code` in a fresh interpreter with the named packages hidden."""
    prelude = "import sys\n" + "".join(f"sys.modules[{name!r}] = None\n" for name in hide)
    done = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": SRC, "PATH": "/usr/bin:/bin"},
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def warnings_log(caplog):
    caplog.set_level(logging.DEBUG, logger="corvane.wrapper")
    return caplog


class Weird:
    def __str__(self) -> str:
        return "weird"


# ---- _sanitize_value / _sanitize_list / _sanitize_rows ------------------------------


@pytest.mark.parametrize(
    ("value", "expected_none"),
    [
        (float("nan"), True),
        (float("inf"), True),
        (-math.inf, True),
        (np.float64("nan"), True),  # a float subclass
        (np.float32("nan"), False),  # not a float subclass: passed unchanged
        (1.5, False),
        (None, False),
        ("nan", False),
        (7, False),
    ],
    ids=["nan", "inf", "-inf", "np.float64-nan", "np.float32-nan", "finite", "none", "text", "int"],
)
def test_sanitize_value(value, expected_none):
    out = wrapper._sanitize_value(value)
    if expected_none:
        assert out is None
    else:
        assert out is value


def test_sanitize_list_and_rows_make_new_lists():
    row = [1.0, float("nan"), "x"]
    out = wrapper._sanitize_list(row)
    assert out == [1.0, None, "x"] and out is not row and row[1] != row[1]
    assert wrapper._sanitize_list((v for v in (math.inf, 2))) == [None, 2]
    rows = [(1.0, math.inf), [float("-inf")]]
    assert wrapper._sanitize_rows(rows) == [[1.0, None], [None]]
    # Only one level: nested lists inside a row pass unchanged.
    assert wrapper._sanitize_list([[float("nan")]])[0][0] != 0
    with pytest.raises(TypeError):
        wrapper._sanitize_rows([1, 2])


# ---- _serialize ---------------------------------------------------------------------


def test_serialize_none_logs_nothing(warnings_log):
    assert wrapper._serialize(None) is None
    assert warnings_log.records == []


FRAMES = {
    "float": pd.DataFrame({"a": [1.0, np.nan, 3.0], "b": [np.inf, -np.inf, 0.5]}, index=[10, 11, 12]),
    "mixed-numeric": pd.DataFrame(
        {"i": np.array([1, 2, 3], dtype=np.int32), "f": [np.nan, 2.5, 1e300], "b": [True, False, True],
         "u": np.array([1, 2, 2**63], dtype=np.uint64), "h": np.array([0.5, np.nan, 2], dtype=np.float32)}
    ),
    "object": pd.DataFrame({"s": ["x", None, "z"], "f": [1.0, np.nan, 2.0]}),
    "datetime": pd.DataFrame({"t": pd.to_datetime(["2024-01-01", None, "2024-01-03"]), "f": [1.0, 2.0, np.nan]}),
    "labels": pd.DataFrame([[1.0, 2.0]], columns=pd.Index([0, "b"], dtype=object), index=["r0"]),
    "duplicate-columns": pd.DataFrame([[1.0, np.nan]], columns=["a", "a"]),
    "empty": pd.DataFrame(),
    "no-rows": pd.DataFrame({"a": pd.Series([], dtype=float)}),
}


@pytest.mark.parametrize("name", list(FRAMES))
def test_serialize_dataframe_matches_pandas_split(name, monkeypatch):
    frame = FRAMES[name]
    if not frame.columns.is_unique:
        # pandas' own warning about dropped labels reaches the caller as it is.
        warnings_expected = pytest.warns(UserWarning, match="not unique")
    else:
        warnings_expected = contextlib.nullcontext()
    with warnings_expected:
        fast = wrapper._serialize(frame)
    with warnings_expected:
        # The reference: pandas' own split dict, rows sanitised one by one.
        expected = frame.to_dict(orient="split")
    expected["data"] = [[None if isinstance(v, float) and not math.isfinite(v) else v for v in row]
                        for row in expected["data"]]
    assert fast == {"type": "dataframe", "data": expected}
    assert list(fast) == ["type", "data"] and list(fast["data"]) == ["index", "columns", "data"]
    assert [[type(v) for v in row] for row in fast["data"]["data"]] == [
        [type(v) for v in row] for row in expected["data"]
    ]
    # A rebound _sanitize_rows is honoured (the pandas route, call by call).
    calls = []
    original = wrapper._sanitize_rows

    def spy(rows):
        calls.append(len(rows))
        return original(rows)

    monkeypatch.setattr(wrapper, "_sanitize_rows", spy)
    with warnings_expected:
        assert wrapper._serialize(frame) == fast
    assert calls == [len(frame)]


def test_serialize_dataframe_subclass_to_dict_is_used():
    class Frame(pd.DataFrame):
        @property
        def _constructor(self):
            return Frame

        def to_dict(self, *args, **kwargs):
            out = super().to_dict(*args, **kwargs)
            out["columns"] = ["renamed"]
            return out

    out = wrapper._serialize(Frame({"a": [np.nan]}))
    assert out == {"type": "dataframe", "data": {"index": [0], "columns": ["renamed"], "data": [[None]]}}


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (pd.Series([1.0, np.nan], index=["x", "y"]), {"type": "series", "data": [1.0, None]}),
        (np.array([1.0, np.nan, np.inf]), {"type": "ndarray", "data": [1.0, None, None]}),
        # Only the top level of an ndarray is sanitised: rows pass unchanged.
        (np.array([[1.0, np.nan]]), {"type": "ndarray", "data": [[1.0, float("nan")]]}),
        ([np.float32("nan"), np.int64(4), "s"], {"type": "list", "data": [None, 4, "s"]}),
        ({"b": 1, "a": 2}, {"type": "list", "data": ["b", "a"]}),
        ("ab", {"type": "list", "data": ["a", "b"]}),
        ((x for x in (1.0, math.inf)), {"type": "list", "data": [1.0, None]}),
    ],
    ids=["series", "ndarray-1d", "ndarray-2d", "numpy-scalars", "dict", "str", "generator"],
)
def test_serialize_containers(value, expected):
    out = wrapper._serialize(value)
    if expected["type"] == "ndarray" and isinstance(expected["data"][0], list):
        assert out["data"][0][0] == 1.0 and math.isnan(out["data"][0][1])
    else:
        assert out == expected
    assert list(out) == ["type", "data"]
    if isinstance(value, list):
        assert type(out["data"][1]) is int


def test_serialize_sparse_rows_are_sanitised():
    sparse = pytest.importorskip("scipy.sparse")
    matrix = sparse.csr_matrix(np.array([[0.0, np.nan], [np.inf, 1.0]]))
    assert wrapper._serialize(matrix) == {"type": "ndarray", "data": [[0.0, None], [None, 1.0]]}


@pytest.mark.parametrize(
    ("value", "type_name", "reason"),
    [(5, "int", "'int' object is not iterable"), (Weird(), "Weird", "'Weird' object is not iterable")],
)
def test_serialize_failure_is_logged_and_none(value, type_name, reason, warnings_log):
    assert wrapper._serialize(value) is None
    [record] = warnings_log.records
    assert record.levelno == logging.WARNING and record.name == "corvane.wrapper"
    assert record.getMessage() == f"[corvane] Could not serialize {type_name}: {reason}"
    assert record.msg == "[corvane] Could not serialize %s: %s"


def test_serialize_failing_to_dict_is_logged(warnings_log):
    class Broken(pd.DataFrame):
        def to_dict(self, *args, **kwargs):
            raise ValueError("boom")

    assert wrapper._serialize(Broken({"a": [1]})) is None
    assert warnings_log.records[0].getMessage() == "[corvane] Could not serialize Broken: boom"


def test_serialize_large_float_frame_shape():
    frame = pd.DataFrame(np.arange(20_000, dtype=float).reshape(-1, 4), columns=list("abcd"))
    frame.iloc[5, 2] = np.nan
    data = wrapper._serialize(frame)["data"]
    assert len(data["data"]) == 5000 and data["data"][5] == [20.0, 21.0, None, 23.0]
    assert data["index"] == list(range(5000))


# ---- _gs --------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (True, (1.0, None)),
        (False, (0.0, None)),
        (float("nan"), (None, None)),
        (np.float64("nan"), (None, None)),
        (np.float32("nan"), (None, None)),
        (float("inf"), (math.inf, None)),
        (None, (None, None)),
        ("abc", (None, "abc")),
        ("x" * 300, (None, "x" * 255)),
        ("é" * 256, (None, "é" * 255)),
        (np.int64(3), (3.0, None)),
        (np.uint8(200), (200.0, None)),
        (np.float32(0.5), (0.5, None)),
        (7, (7.0, None)),
        (np.bool_(True), (None, "True")),
        (Weird(), (None, "weird")),
        (pd.Timestamp("2024-01-02"), (None, "2024-01-02 00:00:00")),
    ],
    ids=lambda v: type(v).__name__ if not isinstance(v, tuple) else "",
)
def test_gs_table(value, expected):
    out = wrapper._gs(value)
    assert type(out) is tuple and out == expected
    if expected[0] is not None:
        assert type(out[0]) is float


def test_gs_errors_propagate():
    class BadStr:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        wrapper._gs(BadStr())
    with pytest.raises(OverflowError):
        wrapper._gs(10**400)


def test_without_numpy_gs_skips_the_nan_test():
    out = run_isolated(
        """
        import math
        from corvane import wrapper
        num, text = wrapper._gs(float("nan"))
        print(math.isnan(num), text, wrapper._gs(3), wrapper._gs(True), wrapper._gs("a"))
        """,
        hide=("numpy",),
    )
    assert out.split("\n")[0] == "True None (3.0, None) (1.0, None) (None, 'a')"


# ---- JSON pair ----------------------------------------------------------------------


def test_fast_dumps_orjson_backend():
    pytest.importorskip("orjson")
    assert hasattr(wrapper, "_orjson")
    data = {"b": 1, "a": [1.5, None, "é"]}
    assert wrapper._fast_dumps(data) == '{"b":1,"a":[1.5,null,"é"]}'
    assert wrapper._fast_dumps(data, sort_keys=True) == '{"a":[1.5,null,"é"],"b":1}'
    # No numpy option: numpy values reach `default`.
    assert wrapper._fast_dumps([np.int64(3)], default=str) == '["3"]'
    with pytest.raises(TypeError):
        wrapper._fast_dumps([np.int64(3)])
    assert wrapper._fast_loads(b'{"a": [1, null]}') == {"a": [1, None]}
    assert wrapper._fast_loads("null") is None


def test_without_orjson_uses_the_standard_library():
    out = run_isolated(
        """
        import json
        from corvane import wrapper
        import numpy as np
        data = {"b": 1, "a": [1.5, None, "é"]}
        print(json.dumps([
            hasattr(wrapper, "_orjson"),
            wrapper._fast_dumps(data),
            wrapper._fast_dumps(data, sort_keys=True),
            wrapper._fast_dumps([np.int64(3)], default=str),
            wrapper._fast_loads('{"x": [1, 2]}'),
            wrapper._rh({"b": 1, "a": 2}),
        ]))
        """,
        hide=("orjson",),
    )
    has_orjson, plain, ordered, numpy_text, loaded, digest = json.loads(out)
    assert has_orjson is False
    assert plain == '{"b": 1, "a": [1.5, null, "\\u00e9"]}'
    assert ordered == '{"a": [1.5, null, "\\u00e9"], "b": 1}'
    assert numpy_text == '["3"]' and loaded == {"x": [1, 2]}
    import hashlib

    assert digest == hashlib.sha256(b'{"a": 2, "b": 1}').hexdigest()


def test_without_pandas_serialize_logs_every_time():
    out = run_isolated(
        """
        import logging
        from corvane import wrapper
        logging.basicConfig(level=logging.WARNING, format="%(message)s", stream=sys.stdout)
        print(wrapper._serialize([1, 2]), wrapper._serialize(None))
        """,
        hide=("pandas",),
    )
    lines = out.strip().split("\n")
    assert lines[0].startswith("[corvane] Could not serialize list: ")
    assert lines[-1] == "None None"


def test_without_scipy_serialize_still_handles_iterables():
    out = run_isolated(
        """
        from corvane import wrapper
        print(wrapper._serialize([1.0, float("nan")]))
        """,
        hide=("scipy", "scipy.sparse"),
    )
    assert out.strip() == "{'type': 'list', 'data': [1.0, None]}"


@pytest.mark.parametrize("enabled", [True, False], ids=["gc-on", "gc-off"])
def test_builders_restore_the_collector_state(enabled):
    import gc

    frame = pd.DataFrame({"a": [1.0, np.nan], "b": [1, 2]})
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        wrapper._serialize(frame)
        wrapper._trd(frame, ["a", "b"])
        assert wrapper._serialize(7) is None  # the failure path too
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()

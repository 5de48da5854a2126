"""The JSON codec on both back-ends.

The orjson back-end is the module imported in this process. The standard-library
back-end is chosen at import when orjson cannot be imported, so it runs in a
helper process started with `import orjson` made to fail; the `codec` fixture
gives both the same call interface.
"""

from __future__ import annotations

import datetime
import inspect
import json
import operator
import os
import pickle
import struct
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

orjson = pytest.importorskip("orjson")

from corvane.utilities import fastcodec  # noqa: E402

SRC = str(Path(fastcodec.__file__).resolve().parents[2])

# Lines of Python run first in every helper process: they decide which
# optional packages "are not installed" there.
BLOCK_ORJSON = 'import sys; sys.modules["orjson"] = None'
BLOCK_NUMPY = 'import sys; sys.modules["numpy"] = None'


def run_python(code: str, *prelude: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
    script = "\n".join(prelude) + "\n" + textwrap.dedent(code)
    return subprocess.run(
        [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120
    )


# --------------------------------------------------------------------------
# The standard-library back-end, served by a helper process.

_SERVER = """
import pickle, struct, sys
from corvane.utilities import fastcodec

def read():
    head = sys.stdin.buffer.read(4)
    if len(head) < 4:
        return None
    return pickle.loads(sys.stdin.buffer.read(struct.unpack("<I", head)[0]))

def write(message):
    data = pickle.dumps(message)
    sys.stdout.buffer.write(struct.pack("<I", len(data)) + data)
    sys.stdout.buffer.flush()

while (request := read()) is not None:
    name, args, kwargs = request
    try:
        if name == "__names__":
            write(("ok", sorted(vars(fastcodec))))
            continue
        result = getattr(fastcodec, name)(*args, **kwargs)
        write(("ok", result))
    except Exception as exc:
        context = type(exc.__context__).__name__ if exc.__context__ else None
        try:
            payload = pickle.dumps(exc)
        except Exception:
            payload = pickle.dumps(RuntimeError(f"{type(exc).__name__}: {exc}"))
        write(("err", payload, context))
"""


class RemoteCodec:
    """fastcodec imported in a process where orjson is not importable."""

    def __init__(self) -> None:
        env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
        self.proc = subprocess.Popen(
            [sys.executable, "-c", BLOCK_ORJSON + "\n" + _SERVER],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
        )
        self.BACKEND = self._call("__getattribute__", "BACKEND")
        self.last_context: str | None = None

    def _call(self, name, *args, **kwargs):
        data = pickle.dumps((name, args, kwargs))
        self.proc.stdin.write(struct.pack("<I", len(data)) + data)
        self.proc.stdin.flush()
        head = self.proc.stdout.read(4)
        if len(head) < 4:
            raise RuntimeError("codec helper process died")
        status, *rest = pickle.loads(self.proc.stdout.read(struct.unpack("<I", head)[0]))
        if status == "ok":
            return rest[0]
        payload, self.last_context = rest
        raise pickle.loads(payload)

    def dumps(self, *args, **kwargs):
        return self._call("dumps", *args, **kwargs)

    def loads(self, *args, **kwargs):
        return self._call("loads", *args, **kwargs)

    def module_names(self) -> list[str]:
        return self._call("__names__")

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait(timeout=30)
        self.proc.stdout.close()


@pytest.fixture(scope="session")
def stdlib_codec():
    remote = RemoteCodec()
    yield remote
    remote.close()


@pytest.fixture(scope="session", params=["orjson", "json"])
def codec(request):
    if request.param == "orjson":
        return fastcodec
    return request.getfixturevalue("stdlib_codec")


# --------------------------------------------------------------------------
# Back-end choice and module surface.


def test_backend_follows_orjson_availability(stdlib_codec):
    assert fastcodec.BACKEND == "orjson"
    assert stdlib_codec.BACKEND == "json"


def test_module_names_per_backend(stdlib_codec):
    ours = set(vars(fastcodec))
    assert {"orjson", "_NUMPY_OPT", "dumps", "loads", "BACKEND"} <= ours
    assert not ours & {"json", "date", "datetime", "_NumpyEncoder"}
    assert fastcodec.orjson is orjson
    assert fastcodec._NUMPY_OPT == orjson.OPT_SERIALIZE_NUMPY

    theirs = set(stdlib_codec.module_names())
    assert {"json", "date", "datetime", "_NumpyEncoder", "dumps", "loads", "BACKEND"} <= theirs
    assert not theirs & {"orjson", "_NUMPY_OPT"}


def test_without_orjson():
    proc = run_python(
        """
        import datetime, json, inspect
        from corvane.utilities import fastcodec as fc
        assert fc.BACKEND == "json"
        assert not hasattr(fc, "orjson") and not hasattr(fc, "_NUMPY_OPT")
        assert fc.json is json
        assert fc.date is datetime.date and fc.datetime is datetime.datetime
        enc = fc._NumpyEncoder
        assert enc.__mro__[1] is json.JSONEncoder and enc.__module__ == fc.__name__
        assert enc.__doc__ == "JSON encoder that handles numpy types for the stdlib fallback."
        assert "default" in vars(enc)
        assert fc.dumps.__doc__ == "Serialize to JSON string. Stdlib fallback with numpy support."
        assert fc.loads.__doc__ == "Deserialize from JSON string. Stdlib fallback."
        assert str(inspect.signature(fc.dumps)) == "(obj, default=None, indent=None, sort_keys=False)"
        print(fc.dumps({"a": [1, 2]}))
        """,
        BLOCK_ORJSON,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == '{"a": [1, 2]}\n'


def test_import_fails_on_errors_other_than_import_error():
    # An orjson that imports but lacks the numpy option is not a missing
    # orjson: the module must not silently fall back.
    proc = run_python(
        """
        import sys, types
        sys.modules["orjson"] = types.ModuleType("orjson")
        try:
            import corvane.utilities.fastcodec
        except Exception as exc:
            # the extension loader reports the failure with the cause chained
            cause = exc if isinstance(exc, AttributeError) else exc.__cause__
            print(type(cause).__name__, "OPT_SERIALIZE_NUMPY" in str(cause))
            print("corvane.utilities.fastcodec" in sys.modules)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "AttributeError True\nFalse\n"


def test_orjson_backend_documentation():
    assert fastcodec.dumps.__doc__.startswith(
        "Serialize to JSON string. Uses orjson for speed.\n\n"
    )
    assert "(not bytes)" in fastcodec.dumps.__doc__
    assert fastcodec.loads.__doc__ == "Deserialize from JSON string. Uses orjson for speed."
    assert str(inspect.signature(fastcodec.dumps)) == (
        "(obj, default=None, indent=None, sort_keys=False)"
    )
    assert str(inspect.signature(fastcodec.loads)) == "(s)"
    assert fastcodec.dumps.__module__ == "corvane.utilities.fastcodec"
    assert "orjson" in fastcodec.__doc__


# --------------------------------------------------------------------------
# Exact output texts.

MIXED = {
    "name": "café",
    "n": np.int64(7),
    "x": np.float32(0.5),
    "ok": np.bool_(True),
    "m": np.array([[1, 2], [3, 4]]),
    "when": datetime.date(2024, 2, 29),
    "at": datetime.datetime(2024, 2, 29, 12, 30, 5),
}
SMALL = {"b": [1, np.int8(2)], "a": None}

GOLDEN = [
    pytest.param(
        MIXED, {},
        '{"name":"café","n":7,"x":0.5,"ok":true,"m":[[1,2],[3,4]],'
        '"when":"2024-02-29","at":"2024-02-29T12:30:05"}',
        '{"name": "caf\\u00e9", "n": 7, "x": 0.5, "ok": true, "m": [[1, 2], [3, 4]], '
        '"when": "2024-02-29", "at": "2024-02-29T12:30:05"}',
        id="numpy-and-dates-compact",
    ),
    pytest.param(
        SMALL, {"sort_keys": True},
        '{"a":null,"b":[1,2]}',
        '{"a": null, "b": [1, 2]}',
        id="sort-keys",
    ),
    pytest.param(
        SMALL, {"indent": 4},
        '{\n  "b": [\n    1,\n    2\n  ],\n  "a": null\n}',
        '{\n    "b": [\n        1,\n        2\n    ],\n    "a": null\n}',
        id="indent-4",
    ),
    pytest.param(
        SMALL, {"indent": 1, "sort_keys": 1},
        '{\n  "a": null,\n  "b": [\n    1,\n    2\n  ]\n}',
        '{\n "a": null,\n "b": [\n  1,\n  2\n ]\n}',
        id="indent-1-sorted",
    ),
    pytest.param(
        SMALL, {"indent": 0},
        '{"b":[1,2],"a":null}',
        '{\n"b": [\n1,\n2\n],\n"a": null\n}',
        id="indent-0",
    ),
    pytest.param(
        SMALL, {"indent": False, "sort_keys": []},
        '{"b":[1,2],"a":null}',
        '{\n"b": [\n1,\n2\n],\n"a": null\n}',  # json reads False as indent 0
        id="falsy-options",
    ),
    pytest.param(
        [np.array([1.5, -2.0], dtype=np.float32), np.array([True, False]), np.uint64(2**64 - 1)],
        {},
        '[[1.5,-2.0],[true,false],18446744073709551615]',
        '[[1.5, -2.0], [true, false], 18446744073709551615]',
        id="numpy-arrays-and-wide-ints",
    ),
]


@pytest.mark.parametrize(("value", "kwargs", "orjson_text", "json_text"), GOLDEN)
def test_dumps_golden(codec, value, kwargs, orjson_text, json_text):
    text = codec.dumps(value, **kwargs)
    assert type(text) is str
    assert text == (orjson_text if codec.BACKEND == "orjson" else json_text)


def test_indent_size_only_matters_on_stdlib(codec):
    same = codec.dumps(SMALL, indent=4) == codec.dumps(SMALL, indent=1)
    assert same is (codec.BACKEND == "orjson")


# --------------------------------------------------------------------------
# default, errors.


@pytest.mark.parametrize(
    ("value", "default", "expected"),
    [
        pytest.param(types.SimpleNamespace(a=1), str, '"namespace(a=1)"', id="user-object"),
        # numpy conversions come before the caller's default
        pytest.param(np.int64(5), repr, "5", id="numpy-before-default"),
        pytest.param(np.array([1, 2]), repr, "[1,2]", id="array-before-default"),
        pytest.param([{2.5}], sorted, "[[2.5]]", id="default-result-encoded"),
    ],
)
def test_dumps_with_default(codec, value, default, expected):
    text = codec.dumps(value, default=default)
    assert json.loads(text) == json.loads(expected)


def test_unencodable_value_without_default_is_type_error(codec):
    with pytest.raises(TypeError) as info:
        codec.dumps({"k": types.SimpleNamespace()})
    if codec.BACKEND == "json":
        assert str(info.value) == "Object of type SimpleNamespace is not JSON serializable"


def test_stdlib_default_exception_propagates_with_context(stdlib_codec):
    with pytest.raises(AttributeError):
        stdlib_codec.dumps(types.SimpleNamespace(), default=operator.attrgetter("missing"))
    # raised while handling the encoder's TypeError, as in an except block
    assert stdlib_codec.last_context == "TypeError"


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ('{"a": [1, 2.5, null, true, "\\u00e9"]}', {"a": [1, 2.5, None, True, "é"]}),
        ("[]", []),
        ('"x"', "x"),
        (b'{"k": 1}', {"k": 1}),
    ],
    ids=["object", "empty", "scalar", "bytes"],
)
def test_loads(codec, text, expected):
    assert codec.loads(text) == expected


@pytest.mark.parametrize("text", ["{", "[1,]", "", "nul"])
def test_loads_malformed_raises_decode_error(codec, text):
    with pytest.raises(json.JSONDecodeError):
        codec.loads(text)


def _reference_dumps(obj, default=None, indent=None, sort_keys=False):
    pass


def _reference_loads(s):
    pass


@pytest.mark.parametrize(
    ("name", "args", "kwargs"),
    [
        ("dumps", (), {}),
        ("dumps", (1, 2, 3, 4, 5), {}),
        ("dumps", (1,), {"obj": 2}),
        ("dumps", (), {"obj": 1, "indnet": 2}),
        ("dumps", (1, 2, 3, 4, 5), {"default": 1}),
        ("loads", (), {}),
        ("loads", ("1", "2"), {}),
        ("loads", (), {"text": "1"}),
    ],
    ids=["dumps-none", "dumps-five", "dumps-twice", "dumps-unknown-kw", "dumps-kw-before-count",
         "loads-none", "loads-two", "loads-unknown-kw"],
)
def test_bad_calls_raise_like_python_functions(codec, name, args, kwargs):
    reference = {"dumps": _reference_dumps, "loads": _reference_loads}[name]
    with pytest.raises(TypeError) as expected:
        reference(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(codec, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value).replace("_reference_", "")


def test_keyword_arguments(codec):
    assert codec.dumps(obj={"b": 1, "a": 2}, sort_keys=True, indent=None) == codec.dumps(
        {"a": 2, "b": 1}
    )
    assert codec.loads(s="[1]") == [1]


# --------------------------------------------------------------------------
# Module attributes are read when a call is made.


class FakeOrjson:
    """Records how dumps is called and answers with fixed bytes-like data."""

    OPT_INDENT_2 = 1 << 8
    OPT_SORT_KEYS = 1 << 9

    def __init__(self, result=b'"ok \xc3\xa9"'):
        self.calls = []
        self.result = result

    def dumps(self, obj, **kwargs):
        self.calls.append((obj, kwargs))
        return self.result

    def loads(self, s):
        self.calls.append((s, {}))
        return ("loaded", s)


@pytest.mark.parametrize(
    ("kwargs", "expected_option"),
    [
        ({}, 3),
        ({"indent": 2}, 3 | 1 << 8),
        ({"sort_keys": True}, 3 | 1 << 9),
        ({"indent": 7, "sort_keys": "yes"}, 3 | 1 << 8 | 1 << 9),
    ],
)
def test_orjson_collaborators_read_at_call_time(monkeypatch, kwargs, expected_option):
    fake = FakeOrjson()
    monkeypatch.setattr(fastcodec, "orjson", fake)
    monkeypatch.setattr(fastcodec, "_NUMPY_OPT", 3)
    assert fastcodec.dumps([1], **kwargs) == '"ok é"'
    assert fake.calls == [([1], {"option": expected_option})]
    assert fastcodec.loads(b"x") == ("loaded", b"x")


def test_orjson_default_is_passed_only_when_given(monkeypatch):
    fake = FakeOrjson()
    monkeypatch.setattr(fastcodec, "orjson", fake)
    fastcodec.dumps(1, default=None)
    fastcodec.dumps(1, default=str)
    assert fake.calls == [
        (1, {"option": orjson.OPT_SERIALIZE_NUMPY}),
        (1, {"default": str, "option": orjson.OPT_SERIALIZE_NUMPY}),
    ]


@pytest.mark.parametrize(
    ("result", "expected"),
    [(bytearray(b"[1]"), "[1]"), (b"\xff", UnicodeDecodeError), (memoryview(b"1"), AttributeError)],
    ids=["bytearray-decoded", "invalid-utf8", "no-decode-method"],
)
def test_orjson_result_is_decoded_as_utf8(monkeypatch, result, expected):
    monkeypatch.setattr(fastcodec, "orjson", FakeOrjson(result))
    if isinstance(expected, str):
        assert fastcodec.dumps(None) == expected
    else:
        with pytest.raises(expected):
            fastcodec.dumps(None)


def test_numpy_option_rebinding_takes_effect(monkeypatch):
    monkeypatch.setattr(fastcodec, "_NUMPY_OPT", 0)
    with pytest.raises(TypeError):
        fastcodec.dumps(np.arange(3))


def test_deleted_module_attribute_is_name_error(monkeypatch):
    monkeypatch.delattr(fastcodec, "orjson")
    with pytest.raises(NameError, match="name 'orjson' is not defined"):
        fastcodec.dumps(1)


def test_stdlib_collaborators_read_at_call_time():
    proc = run_python(
        """
        import datetime, gc, json, weakref
        from corvane.utilities import fastcodec as fc

        seen = []
        class Json:
            @staticmethod
            def dumps(obj, **kwargs):
                seen.append(kwargs)
                return "fake"
            @staticmethod
            def loads(s):
                return ("fake", s)
        fc.json = Json
        assert fc.dumps(1, indent=3) == "fake" and fc.loads("[]") == ("fake", "[]")
        assert seen[0] == {"cls": fc._NumpyEncoder, "indent": 3, "sort_keys": False}
        fc.dumps(1, default=str)
        combined = seen[1]["cls"]
        assert combined.__qualname__ == "dumps.<locals>._Combined"
        assert combined.__module__ == fc.__name__ and combined.__bases__ == (fc._NumpyEncoder,)
        fc.dumps(1, default=str)
        assert seen[2]["cls"] is not combined      # a fresh class per call
        ref = weakref.ref(combined)
        del combined, seen[:]
        gc.collect()
        assert ref() is None                        # and it does not leak
        fc.json = json

        class Stamp:
            def isoformat(self):
                return "stamp"
        fc.date = Stamp
        print(fc.dumps([Stamp(), datetime.datetime(2000, 1, 2)]))
        """,
        BLOCK_ORJSON,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == '["stamp", "2000-01-02T00:00:00"]\n'


def test_stdlib_without_numpy():
    proc = run_python(
        """
        from corvane.utilities import fastcodec as fc
        print(fc.dumps({"a": [1, 2.5, None]}, sort_keys=True))
        try:
            fc.dumps({1, 2})
        except TypeError as exc:
            print(exc, "|", type(exc.__context__).__name__)
        print(fc.dumps({1, 2}, default=sorted))
        """,
        BLOCK_ORJSON,
        BLOCK_NUMPY,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        '{"a": [1, 2.5, null]}',
        "Object of type set is not JSON serializable | ModuleNotFoundError",
        "[1, 2]",
    ]


# --------------------------------------------------------------------------
# Round trips.

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(st.characters(blacklist_categories=("Cs",))),
    lambda children: st.lists(children, max_size=5)
    | st.dictionaries(st.text(st.characters(blacklist_categories=("Cs",)), max_size=8),
                      children, max_size=5),
    max_leaves=25,
)


@settings(max_examples=60, deadline=None)
@given(value=json_values, indent=st.sampled_from([None, 0, 2]), sort_keys=st.booleans())
def test_round_trip(codec, value, indent, sort_keys):
    text = codec.dumps(value, indent=indent, sort_keys=sort_keys)
    assert codec.loads(text) == value
    assert codec.loads(text.encode()) == value


@settings(max_examples=40, deadline=None)
@given(
    values=st.lists(st.integers(-(2**31), 2**31 - 1), min_size=1, max_size=12),
    dtype=st.sampled_from(["int8", "int32", "int64", "uint16", "float32", "float64"]),
)
def test_numpy_round_trip(codec, values, dtype):
    arr = np.array(values).astype(dtype)
    # float32 text may be the shortest float32 spelling, so compare in dtype
    decoded = np.array(codec.loads(codec.dumps(arr)), dtype=dtype)
    np.testing.assert_array_equal(decoded, arr)
    assert np.array(codec.loads(codec.dumps(arr[0])), dtype=dtype) == arr[0]

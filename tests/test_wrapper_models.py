"""corvane.wrapper: model inputs, local prediction, model hash and the shape readers."""

from __future__ import annotations

import hashlib
import pickle
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from corvane import wrapper

from support.child import CORVANE_ROOT as SRC


def run_isolated(code: str, hide: tuple[str, ...]) -> str:
    prelude = "import sys\n" + "".join(f"sys.modules[{name!r}] = None\n" for name in hide)
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          env={"PYTHONPATH": SRC, "PATH": "/usr/bin:/bin"}, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def data():
    rng = np.random.default_rng(0)
    X = pd.DataFrame(rng.normal(size=(40, 3)), columns=["a", "b", "c"])
    y = (X["a"] + X["b"] > 0).astype(int).to_numpy()
    return X, y


# ---- _resolve_inputs --------------------------------------------------------------------


def test_dataframe_mode_takes_out_label_and_protected_columns():
    test_df = pd.DataFrame({"x": [1, 2], "gender": ["f", "m"], "y": [1, 0]}, index=[7, 9])
    train_df = [{"x": 5, "gender": "f", "y": 1}]  # converted with the DataFrame constructor
    X_train, y_train, X_test, y_test, protected = wrapper._resolve_inputs(
        train_df, test_df, "y", None, None, None, None, ["gender", "race"]
    )
    assert list(X_test.columns) == ["x"] and list(X_test.index) == [0, 1]
    assert list(protected.columns) == ["gender"] and list(protected.index) == [0, 1]
    assert protected["gender"].tolist() == ["f", "m"]
    np.testing.assert_array_equal(y_test, [1, 0])
    assert isinstance(y_test, np.ndarray)
    assert list(X_train.columns) == ["x"] and y_train.tolist() == [1]
    # No protected column present: no protected data; train passes through when absent.
    sentinel = object()
    out = wrapper._resolve_inputs(None, test_df, "y", sentinel, sentinel, None, None, ["race"])
    assert out[0] is sentinel and out[1] is sentinel and out[4] is None
    assert list(out[2].columns) == ["x", "gender"]


def test_array_mode():
    X_test = np.ones((2, 2))
    X_train = np.zeros((2, 2))
    out = wrapper._resolve_inputs(None, None, None, X_train, "ytr", X_test, "yte", ["a"])
    assert out[0] is X_train and out[2] is X_test and out[1:4:2] == ("ytr", "yte") and out[4] is None
    frame = pd.DataFrame({"a": [1, 2], "g": [0, 1]}, index=[5, 6])
    train_frame = pd.DataFrame({"a": [3], "g": [1]})
    X_train2, _, X_test2, _, protected = wrapper._resolve_inputs(None, None, None, train_frame, None, frame, None, ["g"])
    assert list(X_test2.columns) == ["a"] and list(X_test2.index) == [0, 1]
    assert protected["g"].tolist() == [0, 1] and list(X_train2.columns) == ["a"]
    # A numpy X_train beside a DataFrame X_test is left alone.
    out = wrapper._resolve_inputs(None, None, None, X_train, None, frame, None, ["g"])
    assert out[0] is X_train


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((None, pd.DataFrame({"a": [1]}), None, None, None, None, None, []), ValueError,
         "label_column is required when passing test_df. Example: upload(model=clf, test_df=df, "
         "label_column='approved', ...)"),
        ((None, None, None, None, None, None, None, []), ValueError,
         "No data provided. Pass either test_df= (DataFrame mode) or X_test= (array mode)."),
        ((None, pd.DataFrame({"a": [1]}), "missing", None, None, None, None, []), KeyError, None),
        ((None, pd.DataFrame({"a": [1]}), "a", None, None, None, None, None), TypeError, None),
    ],
    ids=["no-label", "no-data", "missing-label", "protected-none"],
)
def test_resolve_inputs_errors(args, error, message):
    with pytest.raises(error) as info:
        wrapper._resolve_inputs(*args)
    if message is not None:
        assert str(info.value) == message


def test_without_pandas_dataframe_mode():
    out = run_isolated(
        """
        from corvane import wrapper
        for label in (None, "y"):
            try:
                wrapper._resolve_inputs(None, [[1]], label, None, None, None, None, [])
            except Exception as e:
                print(type(e).__name__, e)
        print(wrapper._resolve_inputs(None, None, None, None, None, [[1]], None, ["a"]))
        print(wrapper._cn([[1, 2]]), wrapper._trd([[1, 2]], ["p", "q"]))
        """,
        hide=("pandas",),
    )
    lines = out.strip().split("\n")
    assert lines[0].startswith("ValueError label_column is required")
    assert lines[1] == "ImportError pandas is required when using train_df/test_df mode"
    assert lines[2] == "(None, None, [[1]], None, None)"
    assert lines[3] == "['feature_0', 'feature_1'] [{'p': 1, 'q': 2}]"


# ---- _run_local_predict with real models ------------------------------------------------------


def test_sklearn_classifier_and_regressor(data):
    sklearn = pytest.importorskip("sklearn.linear_model")
    X, y = data
    clf = sklearn.LogisticRegression().fit(X, y)
    out = wrapper._run_local_predict(clf, X)
    assert out.dtype == np.float64 and out.shape == (40,)
    np.testing.assert_allclose(out, clf.predict_proba(X)[:, 1])
    reg = sklearn.LinearRegression().fit(X, X["a"] * 2.0)
    np.testing.assert_allclose(wrapper._run_local_predict(reg, X), reg.predict(X))


def test_multiclass_probabilities_give_the_last_class(data):
    sklearn = pytest.importorskip("sklearn.tree")
    X, _ = data
    y = np.arange(40) % 3
    clf = sklearn.DecisionTreeClassifier(random_state=0).fit(X, y)
    np.testing.assert_allclose(wrapper._run_local_predict(clf, X), clf.predict_proba(X)[:, 2])


def test_torch_module(data):
    torch = pytest.importorskip("torch")
    X, _ = data
    torch.manual_seed(0)
    model = torch.nn.Sequential(torch.nn.Linear(3, 1), torch.nn.Sigmoid())
    out = wrapper._run_local_predict(model, X)
    with torch.no_grad():
        expected = model(torch.tensor(X.to_numpy(), dtype=torch.float32)).numpy().ravel()
    assert out.dtype == np.float64 and out.shape == (40,)
    np.testing.assert_allclose(out, expected, rtol=1e-6)
    assert all(not p.grad for p in model.parameters() if p.grad is not None)
    # A plain array goes through np.asarray.
    np.testing.assert_allclose(wrapper._run_local_predict(model, X.to_numpy()), expected, rtol=1e-6)


def make_onnx_session(weights: np.ndarray):
    onnx = pytest.importorskip("onnx")
    ort = pytest.importorskip("onnxruntime")
    from onnx import TensorProto, helper, numpy_helper

    graph = helper.make_graph(
        [helper.make_node("MatMul", ["features", "w"], ["score"])],
        "linear",
        [helper.make_tensor_value_info("features", TensorProto.FLOAT, [None, weights.shape[0]])],
        [helper.make_tensor_value_info("score", TensorProto.FLOAT, [None, 1])],
        initializer=[numpy_helper.from_array(weights.astype(np.float32), name="w")],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    return ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])


def test_onnxruntime_session(data):
    X, _ = data
    weights = np.array([[1.0], [-2.0], [0.5]])
    session = make_onnx_session(weights)
    out = wrapper._run_local_predict(session, X)
    assert out.dtype == np.float64 and out.shape == (40,)
    np.testing.assert_allclose(out, (X.to_numpy() @ weights).ravel(), rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(wrapper._run_local_predict(session, X.to_numpy().tolist()),
                               (X.to_numpy() @ weights).ravel(), rtol=1e-5, atol=1e-5)


def test_plain_callable_and_fallbacks(data):
    X, _ = data

    def score(frame):
        return (frame["a"] * 3).tolist()  # needs the DataFrame itself, not a tensor

    np.testing.assert_allclose(wrapper._run_local_predict(score, X), X["a"] * 3)

    class ProbaBroken:
        def predict_proba(self, X):
            raise RuntimeError("not fitted")

        def predict(self, X):
            return [[1], [0]]

    np.testing.assert_array_equal(wrapper._run_local_predict(ProbaBroken(), X), [1.0, 0.0])

    class Nothing:
        pass

    with pytest.raises(RuntimeError) as info:
        wrapper._run_local_predict(Nothing(), X)
    assert str(info.value) == ("Cannot generate predictions from Nothing. Pass predictions= directly to "
                               "corvane.upload() instead.")

    class AlwaysFails:
        def predict(self, X):
            raise ValueError("x")

        def __call__(self, X):
            raise ValueError("y")

    with pytest.raises(RuntimeError, match="^Cannot generate predictions from AlwaysFails"):
        wrapper._run_local_predict(AlwaysFails(), X)


def test_without_torch():
    out = run_isolated(
        """
        import numpy as np
        from corvane import wrapper
        print(wrapper._run_local_predict(lambda X: np.asarray(X).sum(axis=1), [[1, 2], [3, 4]]).tolist())
        """,
        hide=("torch",),
    )
    assert out.strip() == "[3.0, 7.0]"


# ---- _compute_model_hash ----------------------------------------------------------------


def test_model_hash(data):
    sklearn = pytest.importorskip("sklearn.linear_model")
    X, y = data
    clf = sklearn.LogisticRegression().fit(X, y)
    digest = wrapper._compute_model_hash(clf)
    assert digest == hashlib.sha256(pickle.dumps(clf)).hexdigest()[:16]
    assert len(digest) == 16 and int(digest, 16) >= 0
    assert wrapper._compute_model_hash(lambda x: x) is None
    assert wrapper._compute_model_hash({"a": 1}) == hashlib.sha256(pickle.dumps({"a": 1})).hexdigest()[:16]


# ---- _cn / _rc / _trd / _fo ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("X", "prefix", "expected"),
    [
        (np.zeros((100, 3)), "feature", ["feature_0", "feature_1", "feature_2"]),
        (np.zeros(5), "feature", ["feature_0"]),
        (pd.DataFrame({0: [1], 1: [2]}), "feature", ["0", "1"]),
        ([[1, 2], [3]], "x", ["x"]),
        (np.zeros((2, 2, 2)), "p", ["p_0"]),
        (pd.Series([1, 2]), "protected", ["protected_0"]),
    ],
    ids=["2d", "1d", "int-labels", "ragged", "3d", "series"],
)
def test_cn(X, prefix, expected):
    assert wrapper._cn(X, prefix) == expected


def test_cn_default_prefix_and_type_check():
    assert wrapper._cn(np.zeros((1, 2))) == ["feature_0", "feature_1"]
    with pytest.raises(TypeError, match="Argument 'fallback_prefix' has incorrect type"):
        wrapper._cn(np.zeros(2), None)


@pytest.mark.parametrize(
    ("X", "expected"),
    [(pd.DataFrame({"a": range(7)}), 7), ([[1], [2]], 2), (np.zeros((4, 2)), 4), (5, 0), (None, 0), ("abc", 3),
     (iter([1, 2]), 0)],
    ids=["frame", "list", "array", "number", "none", "str", "iterator"],
)
def test_rc(X, expected):
    assert wrapper._rc(X) == expected and type(wrapper._rc(X)) is int


def iterrows_reference(X, cols):
    return [{c: row.get(c) for c in cols} for _, row in X.iterrows()]


TRD_FRAMES = {
    "float-int": pd.DataFrame({"a": [1.0, np.nan], "b": [3, 4]}),
    "object": pd.DataFrame({"a": [1.5, 2.5], "s": ["x", None], "i": [1, 2]}),
    "bool": pd.DataFrame({"a": [True, False]}),
    "datetime": pd.DataFrame({"t": pd.to_datetime(["2024-01-01", "2024-01-02"]), "v": [1, 2]}),
    "only-datetime": pd.DataFrame({"t": pd.to_datetime(["2024-01-01", "2024-01-02"])}),
    "nullable": pd.DataFrame({"n": pd.array([1, None], dtype="Int64")}),
}


@pytest.mark.parametrize("name", list(TRD_FRAMES))
def test_trd_frames_match_iterrows(name):
    X = TRD_FRAMES[name]
    cols = [str(c) for c in X.columns] + ["missing"]
    got = wrapper._trd(X, cols)
    expected = iterrows_reference(X, cols)
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert list(g) == cols
        for c in cols:
            assert type(g[c]) is type(e[c]), c
            assert g[c] == e[c] or (g[c] != g[c] and e[c] != e[c]) or (g[c] is e[c])


def test_trd_other_inputs():
    assert wrapper._trd(np.array([5, 6]), ["a"]) == [{"a": 5}, {"a": 6}]
    assert wrapper._trd(np.array([[1, 2], [3, 4]]), ["a", "b", "c"]) == [{"a": 1, "b": 2}, {"a": 3, "b": 4}]
    assert wrapper._trd(np.array([[1, 2, 3]]), ["a"]) == [{"a": 1}]
    assert wrapper._trd(pd.Series([1.5, 2.5]), ["s", "t"]) == [{"s": 1.5}, {"s": 2.5}]
    assert wrapper._trd([[1, "x"]], ["a", "b"]) == [{"a": 1, "b": "x"}]
    assert wrapper._trd(5, ["a"]) == []
    with pytest.raises(IndexError):
        wrapper._trd(pd.Series([1]), [])
    with pytest.raises(TypeError, match=r"Argument 'cols' has incorrect type \(expected list, got tuple\)"):
        wrapper._trd(np.zeros(2), ("a",))


def test_trd_integer_labels_are_found_by_their_text():
    X = pd.DataFrame([[1.5, 2.5]])
    assert wrapper._trd(X, ["0", "1"]) == [{"0": 1.5, "1": 2.5}]


@pytest.mark.parametrize(
    ("outputs", "n", "expected"),
    [
        (None, 3, [None, None, None]),
        (np.array([[0.1, 0.9], [0.4, 0.6], [0.5, 0.5]]), 3, [0.9, 0.6, 0.5]),
        (0.7, 3, [0.7, None, None]),
        ([1, 2], 2, [1, 2]),
        (pd.Series(["a", "b"]), 2, ["a", "b"]),
        (np.array([1, 2]), 2.9, [1, 2]),
        ({"k": 1}, 2, ["k"]),
    ],
    ids=["none", "proba", "scalar", "list", "series", "float-n", "dict"],
)
def test_fo(outputs, n, expected):
    out = wrapper._fo(outputs, n)
    assert out == expected and type(out) is list


def test_fo_n_must_be_a_number():
    with pytest.raises(TypeError, match=r"^Argument 'n' has incorrect type \(expected int, got str\)$"):
        wrapper._fo(None, "3")

"""corvane.wrapper: the source registry."""

from __future__ import annotations

import logging
import threading

import numpy as np
import pandas as pd
import pytest

from corvane import wrapper


@pytest.fixture
def registry():
    return wrapper._ProvenanceRegistry()


def test_module_instance_and_fields():
    assert isinstance(wrapper._registry, wrapper._ProvenanceRegistry)
    reg = wrapper._ProvenanceRegistry()
    assert reg._sources == {} and reg._source_columns == {} and reg._source_dtypes == {}
    assert type(reg._lock) is type(threading.Lock())


def test_register_resolve_and_getters(registry):
    df = pd.DataFrame({"income": [1.5], "age": [3], "name": ["x"]})
    assert registry.register(df, "applications") is df
    assert registry.resolve(pd.DataFrame({"income": [1], "score": [2]})) == {
        "income": "applications.income",
        "score": "derived",
    }
    assert registry.get_source_mapping() == {
        "income": "applications.income", "age": "applications.age", "name": "applications.name",
    }
    meta = registry.get_source_metadata()
    assert meta == {"applications": {"income": "float64", "age": "int64", "name": str(df["name"].dtype)}}
    # Copies at the top level only.
    registry.get_source_mapping()["income"] = "x"
    assert registry.resolve(df)["income"] == "applications.income"
    assert meta["applications"] is registry._source_dtypes["applications"]


def test_integer_labels_and_reregistration(registry):
    registry.register(pd.DataFrame({0: [1], 1: [2.0]}), "t")
    assert registry._sources == {0: "t.0", 1: "t.1"}
    assert registry._source_dtypes == {"t": {"0": "int64", "1": "float64"}}
    assert registry._source_columns == {"t": [0, 1]}
    registry.register(pd.DataFrame({"x": [1], "y": [2]}), "u")
    registry.register(pd.DataFrame({"x": [1]}), "u")
    assert registry.resolve(pd.DataFrame({"x": [1], "y": [1]})) == {"x": "u.x", "y": "u.y"}
    assert registry._source_columns["u"] == ["x"]
    registry.register(pd.DataFrame({"x": [1]}), "b")
    assert registry.resolve(pd.DataFrame({"x": [1]})) == {"x": "b.x"}


def test_objects_without_columns(registry, caplog):
    caplog.set_level(logging.DEBUG, logger="corvane.wrapper")
    data = [1, 2]
    assert registry.register(data, "t") is data
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", "ProvenanceRegistry: df has no .columns, skipping")
    ]
    assert registry._sources == {} and registry.resolve(data) == {} and registry.build_source_snapshots(data) == {}


def test_errors(registry):
    with pytest.raises(TypeError, match=r"^Argument 'table_name' has incorrect type \(expected str, got int\)"):
        registry.register(pd.DataFrame({"a": [1]}), 5)

    class NoDtype:
        columns = ["a", "b"]

        def __getitem__(self, key):
            return object()

    with pytest.raises(AttributeError):
        registry.register(NoDtype(), "t")
    # What was written before the failure stays.
    assert registry._sources == {"a": "t.a", "b": "t.b"}
    # The lock was released on the error path.
    assert registry._lock.acquire(blocking=False)
    registry._lock.release()


def test_build_source_snapshots(registry):
    registry.register(pd.DataFrame({"income": [0.0], "age": [0]}), "db.apps")
    registry.register(pd.DataFrame({"zip": ["x"]}), "geo")
    final = pd.DataFrame({"age": [30, 40], "zip": ["a", "b"], "score": [1.0, np.nan], "income": [np.nan, 2.0]},
                         index=[5, 6])
    snaps = registry.build_source_snapshots(final)
    assert set(snaps) == {"db.apps", "geo"}
    apps = snaps["db.apps"]
    assert apps["type"] == "dataframe" and apps["data"]["index"] == [5, 6]
    cols = apps["data"]["columns"]
    assert sorted(cols) == ["age", "income"]
    rows = [dict(zip(cols, r)) for r in apps["data"]["data"]]
    assert rows == [{"age": 30, "income": None}, {"age": 40, "income": 2.0}]
    assert snaps["geo"]["data"]["data"] == [["a"], ["b"]]
    assert registry.build_source_snapshots(pd.DataFrame({"derived": [1]})) == {}
    # Not a DataFrame: nothing.
    assert registry.build_source_snapshots(type("F", (), {"columns": ["age"]})()) == {}


def test_clear(registry):
    registry.register(pd.DataFrame({"a": [1]}), "t")
    sources = registry._sources
    registry.clear()
    assert registry.resolve(pd.DataFrame({"a": [1]})) == {"a": "derived"}
    assert registry.get_source_mapping() == {} and registry.get_source_metadata() == {}
    assert registry._sources is sources


def test_concurrent_registration(registry):
    frames = [pd.DataFrame({f"c{i}_{j}": [j] for j in range(20)}) for i in range(8)]
    threads = [threading.Thread(target=registry.register, args=(f, f"t{i}")) for i, f in enumerate(frames)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(registry.get_source_mapping()) == 160 and len(registry.get_source_metadata()) == 8

"""Benchmarks of the computation DAG module.

Every figure is measured in this run, next to the plain pandas operation it
stands for, and printed as min / median / max over the repetitions:

* DAG-tracked ``a + b`` of two 1M-row float64 columns (memory-only tracker,
  row values captured) against plain pandas ``+``. Each repetition wraps a
  fresh frame (untimed), then times plain ``+`` (after one warm-up call) and
  the tracked ``+`` back to back, so both sides of a ratio see the same
  machine state; a plain ``+`` repeated in a tight loop on the same three
  arrays would be faster than anything a pipeline sees;
* bytes of node log per logged row for that operation;
* ``get_dag`` of a value 50 operations deep in a log of 1M nodes, and its
  ``to_json``;
* ``wrap_dataframe_dag`` of a 100k x 10 frame against ``df.copy()``;
* a small pipeline (wrap, two arithmetic operations, fillna, a merge) on 100k
  rows with this package and with tracepipe (row-level lineage for pandas),
  when tracepipe is installed.

Run with ``PYTHONPATH=src python bench/bench_dag.py`` after a developer build.
"""

from __future__ import annotations

import statistics
import sys
import time

import numpy as np
import pandas as pd

from corvane.utilities.orvex32_dag import DAGTracker, get_dag_for_series, wrap_dataframe_dag

REPEAT = 5


def timed(fn, repeat=REPEAT, setup=None):
    out = []
    for _ in range(repeat):
        arg = setup() if setup else None
        t0 = time.perf_counter()
        fn(arg) if setup else fn()
        out.append(time.perf_counter() - t0)
    return out


def summary(xs, scale=1.0, unit="s"):
    return (f"min {min(xs) * scale:.3f}{unit}  median {statistics.median(xs) * scale:.3f}{unit}  "
            f"max {max(xs) * scale:.3f}{unit}")


def ratio(a, b):
    """min / median / max of the element-wise ratios of two paired runs."""
    r = [x / y for x, y in zip(a, b)]
    return f"min {min(r):.2f}x  median {statistics.median(r):.2f}x  max {max(r):.2f}x"


def paired(tracked_fn, plain_fn, setup, repeat):
    """Times plain and tracked back to back after each (untimed) setup, so the
    two sides of every ratio see the same machine state."""
    plain, tracked = [], []
    for _ in range(repeat):
        arg = setup()
        plain_fn()  # warm: plain pandas is timed with its inputs in cache
        t0 = time.perf_counter()
        plain_fn()
        plain.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        tracked_fn(arg)
        tracked.append(time.perf_counter() - t0)
    return tracked, plain


def bench_add(n=1_000_000, repeat=21):
    rng = np.random.default_rng(0)
    df = pd.DataFrame({"a": rng.random(n), "b": rng.random(n)})
    pa, pb = df["a"], df["b"]

    def setup():
        t = DAGTracker()
        t._max_nodes = 10 * n  # measure the operation, not eviction
        w = wrap_dataframe_dag(df, t, "loans")
        return t, w, w["a"], w["b"]

    tracked, plain = paired(lambda arg: arg[2] + arg[3], lambda: pa + pb, setup, repeat)
    print(f"a + b, {n:,} rows (tracked series already taken from the wrapped frame)")
    print(f"                      plain pandas: {summary(plain, 1e3, 'ms')}")
    print(f"                      DAG-tracked:  {summary(tracked, 1e3, 'ms')}")
    print(f"                      ratio:        {ratio(tracked, plain)}")

    def setup_default():
        t = DAGTracker()  # default bound of 500,000 nodes: eviction runs
        w = wrap_dataframe_dag(df, t, "loans")
        return t, w, w["a"], w["b"]

    bounded, plain = paired(lambda arg: arg[2] + arg[3], lambda: pa + pb, setup_default, repeat)
    print(f"  with the default node bound (eviction): {summary(bounded, 1e3, 'ms')}  "
          f"ratio {ratio(bounded, plain)}")

    sizes = []
    for _ in range(3):
        t, w, a, b = setup()
        before = t._nodes.memory_bytes()
        s = a + b
        sizes.append((t._nodes.memory_bytes() - before) / n)
        # the row-value buffer holds the newest records up to its capacity
        assert len(s) == n and len(t._value_buffer) == min(3 * n, t._value_buffer.capacity)
    print(f"node-log bytes per logged row of a + b: {summary(sizes, 1, ' B')}")


def bench_deep_lineage(n_rows=20_000, depth=50):
    t = DAGTracker()
    t._max_nodes = 2 * n_rows * (depth + 1)
    w = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(n_rows, dtype=float)}), t, "t")
    s = w["a"]
    for i in range(depth):
        s = (s + s) if i % 2 else -s
    print(f"log of {len(t._nodes):,} nodes; value {depth} operations deep")
    dags = []
    get = timed(lambda: dags.append(get_dag_for_series(s, n_rows // 2)), repeat=20)
    dag = dags[-1]
    to_json = timed(lambda: dag.to_json(), repeat=20)
    print(f"  get_dag: {summary(get, 1e3, 'ms')}  ({len(dag.nodes)} nodes, {len(dag.edges)} edges)")
    print(f"  to_json: {summary(to_json, 1e3, 'ms')}")


def bench_wrap(n=100_000, cols=10):
    rng = np.random.default_rng(1)
    df = pd.DataFrame({f"c{i}": rng.random(n) for i in range(cols)})
    copy = timed(lambda: df.copy())
    wrap = timed(lambda: wrap_dataframe_dag(df, DAGTracker(), "t", protected=["c0"]))
    print(f"wrap_dataframe_dag {n:,} x {cols}: {summary(wrap, 1e3, 'ms')}")
    print(f"  df.copy():                 {summary(copy, 1e3, 'ms')}")
    print(f"  ratio:                     {ratio(wrap, copy)}")


def pipeline_frames(n):
    rng = np.random.default_rng(2)
    left = pd.DataFrame({"id": np.arange(n), "income": rng.random(n) * 1e5,
                         "debt": np.where(rng.random(n) < 0.1, np.nan, rng.random(n) * 1e4)})
    right = pd.DataFrame({"id": np.arange(n), "region": rng.integers(0, 50, n)})
    return left, right


def corvane_pipeline(left, right):
    t = DAGTracker()
    w = wrap_dataframe_dag(left, t, "loans", protected=["income"])
    ratio_ = w["debt"] / w["income"]
    w["score"] = (ratio_ * w["income"]).fillna(0.0)
    return w.merge(right, on="id")


def tracepipe_pipeline(tp, left, right):
    tp.enable(mode="debug")
    try:
        df = left.copy()
        df["score"] = (df["debt"] / df["income"] * df["income"]).fillna(0.0)
        return df.merge(right, on="id")
    finally:
        tp.disable()
        tp.reset()


def bench_pipeline(n=100_000):
    left, right = pipeline_frames(n)
    plain = timed(lambda: left.assign(score=(left["debt"] / left["income"] * left["income"])
                                      .fillna(0.0)).merge(right, on="id"))
    ours = timed(lambda: corvane_pipeline(left, right))
    print(f"pipeline on {n:,} rows (wrap, 2 arithmetic ops, fillna, merge)")
    print(f"  plain pandas: {summary(plain, 1e3, 'ms')}")
    print(f"  corvane DAG:  {summary(ours, 1e3, 'ms')}  ratio {ratio(ours, plain)}")
    try:
        import tracepipe as tp
    except ImportError:
        print("  tracepipe:    not installed (pip install tracepipe)")
        return
    theirs = timed(lambda: tracepipe_pipeline(tp, left, right))
    print(f"  tracepipe:    {summary(theirs, 1e3, 'ms')}  ratio {ratio(theirs, plain)}")


def main():
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, pandas {pd.__version__}")
    bench_add()
    bench_deep_lineage()
    bench_wrap()
    bench_pipeline()


if __name__ == "__main__":
    main()

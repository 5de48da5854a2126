"""A persisting tracker while the service fails: HTTP 500, time-outs, refused
connections. Tracking never raises, the writer's account holds, and a process
whose service hangs still exits within the writer's bound."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pandas as pd
import pytest

from corvane.utilities.orvex32_dag import DAGTracker, wrap_dataframe_dag
from corvane.utilities.persistence import TransientStorageError
from support.child import CORVANE_ROOT


def assert_account(stats):
    assert stats["accepted"] == stats["written"] + stats["dropped_total"] + stats["pending"]


def track(tracker, n=400):
    df = pd.DataFrame({"a": np.arange(n, dtype=float), "b": np.arange(n, dtype=float) % 7,
                       "g": np.arange(n) % 2})
    tdf = wrap_dataframe_dag(df, tracker, "t", protected=["g"])
    return (tdf["a"] + tdf["b"]) * tdf["g"]


@pytest.fixture
def tracker(reference_service):
    tracker = DAGTracker(api_key=reference_service.api_key, service_url=reference_service.base_url,
                         pipeline_name="faults")
    tracker._writer._config.retry_backoff = 0.01  # keep retries quick in tests
    tracker._storage._timeout = 0.3
    yield tracker
    tracker._writer and tracker._writer.stop(timeout=2)


@pytest.mark.parametrize(
    "fault, expect_dropped",
    [
        pytest.param({"status": 500, "times": 2}, False, id="500-then-recovers"),
        pytest.param({"status": 500, "times": None}, True, id="500-always"),
        pytest.param({"delay": 1.0, "times": None}, True, id="time-out"),
    ],
)
def test_service_failures_never_reach_tracking(reference_service, tracker, fault, expect_dropped):
    reference_service.inject_fault("POST", "/v1/storage/*", **fault)
    result = track(tracker)  # must not raise
    assert len(result) == 400
    tracker._writer.flush(timeout=30)
    stats = tracker.get_persistence_stats()
    assert_account(stats)
    assert stats["pending"] == 0
    assert (stats["dropped_total"] > 0) == expect_dropped
    if not expect_dropped:
        assert stats["retries"] >= 2
        assert tracker.flush() is True  # the buffered rest
        assert len(reference_service.storage.get_row_values(tracker._pipeline_id)) == 3 * 400 + 400 + 400


def test_refused_connections_mid_run(reference_service, tracker):
    wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0]}), tracker, "first")
    tracker._writer.flush(timeout=10)
    reference_service.stop()  # from here on every connection is refused
    track(tracker)
    tracker._writer.flush(timeout=30)
    stats = tracker.get_persistence_stats()
    assert_account(stats)
    assert stats["dropped"].get("failed", 0) > 0 and stats["pending"] == 0
    # the bulk write of flush talks to storage directly: its failure reaches the caller
    with pytest.raises(TransientStorageError):
        tracker.flush()


def test_process_with_a_hanging_service_exits_within_the_writer_bound(reference_service):
    reference_service.inject_fault("POST", "/v1/storage/*", delay=60, times=None)
    code = f"""
        import time
        import numpy as np, pandas as pd
        from corvane.utilities.orvex32_dag import DAGTracker, wrap_dataframe_dag
        tracker = DAGTracker(api_key={reference_service.api_key!r}, service_url={reference_service.base_url!r})
        tdf = wrap_dataframe_dag(pd.DataFrame({{"a": np.arange(20000.0)}}), tracker, "t")
        tdf["a"] + tdf["a"]
        print("tracked", time.monotonic(), flush=True)
    """
    env = dict(os.environ)
    src = CORVANE_ROOT
    env["PYTHONPATH"] = os.pathsep.join(p for p in (env.get("PYTHONPATH"), src) if p)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60, env=env)
    ended = time.monotonic()
    assert done.returncode == 0, done.stderr
    tracked_at = float(done.stdout.split()[1])
    # exit_timeout (5 s) for the writers, plus interpreter teardown
    assert ended - tracked_at < 12

"""The background writer: batching, failure policy, its account, stop, exit and fork."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from corvane.utilities.persistence.storage import StoredEdge, StoredNode, StoredRowValue
from corvane.utilities.persistence.writer import AsyncWriter, TransientStorageError, WriterConfig
from support.child import CORVANE_ROOT


def node(fp: int) -> StoredNode:
    return StoredNode(fingerprint=fp, node_type="BINARY", operation="add", table_name=None,
                      column_name=None, pair_id=None, is_protected=False, pipeline_id=1)


class RecordingStorage:
    """Stores batches in memory; `fail` decides per call whether to raise."""

    def __init__(self, fail=None, gate: threading.Event | None = None) -> None:
        self.batches: list[tuple[str, list]] = []
        self.calls = 0
        self.fail = fail
        self.gate = gate
        self.lock = threading.Lock()

    def _record(self, kind, records):
        if self.gate is not None:
            self.gate.wait()
        with self.lock:
            self.calls += 1
            if self.fail is not None:
                exc = self.fail(self.calls)
                if exc is not None:
                    raise exc
            self.batches.append((kind, list(records)))

    def store_nodes(self, records):
        self._record("nodes", records)

    def store_edges(self, records):
        self._record("edges", records)

    def store_row_values(self, records):
        self._record("values", records)

    def register_source(self, pair_id, table, column, is_protected=False):
        self._record("sources", [(pair_id, table, column, is_protected)])

    def written(self, kind):
        return [r for k, batch in self.batches if k == kind for r in batch]


def assert_account(stats):
    assert stats["accepted"] == stats["written"] + stats["dropped_total"] + stats["pending"]


@pytest.fixture
def make_writer():
    writers = []

    def make(storage, **config):
        config.setdefault("flush_interval", 0.05)
        config.setdefault("retry_backoff", 0.001)
        writer = AsyncWriter(storage, WriterConfig(**config))
        writers.append(writer)
        writer.start()
        return writer

    yield make
    for writer in writers:
        writer.stop(timeout=2)


def test_batches_respect_size_and_order(make_writer):
    storage = RecordingStorage()
    writer = make_writer(storage, batch_size=100)
    writer.register_source(0, "t", "a", True)
    for fp in range(250):
        writer.write_node(node(fp))
    writer.write_edges([StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=0)])
    writer.write_row_values([StoredRowValue(pipeline_id=1, row_index=i, fingerprint=i,
                                            node_operation="add", value=float(i)) for i in range(7)])
    assert writer.flush(timeout=5)
    assert [n.fingerprint for n in storage.written("nodes")] == list(range(250))
    assert all(len(batch) <= 100 for _, batch in storage.batches)
    kinds = [k for k, _ in storage.batches]
    assert kinds.index("sources") < kinds.index("nodes") < kinds.index("edges")
    assert len(storage.written("values")) == 7
    stats = writer.get_stats()
    assert stats["written"] == stats["accepted"] == 1 + 250 + 1 + 7
    assert stats["dropped_total"] == 0 and stats["pending"] == 0
    assert_account(stats)


def test_partial_batch_is_written_after_the_interval_without_flush(make_writer):
    storage = RecordingStorage()
    writer = make_writer(storage, batch_size=1000, flush_interval=0.05)
    writer.write_node(node(1))
    deadline = time.monotonic() + 5
    while not storage.batches and time.monotonic() < deadline:
        time.sleep(0.01)
    assert storage.written("nodes")[0].fingerprint == 1
    assert writer.get_stats()["written"] == 1


@pytest.mark.parametrize(
    "failure, expect_written, expect_dropped, expect_retries",
    [
        pytest.param(lambda call: TransientStorageError("503") if call <= 2 else None,
                     1, {}, 2, id="transient-then-ok"),
        pytest.param(lambda call: ConnectionRefusedError("refused"),
                     0, {"failed": 1}, 3, id="transient-forever"),
        pytest.param(lambda call: ValueError("400 bad record"),
                     0, {"rejected": 1}, 0, id="permanent-not-retried"),
    ],
)
def test_failure_policy(make_writer, failure, expect_written, expect_dropped, expect_retries):
    storage = RecordingStorage(fail=failure)
    writer = make_writer(storage, max_retries=3)
    writer.write_node(node(7))
    assert writer.flush(timeout=5)
    stats = writer.get_stats()
    assert stats["written"] == expect_written
    assert stats["dropped"] == expect_dropped
    assert stats["retries"] == expect_retries
    assert_account(stats)


def test_full_queue_drops_after_waiting_and_keeps_the_account(make_writer):
    gate = threading.Event()
    storage = RecordingStorage(gate=gate)
    writer = make_writer(storage, batch_size=2, queue_size=4, put_timeout=0.05)
    for fp in range(10):
        writer.write_node(node(fp))
    stats = writer.get_stats()
    assert stats["dropped"].get("queue_full", 0) > 0
    assert stats["pending"] <= 4
    assert_account(stats)
    gate.set()
    assert writer.flush(timeout=5)
    stats = writer.get_stats()
    assert stats["pending"] == 0
    assert stats["written"] + stats["dropped"]["queue_full"] == 10
    assert_account(stats)


def test_one_batch_larger_than_the_queue_is_taken_into_an_empty_queue(make_writer):
    storage = RecordingStorage()
    writer = make_writer(storage, batch_size=50, queue_size=10)
    writer.write_row_values([StoredRowValue(pipeline_id=0, row_index=i, fingerprint=0,
                                            node_operation="x") for i in range(120)])
    assert writer.flush(timeout=5)
    assert len(storage.written("values")) == 120


def test_stop_drops_what_cannot_be_written_in_time():
    gate = threading.Event()
    storage = RecordingStorage(gate=gate)
    writer = AsyncWriter(storage, WriterConfig(batch_size=1, flush_interval=0.01))
    writer.start()
    for fp in range(5):
        writer.write_node(node(fp))
    started = time.monotonic()
    writer.stop(timeout=0.2)
    assert time.monotonic() - started < 2
    stats = writer.get_stats()
    assert stats["dropped"].get("shutdown", 0) >= 3
    assert not stats["running"]
    assert_account(stats)
    gate.set()
    writer.stop()  # a second stop is harmless
    deadline = time.monotonic() + 2
    while writer.get_stats()["pending"] and time.monotonic() < deadline:
        time.sleep(0.01)
    assert_account(writer.get_stats())


def test_writes_after_stop_are_counted_not_lost_silently():
    storage = RecordingStorage()
    writer = AsyncWriter(storage, WriterConfig(put_timeout=0.0, queue_size=1))
    writer.start()
    writer.stop()
    writer.write_node(node(1))
    writer.write_node(node(2))
    stats = writer.get_stats()
    assert stats["accepted"] == 2
    assert_account(stats)


@pytest.mark.parametrize("field, value", [("batch_size", 0), ("queue_size", -1),
                                          ("columnar_chunk_size", 0),
                                          ("flush_interval", -0.5), ("max_retries", 1.5)])
def test_config_rejects_nonsense(field, value):
    with pytest.raises(ValueError, match=field):
        WriterConfig(**{field: value})


def test_config_keywords_and_type_check():
    config = WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000)
    assert (config.batch_size, config.flush_interval, config.queue_size) == (100, 1.0, 10000)
    with pytest.raises(TypeError):
        AsyncWriter(RecordingStorage(), {"batch_size": 1})


def run_python(code: str, timeout: float) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    src = CORVANE_ROOT
    env["PYTHONPATH"] = os.pathsep.join(p for p in (src, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


def test_interpreter_exit_is_bounded_when_storage_hangs():
    code = """
        import threading, time
        from corvane.utilities.persistence.writer import AsyncWriter, WriterConfig
        from corvane.utilities.persistence.storage import StoredNode
        class Hanging:
            def store_nodes(self, records):
                threading.Event().wait()
        w = AsyncWriter(Hanging(), WriterConfig(batch_size=1, flush_interval=0.01, exit_timeout=0.5))
        w.start()
        for i in range(3):
            w.write_node(StoredNode(fingerprint=i))
        time.sleep(0.1)
        print("leaving", flush=True)
    """
    started = time.monotonic()
    done = run_python(code, timeout=30)
    assert done.returncode == 0, done.stderr
    assert "leaving" in done.stdout
    assert time.monotonic() - started < 15


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_restarts_its_own_thread():
    code = """
        import os, sys, threading
        from corvane.utilities.persistence.writer import AsyncWriter, WriterConfig
        from corvane.utilities.persistence.storage import StoredNode
        class Store:
            def __init__(self):
                self.seen = []
            def store_nodes(self, records):
                self.seen.extend(r.fingerprint for r in records)
        gate = threading.Event()
        class Slow(Store):
            def store_nodes(self, records):
                gate.wait(5)
                super().store_nodes(records)
        store = Slow()
        w = AsyncWriter(store, WriterConfig(batch_size=1, flush_interval=0.01))
        w.start()
        w.write_node(StoredNode(fingerprint=1))
        w.write_node(StoredNode(fingerprint=2))
        pid = os.fork()
        if pid == 0:
            gate.set()
            store.seen.clear()
            w.write_node(StoredNode(fingerprint=99))
            ok = w.flush(timeout=5)
            stats = w.get_stats()
            good = ok and 99 in store.seen and stats["accepted"] == (
                stats["written"] + stats["dropped_total"] + stats["pending"])
            os._exit(0 if good else 3)
        gate.set()
        _, status = os.waitpid(pid, 0)
        assert w.flush(timeout=5)
        w.stop()
        print("child", os.waitstatus_to_exitcode(status), "parent", sorted(store.seen))
    """
    done = run_python(code, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "child 0 parent [1, 2]" in done.stdout


class Columnar:
    """A columnar batch: `records` in the account, built into chunks on the writer thread."""

    kind = "nodes"

    def __init__(self, fps, weight=1, per_record=3, fail_at=None, gate=None):
        self.fps = list(fps)
        self.records = len(self.fps) * per_record
        self.weight = weight
        self.per_record = per_record
        self.fail_at = fail_at
        self.gate = gate
        self.thread = None

    def chunks(self, size):
        self.thread = threading.current_thread()
        for start in range(0, len(self.fps), size):
            if self.fail_at is not None and start >= self.fail_at:
                raise ValueError("cannot build this chunk")
            if self.gate is not None and start:
                self.gate.wait()
            part = self.fps[start:start + size]
            yield "nodes", [node(fp) for fp in part], len(part) * self.per_record


def test_columnar_batch_is_written_in_chunks_on_the_writer_thread(make_writer):
    storage = RecordingStorage()
    writer = make_writer(storage, batch_size=100, queue_size=10, columnar_chunk_size=4)
    writer.write_node(node(100))
    batch = Columnar(range(10), weight=2)  # 30 records: more than the queue holds
    writer.write_columnar(batch)
    writer.write_node(node(101))
    assert writer.flush(timeout=5)
    assert batch.thread is not threading.current_thread()
    assert [r.fingerprint for r in storage.written("nodes")] == [100, *range(10), 101]
    assert [len(b) for k, b in storage.batches] == [1, 4, 4, 2, 1]
    stats = writer.get_stats()
    assert (stats["accepted"], stats["written"], stats["pending"]) == (32, 32, 0)
    assert_account(stats)


@pytest.mark.parametrize(
    "failure, fail_at, expect_written, expect_dropped",
    [
        pytest.param(lambda call: ValueError("bad record") if call == 2 else None, None,
                     [0, 1, 2, 3, 8, 9], {"rejected": 4}, id="one-chunk-rejected"),
        pytest.param(lambda call: TransientStorageError("503") if call == 2 else None, None,
                     list(range(10)), {}, id="transient-chunk-retried"),
        pytest.param(None, 4, [0, 1, 2, 3], {"rejected": 6}, id="materialising-fails"),
    ],
)
def test_columnar_failures_are_settled_per_chunk(make_writer, failure, fail_at, expect_written,
                                                 expect_dropped):
    storage = RecordingStorage(fail=failure)
    writer = make_writer(storage, columnar_chunk_size=4)
    writer.write_columnar(Columnar(range(10), per_record=1, fail_at=fail_at))
    writer.flush(timeout=5)
    assert [r.fingerprint for r in storage.written("nodes")] == expect_written
    stats = writer.get_stats()
    assert stats["dropped"] == expect_dropped
    assert stats["written"] == len(expect_written) and stats["pending"] == 0
    assert_account(stats)


def test_columnar_rest_is_dropped_when_stop_runs_out_of_time():
    gate = threading.Event()
    storage = RecordingStorage()
    writer = AsyncWriter(storage, WriterConfig(columnar_chunk_size=2, flush_interval=0.01))
    writer.start()
    writer.write_columnar(Columnar(range(10), per_record=1, gate=gate))
    writer.stop(timeout=0.3)
    gate.set()
    deadline = time.monotonic() + 5
    while writer.get_stats()["pending"] and time.monotonic() < deadline:
        time.sleep(0.01)
    stats = writer.get_stats()
    assert stats["written"] == 2 and stats["dropped"] == {"shutdown": 8}
    assert_account(stats)


def test_empty_columnar_batch_is_not_accounted(make_writer):
    writer = make_writer(RecordingStorage())
    writer.write_columnar(Columnar([]))
    assert writer.get_stats()["accepted"] == 0

"""Background batching writer between a tracker and a storage back-end.

The tracker hands records to :class:`AsyncWriter` on its own thread (node
write-through happens while the tracker holds its node lock), so every call
here must be quick and must never do I/O. One daemon thread drains the queue
in batches and talks to the storage.

Policy, in one place:

* **Queue bound.** At most ``queue_size`` records wait in memory. A write that
  does not fit waits up to ``put_timeout`` seconds for room (without holding
  any lock the writer thread needs), then is dropped whole and counted under
  ``dropped["queue_full"]``. A single batch larger than the whole queue is
  accepted only into an empty queue, so one big hand-off never starves.
* **Failures.** A storage error marked transient (connection errors, time-outs,
  HTTP 5xx, a locked database) is retried up to ``max_retries`` times with
  exponential back-off starting at ``retry_backoff`` seconds (capped at
  ``max_backoff``); then the batch is dropped under ``dropped["failed"]``. Any
  other error (HTTP 4xx, a malformed record) is not retried and the batch is
  dropped under ``dropped["rejected"]``.
* **Stop and exit.** :meth:`AsyncWriter.stop` drains what it can within
  ``stop_timeout`` seconds; whatever is still queued is dropped under
  ``dropped["shutdown"]``. At interpreter exit running writers are stopped
  with ``exit_timeout`` seconds in all, so a dead service can never hold the
  process for longer than that (the thread is a daemon besides).
* **Columnar batches.** :meth:`AsyncWriter.write_columnar` takes one object
  that stands for many records (a tracked operation over n rows) and is
  turned into records only on the writer thread, chunk by chunk. It counts
  its ``records`` in the account like any other hand-off, but takes only its
  ``weight`` (what it holds in memory itself) from the queue bound. It is
  written whole, never merged with other work, in chunks of at most
  ``columnar_chunk_size`` stored records (one storage call each: a per-row
  hand-off of a million values must not become ten thousand requests of
  ``batch_size``), each chunk retried on its own; if stop's
  time runs out between chunks, the rest is dropped under
  ``dropped["shutdown"]``.
* **Fork.** In a child process the parent's thread does not exist; the child
  gets fresh locks, drops the inherited queue under ``dropped["fork"]`` (the
  parent still owns and writes those records) and restarts its thread if the
  writer was running.

The account ``accepted == written + sum(dropped.values()) + pending`` holds at
every moment :meth:`AsyncWriter.get_stats` can observe.
"""

from __future__ import annotations

import atexit
import logging
import os
import threading
import time
import weakref
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable

logger = logging.getLogger(__name__)

__all__ = ["WriterConfig", "AsyncWriter", "TransientStorageError", "is_transient_error"]


class TransientStorageError(Exception):
    """A storage failure worth retrying (service unavailable, time-out, lock)."""


def is_transient_error(exc: BaseException) -> bool:
    """Whether a storage error may go away on its own and deserves a retry."""
    if isinstance(exc, (TransientStorageError, ConnectionError, TimeoutError)):
        return True
    # sqlite3 reports a busy/locked database as OperationalError.
    if type(exc).__name__ == "OperationalError" and "locked" in str(exc).lower():
        return True
    return bool(getattr(exc, "transient", False))


@dataclass
class WriterConfig:
    """Tuning of an :class:`AsyncWriter`.

    ``batch_size`` records are written per storage call; a partial batch is
    written after ``flush_interval`` seconds; at most ``queue_size`` records
    wait in memory. Columnar batches are written ``columnar_chunk_size``
    records per storage call.
    """

    batch_size: int = 100
    flush_interval: float = 1.0
    queue_size: int = 10000
    put_timeout: float = 1.0
    max_retries: int = 5
    retry_backoff: float = 0.1
    max_backoff: float = 5.0
    stop_timeout: float = 10.0
    exit_timeout: float = 5.0
    columnar_chunk_size: int = 5000

    def __post_init__(self) -> None:
        for name in ("batch_size", "queue_size", "columnar_chunk_size"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ValueError(f"{name} must be a positive integer, got {value!r}")
        for name in ("flush_interval", "put_timeout", "retry_backoff", "max_backoff",
                     "stop_timeout", "exit_timeout"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or value < 0:
                raise ValueError(f"{name} must be a non-negative number, got {value!r}")
            setattr(self, name, float(value))
        if isinstance(self.max_retries, bool) or not isinstance(self.max_retries, int) \
                or self.max_retries < 0:
            raise ValueError(f"max_retries must be a non-negative integer, got {self.max_retries!r}")


# Kinds of queued work, in the order a batch of mixed work is written: sources
# before the nodes that name them, nodes before the edges between them.
_SOURCE, _NODES, _EDGES, _VALUES = "sources", "nodes", "edges", "values"


_COLUMNAR = "columnar"


class _Item:
    __slots__ = ("kind", "records", "count", "weight")

    def __init__(self, kind: str, records: Any, count: int | None = None,
                 weight: int | None = None) -> None:
        self.kind = kind
        self.records = records
        # records in the account / room taken from the queue bound
        self.count = len(records) if count is None else count
        self.weight = self.count if weight is None else weight


_live_writers: "weakref.WeakSet[AsyncWriter]" = weakref.WeakSet()


class AsyncWriter:
    """Writes tracker records to a storage on one background thread."""

    def __init__(self, storage: Any, config: WriterConfig | None = None) -> None:
        if config is None:
            config = WriterConfig()
        if not isinstance(config, WriterConfig):
            raise TypeError(f"config must be a WriterConfig, got {type(config).__name__}")
        self._storage = storage
        self._config = config
        self._init_runtime_state()
        self._accepted = 0
        self._written = 0
        self._dropped: dict[str, int] = {}
        self._batches = 0
        self._retries = 0
        self._last_error: str | None = None
        self._running = False
        self._pid = os.getpid()
        _live_writers.add(self)

    def _init_runtime_state(self) -> None:
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._queue: deque[_Item] = deque()
        self._pending = 0          # records queued, not yet taken by the thread
        self._in_flight = 0        # records taken by the thread, not yet settled
        self._held = 0             # queue room taken by queued and in-flight items
        self._stopping = False
        self._flush_waiters = 0
        self._thread: threading.Thread | None = None

    # -- lifecycle -----------------------------------------------------------

    def start(self) -> None:
        """Start the background thread (a second call does nothing)."""
        with self._lock:
            if self._running:
                return
            self._running = True
            self._stopping = False
            self._thread = threading.Thread(
                target=self._run, name="corvane-writer", daemon=True)
            self._thread.start()

    def stop(self, timeout: float | None = None) -> None:
        """Write what can be written within ``timeout`` seconds, then stop.

        Records still queued afterwards are dropped (``dropped["shutdown"]``).
        Calling it twice, or on a writer never started, is harmless.
        """
        if timeout is None:
            timeout = self._config.stop_timeout
        with self._lock:
            if not self._running:
                self._drop_queued_locked("shutdown")
                return
            self._stopping = True
            self._changed.notify_all()
            thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(max(0.0, float(timeout)))
        with self._lock:
            self._running = False
            self._drop_queued_locked("shutdown")
            self._changed.notify_all()

    @property
    def running(self) -> bool:
        return self._running

    # -- hand-off from the tracker (never does I/O) --------------------------

    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool) -> None:
        self._put(_SOURCE, [(pair_id, table, column, bool(is_protected))])

    def write_node(self, node: Any) -> None:
        self._put(_NODES, [node])

    def write_nodes(self, nodes: list[Any]) -> None:
        self._put(_NODES, list(nodes))

    def write_edges(self, edges: list[Any]) -> None:
        self._put(_EDGES, list(edges))

    def write_row_values(self, values: list[Any]) -> None:
        self._put(_VALUES, list(values))

    def write_columnar(self, batch: Any) -> None:
        """Queue a columnar batch: many records in one object, built lazily.

        ``batch.records`` (int) is the number of records it stands for in the
        account; ``batch.weight`` (int, at least 1) the queue room it takes;
        ``batch.kind`` names it in logs; ``batch.chunks(size)`` is called on
        the writer thread and yields ``(kind, records, count)`` tuples: a
        list of at most ``size`` records for ``store_nodes`` ("nodes"),
        ``store_edges`` ("edges") or ``store_row_values`` ("values"), and how
        many of the batch's ``records`` the chunk settles (more than the
        list's length when the batch left out records that storage would
        have collapsed anyway). The counts of all chunks add up to
        ``records``.
        """
        count = int(batch.records)
        if count <= 0:
            return
        weight = max(1, int(getattr(batch, "weight", count)))
        self._enqueue(_Item(_COLUMNAR, batch, count, weight), str(getattr(batch, "kind", "columnar")))

    def _put(self, kind: str, records: list[Any]) -> None:
        if not records:
            return
        self._enqueue(_Item(kind, records), kind)

    def _enqueue(self, item: _Item, label: str) -> None:
        count = item.count
        deadline = time.monotonic() + self._config.put_timeout
        with self._lock:
            self._accepted += count
            while not self._fits_locked(item.weight):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not self._running or self._stopping:
                    self._count_drop_locked("queue_full", count)
                    logger.warning("Writer queue full: dropped %d %s record(s)", count, label)
                    return
                self._changed.wait(remaining)
            self._queue.append(item)
            self._pending += count
            self._held += item.weight
            if self._pending >= self._config.batch_size or item.kind == _COLUMNAR:
                self._changed.notify_all()

    def _fits_locked(self, weight: int) -> bool:
        if self._held == 0:
            return True
        return self._held + weight <= self._config.queue_size

    # -- waiting and statistics ----------------------------------------------

    def flush(self, timeout: float = 30.0) -> bool:
        """Wait until everything queued so far is written or dropped.

        Returns True when the queue drained within ``timeout`` seconds.
        """
        deadline = time.monotonic() + max(0.0, float(timeout))
        with self._lock:
            if not self._running:
                return self._pending == 0 and self._in_flight == 0
            self._flush_waiters += 1
            try:
                self._changed.notify_all()
                while self._pending or self._in_flight:
                    remaining = deadline - time.monotonic()
                    if remaining <= 0 or not self._running:
                        return False
                    self._changed.wait(remaining)
                return True
            finally:
                self._flush_waiters -= 1

    def get_stats(self) -> dict[str, Any]:
        """A consistent snapshot of the writer's account."""
        with self._lock:
            dropped = dict(self._dropped)
            return {
                "running": self._running,
                "accepted": self._accepted,
                "written": self._written,
                "pending": self._pending + self._in_flight,
                "dropped": dropped,
                "dropped_total": sum(dropped.values()),
                "batches": self._batches,
                "retries": self._retries,
                "last_error": self._last_error,
            }

    # -- the background thread -----------------------------------------------

    def _run(self) -> None:
        interval = self._config.flush_interval
        batch_size = self._config.batch_size
        with self._lock:
            oldest_wait_started = time.monotonic()
        while True:
            with self._lock:
                while True:
                    if self._stopping or self._flush_waiters or self._pending >= batch_size:
                        break
                    if self._pending:
                        remaining = oldest_wait_started + interval - time.monotonic()
                        if remaining <= 0:
                            break
                    else:
                        oldest_wait_started = time.monotonic()
                        remaining = interval
                    self._changed.wait(remaining)
                if self._stopping and not self._pending:
                    return
                batch = self._take_batch_locked()
                oldest_wait_started = time.monotonic()
            if batch is not None:
                self._write(batch)

    def _take_batch_locked(self) -> _Item | None:
        """Takes up to batch_size records of the kind at the queue's head."""
        if not self._queue:
            return None
        head = self._queue[0]
        limit = self._config.batch_size
        if head.kind == _COLUMNAR:
            taken = self._queue.popleft()
        elif len(head.records) > limit:
            taken = _Item(head.kind, head.records[:limit], weight=limit)
            head.records = head.records[limit:]
            head.count -= limit
            head.weight -= limit
        else:
            self._queue.popleft()
            taken = head
            while (self._queue and self._queue[0].kind == taken.kind
                   and len(taken.records) + len(self._queue[0].records) <= limit):
                nxt = self._queue.popleft()
                taken.records.extend(nxt.records)
                taken.count += nxt.count
                taken.weight += nxt.weight
        self._pending -= taken.count
        self._in_flight += taken.count
        return taken

    def _write(self, item: _Item) -> None:
        try:
            if item.kind == _COLUMNAR:
                self._write_columnar(item)
            else:
                self._write_records(item.kind, item.records, item.count)
        finally:
            with self._lock:
                self._held -= item.weight
                self._changed.notify_all()

    def _write_columnar(self, item: _Item) -> None:
        left = item.count
        label = str(getattr(item.records, "kind", "columnar"))
        try:
            for kind, records, count in item.records.chunks(self._config.columnar_chunk_size):
                if not self._running:
                    break  # stop's time ran out: the rest is dropped below
                count = min(int(count), left)
                left -= count
                self._write_records(kind, records, count)
        except Exception as exc:  # a batch that cannot be materialised is rejected, not raised
            message = f"{type(exc).__name__}: {exc}"
            logger.warning("Writer dropped %d %s record(s) (%s): %s", left, label, "rejected",
                           message)
            with self._lock:
                self._last_error = message
                self._in_flight -= left
                self._count_drop_locked("rejected", left)
            return
        if left:
            reason = "shutdown" if not self._running else "rejected"
            logger.warning("Writer dropped %d unwritten %s record(s) (%s)", left, label, reason)
            with self._lock:
                self._in_flight -= left
                self._count_drop_locked(reason, left)

    def _write_records(self, kind: str, records: list[Any], count: int) -> None:
        attempt = 0
        delay = self._config.retry_backoff
        while True:
            try:
                self._send(kind, records)
            except Exception as exc:  # storage errors of any kind are accounted, never raised
                transient = is_transient_error(exc)
                message = f"{type(exc).__name__}: {exc}"
                if transient and attempt < self._config.max_retries and not self._stopping:
                    attempt += 1
                    with self._lock:
                        self._retries += 1
                        self._last_error = message
                    time.sleep(delay)
                    delay = min(delay * 2, self._config.max_backoff)
                    continue
                reason = "failed" if transient else "rejected"
                logger.warning("Writer dropped %d %s record(s) (%s): %s",
                               count, kind, reason, message)
                with self._lock:
                    self._last_error = message
                    self._in_flight -= count
                    self._count_drop_locked(reason, count)
                    self._changed.notify_all()
                return
            with self._lock:
                self._in_flight -= count
                self._written += count
                self._batches += 1
                self._changed.notify_all()
            return

    def _send(self, kind: str, records: list[Any]) -> None:
        storage = self._storage
        if not records:
            return
        if kind == _NODES:
            storage.store_nodes(records)
        elif kind == _EDGES:
            storage.store_edges(records)
        elif kind == _VALUES:
            storage.store_row_values(records)
        else:
            register_many: Callable[..., Any] | None = getattr(storage, "register_sources", None)
            if register_many is not None:
                register_many(records)
            else:
                for pair_id, table, column, is_protected in records:
                    storage.register_source(pair_id, table, column, is_protected=is_protected)

    # -- bookkeeping ---------------------------------------------------------

    def _count_drop_locked(self, reason: str, count: int) -> None:
        self._dropped[reason] = self._dropped.get(reason, 0) + count

    def _drop_queued_locked(self, reason: str) -> None:
        if self._pending:
            self._count_drop_locked(reason, self._pending)
            logger.warning("Writer dropped %d unwritten record(s) (%s)", self._pending, reason)
        for item in self._queue:
            self._held -= item.weight
        self._queue.clear()
        self._pending = 0

    def _after_fork_in_child(self) -> None:
        # The parent's thread and lock holders do not exist here; the parent
        # keeps writing what it had queued, so the child's copy is let go.
        was_running = self._running
        lost = self._pending + self._in_flight
        self._init_runtime_state()
        if lost:
            self._count_drop_locked("fork", lost)
        self._running = False
        self._pid = os.getpid()
        if was_running:
            self.start()

    def __repr__(self) -> str:
        return (f"<AsyncWriter running={self._running} pending={self._pending + self._in_flight} "
                f"written={self._written}>")


def _reset_after_fork() -> None:
    for writer in list(_live_writers):
        writer._after_fork_in_child()


def _stop_all_at_exit() -> None:
    writers = [w for w in list(_live_writers) if w.running]
    if not writers:
        return
    budget = max(w._config.exit_timeout for w in writers)
    deadline = time.monotonic() + budget
    for writer in writers:
        writer.stop(timeout=max(0.0, deadline - time.monotonic()))


atexit.register(_stop_all_at_exit)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_reset_after_fork)

"""DAG-tracked `a + b` with persistence to a local reference service against the
same operation in memory-only mode, measured in the same run, and the time of
`flush` (bulk write, row values, dashboard report).

    PYTHONPATH=src python bench/bench_persistence.py [--rows 1000000] [--repeat 5]

The service runs in a subprocess of its own (its own interpreter, so its
request handling does not share our GIL), on a temporary database. Before
each timed operation the writer is drained, so the timing shows what the
operation itself costs the caller, not the background writing of the wrap's
source values.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from corvane.utilities.orvex32_dag import DAGTracker, wrap_dataframe_dag


def start_service(folder: str) -> tuple[subprocess.Popen, str, str]:
    key_file = os.path.join(folder, "key.txt")
    key = "bench-" + os.urandom(8).hex()
    with open(key_file, "w") as f:
        f.write(key)
    env = dict(os.environ)
    proc = subprocess.Popen(
        [sys.executable, "-m", "corvane.service", "--db", os.path.join(folder, "runs.db"), "--port", "0",
         "--api-key-file", key_file, "--quiet"],
        stdout=subprocess.PIPE, text=True, env=env)
    url = None
    assert proc.stdout is not None
    for line in proc.stdout:
        if "listening on" in line:
            url = line.strip().rsplit(" ", 1)[-1]
            break
    if url is None:
        proc.kill()
        raise SystemExit("reference service did not start")
    return proc, url, key


def frame(rows: int) -> pd.DataFrame:
    rng = np.random.default_rng(0)
    return pd.DataFrame({"a": rng.random(rows), "b": rng.random(rows)})


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def summary(name: str, values: list[float]) -> str:
    return (f"{name:<28} min {min(values) * 1e3:9.1f} ms   median {statistics.median(values) * 1e3:9.1f} ms"
            f"   max {max(values) * 1e3:9.1f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    df = frame(args.rows)
    with tempfile.TemporaryDirectory() as folder:
        proc, url, key = start_service(folder)
        try:
            memory, persisted, flushes, ratios = [], [], [], []
            for _ in range(args.repeat):
                tracker = DAGTracker()
                tdf = wrap_dataframe_dag(df, tracker, "bench")
                t_mem, _ = timed(lambda: tdf["a"] + tdf["b"])
                memory.append(t_mem)
                del tracker, tdf

                tracker = DAGTracker(api_key=key, service_url=url, pipeline_name="bench")
                tdf = wrap_dataframe_dag(df, tracker, "bench")
                tracker._writer.flush(timeout=600)  # the wrap's source values, written in the background
                t_per, _ = timed(lambda: tdf["a"] + tdf["b"])
                persisted.append(t_per)
                t_flush, _ = timed(lambda: tracker.flush(timeout=600))
                flushes.append(t_flush)
                stats = tracker.get_persistence_stats()
                assert stats["dropped_total"] == 0 and stats["pending"] == 0, stats
                tracker.disable_persistence()
                ratios.append(t_per / t_mem)
                del tracker, tdf
            print(f"DAG-tracked a + b over {args.rows:,} rows, {args.repeat} runs, service at {url}")
            print(summary("memory-only", memory))
            print(summary("with persistence", persisted))
            print(summary("flush (after the op)", flushes))
            print(f"{'ratio persistence/memory':<28} min {min(ratios):9.2f}      median "
                  f"{statistics.median(ratios):9.2f}      max {max(ratios):9.2f}      (goal <= 2)")
        finally:
            proc.terminate()
            proc.wait(timeout=30)


if __name__ == "__main__":
    main()

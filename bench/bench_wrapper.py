"""Benchmarks of corvane.wrapper, as ratios against plain baselines measured in the same run.

    PYTHONPATH=src python bench/bench_wrapper.py [--repeats N] [--quick]

1. ``_serialize`` of a 1M x 10 float64 DataFrame vs ``df.to_dict(orient="split")``
   (target: at most 1.2x).
2. ``_sync_prov`` of 10k rows x 20 columns against the local reference service, and
   against a loopback server that answers at once, vs ``json.dumps`` of the same
   request bodies plus the same number of POSTs to that instant server.

Every figure is the median of repeated runs; min/median/max of the ratios are printed.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
import threading
import time
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from corvane import wrapper  # noqa: E402


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def report(name: str, ratios: list[float], base: list[float], ours: list[float], target: float | None = None) -> None:
    line = (
        f"{name}: ratio min {min(ratios):.3f} / median {statistics.median(ratios):.3f} / max {max(ratios):.3f}"
        f"  (ours median {statistics.median(ours) * 1e3:.1f} ms, baseline median {statistics.median(base) * 1e3:.1f} ms)"
    )
    if target is not None:
        line += f"  target <= {target}x: {'ok' if statistics.median(ratios) <= target else 'MISSED'}"
    print(line, flush=True)


class InstantServer:
    """Loopback HTTP server that reads the body and answers {"pipeline_id": 1} at once."""

    def __init__(self) -> None:
        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, *args):
                pass

            def _answer(self):
                self.rfile.read(int(self.headers.get("Content-Length") or 0))
                payload = b'{"pipeline_id": 1}'
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

            do_POST = do_PATCH = _answer

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True).start()

    def stop(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()


def bench_serialize(repeats: int, rows: int) -> None:
    rng = np.random.default_rng(0)
    df = pd.DataFrame(rng.normal(size=(rows, 10)), columns=[f"c{i}" for i in range(10)])
    df.iloc[::97, 3] = np.nan
    base, ours, ratios = [], [], []
    for _ in range(repeats):
        b = timed(lambda: df.to_dict(orient="split"))
        o = timed(lambda: wrapper._serialize(df))
        base.append(b)
        ours.append(o)
        ratios.append(o / b)
    report(f"_serialize {rows:,} x 10 float64 vs to_dict(split)", ratios, base, ours, target=1.2)


def recorded_requests(X, y) -> list[tuple[str, str, object]]:
    calls: list[tuple[str, str, object]] = []
    post, patch = wrapper._post_json, wrapper._patch_json

    def record_post(url, api_key, payload, timeout=120):
        calls.append(("POST", url, payload))
        return {"pipeline_id": 1}

    def record_patch(url, api_key, payload, timeout=30):
        calls.append(("PATCH", url, payload))

    wrapper._post_json, wrapper._patch_json = record_post, record_patch
    try:
        wrapper._sync_prov(X, y, None, [], "bench", "1", "key", "http://127.0.0.1:1")
    finally:
        wrapper._post_json, wrapper._patch_json = post, patch
    return calls


def baseline_run(calls, server_url: str) -> None:
    """json.dumps of every body plus one POST of it to the instant server."""
    for method, url, payload in calls:
        body = json.dumps(payload).encode("utf-8")
        path = url.split("127.0.0.1:1", 1)[1]
        request = urllib.request.Request(server_url + path, data=body, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as response:
            response.read()


def bench_sync(repeats: int, rows: int, cols: int) -> None:
    from support.service import ReferenceService

    rng = np.random.default_rng(1)
    X = pd.DataFrame(rng.normal(size=(rows, cols)), columns=[f"f{i}" for i in range(cols)])
    y = rng.random(rows)
    calls = recorded_requests(X, y)
    print(f"_sync_prov {rows:,} rows x {cols} columns: {len(calls)} requests, "
          f"{sum(len(p) for m, u, p in calls if u.endswith('/v1/values')):,} value objects", flush=True)
    instant = InstantServer()
    try:
        base, ours_instant, ours_service = [], [], []
        with tempfile.TemporaryDirectory() as tmp:
            for i in range(repeats):
                base.append(timed(lambda: baseline_run(calls, instant.url)))
                ours_instant.append(timed(lambda: wrapper._sync_prov(X, y, None, [], "bench", "1", "key", instant.url)))
                with ReferenceService(Path(tmp) / f"bench-{i}.db") as svc:
                    ours_service.append(
                        timed(lambda: wrapper._sync_prov(X, y, None, [], "bench", "1", svc.api_key, svc.base_url))
                    )
                    assert svc.storage.get_pipeline(1)["counts"]["values"] == rows * (cols + 1)
    finally:
        instant.stop()
    report("_sync_prov -> instant server vs json.dumps + same requests",
           [o / b for o, b in zip(ours_instant, base)], base, ours_instant)
    report("_sync_prov -> reference service vs json.dumps + same requests to instant server",
           [o / b for o, b in zip(ours_service, base)], base, ours_service)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="smaller inputs, for a smoke run")
    args = parser.parse_args()
    print(f"corvane.wrapper benchmarks, JSON back-end: {'orjson' if hasattr(wrapper, '_orjson') else 'json'}")
    bench_serialize(args.repeats, 100_000 if args.quick else 1_000_000)
    bench_sync(args.repeats, 1_000 if args.quick else 10_000, 20)


if __name__ == "__main__":
    main()

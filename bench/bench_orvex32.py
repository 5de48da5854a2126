"""Tracked operations against the same work on plain pandas, in one run.

    PYTHONPATH=src python bench/bench_orvex32.py [--rows N] [--repeat R]

Each line prints the ratio tracked / plain as min, median and max over R
paired runs (the plain operation is timed right beside the tracked one).
Single calls take about a millisecond and a shared machine is noisy, so the
default takes many pairs; the median is the figure to read.
"""

import argparse
import statistics
import time

import numpy as np
import pandas as pd

from corvane.utilities.orvex32 import ProvenanceTracker, column_risk_report, wrap_dataframe


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def ratio_line(label, tracked, plain, repeat, target):
    tracked(), plain()  # warm-up
    ratios = []
    for _ in range(repeat):
        t = timed(tracked)
        p = timed(plain)
        ratios.append(t / p)
    med = statistics.median(ratios)
    flag = "ok" if med <= target else "OVER"
    print(f"{label:<44} min {min(ratios):5.2f}x  median {med:5.2f}x  max {max(ratios):5.2f}x"
          f"   (target <= {target}x: {flag})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=101)
    args = parser.parse_args()
    n, repeat = args.rows, args.repeat
    rng = np.random.default_rng(0)

    tracker = ProvenanceTracker()
    base = pd.DataFrame({"a": rng.random(n), "b": rng.random(n)})
    tracked = wrap_dataframe(base, tracker, "t", protected=["b"])
    ta, tb = tracked["a"], tracked["b"]
    pa, pb = base["a"], base["b"]
    ratio_line("a + b, both tracked (1M float64)", lambda: ta + tb, lambda: pa + pb, repeat, 1.5)
    ratio_line("a + plain b (fingerprints copied)", lambda: ta + pb, lambda: pa + pb, repeat, 1.2)

    wide = pd.DataFrame({f"c{i}": rng.random(n) for i in range(10)})
    wide_tracker = ProvenanceTracker()
    ratio_line(
        "wrap_dataframe 1M x 10 vs df.copy()",
        lambda: wrap_dataframe(wide, wide_tracker, "w", protected=["c3"]),
        lambda: wide.copy(),
        max(3, repeat // 3),
        3.0,
    )
    wrapped = wrap_dataframe(wide, wide_tracker, "w", protected=["c3"])
    wrapped["c4"] = wrapped["c3"] * wrapped["c4"]
    ratio_line("column_risk_report 1M x 10 vs df.sum()", lambda: column_risk_report(wrapped),
               lambda: wide.sum(), repeat, 2.0)


if __name__ == "__main__":
    main()

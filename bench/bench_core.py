"""Speed of the native ORVEX-32 batch kernels, as ratios to numpy.add.

For each size, times combine_batch (two single-pair source columns, whose
result is a two-pair fingerprint) and update_chain_batch against numpy.add of
two uint32 arrays of the same length, all measured in this run. Prints the
median ratio with the min and max over the repeats.

    PYTHONPATH=src python bench/bench_core.py [--repeat N]
"""

import argparse
import statistics
import time

import numpy as np

from corvane import _orvex32 as native


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--sizes", type=int, nargs="*", default=[1_000_000, 10_000_000])
    args = parser.parse_args()

    tracker = native.NativeProvenanceTracker()
    tracker.register("t", "x", False)
    tracker.register("t", "y", True)
    rng = np.random.default_rng(0)
    print(f"{'n':>10}  {'kernel':<20} {'median':>8} {'min':>8} {'max':>8}   (time / numpy.add)")
    for n in args.sizes:
        entities = rng.integers(0, 2**32, size=n, dtype=np.uint64)
        a = native.encode_source_column(tracker, 0, entities, False)
        b = native.encode_source_column(tracker, 1, entities >> 7, True)
        kernels = {
            "combine_batch": lambda: native.combine_batch(tracker, a, b, 4),
            "update_chain_batch": lambda: native.update_chain_batch(tracker, a, 5),
        }
        for fn in kernels.values():  # warm up page cache and allocator
            fn()
        np.add(a, b)
        # Interleave the baseline with each kernel so drift from other load
        # on the machine hits both sides of a ratio alike.
        for name, fn in kernels.items():
            ratios = []
            for _ in range(args.repeat):
                base = min(timed(lambda: np.add(a, b), 1)[0], timed(lambda: np.add(a, b), 1)[0])
                ratios.append(timed(fn, 1)[0] / base)
            print(f"{n:>10}  {name:<20} {statistics.median(ratios):8.2f} {min(ratios):8.2f} "
                  f"{max(ratios):8.2f}")


if __name__ == "__main__":
    main()

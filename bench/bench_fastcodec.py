"""fastcodec.dumps against calling orjson directly, measured in the same run.

Prints the per-round time ratio fastcodec.dumps / orjson.dumps(...).decode()
on a nested structure of about 100k elements (min/median/max over rounds).
Rounds interleave the two callers so that machine noise hits both alike.

    PYTHONPATH=src python bench/bench_fastcodec.py [--rounds N]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np
import orjson

from corvane.utilities import fastcodec


def count_elements(value) -> int:
    """Containers and leaves, each counted once."""
    if isinstance(value, dict):
        return 1 + sum(count_elements(v) for v in value.values())
    if isinstance(value, list):
        return 1 + sum(count_elements(v) for v in value)
    return 1


def nested_structure(n_records: int = 7_700) -> list[dict]:
    """A list of records with nested lists and dicts, 13 elements a record."""
    rng = np.random.default_rng(7)
    values = rng.normal(size=n_records)
    return [
        {
            "id": i,
            "name": f"row-{i}",
            "score": float(values[i]),
            "flag": bool(i % 2),
            "tags": ["a", "b", str(i % 13)],
            "pos": {"x": i * 0.5, "y": -i},
            "note": None,
        }
        for i in range(n_records)
    ]


def best_of(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--repeat", type=int, default=5, help="calls per timing, best kept")
    args = parser.parse_args(argv)

    if fastcodec.BACKEND != "orjson":
        print(f"fastcodec back-end is {fastcodec.BACKEND!r}; this benchmark needs orjson")
        return 1

    data = nested_structure()
    option = orjson.OPT_SERIALIZE_NUMPY
    ours = lambda: fastcodec.dumps(data)  # noqa: E731
    direct = lambda: orjson.dumps(data, option=option).decode()  # noqa: E731
    assert ours() == direct()

    ratios = []
    t_ours = []
    t_direct = []
    for r in range(args.rounds):
        # Alternate which caller goes first to cancel warm-cache bias.
        if r % 2:
            a = best_of(ours, args.repeat)
            b = best_of(direct, args.repeat)
        else:
            b = best_of(direct, args.repeat)
            a = best_of(ours, args.repeat)
        t_ours.append(a)
        t_direct.append(b)
        ratios.append(a / b)

    print(f"structure: {len(data)} records, {count_elements(data)} elements, "
          f"{len(direct())} chars of JSON")
    print(f"fastcodec.dumps          median {statistics.median(t_ours) * 1e3:8.3f} ms")
    print(f"orjson.dumps().decode()  median {statistics.median(t_direct) * 1e3:8.3f} ms")
    print(f"ratio fastcodec/orjson over {args.rounds} rounds: "
          f"min {min(ratios):.3f}  median {statistics.median(ratios):.3f}  "
          f"max {max(ratios):.3f}  (target <= 1.1)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

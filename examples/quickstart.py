"""corvane quickstart: trace a protected attribute through a credit-scoring feature.

Run with `python examples/quickstart.py` after `pip install .`.
"""

import pandas as pd

from corvane.utilities.orvex32 import (
    ProvenanceTracker,
    audit,
    column_risk_report,
    wrap_dataframe,
)

applicants = pd.DataFrame(
    {
        "income": [42_000.0, 58_000.0, 31_000.0, 77_000.0, 49_500.0],
        "debt": [12_000.0, 30_000.0, 4_000.0, 15_000.0, 22_000.0],
        "gender": [0, 1, 1, 0, 1],
        "age": [29, 41, 35, 52, 23],
    },
    index=pd.Index([101, 102, 103, 104, 105], name="applicant_id"),
)

tracker = ProvenanceTracker()
loans = wrap_dataframe(applicants, tracker, "applicants", protected=["gender"])

# Derived features: one is clean, one quietly leans on the protected column.
loans["debt_ratio"] = loans["debt"] / loans["income"]
loans["score"] = (1 - loans["debt_ratio"]) * 600 + loans["gender"] * 25
loans["score_capped"] = loans["score"].clip(300, 850)

print("Audit of 'score' (row 0):")
for key, value in audit(loans["score"]).items():
    print(f"  {key:<14} {value}")

print("\nColumn risk report:")
print(f"  {'column':<14} {'tainted':<8} {'max_risk':>8}  {'min_depth':>9}  level")
for row in column_risk_report(loans):
    depth = "-" if row["min_depth"] is None else row["min_depth"]
    print(
        f"  {row['column']:<14} {str(row['tainted']):<8} {row['max_risk']:>8.4f}"
        f"  {depth!s:>9}  {row['risk_level']}"
    )

print("\nDecoded fingerprints:")
for column in ("gender", "debt_ratio", "score_capped"):
    fingerprint = int(loans[column]._prov[0])
    info = tracker.explain_full(fingerprint)
    names = ", ".join(f"{t}.{c}" for t, c in info["pairs"])
    print(
        f"  {column:<13} {info['provenance_hex']}  {info['mode']:<8} depth={info['depth']}"
        f" taint={info['taint']!s:<5} risk={info['risk']:.3f}  from {names}"
    )

# The same features with a computation DAG: every row's value keeps its lineage.
from corvane.utilities.orvex32_dag import DAGTracker, dag_audit, get_dag_for_series, wrap_dataframe_dag

with DAGTracker(pipeline_name="credit-scoring") as dag_tracker:
    frame = wrap_dataframe_dag(applicants, dag_tracker, "applicants", protected=["gender"])
    ratio = frame["debt"] / frame["income"]
    score = (ratio * -600 + 600) + frame["gender"] * 25
    lineage = get_dag_for_series(score, row_index=2)
    summary = dag_audit(score, row_index=2)["dag"]
    print("\nLineage of score for applicant 103:")
    print(f"  nodes={summary['node_count']} depth={summary['depth']}"
          f" operations={summary['operation_counts']}")
    print(f"  protected sources: {summary['protected_sources']}")
    print(f"  column risks: {lineage.column_taint_risks()}")
    print("  DAG stats:", dag_tracker.dag_stats())
    print("\nGraphviz DOT of that lineage:")
    print(lineage.to_graphviz())

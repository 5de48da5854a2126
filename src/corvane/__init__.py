"""corvane: fairness and provenance auditing for pandas machine-learning pipelines.

The fingerprint core lives in :mod:`corvane.utilities.orvex32`, the computation
DAG in :mod:`corvane.utilities.orvex32_dag`; both are native extension modules.
"""

__version__ = "0.1.0"

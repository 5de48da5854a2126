"""Computation DAG on top of ORVEX-32 fingerprints."""

import json as json
import logging as logging
import threading as threading
from collections import deque as deque
from enum import Enum
from types import TracebackType
from typing import Any as Any
from typing import Callable, Iterable, Iterator
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Tuple, Type

import numpy as np
import numpy.typing as npt
import pandas as pd

from corvane.utilities.orvex32 import MAX_PAIRS as MAX_PAIRS
from corvane.utilities.orvex32 import MODE_01_CHAIN_BITS as MODE_01_CHAIN_BITS
from corvane.utilities.orvex32 import MODE_01_ENTITY_BITS as MODE_01_ENTITY_BITS
from corvane.utilities.orvex32 import OpCode as OpCode
from corvane.utilities.orvex32 import ProvenanceTracker as ProvenanceTracker
from corvane.utilities.orvex32 import TrackedDataFrame as TrackedDataFrame
from corvane.utilities.orvex32 import TrackedSeries as TrackedSeries
from corvane.utilities.orvex32 import _hash_entity as _hash_entity

logger: logging.Logger

class NodeType(Enum):
    """Types of nodes in the computation DAG."""

    SOURCE = 1
    CONSTANT = 2
    UNARY = 3
    BINARY = 4
    AGGREGATE = 5
    MERGE = 6
    FILTER = 7
    CUSTOM = 8

class DAGNode:
    node_id: int
    node_type: NodeType
    operation: str
    inputs: List[int]
    provenance: int
    metadata: Dict[str, Any]
    table: Optional[str]
    column: Optional[str]
    pair_id: Optional[int]
    is_protected: bool
    def __init__(
        self,
        node_id: int,
        node_type: NodeType,
        operation: str,
        inputs: List[int],
        provenance: int,
        metadata: Dict[str, Any] = ...,
        table: Optional[str] = None,
        column: Optional[str] = None,
        pair_id: Optional[int] = None,
        is_protected: bool = False,
    ) -> None: ...
    @property
    def is_source(self) -> bool: ...
    @property
    def is_leaf(self) -> bool: ...
    def to_dict(self) -> Dict[str, Any]: ...

class DAGEdge:
    source_id: int
    target_id: int
    input_index: int
    def __init__(self, source_id: int, target_id: int, input_index: int) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...

class ComputationDAG:
    root_id: int
    nodes: Dict[int, DAGNode]
    edges: List[DAGEdge]
    def __init__(self, root_id: int, nodes: Dict[int, DAGNode], edges: List[DAGEdge]) -> None: ...
    @property
    def depth(self) -> int: ...
    @property
    def source_nodes(self) -> List[DAGNode]: ...
    @property
    def protected_sources(self) -> List[DAGNode]: ...
    @property
    def has_protected(self) -> bool: ...
    @property
    def operation_counts(self) -> Dict[str, int]: ...
    def column_taint_risks(self) -> Dict[str, float]: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def to_json(self, indent: int = 2) -> str: ...
    def to_graphviz(self) -> str: ...

class _NodeTable:
    """The tracker's nodes (id to DAGNode, creation order), held natively."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[int]: ...
    def __contains__(self, key: object) -> bool: ...
    def __getitem__(self, key: int) -> DAGNode: ...
    def get(self, key: int, default: Any = None) -> Any: ...
    def keys(self) -> List[int]: ...
    def values(self) -> List[DAGNode]: ...
    def items(self) -> List[Tuple[int, DAGNode]]: ...
    def memory_bytes(self) -> int: ...

class _FingerprintIndex:
    """Fingerprint to the ids of the nodes carrying it; each lookup returns a new list."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[int]: ...
    def __contains__(self, key: object) -> bool: ...
    def __getitem__(self, key: int) -> List[int]: ...
    def get(self, key: int, default: Any = None) -> Any: ...
    def keys(self) -> List[int]: ...
    def values(self) -> List[List[int]]: ...
    def items(self) -> List[Tuple[int, List[int]]]: ...

class _RowValueBuffer:
    """Captured row values, oldest first; bounded by ``capacity`` (default
    1,000,000 records), the oldest beyond it dropped and counted in ``dropped``."""

    capacity: int
    @property
    def dropped(self) -> int: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __getitem__(self, index: int) -> Any: ...
    def copy(self) -> List[Any]: ...
    def append(self, record: Any) -> None: ...
    def clear(self) -> None: ...

class DAGTracker(ProvenanceTracker):
    """ORVEX-32 tracker with full computation DAG logging."""

    _dag_lock: threading.Lock
    _nodes: _NodeTable
    _next_node_id: int
    _value_buffer: _RowValueBuffer
    _value_buffer_lock: threading.Lock
    _value_flush_threshold: int
    _nodes_persisted: bool
    _max_nodes: int
    _prov_to_nodes: _FingerprintIndex
    _source_nodes: Dict[Tuple[str, str], int]
    _writer: Any
    _storage: Any
    _pipeline_id: Optional[int]
    _pipeline_name: Optional[str]
    _api_key: Optional[str]
    _tenant_id: Optional[str]
    _service_url: str
    _dashboard_synced: bool
    # set by the first bulk write or a new pipeline run; read with a default of 0
    _nodes_written: int
    _edges_written: int
    def __init__(
        self,
        api_key: Optional[str] = None,
        tenant_id: Optional[str] = None,
        service_url: str = "",
        pipeline_name: Optional[str] = None,
    ) -> None: ...
    def enable_persistence(self) -> None: ...
    def record_row_value(
        self,
        row_index: int,
        fingerprint: int,
        operation: str,
        value: Any = None,
        column_name: Optional[str] = None,
    ) -> None: ...
    def disable_persistence(self) -> None: ...
    def flush(self, timeout: float = 30.0) -> bool: ...
    def _sync_to_dashboard(self) -> None: ...
    def _persist_dag_to_storage(self) -> None: ...
    def get_persistence_stats(self) -> Optional[Dict[str, Any]]: ...
    def persist_to_storage(self, storage: Any, pipeline_id: Optional[int] = None) -> int: ...
    @staticmethod
    def persist_results(
        storage: Any,
        pipeline_id: int,
        row_keys: Iterable[Any],
        outputs: Dict[str, "DAGTrackedSeries"],
        source_df: Optional[pd.DataFrame] = None,
    ) -> None: ...
    def _create_node(
        self, node_type: NodeType, operation: str, inputs: List[int], provenance: int, **kwargs: Any
    ) -> int: ...
    def _evict_oldest_nodes(self) -> None: ...
    def __enter__(self) -> "DAGTracker": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> bool: ...
    def __del__(self) -> None: ...
    def _persist_node(self, node: DAGNode) -> None: ...
    def _start_new_pipeline(self) -> None: ...
    def create_source_node(self, table: str, column: str, provenance: int) -> int: ...
    def log_unary(
        self, op_name: str, input_node: int, result_prov: int, metadata: Optional[Dict[str, Any]] = None
    ) -> int: ...
    def log_binary(
        self,
        op_name: str,
        left_node: int,
        right_node: int,
        result_prov: int,
        metadata: Optional[Dict[str, Any]] = None,
    ) -> int: ...
    def log_merge(
        self,
        left_nodes: List[int],
        right_nodes: List[int],
        result_prov: int,
        merge_type: str = "inner",
        metadata: Optional[Dict[str, Any]] = None,
    ) -> int: ...
    def log_aggregate(
        self,
        op_name: str,
        input_nodes: List[int],
        result_prov: int,
        metadata: Optional[Dict[str, Any]] = None,
    ) -> int: ...
    def get_node(self, node_id: int) -> Optional[DAGNode]: ...
    def get_nodes_for_provenance(self, provenance: int) -> List[DAGNode]: ...
    def get_dag(self, root_node_id: int) -> ComputationDAG: ...
    def get_dag_for_provenance(self, provenance: int) -> Optional[ComputationDAG]: ...
    def dag_stats(self) -> Dict[str, Any]: ...

class DAGTrackedSeries(pd.Series):
    """Pandas Series with DAG-tracked provenance."""

    _metadata: List[str]
    _prov: npt.NDArray[np.uint32]
    _node_ids: npt.NDArray[np.int64]
    _tracker: Optional[DAGTracker]
    def __init__(
        self,
        *args: Any,
        _prov: Optional[npt.NDArray[np.uint32]] = None,
        _tracker: Optional[DAGTracker] = None,
        _node_ids: Optional[npt.NDArray[np.int64]] = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def _constructor(self) -> Type["DAGTrackedSeries"]: ...
    def _binop_dag(
        self, other: Any, np_op: Callable[[Any, Any], Any], op_name: str, op_code: int
    ) -> "DAGTrackedSeries": ...
    def _unop_dag(self, np_op: Callable[[Any], Any], op_name: str, op_code: int) -> "DAGTrackedSeries": ...
    def _apply_tracked_unary(
        self, result_values: Any, result_index: Any, op_name: str, op_code: int
    ) -> "DAGTrackedSeries": ...
    def __add__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __sub__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __mul__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __truediv__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __floordiv__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __pow__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __radd__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __rsub__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __rmul__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __rtruediv__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __gt__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __lt__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __ge__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __le__(self, other: Any) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def __neg__(self) -> "DAGTrackedSeries": ...
    def clip(self, lower: Any = None, upper: Any = None) -> "DAGTrackedSeries": ...  # type: ignore[override]
    def fillna(self, value: Any = 0, **kwargs: Any) -> Any: ...  # type: ignore[override]
    def replace(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[override]

class DAGTrackedDataFrame(pd.DataFrame):
    """Pandas DataFrame with DAG-tracked provenance."""

    _metadata: List[str]
    _tracker: Optional[DAGTracker]
    _col_prov: Dict[Any, npt.NDArray[np.uint32]]
    _col_nodes: Dict[Any, npt.NDArray[np.int64]]
    def __init__(
        self,
        *args: Any,
        _tracker: Optional[DAGTracker] = None,
        _col_prov: Optional[Dict[Any, npt.NDArray[np.uint32]]] = None,
        _col_nodes: Optional[Dict[Any, npt.NDArray[np.int64]]] = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def _constructor(self) -> Type["DAGTrackedDataFrame"]: ...
    @property
    def _constructor_sliced(self) -> Type[DAGTrackedSeries]: ...
    def __getitem__(self, key: Any) -> Any: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def merge(self, right: Any, *args: Any, **kwargs: Any) -> "DAGTrackedDataFrame": ...  # type: ignore[override]
    def _merge_col_provenance(
        self,
        col_prov: Dict[Any, npt.NDArray[np.uint32]],
        col_nodes: Dict[Any, npt.NDArray[np.int64]],
        result_columns: set,
        n: int,
        out_prov: Dict[Any, npt.NDArray[np.uint32]],
        out_nodes: Dict[Any, npt.NDArray[np.int64]],
    ) -> None: ...

def wrap_dataframe_dag(
    df: pd.DataFrame,
    tracker: DAGTracker,
    table: str,
    protected: Any = False,
    include_entity: bool = True,
) -> DAGTrackedDataFrame: ...
def get_dag_for_series(series: DAGTrackedSeries, row_index: int = 0) -> Optional[ComputationDAG]: ...
def combine_provenances(tracker: DAGTracker, node_ids: Iterable[int], op_code: Optional[int] = None) -> int: ...
def dag_audit(series: DAGTrackedSeries, row_index: int = 0) -> Dict[str, Any]: ...

"""ORVEX-32: 32-bit Provenance Encoding with Gradient Taint Model."""

import math as math
from typing import Any as Any
from typing import Callable
from typing import Dict as Dict
from typing import List as List
from typing import NamedTuple as NamedTuple
from typing import Optional as Optional
from typing import Set as Set
from typing import Tuple as Tuple

import numpy as np
import numpy.typing as npt
import pandas as pd

from corvane._orvex32 import NativeProvenanceTracker as NativeProvenanceTracker
from corvane._orvex32 import combine_batch as combine_batch
from corvane._orvex32 import encode_source_column as encode_source_column
from corvane._orvex32 import explain_batch as explain_batch
from corvane._orvex32 import is_tainted_batch as is_tainted_batch
from corvane._orvex32 import risk_score_batch as risk_score_batch
from corvane._orvex32 import update_chain_batch as update_chain_batch

MAX_PAIRS: int
MODE_01: int
MODE_2: int
MODE_3: int
MODE_DENSE: int
HEADER_BITS: int
PAYLOAD_BITS: int
MODE_SHIFT: int
TAINT_SHIFT: int
DEPTH_SHIFT: int
PAYLOAD_MASK: int
MODE_01_PAIR_BITS: int
MODE_01_ENTITY_BITS: int
MODE_01_CHAIN_BITS: int
MODE_2_PAIR_BITS: int
MODE_2_ENTITY_BITS: int
MODE_2_CHAIN_BITS: int
MODE_3_PAIR_BITS: int
MODE_DENSE_SIG_BITS: int
MAX_DEPTH: int

class OpCode:
    RAW: int
    ADD: int
    SUB: int
    MUL: int
    DIV: int
    NEG: int
    CLIP: int
    FILL: int
    MAP: int
    CMP: int
    MERGE: int
    AGG: int
    CUSTOM: int

class ProvenanceInfo(NamedTuple):
    pairs: Set[int]
    entity: int
    chain: int
    taint: bool
    depth: int
    mode: str

def _hash_entity(row_id: Any) -> int: ...

class ProvenanceTracker:
    _id_to_name: Dict[int, Tuple[str, str]]
    _name_to_id: Dict[Tuple[str, str], int]
    _next_id: int
    _dense: Dict[int, Dict[str, Any]]
    _protected_tables: Set[str]
    _protected_columns: Set[Tuple[str, str]]
    _native: NativeProvenanceTracker
    def __init__(self) -> None: ...
    def register(self, table: str, column: str, protected: bool = False) -> int: ...
    def register_table(self, table: str, columns: List[str], protected: bool = False) -> List[int]: ...
    def get_name(self, pair_id: int) -> Optional[Tuple[str, str]]: ...
    def get_id(self, table: str, column: str) -> Optional[int]: ...
    def is_protected(self, table: str, column: Optional[str] = None) -> bool: ...
    @staticmethod
    def read_header(provenance: int) -> Tuple[int, bool, int]: ...
    @staticmethod
    def is_tainted(provenance: int) -> bool: ...
    @staticmethod
    def get_depth(provenance: int) -> int: ...
    @staticmethod
    def risk_score(provenance: int) -> float: ...
    def encode(
        self, pairs: Set[int], entity: int = 0, chain: int = 0, taint: bool = False, depth: int = 0
    ) -> int: ...
    def decode(self, provenance: int) -> Set[int]: ...
    def decode_full(self, provenance: int) -> ProvenanceInfo: ...
    def get_mode(self, provenance: int) -> str: ...
    def combine(self, prov_a: int, prov_b: int, op: int = 1) -> int: ...
    def update_chain(self, provenance: int, op: int) -> int: ...
    def contains(self, provenance: int, pair_id: int) -> bool: ...
    def contains_table(self, provenance: int, table: str) -> bool: ...
    def entity_from_row(self, row_id: Any) -> int: ...
    def explain(self, provenance: int) -> List[Tuple[str, str]]: ...
    def explain_full(self, provenance: int) -> Dict[str, Any]: ...
    def explain_tables(self, provenance: int) -> List[str]: ...
    def has_protected(self, provenance: int) -> bool: ...
    def stats(self) -> Dict[str, Any]: ...

class TrackedSeries(pd.Series):
    _metadata: List[str]
    _prov: npt.NDArray[np.uint32]
    _tracker: Optional[ProvenanceTracker]
    def __init__(
        self,
        *args: Any,
        _prov: Optional[npt.NDArray[np.uint32]] = None,
        _tracker: Optional[ProvenanceTracker] = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def _constructor(self) -> type[TrackedSeries]: ...
    def _binop(self, other: Any, op: Callable[[Any, Any], Any], op_code: int = 1) -> TrackedSeries: ...
    def _unop(self, op: Callable[[Any], Any], op_code: int) -> TrackedSeries: ...
    def __add__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __sub__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __mul__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __truediv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __floordiv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __pow__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __radd__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __rsub__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __rmul__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __rtruediv__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __gt__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __lt__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __ge__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __le__(self, other: Any) -> TrackedSeries: ...  # type: ignore[override]
    def __neg__(self) -> TrackedSeries: ...
    def clip(self, lower: Any = None, upper: Any = None) -> TrackedSeries: ...  # type: ignore[override]
    def fillna(self, value: Any = 0, **kwargs: Any) -> Any: ...  # type: ignore[override]
    def map(self, arg: Any, **kwargs: Any) -> TrackedSeries: ...  # type: ignore[override]
    def replace(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[override]

class TrackedDataFrame(pd.DataFrame):
    _metadata: List[str]
    _tracker: Optional[ProvenanceTracker]
    _col_prov: Dict[Any, npt.NDArray[np.uint32]]
    def __init__(
        self,
        *args: Any,
        _tracker: Optional[ProvenanceTracker] = None,
        _col_prov: Optional[Dict[Any, npt.NDArray[np.uint32]]] = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def _constructor(self) -> type[TrackedDataFrame]: ...
    @property
    def _constructor_sliced(self) -> type[TrackedSeries]: ...  # type: ignore[override]
    def __getitem__(self, key: Any) -> Any: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def merge(self, right: Any, *args: Any, **kwargs: Any) -> TrackedDataFrame: ...  # type: ignore[override]

def wrap_dataframe(
    df: pd.DataFrame,
    tracker: ProvenanceTracker,
    table: str,
    protected: Any = False,
    include_entity: bool = True,
) -> TrackedDataFrame: ...
def audit(series: TrackedSeries) -> Dict[str, Any]: ...
def audit_series_diversity(series: TrackedSeries) -> Dict[str, Any]: ...
def provenance_entropy(series: TrackedSeries) -> float: ...
def column_risk_report(
    df: TrackedDataFrame, tracker: Optional[ProvenanceTracker] = None
) -> List[Dict[str, Any]]: ...

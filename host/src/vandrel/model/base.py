"""Generic bases of the host's models."""
from abc import ABC, ABCMeta, abstractmethod
from typing import Any, Dict, Generic, List, Optional, TypeVar

import pandas as pd

MetaType = TypeVar("MetaType")
NType = TypeVar("NType")


class Model(Generic[MetaType], metaclass=ABCMeta):
    """A model of one column, built from that column's metadata."""

    def __init__(self, meta: MetaType) -> None:
        self._meta = meta
        self._fitted = False

    @property
    def name(self) -> str:
        return self._meta.name  # type: ignore[attr-defined, no-any-return]

    @property
    def nan_freq(self) -> Optional[float]:
        return self._meta.nan_freq  # type: ignore[attr-defined, no-any-return]

    @property
    def fitted(self) -> bool:
        return self._fitted

    @abstractmethod
    def sample(self, n: int, produce_nans: bool = True, conditions: Optional[pd.DataFrame] = None,
               associations: Optional[List[Any]] = None) -> pd.DataFrame:
        """Sample n values of the column."""

    @classmethod
    @abstractmethod
    def from_dict(cls, d: Dict[str, object]) -> "Model[Any]":
        """Restore a model from its dictionary form."""

    def to_dict(self) -> Dict[str, object]:
        return {"meta": self._meta.to_dict()}  # type: ignore[attr-defined]


class DiscreteModel(Model[MetaType], Generic[MetaType, NType]):
    """A model of a column with discrete values of type NType."""


class ContinuousModel(Model[MetaType], Generic[MetaType]):
    """A model of a column with continuous values."""


class NonAssociationModel(ABC):
    """Marks a model that takes no part in associations between columns."""

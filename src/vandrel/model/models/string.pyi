# Type information for the native module vandrel.model.models.string.
# The annotations are those the module's members carry at run time.
from typing import Dict, List, Optional, Sequence

import pandas as pd

from vandrel.metadata.rules.association import Association
from vandrel.metadata.value import FormattedString, String
from vandrel.model.base import DiscreteModel, NonAssociationModel

class FormattedStringModel(DiscreteModel[FormattedString, str], NonAssociationModel):
    """A model to sample formatted strings from a regex pattern."""

    def __init__(self, meta: FormattedString) -> None: ...
    @property
    def categories(self) -> Sequence[str]: ...
    @property
    def pattern(self) -> str: ...
    def sample(
        self,
        n: int,
        produce_nans: bool = True,
        conditions: Optional[pd.DataFrame] = None,
        associations: Optional[List[Association]] = None,
    ) -> pd.DataFrame: ...
    @classmethod
    def from_dict(cls, d: Dict[str, object]) -> FormattedStringModel: ...

class SequentialFormattedString(DiscreteModel[String, str], NonAssociationModel):
    """A model to sample formatted sequential numeric identifiers with an optional suffix or prefix."""

    length: Optional[int]
    prefix: Optional[str]
    suffix: Optional[str]
    def __init__(
        self,
        meta: String,
        length: Optional[int] = None,
        prefix: Optional[str] = None,
        suffix: Optional[str] = None,
    ) -> None: ...
    @property
    def categories(self) -> Sequence[str]: ...
    def sample(
        self,
        n: int,
        produce_nans: bool = True,
        conditions: Optional[pd.DataFrame] = None,
        associations: Optional[List[Association]] = None,
    ) -> pd.DataFrame: ...
    @classmethod
    def from_dict(cls, d: Dict[str, object]) -> SequentialFormattedString: ...

"""Pure-Python counterparts of the two native string models, written only as the
baseline of bench/bench.py.

Each member takes the same steps as the native one, on the same host stand-in:
the exact-type tests of the typed parameters, the double read of
``self._meta.<attr>`` in the properties, ``super().__init__(meta=meta)``, the
``cast``/``Dict``/``Optional`` calls of ``from_dict`` and the column-wise
sampling. Nothing here is imported by the package itself.
"""
from typing import Dict, List, Optional, Sequence, cast

import numpy as np
import pandas as pd
import rstr

from vandrel.metadata.rules.association import Association
from vandrel.metadata.value import FormattedString, String
from vandrel.model.base import DiscreteModel, NonAssociationModel
from vandrel.model.exceptions import ModelNotFittedError

_TYPE_ERROR = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def _wrong_type(param: str, expected: str, value: object) -> TypeError:
    return TypeError(_TYPE_ERROR % (param, expected, type(value).__name__))


class FormattedStringModel(DiscreteModel[FormattedString, str], NonAssociationModel):
    """Pure-Python FormattedStringModel."""

    def __init__(self, meta: "FormattedString"):
        super().__init__(meta=meta)

    @property
    def categories(self) -> "Sequence[str]":
        if self._meta.categories is None:
            raise ModelNotFittedError
        return self._meta.categories

    @property
    def pattern(self) -> "str":
        if self._meta.pattern is None:
            raise ModelNotFittedError("FormattedStringModel doesn't have a pattern specified.")
        pattern = self._meta.pattern
        if pattern is not None and type(pattern) is not str:
            raise TypeError("Expected unicode, got %.200s" % type(pattern).__name__)
        return pattern

    def sample(self, n: "int", produce_nans: "bool" = True,
               conditions: "Optional[pd.DataFrame]" = None,
               associations: "Optional[List[Association]]" = None) -> "pd.DataFrame":
        if type(n) is not int:
            raise _wrong_type("n", "int", n)
        if associations is not None and type(associations) is not list:
            raise _wrong_type("associations", "list", associations)
        samples = pd.Series([rstr.xeger(self.pattern) for _ in range(n)], name=self.name)
        if produce_nans and self.nan_freq is not None and self.nan_freq > 0:
            is_nan = np.random.binomial(1, p=self.nan_freq, size=n) == 1
            samples[is_nan] = np.nan
        return samples.to_frame()

    @classmethod
    def from_dict(cls, d: "Dict[str, object]") -> "'FormattedStringModel'":
        if type(d) is not dict:
            raise _wrong_type("d", "dict", d)
        meta_dict = cast(Dict[str, object], d["meta"])
        meta = FormattedString.from_dict(meta_dict)
        model = cls(meta=meta)
        return model


class SequentialFormattedString(DiscreteModel[String, str], NonAssociationModel):
    """Pure-Python SequentialFormattedString."""

    def __init__(self, meta: "String", length: "Optional[int]" = None,
                 prefix: "Optional[str]" = None, suffix: "Optional[str]" = None):
        if length is not None and type(length) is not int:
            raise _wrong_type("length", "int", length)
        if prefix is not None and type(prefix) is not str:
            raise _wrong_type("prefix", "str", prefix)
        if suffix is not None and type(suffix) is not str:
            raise _wrong_type("suffix", "str", suffix)
        super().__init__(meta=meta)
        self.length = length
        self.prefix = prefix
        self.suffix = suffix

        if self._meta.nan_freq is not None:
            self._fitted = True

    @property
    def categories(self) -> "Sequence[str]":
        if self._meta.categories is None:
            raise ModelNotFittedError
        return self._meta.categories

    def sample(self, n: "int", produce_nans: "bool" = True,
               conditions: "Optional[pd.DataFrame]" = None,
               associations: "Optional[List[Association]]" = None) -> "pd.DataFrame":
        if type(n) is not int:
            raise _wrong_type("n", "int", n)
        if associations is not None and type(associations) is not list:
            raise _wrong_type("associations", "list", associations)
        samples = pd.Series(np.arange(0, n), name=self.name, dtype=str).str.zfill(self.length)

        if self.prefix is not None:
            samples = self.prefix + samples

        if self.suffix is not None:
            samples = samples + self.suffix

        if produce_nans and self.nan_freq is not None and self.nan_freq > 0:
            is_nan = np.random.binomial(1, p=self.nan_freq, size=n) == 1
            samples[is_nan] = np.nan

        return samples.to_frame()

    @classmethod
    def from_dict(cls, d: "Dict[str, object]") -> "'SequentialFormattedString'":
        if type(d) is not dict:
            raise _wrong_type("d", "dict", d)
        meta_dict = cast(Dict[str, object], d["meta"])
        meta = String.from_dict(meta_dict)
        model = cls(
            meta=meta,
            prefix=cast(Optional[str], d.get("prefix")),
            suffix=cast(Optional[str], d.get("suffix")),
            length=cast(Optional[int], d.get("length")),
        )
        return model

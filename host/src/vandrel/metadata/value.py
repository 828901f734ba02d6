"""Metadata of value columns: a name, an optional missing-value frequency
and, once known, the column's categories."""
from typing import Any, Dict, List, Optional


class String:
    """Metadata of a text column."""

    def __init__(
        self,
        name: str,
        nan_freq: Optional[float] = None,
        categories: Optional[List[str]] = None,
    ) -> None:
        self.name = name
        self.nan_freq = nan_freq
        self.categories = categories

    def to_dict(self) -> Dict[str, Any]:
        return {
            "class_name": type(self).__name__,
            "name": self.name,
            "nan_freq": self.nan_freq,
            "categories": self.categories,
        }

    @classmethod
    def from_dict(cls, d: Dict[str, Any]) -> "String":
        if not isinstance(d, dict):
            raise TypeError(f"{cls.__name__}.from_dict expects a dict, got {type(d).__name__}")
        kwargs = {k: v for k, v in d.items() if k != "class_name"}
        return cls(**kwargs)

    def __repr__(self) -> str:
        fields = ", ".join(f"{k}={v!r}" for k, v in self.to_dict().items() if k != "class_name")
        return f"{type(self).__name__}({fields})"


class FormattedString(String):
    """Metadata of a text column whose values follow a regular expression."""

    def __init__(
        self,
        name: str,
        nan_freq: Optional[float] = None,
        categories: Optional[List[str]] = None,
        pattern: Optional[str] = None,
    ) -> None:
        super().__init__(name, nan_freq=nan_freq, categories=categories)
        self.pattern = pattern

    def to_dict(self) -> Dict[str, Any]:
        d = super().to_dict()
        d["pattern"] = self.pattern
        return d

"""Associations between the values of two columns."""
from typing import Any, Dict


class Association:
    """A rule tying the values of one column to those of another."""

    def __init__(self, associations: Dict[Any, Any]) -> None:
        self.associations = associations

    def __repr__(self) -> str:
        return f"Association({self.associations!r})"

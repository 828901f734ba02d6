"""Exceptions raised by models."""


class ModelNotFittedError(Exception):
    """The model has not been fitted to data yet, so it cannot answer."""

"""Stand-ins shared by the model tests: counting metadata, a probe base class,
recording numpy/rstr replacements and objects whose operations fail."""
import types
from collections import Counter

import numpy as np

from vandrel.model.base import DiscreteModel


class Reads:
    """Successive values of an attribute: the last repeats, exceptions are raised."""

    def __init__(self, *values):
        self.values = list(values)

    def next(self):
        value = self.values.pop(0) if len(self.values) > 1 else self.values[0]
        if isinstance(value, BaseException):
            raise value
        return value


class Meta:
    """Metadata that counts every attribute read."""

    def __init__(self, name="code", nan_freq=None, categories=None, pattern="ab"):
        self.__dict__.update(reads=Counter(), _attrs=dict(
            name=name, nan_freq=nan_freq, categories=categories, pattern=pattern))

    def __getattr__(self, attr):
        if attr not in self._attrs:
            raise AttributeError(attr)
        self.reads[attr] += 1
        value = self._attrs[attr]
        return value.next() if isinstance(value, Reads) else value


class Probe(DiscreteModel):
    """Placed right after the model class in the MRO; records the base call."""

    calls, fail = [], None

    def __init__(self, *args, **kwargs):
        Probe.calls.append((args, kwargs))
        if Probe.fail is not None:
            raise Probe.fail
        super().__init__(*args, **kwargs)


class FakeNp:
    """Real numpy except for a binomial draw that is logged and may be forced."""

    def __init__(self, log, mask=None):
        self.log, self.mask = log, mask
        self.random = types.SimpleNamespace(binomial=self._binomial)

    def __getattr__(self, name):
        return getattr(np, name)

    def _binomial(self, *args, **kwargs):
        self.log.append(("binomial", args, list(kwargs.items())))
        return np.asarray(self.mask) if self.mask is not None else np.zeros(kwargs["size"], dtype=int)


class FakeRstr:
    def __init__(self, log):
        self.log = log

    def xeger(self, pattern):
        self.log.append(("xeger", pattern))
        return "v%d" % (len(self.log) - 1)


class Boom:
    """A flag or frequency whose truth test or comparison fails."""

    def __bool__(self):
        raise ArithmeticError("truth")

    def __gt__(self, other):
        raise ArithmeticError("compare")


class NanFails(FakeNp):
    @property
    def nan(self):
        raise ArithmeticError("nan")


class NoFrame:
    """Series replacement whose only failing step is to_frame."""

    def __init__(self, *args, **kwargs):
        self.str = types.SimpleNamespace(zfill=lambda width: self)

    def __add__(self, other):
        return self

    __radd__ = __add__

    def to_frame(self):
        raise ArithmeticError("frame")


def fail(message="fail", *args, **kwargs):
    raise ArithmeticError(message if isinstance(message, str) else "fail")


def rng_state():
    kind, keys, *rest = np.random.get_state()
    return kind, keys.tolist(), rest

"""The missing rows of both models: numpy's draw made from numpy's own generator
and the mask applied as the column is written must give what numpy's call and
`samples[is_nan] = np.nan` give. The oracle is the same call with
`np.random.binomial` wrapped (numpy's own method, no longer the one the module
recognises), so numpy draws and pandas assigns."""
import contextlib
import itertools
import random
import sys

import numpy as np
import pandas as pd
import pytest

from conftest import OPTIONS, arrow_type, entries, make_fmeta, make_smeta

pytestmark = pytest.mark.filterwarnings("ignore:The 'future.infer_string' option is deprecated")

HALF_DOWN, HALF_UP = np.nextafter(0.5, 0), np.nextafter(0.5, 1)
PS = [1e-12, 0.1, 0.5, HALF_DOWN, HALF_UP, 0.9, 1 - 2 ** -40, 1.0, np.float64(0.3), 1]
# around the generator's blocks of 624 words (two words a row)
NS = [0, 1, 7, 311, 312, 313, 624, 1000, 20000]
MODELS = {
    "ids": lambda mod, p: mod.SequentialFormattedString(make_smeta("k", p), 3, "ID-"),
    "regex": lambda mod, p: mod.FormattedStringModel(make_fmeta(r"[A-Z]{2}\d", "k", p)),
}


def column_form(frame):
    """What must agree beyond the values: dtype, item types and sizes, and the
    Arrow chunks byte for byte."""
    column = frame.iloc[:, 0]
    form = [str(column.dtype), getattr(column.dtype, "storage", None), frame.memory_usage(deep=True).tolist(),
            [(type(v), sys.getsizeof(v)) for v in column.array]]
    if arrow_type(column):
        form.append([[None if b is None else b.to_pybytes() for b in c.buffers()] + [c.offset, c.null_count]
                     for c in column.array.__arrow_array__().chunks])
    return form


def outcome(model, n, seed, skip, prepare):
    random.seed(seed)
    np.random.seed(seed)
    prepare()
    np.random.random_sample(skip)  # a generator position within its block
    try:
        frame = model.sample(n)
    except Exception as e:
        frame = ("error", type(e), e.args, entries(e))
    return frame, np.random.get_state(legacy=False), random.getstate()


def check_same(mod, monkeypatch, model, p, n, seed=3, skip=0, prepare=lambda: None):
    got = outcome(model, n, seed, skip, prepare)
    calls = []
    binomial = np.random.binomial

    def wrapped(*args, **kwargs):
        calls.append(kwargs)
        return binomial(*args, **kwargs)

    with monkeypatch.context() as m:
        m.setattr(np.random, "binomial", wrapped)
        expected = outcome(model, n, seed, skip, prepare)
    np.testing.assert_equal(got[1:], expected[1:])
    if type(expected[0]) is tuple:
        assert got[0] == expected[0]
        return None
    assert len(calls) == (float(p) > 0)  # the oracle drew with numpy (or the tests ended the step)
    pd.testing.assert_frame_equal(got[0], expected[0], check_exact=True)
    assert column_form(got[0]) == column_form(expected[0])
    return got[0]


@pytest.mark.parametrize("kind", MODELS)
@pytest.mark.parametrize("p", PS, ids=repr)
@pytest.mark.parametrize("n", NS)
def test_draw_as_numpy(mod, monkeypatch, kind, p, n):
    model = MODELS[kind](mod, p)
    for seed, skip in [(3, 0), (12345, 311), (2 ** 31, 623)][:3 if n < 1000 else 1]:
        frame = check_same(mod, monkeypatch, model, p, n, seed, skip)
    if n >= 1000 and 0.05 < float(p) < 0.95:  # the table reaches masked and unmasked rows
        assert 0 < frame["k"].isna().sum() < n


@pytest.mark.parametrize("options", OPTIONS, ids=str)
@pytest.mark.parametrize("kind", MODELS)
@pytest.mark.parametrize("p, n", [(0.1, 0), (0.1, 1), (0.3, 19), (0.5, 64), (0.9, 1001), (1.0, 9), (1, 40)])
def test_storage_as_pandas(mod, monkeypatch, options, kind, p, n):
    with pd.option_context(*itertools.chain.from_iterable(options)) if options else contextlib.nullcontext():
        check_same(mod, monkeypatch, MODELS[kind](mod, p), p, n, seed=n)


class SubState(np.random.RandomState):
    pass


def sub_binomial():
    return SubState(np.random.mtrand._rand._bit_generator).binomial  # drawing from the global state


def replaced_generator(m):
    """The global RandomState with its bit generator attribute replaced: numpy
    still draws from the one it took at creation, set here before each call."""
    drawn, state = np.random.mtrand._rand._bit_generator, np.random.mtrand._rand._bit_generator.state
    m.setattr(np.random.mtrand._rand, "_bit_generator", np.random.MT19937(5))
    return lambda: setattr(drawn, "state", state)


# p numpy rejects or converts, and generators the module does not draw from
# itself: the outcome (frame or numpy's error at the draw's line) is numpy's.
@pytest.mark.parametrize("kind", MODELS)
@pytest.mark.parametrize("p, setup", [
    (1.5, None), (-0.25, None), (float("inf"), None), (float("nan"), None), (1 + 2 ** -52, None), (np.float32(0.3), None),
    (np.float16(0.5), None), (True, None), (np.int64(1), None), (0.2, "sub"), (0.2, "generator"),
    (0.2, "partial")], ids=repr)
def test_other_draws_are_numpy(mod, monkeypatch, kind, p, setup):
    import functools

    prepare = lambda: None  # noqa: E731
    with monkeypatch.context() as m:
        if setup == "sub":
            m.setattr(np.random, "binomial", sub_binomial())
        elif setup == "generator":
            prepare = replaced_generator(m)
        elif setup == "partial":
            m.setattr(np.random, "binomial", functools.partial(np.random.binomial))
        check_same(mod, monkeypatch, MODELS[kind](mod, p), p, 50, prepare=prepare)


def test_held_lock_draws_with_numpy(mod, monkeypatch):
    """While another thread holds numpy's lock the draw waits in numpy's call."""
    import threading

    lock, started, release = np.random.mtrand._rand._bit_generator.lock, threading.Event(), threading.Event()

    def hold():
        with lock:
            started.set()
            release.wait()

    holder = threading.Thread(target=hold)
    holder.start()
    started.wait()
    result = []
    sampler = threading.Thread(target=lambda: result.append(MODELS["ids"](mod, 0.5).sample(30)))
    sampler.start()
    sampler.join(0.2)
    assert sampler.is_alive() and not result  # waiting on numpy's lock, not drawing past it
    release.set()
    holder.join()
    sampler.join()
    assert result[0].shape == (30, 1)

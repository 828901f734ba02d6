// numpy's legacy generator, for the missing rows' draw: whether a
// `np.random.binomial` is numpy's own method of a RandomState over numpy's
// own MT19937, and the draw of `binomial(1, p=p, size=n)` made from that
// generator's state as numpy makes it (mt/binomial.hpp).
#pragma once

#include <cstdint>
#include <vector>

#include "core/refs.hpp"

namespace vandrel {

// Makes the draw of `binomial(1, p=p, size=n)` into out[0 .. n) (1: the draw
// is 1) and returns true; returns false, with nothing drawn or touched, when
// the call must be numpy's own: `binomial` not numpy's method of an exact
// RandomState whose generator is an exact MT19937 of the checked layout,
// `p` not a float, numpy float64 or int that numpy takes as it is, in
// [0, 1], `n` negative or too large for numpy's array, or the generator's
// lock held. `n` is an exact int.
bool numpy_binomial_one(PyObject* binomial, PyObject* p, PyObject* n, std::vector<uint8_t>& out);

}  // namespace vandrel

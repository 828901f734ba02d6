// numpy's legacy binomial draw with one trial, `RandomState.binomial(1, p)`,
// from the state of its MT19937 bit generator, in plain C++ (no Python.h).
//
// Interface:
//  * `NumpyMT`: the layout of numpy's mt19937_state (random/src/mt19937/mt19937.h).
//  * `BinomialOne(p)`: the thresholds numpy's inversion algorithm computes for
//    n = 1 (legacy-distributions.c, legacy_random_binomial_inversion; p above
//    0.5 mirrored, as legacy_random_binomial_original does).
//  * `draw_binomial_one(state, b, count, out)`: `count` draws, out[i] = 1 where
//    the draw is 1, taking 53-bit doubles from the state as numpy's
//    mt19937_next_double does and leaving `pos` where numpy leaves it.
#pragma once

#include <cstdint>

#include "mt/mt19937.hpp"

namespace vandrel::mt {

struct NumpyMT {
    uint32_t key[MT_N];
    int pos;
};

struct BinomialOne {
    double qn = 0;          // (1 - p')^1 as exp(1 * log(1 - p')): a draw at or below it is 0
    double second = 0;      // the next step's bound, (1 * p' * qn) / (1 * (1 - p'))
    bool mirrored = false;  // p > 0.5: the draw is 1 - X for p' = 1 - p
    explicit BinomialOne(double p) noexcept;
};

void draw_binomial_one(NumpyMT* state, const BinomialOne& b, int64_t count, uint8_t* out) noexcept;

}  // namespace vandrel::mt

// See binomial.hpp.
#include "mt/binomial.hpp"

#include <algorithm>
#include <cmath>

namespace vandrel::mt {

BinomialOne::BinomialOne(double p) noexcept {
    // legacy_random_binomial_original: p <= 0.5 as it is, else 1 - p and n - X.
    double pp = p;
    if (!(p <= 0.5)) {
        pp = 1.0 - p;
        mirrored = true;
    }
    // legacy_random_binomial_inversion with n = 1 (an int64 in numpy's
    // arithmetic, 1.0 here): q, qn = exp(n * log(q)); the bound of X is
    // MIN(n, np + 10 sqrt(np q + 1)) = 1, so X = 2 starts the draw again.
    const double n = 1.0;
    const double q = 1.0 - pp;
    qn = std::exp(n * std::log(q));
    second = (n * pp * qn) / (n * q);
}

namespace {

inline double next_double(const uint32_t* tempered, int& i, NumpyMT* s, uint32_t* block) noexcept {
    if (i >= MT_N) {
        mt_refill(s->key, block);
        i = 0;
    }
    const uint32_t a = tempered[i] >> 5;
    ++i;
    if (i >= MT_N) {
        mt_refill(s->key, block);
        i = 0;
    }
    const uint32_t b = tempered[i] >> 6;
    ++i;
    return (static_cast<int32_t>(a) * 67108864.0 + static_cast<int32_t>(b)) / 9007199254740992.0;
}

}  // namespace

void draw_binomial_one(NumpyMT* s, const BinomialOne& b, int64_t count, uint8_t* out) noexcept {
    alignas(64) uint32_t block[MT_N];
    int i = s->pos;
    if (i < 0 || i > MT_N) i = MT_N;  // (numpy keeps 0..624)
    for (int k = i; k < MT_N; ++k) block[k] = mt_temper(s->key[k]);
    const double qn = b.qn, second = b.second;
    const uint8_t one = b.mirrored ? 0 : 1;
    // A draw is m / 2^53 for the 53-bit m = a 2^26 + b of two words (a, b
    // their top 27 and 26 bits). Where qn is k / 2^53 for an integer k in
    // [2^52, 2^53] (qn in [0.5, 1]), U > qn is m > k, and U - qn is exact
    // (Sterbenz), so U - qn <= second is m <= k + floor(second * 2^53) = t:
    // whole stretches of draws compared in 32-bit halves (a, b against those
    // of k and t), no branch a row.
    constexpr double kTwo53 = 9007199254740992.0;
    const double scaled = qn * kTwo53, bound2 = std::floor(second * kTwo53);
    const bool exact =
        qn >= 0.5 && qn <= 1.0 && std::floor(scaled) == scaled && bound2 >= 0 && bound2 < kTwo53;
    const auto k = static_cast<uint64_t>(exact ? scaled : 0);
    const uint64_t t = k + static_cast<uint64_t>(exact ? bound2 : 0);
    constexpr uint64_t kLow = (uint64_t{1} << 26) - 1;
    // (t at 2^53 - 1 or more: no draw is ever above it; 2^27 is above every a)
    const bool t_reachable = t < (uint64_t{1} << 53) - 1;
    const auto ka = static_cast<int32_t>(k >> 26), kb = static_cast<int32_t>(k & kLow);
    const auto ta = static_cast<int32_t>(t_reachable ? t >> 26 : uint64_t{1} << 27);
    const auto tb = static_cast<int32_t>(t_reachable ? t & kLow : 0);
    const int32_t want = b.mirrored ? 0 : 1;
    int64_t r = 0;
    while (r < count) {
        const int64_t pairs = exact ? std::min<int64_t>((MT_N - i) / 2, count - r) : 0;
        if (pairs > 0) {
            const uint32_t* __restrict w = block + i;
            uint8_t* __restrict o = out + r;
            int32_t redraw = 0;
            for (int64_t j = 0; j < pairs; ++j) {
                const auto a = static_cast<int32_t>(w[2 * j] >> 5);
                const auto c = static_cast<int32_t>(w[2 * j + 1] >> 6);
                const int32_t above = (a > ka) | ((a == ka) & (c > kb));
                redraw |= (a > ta) | ((a == ta) & (c > tb));
                o[j] = static_cast<uint8_t>(above == want);
            }
            if (redraw == 0) {
                i += static_cast<int>(2 * pairs);
                r += pairs;
                continue;
            }
            // A draw started again in this stretch: the rows from it row by row.
            int64_t j = 0;
            while (true) {
                const auto a = static_cast<int32_t>(w[2 * j] >> 5);
                const auto c = static_cast<int32_t>(w[2 * j + 1] >> 6);
                if ((a > ta) | ((a == ta) & (c > tb))) break;
                ++j;
            }
            i += static_cast<int>(2 * j);
            r += j;
        }
        // One row by the reference steps (across a refill, or started again).
        double u = next_double(block, i, s, block);
        uint8_t x = 0;
        while (u > qn) {
            if (u - qn <= second) {  // X = 1
                x = 1;
                break;
            }
            u = next_double(block, i, s, block);  // X = 2 > bound: X = 0, a new U
        }
        out[r++] = x == one ? 1 : 0;
    }
    s->pos = i;
}

}  // namespace vandrel::mt

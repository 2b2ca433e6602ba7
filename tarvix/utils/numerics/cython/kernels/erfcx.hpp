// The scaled complementary error function over arrays, with the same bits
// at every vector width.
//
//   out[i] = erfcx(in[i]) = exp(in[i]^2) erfc(in[i]),  in[count], out[count];
//   in and out may be the same array. O(count).
//
// With a = |x|, on erfc.hpp's polynomials:
//   a < 15/32:          exp(x^2) erfc(x), erfc(x) as erfc.hpp forms it there;
//   15/32 <= a <= 27.3: erfcx(a) = P(u) / (a + 4), u = alpha + beta/(a + 4),
//                       the same P without its factor exp(-a^2);
//   a > 27.3:           the asymptotic series
//                       erfcx(a) = (1 - w + 3 w^2 - 15 w^3 + ... - 13!! w^7) / (a sqrt(pi)),
//                       w = 1/(2 a^2), whose next term is below 1e-19 there;
//   x < 0:              erfcx(x) = 2 exp(x^2) - erfcx(a), +inf once exp(x^2)
//                       overflows (x < -26.64).
// exp(x^2) runs exp.hpp's steps on x^2 split exactly into hi + lo. NaN
// gives NaN, +inf 0, -inf +inf.
//
// Every lane runs the same operations in the same order, the ranges chosen
// by selects; a part no lane of a group needs is skipped. Cost: about 30
// vector operations a group of positive arguments beyond 15/32 (one
// division), twice that with negative or small ones. Accuracy: within a few
// ulp (measured in tests/test_erfcx.py).
#pragma once

#include "erfc.hpp"

#include <cstdint>

namespace kernels {

namespace erfcx_detail {

// exp(a^2) for a >= 0 (NaN for NaN), +inf where it overflows.
template <class V>
[[gnu::always_inline]] inline typename V::D exp_square(typename V::D a) noexcept {
    using D = typename V::D;
    // Past 27 the result is +inf either way; the clamp keeps the steps'
    // scale within the range where its wrapped exponent comes back below.
    const D clamped = V::select(V::greater(a, V::broadcast(27.0)), V::broadcast(27.0), a);
    const D hi = V::mul(clamped, clamped);
    const D lo = V::fma(clamped, clamped, V::sub(V::zero(), hi));  // a^2 - hi, exactly
    typename V::I scale_bits;
    const D tmp = exp_detail::exp_steps<V, true>(hi, lo, scale_bits);
    // The scale held 2^64 low stays a double up to 2^1087; scaling back by
    // an exact power of two overflows to +inf where exp(a^2) does.
    const D scale = V::from_bits(V::int_add(scale_bits, V::int_broadcast(-(std::int64_t{64} << 52))));
    return V::mul(V::fma(scale, tmp, scale), V::broadcast(0x1p64));
}

// erfcx(a) for 15/32 <= a <= 27.3 (a outside gives a finite value).
template <class V>
[[gnu::always_inline]] inline typename V::D middle(typename V::D a) noexcept {
    using D = typename V::D;
    using namespace erfc_detail;
    a = V::select(V::greater(a, V::broadcast(large_limit)), V::broadcast(large_limit), a);
    // 1/(a + k) as r + r_lo, as erfc.hpp forms it.
    const D kk = V::broadcast(k);
    const D s = V::add(a, kk);
    const D s_back = V::sub(s, a);
    const D e = V::add(V::sub(a, V::sub(s, s_back)), V::sub(kk, s_back));
    const D r = V::div(V::broadcast(1.0), s);
    const D rho = V::fnma(s, r, V::broadcast(1.0));
    const D r_lo = V::mul(r, V::fnma(e, r, rho));
    const D bb = V::broadcast(beta);
    const D u = V::fma(bb, r_lo, V::fma(bb, r, V::broadcast(alpha)));
    const D p = polynomial<V, 4>(large, u);
    return V::fma(p, r, V::mul(p, r_lo));
}

// erfcx(a) for a > 27.3 by its asymptotic series (0 at +inf).
template <class V>
[[gnu::always_inline]] inline typename V::D asymptotic(typename V::D a) noexcept {
    using D = typename V::D;
    constexpr double inverse_root_pi = 0.56418958354775628695;
    const D inverse = V::div(V::broadcast(1.0), a);
    const D w = V::mul(V::broadcast(0.5), V::mul(inverse, inverse));
    // 1 - w (1 - 3 w (1 - 5 w (... (1 - 13 w)))), innermost first.
    D s = V::broadcast(1.0);
    for (int odd = 13; odd >= 1; odd -= 2) {
        s = V::fnma(V::mul(V::broadcast(static_cast<double>(odd)), w), s, V::broadcast(1.0));
    }
    return V::mul(V::mul(s, inverse), V::broadcast(inverse_root_pi));
}

}  // namespace erfcx_detail

template <class V>
inline void erfcx_array(const double* in, double* out, index_t count) noexcept {
    using D = typename V::D;
    using M = typename V::M;
    using namespace erfcx_detail;
    for (index_t i = 0; i < count; i += V::width) {
        const bool whole = count - i >= V::width;
        const M lanes = V::first(count - i);
        const D x = whole ? V::load(in + i) : V::load_masked(in + i, lanes);
        const D a = V::abs(x);
        const M small = V::less(a, V::broadcast(erfc_detail::small_limit));
        const M far = V::greater(a, V::broadcast(erfc_detail::large_limit));
        const M negative = V::less(x, V::zero());
        const unsigned live = V::bits(lanes) & V::all_lanes;
        D result = V::zero();
        if ((V::bits(far) & live) != 0) result = asymptotic<V>(a);
        if ((~V::bits(V::either(far, small)) & live) != 0) result = V::select(far, result, middle<V>(a));
        if ((V::bits(V::either(small, negative)) & live) != 0) {
            const D e2 = exp_square<V>(a);
            result = V::select(negative, V::fma(V::broadcast(2.0), e2, V::sub(V::zero(), result)), result);
            if ((V::bits(small) & live) != 0) {
                result = V::select(small, V::mul(e2, erfc_detail::near_zero<V>(x)), result);
            }
        }
        if (whole) {
            V::store(out + i, result);
        } else {
            V::store_masked(out + i, lanes, result);
        }
    }
}

}  // namespace kernels

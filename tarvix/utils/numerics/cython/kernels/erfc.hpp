// erfc over arrays, with the same bits at every vector width.
//
//   out[i] = erfc(in[i]),  in[count], out[count]; in and out may be the
//   same array. O(count).
//
// With a = |x|:
//   a < 15/32:         erfc(x) = (1 - x) - x R(x^2)   (erf(x) = x (1 + R(x^2))),
//                      1 - x carried as an exact sum of two doubles;
//   15/32 <= a < 27.3: erfc(a) = exp(-a^2) P(u) / (a + 4), u = alpha + beta/(a + 4),
//                      erfc(-a) = 2 - erfc(a);
//   a >= 27.3:         erfc(a) rounds to 0 (a is clamped there), erfc(-a) to 2.
// R (degree 9) and P (degree 20) are fitted by
// tools/generate_erfc_coefficients.py. exp(-a^2) runs exp.hpp's steps on
// a^2 split exactly into hi + lo, with the scale held 2^64 high so that it
// stays a normal double where the result is subnormal. NaN gives NaN,
// +-inf give 0 and 2.
//
// Every lane runs the same operations in the same order, the ranges chosen
// by selects; a group wholly in one range (or wholly saturated at 0 or 2)
// runs that part only. Cost: about 15 vector operations a group near zero,
// 60 beyond (one division). Accuracy: within 3 ulp of the true erfc
// (measured in tests/test_erfc.py), the C library's own level.
#pragma once

#include "erfc_coefficients.hpp"
#include "exp.hpp"

#include <cstddef>
#include <cstdint>

namespace kernels {

namespace erfc_detail {

// c[0] + c[1] v + ... + c[n-1] v^(n-1): Horner's rule on the first `head`
// coefficients, where the sum is formed, and for the rest Horner's rule in
// v^2 on their even and odd terms (two chains, half the latency).
template <class V, std::size_t head, std::size_t n>
[[gnu::always_inline]] inline typename V::D polynomial(const double (&c)[n], typename V::D v) noexcept {
    static_assert(n >= head + 2);
    using D = typename V::D;
    const D v2 = V::mul(v, v);
    constexpr std::size_t last = n - 1;
    D top = V::broadcast(c[last]), next = V::broadcast(c[last - 1]);
    for (std::size_t j = last; j >= head + 2; --j) {
        const D step = V::fma(top, v2, V::broadcast(c[j - 2]));
        top = next;
        next = step;
    }
    D p = V::fma(top, v, next);  // c[head] + c[head + 1] v + ...
    for (std::size_t j = head; j-- > 0;) p = V::fma(p, v, V::broadcast(c[j]));
    return p;
}

// erfc(x) for |x| < small_limit.
template <class V>
[[gnu::always_inline]] inline typename V::D near_zero(typename V::D x) noexcept {
    using D = typename V::D;
    const D one = V::broadcast(1.0);
    const D r = polynomial<V, 2>(small, V::mul(x, x));
    const D head = V::sub(one, x);                 // 1 - x = head + tail exactly,
    const D tail = V::sub(V::sub(one, head), x);  // as |x| < 1
    return V::add(head, V::fnma(x, r, tail));
}

// erfc(x) for |x| >= small_limit (and any x: NaN gives NaN).
template <class V>
[[gnu::always_inline]] inline typename V::D beyond(typename V::D x) noexcept {
    using D = typename V::D;
    D a = V::abs(x);
    a = V::select(V::greater(a, V::broadcast(large_limit)), V::broadcast(large_limit), a);

    // 1/(a + k) as r + r_lo: a rounded 1/(a + k) loses a's low bits, which
    // P (through u) and the quotient would turn into ulps of the result.
    const D kk = V::broadcast(k);
    const D s = V::add(a, kk);
    const D s_back = V::sub(s, a);
    const D e = V::add(V::sub(a, V::sub(s, s_back)), V::sub(kk, s_back));  // a + k = s + e exactly
    const D r = V::div(V::broadcast(1.0), s);
    const D rho = V::fnma(s, r, V::broadcast(1.0));  // 1 - s r, exactly
    const D r_lo = V::mul(r, V::fnma(e, r, rho));
    const D bb = V::broadcast(beta);
    const D u = V::fma(bb, r_lo, V::fma(bb, r, V::broadcast(alpha)));
    const D p = polynomial<V, 4>(large, u);  // erfc(a) exp(a^2) (a + k)

    const D hi = V::mul(a, a);
    const D neg_lo = V::fnma(a, a, hi);  // hi - a^2, exactly
    typename V::I scale_bits;
    const D tmp = exp_detail::exp_steps<V, true>(V::sub(V::zero(), hi), neg_lo, scale_bits);
    const D scale = V::from_bits(V::int_add(scale_bits, V::int_broadcast(std::int64_t{64} << 52)));
    // p (r + r_lo) (1 + tmp) rounded once, then scaled.
    const D g = V::fma(p, r, V::mul(p, V::fma(r, tmp, r_lo)));
    const D y = V::mul(V::mul(scale, g), V::broadcast(0x1p-64));
    return V::select(V::less(x, V::zero()), V::sub(V::broadcast(2.0), y), y);
}

}  // namespace erfc_detail

template <class V>
inline void erfc_array(const double* in, double* out, index_t count) noexcept {
    using D = typename V::D;
    using M = typename V::M;
    using namespace erfc_detail;
    for (index_t i = 0; i < count; i += V::width) {
        const bool whole = count - i >= V::width;
        const M lanes = V::first(count - i);
        const M outside = V::inverse(lanes);
        const D x = whole ? V::load(in + i) : V::load_masked(in + i, lanes);
        const D a = V::abs(x);
        const M small_lanes = V::less(a, V::broadcast(small_limit));
        // Past these erfc rounds to 0, and 2 - erfc(a) to 2.
        const M saturated =
            V::either(V::greater_equal(x, V::broadcast(large_limit)), V::less_equal(x, V::broadcast(-6.0)));
        const unsigned small_bits = V::bits(V::either(small_lanes, outside)) & V::all_lanes;
        D result;
        if (small_bits == V::all_lanes) {
            result = near_zero<V>(x);
        } else if ((V::bits(V::either(saturated, outside)) & V::all_lanes) == V::all_lanes) {
            result = V::select(V::less(x, V::zero()), V::broadcast(2.0), V::zero());
        } else {
            result = beyond<V>(x);
            if ((V::bits(small_lanes) & V::bits(lanes)) != 0) result = V::select(small_lanes, near_zero<V>(x), result);
        }
        if (whole) {
            V::store(out + i, result);
        } else {
            V::store_masked(out + i, lanes, result);
        }
    }
}

}  // namespace kernels

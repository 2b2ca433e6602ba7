// exp over arrays with the bits of the C library's scalar exp.
//
//   out[i] = std::exp(in[i]),  in[count], out[count]; in and out may be the
//   same array. O(count).
//
// With vectors of more than one lane, the C library's own algorithm runs a
// vector at a time, provided it matches the library here: checked once per
// process and width against std::exp itself on inputs that reach every
// branch and every table entry. Otherwise, and at the generic level,
// std::exp runs per element.
#pragma once

#include "dispatch.hpp"
#include "exp_table.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace kernels {

namespace exp_detail {

// The C library's exp evaluates, for |x| < 512,
//   k = round(x * 128/ln2), r = x - k*ln2/128 (two fused steps),
//   exp(x) = 2^(k/128) * (1 + tail + r + r^2*(C2 + r*C3) + r^4*(C4 + r*C5)),
// with 2^(k/128) from a 128-entry table, fusing the steps written as fma
// below; the same operations in the same order give its bits (for tiny x,
// k = 0 and the steps give its 1 + x).
constexpr double inv_ln2_n = 0x1.71547652b82fep+7;
constexpr double neg_ln2_hi_n = -0x1.62e42fefa0000p-8;
constexpr double neg_ln2_lo_n = -0x1.cf79abc9e3b3ap-47;
constexpr double c2 = 0x1.ffffffffffdbdp-2;
constexpr double c3 = 0x1.555555555543cp-3;
constexpr double c4 = 0x1.55555cf172b91p-5;
constexpr double c5 = 0x1.1111167a4d017p-7;
constexpr double round_shift = 0x1.8p52;

// Those steps on x + low (|low| at most half an ulp of x, added to r):
// exp(x + low) = scale (1 + tmp), returning tmp and setting scale_bits to
// the bits of the scale, 2^(k/128) rounded. For |x| < 708 these are a
// normal double's; up to |x| = 1400 they are that double's with an
// exponent field that has wrapped, which a caller adding an offset to it
// keeps in range. Without low (with_low false) these are the library's own
// steps, and low is not read.
template <class V, bool with_low>
[[gnu::always_inline]] inline typename V::D exp_steps(typename V::D x, typename V::D low,
                                                      typename V::I& scale_bits) noexcept {
    using D = typename V::D;
    const auto* table = reinterpret_cast<const std::int64_t*>(exp_detail::table);
    const D z = V::fma(x, V::broadcast(inv_ln2_n), V::broadcast(round_shift));
    const auto ki = V::bits_of(z);
    const D kd = V::sub(z, V::broadcast(round_shift));
    D r = V::fma(kd, V::broadcast(neg_ln2_hi_n), x);
    r = V::fma(kd, V::broadcast(neg_ln2_lo_n), r);
    if constexpr (with_low) r = V::add(r, low);

    const auto index = V::template shift_left<1>(V::int_and(ki, V::int_broadcast(127)));
    const D tail = V::from_bits(V::gather(table, index));
    scale_bits = V::int_add(V::gather(table + 1, index), V::template shift_left<45>(ki));

    const D p23 = V::fma(r, V::broadcast(c3), V::broadcast(c2));
    const D tail_r = V::add(r, tail);
    const D r2 = V::mul(r, r);
    const D p45 = V::fma(r, V::broadcast(c5), V::broadcast(c4));
    const D tmp = V::fma(p23, r2, tail_r);
    return V::fma(V::mul(r2, r2), p45, tmp);
}

// The vector evaluation, V::width values a group; a ragged last group is
// read and written under a mask. Arguments below -746 give +0 (the exact
// value is under half the smallest subnormal, which every correctly working
// exp rounds to +0); large, infinite and NaN arguments, rare, take
// std::exp lane by lane.
template <class V>
[[gnu::always_inline]] inline void exp_vector(const double* in, double* out, index_t count) noexcept {
    using D = typename V::D;
    using M = typename V::M;
    for (index_t i = 0; i < count; i += V::width) {
        const bool whole = count - i >= V::width;
        const M lanes = V::first(count - i);
        const D x = whole ? V::load(in + i) : V::load_masked(in + i, lanes);
        const M underflows = V::less(x, V::broadcast(-746.0));
        // Far from a peak whole groups underflow.
        if ((V::bits(V::either(underflows, V::inverse(lanes))) & V::all_lanes) == V::all_lanes) {
            if (whole) {
                V::store(out + i, V::zero());
            } else {
                V::store_masked(out + i, lanes, V::zero());
            }
            continue;
        }
        const M in_range = V::less(V::abs(x), V::broadcast(512.0));

        typename V::I scale_bits;
        const D tmp = exp_steps<V, false>(x, V::zero(), scale_bits);
        const D scale = V::from_bits(scale_bits);
        D result = V::select(underflows, V::zero(), V::fma(scale, tmp, scale));

        M handled = V::either(V::either(in_range, underflows), V::inverse(lanes));
        if ((V::bits(handled) & V::all_lanes) != V::all_lanes) {
            // -1024 < x <= -512 with a normal result: the library keeps the
            // scale representable by rescaling it by 2^1022, unfused.
            const M large = V::both(V::greater(x, V::broadcast(-1024.0)), V::less_equal(x, V::broadcast(-512.0)));
            const D rescale = V::from_bits(V::int_add(scale_bits, V::int_broadcast(std::int64_t{1022} << 52)));
            const D rescaled = V::add(rescale, V::mul(rescale, tmp));
            const M large_normal = V::both(large, V::greater_equal(rescaled, V::broadcast(1.0)));
            result = V::select(large_normal, V::mul(rescaled, V::broadcast(0x1p-1022)), result);
            handled = V::either(handled, large_normal);
        }
        double saved[V::width];
        V::store(saved, x);  // `in` may be `out`
        if (whole) {
            V::store(out + i, result);
        } else {
            V::store_masked(out + i, lanes, result);
        }
        const unsigned unhandled = ~V::bits(handled) & V::all_lanes;
        if (unhandled != 0) {
            for (int lane = 0; lane < V::width; ++lane) {
                if (unhandled & (1u << lane)) out[i + lane] = std::exp(saved[lane]);
            }
        }
    }
}

// Whether exp_vector<V> gives std::exp's bits on inputs that exercise every
// branch of the library's exp and the table, at every ragged end.
template <class V>
[[gnu::always_inline]] inline bool vector_matches_library() noexcept {
    constexpr int sample_count = 4096;
    static double in[sample_count];
    static double vector_out[sample_count];
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    for (int i = 0; i < sample_count; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double unit = static_cast<double>(state >> 11) * 0x1p-53;
        switch (i % 4) {
            case 0: in[i] = -1100.0 + 1900.0 * unit; break;            // whole range, past both ends
            case 1: in[i] = -2.0 + 4.0 * unit; break;                  // near zero
            case 2: in[i] = std::ldexp(unit - 0.5, -(i % 70)); break;  // tiny values
            default: std::memcpy(&in[i], &state, sizeof state);        // any bits, NaN and inf included
        }
    }
    const double specials[] = {0.0, -0.0, 512.0, -512.0, 511.99999999999994, 709.782712893384, 709.79,
                               -708.3964185322641, -708.39641853226408, -708.4, -745.1332191019411,
                               -745.14, -745.9999999999999, -746.0, -746.0000000000001, -1e300, 0x1p-54,
                               -0x1p-54, 0x1.fffffffffffffp-55, INFINITY, -INFINITY, NAN};
    std::memcpy(in, specials, sizeof specials);

    // Counts of every remainder modulo the width, the whole batch last.
    for (index_t count = sample_count - V::width; count <= sample_count; ++count) {
        const index_t start = sample_count - count;
        exp_vector<V>(in + start, vector_out + start, count);
        for (index_t i = start; i < sample_count; ++i) {
            const double expected = std::exp(in[i]);
            if (std::isnan(expected) ? !std::isnan(vector_out[i])
                                     : std::memcmp(&expected, &vector_out[i], sizeof expected) != 0) {
                return false;
            }
        }
    }
    return true;
}

// vector_matches_library<V>(), worked out once per process (in its own
// entry point, compiled for V).
template <class V>
inline bool vector_path_usable() noexcept {
    static const bool usable = [] {
        bool matches = false;
        dispatch_detail::run_with<V>([&]<class>() { matches = vector_matches_library<V>(); });
        return matches;
    }();
    return usable;
}

}  // namespace exp_detail

template <class V>
[[gnu::always_inline]] inline void exp_array(const double* in, double* out, index_t count) noexcept {
    if constexpr (V::width > 1) {
        if (exp_detail::vector_path_usable<V>()) {
            exp_detail::exp_vector<V>(in, out, count);
            return;
        }
    }
    for (index_t i = 0; i < count; ++i) out[i] = std::exp(in[i]);
}

}  // namespace kernels

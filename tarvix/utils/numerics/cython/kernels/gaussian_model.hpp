// A sum of Gaussian peaks and its Jacobian with respect to the peak
// parameters, written once over the vector type V (simd.hpp) and over how
// the samples, the sums and the Jacobian are addressed (arrays.hpp): the
// same text is the generic, the AVX2 and the AVX-512 version, for strided
// and for contiguous arrays, all giving the same bits. (Where two different
// NaNs meet in one product, which of them comes out is the instruction's
// choice by operand position, so the sign of such a NaN may differ.) Run
// through kernels::dispatch.
//
// params holds one (amplitude A, centre mu, variance) triple per peak; the
// kernels read the first n_gauss of them.
//
// Every lambda here that handles vectors is always_inline: GCC compiles a
// lambda first on its own, outside the dispatch entry point and without its
// instruction set, and would otherwise leave the vector operations in it as
// calls.
#pragma once

#include "arrays.hpp"
#include "exp.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace kernels {

// a / b rounded to nearest, for many a and one b. Division instructions are
// slow, so q = a * (1/b) is corrected once by the remainder a - b*q, fused
// (Markstein's correction), which with 1/b rounded to nearest gives the
// rounded quotient for nearly all a. Each q is then checked: q is the rounded
// quotient when it is not a power of two and |a - b*q| < |b| * ulp(q)/2,
// i.e. a/b lies within half an ulp of q. The remainder is formed with one
// rounding, which cannot bring a larger remainder under the (exact) bound,
// so the check never passes a wrong q; lanes that fail it, and every b too
// small or too large for exact bounds, are divided, except that a zero a
// takes a * (1/b), which is its quotient, sign included. One lane (the
// generic level, without fused multiply-add instructions) simply divides.
template <class V>
struct ExactDivisor {
    using D = typename V::D;
    using M = typename V::M;

    double divisor;
    double reciprocal;
    double half_ulp_scale;  // |b| * 2^-53: times 2^E it is |b| * ulp(q)/2 for q in [2^E, 2^(E+1))
    bool usable;

    explicit ExactDivisor(double b) noexcept
        : divisor(b),
          reciprocal(1.0 / b),
          half_ulp_scale(std::fabs(b) * 0x1p-53),
          usable(std::fabs(b) >= 0x1p-968 && std::fabs(b) <= 0x1p1000) {}

    [[gnu::always_inline]] inline D divide(const D& a) const noexcept {
        const D b = V::broadcast(divisor);
        if constexpr (V::width == 1) {
            return V::div(a, b);
        } else {
            if (!usable) return V::div(a, b);
            const D y = V::broadcast(reciprocal);
            const D first = V::mul(a, y);
            const D q = V::fma(V::fnma(first, b, a), y, first);
            const D remainder = V::fnma(q, b, a);
            const auto q_bits = V::bits_of(q);
            // 2^E for a normal q (0 for subnormal, inf for inf and NaN).
            const D power =
                V::from_bits(V::int_and(q_bits, V::int_broadcast(0x7ff0000000000000ll)));
            const D bound = V::mul(power, V::broadcast(half_ulp_scale));
            const auto fraction = V::int_and(q_bits, V::int_broadcast(0x000fffffffffffffll));
            const M not_power_of_two = V::inverse(V::int_equal(fraction, V::int_broadcast(0)));
            // A bound from 2^-1021 up is a normal product, hence exact.
            const M rounded = V::both(V::both(V::less(V::abs(remainder), bound),
                                              V::greater_equal(bound, V::broadcast(0x1p-1021))),
                                      not_power_of_two);
            if ((V::bits(rounded) & V::all_lanes) == V::all_lanes) return q;
            // A zero a fails the check (its bound is 0).
            const M zero = V::equal(a, V::zero());
            const D exact = V::select(zero, first, q);
            const M settled = V::either(rounded, zero);
            if ((V::bits(settled) & V::all_lanes) == V::all_lanes) return exact;
            return V::select(settled, exact, V::div(a, b));
        }
    }
};

namespace gaussian_detail {

// Samples are taken in blocks that fit on the stack; each peak's
// exponentials are evaluated over a whole block by exp_array.
inline constexpr index_t block_size = 512;

// A two-dimensional array whose rows lie anywhere (a byte stride apart) but
// whose entries within a row are adjacent.
template <class T>
struct UnitRows {
    char* data = nullptr;
    index_t row_stride = 0;
    T& operator()(index_t i, index_t j) const noexcept {
        return reinterpret_cast<T*>(data + i * row_stride)[j];
    }
};

// The samples x[start .. start+size) as adjacent doubles: in place when x
// is contiguous, else gathered into `copy`.
[[gnu::always_inline]] inline const double* adjacent(Unit<const double> x, index_t start, index_t,
                                                     double*) noexcept {
    return x.data + start;
}
[[gnu::always_inline]] inline const double* adjacent(Strided1<const double> x, index_t start, index_t size,
                                                     double* copy) noexcept {
    for (index_t t = 0; t < size; ++t) copy[t] = x[start + t];
    return copy;
}

// Where the sums y[start .. start+size) build up: in y itself when it is
// contiguous, else in `copy`, filled from y and written back by
// `put_back`.
[[gnu::always_inline]] inline double* take_out(Unit<double> y, index_t start, index_t, double*) noexcept {
    return y.data + start;
}
[[gnu::always_inline]] inline double* take_out(Strided1<double> y, index_t start, index_t size,
                                               double* copy) noexcept {
    for (index_t t = 0; t < size; ++t) copy[t] = y[start + t];
    return copy;
}
[[gnu::always_inline]] inline void put_back(Unit<double>, index_t, index_t, const double*) noexcept {}
[[gnu::always_inline]] inline void put_back(Strided1<double> y, index_t start, index_t size,
                                            const double* sums) noexcept {
    for (index_t t = 0; t < size; ++t) y[start + t] = sums[t];
}

// Calls body(accessor) with a Unit accessor when `a` is contiguous, else
// with `a` itself: one instantiation of the body for each addressing.
template <class T, class Body>
[[gnu::always_inline]] inline void addressed(Strided1<T> a, Body&& body) {
    if (a.unit_stride()) {
        body(Unit<T>{a.pointer()});
    } else {
        body(a);
    }
}

template <class T, class Body>
[[gnu::always_inline]] inline void addressed(Strided2<T> a, Body&& body) {
    if (a.column_stride == index_t{sizeof(T)}) {
        body(UnitRows<T>{a.data, a.row_stride});
    } else {
        body(a);
    }
}

// Runs body(start, size, samples) over consecutive blocks of at most
// `length` (<= block_size) of the m samples, `samples` pointing at the
// block's samples, adjacent.
template <class X, class Body>
[[gnu::always_inline]] inline void for_each_block(X x, index_t m, index_t length, Body&& body) {
    alignas(64) double copy[block_size];
    for (index_t start = 0; start < m; start += length) {
        const index_t size = std::min(length, m - start);
        body(start, size, adjacent(x, start, size, copy));
    }
}

// Runs body(t, count) over the groups of V::width lanes of a block of
// `size`: whole groups (count == V::width), then a ragged last one.
template <class V, class Body>
[[gnu::always_inline]] inline void for_each_group(index_t size, Body&& body) {
    index_t t = 0;
    for (; t + V::width <= size; t += V::width) body(t, index_t{V::width});
    if (t < size) body(t, size - t);
}

// The first `count` lanes at p; a ragged group is read and written under a
// mask, whole groups with plain loads and stores (a masked store is not
// forwarded to later loads).
template <class V>
[[gnu::always_inline]] inline typename V::D load_group(const double* p, index_t count) noexcept {
    return count >= V::width ? V::load(p) : V::load_masked(p, V::first(count));
}

template <class V>
[[gnu::always_inline]] inline void store_group(double* p, index_t count,
                                               const typename V::D& value) noexcept {
    if (count >= V::width) {
        V::store(p, value);
    } else {
        V::store_masked(p, V::first(count), value);
    }
}

// e[t] = exp(((-0.5*dx)*dx) / variance), dx = samples[t] - mu, for t < size.
template <class V>
[[gnu::always_inline]] inline void exponentials(const double* samples, index_t size, double mu,
                                                const ExactDivisor<V>& by_variance, double* e) noexcept {
    for_each_group<V>(size, [&](index_t t, index_t count) KERNELS_INLINE {
        const auto dx = V::sub(load_group<V>(samples + t, count), V::broadcast(mu));
        const auto exponent = V::mul(V::mul(V::broadcast(-0.5), dx), dx);
        store_group<V>(e + t, count, by_variance.divide(exponent));
    });
    exp_array<V>(e, e, size);
}

// The Jacobian's rows of one block are written once per peak: blocks are cut
// so that those rows stay in the first-level cache (about 16 KiB of them).
inline index_t jacobian_block_length(const Strided2<double>& jacobian) noexcept {
    const index_t row_bytes = std::max<index_t>(
        1, std::max(std::abs(jacobian.row_stride), jacobian.columns * std::abs(jacobian.column_stride)));
    return std::clamp<index_t>((16384 / row_bytes) / 8 * 8, 8, block_size);
}

}  // namespace gaussian_detail

/*
 * Adds a sum of Gaussian peaks to y:
 *
 *   y[j] = fma(A_{n-1}, e_{n-1}, ... fma(A_1, e_1, fma(A_0, e_0, y[j])) ...)
 *   e_k  = exp(((-0.5*dx)*dx) / var_k),  dx = x[j] - mu_k,
 *
 * the peaks added in parameter order, each with one fused multiply-add
 * (with y zero on entry, y[j] = sum_k A_k exp(-(x[j]-mu_k)^2 / (2 var_k))).
 *
 * Input arguments:
 *   X x[m]                  - the samples (Unit or Strided1 of const double)
 *   index_t m               - number of samples
 *   Strided1 params[3*n]    - (A_k, mu_k, var_k) for k < n
 *   index_t n               - number of peaks
 * Input/output arguments:
 *   Y y[m]                  - the sums (Unit or Strided1 of double)
 *
 * Notes:
 *   y does not overlap x or params. Quotients are correctly rounded
 *   (ExactDivisor), exponentials are the C library's exp, so the bits do
 *   not depend on V or on the addressing.
 *
 * Cost: O(m * n) exponentials; no allocation.
 */
template <class V, class X, class Y>
[[gnu::always_inline]] inline void gaussian_model_blocks(X x, index_t m, Strided1<const double> params,
                                                         index_t n, Y y) noexcept {
    using namespace gaussian_detail;
    for_each_block(x, m, block_size, [&](index_t start, index_t size, const double* samples) KERNELS_INLINE {
        alignas(64) double copy[block_size];
        alignas(64) double e[block_size];
        double* sums = take_out(y, start, size, copy);
        for (index_t k = 0; k < n; ++k) {
            const auto amplitude = V::broadcast(params[3 * k]);
            exponentials<V>(samples, size, params[3 * k + 1], ExactDivisor<V>(params[3 * k + 2]), e);
            for_each_group<V>(size, [&](index_t t, index_t count) KERNELS_INLINE {
                store_group<V>(sums + t, count,
                               V::fma(amplitude, load_group<V>(e + t, count),
                                      load_group<V>(sums + t, count)));
            });
        }
        put_back(y, start, size, sums);
    });
}

/*
 * The Jacobian of the sum of Gaussian peaks with respect to the parameters:
 *
 *   J[j, 3k]   = e
 *   J[j, 3k+1] = ((A_k*e)*dx) / var_k
 *   J[j, 3k+2] = (((A_k*e)*dx)*dx) / ((2*var_k)*var_k)
 *   e = exp(((-0.5*dx)*dx) / var_k),  dx = x[j] - mu_k,
 *
 * in plain arithmetic (no fused multiply-add).
 *
 * Input arguments:
 *   X x[m]                  - the samples (Unit or Strided1 of const double)
 *   index_t m               - number of samples
 *   Strided1 params[3*n]    - (A_k, mu_k, var_k) for k < n
 *   index_t n               - number of peaks
 *   index_t length          - samples per block, a multiple of 8 in
 *                             [8, 512] (jacobian_block_length)
 * Output arguments:
 *   J jacobian[m, >= 3n]    - (UnitRows or Strided2 of double); columns
 *                             from 3n on are left as they are
 *
 * Notes:
 *   jacobian does not overlap x or params. Bits as in gaussian_model_blocks:
 *   independent of V, the addressing and the block length.
 *
 * Cost: O(m * n) exponentials and 3*m*n entries written; no allocation.
 */
template <class V, class X, class J>
[[gnu::always_inline]] inline void gaussian_jacobian_blocks(X x, index_t m, Strided1<const double> params,
                                                            index_t n, index_t length, J jacobian) noexcept {
    using namespace gaussian_detail;
    for_each_block(x, m, length, [&](index_t start, index_t size, const double* samples) KERNELS_INLINE {
        alignas(64) double e[block_size];
        for (index_t k = 0; k < n; ++k) {
            const double variance = params[3 * k + 2];
            const ExactDivisor<V> by_variance(variance);
            const ExactDivisor<V> by_twice_square((2.0 * variance) * variance);
            const auto amplitude = V::broadcast(params[3 * k]);
            const auto mu = V::broadcast(params[3 * k + 1]);
            exponentials<V>(samples, size, params[3 * k + 1], by_variance, e);
            for_each_group<V>(size, [&](index_t t, index_t count) KERNELS_INLINE {
                const auto dx = V::sub(load_group<V>(samples + t, count), mu);
                const auto scaled_dx = V::mul(V::mul(amplitude, load_group<V>(e + t, count)), dx);
                alignas(64) double d_mu[V::width];
                alignas(64) double d_variance[V::width];
                V::store(d_mu, by_variance.divide(scaled_dx));
                V::store(d_variance, by_twice_square.divide(V::mul(scaled_dx, dx)));
                for (index_t lane = 0; lane < count; ++lane) {
                    const index_t j = start + t + lane;
                    jacobian(j, 3 * k) = e[t + lane];
                    jacobian(j, 3 * k + 1) = d_mu[lane];
                    jacobian(j, 3 * k + 2) = d_variance[lane];
                }
            });
        }
    });
}

// gaussian_model_blocks over strided views, each of x and y read in place
// through a Unit accessor when it is contiguous.
template <class V>
[[gnu::always_inline]] inline void gaussian_model(Strided1<const double> x, Strided1<const double> params,
                                                  index_t n_gauss, Strided1<double> y) noexcept {
    gaussian_detail::addressed(x, [&](auto samples) KERNELS_INLINE {
        gaussian_detail::addressed(y, [&](auto sums) KERNELS_INLINE {
            gaussian_model_blocks<V>(samples, x.size, params, n_gauss, sums);
        });
    });
}

// gaussian_jacobian_blocks over strided views, x read in place when it is
// contiguous and the Jacobian's rows through UnitRows when their entries
// are adjacent, in blocks of rows that stay in the first-level cache.
template <class V>
[[gnu::always_inline]] inline void gaussian_jacobian(Strided1<const double> x, Strided1<const double> params,
                                                     index_t n_gauss, Strided2<double> jacobian) noexcept {
    const index_t length = gaussian_detail::jacobian_block_length(jacobian);
    gaussian_detail::addressed(x, [&](auto samples) KERNELS_INLINE {
        gaussian_detail::addressed(jacobian, [&](auto rows) KERNELS_INLINE {
            gaussian_jacobian_blocks<V>(samples, x.size, params, n_gauss, length, rows);
        });
    });
}

}  // namespace kernels

// The SNIP continuum (statistics-sensitive non-linear iterative peak
// clipping, Ryan et al. 1988, with Morhac's decreasing window), for a block
// of spectra side by side (lanes.hpp).
//
//   v_i = ln(ln(sqrt(y_i + 1) + 1) + 1)
//   for p = P, P-1, ..., 1:  v_i <- min(a_i, (v_{i-p} + v_{i+p}) / 2)
//       for every i with p <= widths[i] and p <= i <= n-1-p, all from the
//       values before this p; a_i = v_i, or with smoothing k > 0 the mean of
//       v over channels max(0, i-k) .. min(n-1, i+k), summed in ascending
//       order from 0 and divided by their count
//   continuum_i = (exp(exp(v_i) - 1) - 1)^2 - 1
//
// Inputs: Y (rows, n) counts through a strided view, widths[n] >= 0 (finite),
// P = ceil(max widths), smoothing k >= 0. Output: continuum (rows, n), any
// strides. A row holding NaN or a count below -1 comes out NaN throughout.
// The transforms run per element with the C library's log and exp (exp a
// vector at a time with its bits, exp.hpp), the clipping a vector of
// spectra at a time: every row's bits are those of the row alone, at every
// vector width. Cost O(n * P * (1 + 2k)) per row; work 2 * n * lanes doubles
// and n doubles.
#pragma once

#include "exp.hpp"
#include "lanes.hpp"
#include "stop.hpp"

#include <cmath>
#include <utility>
#include <vector>

namespace kernels::snip {

inline double forward(double y) noexcept { return std::log(std::log(std::sqrt(y + 1.0) + 1.0) + 1.0); }

// A row the continuum cannot be made of: NaN, or a count below -1.
template <class T>
inline bool row_invalid(Strided1<const T> row) noexcept {
    for (index_t i = 0; i < row.size; ++i) {
        const double y = row[i];
        if (!(y >= -1.0)) return true;
    }
    return false;
}

struct Work {
    std::vector<double> v, w, row;
    void allocate(index_t n, index_t lanes) {
        v.resize(static_cast<std::size_t>(n * lanes));
        w.resize(static_cast<std::size_t>(n * lanes));
        row.resize(static_cast<std::size_t>(n));
    }
    static double bytes(index_t n, index_t lanes) noexcept { return 8.0 * static_cast<double>(n) * (2 * lanes + 1); }
};

// P = ceil(max widths): the first window of the clipping.
inline index_t first_window(const double* widths, index_t n) noexcept {
    double top = 0.0;
    for (index_t i = 0; i < n; ++i) top = std::max(top, widths[i]);
    return static_cast<index_t>(std::ceil(top));
}

// The clipping of v (n * lanes, spectrum-minor), w the same size for the
// values of the next window; the result ends in v.
template <class V>
inline void clip(double*& v, double*& w, index_t n, index_t lanes, const double* widths, index_t P,
                 index_t smoothing) noexcept {
    constexpr index_t W = V::width;
    const auto half = V::broadcast(0.5);
    for (index_t p = P; p >= 1; --p) {
        const double window = static_cast<double>(p);
        for (index_t i = 0; i < n; ++i) {
            double* const out = w + i * lanes;
            const double* const in = v + i * lanes;
            if (!(window <= widths[i] && i >= p && i <= n - 1 - p)) {
                std::copy(in, in + lanes, out);
                continue;
            }
            const double* const lo = v + (i - p) * lanes;
            const double* const hi = v + (i + p) * lanes;
            const index_t j0 = std::max<index_t>(0, i - smoothing);
            const index_t j1 = std::min<index_t>(n - 1, i + smoothing);
            const auto count = V::broadcast(static_cast<double>(j1 - j0 + 1));
            for (index_t l = 0; l < lanes; l += W) {
                auto a = V::load(in + l);
                if (smoothing > 0) {
                    a = V::zero();
                    for (index_t j = j0; j <= j1; ++j) a = V::add(a, V::load(v + j * lanes + l));
                    a = V::div(a, count);
                }
                const auto mean = V::mul(V::add(V::load(lo + l), V::load(hi + l)), half);
                V::store(out + l, V::select(V::less(mean, a), mean, a));
            }
        }
        std::swap(v, w);
    }
}

// Rows [first, first + rows) of a strided array, as an array of their own.
template <class T>
inline Strided2<T> rows_of(Strided2<T> a, index_t first, index_t rows) noexcept {
    return {a.data + first * a.row_stride, rows, a.columns, a.row_stride, a.column_stride};
}

// The continuum of the rows of Y (at most lanes::block) into those of out.
template <class V, class T>
inline void continuum_block(Strided2<const T> Y, const double* widths, index_t P, index_t smoothing,
                            Strided2<double> out, Work& work) noexcept {
    const index_t n = Y.columns;
    const index_t rows = Y.rows;
    const index_t lanes = lanes::block;
    lanes::load_lanes(Y, 0, rows, lanes, work.v.data(), [](double y) { return forward(y); });
    double* v = work.v.data();
    double* w = work.w.data();
    clip<V>(v, w, n, lanes, widths, P, smoothing);
    double* const row = work.row.data();
    for (index_t l = 0; l < rows; ++l) {
        const Strided1<double> target = out.row(l);
        if (row_invalid(Y.row(l))) {
            for (index_t i = 0; i < n; ++i) target[i] = NAN;
            continue;
        }
        lanes::lane_to_row(v, n, lanes, l, row);
        exp_array<V>(row, row, n);
        for (index_t i = 0; i < n; ++i) row[i] -= 1.0;
        exp_array<V>(row, row, n);
        for (index_t i = 0; i < n; ++i) {
            const double root = row[i] - 1.0;
            target[i] = root * root - 1.0;
        }
    }
}

// Every row of Y, a block of lanes at a time; false when `stop` ended it.
template <class V, class T>
inline bool continuum_stack(Strided2<const T> Y, const double* widths, index_t smoothing, Strided2<double> out,
                            Work& work, const StopCheck& stop) noexcept {
    const index_t P = first_window(widths, Y.columns);
    for (index_t first = 0; first < Y.rows; first += lanes::block) {
        if (stop()) return false;
        const index_t rows = std::min(lanes::block, Y.rows - first);
        continuum_block<V>(rows_of(Y, first, rows), widths, P, smoothing, rows_of(out, first, rows), work);
    }
    return true;
}

}  // namespace kernels::snip

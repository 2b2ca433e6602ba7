// The truncated, row-normalised Gaussian response on a sampling axis, and
// the width model of Richardson-Lucy deconvolution.
//
// Row i is centred on axis[i] with width s = sigma[i]; its window [low,
// high) holds the axis points j with axis[j] in [axis[i] - nsigma*s,
// axis[i] + nsigma*s]; its weights, for j = low .. high-1 ascending, are
//   d = (axis[j] - axis[i]) / s,  w_j = exp((d * -0.5) * d),
//   norm = w_low + w_low+1 + ... (added in that order from 0.0),
//   weight_j = w_j / norm,
// with the exp of the C library. Columns are the j themselves.
#pragma once

#include "arrays.hpp"
#include "exp.hpp"
#include "search.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace kernels::gaussian_response {

// Richardson-Lucy's width model: full width at half maximum k * sqrt(E) * E,
// divided by FWHM_C = 2 sqrt(2 ln 2) to give the standard deviation.
constexpr double FWHM_C = 2.3548200450309493;

inline double get_sigma(double k, double energy) noexcept {
    const double resolution = k * std::sqrt(energy);
    return (resolution * energy) / FWHM_C;
}

// widths[i] = get_sigma(k, energies[i]) for i < n. O(n).
template <class Energies, class Widths>
inline void fill_widths(double k, const Energies& energies, const Widths& widths, index_t n) noexcept {
    for (index_t i = 0; i < n; ++i) widths[i] = get_sigma(k, energies[i]);
}

// The window of one row: columns low .. high-1 (none when low >= high).
struct Window {
    index_t low;
    index_t high;
    long long count() const noexcept { return low < high ? high - low : 0; }
};

// The first column of [low, high) that a 32-bit index cannot hold (the one
// an int32 conversion refuses first), if any.
inline bool wide_column(index_t low, index_t high, long long& column) noexcept {
    if (low >= high) return false;
    if (low < INT32_MIN) {
        column = low;
        return true;
    }
    if (high - 1 > INT32_MAX) {
        column = std::max<long long>(low, 1LL + INT32_MAX);
        return true;
    }
    return false;
}

// The windows of rows 0 .. rows-1 on points[n], ascending in NumPy's order:
// low = np.searchsorted(points, centre - nsigma*s), high =
// np.searchsorted(points, centre + nsigma*s, side="right"), the products
// rounded once, each searched from the previous row's answer (the windows
// of neighbouring rows are near each other). sigma[>= rows]. O(rows * log
// distance).
template <class Widths>
inline void find_windows(const double* points, index_t n, const Widths& sigma, index_t rows, double nsigma,
                         Window* windows) noexcept {
    const Unit<const double> axis{points};
    index_t low = 0, high = 0;
    for (index_t i = 0; i < rows; ++i) {
        const double centre = points[i];
        const double s = sigma[i];
        low = searchsorted_near<Side::left>(axis, n, centre - nsigma * s, low);
        high = searchsorted_near<Side::right>(axis, n, centre + nsigma * s, high);
        windows[i] = {low, high};
    }
}

// offsets[i+1] = offsets[i] + windows[i].count(), offsets[0] = 0, for i < n;
// returns the total, and the first column too wide for 32 bits in `wide`
// (if `is_wide`). O(n).
inline long long fill_offsets(const Window* windows, index_t n, std::int64_t* offsets, bool& is_wide,
                              long long& wide) noexcept {
    is_wide = false;
    offsets[0] = 0;
    for (index_t i = 0; i < n; ++i) {
        if (!is_wide) is_wide = wide_column(windows[i].low, windows[i].high, wide);
        offsets[i + 1] = offsets[i] + windows[i].count();
    }
    return offsets[n];
}

// columns[offsets[i] + p] = low_i + p for every row i < n (windows that
// count from the end keep their negative columns), every column within 32
// bits (fill_offsets found none wide), so formed in 32 bits, a vector of
// them at a time. O(n + entries).
[[gnu::always_inline]] inline void fill_columns(const Window* windows, index_t n, const std::int64_t* offsets,
                                                std::int32_t* columns) noexcept {
    for (index_t i = 0; i < n; ++i) {
        std::int32_t* const out = columns + offsets[i];
        const auto low = static_cast<std::uint32_t>(windows[i].low);
        const long long count = windows[i].count();
        for (long long p = 0; p < count; ++p) {
            out[p] = static_cast<std::int32_t>(low + static_cast<std::uint32_t>(p));
        }
    }
}

// w[p] = (d * -0.5) * d with d = (point[p] - centre) / s, for p < count;
// point may be w.
template <class V>
[[gnu::always_inline]] inline void exponents(const double* point, double centre, double s, double* w,
                                             long long count) {
    const auto c = V::broadcast(centre);
    const auto width = V::broadcast(s);
    const auto minus_half = V::broadcast(-0.5);
    long long p = 0;
    for (; p + V::width <= count; p += V::width) {
        const auto d = V::div(V::sub(V::load(point + p), c), width);
        V::store(w + p, V::mul(V::mul(d, minus_half), d));
    }
    for (; p < count; ++p) {
        const double d = (point[p] - centre) / s;
        w[p] = (d * -0.5) * d;
    }
}

// w[p] /= norm for p < count.
template <class V>
[[gnu::always_inline]] inline void normalise(double* w, double norm, long long count) {
    const auto divisor = V::broadcast(norm);
    long long p = 0;
    for (; p + V::width <= count; p += V::width) V::store(w + p, V::div(V::load(w + p), divisor));
    for (; p < count; ++p) w[p] = w[p] / norm;
}

// Rows first .. first+R-1: the exponents of every row, the exp of all of
// them in one call (their entries are adjacent), the norms (advancing side
// by side over the entries the rows have in common: independent chains of
// additions), then the quotients. A window that counts from the end is read
// through NumPy's index rule (j < 0 is j + n).
template <class V, int R, class Widths>
[[gnu::always_inline]] inline void fill_rows(const double* points, index_t n, const Widths& sigma,
                                             const Window* windows, const std::int64_t* offsets, double* values,
                                             index_t first) {
    double* w[R];
    long long count[R];
    long long common = LLONG_MAX;
    for (int l = 0; l < R; ++l) {
        const index_t i = first + l;
        const Window window = windows[i];
        count[l] = offsets[i + 1] - offsets[i];
        common = std::min(common, count[l]);
        w[l] = values + offsets[i];
        if (window.low < 0) {
            for (long long p = 0; p < count[l]; ++p) {
                const index_t j = window.low + p;
                w[l][p] = points[j < 0 ? j + n : j];
            }
        }
        exponents<V>(window.low < 0 ? w[l] : points + window.low, points[i], sigma[i], w[l], count[l]);
    }
    const long long begin = offsets[first];
    exp_array<V>(values + begin, values + begin, offsets[first + R] - begin);
    double norm[R];
    for (int l = 0; l < R; ++l) norm[l] = 0.0;
    for (long long p = 0; p < common; ++p) {
        for (int l = 0; l < R; ++l) norm[l] = norm[l] + w[l][p];
    }
    for (int l = 0; l < R; ++l) {
        for (long long p = common; p < count[l]; ++p) norm[l] = norm[l] + w[l][p];
        normalise<V>(w[l], norm[l], count[l]);
    }
}

// The weights of rows 0 .. n-1 on points[n] (a contiguous copy of the
// axis), sigma[>= n], windows[n] valid for NumPy's index rule, written to
// values[offsets[i] .. offsets[i+1]) for row i (offsets from fill_offsets).
// O(entries) exponentials.
template <class V, class Widths>
[[gnu::always_inline]] inline void fill_weights(const double* points, index_t n, const Widths& sigma,
                                                const Window* windows, const std::int64_t* offsets, double* values) {
    constexpr int rows_side_by_side = 4;
    index_t i = 0;
    for (; i + rows_side_by_side <= n; i += rows_side_by_side) {
        fill_rows<V, rows_side_by_side>(points, n, sigma, windows, offsets, values, i);
    }
    for (; i < n; ++i) fill_rows<V, 1>(points, n, sigma, windows, offsets, values, i);
}

}  // namespace kernels::gaussian_response

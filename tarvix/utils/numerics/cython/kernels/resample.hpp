// Resampling of a detector response known at reference photopeak energies
// onto a requested photopeak energy and energy axis: the region boundaries
// of a line, the table of regions a row is mapped through, the row kernel,
// and the selection of the entries a sparse result keeps. Doubles and
// strided arrays only, no Python object; every buffer is allocated by the
// caller. Energies are in keV: 511 is the electron rest energy, 1022 twice
// it.
#pragma once

#include "arrays.hpp"
#include "search.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace kernels::resample {

inline constexpr index_t max_regions = 8;  // boundaries region_boundaries gives at most
inline constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// Region boundaries of a line at E_p, in this order:
//   0, b, E_p - b, E_p - 10, E_p + 10, [E_p - 511, E_p - 1022,] max_value
// with the backscatter energy b = E_p / ((2*E_p)/511 + 1) and the Compton
// edge E_p - b.
//
//   Input:  E_p, max_value, escape_peaks (whether the two escape peaks
//           E_p - 511 and E_p - 1022 are boundaries)
//   Output: out[max_regions]; returns the count written, 6 or 8
//
// Not sorted here; no guard on b's divisor (zero at E_p = -255.5). O(1).
inline index_t region_boundaries(double E_p, double max_value, bool escape_peaks, double* out) {
    const double backscatter = E_p / ((2.0 * E_p) / 511.0 + 1.0);
    index_t n = 0;
    out[n++] = 0.0;
    out[n++] = backscatter;
    out[n++] = E_p - backscatter;
    out[n++] = E_p - 10.0;
    out[n++] = E_p + 10.0;
    if (escape_peaks) {
        out[n++] = E_p - 511.0;
        out[n++] = E_p - 1022.0;
    }
    out[n++] = max_value;
    return n;
}

// Whether a[n] is ascending (ties allowed) and holds no NaN: ascending in
// NumPy's order, which puts NaN only at the end, with no NaN there. Where it
// holds, E > a[i] holds on a prefix and the scan's index can be bisected.
// O(n).
template <class Axis>
inline bool ascending_without_nan(const Axis& a, index_t n) {
    return ascending(a, n) && !(n > 0 && std::isnan(a[n - 1]));
}

// find_index_from_energy(E, a, n): the first i with !(E > a[i]), -1 for
// none; by bisection when `bisect` says that a[n] is ascending without NaN
// (the same index), else by the scan. O(log n) or O(n).
template <class Axis>
inline index_t index_from_energy(double E, const Axis& a, index_t n, bool bisect) {
    if (!bisect) return find_index_from_energy(E, a, n);
    const index_t i = bisect_index_from_energy(E, a, n);
    return i == n ? -1 : i;
}

// ---------------------------------------------------------------------------
// The region table: where a row's regions start and how wide they are.

// Region k of a row (k in [1, n) for n boundaries), indexed by the scan's
// index of an energy among the boundaries: the requested row's boundaries,
// and start and width of region k in the requested row and in the two
// reference rows. Entries 0 and n, for an energy at or below the first
// boundary, above the last, or NaN, hold NaN, which carries through to the
// value without a branch.
struct RegionTable {
    index_t count = 0;
    const double* boundary = nullptr;  // [n]
    const double* start = nullptr;     // each [n + 1]
    const double* width = nullptr;
    const double* low_start = nullptr;
    const double* low_width = nullptr;
    const double* high_start = nullptr;
    const double* high_width = nullptr;
};

// Entries of the storage of a region table of n boundaries.
inline constexpr std::size_t region_table_size(index_t n) noexcept {
    return 7 * static_cast<std::size_t>(n + 1);
}

// The region table of the requested boundaries R and the reference
// boundaries L (lower row) and H (higher row):
//   start[k] = R[k-1],  width[k] = R[k] - R[k-1]   for k in [1, n),
// the same of L and of H, NaN at k = 0 and k = n.
//
//   Input:  R[n], L[n], H[n]
//   Output: storage[region_table_size(n)], which the table points into
//
// O(n).
template <class Boundaries>
inline RegionTable region_table(const Boundaries& R, const Boundaries& L, const Boundaries& H, index_t n,
                                double* storage) {
    const auto entries = static_cast<std::size_t>(n + 1);
    std::fill(storage, storage + region_table_size(n), nan_value);
    double* column[7];
    for (std::size_t c = 0; c < 7; ++c) column[c] = storage + c * entries;
    for (index_t i = 0; i < n; ++i) column[0][i] = R[i];
    for (index_t k = 1; k < n; ++k) {
        column[1][k] = R[k - 1];
        column[2][k] = R[k] - R[k - 1];
        column[3][k] = L[k - 1];
        column[4][k] = L[k] - L[k - 1];
        column[5][k] = H[k - 1];
        column[6][k] = H[k] - H[k - 1];
    }
    return RegionTable{n, column[0], column[1], column[2], column[3], column[4], column[5], column[6]};
}

// Interval i of the reference axis A (i in [1, n)): its lower end A[i-1]
// and its width A[i] - A[i-1], as the interpolation on the axis uses them.
struct AxisInterval {
    double start;
    double width;
};

// intervals[i] = {A[i-1], A[i] - A[i-1]} for i in [1, n); intervals[0] is
// NaN (never read for a value).
//
//   Input:  A[n]
//   Output: intervals[max(n, 1)]
//
// O(n).
template <class Axis>
inline void axis_intervals(const Axis& A, index_t n, AxisInterval* intervals) {
    intervals[0] = AxisInterval{nan_value, nan_value};
    for (index_t i = 1; i < n; ++i) intervals[i] = AxisInterval{A[i - 1], A[i] - A[i - 1]};
}

// ---------------------------------------------------------------------------
// The row kernel.

// What one row's kernel reads: the requested axis x[columns] and the
// reference axis A[ref_columns], both contiguous; A's intervals
// (axis_intervals); whether A is ascending without NaN; the two normalised
// reference rows (at least ref_columns entries each); the region table;
// and E_p - low_E, high_E - low_E for the photopeak energy E_p requested
// and the reference energies low_E and high_E of the two rows.
struct RowInputs {
    const double* axis;
    index_t columns;
    const double* ref_axis;
    const AxisInterval* intervals;
    index_t ref_columns;
    bool ref_ascending;
    Strided1<const double> low_row;
    Strided1<const double> high_row;
    RegionTable regions;
    double above_low;
    double low_to_high;
};

namespace row_detail {

constexpr index_t block_size = 256;

// Sweep 1 on x[m]: region k by the scan over the n boundaries without an
// early exit (k counts the leading boundaries below x), then f and both e.
// Region k's entries are taken as the scan passes boundary k - 1, by
// selection rather than by indexing the table with k: vectors then need no
// gather. N is n when fixed at compile time, 0 otherwise.
template <index_t N>
[[gnu::always_inline]] inline void map_to_references(const double* x, index_t m, const RegionTable& t,
                                                     double* e_low, double* e_high) {
    const index_t n = N > 0 ? N : t.count;
    for (index_t j = 0; j < m; ++j) {
        const double xj = x[j];
        double start = t.start[0], width = t.width[0];
        double low_start = t.low_start[0], low_width = t.low_width[0];
        double high_start = t.high_start[0], high_width = t.high_width[0];
        bool below = true;
#pragma GCC unroll 8
        for (index_t r = 0; r < n; ++r) {
            below = below & (xj > t.boundary[r]);
            start = below ? t.start[r + 1] : start;
            width = below ? t.width[r + 1] : width;
            low_start = below ? t.low_start[r + 1] : low_start;
            low_width = below ? t.low_width[r + 1] : low_width;
            high_start = below ? t.high_start[r + 1] : high_start;
            high_width = below ? t.high_width[r + 1] : high_width;
        }
        const double f = (xj - start) / width;
        e_low[j] = low_start + f * low_width;
        e_high[j] = high_start + f * high_width;
    }
}

// The scan's index of e on the reference axis, n (its length) in place of
// -1: searched from the previous answer `hint` (and stored there) where the
// axis is ascending without NaN, scanned otherwise.
template <bool Ascending>
[[gnu::always_inline]] inline index_t look_up(double e, const RowInputs& in, index_t& hint) {
    if constexpr (Ascending) {
        return hint = bisect_index_from_energy_near(e, in.ref_axis, in.ref_columns, hint);
    } else {
        const index_t i = find_index_from_energy(e, in.ref_axis, in.ref_columns);
        return i < 0 ? in.ref_columns : i;
    }
}

// The three parts of y on the axis of n entries at e, for the lookup's
// index i: y = numerator / divisor + base, and NaN / 1 + 0 = NaN when i is
// 0 or n.
template <class Row>
[[gnu::always_inline]] inline void axis_terms(double e, index_t i, const AxisInterval* intervals, index_t n,
                                              const Row& y, double& numerator, double& divisor, double& base) {
    if (i <= 0 || i >= n) {
        numerator = nan_value;
        divisor = 1.0;
        base = 0.0;
        return;
    }
    numerator = (y[i] - y[i - 1]) * (e - intervals[i].start);
    divisor = intervals[i].width;
    base = y[i - 1];
}

// Per-side scratch of sweeps 2 and 3.
struct AxisBlock {
    double numerator[block_size];
    double divisor[block_size];
    double base[block_size];
};

// Sweep 2 on e_low[m] and e_high[m], both sides in one pass (two
// independent chains of lookups). Row is Strided1 or, for rows of unit
// stride, Unit.
template <bool Ascending, class Row>
[[gnu::always_inline]] inline void look_up_block(const double* e_low, const double* e_high, index_t m,
                                                 const RowInputs& in, const Row& low_row, const Row& high_row,
                                                 index_t (&hints)[2], AxisBlock& low, AxisBlock& high) {
    const index_t n = in.ref_columns;
    for (index_t j = 0; j < m; ++j) {
        const index_t i_low = look_up<Ascending>(e_low[j], in, hints[0]);
        const index_t i_high = look_up<Ascending>(e_high[j], in, hints[1]);
        axis_terms(e_low[j], i_low, in.intervals, n, low_row, low.numerator[j], low.divisor[j], low.base[j]);
        axis_terms(e_high[j], i_high, in.intervals, n, high_row, high.numerator[j], high.divisor[j],
                   high.base[j]);
    }
}

// Sweep 3: both y and the value, into out[m].
[[gnu::always_inline]] inline void combine_block(const AxisBlock& low, const AxisBlock& high, index_t m,
                                                 double above_low, double low_to_high, double* __restrict out) {
    for (index_t j = 0; j < m; ++j) {
        const double y_low = low.numerator[j] / low.divisor[j] + low.base[j];
        const double y_high = high.numerator[j] / high.divisor[j] + high.base[j];
        out[j] = ((y_high - y_low) * above_low) / low_to_high + y_low;
    }
}

template <index_t N>
[[gnu::always_inline]] inline void resample_row_blocks(const RowInputs& in, Strided1<double> row) {
    double e_low[block_size], e_high[block_size], value[block_size];
    AxisBlock low, high;
    index_t hints[2] = {0, 0};  // previous answers, low and high side
    const bool unit_rows = in.low_row.unit_stride() && in.high_row.unit_stride();
    for (index_t j0 = 0; j0 < in.columns; j0 += block_size) {
        const index_t m = std::min(block_size, in.columns - j0);
        map_to_references<N>(in.axis + j0, m, in.regions, e_low, e_high);
        if (!in.ref_ascending) {
            look_up_block<false>(e_low, e_high, m, in, in.low_row, in.high_row, hints, low, high);
        } else if (unit_rows) {
            look_up_block<true>(e_low, e_high, m, in, Unit<const double>{in.low_row.pointer()},
                                Unit<const double>{in.high_row.pointer()}, hints, low, high);
        } else {
            look_up_block<true>(e_low, e_high, m, in, in.low_row, in.high_row, hints, low, high);
        }
        // Straight into the row where it is contiguous.
        double* out = row.unit_stride() ? &row[j0] : value;
        combine_block(low, high, m, in.above_low, in.low_to_high, out);
        if (out == value) {
            for (index_t j = 0; j < m; ++j) row[j0 + j] = value[j];
        }
    }
}

}  // namespace row_detail

// The requested row resampled from the two reference rows. For every
// energy x = axis[j] of the requested axis:
//   k = find_index_from_energy(x, R); NaN when k <= 0  R = requested boundaries
//   f = (x - R[k-1]) / (R[k] - R[k-1])
//   e = S[k-1] + f * (S[k] - S[k-1])                    S = low, high boundaries
//   y = NaN when i = find_index_from_energy(e, A) <= 0, else
//       ((Y[i] - Y[i-1]) * (e - A[i-1])) / (A[i] - A[i-1]) + Y[i-1]
//                                          A = ref_axis, Y = low, high row
//   row[j] = ((y_high - y_low) * (E_p - low_E)) / (high_E - low_E) + y_low
// with exactly these operations in this order, so that the bits are those
// of the value-by-value evaluation at every kernel level.
//
//   Input:  in (RowInputs: axis[columns], ref_axis[ref_columns], the two
//           rows, the region table of n boundaries)
//   Output: row[columns], any stride
//
// It runs over blocks of the axis in three sweeps, the first and last free
// of branches so that they run on vectors (the divisions are most of the
// arithmetic): 1. k, f and both e; 2. the two lookups on A, and y's
// numerator, divisor and base; 3. both y and the value. Sweep 2 searches
// from the previous answer where A is ascending without NaN (the mapped
// energies mostly ascend with x, a step or two per column), else scans.
// The region count is fixed at compile time where it is 6 or 8.
//
// V names the kernel level it is compiled for (kernels::dispatch): the
// loops are plain C++, which the compiler vectorises for V's instruction
// set. Cost: O(columns * n) for sweep 1, O(columns * log ref_columns) for
// sweep 2 at worst (O(columns * ref_columns) where A is not ascending),
// O(columns) for sweep 3.
template <class V>
inline void resample_row(const RowInputs& in, Strided1<double> row) {
    switch (in.regions.count) {
        case 6: row_detail::resample_row_blocks<6>(in, row); break;
        case 8: row_detail::resample_row_blocks<8>(in, row); break;
        default: row_detail::resample_row_blocks<0>(in, row); break;
    }
}

// The entries of a row above a threshold, as a sparse row: (j, row[j]) for
// every row[j] > threshold (NaN never passes, +inf does), j ascending.
//
//   Input:  row[n], threshold
//   Output: columns[n], values[n] (room for every entry); returns the
//           count kept
//
// Every entry is written and only those kept are counted: no branch to
// mispredict where kept and dropped entries mix. O(n).
inline index_t keep_above(Strided1<const double> row, double threshold, std::int32_t* columns, double* values) {
    index_t kept = 0;
    for (index_t j = 0; j < row.size; ++j) {
        const double value = row[j];
        columns[kept] = static_cast<std::int32_t>(j);
        values[kept] = value;
        kept += value > threshold;
    }
    return kept;
}

}  // namespace kernels::resample

// Maximum-likelihood expectation-maximisation (ML-EM) through a sparse
// response M in CSR form: row j (a source bin) holds the entries k =
// offsets[j] .. offsets[j+1]-1, the share values[k] of that bin that lands
// in measured bin indices[k]. One pass is
//
//   x <- x * (M (y / (M^T x + 1e-12))) / max(sensitivity, 1e-12)
//
// element-wise, computed in this order: forward (estimate = M^T x, each
// estimate[i] collecting its terms fma(values[k], x[j], estimate[i]) rows
// ascending and entries ascending within a row, from 0.0); ratio[i] = y[i] /
// (estimate[i] + 1e-12); backward (correction[j] = the fma chain of
// values[k] * ratio[indices[k]] over row j's entries, ascending, from 0.0);
// correction[j] /= max(sensitivity[j], 1e-12) (zero, negative and NaN
// sensitivities alike give 1e-12); x[j] *= correction[j]. Every version
// here keeps those operations and their order, so all give the same bits.
//
// The passes are written once over a layout, which says how the arrays are
// addressed, and over the vectors V of the kernel level:
//  - Plain: unit-stride values and indices, work arrays of their own, row
//    spans made up front; rows whose columns are consecutive (a Gaussian
//    response, most detector responses) are read as runs, without their
//    column indices, and their forward terms go out a vector at a time.
//  - Strided<Wrap>: any strides, positions and columns counting from the end
//    when negative (Wrap), every array read and written in place in the
//    order of the steps above, so that results stay those of the steps even
//    when a work array shares memory with another array.
// Both need a response that has passed the caller's check: every position
// and column used is valid.
#pragma once

#include "arrays.hpp"
#include "dispatch.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

namespace kernels::ml_em {

// Added to every predicted bin before the division, and the lower bound of
// the sensitivity.
constexpr double guard = 1e-12;

// The divisor of a bin's back-projection: max(sensitivity, 1e-12), NaN
// giving 1e-12.
inline double divisor_of(double sensitivity) noexcept { return sensitivity > guard ? sensitivity : guard; }

// Row j's entries: positions begin .. begin+count-1; their columns are
// column, column+1, ... when column >= 0 (a run; an empty row is an empty
// run), and read through the indices when column is -1.
struct RowSpan {
    long long begin;
    long long count;
    long long column;
};

// The arrays of one reconstruction, all of at least n elements.
struct Arrays {
    Strided1<double> x, estimate, ratio, correction;
    Strided1<const double> y, sensitivity;
};

// ---------------------------------------------------------------------------
// Layouts.

// How the passes read the response. PlainResponse: unit-stride values and
// indices, the row spans made up front (make_row_spans), rows read as runs
// where their columns are consecutive. StridedResponse: the CSR views as
// they are, with Wrap positions and columns below zero counting from the end
// of their arrays.
struct PlainResponse {
    static constexpr bool runs = true;

    const RowSpan* rows;
    const double* values;
    const std::int32_t* indices;  // read only by rows that are not runs

    RowSpan row(index_t j) const noexcept { return rows[j]; }
    double value(long long k) const noexcept { return values[k]; }
    index_t column(long long k) const noexcept { return indices[k]; }
};

template <bool Wrap>
struct StridedResponse {
    static constexpr bool runs = false;

    Csr csr;
    index_t columns;

    static index_t from_end(long long i, index_t length) noexcept {
        if constexpr (Wrap) return i < 0 ? i + length : i;
        return i;
    }
    RowSpan row(index_t j) const noexcept {
        const long long begin = csr.offsets[j];
        const long long end = csr.offsets[j + 1];
        return {begin, begin < end ? end - begin : 0, -1};
    }
    double value(long long k) const noexcept { return csr.values[from_end(k, csr.values.size)]; }
    index_t column(long long k) const noexcept {
        return from_end(csr.indices[from_end(k, csr.indices.size)], columns);
    }
};

// The plain layout: a plain response, unit-stride work arrays of its own,
// contiguous copies of y and of the divisors.
struct Plain : PlainResponse {
    static constexpr bool fused_last_pass = true;  // the last pass needs no correction array
    static constexpr int chain_rows = 6;           // back-projections side by side

    const double* y_copy;
    const double* divisors;
    Unit<double> x, estimate, ratio, correction;
    index_t n;

    double y(index_t i) const noexcept { return y_copy[i]; }
    double divisor(index_t j) const noexcept { return divisors[j]; }
};

// The strided layout: every array read and written in place.
template <bool Wrap>
struct Strided : StridedResponse<Wrap> {
    static constexpr bool fused_last_pass = false;
    static constexpr int chain_rows = 4;

    Strided1<double> x, estimate, ratio, correction;
    Strided1<const double> measured, sensitivity;
    index_t n;

    double y(index_t i) const noexcept { return measured[i]; }
    double divisor(index_t j) const noexcept { return divisor_of(sensitivity[j]); }
};

// ---------------------------------------------------------------------------
// The forward projection of one row.

// estimate[t] = fma(values[t], xj, estimate[t]) for t < count: the terms of
// one run, independent of each other, so a vector at a time.
template <class V>
[[gnu::always_inline]] inline void add_scaled(const double* values, double xj, double* estimate, long long count) {
    const auto scale = V::broadcast(xj);
    long long t = 0;
    for (; t + 2 * V::width <= count; t += 2 * V::width) {
        const auto low = V::fma(V::load(values + t), scale, V::load(estimate + t));
        const auto high = V::fma(V::load(values + t + V::width), scale, V::load(estimate + t + V::width));
        V::store(estimate + t, low);
        V::store(estimate + t + V::width, high);
    }
    for (; t + V::width <= count; t += V::width) {
        V::store(estimate + t, V::fma(V::load(values + t), scale, V::load(estimate + t)));
    }
    for (; t < count; ++t) estimate[t] = std::fma(values[t], xj, estimate[t]);
}

// Row `row`'s terms values[k] * xj onto estimate[column of k], k ascending.
template <class V, class A>
[[gnu::always_inline]] inline void forward_row(const A& a, const RowSpan& row, double xj) {
    if constexpr (A::runs) {
        if (row.column >= 0) {
            add_scaled<V>(a.values + row.begin, xj, a.estimate.data + row.column, row.count);
            return;
        }
    }
    for (long long t = 0; t < row.count; ++t) {
        const index_t column = a.column(row.begin + t);
        a.estimate[column] = std::fma(a.value(row.begin + t), xj, a.estimate[column]);
    }
}

// The columns that R run rows cover: [lo, hi) their union (lo > hi when
// all are empty), [core_lo, core_hi) the columns inside every row (none
// when a row is empty), total the rows' entries.
struct RunCover {
    long long lo, hi, core_lo, core_hi, total;
};

template <int R>
[[gnu::always_inline]] inline RunCover run_cover(const RowSpan* rows) noexcept {
    RunCover cover{LLONG_MAX, 0, 0, LLONG_MAX, 0};
    for (int l = 0; l < R; ++l) {
        const long long count = rows[l].count;
        if (count == 0) {
            cover.core_hi = 0;
            continue;
        }
        const long long first = rows[l].column;
        cover.lo = std::min(cover.lo, first);
        cover.hi = std::max(cover.hi, first + count);
        cover.core_lo = std::max(cover.core_lo, first);
        cover.core_hi = std::min(cover.core_hi, first + count);
        cover.total += count;
    }
    return cover;
}

// The forward terms of R adjacent run rows with updated values xs, onto
// estimate[n] in blocks of V::width columns: each block is loaded once,
// takes the terms of every row that reaches it, rows ascending, and is
// stored once. A column thus still collects its terms rows ascending, and a
// row's update never reloads a block that a store has only partly written
// (which would stall). Blocks inside every row need no mask; at the rows'
// ends each row's terms go in under the mask of the lanes its run covers
// (masked loads do not fault outside the row, and a select keeps the other
// lanes). Rows spread far apart are added one by one instead.
template <class V, int R>
[[gnu::always_inline]] inline void add_rows(const double* values, const RowSpan* rows, const double* xs,
                                            double* estimate, index_t n) {
    constexpr int W = V::width;
    const RunCover cover = run_cover<R>(rows);
    const long long lo = cover.lo, hi = cover.hi, total = cover.total;
    if (total == 0) return;
    if (hi - lo > total + W * R) {
        for (int l = 0; l < R; ++l) add_scaled<V>(values + rows[l].begin, xs[l], estimate + rows[l].column, rows[l].count);
        return;
    }
    typename V::D scale[R];
    for (int l = 0; l < R; ++l) scale[l] = V::broadcast(xs[l]);
    // Block b covers columns lo + W*b .. lo + W*b + W-1. Blocks core_first ..
    // core_end-1 lie inside every row (none when a row is empty); the vector blocks stop
    // before one would pass the end of estimate.
    const long long blocks = std::max(0LL, std::min((hi - lo + W - 1) / W, (n - lo) / W));
    const long long core_first = std::min(blocks, std::max(0LL, (cover.core_lo - lo + W - 1) / W));
    const long long core_end = std::max(core_first, std::min(blocks, (cover.core_hi - lo) / W));
    auto masked_block = [&](long long c) KERNELS_INLINE {
        auto e = V::load(estimate + c);
        for (int l = 0; l < R; ++l) {
            // Lane t takes the row's entry s + t, where it has one.
            const long long s = c - rows[l].column;
            const auto inside = V::positions_inside(s, rows[l].count);
            // The address of entry s, formed as an integer: it may lie
            // outside the array, where no lane is loaded.
            const auto start = reinterpret_cast<std::uintptr_t>(values + rows[l].begin);
            const auto* entry =
                reinterpret_cast<const double*>(start + static_cast<std::uintptr_t>(s) * sizeof(double));
            e = V::select(inside, V::fma(V::load_masked(entry, inside), scale[l], e), e);
        }
        V::store(estimate + c, e);
    };
    long long b = 0;
    for (; b < core_first; ++b) masked_block(lo + W * b);
    if (b < core_end) {
        const double* v[R];
        for (int l = 0; l < R; ++l) v[l] = values + rows[l].begin + (lo + W * b - rows[l].column);
        for (; b < core_end; ++b) {
            const long long c = lo + W * b;
            auto e = V::load(estimate + c);
            for (int l = 0; l < R; ++l) {
                e = V::fma(V::load(v[l]), scale[l], e);
                v[l] += W;
            }
            V::store(estimate + c, e);
        }
    }
    for (; b < blocks; ++b) masked_block(lo + W * b);
    // The last columns, where a block would pass the end of estimate.
    for (long long c = lo + W * blocks; c < hi; ++c) {
        double e = estimate[c];
        for (int l = 0; l < R; ++l) {
            const long long s = c - rows[l].column;
            if (s >= 0 && s < rows[l].count) e = std::fma(values[rows[l].begin + s], xs[l], e);
        }
        estimate[c] = e;
    }
}

// ---------------------------------------------------------------------------
// The back-projection of a group of rows.

// The spans of rows first .. first+R-1: the plain response's own, made up
// front and read where they lie (copies would take registers the chains
// need), else made into `scratch`.
template <int R, class A>
[[gnu::always_inline]] inline const RowSpan* group_spans(const A& a, index_t first, RowSpan (&scratch)[R]) {
    if constexpr (A::runs) {
        return a.rows + first;
    } else {
        for (int l = 0; l < R; ++l) scratch[l] = a.row(first + l);
        return scratch;
    }
}

// Rows first .. first+R-1 of M ratio: one dependent chain of fused
// multiply-adds per row, total = fma(value, ratio[column], total) from 0.0
// over the row's entries ascending. The chains advance side by side over the
// entries all R rows have, which hides the latency of the multiply-add; then
// each row finishes its own chain and is handed to finish(l, total) at once,
// rows ascending (so a finish that writes an array is seen by the rows after
// it, as in a row-by-row sweep). `spans` are the rows' spans (group_spans).
// Returns whether every row is a run.
template <int R, class A, class Finish>
[[gnu::always_inline]] inline bool back_project_group(const A& a, const RowSpan* spans, Finish finish) {
    long long common = LLONG_MAX;
    bool runs = A::runs;
    double total[R];
    for (int l = 0; l < R; ++l) {
        common = std::min(common, spans[l].count);
        runs = runs && spans[l].column >= 0;
        total[l] = 0.0;
    }
    auto chains = [&](auto value_at, auto ratio_at) KERNELS_INLINE {
        for (long long t = 0; t < common; ++t) {
            for (int l = 0; l < R; ++l) total[l] = std::fma(value_at(l, t), ratio_at(l, t), total[l]);
        }
        for (int l = 0; l < R; ++l) {
            for (long long t = common; t < spans[l].count; ++t) {
                total[l] = std::fma(value_at(l, t), ratio_at(l, t), total[l]);
            }
            finish(l, total[l]);
        }
    };
    if constexpr (A::runs) {
        // Unit-stride rows: each row's values, and its columns or (for a
        // run) its ratio terms, through a pointer of its own.
        const double* v[R];
        for (int l = 0; l < R; ++l) v[l] = a.values + spans[l].begin;
        auto value_at = [&](int l, long long t) KERNELS_INLINE { return v[l][t]; };
        if (runs) {
            const double* r[R];
            for (int l = 0; l < R; ++l) r[l] = a.ratio.data + spans[l].column;
            chains(value_at, [&](int l, long long t) KERNELS_INLINE { return r[l][t]; });
            return true;
        }
        const std::int32_t* c[R];
        for (int l = 0; l < R; ++l) c[l] = a.indices + spans[l].begin;
        chains(value_at, [&](int l, long long t) KERNELS_INLINE { return a.ratio.data[c[l][t]]; });
        return false;
    } else {
        chains([&](int l, long long t) KERNELS_INLINE { return a.value(spans[l].begin + t); },
               [&](int l, long long t) KERNELS_INLINE { return a.ratio[a.column(spans[l].begin + t)]; });
        return false;
    }
}

// ---------------------------------------------------------------------------
// The passes.

// x[j] *= total / divisor[j], the update of row j; returns the new x[j].
template <class A>
[[gnu::always_inline]] inline double update(const A& a, index_t j, double total) {
    const double xj = a.x[j] * (total / a.divisor(j));
    a.x[j] = xj;
    return xj;
}

// One sweep over the rows: each row's back-projection, its update and, with
// `forward_next`, its terms of the next pass's forward projection (estimate
// cleared first). The stored entries are read once for both uses, while a
// row's entries are still in cache.
template <class V, class A>
[[gnu::always_inline]] inline void update_sweep(const A& a, bool forward_next) {
    constexpr int R = A::chain_rows;
    const index_t n = a.n;
    if (forward_next) {
        for (index_t i = 0; i < n; ++i) a.estimate[i] = 0.0;
    }
    index_t j = 0;
    for (; j + R <= n; j += R) {
        RowSpan scratch[R];
        const RowSpan* const spans = group_spans<R>(a, j, scratch);
        double xs[R];
        if constexpr (A::runs) {
            // Runs going forward: all R updates first, then the blocked
            // forward terms.
            const bool runs = back_project_group<R>(a, spans, [&](int l, double total) KERNELS_INLINE {
                xs[l] = total;
            });
            if (runs && forward_next) {
                for (int l = 0; l < R; ++l) xs[l] = update(a, j + l, xs[l]);
                add_rows<V, R>(a.values, spans, xs, a.estimate.data, n);
            } else {
                for (int l = 0; l < R; ++l) {
                    const double xj = update(a, j + l, xs[l]);
                    if (forward_next) forward_row<V>(a, spans[l], xj);
                }
            }
        } else {
            back_project_group<R>(a, spans, [&](int l, double total) KERNELS_INLINE {
                const double xj = update(a, j + l, total);
                if (forward_next) forward_row<V>(a, spans[l], xj);
            });
        }
    }
    for (; j < n; ++j) {
        RowSpan scratch[1];
        const RowSpan* const spans = group_spans<1>(a, j, scratch);
        back_project_group<1>(a, spans, [&](int, double total) KERNELS_INLINE {
            const double xj = update(a, j, total);
            if (forward_next) forward_row<V>(a, spans[0], xj);
        });
    }
}

// The last pass as separate steps through the correction array: backward,
// then the sensitivity division, then the update.
template <class A>
[[gnu::always_inline]] inline void stepwise_last_pass(const A& a) {
    constexpr int R = A::chain_rows;
    const index_t n = a.n;
    index_t j = 0;
    for (; j + R <= n; j += R) {
        RowSpan scratch[R];
        back_project_group<R>(a, group_spans<R>(a, j, scratch),
                              [&](int l, double total) KERNELS_INLINE { a.correction[j + l] = total; });
    }
    for (; j < n; ++j) {
        RowSpan scratch[1];
        back_project_group<1>(a, group_spans<1>(a, j, scratch),
                              [&](int, double total) KERNELS_INLINE { a.correction[j] = total; });
    }
    for (index_t i = 0; i < n; ++i) a.correction[i] = a.correction[i] / a.divisor(i);
    for (index_t i = 0; i < n; ++i) a.x[i] = a.x[i] * a.correction[i];
}

// ratio[i] = y[i] / (estimate[i] + 1e-12), the sum rounded, then the
// quotient. On the plain layout's own arrays, which share no memory, a
// vector at a time.
template <class A>
[[gnu::always_inline]] inline void compute_ratio(const A& a) {
    if constexpr (std::is_same_v<A, Plain>) {
        double* __restrict const ratio = a.ratio.data;
        const double* __restrict const estimate = a.estimate.data;
        const double* __restrict const y = a.y_copy;
        for (index_t i = 0; i < a.n; ++i) ratio[i] = y[i] / (estimate[i] + guard);
    } else {
        for (index_t i = 0; i < a.n; ++i) a.ratio[i] = a.y(i) / (a.estimate[i] + guard);
    }
}

// estimate = M^T x: cleared, then every row's terms, rows ascending.
template <class V, class A>
[[gnu::always_inline]] inline void forward_all(const A& a) {
    for (index_t i = 0; i < a.n; ++i) a.estimate[i] = 0.0;
    for (index_t j = 0; j < a.n; ++j) forward_row<V>(a, a.row(j), a.x[j]);
}

// `iterations` passes on the layout's arrays; none for iterations <= 0.
// O(iterations * (n + entries)); no allocation.
template <class V, class A>
[[gnu::always_inline]] inline void passes(const A& a, int iterations) {
    if (iterations <= 0) return;
    forward_all<V>(a);
    for (int pass = 0; pass < iterations; ++pass) {
        compute_ratio(a);
        const bool last = pass + 1 == iterations;
        if (!last || A::fused_last_pass) {
            update_sweep<V>(a, !last);
        } else {
            stepwise_last_pass(a);
        }
    }
}

// ---------------------------------------------------------------------------
// Choosing the layout.

// The bytes a strided view covers, [low, high); empty for an empty view.
struct ByteRange {
    const char* low = nullptr;
    const char* high = nullptr;
};

template <class T>
inline ByteRange byte_range(Strided1<T> v) noexcept {
    if (v.size <= 0) return {};
    const char* const first = v.data;
    const char* const last = v.data + (v.size - 1) * v.stride;
    return {std::min(first, last), std::max(first, last) + sizeof(T)};
}

inline bool overlap(ByteRange a, ByteRange b) noexcept { return a.low < b.high && b.low < a.high; }

// Whether the columns at positions [begin, end) (0 <= begin < end, all
// valid) go up by one from each to the next. O(end - begin), branch-free on
// unit-stride indices (out of line: the compiler vectorises the loop there).
[[gnu::noinline]] inline bool consecutive_columns(Strided1<const std::int32_t> indices, long long begin,
                                                  long long end) noexcept {
    if (indices.stride == index_t{sizeof(std::int32_t)}) {
        // No column is negative, so the unsigned difference is 1 exactly for
        // consecutive ones; the OR of every difference less one is 0 exactly
        // when all are.
        const auto* const c = reinterpret_cast<const std::uint32_t*>(indices.data) + begin;
        const long long count = end - begin;
        std::uint32_t broken = 0;
        for (long long t = 0; t + 1 < count; ++t) broken |= c[t + 1] - c[t] - 1u;
        return broken == 0;
    }
    for (long long k = begin + 1; k < end; ++k) {
        if (indices[k] != indices[k - 1] + 1LL) return false;
    }
    return true;
}

// The row spans of rows[n] of a response with no negative position (which
// the plain layout needs): sets `indexed` when some row is not a run.
// O(n + entries).
inline void make_row_spans(const Csr& csr, index_t n, RowSpan* rows, bool& indexed) noexcept {
    indexed = false;
    for (index_t j = 0; j < n; ++j) {
        const long long begin = csr.offsets[j];
        const long long end = csr.offsets[j + 1];
        if (begin >= end) {
            rows[j] = {0, 0, 0};
            continue;
        }
        const bool run = consecutive_columns(csr.indices, begin, end);
        rows[j] = {begin, end - begin, run ? csr.indices[begin] : -1};
        indexed = indexed || !run;
    }
}

// The plain response of rows[n] when it can stand in for the strided one:
// nothing counting from the end, values unit-stride, and the indices too
// where a row reads them. O(n + entries).
inline bool plain_response(const Csr& csr, index_t n, bool negative, std::vector<RowSpan>& rows,
                           PlainResponse& plain) noexcept {
    if (negative || !csr.values.unit_stride()) return false;
    try {
        rows.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        return false;
    }
    bool indexed = false;
    make_row_spans(csr, n, rows.data(), indexed);
    if (indexed && !csr.indices.unit_stride()) return false;
    plain = {rows.data(), csr.values.pointer(), csr.indices.pointer()};
    return true;
}

// The plain layout's row spans and copies of y and of the divisors.
struct PlainScratch {
    std::vector<RowSpan> rows;
    std::vector<double> y, divisors;
};

// Whether the plain layout can stand in for the strided one on these arrays
// (the response checked), and the layout if so: a plain response, the work
// arrays unit-stride and sharing no byte with each other or with an input
// (so that the copies of y and sensitivity read what the steps would), and
// the scratch allocated. O(n + entries).
inline bool prepare_plain(const Csr& csr, const Arrays& a, index_t n, bool negative, PlainScratch& scratch,
                          Plain& plain) noexcept {
    if (!a.x.unit_stride() || !a.estimate.unit_stride() || !a.ratio.unit_stride() ||
        !a.correction.unit_stride()) {
        return false;
    }
    const ByteRange written[] = {byte_range(a.x), byte_range(a.estimate), byte_range(a.ratio),
                                 byte_range(a.correction)};
    const ByteRange read[] = {byte_range(a.y), byte_range(a.sensitivity), byte_range(csr.offsets),
                              byte_range(csr.indices), byte_range(csr.values)};
    for (std::size_t w = 0; w < std::size(written); ++w) {
        for (std::size_t o = w + 1; o < std::size(written); ++o) {
            if (overlap(written[w], written[o])) return false;
        }
        for (const ByteRange& r : read) {
            if (overlap(written[w], r)) return false;
        }
    }
    PlainResponse response{};
    if (!plain_response(csr, n, negative, scratch.rows, response)) return false;
    try {
        scratch.y.resize(static_cast<std::size_t>(n));
        scratch.divisors.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (index_t i = 0; i < n; ++i) {
        scratch.y[static_cast<std::size_t>(i)] = a.y[i];
        scratch.divisors[static_cast<std::size_t>(i)] = divisor_of(a.sensitivity[i]);
    }
    plain = {response,
             scratch.y.data(),
             scratch.divisors.data(),
             {a.x.pointer()},
             {a.estimate.pointer()},
             {a.ratio.pointer()},
             {a.correction.pointer()},
             n};
    return true;
}

// `iterations` passes of ML-EM on `a` (n elements each) through `csr`,
// which has passed the response check (`negative`: some position or column
// counts from the end). Runs at the kernel level; touches no Python object.
inline void reconstruct(const Csr& csr, const Arrays& a, index_t n, bool negative, int iterations) {
    if (iterations <= 0) return;
    PlainScratch scratch;
    Plain plain{};
    if (prepare_plain(csr, a, n, negative, scratch, plain)) {
        dispatch([&]<class V>() { passes<V>(plain, iterations); });
    } else if (negative) {
        const Strided<true> strided{{csr, n}, a.x, a.estimate, a.ratio, a.correction, a.y, a.sensitivity, n};
        dispatch([&]<class V>() { passes<V>(strided, iterations); });
    } else {
        const Strided<false> strided{{csr, n}, a.x, a.estimate, a.ratio, a.correction, a.y, a.sensitivity, n};
        dispatch([&]<class V>() { passes<V>(strided, iterations); });
    }
}

}  // namespace kernels::ml_em

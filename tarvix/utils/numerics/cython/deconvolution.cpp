// tarvix.utils.numerics.cython.deconvolution: maximum-likelihood
// expectation-maximisation (ML-EM) through a sparse detector response, the
// truncated, row-normalised Gaussian response on a sampling axis, and
// Richardson-Lucy deconvolution, which is ML-EM run on that response.
//
// A response is a CSR triple (offsets, indices, values): row j is a source
// bin, and its entries k = offsets[j] .. offsets[j+1]-1 carry the share
// values[k] of that bin which lands in measured bin indices[k].
//
// reg_tikhonov, reg_tikhonov_lambda and use_sensitivity are parsed and
// type-checked and have no further effect: the sensitivity division runs in
// every pass and there is no regularisation term.

#include "frame/args.hpp"
#include "frame/arrays.hpp"
#include "frame/buffer.hpp"
#include "frame/cpu.hpp"
#include "frame/csr.hpp"
#include "frame/errors.hpp"
#include "frame/exp.hpp"
#include "frame/fma.hpp"
#include "frame/gil.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

namespace {

using frame::Strided1;

// ---------------------------------------------------------------------------
// ML-EM kernels: plain strided arrays, no Python objects; they run without
// the interpreter lock. The response has passed frame::check_csr_rows, so
// every position and column they use is valid. With Wrap, a negative
// position or column counts from the end of its array; without, none is
// negative.

// Added to every predicted bin before the division, and the lower bound of
// the sensitivity.
constexpr double guard = 1e-12;

template <bool Wrap>
[[gnu::always_inline]] inline Py_ssize_t from_end(long long i, Py_ssize_t length) {
    if constexpr (Wrap) return i < 0 ? i + length : i;
    return i;
}

// The response as the kernels read it: columns[n], rows offsets[n+1].
template <bool Wrap>
struct Response {
    frame::CsrView csr;
    Py_ssize_t columns;

    long long begin(Py_ssize_t row) const { return csr.offsets[row]; }
    long long end(Py_ssize_t row) const { return csr.offsets[row + 1]; }
    double value(long long k) const { return csr.values[from_end<Wrap>(k, csr.values.size)]; }
    Py_ssize_t column(long long k) const {
        return from_end<Wrap>(csr.indices[from_end<Wrap>(k, csr.indices.size)], columns);
    }
};

// estimate = M^T x: estimate[i] collects values[k]*x[j] for every entry k of
// every row j whose column is i, rows ascending and entries ascending within
// a row, each term added with one fused multiply-add onto 0.0.
// x[n], estimate[n]; O(n + entries).
template <bool Wrap>
[[gnu::always_inline]] inline void forward(Strided1<const double> x, const Response<Wrap>& m,
                                           Strided1<double> estimate, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) estimate[i] = 0.0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        const double xj = x[j];
        const long long end = m.end(j);
        for (long long k = m.begin(j); k < end; ++k) {
            const Py_ssize_t column = m.column(k);
            estimate[column] = std::fma(m.value(k), xj, estimate[column]);
        }
    }
}

// ratio[i] = y[i] / (estimate[i] + 1e-12), the sum rounded, then the
// quotient; no other guard. y[n], estimate[n], ratio[n]; O(n).
[[gnu::always_inline]] inline void compute_ratio(Strided1<const double> y, Strided1<const double> estimate,
                                                 Strided1<double> ratio, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) ratio[i] = y[i] / (estimate[i] + guard);
}

// Row j of M ratio: total = fma(values[k], ratio[indices[k]], total) for k
// ascending from `k`, total starting at 0.0 (so 0.0 for an empty row).
// ratio[n]; O(entries of the row).
template <bool Wrap>
[[gnu::always_inline]] inline double back_project_row(long long k, long long end, Strided1<const double> ratio,
                                                      const Response<Wrap>& m, double total = 0.0) {
    for (; k < end; ++k) total = std::fma(m.value(k), ratio[m.column(k)], total);
    return total;
}

// The rows of M ratio, one dependent chain of fused multiply-adds per row,
// each total handed to finish(j, total) for j ascending. Rows are
// independent, so four of them advance side by side for as long as all four
// have entries left, and each finishes its own chain after that: every row
// still adds its terms in its own ascending order. ratio[n]; O(n + entries).
template <bool Wrap, class Finish>
[[gnu::always_inline]] inline void back_project_rows(Strided1<const double> ratio, const Response<Wrap>& m,
                                                     Py_ssize_t n, Finish finish) {
    constexpr int lanes = 4;
    Py_ssize_t j = 0;
    for (; j + lanes <= n; j += lanes) {
        long long k[lanes], end[lanes];
        double total[lanes];
        long long common = LLONG_MAX;
        for (int l = 0; l < lanes; ++l) {
            k[l] = m.begin(j + l);
            end[l] = m.end(j + l);
            total[l] = 0.0;
            common = std::min(common, k[l] < end[l] ? end[l] - k[l] : 0);
        }
        for (long long t = 0; t < common; ++t) {
            for (int l = 0; l < lanes; ++l) {
                total[l] = std::fma(m.value(k[l] + t), ratio[m.column(k[l] + t)], total[l]);
            }
        }
        for (int l = 0; l < lanes; ++l) finish(j + l, back_project_row(k[l] + common, end[l], ratio, m, total[l]));
    }
    for (; j < n; ++j) finish(j, back_project_row(m.begin(j), m.end(j), ratio, m));
}

// correction = M ratio. ratio[n], correction[n]; O(n + entries).
template <bool Wrap>
[[gnu::always_inline]] inline void backward(Strided1<const double> ratio, const Response<Wrap>& m,
                                            Strided1<double> correction, Py_ssize_t n) {
    back_project_rows(ratio, m, n, [&](Py_ssize_t j, double total) { correction[j] = total; });
}

// correction[i] /= sensitivity[i] where that exceeds 1e-12, else /= 1e-12
// (zero, negative and NaN sensitivities alike). correction[n],
// sensitivity[>= n]; O(n).
[[gnu::always_inline]] inline void apply_sensitivity(Strided1<double> correction,
                                                     Strided1<const double> sensitivity, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double s = sensitivity[i];
        correction[i] = correction[i] / (s > guard ? s : guard);
    }
}

// x[i] *= correction[i]. x[n], correction[n]; O(n).
[[gnu::always_inline]] inline void multiply_update(Strided1<double> x, Strided1<const double> correction,
                                                   Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) x[i] = x[i] * correction[i];
}

// The arrays of one reconstruction, all of at least n elements.
struct MlEmArrays {
    Strided1<double> x, estimate, ratio, correction;
    Strided1<const double> y, sensitivity;
};

// One sweep over the rows that finishes a pass and starts the next one's
// forward projection: for each row j, c = (M ratio)[j] / max(sensitivity[j],
// 1e-12), x[j] *= c, then row j's terms values[k]*x[j] are added onto
// estimate (cleared first). Every quantity is the one the separate steps
// (backward, apply_sensitivity, multiply_update, then forward) compute, with
// the same operations in the same order: estimate[i] still collects its
// terms rows ascending and entries ascending within a row, and row j's
// back-projection reads only `ratio`. The stored entries are read once per
// pass instead of twice; a row's entries are still in cache for the second
// use. ratio[n], x[n], estimate[n], sensitivity[>= n]; O(n + entries).
template <bool Wrap>
[[gnu::always_inline]] inline void update_and_forward(Strided1<const double> ratio, const Response<Wrap>& m,
                                                      Strided1<const double> sensitivity, Strided1<double> x,
                                                      Strided1<double> estimate, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) estimate[i] = 0.0;
    auto finish_row = [&](Py_ssize_t j, double total) {
        const double s = sensitivity[j];
        const double correction = total / (s > guard ? s : guard);
        const double xj = x[j] * correction;
        x[j] = xj;
        const long long end = m.end(j);
        for (long long k = m.begin(j); k < end; ++k) {
            const Py_ssize_t column = m.column(k);
            estimate[column] = std::fma(m.value(k), xj, estimate[column]);
        }
    };
    back_project_rows(ratio, m, n, finish_row);
}

// `iterations` passes of
//   x <- x * (M (y / (M^T x + 1e-12))) / max(sensitivity, 1e-12)
// through the five steps above, in that order, on the same arrays; every
// pass but the last ends in update_and_forward, which also does the next
// pass's forward projection (the same result in one sweep over the
// entries instead of two). O(iterations * (n + entries)); no allocation.
template <bool Wrap>
[[gnu::always_inline]] inline void iterate(int iterations, const Response<Wrap>& m, const MlEmArrays& a,
                                           Py_ssize_t n) {
    auto as_const = [](Strided1<double> v) { return Strided1<const double>{v.data, v.size, v.stride}; };
    if (iterations <= 0) return;
    forward(as_const(a.x), m, a.estimate, n);
    for (int pass = 0; pass < iterations; ++pass) {
        compute_ratio(a.y, as_const(a.estimate), a.ratio, n);
        if (pass + 1 < iterations) {
            update_and_forward(as_const(a.ratio), m, a.sensitivity, a.x, a.estimate, n);
        } else {
            backward(as_const(a.ratio), m, a.correction, n);
            apply_sensitivity(a.correction, a.sensitivity, n);
            multiply_update(a.x, as_const(a.correction), n);
        }
    }
}

// ---------------------------------------------------------------------------
// The same passes on plain pointers, for the usual case: work arrays of their
// own, unit-stride values, no entry counted from the end. Each row is read
// as a span of values; where its columns are consecutive (what a Gaussian
// response and most detector responses have) it also carries its first
// column, so that its ratio terms are a contiguous stretch and its forward
// terms a contiguous update, with no index read at all. Every operation and
// its order is that of the strided kernels above.

// Row j's entries values[begin .. begin+count-1]; their columns are column,
// column+1, ... when column >= 0 (a run; an empty row is an empty run), and
// indices[begin ..] when column is -1.
struct RowSpan {
    long long begin;
    long long count;
    long long column;
};

struct PlainMlEm {
    const RowSpan* rows;
    const double* values;
    const std::int32_t* indices;  // read only by rows that are not runs
    const double* y;
    const double* divisor;        // max(sensitivity, 1e-12) as apply_sensitivity takes it
    double* x;
    double* estimate;
    double* ratio;
    Py_ssize_t n;
};

// estimate[t] = fma(values[t], xj, estimate[t]) for t < count: the terms of
// one run-row, independent of each other, so several at a time.
struct GenericLanes {
    [[gnu::always_inline]] static void add_scaled(const double* values, double xj, double* estimate,
                                                  long long count) {
        for (long long t = 0; t < count; ++t) estimate[t] = std::fma(values[t], xj, estimate[t]);
    }

    // The forward terms of Rows adjacent run-rows with updated x[j] values
    // xs, rows in ascending order.
    template <int Rows>
    [[gnu::always_inline]] static void add_rows(const double* values, const RowSpan* rows, const double* xs,
                                                double* estimate, Py_ssize_t) {
        for (int l = 0; l < Rows; ++l) {
            add_scaled(values + rows[l].begin, xs[l], estimate + rows[l].column, rows[l].count);
        }
    }
};

struct Avx2Lanes {
    [[gnu::target("avx2,fma")]] static void add_scaled(const double* values, double xj, double* estimate,
                                                       long long count) {
        const __m256d scale = _mm256_set1_pd(xj);
        long long t = 0;
        for (; t + 8 <= count; t += 8) {
            const __m256d low =
                _mm256_fmadd_pd(_mm256_loadu_pd(values + t), scale, _mm256_loadu_pd(estimate + t));
            const __m256d high =
                _mm256_fmadd_pd(_mm256_loadu_pd(values + t + 4), scale, _mm256_loadu_pd(estimate + t + 4));
            _mm256_storeu_pd(estimate + t, low);
            _mm256_storeu_pd(estimate + t + 4, high);
        }
        if (t + 4 <= count) {
            const __m256d e = _mm256_loadu_pd(estimate + t);
            _mm256_storeu_pd(estimate + t, _mm256_fmadd_pd(_mm256_loadu_pd(values + t), scale, e));
            t += 4;
        }
        for (; t < count; ++t) estimate[t] = std::fma(values[t], xj, estimate[t]);
    }

    // Block [c, c+4) of estimate with the terms of the rows that reach into
    // it, each under the mask of the lanes its run covers.
    template <int Rows>
    [[gnu::target("avx2,fma")]] static void masked_block(const double* values, const RowSpan* rows,
                                                         const __m256d* scale, double* estimate,
                                                         long long c) {
        const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
        const __m256i minus_one = _mm256_set1_epi64x(-1);
        __m256d e = _mm256_loadu_pd(estimate + c);
        for (int l = 0; l < Rows; ++l) {
            // Lane t takes the row's entry at position s + t of the run.
            const long long s = c - rows[l].column;
            const __m256i position = _mm256_add_epi64(_mm256_set1_epi64x(s), lane);
            const __m256i count = _mm256_set1_epi64x(rows[l].count);
            const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi64(position, minus_one),
                                                    _mm256_cmpgt_epi64(count, position));
            // The address of entry s, formed as an integer: it may lie
            // outside the array, where no lane is loaded.
            const auto first = reinterpret_cast<std::uintptr_t>(values + rows[l].begin);
            const auto* entry =
                reinterpret_cast<const double*>(first + static_cast<std::uintptr_t>(s) * sizeof(double));
            const __m256d v = _mm256_maskload_pd(entry, inside);
            e = _mm256_blendv_pd(e, _mm256_fmadd_pd(v, scale[l], e), _mm256_castsi256_pd(inside));
        }
        _mm256_storeu_pd(estimate + c, e);
    }

    // GenericLanes::add_rows on blocks of four columns: each block of
    // estimate is loaded once, takes the terms of every row that reaches it,
    // rows in ascending order, and is stored once. So a column still collects
    // its terms rows ascending, and the next row's update never reloads a
    // block that a store has only partly written (which would stall). Blocks
    // that every row covers need no mask; those at the rows' ends take each
    // row's terms under a lane mask (masked loads do not fault outside the
    // row, and a blend keeps the lanes outside it untouched). Rows spread
    // far apart are updated one by one instead.
    template <int Rows>
    [[gnu::target("avx2,fma")]] static void add_rows(const double* values, const RowSpan* rows,
                                                     const double* xs, double* estimate, Py_ssize_t n) {
        long long lo = LLONG_MAX, hi = 0, core_lo = 0, core_hi = LLONG_MAX, total = 0;
        for (int l = 0; l < Rows; ++l) {
            const long long count = rows[l].count;
            if (count == 0) continue;
            const long long first = rows[l].column;
            lo = std::min(lo, first);
            hi = std::max(hi, first + count);
            core_lo = std::max(core_lo, first);
            core_hi = std::min(core_hi, first + count);
            total += count;
        }
        if (total == 0) return;
        if (hi - lo > total + 4 * Rows) {
            for (int l = 0; l < Rows; ++l) {
                add_scaled(values + rows[l].begin, xs[l], estimate + rows[l].column, rows[l].count);
            }
            return;
        }
        __m256d scale[Rows];
        for (int l = 0; l < Rows; ++l) scale[l] = _mm256_set1_pd(xs[l]);
        // Block k covers columns lo + 4k .. lo + 4k + 3. Blocks core_first ..
        // core_end - 1 lie inside every non-empty row; the vector blocks stop
        // before one would pass the end of estimate.
        const long long blocks = std::max(0LL, std::min((hi - lo + 3) / 4, (n - lo) / 4));
        const long long core_first = std::min(blocks, std::max(0LL, (core_lo - lo + 3) / 4));
        const long long core_end = std::max(core_first, std::min(blocks, (core_hi - lo) / 4));
        long long k = 0;
        for (; k < core_first; ++k) masked_block<Rows>(values, rows, scale, estimate, lo + 4 * k);
        if (k < core_end) {
            const double* v[Rows];
            for (int l = 0; l < Rows; ++l) v[l] = values + rows[l].begin + (lo + 4 * k - rows[l].column);
            for (; k < core_end; ++k) {
                const long long c = lo + 4 * k;
                __m256d e = _mm256_loadu_pd(estimate + c);
                for (int l = 0; l < Rows; ++l) {
                    e = _mm256_fmadd_pd(_mm256_loadu_pd(v[l]), scale[l], e);
                    v[l] += 4;
                }
                _mm256_storeu_pd(estimate + c, e);
            }
        }
        for (; k < blocks; ++k) masked_block<Rows>(values, rows, scale, estimate, lo + 4 * k);
        // The last columns, where a block would pass the end of estimate.
        for (long long c = lo + 4 * blocks; c < hi; ++c) {
            double e = estimate[c];
            for (int l = 0; l < Rows; ++l) {
                const long long s = c - rows[l].column;
                if (s >= 0 && s < rows[l].count) e = std::fma(values[rows[l].begin + s], xs[l], e);
            }
            estimate[c] = e;
        }
    }
};

// Row j's forward terms, values[k]*xj onto estimate[column of k], k ascending.
template <class Lanes>
[[gnu::always_inline]] inline void plain_forward_row(const PlainMlEm& a, const RowSpan& row, double xj) {
    const double* const v = a.values + row.begin;
    if (row.column >= 0) {
        Lanes::add_scaled(v, xj, a.estimate + row.column, row.count);
    } else {
        const std::int32_t* const columns = a.indices + row.begin;
        for (long long t = 0; t < row.count; ++t) {
            a.estimate[columns[t]] = std::fma(v[t], xj, a.estimate[columns[t]]);
        }
    }
}

// The back-projections of rows[0 .. Rows-1], one dependent chain per row:
// they advance side by side for the `common` entries all of them have, then
// each finishes on its own, every row adding its terms in its ascending
// order. ratio_at(l, t) is the ratio term of entry t of row l.
template <int Rows, class RatioAt>
[[gnu::always_inline]] inline void back_project_chains(const double* const (&v)[Rows], const RowSpan* rows,
                                                       long long common, RatioAt ratio_at, double* total) {
    for (long long t = 0; t < common; ++t) {
        for (int l = 0; l < Rows; ++l) total[l] = std::fma(v[l][t], ratio_at(l, t), total[l]);
    }
    for (int l = 0; l < Rows; ++l) {
        for (long long t = common; t < rows[l].count; ++t) total[l] = std::fma(v[l][t], ratio_at(l, t), total[l]);
    }
}

// back_project_chains for rows[0 .. Rows-1], their ratio terms a contiguous
// stretch where all of them are runs, else read through their columns.
// Returns whether all of them are runs.
template <int Rows>
[[gnu::always_inline]] inline bool plain_back_project(const PlainMlEm& a, const RowSpan* rows,
                                                      double* total) {
    const double* v[Rows];
    long long common = LLONG_MAX;
    bool runs = true;
    for (int l = 0; l < Rows; ++l) {
        v[l] = a.values + rows[l].begin;
        total[l] = 0.0;
        common = std::min(common, rows[l].count);
        runs = runs && rows[l].column >= 0;
    }
    if (runs) {
        const double* r[Rows];
        for (int l = 0; l < Rows; ++l) r[l] = a.ratio + rows[l].column;
        back_project_chains<Rows>(v, rows, common, [&](int l, long long t) { return r[l][t]; }, total);
    } else {
        const std::int32_t* c[Rows];
        for (int l = 0; l < Rows; ++l) c[l] = a.indices + rows[l].begin;
        back_project_chains<Rows>(v, rows, common, [&](int l, long long t) { return a.ratio[c[l][t]]; },
                                  total);
    }
    return runs;
}

// update_and_forward (with `forward_next`) or backward, apply_sensitivity
// and multiply_update (without), as one sweep over the rows.
template <class Lanes, int Rows>
[[gnu::always_inline]] inline void plain_sweep(const PlainMlEm& a, bool forward_next) {
    const Py_ssize_t n = a.n;
    if (forward_next) std::fill(a.estimate, a.estimate + n, 0.0);
    auto update = [&](Py_ssize_t j, double total) {
        const double xj = a.x[j] * (total / a.divisor[j]);
        a.x[j] = xj;
        return xj;
    };
    auto finish = [&](Py_ssize_t j, double total) {
        const double xj = update(j, total);
        if (forward_next) plain_forward_row<Lanes>(a, a.rows[j], xj);
    };
    Py_ssize_t j = 0;
    for (; j + Rows <= n; j += Rows) {
        double total[Rows];
        const bool runs = plain_back_project<Rows>(a, a.rows + j, total);
        if (runs && forward_next) {
            double xs[Rows];
            for (int l = 0; l < Rows; ++l) xs[l] = update(j + l, total[l]);
            Lanes::template add_rows<Rows>(a.values, a.rows + j, xs, a.estimate, n);
        } else {
            for (int l = 0; l < Rows; ++l) finish(j + l, total[l]);
        }
    }
    for (; j < n; ++j) {
        double total[1];
        plain_back_project<1>(a, a.rows + j, total);
        finish(j, total[0]);
    }
}

// iterate() on plain pointers.
template <class Lanes, int Rows>
[[gnu::always_inline]] inline void plain_iterate(int iterations, const PlainMlEm& a) {
    if (iterations <= 0) return;
    std::fill(a.estimate, a.estimate + a.n, 0.0);
    for (Py_ssize_t j = 0; j < a.n; ++j) plain_forward_row<Lanes>(a, a.rows[j], a.x[j]);
    for (int pass = 0; pass < iterations; ++pass) {
        for (Py_ssize_t i = 0; i < a.n; ++i) a.ratio[i] = a.y[i] / (a.estimate[i] + guard);
        plain_sweep<Lanes, Rows>(a, pass + 1 < iterations);
    }
}

// Rows advancing side by side in a back-projection: enough independent
// chains to hide the latency of a fused multiply-add, few enough that their
// pointers stay in registers.
constexpr int plain_rows = 6;

[[gnu::target("avx2,fma"), gnu::flatten, gnu::noinline]] void plain_iterate_avx2(int iterations,
                                                                               const PlainMlEm& a) {
    plain_iterate<Avx2Lanes, plain_rows>(iterations, a);
}

void run_plain(int iterations, const PlainMlEm& a) {
    if (frame::cpu_has_avx2_fma()) {
        plain_iterate_avx2(iterations, a);
    } else {
        frame::run_fma_dispatched([&] { plain_iterate<GenericLanes, plain_rows>(iterations, a); });
    }
}

// The bytes a strided view covers, [low, high); empty for an empty view.
struct ByteRange {
    const char* low = nullptr;
    const char* high = nullptr;
};

template <class T>
ByteRange byte_range(Strided1<T> v) {
    if (v.size <= 0) return {};
    const char* const first = v.data;
    const char* const last = v.data + (v.size - 1) * v.stride;
    return {std::min(first, last), std::max(first, last) + sizeof(T)};
}

inline bool overlap(ByteRange a, ByteRange b) { return a.low < b.high && b.low < a.high; }

// Whether the columns at positions [begin, end) (0 <= begin < end, all
// valid) go up by one from each to the next. O(end - begin), branch-free on
// unit-stride indices.
// (Out of line: the compiler vectorises the loop there.)
[[gnu::noinline]] bool consecutive_columns(Strided1<const std::int32_t> indices, long long begin,
                                           long long end) {
    if (indices.stride == static_cast<Py_ssize_t>(sizeof(std::int32_t))) {
        const std::int32_t* const column = reinterpret_cast<const std::int32_t*>(indices.data) + begin;
        const long long count = end - begin;
        // No column is negative, so the unsigned difference is 1 exactly
        // for consecutive ones; the OR of every difference less one is 0
        // exactly when all are.
        const auto* const c = reinterpret_cast<const std::uint32_t*>(column);
        std::uint32_t broken = 0;
        for (long long t = 0; t + 1 < count; ++t) broken |= c[t + 1] - c[t] - 1u;
        return broken == 0;
    }
    for (long long k = begin + 1; k < end; ++k) {
        if (indices[k] != indices[k - 1] + 1LL) return false;
    }
    return true;
}

// The row spans and contiguous copies of y and of the clamped sensitivity.
struct PlainScratch {
    std::vector<RowSpan> rows;
    std::vector<double> y, divisor;
};

// Whether the plain kernels can stand in for the strided ones on these
// arrays (one-dimensional views, all of at least n elements, the response
// checked), and their input in `plain` if so. They can when nothing counts
// from the end, the work arrays are unit-stride and share no byte with each
// other or with an input (so that copies of y and sensitivity read the same
// values throughout), values is unit-stride and so is indices where a row
// needs it, and the scratch can be allocated. O(n + entries).
bool prepare_plain(const frame::CsrView& csr, const MlEmArrays& a, Py_ssize_t n, bool negative,
                   PlainScratch& scratch, PlainMlEm& plain) {
    constexpr Py_ssize_t unit = sizeof(double);
    auto contiguous = [](auto v, Py_ssize_t size) { return v.size <= 1 || v.stride == size; };
    if (negative || a.x.stride != unit || a.estimate.stride != unit || a.ratio.stride != unit ||
        a.correction.stride != unit || !contiguous(csr.values, unit)) {
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
    try {
        scratch.rows.resize(static_cast<std::size_t>(n));
        scratch.y.resize(static_cast<std::size_t>(n));
        scratch.divisor.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        return false;
    }
    bool indexed = false;
    for (Py_ssize_t j = 0; j < n; ++j) {
        const long long begin = csr.offsets[j];
        const long long end = csr.offsets[j + 1];
        RowSpan& row = scratch.rows[static_cast<std::size_t>(j)];
        if (begin >= end) {
            row = {0, 0, 0};
            continue;
        }
        const bool run = consecutive_columns(csr.indices, begin, end);
        row = {begin, end - begin, run ? csr.indices[begin] : -1};
        indexed = indexed || !run;
    }
    if (indexed && !contiguous(csr.indices, sizeof(std::int32_t))) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double s = a.sensitivity[i];
        scratch.y[static_cast<std::size_t>(i)] = a.y[i];
        scratch.divisor[static_cast<std::size_t>(i)] = s > guard ? s : guard;
    }
    plain = {scratch.rows.data(),
             reinterpret_cast<const double*>(csr.values.data),
             reinterpret_cast<const std::int32_t*>(csr.indices.data),
             scratch.y.data(),
             scratch.divisor.data(),
             reinterpret_cast<double*>(a.x.data),
             reinterpret_cast<double*>(a.estimate.data),
             reinterpret_cast<double*>(a.ratio.data),
             n};
    return true;
}

// ---------------------------------------------------------------------------
// Gaussian response kernels.

// NumPy's ordering of doubles: NaN after every number.
inline bool npy_less(double a, double b) { return (a < b) | ((b != b) & (a == a)); }

enum class Side { left, right };

// The search for one key on an axis a[n] ascending in npy_less order: the
// answer is the first i with !(a[i] < key) (left) or key < a[i] (right) in
// that order, the point where after() turns from true to false.
template <Side side>
struct Partition {
    Strided1<const double> a;
    double key;

    // Whether the answer lies beyond i.
    bool after(Py_ssize_t i) const {
        return side == Side::left ? npy_less(a[i], key) : !npy_less(key, a[i]);
    }

    // The answer, known to lie in [base, base + length]. Branch-free: the
    // probes depend on the data, so a branch on them would be mispredicted
    // half the time.
    Py_ssize_t within(Py_ssize_t base, Py_ssize_t length) const {
        if (length == 0) return base;
        while (length > 1) {
            const Py_ssize_t half = length / 2;
            base = after(base + half - 1) ? base + half : base;
            length -= half;
        }
        return base + (after(base) ? 1 : 0);
    }

    // The answer, searched outwards from `hint` (0 <= hint <= n) in steps
    // that double, then bisected: O(log distance), for keys that move little
    // from one row to the next.
    Py_ssize_t near(Py_ssize_t hint) const {
        const Py_ssize_t n = a.size;
        Py_ssize_t step = 1;
        if (hint < n && after(hint)) {
            Py_ssize_t low = hint + 1;  // the answer is >= low
            while (low + step - 1 < n && after(low + step - 1)) {
                low += step;
                step *= 2;
            }
            const Py_ssize_t high = std::min(n, low + step - 1);
            return within(low, high - low);
        }
        Py_ssize_t high = hint;  // the answer is <= high
        while (high - step >= 0 && !after(high - step)) {
            high -= step;
            step *= 2;
        }
        const Py_ssize_t low = std::max<Py_ssize_t>(0, high - step + 1);
        return within(low, high - low);
    }
};

// The first i with !(a[i] < key) (left) or key < a[i] (right) in npy_less
// order on an axis ascending in that order, which is what
// np.searchsorted(a, key, side) gives there (any correct search of such an
// axis finds the same i). a[n]; O(log n).
template <Side side>
Py_ssize_t bisect(Strided1<const double> a, double key) {
    return Partition<side>{a, key}.within(0, a.size);
}

// Whether a[n] is ascending in npy_less order (NaN only at the end). O(n).
bool ascending(Strided1<const double> a) {
    for (Py_ssize_t i = 1; i < a.size; ++i) {
        if (npy_less(a[i], a[i - 1])) return false;
    }
    return true;
}

// The entries gathered for the response, rows one after another.
struct ResponseRows {
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> indices;
    std::vector<double> values;
    long long wide_column = 0;  // the first column beyond int32, when wide
    bool wide = false;
};

// One row of the response, centred on `centre` with width `s`: for j = low
// .. high-1 ascending, d = (axis[j] - centre) / s and w = exp((d * -0.5) *
// d); appends j and w / norm, norm being the sum of all the row's w added in
// that order from 0.0. The window is valid for axis[n] (a negative j counts
// from the end and is stored as it is). O(high - low); the storage grows by
// high - low entries (reserved ahead by the caller where it can).
void gaussian_row(Strided1<const double> axis, double centre, double s, Py_ssize_t low, Py_ssize_t high,
                  ResponseRows& rows) {
    if (low >= high) return;
    if (!rows.wide && (low < INT32_MIN || high - 1 > INT32_MAX)) {
        rows.wide = true;
        rows.wide_column = low < INT32_MIN ? low : std::max<long long>(low, 1LL + INT32_MAX);
    }
    const std::size_t first = rows.values.size();
    const std::size_t count = static_cast<std::size_t>(high - low);
    rows.indices.resize(first + count);
    rows.values.resize(first + count);
    std::int32_t* const columns = rows.indices.data() + first;
    double* const w = rows.values.data() + first;
    // The exponents first, then all the row's exp in one vectorised call
    // (the bits of std::exp), then the sum in column order.
    for (Py_ssize_t j = low; j < high; ++j) {
        const double d = (axis[j < 0 ? j + axis.size : j] - centre) / s;
        columns[j - low] = static_cast<std::int32_t>(j);
        w[j - low] = (d * -0.5) * d;
    }
    frame::exp_array(w, w, static_cast<std::ptrdiff_t>(count));
    double norm = 0.0;
    for (std::size_t p = 0; p < count; ++p) norm = norm + w[p];
    for (std::size_t p = 0; p < count; ++p) w[p] = w[p] / norm;
}

// Richardson-Lucy's width model: full width at half maximum k * sqrt(E) * E,
// divided by FWHM_C = 2 sqrt(2 ln 2) to give the standard deviation.
constexpr double FWHM_C = 2.3548200450309493;

inline double get_sigma(double k, double energy) {
    const double resolution = k * std::sqrt(energy);
    return (resolution * energy) / FWHM_C;
}

// ---------------------------------------------------------------------------
// Python glue.

constexpr frame::Name ones_like_name{"ones_like"};
constexpr frame::Name empty_like_name{"empty_like"};
constexpr frame::Name searchsorted_name{"searchsorted"};
constexpr frame::Name side_name{"side"};
constexpr frame::Name right_name{"right"};
constexpr frame::Name int64_name{"int64"};
constexpr frame::Name int32_name{"int32"};
constexpr frame::Name float64_name{"float64"};

// np.<function>(like) bound to a writable one-dimensional float64 ndarray
// local: the result must be an ndarray (or None) whose buffer passes that
// check.
bool new_work_array(const frame::Name& function, PyObject* like, frame::Ref& array,
                    frame::HeldBuffer& buffer) {
    array = frame::call_numpy(function, {like});
    return array && frame::check_ndarray_result(array.get()) &&
           buffer.acquire_array(array.get(), frame::float64_t, 1, true);
}

// The ML-EM core, from the buffer checks on; called by ML_EM_cy and by
// richardson_lucy_cy, each of which adds the ML_EM_cy traceback entry. The
// arrays are ndarrays or None (type-tested by the caller). New reference to
// the estimate, or nullptr with the exception set.
PyObject* ml_em(PyObject* y, PyObject* offsets, PyObject* indices, PyObject* values, PyObject* sensitivity,
                int iterations) {
    frame::HeldBuffer y_buffer, offsets_buffer, indices_buffer, values_buffer, sensitivity_buffer;
    if (!y_buffer.acquire_array(y, frame::float64_t, 1) ||
        !offsets_buffer.acquire_array(offsets, frame::int64_t_, 1) ||
        !indices_buffer.acquire_array(indices, frame::int32_t_, 1) ||
        !values_buffer.acquire_array(values, frame::float64_t, 1) ||
        !sensitivity_buffer.acquire_array(sensitivity, frame::float64_t, 1)) {
        return nullptr;
    }

    frame::Ref x, estimate, ratio, correction;
    frame::HeldBuffer x_buffer, estimate_buffer, ratio_buffer, correction_buffer;
    if (!new_work_array(ones_like_name, y, x, x_buffer) ||
        !new_work_array(empty_like_name, y, estimate, estimate_buffer) ||
        !new_work_array(empty_like_name, y, ratio, ratio_buffer) ||
        !new_work_array(empty_like_name, y, correction, correction_buffer)) {
        return nullptr;
    }
    if (iterations <= 0) return x.release();

    // Everything the loops will touch is checked here, once, so that they
    // need no check per element.
    const Py_ssize_t n = y_buffer.extent(0);
    for (const frame::HeldBuffer* work : {&x_buffer, &estimate_buffer, &ratio_buffer, &correction_buffer}) {
        if (work->extent(0) < n) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
    }
    const frame::CsrView csr{offsets_buffer.view1<const std::int64_t>(),
                             indices_buffer.view1<const std::int32_t>(),
                             values_buffer.view1<const double>(),
                             offsets == Py_None,
                             indices == Py_None,
                             values == Py_None};
    bool negative = false;
    if (!frame::check_csr_rows(csr, n, n, "len(y)", negative) ||
        !frame::check_min_entries("sensitivity", sensitivity == Py_None, sensitivity_buffer.extent(0), n,
                                  "len(y)")) {
        return nullptr;
    }

    const MlEmArrays arrays{x_buffer.view1<double>(),          estimate_buffer.view1<double>(),
                            ratio_buffer.view1<double>(),      correction_buffer.view1<double>(),
                            y_buffer.view1<const double>(),    sensitivity_buffer.view1<const double>()};
    {
        frame::WithoutGil released;
        PlainScratch scratch;
        PlainMlEm plain;
        if (prepare_plain(csr, arrays, n, negative, scratch, plain)) {
            run_plain(iterations, plain);
        } else {
            frame::run_fma_dispatched([&] {
                if (negative) {
                    iterate(iterations, Response<true>{csr, n}, arrays, n);
                } else {
                    iterate(iterations, Response<false>{csr, n}, arrays, n);
                }
            });
        }
    }
    return x.release();
}

// The windows of the response rows: [low, high) holds the axis points with
// xmin <= axis[j] <= xmax as np.searchsorted finds them. When np.searchsorted
// (looked up once per call, at the first row) is NumPy's own and the axis is
// ascending, the search is native: every correct bisection of an ascending
// axis gives NumPy's answer, NaN and infinite bounds included. Otherwise
// np.searchsorted is looked up and called for each bound of each row.
class Windows {
public:
    Windows(PyObject* axis_object, Strided1<const double> axis) : axis_object_(axis_object), axis_(axis) {}

    bool choose() {
        frame::Ref current = frame::numpy_attribute(searchsorted_name);
        if (!current) return false;
        PyObject* own = numpys_searchsorted();
        native_ = own != nullptr && current.get() == own && ascending(axis_);
        if (!native_) {
            side_keyword_ = frame::Ref::steal(PyTuple_Pack(1, side_name.object()));
            if (!side_keyword_ || right_name.object() == nullptr) return false;
        }
        return true;
    }

    bool native() const { return native_; }

    // The native search, started from the previous row's window.
    void find_near(double xmin, double xmax, Py_ssize_t& low, Py_ssize_t& high) const {
        low = Partition<Side::left>{axis_, xmin}.near(low);
        high = Partition<Side::right>{axis_, xmax}.near(high);
    }

    bool find(double xmin, double xmax, Py_ssize_t& low, Py_ssize_t& high) const {
        if (native_) {
            low = bisect<Side::left>(axis_, xmin);
            high = bisect<Side::right>(axis_, xmax);
            return true;
        }
        return call_searchsorted(xmin, false, low) && call_searchsorted(xmax, true, high);
    }

private:
    // NumPy's own searchsorted, taken from the module that defines it (so a
    // replacement bound to numpy.searchsorted is not mistaken for it) on
    // first use and kept; nullptr when it cannot be found, and then the
    // search is always NumPy's.
    // (The interpreter lock guards the cache.)
    static PyObject* numpys_searchsorted() {
        static bool looked_up = false;
        static PyObject* own = nullptr;
        if (looked_up) return own;
        looked_up = true;
        frame::Ref module = frame::Ref::steal(PyImport_ImportModule("numpy._core.fromnumeric"));
        if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
            PyErr_Clear();
            module = frame::Ref::steal(PyImport_ImportModule("numpy.core.fromnumeric"));
        }
        own = module ? PyObject_GetAttrString(module.get(), "searchsorted") : nullptr;
        if (own == nullptr) PyErr_Clear();
        return own;
    }

    // np.searchsorted(<fresh view of axis>, bound) or, for the upper bound,
    // the same with side="right"; the result as a signed 64-bit index.
    bool call_searchsorted(double bound, bool right, Py_ssize_t& index) const {
        frame::Ref function = frame::numpy_attribute(searchsorted_name);
        if (!function) return false;
        frame::Ref view = frame::Ref::steal(PyMemoryView_FromObject(axis_object_));
        if (!view) return false;
        frame::Ref key = frame::Ref::steal(PyFloat_FromDouble(bound));
        if (!key) return false;
        PyObject* arguments[] = {view.get(), key.get(), right_name.object()};
        frame::Ref result = frame::Ref::steal(
            PyObject_Vectorcall(function.get(), arguments, 2, right ? side_keyword_.get() : nullptr));
        if (!result) return false;
        frame::Ref integer = frame::Ref::steal(PyNumber_Index(result.get()));
        if (!integer) return false;
        index = PyLong_AsSsize_t(integer.get());
        return !(index == -1 && PyErr_Occurred());
    }

    PyObject* axis_object_;
    Strided1<const double> axis_;
    frame::Ref side_keyword_;
    bool native_ = false;
};

// The window [low, high) of one response row.
struct Window {
    Py_ssize_t low;
    Py_ssize_t high;
};

// The rows of a response whose windows are known, written straight into
// their final arrays: row i's entries go to positions offsets[i] ..
// offsets[i+1]-1 of columns and values. Weights as gaussian_row computes
// them: d = (axis[j] - centre) / s, w = exp((d * -0.5) * d), each row's w
// summed in column order from 0.0, then w / norm.
struct GaussianFill {
    const double* axis;  // unit-stride, n points
    Strided1<const double> sigma;
    const Window* windows;
    const std::int64_t* offsets;
    std::int32_t* columns;
    double* values;
    Py_ssize_t n;
};

// The two per-element loops of a row with plain arithmetic: w[p] = (d *
// -0.5) * d with d = (point[p] - centre) / s, and w[p] /= norm.
struct GenericRowLoops {
    static void exponents(const double* point, double centre, double s, double* w, long long count) {
        for (long long p = 0; p < count; ++p) {
            const double d = (point[p] - centre) / s;
            w[p] = (d * -0.5) * d;
        }
    }
    static void normalise(double* w, double norm, long long count) {
        for (long long p = 0; p < count; ++p) w[p] = w[p] / norm;
    }
};

// GenericRowLoops four elements at a time.
struct Avx2RowLoops {
    [[gnu::target("avx2,fma")]] static void exponents(const double* point, double centre, double s, double* w,
                                                      long long count) {
        const __m256d c = _mm256_set1_pd(centre);
        const __m256d width = _mm256_set1_pd(s);
        const __m256d minus_half = _mm256_set1_pd(-0.5);
        long long p = 0;
        for (; p + 4 <= count; p += 4) {
            const __m256d d = _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(point + p), c), width);
            _mm256_storeu_pd(w + p, _mm256_mul_pd(_mm256_mul_pd(d, minus_half), d));
        }
        GenericRowLoops::exponents(point + p, centre, s, w + p, count - p);
    }
    [[gnu::target("avx2,fma")]] static void normalise(double* w, double norm, long long count) {
        const __m256d divisor = _mm256_set1_pd(norm);
        long long p = 0;
        for (; p + 4 <= count; p += 4) {
            _mm256_storeu_pd(w + p, _mm256_div_pd(_mm256_loadu_pd(w + p), divisor));
        }
        GenericRowLoops::normalise(w + p, norm, count - p);
    }
};

// Rows summed side by side: their sums are independent chains of additions.
constexpr int gaussian_rows = 4;

// Rows [first, first + Rows): the exponents of every row, then the exp of
// all of them in one call (their entries are adjacent), then the sums,
// advancing side by side over the entries the rows have in common, then the
// quotients.
template <class Loops, int Rows>
[[gnu::always_inline]] inline void fill_gaussian_rows(const GaussianFill& f, Py_ssize_t first) {
    double* w[Rows];
    long long count[Rows];
    long long common = LLONG_MAX;
    for (int l = 0; l < Rows; ++l) {
        const Py_ssize_t i = first + l;
        const Window window = f.windows[i];
        const long long begin = f.offsets[i];
        count[l] = f.offsets[i + 1] - begin;
        common = std::min(common, count[l]);
        w[l] = f.values + begin;
        Loops::exponents(f.axis + window.low, f.axis[i], f.sigma[i], w[l], count[l]);
        std::int32_t* const column = f.columns + begin;
        for (long long p = 0; p < count[l]; ++p) column[p] = static_cast<std::int32_t>(window.low + p);
    }
    const long long begin = f.offsets[first];
    frame::exp_array(f.values + begin, f.values + begin, f.offsets[first + Rows] - begin);
    double norm[Rows];
    for (int l = 0; l < Rows; ++l) norm[l] = 0.0;
    for (long long p = 0; p < common; ++p) {
        for (int l = 0; l < Rows; ++l) norm[l] = norm[l] + w[l][p];
    }
    for (int l = 0; l < Rows; ++l) {
        for (long long p = common; p < count[l]; ++p) norm[l] = norm[l] + w[l][p];
        Loops::normalise(w[l], norm[l], count[l]);
    }
}

template <class Loops>
[[gnu::always_inline]] inline void fill_gaussian(const GaussianFill& f) {
    Py_ssize_t i = 0;
    for (; i + gaussian_rows <= f.n; i += gaussian_rows) fill_gaussian_rows<Loops, gaussian_rows>(f, i);
    for (; i < f.n; ++i) fill_gaussian_rows<Loops, 1>(f, i);
}

[[gnu::target("avx2,fma"), gnu::flatten, gnu::noinline]] void fill_gaussian_avx2(const GaussianFill& f) {
    fill_gaussian<Avx2RowLoops>(f);
}

[[gnu::flatten, gnu::noinline]] void fill_gaussian_generic(const GaussianFill& f) {
    fill_gaussian<GenericRowLoops>(f);
}

// The response on the native search: every window first (so that the entry
// count is known), then the three arrays made once, at their final sizes,
// with the look-ups the conversions make, and the rows written straight into
// them. The same result, errors and look-ups as gathering the rows and
// converting them. n > 0 points, sigma non-empty.
PyObject* build_response_native(Strided1<const double> axis, Strided1<const double> sigma, double nsigma,
                                const Windows& search) {
    const Py_ssize_t n = axis.size;
    const Py_ssize_t rows = std::min(n, sigma.size);
    std::vector<Window> windows(static_cast<std::size_t>(rows));
    std::vector<double> points(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) points[static_cast<std::size_t>(i)] = axis[i];
    long long total = 0;
    long long wide_column = 0;
    bool wide = false;
    Window previous{0, 0};
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const double centre = points[static_cast<std::size_t>(i)];
        const double s = sigma[i];
        Window& window = windows[static_cast<std::size_t>(i)];
        window = previous;
        search.find_near(centre - nsigma * s, centre + nsigma * s, window.low, window.high);
        previous = window;
        if (window.low >= window.high) {
            window.high = window.low;
            continue;
        }
        total += window.high - window.low;
        if (!wide && window.high - 1 > INT32_MAX) {
            wide = true;
            wide_column = std::max<long long>(window.low, 1LL + INT32_MAX);
        }
    }
    // Row `rows` reads past the end of sigma.
    if (rows < n) {
        frame::raise_out_of_bounds(0);
        return nullptr;
    }

    if (!frame::asarray_lookups(int64_name)) return nullptr;
    frame::Ref offsets = frame::new_uninitialised_array<std::int64_t>(n + 1);
    if (!offsets) return nullptr;
    std::int64_t* const offset = frame::array_data<std::int64_t>(offsets);
    offset[0] = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Window& window = windows[static_cast<std::size_t>(i)];
        offset[i + 1] = offset[i] + (window.high - window.low);
    }
    if (wide) {
        // np.asarray's refusal, after its look-ups.
        if (frame::asarray_lookups(int32_name)) frame::raise_integer_out_of_bounds(wide_column, "int32");
        return nullptr;
    }
    if (!frame::asarray_lookups(int32_name)) return nullptr;
    frame::Ref indices = frame::new_uninitialised_array<std::int32_t>(total);
    if (!indices || !frame::asarray_lookups(float64_name)) return nullptr;
    frame::Ref values = frame::new_uninitialised_array<double>(total);
    if (!values) return nullptr;

    const GaussianFill fill{points.data(),
                            sigma,
                            windows.data(),
                            offset,
                            frame::array_data<std::int32_t>(indices),
                            frame::array_data<double>(values),
                            n};
    if (frame::cpu_has_avx2_fma()) {
        fill_gaussian_avx2(fill);
    } else {
        fill_gaussian_generic(fill);
    }
    return PyTuple_Pack(3, offsets.get(), indices.get(), values.get());
}

// The Gaussian response builder, from the converted views on; called by
// build_gaussian_response and by richardson_lucy_cy, each of which adds the
// build_gaussian_response traceback entry. `axis_object` is the object the
// axis view came from (for the views handed to np.searchsorted). New
// reference to the tuple (offsets, indices, values), or nullptr with the
// exception set.
PyObject* build_response(PyObject* axis_object, Strided1<const double> axis, Strided1<const double> sigma,
                         double nsigma) {
    const Py_ssize_t n = axis.size;
    ResponseRows rows;
    rows.offsets.reserve(static_cast<std::size_t>(n) + 1);
    rows.offsets.push_back(0);

    if (n > 0) {
        // Row 0 reads sigma[0] before its first search.
        if (sigma.size == 0) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
        Windows windows(axis_object, axis);
        if (!windows.choose()) return nullptr;
        auto bounds = [&](Py_ssize_t i, Py_ssize_t& low, Py_ssize_t& high) {
            const double centre = axis[i];
            const double s = sigma[i];
            return windows.find(centre - nsigma * s, centre + nsigma * s, low, high);
        };
        if (windows.native()) return build_response_native(axis, sigma, nsigma, windows);
        rows.indices.reserve(static_cast<std::size_t>(n));
        rows.values.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i >= sigma.size) {
                frame::raise_out_of_bounds(0);
                return nullptr;
            }
            Py_ssize_t low = 0, high = 0;
            if (!bounds(i, low, high)) return nullptr;
            if (low < high && !(frame::valid_index(low, n) && frame::valid_index(high - 1, n))) {
                frame::raise_out_of_bounds(0);
                return nullptr;
            }
            gaussian_row(axis, axis[i], sigma[i], low, high, rows);
            rows.offsets.push_back(static_cast<std::int64_t>(rows.values.size()));
        }
    }

    frame::Ref offsets = frame::asarray_from(rows.offsets, int64_name);
    if (!offsets) return nullptr;
    if (rows.wide) {
        // np.asarray's refusal, after its look-ups.
        if (frame::asarray_lookups(int32_name)) frame::raise_integer_out_of_bounds(rows.wide_column, "int32");
        return nullptr;
    }
    frame::Ref indices = frame::asarray_from(rows.indices, int32_name);
    if (!indices) return nullptr;
    frame::Ref values = frame::asarray_from(rows.values, float64_name);
    if (!values) return nullptr;
    return PyTuple_Pack(3, offsets.get(), indices.get(), values.get());
}

// --- ML_EM_cy(y, offsets, indices, values, sensitivity, iterations=30,
//              reg_tikhonov=False, reg_tikhonov_lambda=0.001, use_sensitivity=False)

const frame::Signature<9> ml_em_signature{"ML_EM_cy",
                                          {"y", "offsets", "indices", "values", "sensitivity", "iterations",
                                           "reg_tikhonov", "reg_tikhonov_lambda", "use_sensitivity"},
                                          5};

PyObject* ML_EM_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("ML_EM_cy", [&]() -> PyObject* {
        std::array<PyObject*, 9> v;
        if (!ml_em_signature.parse(args, nargs, kwnames, v)) return nullptr;
        int iterations = 30;
        [[maybe_unused]] double reg_tikhonov_lambda = 0.001;
        if (v[5] && !frame::to_int32(v[5], iterations)) return nullptr;
        if (v[7] && !frame::to_double(v[7], reg_tikhonov_lambda)) return nullptr;
        for (int i = 0; i < 5; ++i) {
            if (!frame::check_ndarray(v[i], ml_em_signature.names[i].text())) return nullptr;
        }
        if (v[6] && !frame::check_flag(v[6], "reg_tikhonov")) return nullptr;
        if (v[8] && !frame::check_flag(v[8], "use_sensitivity")) return nullptr;
        return ml_em(v[0], v[1], v[2], v[3], v[4], iterations);
    });
}

// --- build_gaussian_response(axis, sigma, nsigma=5.0)

const frame::Signature<3> builder_signature{"build_gaussian_response", {"axis", "sigma", "nsigma"}, 2};

PyObject* build_gaussian_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("build_gaussian_response", [&]() -> PyObject* {
        std::array<PyObject*, 3> v;
        if (!builder_signature.parse(args, nargs, kwnames, v)) return nullptr;
        frame::HeldBuffer axis, sigma;
        double nsigma = 5.0;
        if (!axis.acquire_view(v[0], frame::double_t, 1, true) ||
            !sigma.acquire_view(v[1], frame::double_t, 1, true) ||
            (v[2] && !frame::to_double(v[2], nsigma))) {
            return nullptr;
        }
        return build_response(v[0], axis.view1<const double>(), sigma.view1<const double>(), nsigma);
    });
}

// --- richardson_lucy_cy(x, y, k, sensitivity, iterations=30, reg_tikhonov=False,
//                        reg_tikhonov_lambda=0.001, use_sensitivity=False)

const frame::Signature<8> rl_signature{"richardson_lucy_cy",
                                       {"x", "y", "k", "sensitivity", "iterations", "reg_tikhonov",
                                        "reg_tikhonov_lambda", "use_sensitivity"},
                                       4};

PyObject* richardson_lucy_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("richardson_lucy_cy", [&]() -> PyObject* {
        std::array<PyObject*, 8> v;
        if (!rl_signature.parse(args, nargs, kwnames, v)) return nullptr;
        PyObject* const x = v[0];
        PyObject* const y = v[1];
        PyObject* const sensitivity = v[3];
        double k;
        int iterations = 30;
        [[maybe_unused]] double reg_tikhonov_lambda = 0.001;
        if (!frame::to_double(v[2], k)) return nullptr;
        if (v[4] && !frame::to_int32(v[4], iterations)) return nullptr;
        if (v[6] && !frame::to_double(v[6], reg_tikhonov_lambda)) return nullptr;
        if (!frame::check_ndarray(x, "x") || !frame::check_ndarray(y, "y") ||
            !frame::check_ndarray(sensitivity, "sensitivity") ||
            (v[5] && !frame::check_flag(v[5], "reg_tikhonov")) ||
            (v[7] && !frame::check_flag(v[7], "use_sensitivity"))) {
            return nullptr;
        }
        frame::HeldBuffer x_buffer, y_buffer, sensitivity_buffer;
        if (!x_buffer.acquire_array(x, frame::float64_t, 1) || !y_buffer.acquire_array(y, frame::float64_t, 1) ||
            !sensitivity_buffer.acquire_array(sensitivity, frame::float64_t, 1)) {
            return nullptr;
        }

        frame::Ref sigmas;
        frame::HeldBuffer sigmas_buffer;
        if (!new_work_array(empty_like_name, y, sigmas, sigmas_buffer)) return nullptr;
        const Py_ssize_t n = y_buffer.extent(0);
        if (x_buffer.extent(0) < n || sigmas_buffer.extent(0) < n) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
        const auto energies = x_buffer.view1<const double>();
        const auto widths = sigmas_buffer.view1<double>();
        for (Py_ssize_t i = 0; i < n; ++i) widths[i] = get_sigma(k, energies[i]);

        // The builder takes x as a writable view, so a read-only x fails here.
        frame::HeldBuffer axis;
        if (!axis.acquire_view(x, frame::double_t, 1, true)) return nullptr;
        frame::Ref response = frame::Ref::steal(frame::traced("build_gaussian_response", [&] {
            return build_response(x, axis.view1<const double>(), sigmas_buffer.view1<const double>(), 5.0);
        }));
        if (!response) return nullptr;
        PyObject* const offsets = PyTuple_GET_ITEM(response.get(), 0);
        PyObject* const indices = PyTuple_GET_ITEM(response.get(), 1);
        PyObject* const values = PyTuple_GET_ITEM(response.get(), 2);
        return frame::traced("ML_EM_cy",
                             [&] { return ml_em(y, offsets, indices, values, sensitivity, iterations); });
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"ML_EM_cy", ML_EM_cy},
    {"build_gaussian_response", build_gaussian_response},
    {"richardson_lucy_cy", richardson_lucy_cy},
};

constexpr frame::ModuleDescription module_description{
    "deconvolution", "tarvix.utils.numerics.cython.deconvolution", functions};

}  // namespace

PyMODINIT_FUNC PyInit_deconvolution() { return frame::init_module(module_description); }

// ML-EM on a stack of S spectra through one response. Each spectrum gets
// exactly the passes of ml_em.hpp, the same operations in the same order,
// so its estimate is bit for bit that of a reconstruction of it alone; but
// the response is read once per pass for the whole stack, and the stack's
// arithmetic runs a vector of spectra at a time.
//
// Layout: each n x S quantity of the passes is stored spectrum-minor,
// element (i, s) at [i * lanes + s], with lanes = S rounded up to a multiple
// of 8 so that every vector width divides it. The lanes past S hold y = 0
// and x = 1: their arithmetic is harmless and never read back. A single
// spectrum (lanes = 1) takes the passes of ml_em.hpp, vectorised along its
// rows instead.
#pragma once

#include "ml_em.hpp"
#include "stop.hpp"

#include <algorithm>
#include <type_traits>
#include <vector>

namespace kernels::ml_em {

constexpr index_t lane_block = 8;

inline index_t stack_lanes(index_t spectra) noexcept {
    return spectra == 1 ? 1 : (spectra + lane_block - 1) / lane_block * lane_block;
}

// The lanes a call works on: [begin, end), both multiples of lane_block.
struct LaneRange {
    index_t begin;
    index_t end;
};

// The arrays of one stack reconstruction: y, x, estimate and ratio of n *
// lanes elements each (spectrum-minor), divisors[n] = max(sensitivity,
// 1e-12); the passes touch only the lanes of `range` (the others keep their
// bits).
struct Stack {
    index_t n;
    index_t lanes;
    const double* y;
    const double* divisors;
    double* x;
    double* estimate;
    double* ratio;
    LaneRange range;
};

// estimate = 0 on the lanes of a's range, every row.
inline void clear_lanes(const Stack& a, double* estimate) noexcept {
    for (index_t i = 0; i < a.n; ++i) {
        std::fill(estimate + i * a.lanes + a.range.begin, estimate + i * a.lanes + a.range.end, 0.0);
    }
}

// Rows handled side by side, and how many vectors of spectra one chunk
// holds: R * C accumulators must stay in registers (32 vector registers
// with AVX-512, 16 otherwise).
constexpr int stack_rows = 4;
template <class V>
inline constexpr int chunk_vectors = V::width == 8 ? 4 : 3;

// Calls body.template operator()<C>() with C = vectors (1 .. chunk_vectors<V>).
template <class V, class Body>
[[gnu::always_inline]] inline void with_chunk(index_t vectors, Body&& body) {
    static_assert(chunk_vectors<V> <= 4);
    switch (vectors) {
        case 1: body.template operator()<1>(); break;
        case 2: body.template operator()<2>(); break;
        case 3: body.template operator()<3>(); break;
        default: body.template operator()<chunk_vectors<V>>(); break;
    }
}

// Runs body(lane0, vectors) over the chunks of spectra in `range`: lanes
// [lane0, lane0 + vectors * V::width).
template <class V, class Body>
[[gnu::always_inline]] inline void for_each_chunk(LaneRange range, Body&& body) {
    const index_t total = range.end / V::width;
    for (index_t first = range.begin / V::width; first < total; first += chunk_vectors<V>) {
        body(first * V::width, std::min<index_t>(chunk_vectors<V>, total - first));
    }
}

// The forward terms of rows first .. first+R-1 (spans[R]) with estimates
// xs[R][C] of lanes [lane0, lane0 + C*W): estimate[column] += value * x,
// fused, rows ascending and entries ascending within a row.
template <class V, int R, int C, class Resp>
[[gnu::always_inline]] inline void stack_forward_rows(const Stack& a, const Resp& m, const RowSpan (&spans)[R],
                                                      index_t lane0, const typename V::D (&xs)[R][C]) {
    constexpr int W = V::width;
    for (int l = 0; l < R; ++l) {
        const RowSpan& row = spans[l];
        const bool run = Resp::runs && row.column >= 0;
        for (long long t = 0; t < row.count; ++t) {
            const index_t column = run ? row.column + t : m.column(row.begin + t);
            const auto v = V::broadcast(m.value(row.begin + t));
            double* const e = a.estimate + column * a.lanes + lane0;
            for (int c = 0; c < C; ++c) V::store(e + c * W, V::fma(v, xs[l][c], V::load(e + c * W)));
        }
    }
}

// Walks the columns that R run rows cover, ascending: column(c, every) for
// each, `every` telling that all R rows reach c (otherwise the body checks
// each row with reaches()). Each row thus meets its entries in ascending
// order. Returns false, walking nothing, for rows spread too far apart for
// a walk over their union to pay.
template <int R, class Column>
[[gnu::always_inline]] inline bool walk_run_columns(const RowSpan (&spans)[R], Column&& column) {
    RunCover cover = run_cover<R>(spans);
    if (cover.total == 0) return true;
    if (cover.hi - cover.lo > cover.total + R) return false;
    cover.core_lo = std::clamp(cover.core_lo, cover.lo, cover.hi);
    cover.core_hi = std::clamp(cover.core_hi, cover.core_lo, cover.hi);
    for (long long c = cover.lo; c < cover.core_lo; ++c) column(c, false);
    for (long long c = cover.core_lo; c < cover.core_hi; ++c) column(c, true);
    for (long long c = cover.core_hi; c < cover.hi; ++c) column(c, false);
    return true;
}

// Whether run row `row` has an entry in column c: its entry t = c - column.
inline bool reaches(const RowSpan& row, long long t) noexcept { return t >= 0 && t < row.count; }

// The forward terms of R run rows a column at a time: each column's block
// of estimates is loaded once, takes the term of every row that reaches it,
// rows ascending, and is stored once.
template <class V, int R, int C, class Resp>
[[gnu::always_inline]] inline void stack_forward_runs(const Stack& a, const Resp& m, const RowSpan (&spans)[R],
                                                      index_t lane0, const typename V::D (&xs)[R][C]) {
    constexpr int W = V::width;
    const bool walked = walk_run_columns<R>(spans, [&](long long c, bool every) KERNELS_INLINE {
        double* const e = a.estimate + c * a.lanes + lane0;
        typename V::D block[C];
        for (int k = 0; k < C; ++k) block[k] = V::load(e + k * W);
        for (int l = 0; l < R; ++l) {
            const long long t = c - spans[l].column;
            if (!every && !reaches(spans[l], t)) continue;
            const auto v = V::broadcast(m.value(spans[l].begin + t));
            for (int k = 0; k < C; ++k) block[k] = V::fma(v, xs[l][k], block[k]);
        }
        for (int k = 0; k < C; ++k) V::store(e + k * W, block[k]);
    });
    if (!walked) stack_forward_rows<V, R, C>(a, m, spans, lane0, xs);
}

// Rows first .. first+R-1 on lanes [lane0, lane0 + C*W): their
// back-projections (R * C chains side by side over the entries the rows
// have in common, then each row's own), their updates x *= total /
// divisor, and with `forward_next` their forward terms of the next pass.
template <class V, int R, int C, class Resp>
[[gnu::always_inline]] inline void stack_rows_chunk(const Stack& a, const Resp& m, const RowSpan (&spans)[R],
                                                    index_t first, index_t lane0, bool forward_next) {
    constexpr int W = V::width;
    using D = typename V::D;
    D total[R][C];
    long long common = LLONG_MAX;
    bool runs = Resp::runs;
    for (int l = 0; l < R; ++l) {
        for (int c = 0; c < C; ++c) total[l][c] = V::zero();
        common = std::min(common, spans[l].count);
        runs = runs && spans[l].column >= 0;
    }
    auto chains = [&](auto column_at) KERNELS_INLINE {
        auto term = [&](int l, long long t) KERNELS_INLINE {
            const auto v = V::broadcast(m.value(spans[l].begin + t));
            const double* const r = a.ratio + column_at(l, t) * a.lanes + lane0;
            for (int c = 0; c < C; ++c) total[l][c] = V::fma(v, V::load(r + c * W), total[l][c]);
        };
        for (long long t = 0; t < common; ++t) {
            for (int l = 0; l < R; ++l) term(l, t);
        }
        for (int l = 0; l < R; ++l) {
            for (long long t = common; t < spans[l].count; ++t) term(l, t);
        }
    };
    // Run rows a column at a time: each column's ratios are loaded once for
    // every row that reaches it.
    const bool walked = runs && walk_run_columns<R>(spans, [&](long long c, bool every) KERNELS_INLINE {
        const double* const r = a.ratio + c * a.lanes + lane0;
        D ratio[C];
        for (int k = 0; k < C; ++k) ratio[k] = V::load(r + k * W);
        for (int l = 0; l < R; ++l) {
            const long long t = c - spans[l].column;
            if (!every && !reaches(spans[l], t)) continue;
            const auto v = V::broadcast(m.value(spans[l].begin + t));
            for (int k = 0; k < C; ++k) total[l][k] = V::fma(v, ratio[k], total[l][k]);
        }
    });
    if (walked) {
    } else if (runs) {
        chains([&](int l, long long t) KERNELS_INLINE -> index_t { return spans[l].column + t; });
    } else {
        chains([&](int l, long long t) KERNELS_INLINE -> index_t { return m.column(spans[l].begin + t); });
    }
    for (int l = 0; l < R; ++l) {
        const D divisor = V::broadcast(a.divisors[first + l]);
        double* const x = a.x + (first + l) * a.lanes + lane0;
        for (int c = 0; c < C; ++c) {
            total[l][c] = V::mul(V::load(x + c * W), V::div(total[l][c], divisor));
            V::store(x + c * W, total[l][c]);
        }
    }
    if (!forward_next) return;
    if (runs) {
        stack_forward_runs<V, R, C>(a, m, spans, lane0, total);
    } else {
        stack_forward_rows<V, R, C>(a, m, spans, lane0, total);
    }
}

// Rows first .. first+R-1 through body(spans) with their spans.
template <int R, class Resp, class Body>
[[gnu::always_inline]] inline void with_spans(const Resp& m, index_t first, Body&& body) {
    RowSpan spans[R];
    for (int l = 0; l < R; ++l) spans[l] = m.row(first + l);
    body(spans);
}

// Runs group<R>(first) over the rows in groups of R, the rest one by one.
template <class Group>
[[gnu::always_inline]] inline void for_each_row_group(index_t n, Group&& group) {
    index_t j = 0;
    for (; j + stack_rows <= n; j += stack_rows) group.template operator()<stack_rows>(j);
    for (; j < n; ++j) group.template operator()<1>(j);
}

// estimate = M^T x for every spectrum (estimate cleared first).
template <class V, class Resp>
[[gnu::always_inline]] inline void stack_forward(const Stack& a, const Resp& m) {
    clear_lanes(a, a.estimate);
    for_each_row_group(a.n, [&]<int R>(index_t first) KERNELS_INLINE {
        with_spans<R>(m, first, [&](const RowSpan (&spans)[R]) KERNELS_INLINE {
            for_each_chunk<V>(a.range, [&](index_t lane0, index_t vectors) KERNELS_INLINE {
                with_chunk<V>(vectors, [&]<int C>() KERNELS_INLINE {
                    typename V::D xs[R][C];
                    for (int l = 0; l < R; ++l) {
                        for (int c = 0; c < C; ++c) xs[l][c] = V::load(a.x + (first + l) * a.lanes + lane0 + c * V::width);
                    }
                    stack_forward_rows<V, R, C>(a, m, spans, lane0, xs);
                });
            });
        });
    });
}

// ratio = y / (estimate + 1e-12), every element of the range's lanes.
template <class V>
[[gnu::always_inline]] inline void stack_ratio(const Stack& a) {
    const auto guard_vector = V::broadcast(guard);
    for (index_t i = 0; i < a.n; ++i) {
        for (index_t q = i * a.lanes + a.range.begin; q < i * a.lanes + a.range.end; q += V::width) {
            V::store(a.ratio + q, V::div(V::load(a.y + q), V::add(V::load(a.estimate + q), guard_vector)));
        }
    }
}

// The back-projections and updates of every row, and with `forward_next`
// the next pass's forward projection (estimate cleared first), in one sweep
// over the rows.
template <class V, class Resp>
[[gnu::always_inline]] inline void stack_sweep(const Stack& a, const Resp& m, bool forward_next) {
    if (forward_next) clear_lanes(a, a.estimate);
    for_each_row_group(a.n, [&]<int R>(index_t first) KERNELS_INLINE {
        with_spans<R>(m, first, [&](const RowSpan (&spans)[R]) KERNELS_INLINE {
            for_each_chunk<V>(a.range, [&](index_t lane0, index_t vectors) KERNELS_INLINE {
                with_chunk<V>(vectors, [&]<int C>() KERNELS_INLINE {
                    stack_rows_chunk<V, R, C>(a, m, spans, first, lane0, forward_next);
                });
            });
        });
    });
}

// The arrays every run on a stack keeps, besides its estimates: y (n x
// lanes, spectrum-minor), divisors[n] = max(sensitivity, 1e-12), the
// ratio (and, for one spectrum, a correction array), the row spans.
struct StackArrays {
    index_t n = 0, lanes = 0, spectra = 0;
    std::vector<double> y, divisors, ratio, correction;
    std::vector<RowSpan> rows;

    // Room for S spectra of n bins on `lane_count` lanes (stack_lanes(S) by
    // default); throws std::bad_alloc.
    void allocate_stack(index_t spectra_count, index_t bins, index_t lane_count = -1) {
        spectra = spectra_count;
        n = bins;
        lanes = lane_count < 0 ? stack_lanes(spectra_count) : lane_count;
        const auto size = static_cast<std::size_t>(n * lanes);
        y.assign(size, 0.0);
        ratio.assign(size, 0.0);
        if (lanes == 1) correction.assign(size, 0.0);
        divisors.assign(static_cast<std::size_t>(n), 0.0);
    }

    // to[i * lanes + s] = from(s, i), from S x n with any strides.
    void to_lanes(Strided2<const double> from, std::vector<double>& to) const noexcept {
        for (index_t s = 0; s < spectra; ++s) {
            for (index_t i = 0; i < n; ++i) to[static_cast<std::size_t>(i * lanes + s)] = from(s, i);
        }
    }

    // to(s, i) = from[i * lanes + s], to S x n with any strides.
    void from_lanes(const std::vector<double>& from, Strided2<double> to) const noexcept {
        for (index_t s = 0; s < spectra; ++s) {
            for (index_t i = 0; i < n; ++i) to(s, i) = from[static_cast<std::size_t>(i * lanes + s)];
        }
    }

    // y from Y (S x n, any strides), divisors from sensitivity[>= n].
    void load(Strided2<const double> Y, Strided1<const double> sensitivity) noexcept {
        to_lanes(Y, y);
        load_divisors(sensitivity);
    }

    // divisors from sensitivity[>= n].
    void load_divisors(Strided1<const double> sensitivity) noexcept {
        for (index_t i = 0; i < n; ++i) divisors[static_cast<std::size_t>(i)] = divisor_of(sensitivity[i]);
    }
};

// ---------------------------------------------------------------------------
// EM passes on n x lanes estimates (spectrum-minor), through one of two
// engines with the same interface, each call on the lanes of a range (the
// single spectrum's engine has one lane and ignores it):
//   forward(x, mu, range):       mu = M^T x;
//   pass(x, mu, mu_next, range): x <- EM(x) for the forward projection
//                                mu = M^T x, and mu_next = M^T x (the new
//                                x) when not null;
//   add_rows(d, mu, range):      mu += M^T d over the rows and lanes where
//                                d is not 0.
// full(): the range of every lane.

// A stack of lanes > 1, a vector of spectra at a time.
template <class V, class Resp>
struct StackEngine {
    static constexpr bool single = false;
    Stack stack;  // y, divisors, ratio; x, estimate and range set per call
    const Resp& response;

    LaneRange full() const noexcept { return {0, stack.lanes}; }

    [[gnu::always_inline]] void forward(double* x, double* mu, LaneRange range) const {
        Stack a = stack;
        a.x = x;
        a.estimate = mu;
        a.range = range;
        stack_forward<V>(a, response);
    }
    [[gnu::always_inline]] void pass(double* x, double* mu, double* mu_next, LaneRange range) const {
        Stack a = stack;
        a.x = x;
        a.estimate = mu;
        a.range = range;
        stack_ratio<V>(a);
        a.estimate = mu_next;
        stack_sweep<V>(a, response, mu_next != nullptr);
    }
    // Rows ascending; the other lanes keep their bits.
    [[gnu::always_inline]] void add_rows(const double* d, double* mu, LaneRange range) const {
        constexpr int W = V::width;
        const index_t lanes = stack.lanes;
        for (index_t j = 0; j < stack.n; ++j) {
            const double* const dj = d + j * lanes;
            bool any = false;
            for (index_t s = range.begin; s < range.end; ++s) any = any || dj[s] != 0.0;
            if (!any) continue;
            const RowSpan row = response.row(j);
            for (long long t = 0; t < row.count; ++t) {
                const index_t column = row.column >= 0 ? row.column + t : response.column(row.begin + t);
                const auto v = V::broadcast(response.value(row.begin + t));
                double* const e = mu + column * lanes;
                for (index_t s = range.begin; s < range.end; s += W) {
                    const auto ds = V::load(dj + s);
                    const auto es = V::load(e + s);
                    V::store(e + s, V::select(V::equal(ds, V::zero()), es, V::fma(v, ds, es)));
                }
            }
        }
    }
};

// One spectrum (lanes = 1), vectorised along its rows: the layout of
// ml_em.hpp (Plain or Strided), whose x, estimate and ratio are set per call.
template <class V, class Layout>
struct SingleEngine {
    static constexpr bool single = true;
    Layout layout;

    template <class T>
    static auto array(T* data, index_t n) noexcept {
        if constexpr (std::is_same_v<decltype(Layout::x), Unit<double>>) {
            return Unit<T>{data};
        } else {
            return Strided1<T>{reinterpret_cast<char*>(data), n, sizeof(T)};
        }
    }
    LaneRange full() const noexcept { return {0, 1}; }

    [[gnu::always_inline]] void forward(double* x, double* mu, LaneRange = {}) const {
        Layout a = layout;
        a.x = array(x, a.n);
        a.estimate = array(mu, a.n);
        forward_all<V>(a);
    }
    [[gnu::always_inline]] void pass(double* x, double* mu, double* mu_next, LaneRange = {}) const {
        Layout a = layout;
        a.estimate = array(mu, a.n);
        compute_ratio(a);
        a.x = array(x, a.n);
        if (mu_next != nullptr) a.estimate = array(mu_next, a.n);
        update_sweep<V>(a, mu_next != nullptr);
    }
    // Rows ascending.
    [[gnu::always_inline]] void add_rows(const double* d, double* mu, LaneRange = {}) const {
        Layout a = layout;
        a.estimate = array(mu, a.n);
        for (index_t j = 0; j < a.n; ++j) {
            if (d[j] != 0.0) forward_row<V>(a, a.row(j), d[j]);
        }
    }
};

// Runs `body(engine)` with the engine for w's stack through csr (checked;
// `negative`: some position or column counts from the end), at the kernel
// level: the stack's passes for lanes > 1, the single spectrum's for one;
// each on the plain response where it can stand in, else the strided one.
// The engine's x and forward projections are given per call; the arrays of
// w stand in for them until then.
template <class Body>
inline void with_engine(const Csr& csr, StackArrays& w, bool negative, Body&& body) {
    const index_t n = w.n;
    PlainResponse plain{};
    const bool is_plain = plain_response(csr, n, negative, w.rows, plain);
    if (w.lanes == 1) {
        auto unit = [](std::vector<double>& v) { return Unit<double>{v.data()}; };
        auto view = [n](std::vector<double>& v) { return Strided1<double>{reinterpret_cast<char*>(v.data()), n, sizeof(double)}; };
        if (is_plain) {
            const Plain layout{plain, w.y.data(), w.divisors.data(), unit(w.ratio), unit(w.ratio), unit(w.ratio),
                               unit(w.correction), n};
            dispatch([&]<class V>() { body(SingleEngine<V, Plain>{layout}); });
        } else if (negative) {
            const Strided<true> layout{{csr, n}, view(w.ratio), view(w.ratio), view(w.ratio), view(w.correction),
                                       view(w.y).as_const(), view(w.divisors).as_const(), n};
            dispatch([&]<class V>() { body(SingleEngine<V, Strided<true>>{layout}); });
        } else {
            const Strided<false> layout{{csr, n}, view(w.ratio), view(w.ratio), view(w.ratio), view(w.correction),
                                        view(w.y).as_const(), view(w.divisors).as_const(), n};
            dispatch([&]<class V>() { body(SingleEngine<V, Strided<false>>{layout}); });
        }
        return;
    }
    const Stack stack{n, w.lanes, w.y.data(), w.divisors.data(), nullptr, nullptr, w.ratio.data(), {0, w.lanes}};
    if (is_plain) {
        dispatch([&]<class V>() { body(StackEngine<V, PlainResponse>{stack, plain}); });
    } else if (negative) {
        const StridedResponse<true> strided{csr, n};
        dispatch([&]<class V>() { body(StackEngine<V, StridedResponse<true>>{stack, strided}); });
    } else {
        const StridedResponse<false> strided{csr, n};
        dispatch([&]<class V>() { body(StackEngine<V, StridedResponse<false>>{stack, strided}); });
    }
}

// The estimates of a fixed number of passes, x = 1 to start with.
struct StackWork : StackArrays {
    std::vector<double> x, estimate;

    // The bytes allocate(S, n) asks for: y, ratio, x and estimate of n x
    // lanes doubles (and the single spectrum's correction), the divisors and
    // the row spans.
    static double bytes(index_t spectra_count, index_t bins) noexcept {
        const double lanes_used = static_cast<double>(stack_lanes(spectra_count));
        return static_cast<double>(bins) *
               (8.0 * (4.0 * lanes_used + (lanes_used == 1.0 ? 1.0 : 0.0) + 1.0) + sizeof(RowSpan));
    }

    // Room for S spectra of n bins; throws std::bad_alloc.
    void allocate(index_t spectra_count, index_t bins) {
        allocate_stack(spectra_count, bins);
        x.assign(y.size(), 1.0);
        estimate.assign(y.size(), 0.0);
    }

    // X (S x n, any strides) from x.
    void store(Strided2<double> X) const noexcept { from_lanes(x, X); }
};

// `iterations` passes of ML-EM on every spectrum loaded into `work` through
// `csr` (checked; `negative`: some position or column counts from the end),
// at the kernel level: the forward projection, then per pass the ratio and
// one sweep that updates x and (but for the last) projects it forward.
// `stop` is asked before every pass; false when it answered true (x is then
// that of an earlier pass). O(iterations * (n + entries) * lanes); touches
// no Python object.
inline bool reconstruct_stack(const Csr& csr, StackWork& work, bool negative, int iterations,
                              StopCheck stop = {}) {
    if (iterations <= 0 || work.n == 0 || work.lanes == 0) return true;
    bool stopped = false;
    with_engine(csr, work, negative, [&](const auto& engine) KERNELS_INLINE {
        const LaneRange lanes = engine.full();
        engine.forward(work.x.data(), work.estimate.data(), lanes);
        for (int pass = 0; pass < iterations && !(stopped = stop()); ++pass) {
            engine.pass(work.x.data(), work.estimate.data(), pass + 1 < iterations ? work.estimate.data() : nullptr,
                        lanes);
        }
    });
    return !stopped;
}

}  // namespace kernels::ml_em

// ML-EM run to convergence with squared extrapolation, for a stack of
// spectra through one response, and the Poisson log-likelihood
//
//   L(x) = sum_i y_i log mu_i - mu_i,   mu = M^T x + 1e-12
//
// (a term with y_i = 0 is -mu_i; the sum runs over i ascending).
//
// The steps are judged by the objective that an ML-EM pass increases,
//
//   F(x) = sum_i y_i log mu_i - sum_j d_j x_j,   d = max(sensitivity, 1e-12)
//
// (y_i = 0 contributing nothing to the first sum; each sum i or j
// ascending). When the sensitivity is the response's row sums (a response
// whose rows are normalised, with sensitivity 1), F is L up to a constant.
//
// Each spectrum starts from all ones and is advanced by steps of its own:
// from the estimate x, two EM passes give x1 and x2; with r = x1 - x and
// v = (x2 - x1) - r, the step alpha = -|r| / |v| (never above -1) gives the
// candidate c = (x - 2 alpha r) + alpha^2 v, kept element by element no
// lower than 0.1 x (EM cannot lift an element that is 0, so the
// extrapolation must not make one); one EM pass from c gives x3, which
// replaces x if F(x3) >= F(x). Otherwise alpha moves halfway towards -1 and
// the candidate is tried again; alpha = -1 takes c = x2 itself. So the
// objective never decreases from one estimate to the next.
//
// Pass-equivalents: one EM pass is a back-projection with the forward
// projection that feeds it; a refused candidate also costs the forward
// projection of its x3, half a pass. Counting in half passes, a step costs 6,
// a refusal 3 more. A spectrum stops when
//  - the gain of F over its last step, per pass-equivalent, is at most
//    tolerance * sum_i y_i (only for tolerance > 0);
//  - its budget of max_passes is spent: when fewer remain than a step may
//    need, plain EM passes (accepted while F does not decrease) finish it;
//  - no estimate can be accepted any more (every candidate of a step, then
//    a plain pass, lowered F: the rounding floor), or F is not finite.
//
// Every operation of a spectrum depends on that spectrum alone, in a fixed
// order (sums over i ascending), so a spectrum gives the same bits alone or
// in a stack of any size. The stack runs in lockstep: each phase (first EM
// pass, second, candidate) runs the EM passes for all spectra at once, and
// only the spectra in that phase take the results.
#pragma once

#include "ml_em_stack.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace kernels::ml_em {

// ---------------------------------------------------------------------------
// EM passes on n x lanes estimates (spectrum-minor), through one of two
// engines with the same interface:
//   forward(x, mu):       mu = M^T x;
//   pass(x, mu, mu_next): x <- EM(x) for the forward projection mu = M^T x,
//                         and mu_next = M^T x (the new x) when not null.

// A stack of lanes > 1, a vector of spectra at a time.
template <class V, class Resp>
struct StackEngine {
    Stack stack;  // y, divisors, ratio; x and estimate set per call
    const Resp& response;

    [[gnu::always_inline]] void forward(double* x, double* mu) const {
        Stack a = stack;
        a.x = x;
        a.estimate = mu;
        stack_forward<V>(a, response);
    }
    [[gnu::always_inline]] void pass(double* x, double* mu, double* mu_next) const {
        Stack a = stack;
        a.x = x;
        a.estimate = mu;
        stack_ratio<V>(a);
        a.estimate = mu_next;
        stack_sweep<V>(a, response, mu_next != nullptr);
    }
};

// One spectrum (lanes = 1), vectorised along its rows: the layout of
// ml_em.hpp (Plain or Strided), whose x, estimate and ratio are set per call.
template <class V, class Layout>
struct SingleEngine {
    Layout layout;

    template <class T>
    static auto array(T* data, index_t n) noexcept {
        if constexpr (std::is_same_v<decltype(Layout::x), Unit<double>>) {
            return Unit<T>{data};
        } else {
            return Strided1<T>{reinterpret_cast<char*>(data), n, sizeof(T)};
        }
    }
    [[gnu::always_inline]] void forward(double* x, double* mu) const {
        Layout a = layout;
        a.x = array(x, a.n);
        a.estimate = array(mu, a.n);
        for (index_t i = 0; i < a.n; ++i) a.estimate[i] = 0.0;
        for (index_t j = 0; j < a.n; ++j) forward_row<V>(a, a.row(j), a.x[j]);
    }
    [[gnu::always_inline]] void pass(double* x, double* mu, double* mu_next) const {
        Layout a = layout;
        for (index_t i = 0; i < a.n; ++i) a.ratio[i] = a.y(i) / (mu[i] + guard);
        a.x = array(x, a.n);
        if (mu_next != nullptr) a.estimate = array(mu_next, a.n);
        update_sweep<V>(a, mu_next != nullptr);
    }
};

// ---------------------------------------------------------------------------
// Per-spectrum sums over the n bins of n x lanes arrays, i ascending.

// L(x) for each lane from mu = M^T x: into ll[lanes].
inline void log_likelihoods(const double* y, const double* mu, index_t n, index_t lanes, double* ll) noexcept {
    for (index_t s = 0; s < lanes; ++s) ll[s] = 0.0;
    for (index_t i = 0; i < n; ++i) {
        const double* const yi = y + i * lanes;
        const double* const mi = mu + i * lanes;
        for (index_t s = 0; s < lanes; ++s) {
            const double m = mi[s] + guard;
            ll[s] = ll[s] + (yi[s] == 0.0 ? -m : yi[s] * std::log(m) - m);
        }
    }
}

// F(x) for each lane from x and mu = M^T x, into objective[lanes]; sums[lanes]
// is scratch.
inline void objectives(const double* y, const double* x, const double* mu, const double* divisors, index_t n,
                       index_t lanes, double* objective, double* sums) noexcept {
    for (index_t s = 0; s < lanes; ++s) objective[s] = sums[s] = 0.0;
    for (index_t i = 0; i < n; ++i) {
        const double* const yi = y + i * lanes;
        const double* const mi = mu + i * lanes;
        const double* const xi = x + i * lanes;
        for (index_t s = 0; s < lanes; ++s) {
            if (yi[s] != 0.0) objective[s] = objective[s] + yi[s] * std::log(mi[s] + guard);
            sums[s] = sums[s] + divisors[i] * xi[s];
        }
    }
    for (index_t s = 0; s < lanes; ++s) objective[s] = objective[s] - sums[s];
}

// The differences of a step, r = x1 - x and v = (x2 - x1) - r, element by
// element.
struct StepDifferences {
    double r, v;
};
inline StepDifferences differences(double x, double x1, double x2) noexcept {
    const double r = x1 - x;
    return {r, (x2 - x1) - r};
}

// ---------------------------------------------------------------------------
// The driver.

enum class Phase : std::uint8_t { step, plain, candidate, done };

// Everything a run keeps: the estimates and forward projections (n x lanes
// each) and the state of each spectrum.
struct ConvergeWork {
    index_t n = 0, lanes = 0, spectra = 0;
    std::vector<double> y, divisors, x, mu, x1, mu1, x2, x3, mu3, ratio, correction;
    std::vector<double> ll, objective, objective_new, counts, alpha, sum_r, sum_v, sums;
    std::vector<long long> halves, step_start;  // half passes used, and at the step's start
    std::vector<Phase> phase;
    std::vector<RowSpan> rows;
    // When set (by the tests), every accepted estimate's half passes and
    // objective F, per spectrum, the start included.
    std::vector<std::vector<std::pair<long long, double>>>* history = nullptr;

    // Room for S spectra of n bins; throws std::bad_alloc.
    void allocate(index_t spectra_count, index_t bins) {
        spectra = spectra_count;
        n = bins;
        lanes = stack_lanes(spectra_count);
        const auto size = static_cast<std::size_t>(n * lanes);
        for (std::vector<double>* v : {&y, &x, &mu, &x1, &mu1, &x2, &x3, &mu3, &ratio}) v->assign(size, 0.0);
        if (lanes == 1) correction.assign(size, 0.0);
        divisors.assign(static_cast<std::size_t>(n), 0.0);
        const auto per_lane = static_cast<std::size_t>(lanes);
        for (std::vector<double>* v : {&ll, &objective, &objective_new, &counts, &alpha, &sum_r, &sum_v, &sums}) {
            v->assign(per_lane, 0.0);
        }
        halves.assign(per_lane, 0);
        step_start.assign(per_lane, 0);
        phase.assign(per_lane, Phase::done);
    }

    // y from Y (S x n, any strides).
    void load_spectra(Strided2<const double> Y) noexcept {
        for (index_t s = 0; s < spectra; ++s) {
            for (index_t i = 0; i < n; ++i) y[static_cast<std::size_t>(i * lanes + s)] = Y(s, i);
        }
    }

    // y from Y, and divisors from sensitivity[>= n].
    void load(Strided2<const double> Y, Strided1<const double> sensitivity) noexcept {
        load_spectra(Y);
        for (index_t i = 0; i < n; ++i) divisors[static_cast<std::size_t>(i)] = divisor_of(sensitivity[i]);
    }

    // x from X (S x n, any strides).
    void load_estimates(Strided2<const double> X) noexcept {
        for (index_t s = 0; s < spectra; ++s) {
            for (index_t i = 0; i < n; ++i) x[static_cast<std::size_t>(i * lanes + s)] = X(s, i);
        }
    }

    // X (S x n, any strides) from x.
    void store(Strided2<double> X) const noexcept {
        for (index_t s = 0; s < spectra; ++s) {
            for (index_t i = 0; i < n; ++i) X(s, i) = x[static_cast<std::size_t>(i * lanes + s)];
        }
    }

    // The pass-equivalents spectrum s used: half passes, rounded up.
    long long passes(index_t s) const noexcept { return (halves[static_cast<std::size_t>(s)] + 1) / 2; }

    // Lane s of an n x lanes array.
    template <class T>
    static void copy_lane(const std::vector<T>& from, std::vector<T>& to, index_t n, index_t lanes, index_t s) {
        for (index_t i = 0; i < n; ++i) to[static_cast<std::size_t>(i * lanes + s)] = from[static_cast<std::size_t>(i * lanes + s)];
    }
};

// The run of every spectrum (see the top of this file). Each spectrum's
// budget is 2 * max_passes half passes.
template <class Engine>
[[gnu::always_inline]] inline void converge(const Engine& engine, ConvergeWork& w, double tolerance,
                                            long long max_passes) {
    const index_t n = w.n, lanes = w.lanes;
    const long long budget = 2 * max_passes;
    auto at = [lanes](index_t i, index_t s) KERNELS_INLINE { return static_cast<std::size_t>(i * lanes + s); };
    auto lanes_in = [&](Phase p) KERNELS_INLINE {
        for (index_t s = 0; s < w.spectra; ++s) {
            if (w.phase[s] == p) return true;
        }
        return false;
    };
    // What a spectrum does next, from what its budget still allows.
    auto next_phase = [&](index_t s) KERNELS_INLINE {
        const long long remaining = budget - w.halves[s];
        // A step takes 6 half passes and may refuse a candidate (1 more).
        w.phase[s] = remaining >= 7 ? Phase::step : remaining >= 2 ? Phase::plain : Phase::done;
        w.step_start[s] = w.halves[s];
    };
    auto evaluate = [&](const std::vector<double>& x, const std::vector<double>& mu) KERNELS_INLINE {
        objectives(w.y.data(), x.data(), mu.data(), w.divisors.data(), n, lanes, w.objective_new.data(),
                   w.sums.data());
    };
    // Takes `from` (with its forward projection and objective_new) as the
    // new estimate and applies the stopping rule to the gain over the step.
    auto accept = [&](index_t s, const std::vector<double>& from, const std::vector<double>& from_mu) KERNELS_INLINE {
        const double gain = w.objective_new[s] - w.objective[s];
        const double step = static_cast<double>(w.halves[s] - w.step_start[s]);
        ConvergeWork::copy_lane(from, w.x, n, lanes, s);
        ConvergeWork::copy_lane(from_mu, w.mu, n, lanes, s);
        w.objective[s] = w.objective_new[s];
        if (w.history != nullptr) (*w.history)[s].emplace_back(w.halves[s], w.objective[s]);
        next_phase(s);
        if (!std::isfinite(w.objective[s]) || (tolerance > 0.0 && !(2.0 * gain > tolerance * w.counts[s] * step))) {
            w.phase[s] = Phase::done;
        }
    };

    // The start: x = 1 and its objective.
    std::fill(w.x.begin(), w.x.end(), 1.0);
    engine.forward(w.x.data(), w.mu.data());
    evaluate(w.x, w.mu);
    w.objective = w.objective_new;
    for (index_t s = 0; s < w.spectra; ++s) {
        double total = 0.0;
        for (index_t i = 0; i < n; ++i) total = total + w.y[at(i, s)];
        w.counts[s] = total;
        w.halves[s] = 0;
        if (w.history != nullptr) (*w.history)[s].emplace_back(0, w.objective[s]);
        next_phase(s);
        if (!std::isfinite(w.objective[s])) w.phase[s] = Phase::done;
    }

    while (lanes_in(Phase::step) || lanes_in(Phase::plain)) {
        // The first pass of a step, or a plain pass: x1 = EM(x), with its
        // forward projection.
        w.x1 = w.x;
        engine.pass(w.x1.data(), w.mu.data(), w.mu1.data());
        if (lanes_in(Phase::plain)) evaluate(w.x1, w.mu1);
        for (index_t s = 0; s < w.spectra; ++s) {
            if (w.phase[s] != Phase::step && w.phase[s] != Phase::plain) continue;
            w.halves[s] += 2;
            if (w.phase[s] == Phase::plain) {
                if (w.objective_new[s] >= w.objective[s]) {
                    accept(s, w.x1, w.mu1);
                    if (w.phase[s] == Phase::step) w.phase[s] = Phase::plain;  // once plain, plain
                } else {
                    w.phase[s] = Phase::done;  // the rounding floor: no pass can raise F
                }
            }
        }
        if (!lanes_in(Phase::step)) continue;

        // The second pass of a step, and its extrapolation.
        w.x2 = w.x1;
        engine.pass(w.x2.data(), w.mu1.data(), nullptr);
        for (index_t s = 0; s < lanes; ++s) w.sum_r[s] = w.sum_v[s] = 0.0;
        for (index_t i = 0; i < n; ++i) {
            for (index_t s = 0; s < lanes; ++s) {
                const StepDifferences d = differences(w.x[at(i, s)], w.x1[at(i, s)], w.x2[at(i, s)]);
                w.sum_r[s] = w.sum_r[s] + d.r * d.r;
                w.sum_v[s] = w.sum_v[s] + d.v * d.v;
            }
        }
        for (index_t s = 0; s < w.spectra; ++s) {
            if (w.phase[s] != Phase::step) continue;
            w.halves[s] += 2;
            double alpha = -std::sqrt(w.sum_r[s]) / std::sqrt(w.sum_v[s]);
            if (!(alpha <= -1.0) || !std::isfinite(alpha)) alpha = -1.0;
            w.alpha[s] = alpha;
            w.phase[s] = Phase::candidate;
        }

        // Candidates, until every spectrum of the step has taken one or
        // given up.
        while (lanes_in(Phase::candidate)) {
            for (index_t i = 0; i < n; ++i) {
                for (index_t s = 0; s < lanes; ++s) {
                    const double alpha = w.alpha[s];
                    const double x = w.x[at(i, s)];
                    double c = w.x2[at(i, s)];
                    if (alpha != -1.0) {
                        const StepDifferences d = differences(x, w.x1[at(i, s)], c);
                        c = (x - (2.0 * alpha) * d.r) + (alpha * alpha) * d.v;
                        const double floor = 0.1 * x;
                        if (c < floor) c = floor;
                    }
                    w.x3[at(i, s)] = c;
                }
            }
            engine.forward(w.x3.data(), w.mu3.data());
            engine.pass(w.x3.data(), w.mu3.data(), w.mu3.data());
            evaluate(w.x3, w.mu3);
            for (index_t s = 0; s < w.spectra; ++s) {
                if (w.phase[s] != Phase::candidate) continue;
                w.halves[s] += 2;
                if (w.objective_new[s] >= w.objective[s]) {
                    accept(s, w.x3, w.mu3);
                    continue;
                }
                w.halves[s] += 1;  // the forward projection of the refused x3
                // Another candidate needs its pass and room for its refusal.
                if (w.alpha[s] == -1.0 || budget - w.halves[s] < 3) {
                    // No candidate of this step raises F: plain passes from
                    // here on, while the budget lasts.
                    w.phase[s] = budget - w.halves[s] >= 2 ? Phase::plain : Phase::done;
                    w.step_start[s] = w.halves[s];
                    continue;
                }
                const double alpha = (w.alpha[s] - 1.0) / 2.0;
                w.alpha[s] = alpha > -1.01 ? -1.0 : alpha;
            }
        }
    }
    // The log-likelihood of each final estimate, whose forward projection
    // is at hand.
    log_likelihoods(w.y.data(), w.mu.data(), n, lanes, w.ll.data());
}

// Runs `body(engine)` with the engine for w's stack through csr (checked;
// `negative`: some position or column counts from the end), at the kernel
// level.
template <class Body>
inline void with_engine(const Csr& csr, ConvergeWork& w, bool negative, Body&& body) {
    const index_t n = w.n;
    PlainResponse plain{};
    const bool is_plain = plain_response(csr, n, negative, w.rows, plain);
    if (w.lanes == 1) {
        auto unit = [](std::vector<double>& v) { return Unit<double>{v.data()}; };
        auto view = [n](std::vector<double>& v) { return Strided1<double>{reinterpret_cast<char*>(v.data()), n, sizeof(double)}; };
        if (is_plain) {
            const Plain layout{plain, w.y.data(), w.divisors.data(), unit(w.x), unit(w.mu), unit(w.ratio),
                               unit(w.correction), n};
            dispatch([&]<class V>() { body(SingleEngine<V, Plain>{layout}); });
        } else if (negative) {
            const Strided<true> layout{{csr, n}, view(w.x), view(w.mu), view(w.ratio), view(w.correction),
                                       view(w.y).as_const(), view(w.divisors).as_const(), n};
            dispatch([&]<class V>() { body(SingleEngine<V, Strided<true>>{layout}); });
        } else {
            const Strided<false> layout{{csr, n}, view(w.x), view(w.mu), view(w.ratio), view(w.correction),
                                        view(w.y).as_const(), view(w.divisors).as_const(), n};
            dispatch([&]<class V>() { body(SingleEngine<V, Strided<false>>{layout}); });
        }
        return;
    }
    const Stack stack{n, w.lanes, w.y.data(), w.divisors.data(), w.x.data(), w.mu.data(), w.ratio.data()};
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

// Runs every spectrum loaded into w to convergence (see the top of this
// file). Touches no Python object.
inline void converge_stack(const Csr& csr, ConvergeWork& w, bool negative, double tolerance, long long max_passes) {
    if (w.spectra == 0) return;
    with_engine(csr, w, negative, [&](const auto& engine) KERNELS_INLINE { converge(engine, w, tolerance, max_passes); });
}

// ll[s] = L(x) for every spectrum, x loaded into w.x (S x n of it).
inline void log_likelihood_stack(const Csr& csr, ConvergeWork& w, bool negative) {
    if (w.spectra == 0) return;
    with_engine(csr, w, negative, [&](const auto& engine) KERNELS_INLINE {
        engine.forward(w.x.data(), w.mu.data());
        log_likelihoods(w.y.data(), w.mu.data(), w.n, w.lanes, w.ll.data());
    });
}

}  // namespace kernels::ml_em

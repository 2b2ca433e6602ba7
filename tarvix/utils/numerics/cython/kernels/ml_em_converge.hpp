// ML-EM run to convergence with Anderson acceleration, for a stack of
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
// Each spectrum starts from x = 1 and repeats, on its own:
//   g = EM(x), f = g - x;
//   the candidate c = g - sum_a gamma_a dG_a, where dG_a and dF_a are the
//   differences of the last (up to 5) successive g and f, and gamma solves
//   (dF^T dF + lambda I) gamma = dF^T f, lambda = 1e-10 times the mean of
//   dF^T dF's diagonal (Anderson's mixing of the EM map: the step that
//   would make the recent residuals cancel), kept element by element no
//   lower than 0.1 x (EM cannot lift an element that is 0, so the
//   extrapolation must not make one);
//   c replaces x if F(c) >= F(x); otherwise g does (if F(g) >= F(x)), and
//   the differences start again.
// So the objective never decreases from one estimate to the next. With no
// differences yet, c is g: a plain EM pass.
//
// Forward projections: the EM pass that makes g also gives M^T g (one sweep
// over the response does both), and M^T c follows without another sweep:
// M^T c = M^T g - sum_a gamma_a dM_a (dM_a the differences of the M^T g)
// plus, for the few elements the floor raised, those rows' terms. The
// final estimate's forward projection is made afresh for its
// log-likelihood.
//
// Pass-equivalents: a step is one EM pass (one forward and one
// back-projection, as one ML_EM_cy pass), whatever happens to its
// candidate; the terms of the raised elements are not counted. A spectrum
// stops when
//  - the gain of F per pass-equivalent over its last 10 steps is at most
//    tolerance * sum_i y_i (only for tolerance > 0; a mixed step's gain
//    varies too much from one step to the next to be judged alone);
//  - it has used max_passes steps;
//  - neither the candidate nor g raises F (the rounding floor), or F is not
//    finite (NaN in the spectrum: it stops at once, x = 1).
//
// Every operation of a spectrum depends on that spectrum alone, in a fixed
// order (sums over i ascending), so a spectrum gives the same bits alone or
// in a stack of any size. The stack runs in lockstep: the EM passes and
// forward projections run for all spectra at once, and each spectrum takes
// only the results it needs.
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

// ---------------------------------------------------------------------------
// The driver.

// The differences kept for the mixing.
constexpr int memory = 5;
// The steps over which the stopping rule takes the gain.
constexpr int gain_window = 10;

// Everything a run keeps: the estimates and forward projections (n x lanes
// each), the differences, and the state of each spectrum.
struct ConvergeWork : StackArrays {
    std::vector<double> x, mu, g, mu_g, candidate, mu_candidate, raised, f_previous, g_previous, mu_g_previous;
    std::vector<double> dF, dG, dM;  // memory x (n x lanes): column a of every lane at [a * n * lanes ..]
    std::vector<double> ll, objective, objective_new, counts, sums;
    std::vector<double> gram, right, gamma;  // memory x memory, memory, memory per lane
    std::vector<unsigned> valid;             // per lane: the slots that hold a difference (bits)
    std::vector<int> next_slot;              // per lane: where the next difference goes
    std::vector<std::uint8_t> started;       // per lane: whether f_previous and g_previous hold a step
    std::vector<long long> passes_used;
    std::vector<double> recent;              // per lane: F after each of the last gain_window steps (a ring)
    std::vector<std::uint8_t> active, refused;
    // When set (by the tests), every accepted estimate's pass-equivalents
    // and objective F, per spectrum, the start included.
    std::vector<std::vector<std::pair<long long, double>>>* history = nullptr;

    // Room for S spectra of n bins; throws std::bad_alloc.
    void allocate(index_t spectra_count, index_t bins) {
        allocate_stack(spectra_count, bins);
        const std::size_t size = y.size();
        for (std::vector<double>* v : {&x, &mu, &g, &mu_g, &candidate, &mu_candidate, &raised, &f_previous,
                                       &g_previous, &mu_g_previous}) {
            v->assign(size, 0.0);
        }
        for (std::vector<double>* v : {&dF, &dG, &dM}) v->assign(memory * size, 0.0);
        const auto per_lane = static_cast<std::size_t>(lanes);
        for (std::vector<double>* v : {&ll, &objective, &objective_new, &counts, &sums}) v->assign(per_lane, 0.0);
        gram.assign(per_lane * memory * memory, 0.0);
        right.assign(per_lane * memory, 0.0);
        gamma.assign(per_lane * memory, 0.0);
        valid.assign(per_lane, 0);
        next_slot.assign(per_lane, 0);
        started.assign(per_lane, 0);
        passes_used.assign(per_lane, 0);
        recent.assign(per_lane * gain_window, 0.0);
        active.assign(per_lane, 0);
        refused.assign(per_lane, 0);
    }

    // X (S x n, any strides) from x.
    void store(Strided2<double> X) const noexcept { from_lanes(x, X); }

    // The pass-equivalents spectrum s used.
    long long passes(index_t s) const noexcept { return passes_used[static_cast<std::size_t>(s)]; }
};

// gamma solving (G + lambda I) gamma = b on the slots whose bit is set in
// `valid` (G symmetric, row stride `memory`), lambda = 1e-10 times the mean
// of those diagonal entries: Cholesky, slots ascending. gamma is 0 on the
// other slots, and everywhere when the factorisation fails (the candidate
// is then g).
inline void solve_mixing(const double* G, const double* b, unsigned valid, double* gamma) noexcept {
    int slot[memory];
    int h = 0;
    for (int a = 0; a < memory; ++a) {
        gamma[a] = 0.0;
        if (valid & (1u << a)) slot[h++] = a;
    }
    if (h == 0) return;
    double L[memory][memory] = {};
    double trace = 0.0;
    for (int a = 0; a < h; ++a) trace = trace + G[slot[a] * memory + slot[a]];
    const double lambda = 1e-10 * (trace / h);
    for (int a = 0; a < h; ++a) {
        for (int c = 0; c <= a; ++c) {
            double sum = G[slot[a] * memory + slot[c]] + (a == c ? lambda : 0.0);
            for (int k = 0; k < c; ++k) sum = sum - L[a][k] * L[c][k];
            if (a == c) {
                if (!(sum > 0.0)) return;
                L[a][a] = std::sqrt(sum);
            } else {
                L[a][c] = sum / L[c][c];
            }
        }
    }
    double z[memory], solution[memory];
    for (int a = 0; a < h; ++a) {
        double sum = b[slot[a]];
        for (int k = 0; k < a; ++k) sum = sum - L[a][k] * z[k];
        z[a] = sum / L[a][a];
    }
    for (int a = h - 1; a >= 0; --a) {
        double sum = z[a];
        for (int k = a + 1; k < h; ++k) sum = sum - L[k][a] * solution[k];
        solution[a] = sum / L[a][a];
    }
    for (int a = 0; a < h; ++a) gamma[slot[a]] = solution[a];
}

// The run of every spectrum (see the top of this file), each with a budget
// of max_passes steps.
template <class Engine>
[[gnu::always_inline]] inline void converge(const Engine& engine, ConvergeWork& w, double tolerance,
                                            long long max_passes) {
    const index_t n = w.n, lanes = w.lanes;
    const index_t L = Engine::single ? 1 : lanes;  // known at compile time for one spectrum
    const auto size = static_cast<std::size_t>(n * lanes);
    auto at = [lanes](index_t i, index_t s) KERNELS_INLINE { return static_cast<std::size_t>(i * lanes + s); };
    auto column = [&](std::vector<double>& v, int a) KERNELS_INLINE { return v.data() + a * size; };
    auto any = [&](const std::vector<std::uint8_t>& flags) KERNELS_INLINE {
        for (index_t s = 0; s < w.spectra; ++s) {
            if (flags[s]) return true;
        }
        return false;
    };
    auto evaluate = [&](const std::vector<double>& x, const std::vector<double>& mu) KERNELS_INLINE {
        objectives(w.y.data(), x.data(), mu.data(), w.divisors.data(), n, lanes, w.objective_new.data(),
                   w.sums.data());
    };
    // Takes `from` (with its forward projection and objective_new) as the new
    // estimate, and applies the stopping rule to the gain over the last
    // gain_window steps (each one pass-equivalent).
    auto accept = [&](index_t s, std::vector<double>& from, std::vector<double>& from_mu) KERNELS_INLINE {
        for (index_t i = 0; i < n; ++i) {
            w.x[at(i, s)] = from[at(i, s)];
            w.mu[at(i, s)] = from_mu[at(i, s)];
        }
        w.objective[s] = w.objective_new[s];
        if (w.history != nullptr) (*w.history)[s].emplace_back(w.passes_used[s], w.objective[s]);
        const long long step = w.passes_used[s];
        double& earlier = w.recent[s * gain_window + step % gain_window];  // F gain_window steps ago
        const bool converged = tolerance > 0.0 && step >= gain_window &&
                               !(w.objective[s] - earlier > tolerance * w.counts[s] * gain_window);
        earlier = w.objective[s];
        w.active[s] = std::isfinite(w.objective[s]) && !converged && w.passes_used[s] < max_passes;
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
        w.passes_used[s] = 0;
        w.recent[s * gain_window] = w.objective[s];  // F after step 0
        w.started[s] = 0;
        w.valid[s] = 0;
        w.next_slot[s] = 0;
        if (w.history != nullptr) (*w.history)[s].emplace_back(0, w.objective[s]);
        w.active[s] = std::isfinite(w.objective[s]) && max_passes > 0;
    }

    while (any(w.active)) {
        // g = EM(x) and M^T g in one sweep; the new differences of g, of
        // the residual f = g - x and of M^T g go to each spectrum's next
        // slot, and that slot's row of the Gram matrix dF^T dF is made
        // (its other entries stay as they were).
        w.g = w.x;
        engine.pass(w.g.data(), w.mu.data(), w.mu_g.data());
        for (index_t s = 0; s < w.spectra; ++s) {
            if (!w.active[s]) continue;
            ++w.passes_used[s];
            const int k = w.next_slot[s];
            double* const G = &w.gram[s * memory * memory];
            const bool differs = w.started[s];
            if (differs) {
                for (int b = 0; b < memory; ++b) G[k * memory + b] = 0.0;
            }
            for (index_t i = 0; i < n; ++i) {
                const std::size_t q = at(i, s);
                const double f = w.g[q] - w.x[q];
                if (differs) {
                    const double df = f - w.f_previous[q];
                    column(w.dF, k)[q] = df;
                    column(w.dG, k)[q] = w.g[q] - w.g_previous[q];
                    column(w.dM, k)[q] = w.mu_g[q] - w.mu_g_previous[q];
                }
                w.f_previous[q] = f;
                w.g_previous[q] = w.g[q];
                w.mu_g_previous[q] = w.mu_g[q];
            }
            if (differs) {
                w.valid[s] |= 1u << k;
                w.next_slot[s] = (k + 1) % memory;
                for (index_t i = 0; i < n; ++i) {
                    const std::size_t q = at(i, s);
                    const double dk = column(w.dF, k)[q];
                    for (int b = 0; b < memory; ++b) {
                        if (w.valid[s] & (1u << b)) G[k * memory + b] = G[k * memory + b] + dk * column(w.dF, b)[q];
                    }
                }
                for (int b = 0; b < memory; ++b) G[b * memory + k] = G[k * memory + b];
            }
            w.started[s] = 1;
        }

        // The mixing: the right-hand side dF^T f (sums over i ascending) and
        // gamma, for every spectrum that holds differences.
        std::fill(w.right.begin(), w.right.end(), 0.0);
        for (index_t i = 0; i < n; ++i) {
            for (index_t s = 0; s < L; ++s) {
                const std::size_t q = at(i, s);
                for (int a = 0; a < memory; ++a) {
                    w.right[s * memory + a] = w.right[s * memory + a] + column(w.dF, a)[q] * w.f_previous[q];
                }
            }
        }
        for (index_t s = 0; s < L; ++s) {
            const unsigned slots = s < w.spectra && w.active[s] ? w.valid[s] : 0u;
            solve_mixing(&w.gram[s * memory * memory], &w.right[s * memory], slots, &w.gamma[s * memory]);
        }

        // The candidate, its forward projection from those of the g, and the
        // elements the floor raised. (Spectra that have stopped, and lanes
        // past the last spectrum, take g as it is.)
        bool raised_any = false;
        for (index_t i = 0; i < n; ++i) {
            for (index_t s = 0; s < L; ++s) {
                const std::size_t q = at(i, s);
                const bool live = s < w.spectra && w.active[s];
                const unsigned slots = live ? w.valid[s] : 0u;
                const double* const gamma = &w.gamma[s * memory];
                double c = w.g[q];
                double m = w.mu_g[q];
                for (int a = 0; a < memory; ++a) {
                    if (!(slots & (1u << a))) continue;
                    c = c - gamma[a] * column(w.dG, a)[q];
                    m = m - gamma[a] * column(w.dM, a)[q];
                }
                const double floor = live ? 0.1 * w.x[q] : c;
                const double raised = c < floor ? floor - c : 0.0;
                w.candidate[q] = c < floor ? floor : c;
                w.mu_candidate[q] = m;
                w.raised[q] = raised;
                raised_any = raised_any || raised != 0.0;
            }
        }
        if (raised_any) engine.add_rows(w.raised.data(), w.mu_candidate.data());
        evaluate(w.candidate, w.mu_candidate);
        for (index_t s = 0; s < w.spectra; ++s) {
            w.refused[s] = 0;
            if (!w.active[s]) continue;
            if (w.objective_new[s] >= w.objective[s]) {
                accept(s, w.candidate, w.mu_candidate);
            } else if (w.valid[s] != 0) {
                w.refused[s] = 1;  // g itself is tried below
            } else {
                w.active[s] = 0;  // g lowers F: the rounding floor
            }
        }

        // Where a mixed candidate was refused: g, and the differences start
        // again.
        if (!any(w.refused)) continue;
        evaluate(w.g, w.mu_g);
        for (index_t s = 0; s < w.spectra; ++s) {
            if (!w.refused[s]) continue;
            w.started[s] = 0;
            w.valid[s] = 0;
            w.next_slot[s] = 0;
            if (w.objective_new[s] >= w.objective[s]) {
                accept(s, w.g, w.mu_g);
            } else {
                w.active[s] = 0;
            }
        }
    }
    // The log-likelihood of each final estimate, from its forward projection
    // made afresh.
    engine.forward(w.x.data(), w.mu.data());
    log_likelihoods(w.y.data(), w.mu.data(), n, lanes, w.ll.data());
}

// Runs every spectrum loaded into w to convergence (see the top of this
// file). Touches no Python object.
inline void converge_stack(const Csr& csr, ConvergeWork& w, bool negative, double tolerance, long long max_passes) {
    if (w.spectra == 0) return;
    with_engine(csr, w, negative, [&](const auto& engine) KERNELS_INLINE { converge(engine, w, tolerance, max_passes); });
}

// What the log-likelihood of given estimates needs: x and its forward
// projection (n x lanes each), ll[lanes].
struct LikelihoodWork : StackArrays {
    std::vector<double> x, mu, ll;

    // Room for S spectra of n bins; throws std::bad_alloc.
    void allocate(index_t spectra_count, index_t bins) {
        allocate_stack(spectra_count, bins);
        x.assign(y.size(), 0.0);
        mu.assign(y.size(), 0.0);
        ll.assign(static_cast<std::size_t>(lanes), 0.0);
    }
};

// ll[s] = L(x) for every spectrum, x and y loaded into w (S x n of each).
inline void log_likelihood_stack(const Csr& csr, LikelihoodWork& w, bool negative) {
    if (w.spectra == 0) return;
    with_engine(csr, w, negative, [&](const auto& engine) KERNELS_INLINE {
        engine.forward(w.x.data(), w.mu.data());
        log_likelihoods(w.y.data(), w.mu.data(), w.n, w.lanes, w.ll.data());
    });
}

}  // namespace kernels::ml_em

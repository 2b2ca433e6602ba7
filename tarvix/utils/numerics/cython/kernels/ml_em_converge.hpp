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
//   extrapolation must not make one); with no differences yet, c is g
//   itself, unfloored: a plain EM pass;
//   c replaces x if F(c) >= F(x); otherwise g does (if F(g) >= F(x)), and
//   the differences start again. (Taking g also where F(g) > F(c) keeps
//   the first few steps above as many plain passes, but costs F's
//   logarithms every step, about a sixth of a stack's pass on the demo's
//   response, and lengthens the slowest replicas: not done.)
// So the objective never decreases from one estimate to the next.
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
//    finite (NaN or an infinite count in the spectrum: it stops at once,
//    x = 1, its log-likelihood NaN);
//  - no step can change it: zero counts, after one pass (x = 0), and n = 0
//    at once; invalid counts (a total below 0, or 0 with counts other than
//    0) stop it at once, x = 1, its log-likelihood NaN.
//
// Every operation of a spectrum depends on that spectrum alone, in a fixed
// order (sums over i ascending), so a spectrum gives the same bits alone or
// in a stack of any size. The stack runs through at most
// max_converge_lanes lanes: the EM passes and forward projections run for
// the lanes up to the last one that holds a spectrum, in blocks of
// lane_block; a spectrum that stops leaves its lane to the next one
// waiting, and once none waits the running ones move down into as few
// blocks as hold them. A spectrum's arithmetic never depends on its lane.
#pragma once

#include "ml_em_stack.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace kernels::ml_em {

// ---------------------------------------------------------------------------
// Per-spectrum sums over the n bins of n x lanes arrays, i ascending, for
// the lanes of `range`.

// L(x) for each lane from mu = M^T x: into ll[lanes].
inline void log_likelihoods(const double* y, const double* mu, index_t n, index_t lanes, LaneRange range,
                            double* ll) noexcept {
    for (index_t s = range.begin; s < range.end; ++s) ll[s] = 0.0;
    for (index_t i = 0; i < n; ++i) {
        const double* const yi = y + i * lanes;
        const double* const mi = mu + i * lanes;
        for (index_t s = range.begin; s < range.end; ++s) {
            const double m = mi[s] + guard;
            ll[s] = ll[s] + (yi[s] == 0.0 ? -m : yi[s] * std::log(m) - m);
        }
    }
}

// F(x) for each lane from x and mu = M^T x, into objective[lanes]; sums[lanes]
// is scratch.
inline void objectives(const double* y, const double* x, const double* mu, const double* divisors, index_t n,
                       index_t lanes, LaneRange range, double* objective, double* sums) noexcept {
    for (index_t s = range.begin; s < range.end; ++s) objective[s] = sums[s] = 0.0;
    for (index_t i = 0; i < n; ++i) {
        const double* const yi = y + i * lanes;
        const double* const mi = mu + i * lanes;
        const double* const xi = x + i * lanes;
        for (index_t s = range.begin; s < range.end; ++s) {
            if (yi[s] != 0.0) objective[s] = objective[s] + yi[s] * std::log(mi[s] + guard);
            sums[s] = sums[s] + divisors[i] * xi[s];
        }
    }
    for (index_t s = range.begin; s < range.end; ++s) objective[s] = objective[s] - sums[s];
}

// ---------------------------------------------------------------------------
// The driver.

// The differences kept for the mixing.
constexpr int memory = 5;
// The steps over which the stopping rule takes the gain.
constexpr int gain_window = 10;
// The most lanes a run keeps: a stack of more spectra runs them through
// these lanes, each spectrum taking the lane of one that has stopped.
constexpr index_t max_converge_lanes = 16;

inline index_t converge_lanes(index_t spectra) noexcept {
    return stack_lanes(std::min(spectra, max_converge_lanes));
}

// Everything a run keeps: the estimates and forward projections (n x lanes
// each), the differences, the state of the spectrum in each lane, and each
// spectrum's results.
struct ConvergeWork : StackArrays {
    std::vector<double> x, mu, g, mu_g, candidate, mu_candidate, raised, f_previous, g_previous, mu_g_previous;
    std::vector<double> mu_start;  // [n]: M^T 1, the forward projection every spectrum starts from
    std::vector<double> dF, dG, dM;  // memory x (n x lanes): column a of every lane at [a * n * lanes ..]
    std::vector<double> ll, objective, objective_new, objective_g, counts, sums;
    std::vector<double> gram, right, gamma;  // memory x memory, memory, memory per lane
    std::vector<unsigned> valid;             // per lane: the slots that hold a difference (bits)
    std::vector<int> next_slot;              // per lane: where the next difference goes
    std::vector<std::uint8_t> started;       // per lane: whether f_previous and g_previous hold a step
    std::vector<long long> passes_used;
    std::vector<double> recent;              // per lane: F after each of the last gain_window steps (a ring)
    std::vector<std::uint8_t> active, refused, zero_counts;
    std::vector<index_t> spectrum;           // per lane: the spectrum it holds, -1 for none
    // Per spectrum: the pass-equivalents used and the log-likelihood at X.
    std::vector<long long> passes_out;
    std::vector<double> ll_out;
    // Y (S x n, read as the spectra take their lanes) and X (S x n, written
    // as they stop).
    Strided2<const double> source{};
    Strided2<double> target{};
    // Lane-steps: those of running spectra, and all the passes computed.
    long long busy_lane_steps = 0, lane_steps = 0;
    // When set (by the tests), every accepted estimate's pass-equivalents
    // and objective F, per spectrum, the start included.
    std::vector<std::vector<std::pair<long long, double>>>* history = nullptr;

    // The n x lanes arrays and the per-bin arrays a run of S spectra of n
    // bins allocates: bytes(S, n) bytes in all.
    static constexpr int lane_arrays = 12 + 3 * memory;
    static double bytes(index_t spectra_count, index_t bins) noexcept {
        const double lanes_used = static_cast<double>(converge_lanes(spectra_count));
        return static_cast<double>(bins) *
               (8.0 * (lane_arrays * lanes_used + (lanes_used == 1.0 ? 1.0 : 0.0) + 2.0) + sizeof(RowSpan));
    }

    // Room for S spectra of n bins; throws std::bad_alloc.
    void allocate(index_t spectra_count, index_t bins) {
        allocate_stack(spectra_count, bins, converge_lanes(spectra_count));
        const std::size_t size = y.size();
        for (std::vector<double>* v : {&x, &mu, &g, &mu_g, &candidate, &mu_candidate, &raised, &f_previous,
                                       &g_previous, &mu_g_previous}) {
            v->assign(size, 0.0);
        }
        mu_start.assign(static_cast<std::size_t>(n), 0.0);
        for (std::vector<double>* v : {&dF, &dG, &dM}) v->assign(memory * size, 0.0);
        const auto per_lane = static_cast<std::size_t>(lanes);
        for (std::vector<double>* v : {&ll, &objective, &objective_new, &objective_g, &counts, &sums}) {
            v->assign(per_lane, 0.0);
        }
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
        zero_counts.assign(per_lane, 0);
        spectrum.assign(per_lane, -1);
        passes_out.assign(static_cast<std::size_t>(spectra), 0);
        ll_out.assign(static_cast<std::size_t>(spectra), 0.0);
    }

    // The pass-equivalents spectrum s used.
    long long passes(index_t s) const noexcept { return passes_out[static_cast<std::size_t>(s)]; }

    // Spectrum k's state from lane `from` into lane `to` (which holds none).
    void move_lane(index_t from, index_t to) noexcept {
        const auto size = static_cast<std::size_t>(n * lanes);
        for (index_t i = 0; i < n; ++i) {
            const auto a = static_cast<std::size_t>(i * lanes + from), b = static_cast<std::size_t>(i * lanes + to);
            for (std::vector<double>* v : {&y, &x, &mu, &f_previous, &g_previous, &mu_g_previous}) (*v)[b] = (*v)[a];
            for (std::vector<double>* v : {&dF, &dG, &dM}) {
                for (int c = 0; c < memory; ++c) (*v)[c * size + b] = (*v)[c * size + a];
            }
        }
        std::copy_n(&gram[from * memory * memory], memory * memory, &gram[to * memory * memory]);
        std::copy_n(&recent[from * gain_window], gain_window, &recent[to * gain_window]);
        objective[to] = objective[from];
        counts[to] = counts[from];
        valid[to] = valid[from];
        next_slot[to] = next_slot[from];
        started[to] = started[from];
        passes_used[to] = passes_used[from];
        active[to] = active[from];
        zero_counts[to] = zero_counts[from];
        spectrum[to] = spectrum[from];
        clear_lane(from);
    }

    // Lane s holds no spectrum: y = 0 and x = 1, harmless in the passes.
    void clear_lane(index_t s) noexcept {
        for (index_t i = 0; i < n; ++i) {
            y[static_cast<std::size_t>(i * lanes + s)] = 0.0;
            x[static_cast<std::size_t>(i * lanes + s)] = 1.0;
        }
        spectrum[s] = -1;
        active[s] = 0;
    }
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
// of max_passes steps. `stop` is asked before every step; false when it
// answered true (the results are then incomplete).
template <class Engine>
[[gnu::always_inline]] inline bool converge(const Engine& engine, ConvergeWork& w, double tolerance,
                                            long long max_passes, StopCheck stop) {
    const index_t n = w.n, lanes = w.lanes;
    const auto size = static_cast<std::size_t>(n * lanes);
    auto at = [lanes](index_t i, index_t s) KERNELS_INLINE { return static_cast<std::size_t>(i * lanes + s); };
    auto column = [&](std::vector<double>& v, int a) KERNELS_INLINE { return v.data() + a * size; };
    // The lanes up to the last one holding a spectrum, in whole blocks.
    auto live_range = [&]() KERNELS_INLINE -> LaneRange {
        if (Engine::single) return {0, w.spectrum[0] >= 0 ? 1 : 0};
        index_t end = 0;
        for (index_t s = 0; s < lanes; ++s) {
            if (w.spectrum[s] >= 0) end = s + 1;
        }
        return {0, (end + lane_block - 1) / lane_block * lane_block};
    };
    auto evaluate = [&](const std::vector<double>& x, const std::vector<double>& mu, LaneRange range,
                        std::vector<double>& objective) KERNELS_INLINE {
        objectives(w.y.data(), x.data(), mu.data(), w.divisors.data(), n, lanes, range, objective.data(),
                   w.sums.data());
    };
    auto record = [&](index_t s) KERNELS_INLINE {
        if (w.history != nullptr) (*w.history)[w.spectrum[s]].emplace_back(w.passes_used[s], w.objective[s]);
    };
    // Takes `from` (with its forward projection and objective `value`) as the
    // new estimate, and applies the stopping rule to the gain over the last
    // gain_window steps (each one pass-equivalent).
    auto accept = [&](index_t s, std::vector<double>& from, std::vector<double>& from_mu,
                      double value) KERNELS_INLINE {
        for (index_t i = 0; i < n; ++i) {
            w.x[at(i, s)] = from[at(i, s)];
            w.mu[at(i, s)] = from_mu[at(i, s)];
        }
        w.objective[s] = value;
        record(s);
        const long long step = w.passes_used[s];
        double& earlier = w.recent[s * gain_window + step % gain_window];  // F gain_window steps ago
        const bool converged = tolerance > 0.0 && step >= gain_window &&
                               !(w.objective[s] - earlier > tolerance * w.counts[s] * gain_window);
        earlier = w.objective[s];
        // A spectrum of zero counts is 0 after one pass, and no step changes it.
        w.active[s] = std::isfinite(w.objective[s]) && !converged && w.passes_used[s] < max_passes &&
                      !w.zero_counts[s];
    };
    auto restart = [&](index_t s) KERNELS_INLINE {
        w.started[s] = 0;
        w.valid[s] = 0;
        w.next_slot[s] = 0;
    };
    // Spectrum k into lane s, at x = 1 (whose forward projection is the same
    // for every spectrum). It runs unless its objective is not finite (NaN
    // counts), its total is negative, or zero with counts other than 0
    // (invalid counts), there are no bins or no passes.
    std::size_t waiting = 0;
    auto load = [&](index_t s, index_t k) KERNELS_INLINE {
        double total = 0.0;
        bool zero = true;
        for (index_t i = 0; i < n; ++i) {
            const double value = w.source(k, i);
            w.y[at(i, s)] = value;
            w.x[at(i, s)] = 1.0;
            w.mu[at(i, s)] = w.mu_start[static_cast<std::size_t>(i)];
            total = total + value;
            zero = zero && value == 0.0;
        }
        w.spectrum[s] = k;
        w.counts[s] = total;
        w.zero_counts[s] = zero;
        evaluate(w.x, w.mu, {s, s + 1}, w.objective);
        w.passes_used[s] = 0;
        w.recent[s * gain_window] = w.objective[s];  // F after step 0
        restart(s);
        record(s);
        w.active[s] = std::isfinite(w.objective[s]) && (total > 0.0 || zero) && n > 0 && max_passes > 0;
    };
    // Every spectrum that has stopped: its log-likelihood from its forward
    // projection made afresh, its results out, and its lane to the next
    // waiting spectrum. Then, with none waiting, the spectra still running
    // move down to as few blocks of lanes as hold them.
    auto settle = [&]() KERNELS_INLINE {
        for (;;) {
            index_t first = lanes, last = -1;
            for (index_t s = 0; s < lanes; ++s) {
                if (w.spectrum[s] >= 0 && !w.active[s]) {
                    first = std::min(first, s);
                    last = s;
                }
            }
            if (last < 0) break;
            const LaneRange range = Engine::single ? LaneRange{0, 1}
                                                   : LaneRange{first / lane_block * lane_block,
                                                               (last / lane_block + 1) * lane_block};
            engine.forward(w.x.data(), w.mu_candidate.data(), range);
            log_likelihoods(w.y.data(), w.mu_candidate.data(), n, lanes, range, w.ll.data());
            for (index_t s = first; s <= last; ++s) {
                if (w.spectrum[s] < 0 || w.active[s]) continue;
                const index_t k = w.spectrum[s];
                for (index_t i = 0; i < n; ++i) w.target(k, i) = w.x[at(i, s)];
                // Counts whose total is not a positive number, zero counts
                // aside, and an infinite count: no likelihood to report.
                const bool invalid = (!(w.counts[s] > 0.0) && !w.zero_counts[s]) || !std::isfinite(w.counts[s]);
                w.passes_out[k] = w.passes_used[s];
                w.ll_out[k] = invalid ? std::numeric_limits<double>::quiet_NaN() : w.ll[s];
                if (waiting < static_cast<std::size_t>(w.spectra)) {
                    load(s, static_cast<index_t>(waiting++));
                } else {
                    w.clear_lane(s);
                }
            }
        }
        if (Engine::single || waiting < static_cast<std::size_t>(w.spectra)) return;
        index_t running = 0;
        for (index_t s = 0; s < lanes; ++s) running += w.spectrum[s] >= 0;
        const index_t needed = (running + lane_block - 1) / lane_block * lane_block;
        index_t free_lane = 0;
        for (index_t s = needed; s < lanes; ++s) {
            if (w.spectrum[s] < 0) continue;
            while (w.spectrum[free_lane] >= 0) ++free_lane;
            w.move_lane(s, free_lane);
        }
    };

    // The start: x = 1, its forward projection, and the first spectra in
    // the lanes.
    std::fill(w.x.begin(), w.x.end(), 1.0);
    engine.forward(w.x.data(), w.mu.data(), engine.full());
    for (index_t i = 0; i < n; ++i) w.mu_start[static_cast<std::size_t>(i)] = w.mu[at(i, 0)];
    for (index_t s = 0; s < lanes && waiting < static_cast<std::size_t>(w.spectra); ++s) {
        load(s, static_cast<index_t>(waiting++));
    }
    settle();

    for (LaneRange live = live_range(); live.end > 0; live = live_range()) {
        if (stop()) return false;
        // g = EM(x) and M^T g in one sweep; the new differences of g, of
        // the residual f = g - x and of M^T g go to each spectrum's next
        // slot, and that slot's row of the Gram matrix dF^T dF is made
        // (its other entries stay as they were).
        for (index_t i = 0; i < n; ++i) {
            std::copy(&w.x[at(i, live.begin)], &w.x[at(i, live.begin)] + (live.end - live.begin), &w.g[at(i, live.begin)]);
        }
        engine.pass(w.g.data(), w.mu.data(), w.mu_g.data(), live);
        w.lane_steps += live.end;
        for (index_t s = live.begin; s < live.end; ++s) {
            if (!w.active[s]) continue;
            ++w.busy_lane_steps;
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
            for (index_t s = live.begin; s < live.end; ++s) {
                const std::size_t q = at(i, s);
                for (int a = 0; a < memory; ++a) {
                    w.right[s * memory + a] = w.right[s * memory + a] + column(w.dF, a)[q] * w.f_previous[q];
                }
            }
        }
        for (index_t s = live.begin; s < live.end; ++s) {
            const unsigned slots = w.active[s] ? w.valid[s] : 0u;
            solve_mixing(&w.gram[s * memory * memory], &w.right[s * memory], slots, &w.gamma[s * memory]);
        }

        // The candidate, its forward projection from those of the g, and the
        // elements the floor raised. Without differences (and for spectra
        // that have stopped, and lanes that hold none) the candidate is g as
        // it is: a plain EM pass.
        bool raised_any = false;
        for (index_t i = 0; i < n; ++i) {
            for (index_t s = live.begin; s < live.end; ++s) {
                const std::size_t q = at(i, s);
                const unsigned slots = w.active[s] ? w.valid[s] : 0u;
                const double* const gamma = &w.gamma[s * memory];
                double c = w.g[q];
                double m = w.mu_g[q];
                for (int a = 0; a < memory; ++a) {
                    if (!(slots & (1u << a))) continue;
                    c = c - gamma[a] * column(w.dG, a)[q];
                    m = m - gamma[a] * column(w.dM, a)[q];
                }
                const double floor = slots != 0 ? 0.1 * w.x[q] : c;
                const double raised = c < floor ? floor - c : 0.0;
                w.candidate[q] = c < floor ? floor : c;
                w.mu_candidate[q] = m;
                w.raised[q] = raised;
                raised_any = raised_any || raised != 0.0;
            }
        }
        if (raised_any) engine.add_rows(w.raised.data(), w.mu_candidate.data(), live);
        evaluate(w.candidate, w.mu_candidate, live, w.objective_new);
        // F(g) where a mixed candidate lowered F: g is then taken.
        bool any_refused = false;
        for (index_t s = live.begin; s < live.end; ++s) {
            any_refused = any_refused || (w.active[s] && w.valid[s] != 0 && w.objective_new[s] < w.objective[s]);
        }
        if (any_refused) evaluate(w.g, w.mu_g, live, w.objective_g);
        for (index_t s = live.begin; s < live.end; ++s) {
            if (!w.active[s]) continue;
            const double F = w.objective[s], F_c = w.objective_new[s];
            if (w.valid[s] == 0) {
                // The candidate is g.
                if (F_c >= F) {
                    accept(s, w.g, w.mu_g, F_c);
                } else {
                    w.active[s] = 0;  // g lowers F: the rounding floor
                }
                continue;
            }
            const double F_g = w.objective_g[s];
            if (F_c >= F) {
                accept(s, w.candidate, w.mu_candidate, F_c);
            } else if (F_g >= F) {
                restart(s);  // the mixing starts again
                accept(s, w.g, w.mu_g, F_g);
            } else {
                w.active[s] = 0;
            }
        }
        settle();
    }
    return true;
}

// Runs every spectrum of w.source (S x n) to convergence (see the top of
// this file), writing w.target, w.passes_out and w.ll_out. Touches no Python
// object. False when `stop` ended the run first.
inline bool converge_stack(const Csr& csr, ConvergeWork& w, bool negative, double tolerance, long long max_passes,
                           StopCheck stop = {}) {
    if (w.spectra == 0) return true;
    bool done = true;
    with_engine(csr, w, negative, [&](const auto& engine) KERNELS_INLINE {
        done = converge(engine, w, tolerance, max_passes, stop);
    });
    return done;
}

// What the log-likelihood of given estimates needs: x and its forward
// projection (n x lanes each), ll[lanes].
struct LikelihoodWork : StackArrays {
    std::vector<double> x, mu, ll;

    // The bytes allocate(S, n) asks for: y, ratio, x, mu of n x lanes
    // doubles (and the single spectrum's correction), the divisors and the
    // row spans.
    static double bytes(index_t spectra_count, index_t bins) noexcept { return StackWork::bytes(spectra_count, bins); }

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
        engine.forward(w.x.data(), w.mu.data(), engine.full());
        log_likelihoods(w.y.data(), w.mu.data(), w.n, w.lanes, engine.full(), w.ll.data());
    });
}

}  // namespace kernels::ml_em

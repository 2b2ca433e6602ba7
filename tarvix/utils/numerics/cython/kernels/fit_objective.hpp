// The objective of a fit over m channels with counts y[m] and predicted
// means mu[m], and what the damped loop needs of it: the gradient and the
// information matrix from the model's Jacobian columns.
//
//   Poisson:        D = 2 sum_i (mu_i - y_i + y_i ln(y_i/mu_i)), a y_i = 0
//                   term being 2 max(mu_i, 0). Gradient of D/2: sum_i (1 - y_i/mu_i) J_i;
//                   information (Fisher scoring): sum_i J_i J_i^T / mu_i, over
//                   the channels whose mean is positive.
//   Least squares:  chi2 = sum_i w_i (y_i - mu_i)^2. Gradient of chi2/2:
//                   sum_i w_i (mu_i - y_i) J_i; information sum_i w_i J_i J_i^T.
//
// A Poisson mean cannot be negative: the deviance is that of the mean
// clipped at 0. Where counts were seen, a mean at or below 0 makes the
// deviance +inf, so the loop never accepts such a step; where none were, a
// negative mean costs what a mean of 0 costs (a model gains nothing by
// predicting fewer than no counts), and that channel adds nothing to the
// gradient or the information.
//
// The sums run over 8 partial sums, element i going to sum i mod 8, added
// in one fixed tree at the end, at every vector width: a kernel level
// changes how fast they run, not their bits. O(m) per sum.
#pragma once

#include "arrays.hpp"
#include "simd.hpp"

#include <cmath>

namespace kernels::fit {

enum class Estimator { poisson, least_squares };

inline constexpr int sum_lanes = 8;

// The channel weights of the gradient and information for Poisson: 1/mu_i,
// with mu_i taken as at least this (only a start outside the feasible set,
// or a tail that underflows, comes near it).
inline constexpr double poisson_mean_floor = 1e-12;

// out[r] = sum_i a[i] * b[r][i] for r < B, a[n], b[r][n]: B sums at once,
// which share the loads of a and keep B chains of additions in flight.
template <class V, int B>
[[gnu::always_inline]] inline void dots(const double* a, const double* const* b, index_t n, double* out) noexcept {
    constexpr int vectors = sum_lanes / V::width;
    typename V::D partial[B][vectors];
    for (int r = 0; r < B; ++r) {
        for (int k = 0; k < vectors; ++k) partial[r][k] = V::zero();
    }
    index_t i = 0;
    for (; i + sum_lanes <= n; i += sum_lanes) {
        for (int k = 0; k < vectors; ++k) {
            const auto ak = V::load(a + i + k * V::width);
            for (int r = 0; r < B; ++r) {
                partial[r][k] = V::add(partial[r][k], V::mul(ak, V::load(b[r] + i + k * V::width)));
            }
        }
    }
    for (int r = 0; r < B; ++r) {
        double lanes[sum_lanes];
        for (int k = 0; k < vectors; ++k) V::store(lanes + k * V::width, partial[r][k]);
        for (index_t t = 0; i + t < n; ++t) lanes[t] += a[i + t] * b[r][i + t];
        out[r] = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
    }
}

// sum_i a[i] * b[i], a[n], b[n].
template <class V>
[[gnu::always_inline]] inline double dot(const double* a, const double* b, index_t n) noexcept {
    double out;
    dots<V, 1>(a, &b, n, &out);
    return out;
}

// sum_i a[i], a[n].
template <class V>
[[gnu::always_inline]] inline double sum(const double* a, index_t n) noexcept {
    constexpr int vectors = sum_lanes / V::width;
    typename V::D partial[vectors];
    for (int k = 0; k < vectors; ++k) partial[k] = V::zero();
    index_t i = 0;
    for (; i + sum_lanes <= n; i += sum_lanes) {
        for (int k = 0; k < vectors; ++k) partial[k] = V::add(partial[k], V::load(a + i + k * V::width));
    }
    double lanes[sum_lanes];
    for (int k = 0; k < vectors; ++k) V::store(lanes + k * V::width, partial[k]);
    for (index_t t = 0; i + t < n; ++t) lanes[t] += a[i + t];
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// The counts and weights of one row, contiguous.
struct Observations {
    const double* y = nullptr;        // [m]
    const double* weights = nullptr;  // [m], least squares only; nullptr for all 1
    index_t m = 0;
};

// The objective at means mu[m]; terms[m] is scratch. Poisson: +inf for an
// infeasible mean (see above).
template <class V>
[[gnu::always_inline]] inline double objective(Estimator estimator, const Observations& data, const double* mu,
                                               double* terms) noexcept {
    const index_t m = data.m;
    const double* const y = data.y;
    if (estimator == Estimator::poisson) {
        bool feasible = true;
        for (index_t i = 0; i < m; ++i) {
            const double yi = y[i];
            const double mi = mu[i];
            feasible &= yi > 0.0 ? mi > 0.0 : !std::isnan(mi);
            terms[i] = yi > 0.0 ? (mi - yi) + yi * std::log(yi / mi) : std::fmax(mi, 0.0);
        }
        if (!feasible) return INFINITY;
        return 2.0 * sum<V>(terms, m);
    }
    for (index_t i = 0; i < m; ++i) {
        const double r = y[i] - mu[i];
        terms[i] = data.weights ? data.weights[i] * (r * r) : r * r;
    }
    return sum<V>(terms, m);
}

// Per channel, the factor of the gradient, factor[i] (the gradient of half
// the objective is sum_i factor_i J_i), and the weight of the information,
// weight[i]. False when every weight is 1 (least squares without weights):
// weight is then not written.
inline bool channel_factors(Estimator estimator, const Observations& data, const double* mu, double* factor,
                            double* weight) noexcept {
    const index_t m = data.m;
    const double* const y = data.y;
    if (estimator == Estimator::poisson) {
        for (index_t i = 0; i < m; ++i) {
            const double w = 1.0 / std::fmax(mu[i], poisson_mean_floor);
            const bool clipped = y[i] == 0.0 && !(mu[i] > 0.0);
            weight[i] = clipped ? 0.0 : w;
            factor[i] = clipped ? 0.0 : 1.0 - y[i] * w;
        }
        return true;
    }
    if (!data.weights) {
        for (index_t i = 0; i < m; ++i) factor[i] = mu[i] - y[i];
        return false;
    }
    for (index_t i = 0; i < m; ++i) {
        const double w = data.weights[i];
        weight[i] = w;
        factor[i] = w * (mu[i] - y[i]);
    }
    return true;
}

// The gradient g[n] and information h[n*n] (both triangles) of the n
// Jacobian columns columns[k][m], from factor[m] and weight[m] (nullptr:
// all 1); weighted[n*m] is scratch. O(n^2 m).
template <class V>
[[gnu::always_inline]] inline void gradient_and_information(const double* const* columns, index_t n, index_t m,
                                                            const double* factor, const double* weight,
                                                            double* g, double* h, double* weighted) noexcept {
    constexpr int block = 4;
    for (index_t a = 0; a < n; ++a) {
        const double* const ja = columns[a];
        const double* wa = ja;
        if (weight) {
            double* const scaled = weighted + a * m;
            for (index_t i = 0; i < m; ++i) scaled[i] = weight[i] * ja[i];
            wa = scaled;
        }
        g[a] = dot<V>(factor, ja, m);
        double* const row = h + a * n;
        index_t b = 0;
        for (; b + block <= a + 1; b += block) dots<V, block>(wa, columns + b, m, row + b);
        for (; b <= a; ++b) row[b] = dot<V>(wa, columns[b], m);
        for (b = 0; b < a; ++b) h[b * n + a] = row[b];
    }
}

}  // namespace kernels::fit

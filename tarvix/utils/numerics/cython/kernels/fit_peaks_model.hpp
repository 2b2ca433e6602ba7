// The model of a peak fit and its Jacobian, over m channels:
//
//   f(x) = sum_k A_k exp(-(x - mu_k)^2 / (2 v_k))
//        + sum_k h_k erfc((x - mu_k) / sqrt(2 v_k)) / 2        (with steps)
//        + sum_c b_c basis_c(x),
//
// theta = K peaks (A, mu, v) or (A, mu, v, h), then the q coefficients b.
// Sampled: f at the channel centres x[m]. Binned: each peak and step
// integrated over its channel, from edge x[i] to x[i+1] (x[m+1]), in
// closed form; the basis columns are taken per channel as given. With
// t = (x - mu)/sqrt(2v) and g = exp(-t^2) at the edges:
//   Gaussian  G_i = sqrt(pi v/2) (erf t_{i+1} - erf t_i),
//             dG/dmu = g_i - g_{i+1},  dG/dv = (G_i - [(x - mu) g]_i^{i+1}) / (2v);
//   step      S_i = [min(x - mu, 0) + sqrt(v/2) (|t| erfc|t| - g/sqrt(pi))]_i^{i+1},
//             dS/dmu = (erf t_{i+1} - erf t_i)/2,  dS/dv = (g_i - g_{i+1}) / (2 sqrt(2 pi v)).
// The erf differences are formed from erfc(|t|) on each side of mu, so that
// channels far in a tail keep their digits.
//
// Inputs: x[m] or x[m+1], ascending; basis[q*m], column c at basis + c*m.
// Cost per evaluation: O((K + q) m) with one exp and (with steps or binned)
// one erfc per channel or edge and peak, both a vector at a time.
#pragma once

#include "arrays.hpp"
#include "erfc.hpp"
#include "exp.hpp"
#include "fit_solve.hpp"

#include <cmath>
#include <vector>

namespace kernels::fit {

// Variances are kept at least this, whatever the bounds say: small enough
// to mean a line far narrower than any channel, large enough that 1/v^2
// stays finite.
inline constexpr double variance_floor = 1e-100;

struct PeakShape {
    index_t peaks = 0;       // K
    index_t background = 0;  // q
    index_t m = 0;           // channels
    bool steps = false;
    bool binned = false;

    index_t per_peak() const noexcept { return steps ? 4 : 3; }
    index_t peak_parameters() const noexcept { return per_peak() * peaks; }
    index_t parameters() const noexcept { return peak_parameters() + background; }
};

class PeakModel {
public:
    PeakModel(const PeakShape& shape, const double* x, const double* basis) : shape_(shape), x_(x), basis_(basis) {
        const auto m = static_cast<std::size_t>(shape.m);
        const auto columns = static_cast<std::size_t>(shape.peak_parameters());
        for (int slot = 0; slot < 2; ++slot) {
            mean_[slot].resize(m);
            jacobian_[slot].resize(columns * m);
        }
        for (auto* edge : {&offset_, &argument_, &gauss_, &tail_, &step_part_}) edge->resize(m + 1);
    }

    index_t parameters() const noexcept { return shape_.parameters(); }
    index_t channels() const noexcept { return shape_.m; }
    index_t area_count() const noexcept { return shape_.peaks; }

    const double* mean(int slot) const noexcept { return mean_[slot].data(); }
    const double* column(int slot, index_t a) const noexcept {
        const index_t peak_columns = shape_.peak_parameters();
        return a < peak_columns ? jacobian_[slot].data() + a * shape_.m : basis_ + (a - peak_columns) * shape_.m;
    }

    void restrict_bounds(double* lower, double* upper) const noexcept {
        for (index_t k = 0; k < shape_.peaks; ++k) {
            const index_t v = k * shape_.per_peak() + 2;
            lower[v] = std::fmax(lower[v], variance_floor);
            upper[v] = std::fmax(upper[v], variance_floor);
        }
    }

    // A step changes no variance by more than this factor either way: a
    // long early step would otherwise project a variance onto its floor,
    // where the peak has no slope left to come back along.
    static constexpr double variance_step_factor = 10.0;

    void limit_step(const double* theta, double* trial) const noexcept {
        for (index_t k = 0; k < shape_.peaks; ++k) {
            const index_t v = k * shape_.per_peak() + 2;
            trial[v] = std::fmin(std::fmax(trial[v], theta[v] / variance_step_factor),
                                 theta[v] * variance_step_factor);
        }
    }

    // The model is smooth: a step is taken whole or not at all.
    bool cut_step(const double*, double*) const noexcept { return false; }

    // The lengths over which a peak changes substantially: its width for
    // its centre, its variance for its variance; no scale (0) for the
    // others. A centre whose standard error far exceeds the peak's width
    // (a binned peak much narrower than its channel, or one whose
    // amplitude is about 0) is not determined by the data.
    void scales(const double* theta, double* scale) const noexcept {
        for (index_t a = 0; a < parameters(); ++a) scale[a] = 0.0;
        for (index_t k = 0; k < shape_.peaks; ++k) {
            const index_t v = k * shape_.per_peak() + 2;
            scale[v - 1] = std::sqrt(theta[v]);
            scale[v] = theta[v];
        }
    }

    // area_k = A_k sqrt(2 pi v_k), the integral of the Gaussian over x, and
    // its standard error from the covariance[P*P].
    void areas(const double* theta, const double* covariance, double* area, double* error) const noexcept {
        const index_t P = parameters();
        for (index_t k = 0; k < shape_.peaks; ++k) {
            const index_t a = k * shape_.per_peak();
            const index_t v = a + 2;
            const double root = std::sqrt(2.0 * M_PI * theta[v]);
            area[k] = theta[a] * root;
            error[k] = propagated_error(root, area[k] / (2.0 * theta[v]), covariance[a * P + a], covariance[a * P + v],
                                  covariance[v * P + v]);
        }
    }

    template <class V>
    [[gnu::always_inline]] inline void evaluate(const double* theta, int slot) noexcept {
        const index_t m = shape_.m;
        double* const mu = mean_[slot].data();
        for (index_t i = 0; i < m; ++i) mu[i] = 0.0;
        const double* const b = theta + shape_.peak_parameters();
        for (index_t c = 0; c < shape_.background; ++c) {
            const double* const column = basis_ + c * m;
            for (index_t i = 0; i < m; ++i) mu[i] += b[c] * column[i];
        }
        for (index_t k = 0; k < shape_.peaks; ++k) {
            const double* const peak = theta + k * shape_.per_peak();
            double* const jacobian = jacobian_[slot].data() + k * shape_.per_peak() * m;
            if (shape_.binned) {
                binned_peak<V>(peak, mu, jacobian);
            } else {
                sampled_peak<V>(peak, mu, jacobian);
            }
        }
    }

private:
    // One peak at the centres: adds it to mu[m], writes its columns
    // jacobian[per_peak*m] (A, mu, v, then h).
    template <class V>
    [[gnu::always_inline]] inline void sampled_peak(const double* peak, double* mu, double* jacobian) noexcept {
        const index_t m = shape_.m;
        const double A = peak[0], centre = peak[1], v = peak[2];
        const double inverse_v = 1.0 / v;
        const double half_inverse_v = 0.5 * inverse_v;
        const double half_inverse_v2 = half_inverse_v * inverse_v;  // 1/(2 v^2)
        double* const dA = jacobian;
        double* const dmu = jacobian + m;
        double* const dv = jacobian + 2 * m;
        double* const offset = offset_.data();
        double* const argument = argument_.data();
        for (index_t i = 0; i < m; ++i) {
            const double d = x_[i] - centre;
            offset[i] = d;
            argument[i] = -(d * d) * half_inverse_v;
        }
        exp_array<V>(argument, dA, m);
        for (index_t i = 0; i < m; ++i) {
            const double ag = A * dA[i];
            const double d = offset[i];
            mu[i] += ag;
            dmu[i] = ag * d * inverse_v;
            dv[i] = ag * (d * d) * half_inverse_v2;
        }
        if (!shape_.steps) return;
        const double h = peak[3];
        double* const dh = jacobian + 3 * m;
        const double root_inverse = 1.0 / std::sqrt(2.0 * v);
        const double slope = 1.0 / std::sqrt(2.0 * M_PI * v);  // of the step against mu, per unit g
        for (index_t i = 0; i < m; ++i) argument[i] = offset[i] * root_inverse;
        erfc_array<V>(argument, dh, m);
        for (index_t i = 0; i < m; ++i) {
            const double hg = h * dA[i];
            dh[i] *= 0.5;
            mu[i] += h * dh[i];
            dmu[i] += hg * slope;
            dv[i] += hg * offset[i] * slope * half_inverse_v;
        }
    }

    // One peak integrated over the channels between the edges x[m+1].
    template <class V>
    [[gnu::always_inline]] inline void binned_peak(const double* peak, double* mu, double* jacobian) noexcept {
        const index_t m = shape_.m;
        const double A = peak[0], centre = peak[1], v = peak[2];
        const double half_inverse_v = 0.5 / v;
        const double root_inverse = 1.0 / std::sqrt(2.0 * v);
        double* const u = offset_.data();
        double* const g = gauss_.data();
        double* const tail = tail_.data();  // erfc(|t|)
        double* const argument = argument_.data();
        for (index_t j = 0; j <= m; ++j) {
            const double d = x_[j] - centre;
            u[j] = d;
            argument[j] = -(d * d) * half_inverse_v;
        }
        exp_array<V>(argument, g, m + 1);
        for (index_t j = 0; j <= m; ++j) argument[j] = std::fabs(u[j] * root_inverse);
        erfc_array<V>(argument, tail, m + 1);

        double* const dA = jacobian;
        double* const dmu = jacobian + m;
        double* const dv = jacobian + 2 * m;
        const double half_width = std::sqrt(0.5 * M_PI * v);
        for (index_t i = 0; i < m; ++i) {
            const double difference = erf_difference(u[i], u[i + 1], tail[i], tail[i + 1]);
            const double G = half_width * difference;
            mu[i] += A * G;
            dA[i] = G;
            dmu[i] = A * (g[i] - g[i + 1]);
            dv[i] = A * half_inverse_v * (G - (u[i + 1] * g[i + 1] - u[i] * g[i]));
        }
        if (!shape_.steps) return;
        const double h = peak[3];
        double* const dh = jacobian + 3 * m;
        double* const part = step_part_.data();  // |t| erfc|t| - g/sqrt(pi)
        constexpr double inverse_root_pi = 0.56418958354775628695;
        for (index_t j = 0; j <= m; ++j) part[j] = std::fabs(u[j] * root_inverse) * tail[j] - g[j] * inverse_root_pi;
        const double root_half_v = std::sqrt(0.5 * v);
        const double slope_v = 0.5 / std::sqrt(2.0 * M_PI * v);
        for (index_t i = 0; i < m; ++i) {
            const double S = (std::fmin(u[i + 1], 0.0) - std::fmin(u[i], 0.0)) + root_half_v * (part[i + 1] - part[i]);
            mu[i] += h * S;
            dh[i] = S;
            dmu[i] += h * 0.5 * erf_difference(u[i], u[i + 1], tail[i], tail[i + 1]);
            dv[i] += h * (g[i] - g[i + 1]) * slope_v;
        }
    }

    // erf(t_b) - erf(t_a) for edges a < b at offsets ua, ub from the centre,
    // from ca = erfc|t_a| and cb = erfc|t_b|.
    static double erf_difference(double ua, double ub, double ca, double cb) noexcept {
        if (ua >= 0.0) return ca - cb;
        if (ub <= 0.0) return cb - ca;
        return (1.0 - ca) + (1.0 - cb);
    }

    PeakShape shape_;
    const double* x_;
    const double* basis_;
    std::vector<double> mean_[2], jacobian_[2];
    std::vector<double> offset_, argument_, gauss_, tail_, step_part_;
};

}  // namespace kernels::fit

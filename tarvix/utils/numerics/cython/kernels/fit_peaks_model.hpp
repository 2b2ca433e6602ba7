// The model of a peak fit and its Jacobian, over m channels:
//
//   f(x) = sum_k A_k exp(-(x - mu_k)^2 / (2 v_k))
//        + sum_k h_k erfc((x - mu_k) / sqrt(2 v_k)) / 2        (with steps)
//        + sum_k sum_j T_kj(x)                                  (with tails)
//        + sum_c b_c basis_c(x),
//
// theta = K peaks (A, mu, v[, h][, t_1, tau_1][, t_2, tau_2]), then the q
// coefficients b. Tail j of a peak is the one-sided exponential
// exp(u/(tau s)) (u < 0) convolved with the peak's Gaussian, with u = x - mu,
// s = sqrt(v), scaled to t times the Gaussian's area:
//   T(x) = A sqrt(2 pi) (t/tau) K(u),
//   K(u) = exp(u/(tau s) + 1/(2 tau^2)) erfc(z) / 2,  z = u/(sqrt(2) s) + 1/(sqrt(2) tau),
// K formed as exp(-u^2/(2v)) erfcx(z) / 2 where z > 0, so that no factor
// overflows. Per unit of the Gaussian's area its integral from -inf is
// F(u) = Phi(u/s) + K(u), with dF/du = K/(tau s), s dF/ds = -u K/(tau s)
// and dF/dtau = dK/dtau = (g/sqrt(2 pi) - K (u/s + 1/tau)) / tau^2.
// Binned, a channel holds A sqrt(2 pi) s t (F(u_{i+1}) - F(u_i)), each F
// taken from the side of mu it lies on (F below, 1 - F = erfc(t)/2 - K
// above) so that the far channels keep their digits.
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
// one erfc per channel or edge and peak, both a vector at a time, and per
// tail one erfcx (right of -s/tau) or one exp and one erfc (left of it).
#pragma once

#include "arrays.hpp"
#include "erfc.hpp"
#include "erfcx.hpp"
#include "exp.hpp"
#include "fit_solve.hpp"

#include <cmath>
#include <vector>

namespace kernels::fit {

// Variances are kept at least this, whatever the bounds say: small enough
// to mean a line far narrower than any channel, large enough that 1/v^2
// stays finite.
inline constexpr double variance_floor = 1e-100;

// Tail lengths (in units of the peak's sigma) are kept at least this: a
// shorter tail is the Gaussian itself, and 1/tau^3 stays far from overflow.
inline constexpr double tail_length_floor = 1e-3;

struct PeakShape {
    index_t peaks = 0;       // K
    index_t background = 0;  // q
    index_t m = 0;           // channels
    bool steps = false;
    bool binned = false;
    index_t tails = 0;       // 0, 1 or 2 per peak

    index_t per_peak() const noexcept { return (steps ? 4 : 3) + 2 * tails; }
    // The position of tail j's fraction t within a peak; its length follows.
    index_t tail_position(index_t j) const noexcept { return (steps ? 4 : 3) + 2 * j; }
    index_t peak_parameters() const noexcept { return per_peak() * peaks; }
    index_t parameters() const noexcept { return peak_parameters() + background; }
};

class PeakModel {
public:
    PeakModel() = default;
    PeakModel(const PeakShape& shape, const double* x, const double* basis) { reshape(shape, x, basis); }

    // The model of another shape over another axis, in the same storage: a
    // caller fitting many regions allocates only when one outgrows it.
    // Every array is written by evaluate before it is read.
    void reshape(const PeakShape& shape, const double* x, const double* basis) {
        shape_ = shape;
        x_ = x;
        basis_ = basis;
        const auto m = static_cast<std::size_t>(shape.m);
        const auto columns = static_cast<std::size_t>(shape.peak_parameters());
        for (int slot = 0; slot < 2; ++slot) {
            mean_[slot].resize(m);
            jacobian_[slot].resize(columns * m);
        }
        for (auto* edge : {&offset_, &argument_, &gauss_, &tail_, &step_part_}) edge->resize(m + 1);
        if (shape.tails > 0) {
            for (auto* edge : {&z_, &kernel_, &special_, &cumulative_}) edge->resize(m + 1);
        }
    }

    // What the constructor allocates, for a MemoryError to say.
    static double bytes(const PeakShape& shape) noexcept {
        const double m = static_cast<double>(shape.m);
        const double edges = (shape.tails > 0 ? 9.0 : 5.0) * (m + 1.0);
        return 8.0 * (2.0 * m + 2.0 * static_cast<double>(shape.peak_parameters()) * m + edges);
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
            for (index_t j = 0; j < shape_.tails; ++j) {
                const index_t t = k * shape_.per_peak() + shape_.tail_position(j);
                lower[t] = std::fmax(lower[t], 0.0);
                upper[t] = std::fmax(upper[t], 0.0);
                lower[t + 1] = std::fmax(lower[t + 1], tail_length_floor);
                upper[t + 1] = std::fmax(upper[t + 1], tail_length_floor);
            }
        }
    }

    // A step changes no variance, nor tail length, by more than this factor
    // either way: a long early step would otherwise project it onto its
    // floor, where the peak has no slope left to come back along.
    static constexpr double variance_step_factor = 10.0;

    void limit_step(const double* theta, double* trial) const noexcept {
        auto limit = [&](index_t a) {
            trial[a] = std::fmin(std::fmax(trial[a], theta[a] / variance_step_factor), theta[a] * variance_step_factor);
        };
        for (index_t k = 0; k < shape_.peaks; ++k) {
            limit(k * shape_.per_peak() + 2);
            for (index_t j = 0; j < shape_.tails; ++j) limit(k * shape_.per_peak() + shape_.tail_position(j) + 1);
        }
    }

    // The model is smooth: a step is taken whole or not at all.
    bool cut_step(const double*, double*) const noexcept { return false; }

    // The lengths over which a peak changes substantially: its width for
    // its centre, its variance for its variance, a tail's decay length for
    // that length; no scale (0) for the others. A centre whose standard
    // error far exceeds the peak's width (a binned peak much narrower than
    // its channel, or one whose amplitude is about 0) is not determined by
    // the data.
    void scales(const double* theta, double* scale) const noexcept {
        for (index_t a = 0; a < parameters(); ++a) scale[a] = 0.0;
        for (index_t k = 0; k < shape_.peaks; ++k) {
            const index_t v = k * shape_.per_peak() + 2;
            scale[v - 1] = std::sqrt(theta[v]);
            scale[v] = theta[v];
            for (index_t j = 0; j < shape_.tails; ++j) {
                const index_t tau = k * shape_.per_peak() + shape_.tail_position(j) + 1;
                scale[tau] = theta[tau];
            }
        }
    }

    // area_k = A_k sqrt(2 pi v_k) (1 + sum_j t_kj), the integral of the
    // Gaussian and its tails over x, and its standard error from the
    // covariance[P*P] through the derivatives in A, v and every t.
    void areas(const double* theta, const double* covariance, double* area, double* error) const noexcept {
        const index_t P = parameters();
        for (index_t k = 0; k < shape_.peaks; ++k) {
            const index_t a = k * shape_.per_peak();
            const index_t v = a + 2;
            const double root = std::sqrt(2.0 * M_PI * theta[v]);
            if (shape_.tails == 0) {
                area[k] = theta[a] * root;
                error[k] = propagated_error(root, area[k] / (2.0 * theta[v]), covariance[a * P + a],
                                            covariance[a * P + v], covariance[v * P + v]);
                continue;
            }
            double scale = 1.0;
            for (index_t j = 0; j < shape_.tails; ++j) scale += theta[a + shape_.tail_position(j)];
            area[k] = theta[a] * root * scale;
            // The gradient over (A, v, t_1, ...) and where each sits in theta.
            index_t at[2 + 2];
            double gradient[2 + 2];
            at[0] = a;
            gradient[0] = root * scale;
            at[1] = v;
            gradient[1] = area[k] / (2.0 * theta[v]);
            for (index_t j = 0; j < shape_.tails; ++j) {
                at[2 + j] = a + shape_.tail_position(j);
                gradient[2 + j] = theta[a] * root;
            }
            const index_t n = 2 + shape_.tails;
            double variance = 0.0;
            for (index_t i = 0; i < n; ++i) {
                for (index_t l = 0; l < n; ++l) variance += gradient[i] * gradient[l] * covariance[at[i] * P + at[l]];
            }
            error[k] = std::isnan(variance) ? NAN : variance > 0.0 ? std::sqrt(variance) : 0.0;
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
        if (shape_.steps) {
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
        if (shape_.tails == 0) return;
        double* const g = gauss_.data();  // dA gains the tails' terms below
        for (index_t i = 0; i < m; ++i) g[i] = dA[i];
        for (index_t j = 0; j < shape_.tails; ++j) {
            const index_t position = shape_.tail_position(j);
            sampled_tail<V>(A, v, peak[position], peak[position + 1], offset, g, mu, jacobian,
                            jacobian + position * m);
        }
    }

    // K(u) at the n ascending points u[n] with g[n] = exp(-u^2/(2 v)),
    // into kernel_ (see the top).
    template <class V>
    [[gnu::always_inline]] inline void tail_kernel(const double* u, const double* g, index_t n, double v,
                                                   double tau) noexcept {
        const double root_inverse = 1.0 / std::sqrt(2.0 * v);
        const double shift = 1.0 / (std::sqrt(2.0) * tau);
        double* const z = z_.data();
        double* const K = kernel_.data();
        double* const special = special_.data();
        double* const argument = argument_.data();
        for (index_t i = 0; i < n; ++i) z[i] = u[i] * root_inverse + shift;
        // z ascends with u: z <= 0 on a prefix, where exp(...) erfc(z) has a
        // negative exponent; beyond it the erfcx form.
        index_t left = 0;
        while (left < n && !(z[left] > 0.0)) ++left;
        const double slope = 1.0 / (tau * std::sqrt(v));
        const double offset = 0.5 / (tau * tau);
        for (index_t i = 0; i < left; ++i) argument[i] = u[i] * slope + offset;
        exp_array<V>(argument, K, left);
        erfc_array<V>(z, special, left);
        erfcx_array<V>(z + left, special + left, n - left);
        for (index_t i = 0; i < left; ++i) K[i] = 0.5 * K[i] * special[i];
        for (index_t i = left; i < n; ++i) K[i] = 0.5 * g[i] * special[i];
    }

    // One tail (t, tau) of the peak (A, v) at the centres u[m]: adds it to
    // mu[m] and its terms to the peak's columns jacobian (A, mu, v), writes
    // its own two columns tail_columns (t, tau).
    template <class V>
    [[gnu::always_inline]] inline void sampled_tail(double A, double v, double t, double tau, const double* u,
                                                    const double* g, double* mu, double* jacobian,
                                                    double* tail_columns) noexcept {
        const index_t m = shape_.m;
        tail_kernel<V>(u, g, m, v, tau);
        const double* const K = kernel_.data();
        const double sigma = std::sqrt(v);
        const double inverse_sigma = 1.0 / sigma;
        const double inverse_tau = 1.0 / tau;
        constexpr double inverse_root_2pi = 0.39894228040143267794;
        const double w = std::sqrt(2.0 * M_PI) * inverse_tau;  // T = A t w K
        const double Atw = A * t * w;
        const double inverse_tau3 = inverse_tau * inverse_tau * inverse_tau;
        double* const dA = jacobian;
        double* const dmu = jacobian + m;
        double* const dv = jacobian + 2 * m;
        double* const dt = tail_columns;
        double* const dtau = tail_columns + m;
        for (index_t i = 0; i < m; ++i) {
            const double k = K[i];
            const double gaussian = g[i] * inverse_root_2pi;
            const double r = u[i] * inverse_sigma;
            mu[i] += Atw * k;
            dA[i] += t * w * k;
            dt[i] = A * w * k;
            dmu[i] -= Atw * inverse_sigma * (k * inverse_tau - gaussian);
            dv[i] += Atw * r * (gaussian - k * inverse_tau) * 0.5 / v;
            dtau[i] = A * t * std::sqrt(2.0 * M_PI) * inverse_tau3 * (gaussian - k * (r + inverse_tau + tau));
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
        if (shape_.steps) binned_step(peak[3], v, mu, jacobian);
        for (index_t j = 0; j < shape_.tails; ++j) {
            const index_t position = shape_.tail_position(j);
            binned_tail<V>(A, v, peak[position], peak[position + 1], mu, jacobian, jacobian + position * m);
        }
    }

    // The step h of the peak of variance v whose edges' offsets, g and
    // erfc|t| binned_peak has formed: adds it to mu[m] and its terms to the
    // columns (A, mu, v, h) in jacobian.
    void binned_step(double h, double v, double* mu, double* jacobian) noexcept {
        const index_t m = shape_.m;
        const double root_inverse = 1.0 / std::sqrt(2.0 * v);
        const double* const u = offset_.data();
        const double* const g = gauss_.data();
        const double* const tail = tail_.data();
        double* const dmu = jacobian + m;
        double* const dv = jacobian + 2 * m;
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

    // One tail (t, tau) of the peak (A, v) over the channels between the
    // edges at offsets u[m+1], with g and erfc|t| there: adds it to mu[m]
    // and its terms to the peak's columns jacobian (A, mu, v), writes its
    // own two columns tail_columns (t, tau).
    template <class V>
    [[gnu::always_inline]] inline void binned_tail(double A, double v, double t, double tau, double* mu,
                                                   double* jacobian, double* tail_columns) noexcept {
        const index_t m = shape_.m;
        const double* const u = offset_.data();
        const double* const g = gauss_.data();
        const double* const tail = tail_.data();
        tail_kernel<V>(u, g, m + 1, v, tau);
        double* const K = kernel_.data();
        double* const F = cumulative_.data();  // F below mu, 1 - F from mu on
        double* const tau_part = special_.data();  // dK/dtau
        const double sigma = std::sqrt(v);
        const double inverse_sigma = 1.0 / sigma;
        const double inverse_tau = 1.0 / tau;
        constexpr double inverse_root_2pi = 0.39894228040143267794;
        for (index_t i = 0; i <= m; ++i) {
            F[i] = u[i] < 0.0 ? 0.5 * tail[i] + K[i] : 0.5 * tail[i] - K[i];
            tau_part[i] =
                (g[i] * inverse_root_2pi - K[i] * (u[i] * inverse_sigma + inverse_tau)) * inverse_tau * inverse_tau;
        }
        const double scale = std::sqrt(2.0 * M_PI) * sigma;  // the Gaussian's area per unit A
        const double At = A * t;
        const double slope = inverse_tau * inverse_sigma;   // dF/du = K slope
        double* const dA = jacobian;
        double* const dmu = jacobian + m;
        double* const dv = jacobian + 2 * m;
        double* const dt = tail_columns;
        double* const dtau = tail_columns + m;
        for (index_t i = 0; i < m; ++i) {
            const double ua = u[i], ub = u[i + 1];
            const double difference = ua >= 0.0 ? F[i] - F[i + 1]
                                      : ub < 0.0 ? F[i + 1] - F[i]
                                                 : (1.0 - F[i]) - F[i + 1];
            const double content = scale * difference;  // per unit A t
            mu[i] += At * content;
            dA[i] += t * content;
            dt[i] = A * content;
            dmu[i] -= At * scale * slope * (K[i + 1] - K[i]);
            dv[i] += At * scale * (difference - slope * (ub * K[i + 1] - ua * K[i])) * 0.5 / v;
            dtau[i] = At * scale * (tau_part[i + 1] - tau_part[i]);
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
    const double* x_ = nullptr;
    const double* basis_ = nullptr;
    std::vector<double> mean_[2], jacobian_[2];
    std::vector<double> offset_, argument_, gauss_, tail_, step_part_;
    std::vector<double> z_, kernel_, special_, cumulative_;  // per tail, sized only with tails
};

}  // namespace kernels::fit

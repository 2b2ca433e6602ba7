// A whole spectrum analysed: candidates grouped into regions, each region
// fitted by binned Poisson likelihood (the peak model of fit_peaks_model.hpp
// in the damped loop of fit_loop.hpp), vanished and weak peaks pruned, the
// residuals searched for peaks the search missed, and the peak table made.
//
// One row, given its edges x[n+1] (keV), counts y[n], continuum c[n] (SNIP),
// fwhm[n] (keV at the channel centres) and its candidates (energy, net,
// significance) ascending:
//   regions:  candidates closer than group_gap FWHM share a region, which
//             runs margin FWHM beyond its outer candidates; a group of more
//             than max_peaks is split at its widest gap;
//   fit:      each peak (A, mu, v, h[, t1, tau1[, t2, tau2]]) on a straight
//             background
//             b0 + b1 (x - mid) / half; mu within +-0.75 FWHM of its start
//             and on its side of the midpoints to its neighbours' starts
//             (neighbour_gap FWHM from them),
//             v within +-width_band of the resolution's for candidates of
//             significance >= strong (else held), h >= 0 free from
//             step_significance (else held at 0); the background starts at
//             the continuum's least-squares line; the tails are held at
//             their values at the candidate's energy (a shape calibration);
//   prune:    while a peak has no finite significance, is below the
//             threshold or has its centre held by a bound, the peaks far
//             below (< threshold / 2) go together (of neighbours within
//             shared_reach FWHM only the least significant), else the
//             least significant alone, and the region is refitted;
//   residual: a Gaussian matched filter of the local FWHM on y - model, with
//             the model's variance, over the region less edge_clearance
//             FWHM at each end and min_separation FWHM around each peak; its
//             largest local maximum >= residual_threshold becomes a peak and
//             the region is refitted and pruned (kept only if the peaks grew
//             in number), at most max_added tries per region; with no such
//             maximum, the strongest peak of significance >=
//             split_significance whose width sits at the top of its band,
//             or whose deviance within misfit_reach FWHM is misfit_threshold
//             standard deviations above its expectation (an unresolved
//             doublet), is tried with a second member split_offset FWHM to
//             either side, both members' widths held, the better fit kept
//             if both stand; at most max_splits splits per region;
//   table:    energy, its error, area, its error, FWHM, significance, the
//             background's counts (line and steps) within +-1.25 FWHM,
//             region, status; sorted by energy.
// Every stage reads only its row, so a row's table is what the row alone
// gives. Cost per region: a few fits, each O(iterations (P^2 m + P^3)),
// and per residual search O(m window) erfc evaluations.
#pragma once

#include "arrays.hpp"
#include "dispatch.hpp"
#include "erfc.hpp"
#include "fit_loop.hpp"
#include "fit_peaks_model.hpp"
#include "lanes.hpp"
#include "peak_search.hpp"
#include "snip.hpp"
#include "stop.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace kernels::analysis {



constexpr double sigma_per_fwhm = 0.42466090014400953;  // 1 / sqrt(8 ln 2)
constexpr double search_threshold = 3.0;    // candidates' significance (the fits decide)
constexpr double residual_threshold = 2.0;  // residual candidates' significance
constexpr double group_gap = 4.0;           // FWHM: closer candidates share a region
constexpr double margin = 2.5;              // FWHM beyond the outer candidates
constexpr index_t max_peaks = 8;            // peaks in one region at most
constexpr double strong = 20.0;             // significance from which a width is free
constexpr double width_band = 0.10;         // a free width stays within +-10 %
constexpr double step_significance = 15.0;  // significance from which a step is free
constexpr double centre_reach = 0.75;       // FWHM a centre may move from its start
constexpr double neighbour_gap = 0.05;      // FWHM a centre keeps from the midpoint to a neighbour's start
constexpr double min_separation = 0.35;     // FWHM between a residual candidate and a peak
constexpr double edge_clearance = 1.5;      // FWHM between a residual candidate and an edge
constexpr int max_added = 3;                // residual tries per region
constexpr double split_offset = 0.5;        // FWHM: a blend's second member is tried there
constexpr int max_splits = 2;               // blend splits tried per region
constexpr double split_significance = 10.0; // a peak this significant may be a blend
constexpr double misfit_reach = 1.0;        // FWHM about a peak where its misfit is read
constexpr double misfit_threshold = 2.0;    // z of the local deviance that marks a blend
constexpr double shared_reach = 1.5;        // FWHM: far-below neighbours closer go one at a time
constexpr double filter_reach = 1.5;        // FWHM: the residual filter's half-window
constexpr double window_half = 1.25;        // FWHM: the background's window

struct Candidate {
    double energy, net, significance;
    bool added;
};

// One line of the table.
struct Entry {
    double energy, energy_error, area, area_error, fwhm, significance, background;
    std::int64_t region;
    std::int32_t status;
};

// The row's axis: edges x[n+1], the centres and the FWHM at them, and the
// tails' (t, tau) pairs at them, tails[n * 2 * tail_count] row-major.
struct Axis {
    const double* x;
    const double* centre;
    const double* fwhm;
    index_t n;
    const double* tails = nullptr;
    index_t tail_count = 0;

    // The tails' parameters at energy e into out[2 * tail_count]: linear
    // between centres, constant beyond.
    void tails_at(double e, double* out) const noexcept {
        const index_t w = 2 * tail_count;
        if (w == 0) return;
        index_t j = 0;
        double t = 0.0;
        if (n > 1 && e > centre[0]) {
            if (e >= centre[n - 1]) {
                j = n - 1;
            } else {
                j = (std::upper_bound(centre, centre + n, e) - centre) - 1;
                t = (e - centre[j]) / (centre[j + 1] - centre[j]);
            }
        }
        for (index_t c = 0; c < w; ++c) {
            const double a = tails[j * w + c];
            out[c] = t > 0.0 ? a + t * (tails[(j + 1) * w + c] - a) : a;
        }
    }

    // The FWHM at energy e, linear between centres and constant beyond.
    double fwhm_at(double e) const noexcept {
        if (n == 1 || e <= centre[0]) return fwhm[0];
        if (e >= centre[n - 1]) return fwhm[n - 1];
        const index_t j = std::upper_bound(centre, centre + n, e) - centre;  // centre[j-1] <= e < centre[j]
        const double t = (e - centre[j - 1]) / (centre[j] - centre[j - 1]);
        return fwhm[j - 1] + t * (fwhm[j] - fwhm[j - 1]);
    }
};

// Phi(b) - Phi(a) for edges a <= b (in units of sigma; only their signs
// are read here) from ea = erfc(|a| / sqrt 2) and eb = erfc(|b| / sqrt 2):
// a difference of small tails where both lie on one side of 0, so that it
// keeps its digits there.
inline double gaussian_mass(double a, double b, double ea, double eb) noexcept {
    if (a >= 0.0) return 0.5 * (ea - eb);
    if (b <= 0.0) return 0.5 * (eb - ea);
    return 1.0 - 0.5 * (ea + eb);
}

// The fit of one region and what is read off it.
struct RegionFit {
    std::vector<Candidate> peaks;
    std::vector<double> theta, covariance, area, error;
    double deviance = NAN;
    std::int32_t status = fit::invalid_row;
};

// What the fits of a row's regions work in, kept from region to region so
// that a row allocates only while its regions grow.
struct RegionScratch {
    fit::FitWork work;
    fit::PeakModel model;
    std::vector<double> basis, lower, upper, total, net, sig, edge_argument, edge_erfc;
};

// A region: its channels lo .. hi-1 of the row; its fits work in `scratch`.
class Region {
public:
    Region(const Axis& axis, const double* y, const double* continuum, index_t lo, index_t hi, double threshold,
           std::int64_t max_iterations, const StopCheck& stop, RegionScratch& scratch)
        : axis_(axis), y_(y + lo), continuum_(continuum + lo), x_(axis.x + lo), lo_(lo), m_(hi - lo),
          threshold_(threshold), stop_(stop), W_(4 + 2 * axis.tail_count), work_(scratch.work),
          model_(scratch.model), basis_(scratch.basis), lower_(scratch.lower), upper_(scratch.upper),
          total_(scratch.total), net_(scratch.net), sig_(scratch.sig), edge_argument_(scratch.edge_argument),
          edge_erfc_(scratch.edge_erfc) {
        settings_.estimator = fit::Estimator::poisson;
        settings_.max_iterations = max_iterations;
        const double mid = 0.5 * (x_[0] + x_[m_]);
        const double half = 0.5 * (x_[m_] - x_[0]);
        basis_.resize(static_cast<std::size_t>(2 * m_));
        for (index_t i = 0; i < m_; ++i) {
            basis_[static_cast<std::size_t>(i)] = 1.0;
            basis_[static_cast<std::size_t>(m_ + i)] = (axis.centre[lo + i] - mid) / half;
        }
        // The continuum's least-squares line in that basis (the basis is
        // not orthogonal on a non-symmetric axis: solve the 2 x 2 system).
        double s11 = 0, s12 = 0, s22 = 0, r1 = 0, r2 = 0;
        for (index_t i = 0; i < m_; ++i) {
            const double u = basis_[static_cast<std::size_t>(m_ + i)];
            s11 += 1.0;
            s12 += u;
            s22 += u * u;
            r1 += continuum_[i];
            r2 += u * continuum_[i];
        }
        const double det = s11 * s22 - s12 * s12;
        line_[0] = det != 0.0 ? (s22 * r1 - s12 * r2) / det : r1 / s11;
        line_[1] = det != 0.0 ? (s11 * r2 - s12 * r1) / det : 0.0;
        total_.resize(static_cast<std::size_t>(m_));
    }

    index_t channels() const noexcept { return m_; }

    // Fits `peaks`; the result into `out`.
    template <class V>
    void fit_once(const std::vector<Candidate>& peaks, RegionFit& out) {
        const index_t K = static_cast<index_t>(peaks.size());
        const index_t P = W_ * K + 2;
        fit::PeakModel& model = reshaped_model(K);
        out.peaks = peaks;
        out.theta.assign(static_cast<std::size_t>(P), 0.0);
        out.covariance.assign(static_cast<std::size_t>(P * P), 0.0);
        out.area.assign(static_cast<std::size_t>(K), 0.0);
        out.error.assign(static_cast<std::size_t>(K), 0.0);
        lower_.assign(static_cast<std::size_t>(P), -INFINITY);
        upper_.assign(static_cast<std::size_t>(P), INFINITY);
        double* const theta = out.theta.data();
        for (index_t k = 0; k < K; ++k) {
            const Candidate& c = peaks[static_cast<std::size_t>(k)];
            const double f = axis_.fwhm_at(c.energy);
            const double s = f * sigma_per_fwhm;
            const double v0 = s * s;
            const index_t a = W_ * k;
            theta[a] = std::fmax(c.net, 1.0) / std::sqrt(2.0 * M_PI * v0);
            theta[a + 1] = c.energy;
            theta[a + 2] = v0;
            theta[a + 3] = 0.0;
            lower_[a] = 0.0;
            lower_[a + 1] = std::fmax(x_[0], c.energy - centre_reach * f);
            upper_[a + 1] = std::fmin(x_[m_], c.energy + centre_reach * f);
            // Neighbours stay apart: two centres that met would trade their
            // amplitudes along a flat valley, which the loop crawls. Each
            // keeps to its side of the midpoint between their starts, by
            // neighbour_gap FWHM (or a quarter of their distance).
            if (k > 0) {
                const double below = peaks[static_cast<std::size_t>(k - 1)].energy;
                const double gap = std::fmin(neighbour_gap * f, 0.25 * (c.energy - below));
                lower_[a + 1] = std::fmax(lower_[a + 1], 0.5 * (below + c.energy) + gap);
            }
            if (k + 1 < K) {
                const double above = peaks[static_cast<std::size_t>(k + 1)].energy;
                const double gap = std::fmin(neighbour_gap * f, 0.25 * (above - c.energy));
                upper_[a + 1] = std::fmin(upper_[a + 1], 0.5 * (c.energy + above) - gap);
            }
            if (c.significance >= strong && !c.added) {
                lower_[a + 2] = v0 * (1.0 - width_band) * (1.0 - width_band);
                upper_[a + 2] = v0 * (1.0 + width_band) * (1.0 + width_band);
            } else {
                lower_[a + 2] = upper_[a + 2] = v0;
            }
            lower_[a + 3] = 0.0;
            if (!(c.significance >= step_significance && !c.added)) upper_[a + 3] = 0.0;
            // The tails, held at the shape calibration's values there.
            axis_.tails_at(c.energy, theta + a + 4);
            for (index_t j = 0; j < 2 * axis_.tail_count; ++j) lower_[a + 4 + j] = upper_[a + 4 + j] = theta[a + 4 + j];
        }
        theta[W_ * K] = line_[0];
        theta[W_ * K + 1] = line_[1];
        work_.allocate(P, m_);
        model.restrict_bounds(lower_.data(), upper_.data());
        fit::RowOutcome outcome{};
        run_model<V>(model, theta, out.covariance.data(), &outcome);
        out.deviance = outcome.objective;
        out.status = outcome.status;
        model.areas(theta, out.covariance.data(), out.area.data(), out.error.data());
    }

    // The peaks of `fit` to remove (ascending), none when every one stands.
    void prune_set(const RegionFit& fit, std::vector<index_t>& drop) const {
        drop.clear();
        const index_t K = static_cast<index_t>(fit.peaks.size());
        const index_t P = W_ * K + 2;
        bool any_bad = false, all_finite = true;
        for (index_t k = 0; k < K; ++k) {
            const double sig = significance(fit, k);
            const double centre_variance = fit.covariance[static_cast<std::size_t>((W_ * k + 1) * (P + 1))];
            any_bad |= !std::isfinite(sig) || sig < threshold_ || !(centre_variance > 0.0);
            all_finite &= std::isfinite(sig);
        }
        if (!any_bad) return;
        if (!all_finite) {
            // A singular row: the vanished peaks (amplitude at 0) go, else
            // the smallest for its counts.
            for (index_t k = 0; k < K; ++k) {
                if (fit.theta[static_cast<std::size_t>(W_ * k)] <= 0.0) drop.push_back(k);
            }
            if (!drop.empty()) return;
            index_t best = -1;
            double smallest = INFINITY;
            for (index_t k = 0; k < K; ++k) {
                if (!bad(fit, k)) continue;
                const double a = fit.area[static_cast<std::size_t>(k)];
                const double approx = a / std::sqrt(std::fmax(a, 0.0) + 1.0);
                if (approx < smallest || best < 0) {
                    smallest = approx;
                    best = k;
                }
            }
            drop.push_back(best);
            return;
        }
        // The peaks far below go together, but of neighbours within
        // shared_reach FWHM only the least significant: close peaks share
        // their counts, so each can look far below while the pair is not
        // (a doublet fitted with a third member between its two).
        std::vector<index_t> far;
        for (index_t k = 0; k < K; ++k) {
            if (significance(fit, k) < 0.5 * threshold_) far.push_back(k);
        }
        std::stable_sort(far.begin(), far.end(),
                         [&](index_t a, index_t b) { return significance(fit, a) < significance(fit, b); });
        for (const index_t k : far) {
            const double mu = fit.theta[static_cast<std::size_t>(W_ * k + 1)];
            const double reach = shared_reach * axis_.fwhm_at(mu);
            const bool beside_dropped = std::any_of(drop.begin(), drop.end(), [&](index_t j) {
                return std::fabs(fit.theta[static_cast<std::size_t>(W_ * j + 1)] - mu) <= reach;
            });
            if (!beside_dropped) drop.push_back(k);
        }
        std::sort(drop.begin(), drop.end());
        if (!drop.empty()) return;
        index_t best = -1;
        double smallest = INFINITY;
        for (index_t k = 0; k < K; ++k) {
            const double sig = significance(fit, k);
            if (bad(fit, k) && (sig < smallest || best < 0)) {
                smallest = sig;
                best = k;
            }
        }
        drop.push_back(best);
    }

    // Fit, then drop and refit until every peak stands; false when none is
    // left. `peaks` is consumed.
    template <class V>
    bool fit_and_prune(std::vector<Candidate> peaks, RegionFit& out) {
        std::vector<index_t> drop;
        while (!peaks.empty()) {
            fit_once<V>(peaks, out);
            if (stop_()) return false;
            prune_set(out, drop);
            if (drop.empty()) return true;
            std::vector<Candidate> kept;
            for (index_t k = 0; k < static_cast<index_t>(peaks.size()); ++k) {
                if (std::find(drop.begin(), drop.end(), k) == drop.end()) kept.push_back(peaks[static_cast<std::size_t>(k)]);
            }
            peaks.swap(kept);
        }
        return false;
    }

    // The region's whole analysis: fit and prune, then the residual and
    // blend searches. False when no peak stands.
    template <class V>
    bool analyse(const std::vector<Candidate>& candidates, RegionFit& fit) {
        if (!fit_and_prune<V>(candidates, fit)) return false;
        std::vector<double> tried, split;
        RegionFit trial, best;
        int residuals = 0, splits = 0;
        bool stale = true;  // total_ does not hold the model of `fit`
        while (residuals < max_added || splits < max_splits) {
            if (stop_()) return true;
            const index_t K = static_cast<index_t>(fit.peaks.size());
            Candidate found{};
            // The model of `fit` in total_, for the residual filter and the
            // misfit below, once per fit kept.
            if (stale) refresh_model<V>(fit);
            stale = false;
            if (residuals < max_added && residual_candidate<V>(fit, tried, found)) {
                ++residuals;
                tried.push_back(found.energy);
                if (try_add<V>(fit, found, trial, -1)) {
                    std::swap(fit, trial);
                    stale = true;
                }
                continue;
            }
            if (splits >= max_splits) break;
            // An unresolved doublet: a free width at the top of its band, or
            // a held one that leaves the counts about it far from the model.
            index_t blend = -1;
            for (index_t k = 0; k < K; ++k) {
                const double mu = fit.theta[static_cast<std::size_t>(W_ * k + 1)];
                const double v = fit.theta[static_cast<std::size_t>(W_ * k + 2)];
                if (std::find(split.begin(), split.end(), mu) != split.end()) continue;
                if (!(significance(fit, k) >= split_significance)) continue;
                const double s = axis_.fwhm_at(mu) * sigma_per_fwhm * (1.0 + width_band);
                if (v < s * s * (1.0 - 1e-6) && !(misfit(mu) > misfit_threshold)) continue;
                if (blend < 0 || fit.area[static_cast<std::size_t>(k)] > fit.area[static_cast<std::size_t>(blend)]) {
                    blend = k;
                }
            }
            if (blend < 0) break;
            ++splits;
            const double mu = fit.theta[static_cast<std::size_t>(W_ * blend + 1)];
            const double f = axis_.fwhm_at(mu);
            split.push_back(mu);
            bool have = false;
            for (const double side : {-1.0, 1.0}) {
                const Candidate second{mu + side * split_offset * f, 0.3 * fit.area[static_cast<std::size_t>(blend)],
                                       0.0, true};
                if (try_add<V>(fit, second, trial, blend) && (!have || trial.deviance < best.deviance)) {
                    std::swap(best, trial);
                    have = true;
                }
            }
            if (have) {
                std::swap(fit, best);
                stale = true;
            }
        }
        return true;
    }

    // The table's lines of a fit, region number `region`.
    template <class V>
    void entries(const RegionFit& fit, std::int64_t region, std::vector<Entry>& table) {
        const index_t K = static_cast<index_t>(fit.peaks.size());
        const index_t P = W_ * K + 2;
        // The background and steps alone: the model with every amplitude 0.
        std::vector<double> theta(fit.theta);
        for (index_t k = 0; k < K; ++k) theta[static_cast<std::size_t>(W_ * k)] = 0.0;
        fit::PeakModel& model = reshaped_model(K);
        run_model<V>(model, theta.data(), nullptr, nullptr);
        const double* const background = model.mean(0);
        for (index_t k = 0; k < K; ++k) {
            const double mu = fit.theta[static_cast<std::size_t>(W_ * k + 1)];
            const double f = std::sqrt(fit.theta[static_cast<std::size_t>(W_ * k + 2)]) / sigma_per_fwhm;
            const double lo = mu - window_half * f, hi = mu + window_half * f;
            double counts = 0.0;
            for (index_t i = 0; i < m_; ++i) {
                const double overlap = std::fmin(x_[i + 1], hi) - std::fmax(x_[i], lo);
                if (overlap > 0.0) counts += background[i] * overlap / (x_[i + 1] - x_[i]);
            }
            const double area = fit.area[static_cast<std::size_t>(k)];
            const double error = fit.error[static_cast<std::size_t>(k)];
            table.push_back({mu, std::sqrt(fit.covariance[static_cast<std::size_t>((W_ * k + 1) * (P + 1))]), area,
                             error, f, area / error, counts, region, fit.status});
        }
    }

private:
    static double significance(const RegionFit& fit, index_t k) noexcept {
        return fit.area[static_cast<std::size_t>(k)] / fit.error[static_cast<std::size_t>(k)];
    }

    bool bad(const RegionFit& fit, index_t k) const noexcept {
        const index_t P = W_ * static_cast<index_t>(fit.peaks.size()) + 2;
        const double sig = significance(fit, k);
        return !std::isfinite(sig) || sig < threshold_ ||
               !(fit.covariance[static_cast<std::size_t>((W_ * k + 1) * (P + 1))] > 0.0);
    }

    // Refit with one more peak; true (and `out`) if it stands with all the
    // others, that is if the peaks grew in number. Peak `held` (the blend
    // split, or -1) gets its width held at the resolution's: its search
    // significance was the pair's, and a free width would take back the
    // second member's counts.
    template <class V>
    bool try_add(const RegionFit& fit, const Candidate& extra, RegionFit& out, index_t held) {
        const index_t K = static_cast<index_t>(fit.peaks.size());
        std::vector<Candidate> restart;
        for (index_t k = 0; k < K; ++k) {
            const Candidate& c = fit.peaks[static_cast<std::size_t>(k)];
            const double sig = k == held ? std::fmin(c.significance, step_significance) : c.significance;
            restart.push_back({fit.theta[static_cast<std::size_t>(W_ * k + 1)], fit.area[static_cast<std::size_t>(k)],
                               sig, c.added});
        }
        restart.push_back(extra);
        std::stable_sort(restart.begin(), restart.end(),
                         [](const Candidate& a, const Candidate& b) { return a.energy < b.energy; });
        if (!fit_and_prune<V>(std::move(restart), out)) return false;
        return out.peaks.size() > fit.peaks.size();
    }

    // The Poisson deviance of the model in total_ over the channels within
    // misfit_reach FWHM of mu, as a z-score against its expectation (one
    // per channel, variance two): large where one peak stands for two.
    double misfit(double mu) const noexcept {
        const double reach = misfit_reach * axis_.fwhm_at(mu);
        double deviance = 0.0;
        index_t count = 0;
        for (index_t i = 0; i < m_; ++i) {
            const double c = 0.5 * (x_[i] + x_[i + 1]);
            if (std::fabs(c - mu) > reach) continue;
            const double m = std::fmax(total_[static_cast<std::size_t>(i)], 1e-300);
            const double y = y_[i];
            deviance += 2.0 * (m - y + (y > 0.0 ? y * std::log(y / m) : 0.0));
            ++count;
        }
        if (count == 0) return 0.0;
        return (deviance - static_cast<double>(count)) / std::sqrt(2.0 * static_cast<double>(count));
    }

    // The residual filter's best local maximum, if one reaches the
    // residual threshold where a new peak may go; the model of `fit` is in
    // total_.
    template <class V>
    bool residual_candidate(const RegionFit& fit, const std::vector<double>& tried, Candidate& found) {
        const index_t m = m_;
        net_.assign(static_cast<std::size_t>(m), 0.0);
        sig_.assign(static_cast<std::size_t>(m), -INFINITY);
        index_t half = 1;
        for (index_t i = 0; i < m; ++i) {
            const double reach = filter_reach * axis_.fwhm[lo_ + i] / (x_[i + 1] - x_[i]);
            half = std::max(half, static_cast<index_t>(std::ceil(reach)));
        }
        edge_argument_.resize(static_cast<std::size_t>(2 * half + 2));
        edge_erfc_.resize(static_cast<std::size_t>(2 * half + 2));
        double* const argument = edge_argument_.data();
        double* const tails = edge_erfc_.data();
        constexpr double root_half = 0.70710678118654752;
        const index_t K = static_cast<index_t>(fit.peaks.size());
        for (index_t i = 0; i < m; ++i) {
            const double f = axis_.fwhm[lo_ + i];
            const double s = f * sigma_per_fwhm;
            const double centre = 0.5 * (x_[i] + x_[i + 1]);
            const double reach = std::fmax(filter_reach * f / (x_[i + 1] - x_[i]), 1.0);
            // erfc(|u| / sqrt 2), u = (x - centre) / s, at the window's
            // edges x[first] .. x[last + 1], a vector at a time.
            const index_t first = std::max<index_t>(0, i - half);
            const index_t last = std::min<index_t>(m - 1, i + half);
            const index_t edges = last - first + 2;
            for (index_t e = 0; e < edges; ++e) argument[e] = std::fabs((x_[first + e] - centre) / s) * root_half;
            erfc_array<V>(argument, tails, edges);
            double gg = 0, gr = 0, g2v = 0, g3 = 0;
            for (index_t j = first; j <= last; ++j) {
                const index_t o = j - i;
                if (static_cast<double>(o < 0 ? -o : o) > reach) continue;
                const double g =
                    gaussian_mass(x_[j] - centre, x_[j + 1] - centre, tails[j - first], tails[j - first + 1]);
                if (!(g > 0.0)) continue;
                gg += g * g;
                gr += g * (y_[j] - total_[static_cast<std::size_t>(j)]);
                g2v += g * g * std::fmax(total_[static_cast<std::size_t>(j)], 1e-3);
                g3 += g * g * g;
            }
            const double net = gr / gg;
            const double variance = g2v + std::fmax(net, 0.0) * g3;
            net_[static_cast<std::size_t>(i)] = net;
            const double significance = net / (std::sqrt(std::fmax(variance, 1e-300)) / gg);
            // Where a new peak may go.
            bool ok = centre > x_[0] + edge_clearance * f && centre < x_[m] - edge_clearance * f;
            for (index_t k = 0; ok && k < K; ++k) {
                ok = std::fabs(centre - fit.theta[static_cast<std::size_t>(W_ * k + 1)]) > min_separation * f;
            }
            for (const double e : tried) ok = ok && std::fabs(centre - e) > min_separation * f;
            if (ok) sig_[static_cast<std::size_t>(i)] = significance;
        }
        index_t best = -1;
        for (index_t i = 1; i + 1 < m; ++i) {
            const double v = sig_[static_cast<std::size_t>(i)];
            if (v >= residual_threshold && v > sig_[static_cast<std::size_t>(i - 1)] &&
                v >= sig_[static_cast<std::size_t>(i + 1)] && (best < 0 || v > sig_[static_cast<std::size_t>(best)])) {
                best = i;
            }
        }
        if (best < 0) return false;
        const double a = net_[static_cast<std::size_t>(best - 1)], b = net_[static_cast<std::size_t>(best)],
                     c = net_[static_cast<std::size_t>(best + 1)];
        const double den = a - 2.0 * b + c;
        double shift = den < 0.0 ? 0.5 * (a - c) / den : 0.0;
        shift = std::fmin(std::fmax(shift, -0.5), 0.5);
        const double centre = 0.5 * (x_[best] + x_[best + 1]);
        found = {centre + shift * (x_[best + 1] - x_[best]), b, sig_[static_cast<std::size_t>(best)], true};
        return true;
    }

    // With `outcome`, the fit of `model` from theta (the result into theta
    // and covariance); without, the model's means at theta into its slot 0.
    // Both through one entry point of their own at the kernel level: the
    // fit loop and the model's evaluation are most of the analysis's code,
    // which is then compiled once per level, not once per place that asks.
    template <class V>
    void run_model(fit::PeakModel& model, double* theta, double* covariance, fit::RowOutcome* outcome) {
        run_apart<V>([&]<class W>() {
            if (outcome == nullptr) {
                model.template evaluate<W>(theta, 0);
                return;
            }
            const fit::Observations data{y_, nullptr, m_};
            *outcome = fit::fit_row<W>(model, data, lower_.data(), upper_.data(), theta, covariance, settings_,
                                       work_, stop_);
        });
    }

    // The scratch model, shaped for K peaks on this region.
    fit::PeakModel& reshaped_model(index_t K) {
        model_.reshape(fit::PeakShape{K, 2, m_, true, true, axis_.tail_count}, x_, basis_.data());
        return model_;
    }

    template <class V>
    void refresh_model(const RegionFit& fit) {
        fit::PeakModel& model = reshaped_model(static_cast<index_t>(fit.peaks.size()));
        run_model<V>(model, const_cast<double*>(fit.theta.data()), nullptr, nullptr);
        std::copy(model.mean(0), model.mean(0) + m_, total_.begin());
    }

    const Axis& axis_;
    const double* y_;
    const double* continuum_;
    const double* x_;
    index_t lo_, m_;
    double threshold_;
    const StopCheck& stop_;
    const index_t W_;  // parameters per peak: (A, mu, v, h), then (t, tau) per tail
    fit::Settings settings_;
    fit::FitWork& work_;
    fit::PeakModel& model_;
    std::vector<double>&basis_, &lower_, &upper_, &total_, &net_, &sig_, &edge_argument_, &edge_erfc_;
    double line_[2] = {0.0, 0.0};
};

// One row's analysis: candidates[] ascending in energy; its table appended
// to `table`, ascending in energy. False when `stop` ended it.
template <class V>
bool analyse_row(const Axis& axis, const double* y, const double* continuum, const std::vector<Candidate>& candidates,
                 double threshold, std::int64_t max_iterations, std::vector<Entry>& table, RegionScratch& scratch,
                 const StopCheck& stop) {
    const index_t count = static_cast<index_t>(candidates.size());
    // Groups [first, last) of neighbours, then those too large split at
    // their widest gap, in order.
    std::vector<std::pair<index_t, index_t>> groups, pending;
    for (index_t i = 0, first = 0; i < count; ++i) {
        const bool last = i + 1 == count;
        if (last || candidates[static_cast<std::size_t>(i + 1)].energy - candidates[static_cast<std::size_t>(i)].energy >
                        group_gap * std::fmax(axis.fwhm_at(candidates[static_cast<std::size_t>(i + 1)].energy),
                                              axis.fwhm_at(candidates[static_cast<std::size_t>(i)].energy))) {
            pending.emplace_back(first, i + 1);
            first = i + 1;
        }
    }
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
        const auto [first, last] = pending.back();
        pending.pop_back();
        if (last - first <= max_peaks) {
            groups.emplace_back(first, last);
            continue;
        }
        index_t cut = first + 1;
        double widest = -INFINITY;
        for (index_t i = first; i + 1 < last; ++i) {
            const double gap = candidates[static_cast<std::size_t>(i + 1)].energy - candidates[static_cast<std::size_t>(i)].energy;
            if (gap > widest) {
                widest = gap;
                cut = i + 1;
            }
        }
        pending.emplace_back(cut, last);
        pending.emplace_back(first, cut);
    }
    const std::size_t row_start = table.size();
    std::int64_t region_number = 0;
    RegionFit fit;
    std::vector<Candidate> members;
    for (const auto& [first, last] : groups) {
        if (stop()) return false;
        const double low = candidates[static_cast<std::size_t>(first)].energy;
        const double high = candidates[static_cast<std::size_t>(last - 1)].energy;
        const double lo_e = low - margin * axis.fwhm_at(low);
        const double hi_e = high + margin * axis.fwhm_at(high);
        const index_t lo = std::max<index_t>(0, (std::lower_bound(axis.x, axis.x + axis.n + 1, lo_e) - axis.x) - 1);
        const index_t hi = std::min<index_t>(axis.n, std::lower_bound(axis.x, axis.x + axis.n + 1, hi_e) - axis.x);
        if (hi - lo < 6) continue;
        members.assign(candidates.begin() + first, candidates.begin() + last);
        Region region(axis, y, continuum, lo, hi, threshold, max_iterations, stop, scratch);
        if (!region.template analyse<V>(members, fit)) {
            if (stop()) return false;
            continue;
        }
        region.template entries<V>(fit, region_number++, table);
    }
    std::stable_sort(table.begin() + static_cast<std::ptrdiff_t>(row_start), table.end(),
                     [](const Entry& a, const Entry& b) { return a.energy < b.energy; });
    return !stop();
}

// What a stack's analysis reads: Y (S, n) and the axis shared by its rows:
// edges x[n+1], centres[n] and fwhm[n] (keV), the search's filter (fwhm in
// channels) and the SNIP widths[n] (channels).
struct StackInputs {
    Strided2<const double> Y;
    const double* x;
    const double* centre;
    const double* fwhm;
    const double* tails;  // [n * 2 * tail_count], or nullptr
    index_t tail_count;
    const double* snip_widths;
    index_t snip_smoothing;
    double threshold;
    std::int64_t max_iterations;
};

// The arrays of a stack's analysis, a block of lanes::block rows at a time.
struct StackWork {
    std::vector<double> y, continuum;
    snip::Work snip;
    peak_search::StackWork search;
    std::vector<peak_search::Peak> found;
    std::vector<std::int64_t> block_offsets;
    std::vector<Candidate> candidates;
    RegionScratch regions;  // grows with the largest region fitted

    void allocate(index_t n) {
        y.resize(static_cast<std::size_t>(n));
        continuum.resize(static_cast<std::size_t>(n * lanes::block));
        snip.allocate(n, lanes::block);
        search.allocate(n, false);
        block_offsets.resize(static_cast<std::size_t>(lanes::block + 1));
    }
    static double bytes(index_t n) noexcept {
        return 8.0 * static_cast<double>(n) * (1 + lanes::block) + snip::Work::bytes(n, lanes::block) +
               peak_search::StackWork::bytes(n, false);
    }
};

// Every row's table appended to `table`, offsets[S + 1] filled; false when
// `stop` ended it (between regions). A block of rows shares the continuum
// and the search, whose lanes keep each row's own result; the regions are
// fitted one row at a time. The continuum and the candidates are those of
// find_peaks_cy without a continuum given, at significance search_threshold.
// May throw std::bad_alloc.
template <class V>
bool analyse_stack(const peak_search::Filter& filter, const StackInputs& in, StackWork& work,
                   std::vector<Entry>& table, std::int64_t* offsets, const StopCheck& stop) {
    const index_t S = in.Y.rows;
    const index_t n = in.Y.columns;
    const index_t P = snip::first_window(in.snip_widths, n);
    const Axis axis{in.x, in.centre, in.fwhm, n, in.tails, in.tail_count};
    offsets[0] = 0;
    for (index_t first = 0; first < S; first += lanes::block) {
        if (stop()) return false;
        const index_t rows = std::min(lanes::block, S - first);
        const Strided2<const double> block = snip::rows_of(in.Y, first, rows);
        const index_t row_bytes = n * static_cast<index_t>(sizeof(double));
        const Strided2<double> into{reinterpret_cast<char*>(work.continuum.data()), rows, n, row_bytes,
                                    static_cast<index_t>(sizeof(double))};
        snip::continuum_block<V>(block, in.snip_widths, P, in.snip_smoothing, into, work.snip);
        const peak_search::StackInputs search{
            block,
            {reinterpret_cast<const char*>(work.continuum.data()), rows, n, row_bytes,
             static_cast<index_t>(sizeof(double))},
            true,
            nullptr,
            in.snip_smoothing,
            search_threshold};
        work.found.clear();
        if (!peak_search::search_stack<V>(filter, search, work.search, work.found, work.block_offsets.data(), stop)) {
            return false;
        }
        for (index_t l = 0; l < rows; ++l) {
            for (index_t i = 0; i < n; ++i) work.y[static_cast<std::size_t>(i)] = in.Y(first + l, i);
            work.candidates.clear();
            for (std::int64_t k = work.block_offsets[static_cast<std::size_t>(l)];
                 k < work.block_offsets[static_cast<std::size_t>(l + 1)]; ++k) {
                const peak_search::Peak& p = work.found[static_cast<std::size_t>(k)];
                // The position (channels, centre of channel i at i) in keV,
                // linear between centres.
                const double position = std::fmin(std::fmax(p.position, 0.0), static_cast<double>(n - 1));
                const index_t j = std::min<index_t>(static_cast<index_t>(position), n - 2 < 0 ? 0 : n - 2);
                const double t = position - static_cast<double>(j);
                const double energy =
                    n > 1 ? in.centre[j] + t * (in.centre[j + 1] - in.centre[j]) : in.centre[0];
                work.candidates.push_back({energy, p.net, p.significance, false});
            }
            if (!analyse_row<V>(axis, work.y.data(), work.continuum.data() + l * n, work.candidates, in.threshold,
                                in.max_iterations, table, work.regions, stop)) {
                return false;
            }
            offsets[first + l + 1] = static_cast<std::int64_t>(table.size());
        }
    }
    return true;
}

}  // namespace kernels::analysis

// A significance-based peak search: a zero-area matched filter scaled to the
// local resolution, with the variance of its output propagated from the
// counts, then a joint estimate of neighbouring peaks.
//
// The filter of channel i is the least-squares amplitude of a Gaussian peak
// centred on i (sigma_i = fwhm_i / 2.3548, integrated over each channel:
// g_ij) on a constant background, fitted over the window
// j = i - m_i .. i + m_i (m_i = ceil(half_width * fwhm_i), cut at the ends):
//   w_ij = g_ij - mean_j g_ij,   R_i = sum_j w_ij (y_j - c_j),   V_i = sum_j w_ij^2 y_j,
// so that R_i / V_i^(1/2) is the significance of a peak at i: zero mean and
// unit variance where the counts hold no peak (a constant or straight
// continuum gives R = 0), whatever the continuum c (which only removes the
// curvature a window cannot follow).
//
// Per row: candidates are the local maxima of R with R_i >= threshold *
// V_i^(1/2); neighbours whose windows overlap are estimated jointly:
//   R_{i_k} = sum_l N_l K_k(p_l),  K_k(p) = sum_j w_{i_k j} G_j(p)
// (G_j(p): the unit Gaussian at position p, sigma of its channel, over
// channel j), Cov(N) = K^-1 C K^-T with C_kl = sum_j w_{i_k j} w_{i_l j} y_j.
// What the found peaks leave of R is searched once more for local maxima
// (shoulders, doublet members) at least half a FWHM from every peak; then
// the least significant peak of a group below the threshold is dropped and
// the group re-estimated, until every one reaches it. Positions are the
// vertex of the parabola through R (less the neighbours' share) at the
// maximum and its two neighbours.
//
// Inputs: y and c as n * lanes blocks (lanes.hpp), one lane per row; the
// Filter of fwhm[n]. Cost: the filter O(n * window) a vector of rows at a
// time, the rest O(peaks * window^2) per row.
#pragma once

#include "lanes.hpp"
#include "snip.hpp"
#include "stop.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace kernels::peak_search {

constexpr double sigma_per_fwhm = 0.42466090014400953;  // 1 / sqrt(8 ln 2)
// The filter's half-window in FWHM (measured: see bench/peaks.py).
constexpr double default_half_width = 1.5;
// A Gaussian model leaves of a strong HPGe peak, with its low-energy tails
// and step, a remainder that looks like a neighbour: on simulated peaks of
// 1e5-1e6 counts about 1 FWHM below it (and 0.65 FWHM above), 1.4-3.9 % of
// its net for tails of 0.1-0.6 of its area; on the measured K-40 peak of
// 1.9e5 counts (a second, longer tail) 1.6 FWHM below and 2.0 above, 1.3 and
// 0.9 %. A peak within shadow_reach FWHM of a stronger one is therefore kept
// only with at least shadow_share of its net.
constexpr double shadow_share = 0.05;
constexpr double shadow_reach = 2.5;
// Peaks in one joint estimate at most; longer chains of neighbours are cut.
constexpr index_t max_group = 24;
// A peak's profile reaches this many sigma from its centre.
constexpr double profile_reach = 4.0;

// erfc(x) within 1.2e-7 of its value (Numerical Recipes' erfcc, a Chebyshev
// fit): one exp instead of the C library's longer evaluation, for the
// profiles of the peaks found, where that accuracy is ample.
inline double quick_erfc(double x) noexcept {
    const double z = std::fabs(x);
    const double t = 1.0 / (1.0 + 0.5 * z);
    const double p =
        -z * z - 1.26551223 +
        t * (1.00002368 +
             t * (0.37409196 +
                  t * (0.09678418 +
                       t * (-0.18628806 +
                            t * (0.27886807 + t * (-1.13520398 + t * (1.48851587 + t * (-0.82215223 + t * 0.17087277))))))));
    const double value = t * std::exp(p);
    return x >= 0.0 ? value : 2.0 - value;
}

// out[t] = the mass of a unit Gaussian of `sigma` centred at 0 in the
// channel [x0 + t - 1/2, x0 + t + 1/2], t < count: count + 1 erfc (quick_erfc
// with `quick`).
template <bool quick = false>
inline void gaussian_masses(double x0, double sigma, index_t count, double* out) noexcept {
    constexpr double r = 0.70710678118654752;  // 1 / sqrt 2
    const double scale = r / sigma;
    // Phi(b) - Phi(a) as (1 - Phi(a)) - (1 - Phi(b)): exact enough for
    // weights (absolute error ~1e-16).
    auto upper = [&](double x) { return 0.5 * (quick ? quick_erfc(x * scale) : std::erfc(x * scale)); };  // 1 - Phi(x)
    double previous = upper(x0 - 0.5);
    for (index_t t = 0; t < count; ++t) {
        const double x = x0 + static_cast<double>(t) + 0.5;
        const double next = upper(x);
        out[t] = previous - next;
        previous = next;
    }
}

// The filter of every channel: window start[i], length[i], weights at
// weights[offset[i] ...]; self[i] = sum_j w_ij g_ij.
struct Filter {
    index_t n = 0;
    std::vector<index_t> start, length, offset;
    std::vector<double> weights, squares, self, sigma, fwhm;
    // Per channel: sum_j g_ij, sum_j w_ij^2, sum_j w_ij^2 g_ij, 1 / window length.
    std::vector<double> mass, power, peak_power, inverse_length;

    static double bytes(index_t n, double mean_window) noexcept {
        return 8.0 * static_cast<double>(n) * (7.0 + mean_window);
    }

    // The windows of fwhm[n] (finite, > 0, in channels), and room for the
    // weights: the allocations, before fill().
    void layout(Strided1<const double> widths, double half_width) {
        n = widths.size;
        start.resize(static_cast<std::size_t>(n));
        length.resize(static_cast<std::size_t>(n));
        offset.resize(static_cast<std::size_t>(n + 1));
        self.resize(static_cast<std::size_t>(n));
        for (std::vector<double>* a : {&mass, &power, &peak_power, &inverse_length}) {
            a->resize(static_cast<std::size_t>(n));
        }
        sigma.resize(static_cast<std::size_t>(n));
        fwhm.resize(static_cast<std::size_t>(n));
        offset[0] = 0;
        for (index_t i = 0; i < n; ++i) {
            fwhm[i] = widths[i];
            sigma[i] = widths[i] * sigma_per_fwhm;
            const double reach = std::min(std::ceil(half_width * widths[i]), static_cast<double>(n));
            const index_t m = std::max<index_t>(1, static_cast<index_t>(reach));
            start[i] = std::max<index_t>(0, i - m);
            length[i] = std::min<index_t>(n - 1, i + m) - start[i] + 1;
            offset[i + 1] = offset[i] + length[i];
        }
        weights.resize(static_cast<std::size_t>(offset[n]));
        squares.resize(static_cast<std::size_t>(offset[n]));
    }

    // The weights and self-responses. O(sum of the windows) erfc.
    void fill() noexcept {
        for (index_t i = 0; i < n; ++i) {
            double* const w = weights.data() + offset[i];
            gaussian_masses(static_cast<double>(start[i] - i), sigma[i], length[i], w);
            double total = 0.0;
            for (index_t t = 0; t < length[i]; ++t) total += w[t];
            const double mean = total / static_cast<double>(length[i]);
            double s = 0.0, p = 0.0, pg = 0.0;
            for (index_t t = 0; t < length[i]; ++t) {
                const double g = w[t];
                w[t] = g - mean;
                const double square = w[t] * w[t];
                squares[static_cast<std::size_t>(offset[i] + t)] = square;
                s += w[t] * g;
                p += square;
                pg += square * g;
            }
            self[i] = s;
            mass[i] = total;
            power[i] = p;
            peak_power[i] = pg;
            inverse_length[i] = 1.0 / static_cast<double>(length[i]);
        }
    }

    // The FWHM at a position, between channel centres linearly.
    double fwhm_at(double p) const noexcept {
        const double q = std::clamp(p, 0.0, static_cast<double>(n - 1));
        const index_t i = std::min<index_t>(static_cast<index_t>(q), n - 1);
        if (i + 1 >= n) return fwhm[i];
        const double f = q - static_cast<double>(i);
        return fwhm[i] + f * (fwhm[i + 1] - fwhm[i]);
    }
};

// The filter's outputs for a block (n * lanes each, lanes.hpp): with
// r = y - c,
//   R_i = sum_j w_ij r_j                 the response (net * self_i for a peak at i),
//   N_i = R_i / self_i,  a_i = (sum_j r_j - N_i mass_i) / length_i
//                                        the window's fit: net and offset of the continuum,
//   V_i = sum_j w_ij^2 c_j + a_i power_i + max(N_i, 0) peak_power_i
//                                        the variance of R_i under Poisson counting, propagated
//                                        from the fitted mean c_j + a_i + N_i g_ij of the counts.
// The variance comes from the fitted mean, not from y_j itself: where the
// counts are few, an upward fluctuation would raise both R and a variance
// taken from y, and the significance would fall short. Each sum runs in
// four interleaved partial sums (taps t = 0..3 mod 4) added as
// (s0 + s1) + (s2 + s3): the same order in every lane and at every width.
template <class V>
inline void respond(const Filter& f, const double* y, const double* c, double* r, double* R, double* Vout,
                    double* offset, index_t lanes) noexcept {
    constexpr index_t W = V::width;
    const index_t n = f.n;
    for (index_t k = 0; k < n * lanes; k += W) V::store(r + k, V::sub(V::load(y + k), V::load(c + k)));
    for (index_t i = 0; i < n; ++i) {
        const double* const w = f.weights.data() + f.offset[i];
        const double* const w2 = f.squares.data() + f.offset[i];
        const index_t len = f.length[i];
        const double* const r0 = r + f.start[i] * lanes;
        const double* const c0 = c + f.start[i] * lanes;
        for (index_t l = 0; l < lanes; l += W) {
            auto r0s = V::zero(), r1s = V::zero(), r2s = V::zero(), r3s = V::zero();
            auto c0s = V::zero(), c1s = V::zero(), c2s = V::zero(), c3s = V::zero();
            auto b0s = V::zero(), b1s = V::zero(), b2s = V::zero(), b3s = V::zero();
            // One tap into partial sums (rs, cs, bs).
            auto tap = [&](index_t t, auto& rs, auto& cs, auto& bs) KERNELS_INLINE {
                const index_t at = t * lanes + l;
                const auto ru = V::load(r0 + at);
                rs = V::fma(V::broadcast(w[t]), ru, rs);
                cs = V::fma(V::broadcast(w2[t]), V::load(c0 + at), cs);
                bs = V::add(bs, ru);
            };
            index_t t = 0;
            for (; t + 4 <= len; t += 4) {
                tap(t, r0s, c0s, b0s);
                tap(t + 1, r1s, c1s, b1s);
                tap(t + 2, r2s, c2s, b2s);
                tap(t + 3, r3s, c3s, b3s);
            }
            if (t < len) tap(t, r0s, c0s, b0s);
            if (t + 1 < len) tap(t + 1, r1s, c1s, b1s);
            if (t + 2 < len) tap(t + 2, r2s, c2s, b2s);
            const auto response = V::add(V::add(r0s, r1s), V::add(r2s, r3s));
            const auto continuum = V::add(V::add(c0s, c1s), V::add(c2s, c3s));
            const auto box = V::add(V::add(b0s, b1s), V::add(b2s, b3s));
            const auto net = V::div(response, V::broadcast(f.self[i]));
            const auto a = V::mul(V::fnma(net, V::broadcast(f.mass[i]), box), V::broadcast(f.inverse_length[i]));
            const auto positive = V::select(V::greater(net, V::zero()), net, V::zero());
            const auto variance =
                V::fma(positive, V::broadcast(f.peak_power[i]), V::fma(a, V::broadcast(f.power[i]), continuum));
            V::store(R + i * lanes + l, response);
            V::store(Vout + i * lanes + l, variance);
            V::store(offset + i * lanes + l, a);
        }
    }
}

// marks[i] bit l: channel i of lane l is a candidate, a local maximum of R
// (R_i > R_{i-1}, R_i >= R_{i+1}, 0 < i < n-1) with V_i > 0 and, for a
// threshold t > 0, R_i > 0 and R_i^2 >= t^2 V_i.
template <class V>
inline void mark_candidates(const double* R, const double* Vv, index_t n, index_t lanes, double threshold,
                            unsigned char* marks) noexcept {
    constexpr index_t W = V::width;
    const auto zero = V::zero();
    const auto t2 = V::broadcast(threshold > 0.0 ? threshold * threshold : 0.0);
    std::fill(marks, marks + n, 0);
    for (index_t i = 1; i + 1 < n; ++i) {
        unsigned bits = 0;
        for (index_t l = 0; l < lanes; l += W) {
            const auto r = V::load(R + i * lanes + l);
            const auto v = V::load(Vv + i * lanes + l);
            auto m = V::both(V::greater(r, V::load(R + (i - 1) * lanes + l)),
                             V::greater_equal(r, V::load(R + (i + 1) * lanes + l)));
            m = V::both(m, V::greater(v, zero));
            if (threshold > 0.0) {
                m = V::both(m, V::greater(r, zero));
                m = V::both(m, V::greater_equal(V::mul(r, r), V::mul(t2, v)));
            }
            bits |= V::bits(m) << l;
        }
        marks[i] = static_cast<unsigned char>(bits);
    }
}

struct Peak {
    double position, significance, net, width;
};

// One row's search: its R, V and y (stride `lanes` apart) and the filter.
class RowSearch {
public:
    void allocate(index_t n) { residual.resize(static_cast<std::size_t>(n)); }

    static double bytes(index_t n) noexcept { return 8.0 * static_cast<double>(n); }

    // Appends the row's peaks, ascending, to out.
    // One row's filter outputs (respond), each at stride `lanes`.
    struct Row {
        const double *R, *V, *c, *a;
    };

    void run(const Filter& f, Row row, index_t lanes, double threshold, const std::vector<index_t>& channels,
             std::vector<Peak>& out) {
        f_ = &f;
        R_ = row.R;
        V_ = row.V;
        c_ = row.c;
        a_ = row.a;
        const double* const R = row.R;
        const double* const V = row.V;
        lanes_ = lanes;
        threshold_ = threshold;
        cand_.clear();
        profiles_.clear();
        for (const index_t i : channels) {
            if (threshold <= 0.0 && !(R[i * lanes] >= threshold * std::sqrt(V[i * lanes]))) continue;
            cand_.push_back(make_candidate(i, R, lanes));
        }
        if (cand_.empty()) return;
        estimate_all();
        shoulders();
        estimate_all();
        settle();
        for (const Candidate& c : cand_) {
            if (c.dropped) continue;
            out.push_back({c.position, c.significance, c.net, f.fwhm_at(c.position)});
        }
    }

private:
    struct Candidate {
        index_t channel;      // the filter's channel
        double position;      // sub-channel
        double sigma;         // of its profile
        index_t first;        // profile: G_j for j = first .. first + count - 1
        index_t count;
        std::size_t at;       // into profiles_
        double net = 0.0, significance = 0.0;
        bool dropped = false;
    };

    // Vertex of the parabola through values at i-1, i, i+1 (stride `stride`).
    static double vertex(const double* values, index_t i, index_t stride) noexcept {
        const double a = values[(i - 1) * stride], b = values[i * stride], c = values[(i + 1) * stride];
        const double curvature = a - 2.0 * b + c;
        if (!(curvature < 0.0)) return 0.0;
        return std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5);
    }

    Candidate make_candidate(index_t i, const double* values, index_t stride) {
        Candidate c;
        c.channel = i;
        c.position = static_cast<double>(i) + vertex(values, i, stride);
        c.sigma = f_->fwhm_at(c.position) * sigma_per_fwhm;
        profile(c);
        return c;
    }

    // G_j(p) over the candidate's reach, into profiles_.
    void profile(Candidate& c) {
        const index_t n = f_->n;
        const double reach = profile_reach * c.sigma + 1.0;
        c.first = std::max<index_t>(0, static_cast<index_t>(std::floor(c.position - reach)));
        const index_t last = std::min<index_t>(n - 1, static_cast<index_t>(std::ceil(c.position + reach)));
        c.count = std::max<index_t>(0, last - c.first + 1);
        c.at = profiles_.size();
        profiles_.resize(c.at + static_cast<std::size_t>(c.count));
        gaussian_masses<true>(static_cast<double>(c.first) - c.position, c.sigma, c.count, profiles_.data() + c.at);
    }

    // K: filter i's response to a unit peak `c`.
    double response(index_t i, const Candidate& c) const noexcept {
        const index_t j0 = std::max(f_->start[i], c.first);
        const index_t j1 = std::min(f_->start[i] + f_->length[i], c.first + c.count);
        const double* const w = f_->weights.data() + f_->offset[i] - f_->start[i];
        const double* const g = profiles_.data() + c.at - c.first;
        double s = 0.0;
        for (index_t j = j0; j < j1; ++j) s += w[j] * g[j];
        return s;
    }

    // sum_j w_aj w_bj m_j, m_j = max(c_j + offset + model_j, 0) with model_
    // the group's peaks from model_first on.
    double covariance(index_t a, index_t b, double offset) const noexcept {
        const index_t j0 = std::max(f_->start[a], f_->start[b]);
        const index_t j1 = std::min(f_->start[a] + f_->length[a], f_->start[b] + f_->length[b]);
        const double* const wa = f_->weights.data() + f_->offset[a] - f_->start[a];
        const double* const wb = f_->weights.data() + f_->offset[b] - f_->start[b];
        double s = 0.0;
        for (index_t j = j0; j < j1; ++j) {
            const double peaks = j >= model_first_ && j < model_first_ + static_cast<index_t>(model_.size())
                                     ? model_[static_cast<std::size_t>(j - model_first_)]
                                     : 0.0;
            s += wa[j] * wb[j] * std::max(c_[j * lanes_] + offset + peaks, 0.0);
        }
        return s;
    }

    bool overlap(const Candidate& a, const Candidate& b) const noexcept {
        const index_t ea = f_->start[a.channel] + f_->length[a.channel];
        const index_t eb = f_->start[b.channel] + f_->length[b.channel];
        return f_->start[b.channel] < ea && f_->start[a.channel] < eb;
    }

    // Profiles of every candidate (positions may have changed), then the
    // joint estimate of each group of overlapping ones.
    void estimate_all() {
        std::sort(cand_.begin(), cand_.end(),
                  [](const Candidate& a, const Candidate& b) { return a.position < b.position; });
        for (std::size_t begin = 0; begin < cand_.size();) {
            std::size_t end = begin + 1;
            while (end < cand_.size() && end - begin < static_cast<std::size_t>(max_group) &&
                   overlap(cand_[end - 1], cand_[end])) {
                ++end;
            }
            estimate_group(begin, end);
            begin = end;
        }
    }

    // N = K^-1 R, Cov = K^-1 C K^-T over the live candidates [begin, end).
    void estimate_group(std::size_t begin, std::size_t end) {
        live_.clear();
        for (std::size_t k = begin; k < end; ++k) {
            if (!cand_[k].dropped) live_.push_back(k);
        }
        const std::size_t g = live_.size();
        if (g == 0) return;
        K_.assign(g * g, 0.0);
        inverse_.assign(g * g, 0.0);
        for (std::size_t a = 0; a < g; ++a) {
            for (std::size_t b = 0; b < g; ++b) K_[a * g + b] = response(cand_[live_[a]].channel, cand_[live_[b]]);
            inverse_[a * g + a] = 1.0;
        }
        if (!invert(g)) {
            for (std::size_t a = 0; a < g; ++a) cand_[live_[a]].net = 0.0, cand_[live_[a]].significance = 0.0;
            return;
        }
        // The nets, then the counts' mean they imply over the group's
        // windows: continuum, the windows' mean offset, the peaks (nets
        // below 0 count as 0).
        double offset = 0.0;
        index_t lo = f_->n, hi = 0;
        for (std::size_t a = 0; a < g; ++a) {
            Candidate& c = cand_[live_[a]];
            double net = 0.0;
            for (std::size_t b = 0; b < g; ++b) net += inverse_[a * g + b] * R_[cand_[live_[b]].channel * lanes_];
            c.net = net;
            offset += a_[c.channel * lanes_];
            lo = std::min(lo, f_->start[c.channel]);
            hi = std::max(hi, f_->start[c.channel] + f_->length[c.channel]);
        }
        offset /= static_cast<double>(g);
        model_first_ = lo;
        model_.assign(static_cast<std::size_t>(std::max<index_t>(hi - lo, 0)), 0.0);
        for (std::size_t a = 0; a < g; ++a) {
            const Candidate& c = cand_[live_[a]];
            if (!(c.net > 0.0)) continue;
            for (index_t j = std::max(lo, c.first); j < std::min(hi, c.first + c.count); ++j) {
                model_[static_cast<std::size_t>(j - lo)] += c.net * profiles_[c.at + static_cast<std::size_t>(j - c.first)];
            }
        }
        C_.assign(g * g, 0.0);
        for (std::size_t a = 0; a < g; ++a) {
            for (std::size_t b = a; b < g; ++b) {
                C_[a * g + b] = C_[b * g + a] = covariance(cand_[live_[a]].channel, cand_[live_[b]].channel, offset);
            }
        }
        for (std::size_t a = 0; a < g; ++a) {
            double variance = 0.0;
            for (std::size_t b = 0; b < g; ++b) {
                double row = 0.0;
                for (std::size_t c = 0; c < g; ++c) row += C_[b * g + c] * inverse_[a * g + c];
                variance += inverse_[a * g + b] * row;
            }
            Candidate& c = cand_[live_[a]];
            c.significance = variance > 0.0 ? c.net / std::sqrt(variance) : 0.0;
        }
    }

    // K_ (g x g) into inverse_ by Gauss-Jordan with partial pivoting; false
    // when singular.
    bool invert(std::size_t g) {
        for (std::size_t col = 0; col < g; ++col) {
            std::size_t pivot = col;
            for (std::size_t r = col + 1; r < g; ++r) {
                if (std::fabs(K_[r * g + col]) > std::fabs(K_[pivot * g + col])) pivot = r;
            }
            const double top = K_[pivot * g + col];
            if (!(std::fabs(top) > 1e-12 * std::fabs(K_[col * g + col] == 0.0 ? 1.0 : K_[col * g + col])) ||
                !(std::fabs(top) > 0.0)) {
                return false;
            }
            if (pivot != col) {
                for (std::size_t c = 0; c < g; ++c) {
                    std::swap(K_[pivot * g + c], K_[col * g + c]);
                    std::swap(inverse_[pivot * g + c], inverse_[col * g + c]);
                }
            }
            const double scale = 1.0 / top;
            for (std::size_t c = 0; c < g; ++c) K_[col * g + c] *= scale, inverse_[col * g + c] *= scale;
            for (std::size_t r = 0; r < g; ++r) {
                if (r == col) continue;
                const double factor = K_[r * g + col];
                if (factor == 0.0) continue;
                for (std::size_t c = 0; c < g; ++c) {
                    K_[r * g + c] -= factor * K_[col * g + c];
                    inverse_[r * g + c] -= factor * inverse_[col * g + c];
                }
            }
        }
        return true;
    }

    // What the peaks leave of R near them, searched for local maxima at
    // least half a FWHM from every peak.
    void shoulders() {
        const index_t n = f_->n;
        // The channels within 2.5 FWHM of a peak, as merged ranges (the
        // candidates are in ascending position).
        spans_.clear();
        for (const Candidate& c : cand_) {
            const index_t reach = static_cast<index_t>(std::ceil(2.5 * c.sigma / sigma_per_fwhm)) + 1;
            const index_t lo = std::max<index_t>(0, c.channel - reach);
            const index_t hi = std::min<index_t>(n - 1, c.channel + reach);
            if (!spans_.empty() && lo <= spans_.back().second + 1) {
                spans_.back().second = std::max(spans_.back().second, hi);
            } else {
                spans_.emplace_back(lo, hi);
            }
        }
        for (const auto& [lo, hi] : spans_) {
            for (index_t i = lo; i <= hi; ++i) residual[i] = R_[i * lanes_];
        }
        for (const Candidate& c : cand_) {
            const index_t reach = static_cast<index_t>(std::ceil(2.5 * c.sigma / sigma_per_fwhm)) + 1;
            const index_t lo = std::max<index_t>(0, c.channel - reach), hi = std::min<index_t>(n - 1, c.channel + reach);
            for (index_t i = lo; i <= hi; ++i) residual[i] -= c.net * response(i, c);
        }
        const std::size_t found = cand_.size();
        for (const auto& [lo, hi] : spans_) {
            for (index_t i = std::max<index_t>(lo + 1, 1); i < std::min<index_t>(hi, n - 1); ++i) {
                const double r = residual[i];
                if (!(r > residual[i - 1] && r >= residual[i + 1])) continue;
                const double v = V_[i * lanes_];
                if (!(v > 0.0) || !(threshold_ > 0.0 ? r > 0.0 && r * r >= threshold_ * threshold_ * v
                                                      : r >= threshold_ * std::sqrt(v))) {
                    continue;
                }
                bool apart = true;
                const double half = 0.5 * f_->fwhm[i];
                for (std::size_t k = 0; k < found && apart; ++k) apart = std::fabs(cand_[k].position - i) >= half;
                if (apart) cand_.push_back(make_candidate(i, residual.data(), 1));
            }
        }
    }

    // Whether live candidate k of [begin, end) is below the threshold or in
    // the shadow of a stronger neighbour.
    bool unsupported(std::size_t k, std::size_t begin, std::size_t end) const noexcept {
        const Candidate& c = cand_[k];
        if (c.significance < threshold_) return true;
        const double reach = shadow_reach * f_->fwhm_at(c.position);
        for (std::size_t l = begin; l < end; ++l) {
            const Candidate& o = cand_[l];
            if (l == k || o.dropped || !(o.net > c.net) || std::fabs(o.position - c.position) > reach) continue;
            if (c.net < shadow_share * o.net) return true;
        }
        return false;
    }

    // Drops the least significant unsupported peak of a group and
    // re-estimates the group, until every one is supported.
    void settle() {
        for (std::size_t begin = 0; begin < cand_.size();) {
            std::size_t end = begin + 1;
            while (end < cand_.size() && end - begin < static_cast<std::size_t>(max_group) &&
                   overlap(cand_[end - 1], cand_[end])) {
                ++end;
            }
            for (;;) {
                std::size_t weakest = end;
                for (std::size_t k = begin; k < end; ++k) {
                    if (cand_[k].dropped || !unsupported(k, begin, end)) continue;
                    if (weakest == end || cand_[k].significance < cand_[weakest].significance) weakest = k;
                }
                if (weakest == end) break;
                cand_[weakest].dropped = true;
                estimate_group(begin, end);
            }
            begin = end;
        }
    }

    const Filter* f_ = nullptr;
    const double *R_ = nullptr, *V_ = nullptr, *c_ = nullptr, *a_ = nullptr;
    index_t lanes_ = 1;
    double threshold_ = 0.0;
    std::vector<Candidate> cand_;
    std::vector<double> profiles_, K_, inverse_, C_, residual, model_;
    index_t model_first_ = 0;
    std::vector<std::size_t> live_;
    std::vector<std::pair<index_t, index_t>> spans_;
};

// The arrays of a stack's search, a block of lanes::block rows at a time.
struct StackWork {
    std::vector<double> y, c, r, R, V, A;
    std::vector<unsigned char> marks;
    std::vector<index_t> channels[lanes::block];  // each lane's candidate channels
    snip::Work snip;
    RowSearch row;

    void allocate(index_t n, bool with_snip) {
        const auto size = static_cast<std::size_t>(n * lanes::block);
        for (std::vector<double>* a : {&y, &c, &r, &R, &V, &A}) a->resize(size);
        marks.resize(static_cast<std::size_t>(n));
        if (with_snip) snip.allocate(n, lanes::block);
        row.allocate(n);
    }
    static double bytes(index_t n, bool with_snip) noexcept {
        return 48.0 * static_cast<double>(n * lanes::block) + RowSearch::bytes(n) +
               (with_snip ? snip::Work::bytes(n, lanes::block) : 0.0);
    }
};

// What a stack's search reads: Y (S, n); the continuum as (S, n) rows, one
// row for all (row stride 0), or none (then the SNIP continuum with
// snip_widths[n] and snip_smoothing).
struct StackInputs {
    Strided2<const double> Y;
    Strided2<const double> continuum;
    bool has_continuum;
    const double* snip_widths;
    index_t snip_smoothing;
    double threshold;
};

// Rows [0, rows) of `in` into lanes (lanes.hpp), channel-major so that the
// writes run in order; lanes past `rows` hold 0.
inline void load_rows(Strided2<const double> in, index_t rows, index_t lanes, double* out) noexcept {
    const index_t n = in.columns;
    for (index_t i = 0; i < n; ++i) {
        double* const to = out + i * lanes;
        for (index_t l = 0; l < rows; ++l) to[l] = in(l, i);
        for (index_t l = rows; l < lanes; ++l) to[l] = 0.0;
    }
}

// Bit l set for a lane with a count that is NaN, infinite or negative, or a
// continuum value that is not finite.
template <class V>
inline unsigned invalid_lanes(const double* y, const double* c, index_t n, index_t lanes) noexcept {
    constexpr index_t W = V::width;
    const auto zero = V::zero();
    const auto infinity = V::broadcast(INFINITY);
    unsigned bad = 0;
    for (index_t l = 0; l < lanes; l += W) {
        auto ok = V::first(W);
        for (index_t i = 0; i < n; ++i) {
            const auto yi = V::load(y + i * lanes + l);
            const auto ci = V::abs(V::load(c + i * lanes + l));
            ok = V::both(ok, V::both(V::both(V::greater_equal(yi, zero), V::less(yi, infinity)), V::less(ci, infinity)));
        }
        bad |= (V::bits(V::inverse(ok)) & V::all_lanes) << l;
    }
    return bad;
}

// Every row's peaks appended to `peaks`, offsets[S + 1] filled; false when
// `stop` ended it (between blocks of rows). May throw std::bad_alloc.
template <class V>
inline bool search_stack(const Filter& filter, const StackInputs& in, StackWork& work, std::vector<Peak>& peaks,
                         std::int64_t* offsets, const StopCheck& stop) {
    const index_t S = in.Y.rows;
    const index_t n = in.Y.columns;
    const index_t lanes = lanes::block;
    const index_t P = in.has_continuum ? 0 : snip::first_window(in.snip_widths, n);
    offsets[0] = 0;
    for (index_t first = 0; first < S; first += lanes) {
        if (stop()) return false;
        const index_t rows = std::min(lanes, S - first);
        const Strided2<const double> block = snip::rows_of(in.Y, first, rows);
        load_rows(block, rows, lanes, work.y.data());
        if (in.has_continuum) {
            load_rows(snip::rows_of(in.continuum, first, rows), rows, lanes, work.c.data());
        } else {
            std::fill(work.c.begin(), work.c.end(), 0.0);
            const Strided2<double> into{reinterpret_cast<char*>(work.c.data()), rows, n,
                                        static_cast<index_t>(sizeof(double)),
                                        static_cast<index_t>(lanes * sizeof(double))};
            snip::continuum_block<V>(block, in.snip_widths, P, in.snip_smoothing, into, work.snip);
        }
        const unsigned bad = invalid_lanes<V>(work.y.data(), work.c.data(), n, lanes);
        respond<V>(filter, work.y.data(), work.c.data(), work.r.data(), work.R.data(), work.V.data(), work.A.data(),
                   lanes);
        mark_candidates<V>(work.R.data(), work.V.data(), n, lanes, in.threshold, work.marks.data());
        for (index_t l = 0; l < lanes; ++l) work.channels[static_cast<std::size_t>(l)].clear();
        for (index_t i = 0; i < n; ++i) {
            for (unsigned bits = work.marks[static_cast<std::size_t>(i)]; bits != 0; bits &= bits - 1) {
                work.channels[static_cast<std::size_t>(__builtin_ctz(bits))].push_back(i);
            }
        }
        for (index_t l = 0; l < rows; ++l) {
            if (!((bad >> l) & 1u)) {
                work.row.run(filter, {work.R.data() + l, work.V.data() + l, work.c.data() + l, work.A.data() + l},
                             lanes, in.threshold, work.channels[static_cast<std::size_t>(l)], peaks);
            }
            offsets[first + l + 1] = static_cast<std::int64_t>(peaks.size());
        }
    }
    return true;
}

}  // namespace kernels::peak_search

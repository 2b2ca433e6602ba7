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
#include <vector>

namespace kernels::peak_search {

constexpr double sigma_per_fwhm = 0.42466090014400953;  // 1 / sqrt(8 ln 2)
// The filter's half-window in FWHM (measured: see bench/peaks.py).
constexpr double default_half_width = 1.5;
// Peaks in one joint estimate at most; longer chains of neighbours are cut.
constexpr index_t max_group = 24;
// A peak's profile reaches this many sigma from its centre.
constexpr double profile_reach = 6.0;

// Phi(b) - Phi(a), a <= b, without cancellation in either tail.
inline double gaussian_mass(double a, double b) noexcept {
    constexpr double r = 0.70710678118654752;  // 1 / sqrt 2
    if (a >= 0.0) return 0.5 * (std::erfc(a * r) - std::erfc(b * r));
    if (b <= 0.0) return 0.5 * (std::erfc(-b * r) - std::erfc(-a * r));
    return 1.0 - 0.5 * (std::erfc(-a * r) + std::erfc(b * r));
}

// The filter of every channel: window start[i], length[i], weights at
// weights[offset[i] ...]; self[i] = sum_j w_ij g_ij.
struct Filter {
    index_t n = 0;
    std::vector<index_t> start, length, offset;
    std::vector<double> weights, self, sigma, fwhm;

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
    }

    // The weights and self-responses. O(sum of the windows) erfc.
    void fill() noexcept {
        for (index_t i = 0; i < n; ++i) {
            double* const w = weights.data() + offset[i];
            double mean = 0.0;
            for (index_t t = 0; t < length[i]; ++t) {
                const double x = static_cast<double>(start[i] + t - i);
                w[t] = gaussian_mass((x - 0.5) / sigma[i], (x + 0.5) / sigma[i]);
                mean += w[t];
            }
            mean /= static_cast<double>(length[i]);
            double s = 0.0;
            for (index_t t = 0; t < length[i]; ++t) {
                const double g = w[t];
                w[t] = g - mean;
                s += w[t] * g;
            }
            self[i] = s;
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

// R and V of a block: r = y - c (n * lanes), R and V out (n * lanes).
template <class V>
inline void respond(const Filter& f, const double* y, const double* c, double* r, double* R, double* Vout,
                    index_t lanes) noexcept {
    constexpr index_t W = V::width;
    const index_t n = f.n;
    for (index_t k = 0; k < n * lanes; k += W) V::store(r + k, V::sub(V::load(y + k), V::load(c + k)));
    for (index_t i = 0; i < n; ++i) {
        const double* const w = f.weights.data() + f.offset[i];
        const index_t j0 = f.start[i];
        const index_t len = f.length[i];
        for (index_t l = 0; l < lanes; l += W) {
            auto acc_r = V::zero();
            auto acc_v = V::zero();
            for (index_t t = 0; t < len; ++t) {
                const auto weight = V::broadcast(w[t]);
                const index_t at = (j0 + t) * lanes + l;
                acc_r = V::fma(weight, V::load(r + at), acc_r);
                acc_v = V::fma(V::mul(weight, weight), V::load(y + at), acc_v);
            }
            V::store(R + i * lanes + l, acc_r);
            V::store(Vout + i * lanes + l, acc_v);
        }
    }
}

struct Peak {
    double position, significance, net, width;
};

// One row's search: its R, V and y (stride `lanes` apart) and the filter.
class RowSearch {
public:
    void allocate(index_t n) {
        residual.resize(static_cast<std::size_t>(n));
        touched.resize(static_cast<std::size_t>(n));
    }

    static double bytes(index_t n) noexcept { return 9.0 * static_cast<double>(n); }

    // Appends the row's peaks, ascending, to out.
    void run(const Filter& f, const double* R, const double* V, const double* y, index_t lanes, double threshold,
             std::vector<Peak>& out) {
        f_ = &f;
        R_ = R;
        V_ = V;
        y_ = y;
        lanes_ = lanes;
        threshold_ = threshold;
        const index_t n = f.n;
        cand_.clear();
        for (index_t i = 1; i + 1 < n; ++i) {
            const double r = R[i * lanes];
            if (!(r > R[(i - 1) * lanes] && r >= R[(i + 1) * lanes])) continue;
            const double v = V[i * lanes];
            if (!(v > 0.0) || !(r >= threshold * std::sqrt(v))) continue;
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
        c.at = 0;
        c.first = 0;
        c.count = 0;
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
        for (index_t j = c.first; j < c.first + c.count; ++j) {
            const double x = static_cast<double>(j) - c.position;
            profiles_.push_back(gaussian_mass((x - 0.5) / c.sigma, (x + 0.5) / c.sigma));
        }
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

    // sum_j w_aj w_bj y_j.
    double covariance(index_t a, index_t b) const noexcept {
        const index_t j0 = std::max(f_->start[a], f_->start[b]);
        const index_t j1 = std::min(f_->start[a] + f_->length[a], f_->start[b] + f_->length[b]);
        const double* const wa = f_->weights.data() + f_->offset[a] - f_->start[a];
        const double* const wb = f_->weights.data() + f_->offset[b] - f_->start[b];
        double s = 0.0;
        for (index_t j = j0; j < j1; ++j) s += wa[j] * wb[j] * y_[j * lanes_];
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
        profiles_.clear();
        for (Candidate& c : cand_) c.sigma = f_->fwhm_at(c.position) * sigma_per_fwhm, profile(c);
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
        C_.assign(g * g, 0.0);
        for (std::size_t a = 0; a < g; ++a) {
            for (std::size_t b = a; b < g; ++b) {
                C_[a * g + b] = C_[b * g + a] = covariance(cand_[live_[a]].channel, cand_[live_[b]].channel);
            }
        }
        for (std::size_t a = 0; a < g; ++a) {
            double net = 0.0, variance = 0.0;
            for (std::size_t b = 0; b < g; ++b) {
                const double x = inverse_[a * g + b];
                net += x * R_[cand_[live_[b]].channel * lanes_];
                double row = 0.0;
                for (std::size_t c = 0; c < g; ++c) row += C_[b * g + c] * inverse_[a * g + c];
                variance += x * row;
            }
            Candidate& c = cand_[live_[a]];
            c.net = net;
            c.significance = variance > 0.0 ? net / std::sqrt(variance) : 0.0;
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
        std::fill(touched.begin(), touched.end(), 0);
        for (const Candidate& c : cand_) {
            const index_t reach = static_cast<index_t>(std::ceil(2.5 * c.sigma / sigma_per_fwhm)) + 1;
            const index_t lo = std::max<index_t>(0, c.channel - reach), hi = std::min<index_t>(n - 1, c.channel + reach);
            for (index_t i = lo; i <= hi; ++i) {
                if (!touched[i]) residual[i] = R_[i * lanes_], touched[i] = 1;
            }
        }
        for (const Candidate& c : cand_) {
            const index_t reach = static_cast<index_t>(std::ceil(2.5 * c.sigma / sigma_per_fwhm)) + 1;
            const index_t lo = std::max<index_t>(0, c.channel - reach), hi = std::min<index_t>(n - 1, c.channel + reach);
            for (index_t i = lo; i <= hi; ++i) residual[i] -= c.net * response(i, c);
        }
        const std::size_t found = cand_.size();
        for (index_t i = 1; i + 1 < n; ++i) {
            if (!touched[i] || !touched[i - 1] || !touched[i + 1]) continue;
            const double r = residual[i];
            if (!(r > residual[i - 1] && r >= residual[i + 1])) continue;
            const double v = V_[i * lanes_];
            if (!(v > 0.0) || !(r >= threshold_ * std::sqrt(v))) continue;
            bool apart = true;
            const double half = 0.5 * f_->fwhm[i];
            for (std::size_t k = 0; k < found && apart; ++k) apart = std::fabs(cand_[k].position - i) >= half;
            if (apart) cand_.push_back(make_candidate(i, residual.data(), 1));
        }
    }

    // Drops the least significant peak of a group below the threshold and
    // re-estimates the group, until none is below.
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
                    const Candidate& c = cand_[k];
                    if (c.dropped || c.significance >= threshold_) continue;
                    if (weakest == end || c.significance < cand_[weakest].significance) weakest = k;
                }
                if (weakest == end) break;
                cand_[weakest].dropped = true;
                estimate_group(begin, end);
            }
            begin = end;
        }
    }

    const Filter* f_ = nullptr;
    const double *R_ = nullptr, *V_ = nullptr, *y_ = nullptr;
    index_t lanes_ = 1;
    double threshold_ = 0.0;
    std::vector<Candidate> cand_;
    std::vector<double> profiles_, K_, inverse_, C_, residual;
    std::vector<std::size_t> live_;
    std::vector<unsigned char> touched;
};

// The arrays of a stack's search, a block of lanes::block rows at a time.
struct StackWork {
    std::vector<double> y, c, r, R, V;
    snip::Work snip;
    RowSearch row;

    void allocate(index_t n, bool with_snip) {
        const auto size = static_cast<std::size_t>(n * lanes::block);
        for (std::vector<double>* a : {&y, &c, &r, &R, &V}) a->resize(size);
        if (with_snip) snip.allocate(n, lanes::block);
        row.allocate(n);
    }
    static double bytes(index_t n, bool with_snip) noexcept {
        return 40.0 * static_cast<double>(n * lanes::block) + RowSearch::bytes(n) +
               (with_snip ? snip::Work::bytes(n, lanes::block) : 0.0);
    }
};

// What a stack's search reads: Y (S, n); the continuum as (S, n) rows, one
// row for all (row stride 0), or none (then the SNIP continuum with
// snip_widths[n]).
struct StackInputs {
    Strided2<const double> Y;
    Strided2<const double> continuum;
    bool has_continuum;
    const double* snip_widths;
    double threshold;
};

// Whether a row can be searched: counts finite and >= 0, continuum finite.
inline bool lane_valid(const double* y, const double* c, index_t n, index_t lanes, index_t l) noexcept {
    for (index_t i = 0; i < n; ++i) {
        const double yi = y[i * lanes + l];
        if (!(yi >= 0.0 && yi < INFINITY && std::isfinite(c[i * lanes + l]))) return false;
    }
    return true;
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
        lanes::load_lanes(block, 0, rows, lanes, work.y.data(), [](double y) { return y; });
        if (in.has_continuum) {
            lanes::load_lanes(snip::rows_of(in.continuum, in.continuum.row_stride == 0 ? 0 : first, rows), 0, rows,
                              lanes, work.c.data(), [](double c) { return c; });
        } else {
            std::fill(work.c.begin(), work.c.end(), 0.0);
            const Strided2<double> into{reinterpret_cast<char*>(work.c.data()), rows, n,
                                        static_cast<index_t>(sizeof(double)),
                                        static_cast<index_t>(lanes * sizeof(double))};
            snip::continuum_block<V>(block, in.snip_widths, P, 0, into, work.snip);
        }
        respond<V>(filter, work.y.data(), work.c.data(), work.r.data(), work.R.data(), work.V.data(), lanes);
        for (index_t l = 0; l < rows; ++l) {
            if (n > 0 && lane_valid(work.y.data(), work.c.data(), n, lanes, l)) {
                work.row.run(filter, work.R.data() + l, work.V.data() + l, work.y.data() + l, lanes, in.threshold,
                             peaks);
            }
            offsets[first + l + 1] = static_cast<std::int64_t>(peaks.size());
        }
    }
    return true;
}

}  // namespace kernels::peak_search

// The model of a fit through a detector response and its Jacobian: a
// source of K delta lines and a smooth continuum on the source axis x[n],
// folded into the n measured bins,
//
//   s = sum_k A_k ((1 - t_k) e_j + t_k e_{j+1}) + sum_c b_c basis_c,
//   mu = M^T s + 1e-12,
//
// theta = K lines (A, E), then the q coefficients b. A line at energy E
// lies between the bins j, j+1 that bracket it, t = (E - x[j]) / (x[j+1] -
// x[j]); dmu/dE = A (M_{j+1} - M_j) / (x[j+1] - x[j]), with M_j row j of
// the response (source bin j spread over the measured bins).
//
// The deviance's slope in E changes at each bin centre x[j]: a line exactly
// at an interior centre has one slope from above (bins j, j+1, the column
// evaluate gives) and one from below (bins j-1, j: dmu/dE = A (M_j -
// M_{j-1}) / (x[j] - x[j-1]), lower_column), and a step that carries it
// past the next centre is cut there.
//
// The response is a CSR triple that has passed the caller's check (every
// position and column valid; negative ones count from the end). The basis
// columns do not depend on theta: fold_basis folds them once per call, one
// read of the response per 64 columns, and an evaluation then costs
// O(n (q + K)) plus the 2K response rows its lines read.
#pragma once

#include "arrays.hpp"
#include "fit_solve.hpp"
#include "simd.hpp"
#include "stop.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace kernels::fit {

// The response's entries, positions and columns taken modulo their arrays'
// lengths as the check allows.
struct ResponseRows {
    Csr csr;
    index_t n = 0;

    // Calls add(column, value) for each entry of row j.
    template <class Add>
    [[gnu::always_inline]] inline void for_each(index_t j, Add&& add) const noexcept {
        const long long start = csr.offsets[j];
        const long long end = csr.offsets[j + 1];
        const index_t positions = csr.indices.size;
        const index_t value_positions = csr.values.size;
        for (long long k = start; k < end; ++k) {
            long long column = csr.indices[k < 0 ? k + positions : k];
            if (column < 0) column += n;
            add(static_cast<index_t>(column), csr.values[k < 0 ? k + value_positions : k]);
        }
    }
};

// The arrays of fold_basis: a tile of the basis rows and of the folded
// rows, n rows of at most `tile` doubles each.
struct FoldWork {
    // Columns folded at a time: a band of the response's columns then keeps
    // its sums in the core's own cache.
    static constexpr index_t tile = 64;
    index_t n = 0;
    std::vector<double> basis_rows, folded_rows;

    // The width of the widest tile for q columns, a multiple of 8 (the
    // widest vector).
    static index_t tile_width(index_t q) noexcept { return std::min(tile, (q + 7) / 8 * 8); }
    static double bytes(index_t n, index_t q) noexcept { return 2.0 * 8.0 * static_cast<double>(n * tile_width(q)); }
    void allocate(index_t rows, index_t q) {
        n = rows;
        basis_rows.resize(static_cast<std::size_t>(n * tile_width(q)));
        folded_rows.resize(static_cast<std::size_t>(n * tile_width(q)));
    }
};

// folded[q*n] = M^T B: the (n, q) basis B, B[j, c] at basis[j*q + c],
// folded into the measured bins, column c of the result at folded[c*n ..].
// Each folded value (i, c) is the sum over the entries (j, i, value) of the
// response, rows j ascending and positions ascending within a row, of
// value * B[j, c], each product rounded then added: one fixed order, so
// the same bits whatever V. The columns go a tile at a time (one read of
// the response per tile); within a tile the sums run row-major, a vector
// of columns per entry, each entry reading and writing adjacent doubles.
// `plain`: no negative position or column and unit-stride indices and
// values (the common response), read through plain pointers. Asks `stop`
// between blocks of rows; true leaves folded partly written and returns
// false. O(q * entries + q n), w allocated for (n, q).
template <class V>
[[gnu::always_inline]] inline bool fold_basis(const ResponseRows& response, bool plain, const double* basis,
                                              index_t q, FoldWork& w, double* folded,
                                              const StopCheck& stop) noexcept {
    const index_t n = response.n;
    constexpr index_t W = V::width;
    double* const rows = w.basis_rows.data();
    double* const sums = w.folded_rows.data();
    const std::int32_t* const columns = plain ? response.csr.indices.pointer() : nullptr;
    const double* const values = plain ? response.csr.values.pointer() : nullptr;
    long long since_ask = 0;  // vector operations since the last ask
    for (index_t first = 0; first < q; first += FoldWork::tile) {
        const index_t width = std::min(FoldWork::tile, q - first);
        const index_t padded = (width + W - 1) / W * W;  // the pad lanes hold 0 and are never read out
        for (index_t j = 0; j < n; ++j) {
            for (index_t c = 0; c < padded; ++c) rows[j * padded + c] = c < width ? basis[j * q + first + c] : 0.0;
        }
        std::fill(sums, sums + n * padded, 0.0);
        auto add = [&](const double* from, index_t column, double value) KERNELS_INLINE {
            double* const to = sums + column * padded;
            const typename V::D share = V::broadcast(value);
            for (index_t c = 0; c < padded; c += W) {
                V::store(to + c, V::add(V::load(to + c), V::mul(share, V::load(from + c))));
            }
        };
        for (index_t j = 0; j < n; ++j) {
            if (since_ask > (1 << 16)) {
                if (stop()) return false;
                since_ask = 0;
            }
            const double* const from = rows + j * padded;
            const long long start = response.csr.offsets[j];
            const long long end = response.csr.offsets[j + 1];
            since_ask += (end > start ? end - start : 0) * (padded / W) + 1;
            if (plain) {
                for (long long k = start; k < end; ++k) add(from, columns[k], values[k]);
            } else {
                response.for_each(j, [&](index_t column, double value) KERNELS_INLINE { add(from, column, value); });
            }
        }
        for (index_t c = 0; c < width; ++c) {
            for (index_t i = 0; i < n; ++i) folded[(first + c) * n + i] = sums[i * padded + c];
        }
    }
    return true;
}

class FoldedModel {
public:
    // x[n] ascending; folded[q*n] from fold_basis.
    // What the constructor allocates, for a MemoryError to say.
    static double bytes(index_t lines, index_t n) noexcept {
        return 8.0 * static_cast<double>(2 * n + 6 * lines * n) + 2.0 * static_cast<double>(lines);
    }

    FoldedModel(index_t lines, index_t q, const double* x, const ResponseRows& response, const double* folded)
        : lines_(lines), q_(q), x_(x), response_(response), folded_(folded) {
        const auto n = static_cast<std::size_t>(response.n);
        for (int slot = 0; slot < 2; ++slot) {
            mean_[slot].resize(n);
            jacobian_[slot].resize(static_cast<std::size_t>(2 * lines) * n);
            below_[slot].resize(static_cast<std::size_t>(lines) * n);
            on_centre_[slot].assign(static_cast<std::size_t>(lines), 0);
        }
    }

    index_t parameters() const noexcept { return 2 * lines_ + q_; }
    index_t channels() const noexcept { return response_.n; }
    index_t area_count() const noexcept { return lines_; }

    const double* mean(int slot) const noexcept { return mean_[slot].data(); }
    const double* column(int slot, index_t a) const noexcept {
        const index_t n = response_.n;
        return a < 2 * lines_ ? jacobian_[slot].data() + a * n : folded_ + (a - 2 * lines_) * n;
    }

    // Each line's energy stays on the source axis.
    void restrict_bounds(double* lower, double* upper) const noexcept {
        const index_t n = response_.n;
        if (n == 0) return;
        for (index_t k = 0; k < lines_; ++k) {
            const index_t e = 2 * k + 1;
            lower[e] = std::clamp(lower[e], x_[0], x_[n - 1]);
            upper[e] = std::clamp(upper[e], x_[0], x_[n - 1]);
        }
    }

    // Steps are taken as the loop makes them.
    void limit_step(const double*, double*) const noexcept {}

    // A line that the trial carries past the next bin centre in the
    // direction of its move stops at that centre: the objective's slope in
    // E changes there.
    bool cut_step(const double* theta, double* trial) const noexcept {
        if (response_.n < 2) return false;
        bool cut = false;
        for (index_t k = 0; k < lines_; ++k) {
            const double from = theta[2 * k + 1];
            double& to = trial[2 * k + 1];
            const index_t low = bracket(from).low;
            double edge = to;
            if (to > from && to > x_[low + 1] && from < x_[low + 1]) edge = x_[low + 1];
            if (to < from) {
                // The centre below a line that sits on one is the next one down.
                const index_t below = from > x_[low] ? low : low - 1;
                if (below >= 0 && to < x_[below]) edge = x_[below];
            }
            cut |= edge != to;
            to = edge;
        }
        return cut;
    }

    // Near a bin centre the deviance can have a local minimum on each side
    // of the kink. For line i within a quarter of its bin of an interior
    // centre c, the start with its energy mirrored to the other side of c.
    index_t alternatives() const noexcept { return response_.n > 2 ? lines_ : 0; }
    bool alternative(index_t i, const double* theta, double* start) const noexcept {
        const double energy = theta[2 * i + 1];
        const Bracket at = bracket(energy);
        const index_t c = at.t < 0.5 ? at.low : at.low + 1;
        const index_t n = response_.n;
        if (c <= 0 || c >= n - 1 || energy == x_[c] || std::fabs(energy - x_[c]) > 0.25 * at.width) return false;
        const double other_width = energy > x_[c] ? x_[c] - x_[c - 1] : x_[c + 1] - x_[c];
        start[2 * i + 1] = x_[c] - (energy - x_[c]) * (other_width / at.width);
        return true;
    }

    // A line's energy changes the means substantially over its bin.
    void scales(const double* theta, double* scale) const noexcept {
        for (index_t a = 0; a < parameters(); ++a) scale[a] = 0.0;
        if (response_.n < 2) return;
        for (index_t k = 0; k < lines_; ++k) scale[2 * k + 1] = bracket(theta[2 * k + 1]).width;
    }

    // The slope from below of a line's energy that sits on an interior bin
    // centre in this slot's evaluation; nullptr for any other parameter.
    const double* lower_column(int slot, index_t a) const noexcept {
        if (a >= 2 * lines_ || a % 2 == 0 || !on_centre_[slot][static_cast<std::size_t>(a / 2)]) return nullptr;
        return below_[slot].data() + (a / 2) * response_.n;
    }

    // Each line's counts A and their standard error.
    void areas(const double* theta, const double* covariance, double* area, double* error) const noexcept {
        const index_t P = parameters();
        for (index_t k = 0; k < lines_; ++k) {
            const index_t a = 2 * k;
            area[k] = theta[a];
            error[k] = propagated_error(1.0, 0.0, covariance[a * P + a], 0.0, 0.0);
        }
    }

    template <class V>
    [[gnu::always_inline]] inline void evaluate(const double* theta, int slot) noexcept {
        const index_t n = response_.n;
        double* const mu = mean_[slot].data();
        std::fill(mu, mu + n, 0.0);
        const double* const b = theta + 2 * lines_;
        for (index_t c = 0; c < q_; ++c) {
            const double* const column = folded_ + c * n;
            for (index_t i = 0; i < n; ++i) mu[i] += b[c] * column[i];
        }
        for (index_t k = 0; k < lines_ && n > 0; ++k) {
            const double A = theta[2 * k];
            double* const dA = jacobian_[slot].data() + 2 * k * n;
            double* const dE = dA + n;
            std::fill(dA, dA + 2 * n, 0.0);
            const Bracket at = bracket(theta[2 * k + 1]);
            const double slope = at.width > 0.0 ? A / at.width : 0.0;
            response_.for_each(at.low, [&](index_t column, double value) {
                dA[column] += (1.0 - at.t) * value;
                dE[column] -= slope * value;
            });
            if (at.width > 0.0) {
                response_.for_each(at.low + 1, [&](index_t column, double value) {
                    dA[column] += at.t * value;
                    dE[column] += slope * value;
                });
            }
            for (index_t i = 0; i < n; ++i) mu[i] += A * dA[i];
            // On an interior centre x[j] (t = 0, j > 0): the slope from below.
            const bool on_centre = at.width > 0.0 && at.t == 0.0 && at.low > 0;
            on_centre_[slot][static_cast<std::size_t>(k)] = on_centre;
            if (on_centre) {
                double* const below = below_[slot].data() + k * n;
                std::fill(below, below + n, 0.0);
                const double slope_below = A / (x_[at.low] - x_[at.low - 1]);
                response_.for_each(at.low - 1, [&](index_t column, double value) { below[column] -= slope_below * value; });
                response_.for_each(at.low, [&](index_t column, double value) { below[column] += slope_below * value; });
            }
        }
        for (index_t i = 0; i < n; ++i) mu[i] += 1e-12;
    }

private:
    struct Bracket {
        index_t low;   // j
        double t;      // share in j + 1
        double width;  // x[j+1] - x[j]; 0 on an axis of one bin
    };

    // The bins j, j+1 around energy E in [x[0], x[n-1]] (n >= 1).
    Bracket bracket(double energy) const noexcept {
        const index_t n = response_.n;
        if (n < 2) return {0, 0.0, 0.0};
        const index_t above = std::upper_bound(x_, x_ + n, energy) - x_;
        const index_t low = std::clamp<index_t>(above - 1, 0, n - 2);
        const double width = x_[low + 1] - x_[low];
        return {low, (energy - x_[low]) / width, width};
    }

    index_t lines_, q_;
    const double* x_;
    ResponseRows response_;
    const double* folded_;
    std::vector<double> mean_[2], jacobian_[2], below_[2];
    std::vector<unsigned char> on_centre_[2];
};

}  // namespace kernels::fit

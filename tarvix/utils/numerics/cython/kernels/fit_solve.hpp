// The small dense solves of a fit: the damped normal equations of one step
// and the inverse of the information matrix at the optimum. Both work on
// the matrix scaled to a unit diagonal, C = D^-1/2 H D^-1/2 with D = diag(H),
// so that one threshold on the Cholesky pivots means the same whatever the
// units of the parameters (a peak's area in counts, its variance in keV^2).
//
//   H[n*n], row-major, symmetric (only the lower triangle is read); n is at
//   most a few tens. Every routine works in caller-provided scratch: nothing
//   is allocated. Cost O(n^3) per call.
#pragma once

#include "arrays.hpp"

#include <cmath>

namespace kernels::fit {

// A pivot of the unit-diagonal matrix below this makes it singular: its
// condition number then exceeds about 1e14 and an inverse has no digit left.
inline constexpr double singular_pivot = 1e-14;

// In place: the lower triangle of a[n*n] becomes L with a = L L^T. False when
// a pivot is not above `min_pivot` (or not a number).
inline bool cholesky(double* a, index_t n, double min_pivot) noexcept {
    for (index_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (index_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > min_pivot)) return false;
        const double l = std::sqrt(d);
        a[j * n + j] = l;
        for (index_t i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (index_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / l;
        }
    }
    return true;
}

// x = (L L^T)^-1 b for the factor in the lower triangle of l[n*n]; x may be b.
inline void cholesky_solve(const double* l, index_t n, const double* b, double* x) noexcept {
    for (index_t i = 0; i < n; ++i) {
        double s = b[i];
        for (index_t k = 0; k < i; ++k) s -= l[i * n + k] * x[k];
        x[i] = s / l[i * n + i];
    }
    for (index_t i = n - 1; i >= 0; --i) {
        double s = x[i];
        for (index_t k = i + 1; k < n; ++k) s -= l[k * n + i] * x[k];
        x[i] = s / l[i * n + i];
    }
}

// The lower triangle of c[n*n] = D^-1/2 H D^-1/2 (D = diag(H) > 0), with
// `diagonal` in place of its unit diagonal, and scale[n] = D^-1/2.
inline void scaled_to_unit_diagonal(const double* h, index_t n, double diagonal, double* c, double* scale) noexcept {
    for (index_t i = 0; i < n; ++i) scale[i] = 1.0 / std::sqrt(h[i * n + i]);
    for (index_t i = 0; i < n; ++i) {
        for (index_t j = 0; j < i; ++j) c[i * n + j] = h[i * n + j] * scale[i] * scale[j];
        c[i * n + i] = diagonal;
    }
}

// A pivot of the unit-diagonal matrix below this leaves its parameter
// undetermined: that parameter's column is, to 1e-6 of its length, a
// combination of the columns before it (the information it adds is below
// 1e-12 of its own), so the data fix only a combination of them.
inline constexpr double undetermined_pivot = 1e-12;

// Which of n parameters the information H[n*n] (diagonal > 0, finite)
// determines: a Cholesky factorisation of the unit-diagonal matrix in the
// parameters' order that skips each parameter whose pivot is not above
// undetermined_pivot. dropped[n] receives 1 for those (0 otherwise); the
// count kept is returned. Of a dependent set the earlier parameters are kept
// (a model puts each peak's amplitude before its shape). scratch[n*n + n].
inline index_t drop_dependent(const double* h, index_t n, unsigned char* dropped, double* scratch) noexcept {
    double* const c = scratch;
    double* const scale = scratch + n * n;
    scaled_to_unit_diagonal(h, n, 1.0, c, scale);
    index_t kept = 0;
    for (index_t j = 0; j < n; ++j) {
        // Columns of dropped parameters are 0 in the factor: they add
        // nothing to the sums below.
        double d = c[j * n + j];
        for (index_t k = 0; k < j; ++k) d -= c[j * n + k] * c[j * n + k];
        dropped[j] = !(d > undetermined_pivot);
        if (dropped[j]) {
            for (index_t i = j; i < n; ++i) c[i * n + j] = 0.0;
            continue;
        }
        ++kept;
        const double l = std::sqrt(d);
        c[j * n + j] = l;
        for (index_t i = j + 1; i < n; ++i) {
            double s = c[i * n + j];
            for (index_t k = 0; k < j; ++k) s -= c[i * n + k] * c[j * n + k];
            c[i * n + j] = s / l;
        }
    }
    return kept;
}

// The damped step over n parameters: solves (H + lambda diag(H)) step = -g,
// with H[n*n] (diagonal > 0) and g[n]; scratch[n*n + n]. False when the
// damped matrix is not positive definite to working precision. lambda = 0
// gives the Gauss-Newton step.
inline bool damped_step(const double* h, const double* g, index_t n, double lambda, double* step,
                        double* scratch) noexcept {
    double* const c = scratch;
    double* const scale = scratch + n * n;
    scaled_to_unit_diagonal(h, n, 1.0 + lambda, c, scale);
    if (!cholesky(c, n, singular_pivot)) return false;
    for (index_t i = 0; i < n; ++i) step[i] = -g[i] * scale[i];
    cholesky_solve(c, n, step, step);
    for (index_t i = 0; i < n; ++i) step[i] *= scale[i];
    return true;
}

// The inverse of H[n*n] into inverse[n*n] (full, symmetric); scratch[n*n + n].
// False, with inverse untouched, when H is singular: a diagonal entry that is
// not positive, or a pivot of the scaled factor below singular_pivot.
inline bool information_inverse(const double* h, index_t n, double* inverse, double* scratch) noexcept {
    double* const c = scratch;
    double* const scale = scratch + n * n;
    for (index_t i = 0; i < n; ++i) {
        if (!(h[i * n + i] > 0.0) || !std::isfinite(h[i * n + i])) return false;
    }
    scaled_to_unit_diagonal(h, n, 1.0, c, scale);
    if (!cholesky(c, n, singular_pivot)) return false;
    // Column j of C^-1 from the unit vector e_j, then unscaled.
    for (index_t j = 0; j < n; ++j) {
        double* const column = inverse + j * n;  // row j, by symmetry
        for (index_t i = 0; i < n; ++i) column[i] = i == j ? 1.0 : 0.0;
        cholesky_solve(c, n, column, column);
    }
    for (index_t i = 0; i < n; ++i) {
        for (index_t j = 0; j < n; ++j) inverse[i * n + j] *= scale[i] * scale[j];
    }
    // Exactly symmetric: each pair from one of its two solves.
    for (index_t i = 0; i < n; ++i) {
        for (index_t j = 0; j < i; ++j) inverse[j * n + i] = inverse[i * n + j];
    }
    return true;
}

// The standard error of a function of two parameters with partial
// derivatives da, db, from their covariance entries caa, cab, cbb (a
// variance below 0 by rounding counts as 0).
inline double propagated_error(double da, double db, double caa, double cab, double cbb) noexcept {
    const double variance = da * da * caa + 2.0 * da * db * cab + db * db * cbb;
    if (std::isnan(variance)) return NAN;
    return variance > 0.0 ? std::sqrt(variance) : 0.0;
}

}  // namespace kernels::fit

// The damped Gauss-Newton (Levenberg-Marquardt) loop of a fit, over any
// model, and the driver that fits a stack of rows one after the other.
//
// One row: theta[P] starts projected into its bounds [lower, upper]; each
// iteration evaluates the model's means and Jacobian columns, the gradient
// g and information H of half the objective (fit_objective.hpp), and tries
// the steps solving (H + lambda diag(H)) step = -g over the parameters that
// can move, projected into the bounds, raising lambda until one lowers the
// objective. A parameter whose bounds are equal never moves, nor does one at
// a bound that the gradient pushes outward. The covariance at the end is
// H^-1 over the parameters that are neither (their rows and columns 0).
//
// A model provides
//   index_t parameters(), channels();
//   template <class V> void evaluate(const double* theta, int slot):
//       the means and Jacobian columns at theta into its slot 0 or 1;
//   const double* mean(int slot), const double* column(int slot, index_t a).
//
// Cost per iteration: the model's evaluation plus O(P^2 m) for H and O(P^3)
// per damped solve. Memory: FitWork, sized once per call; nothing is
// allocated per row.
#pragma once

#include "fit_objective.hpp"
#include "fit_solve.hpp"
#include "stop.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kernels::fit {

// What ended a row's fit. Each code is set in one place below.
enum Status : std::int32_t {
    // A step accepted at small damping lowered the objective by less than
    // tolerance * max(1, objective), or no step can lower it any more.
    converged = 0,
    // max_iterations Jacobian evaluations were spent first, or no finite
    // objective was ever found (a Poisson start outside the feasible set
    // that no step could leave).
    not_converged = 1,
    // The information matrix over the free parameters is singular at the
    // end: the covariance's free block is NaN.
    singular = 2,
    // NaN or infinite counts, weights or start, a negative count for
    // Poisson or a negative weight: the row keeps its start, objective NaN.
    invalid_row = 3,
};

// Damping, relative to the diagonal of H (a unit diagonal when scaled).
inline constexpr double initial_damping = 1e-3;
// Steps taken at this damping or below are close to Gauss-Newton steps; a
// small gain from one of them means the minimum is reached, not that the
// steps are short.
inline constexpr double small_damping = 1e-2;
inline constexpr double min_damping = 1e-12;
// Beyond this a step is a vanishing gradient step: no step lowers the
// objective.
inline constexpr double max_damping = 1e16;
inline constexpr double damping_factor = 10.0;

struct Settings {
    Estimator estimator = Estimator::poisson;
    std::int64_t max_iterations = 200;
    double tolerance = 1e-10;
};

// The scratch of one row's fit, for P parameters and m channels.
struct FitWork {
    index_t P = 0, m = 0;
    std::vector<double> buffer;
    std::vector<index_t> variable, moving, free_set;
    std::vector<const double*> columns;
    double *trial, *g, *h, *g_moving, *h_moving, *step, *solve_scratch, *factor, *weight, *terms, *weighted,
        *h_free, *inverse;

    void allocate(index_t parameters, index_t channels) {
        P = parameters;
        m = channels;
        const index_t P2 = P * P;
        buffer.assign(static_cast<std::size_t>(6 * P + 5 * P2 + 3 * m + P * m + P), 0.0);
        double* p = buffer.data();
        auto take = [&](index_t count) {
            double* const start = p;
            p += count;
            return start;
        };
        trial = take(P);
        g = take(P);
        g_moving = take(P);
        step = take(P);
        h = take(P2);
        h_moving = take(P2);
        h_free = take(P2);
        inverse = take(P2);
        solve_scratch = take(P2 + P);
        factor = take(m);
        weight = take(m);
        terms = take(m);
        weighted = take(P * m);
        variable.resize(static_cast<std::size_t>(P));
        moving.resize(static_cast<std::size_t>(P));
        free_set.resize(static_cast<std::size_t>(P));
        columns.resize(static_cast<std::size_t>(P));
    }
};

struct RowOutcome {
    double objective;
    std::int64_t iterations;
    std::int32_t status;
};

namespace loop_detail {

inline double clamp(double value, double lower, double upper) noexcept {
    return value < lower ? lower : value > upper ? upper : value;
}

// Whether parameter a sits at a bound with the gradient of the objective
// pushing it outward.
inline bool held_by_bound(double theta, double lower, double upper, double gradient) noexcept {
    return (theta <= lower && gradient > 0.0) || (theta >= upper && gradient < 0.0);
}

// g and H over the parameters listed in `set`, at the model's slot.
template <class V, class Model>
[[gnu::always_inline]] inline void linearise(const Model& model, int slot, const Observations& data,
                                             Estimator estimator, const index_t* set, index_t count,
                                             FitWork& work) {
    channel_factors(estimator, data, model.mean(slot), work.factor, work.weight);
    for (index_t k = 0; k < count; ++k) work.columns[static_cast<std::size_t>(k)] = model.column(slot, set[k]);
    gradient_and_information<V>(work.columns.data(), count, data.m, work.factor, work.weight, work.g, work.h,
                                work.weighted);
}

// The rows and columns `pick` (positions into a count x count matrix) of h.
inline void sub_matrix(const double* h, index_t count, const index_t* pick, index_t picked, double* out) noexcept {
    for (index_t i = 0; i < picked; ++i) {
        for (index_t j = 0; j < picked; ++j) out[i * picked + j] = h[pick[i] * count + pick[j]];
    }
}

}  // namespace loop_detail

// Fits one row. theta[P] holds the start and receives the result; lower[P]
// and upper[P] are the bounds (lower <= upper, checked by the caller);
// covariance[P*P] receives the covariance. The model's parameters are P.
template <class V, class Model>
[[gnu::always_inline]] inline RowOutcome fit_row(Model& model, const Observations& data, const double* lower,
                                                 const double* upper, double* theta, double* covariance,
                                                 const Settings& settings, FitWork& work) {
    using namespace loop_detail;
    const index_t P = model.parameters();
    index_t variables = 0;
    for (index_t a = 0; a < P; ++a) {
        theta[a] = clamp(theta[a], lower[a], upper[a]);
        if (lower[a] < upper[a]) work.variable[static_cast<std::size_t>(variables++)] = a;
    }
    const index_t* const variable = work.variable.data();

    int slot = 0;
    model.template evaluate<V>(theta, slot);
    double F = objective<V>(settings.estimator, data, model.mean(slot), work.terms);
    double lambda = initial_damping;
    std::int64_t iterations = 0;
    std::int32_t status = converged;

    for (;;) {
        if (iterations >= settings.max_iterations) {
            status = not_converged;
            break;
        }
        ++iterations;
        linearise<V>(model, slot, data, settings.estimator, variable, variables, work);

        // The parameters this iteration moves, as positions into `variable`.
        index_t moving = 0;
        for (index_t k = 0; k < variables; ++k) {
            const index_t a = variable[k];
            const double curvature = work.h[k * variables + k];
            if (held_by_bound(theta[a], lower[a], upper[a], work.g[k]) || !(curvature > 0.0) ||
                !std::isfinite(curvature)) {
                continue;
            }
            work.moving[static_cast<std::size_t>(moving++)] = k;
        }
        if (moving == 0) break;  // converged: nothing can move
        const index_t* const pick = work.moving.data();
        sub_matrix(work.h, variables, pick, moving, work.h_moving);
        for (index_t i = 0; i < moving; ++i) work.g_moving[i] = work.g[pick[i]];

        bool next_iteration = false;
        while (!next_iteration) {
            if (!damped_step(work.h_moving, work.g_moving, moving, lambda, work.step, work.solve_scratch)) {
                lambda *= damping_factor;
                if (lambda > max_damping) goto stalled;
                continue;
            }
            std::memcpy(work.trial, theta, static_cast<std::size_t>(P) * sizeof(double));
            bool moved = false;
            for (index_t i = 0; i < moving; ++i) {
                const index_t a = variable[pick[i]];
                work.trial[a] = clamp(theta[a] + work.step[i], lower[a], upper[a]);
                moved |= work.trial[a] != theta[a];
            }
            if (!moved) goto done;  // converged: the step is below the parameters' resolution

            model.template evaluate<V>(work.trial, 1 - slot);
            const double F_trial = objective<V>(settings.estimator, data, model.mean(1 - slot), work.terms);
            const double threshold = settings.tolerance * std::fmax(1.0, F_trial < F ? F_trial : F);
            if (F_trial < F) {
                const double gain = F - F_trial;
                const bool small = lambda <= small_damping;
                std::memcpy(theta, work.trial, static_cast<std::size_t>(P) * sizeof(double));
                slot = 1 - slot;
                F = F_trial;
                lambda = std::fmax(lambda / damping_factor, min_damping);
                if (small && gain < threshold) goto done;  // converged
                next_iteration = true;
            } else {
                // The gain the quadratic model predicts for this step, in
                // units of the objective (twice that of its half).
                double predicted = 0.0;
                for (index_t i = 0; i < moving; ++i) {
                    double hs = 0.0;
                    for (index_t j = 0; j < moving; ++j) hs += work.h_moving[i * moving + j] * work.step[j];
                    predicted -= work.step[i] * (2.0 * work.g_moving[i] + hs);
                }
                if (lambda <= small_damping && std::isfinite(F) && predicted < threshold) goto done;  // converged
                lambda *= damping_factor;
                if (lambda > max_damping) goto stalled;
            }
        }
    }
    goto done;
stalled:
    // No step lowers the objective: a minimum to working precision, unless
    // no finite objective was found at all.
    if (!std::isfinite(F)) status = not_converged;
done:
    // The covariance over the free parameters at the end.
    std::memset(covariance, 0, static_cast<std::size_t>(P * P) * sizeof(double));
    if (variables > 0) {
        linearise<V>(model, slot, data, settings.estimator, variable, variables, work);
        index_t free_count = 0;
        for (index_t k = 0; k < variables; ++k) {
            const index_t a = variable[k];
            if (!held_by_bound(theta[a], lower[a], upper[a], work.g[k])) {
                work.free_set[static_cast<std::size_t>(free_count++)] = k;
            }
        }
        const index_t* const pick = work.free_set.data();
        sub_matrix(work.h, variables, pick, free_count, work.h_free);
        const bool inverted = information_inverse(work.h_free, free_count, work.inverse, work.solve_scratch);
        if (!inverted) status = singular;
        for (index_t i = 0; i < free_count; ++i) {
            for (index_t j = 0; j < free_count; ++j) {
                covariance[variable[pick[i]] * P + variable[pick[j]]] =
                    inverted ? work.inverse[i * free_count + j] : NAN;
            }
        }
    }
    return {F, iterations, status};
}

// The rows of a stack, as the kernels read them: row s of every array. A
// (P,) argument shared by all rows is a Strided2 whose row stride is 0.
struct StackInputs {
    Strided2<const double> Y;             // (S, m)
    Strided2<const double> start;         // (S, P)
    Strided2<const double> lower, upper;  // (S, P); data nullptr: unbounded
    Strided2<const double> weights;       // (S, m); data nullptr: all 1
};

// The results of a stack, C-contiguous.
struct StackOutputs {
    double* params;         // [S*P]
    double* covariance;     // [S*P*P]
    double* objective;      // [S]
    std::int64_t* iterations;
    std::int32_t* status;
    double* areas;          // [S*K]
    double* area_errors;    // [S*K]
};

// The copies of one row that the loop reads contiguously.
struct RowWork {
    std::vector<double> y, weights, lower, upper;
    void allocate(index_t P, index_t m) {
        y.resize(static_cast<std::size_t>(m));
        weights.resize(static_cast<std::size_t>(m));
        lower.resize(static_cast<std::size_t>(P));
        upper.resize(static_cast<std::size_t>(P));
    }
};

// Fits rows 0 .. S-1 in order, each alone: row s of the results depends on
// row s of the inputs only. Asks `stop` between rows; true leaves the rest
// unwritten. The model provides, besides the above,
//   void restrict_bounds(double* lower, double* upper): its own limits (a
//       variance kept positive) applied to a row's bounds, keeping lower <= upper;
//   index_t areas(): K; void areas(const double* theta, const double* covariance,
//       double* area, double* error).
template <class V, class Model>
[[gnu::always_inline]] inline void fit_stack(Model& model, const StackInputs& in, const StackOutputs& out,
                                             const Settings& settings, FitWork& work, RowWork& row,
                                             const StopCheck& stop) {
    const index_t S = in.Y.rows;
    const index_t m = in.Y.columns;
    const index_t P = model.parameters();
    const index_t K = model.area_count();
    const bool poisson = settings.estimator == Estimator::poisson;
    for (index_t s = 0; s < S; ++s) {
        if (stop()) return;
        double* const theta = out.params + s * P;
        double* const covariance = out.covariance + s * P * P;
        bool valid = true;
        for (index_t a = 0; a < P; ++a) {
            theta[a] = in.start(s, a);
            valid &= std::isfinite(theta[a]);
            row.lower[static_cast<std::size_t>(a)] = in.lower.data ? in.lower(s, a) : -INFINITY;
            row.upper[static_cast<std::size_t>(a)] = in.upper.data ? in.upper(s, a) : INFINITY;
        }
        for (index_t i = 0; i < m; ++i) {
            const double y = in.Y(s, i);
            row.y[static_cast<std::size_t>(i)] = y;
            valid &= std::isfinite(y) && (!poisson || y >= 0.0);
        }
        Observations data{row.y.data(), nullptr, m};
        if (!poisson && in.weights.data) {
            for (index_t i = 0; i < m; ++i) {
                const double w = in.weights(s, i);
                row.weights[static_cast<std::size_t>(i)] = w;
                valid &= std::isfinite(w) && w >= 0.0;
            }
            data.weights = row.weights.data();
        }
        RowOutcome outcome{NAN, 0, invalid_row};
        if (valid) {
            model.restrict_bounds(row.lower.data(), row.upper.data());
            outcome = fit_row<V>(model, data, row.lower.data(), row.upper.data(), theta, covariance, settings, work);
        } else {
            for (index_t k = 0; k < P * P; ++k) covariance[k] = NAN;
        }
        out.objective[s] = outcome.objective;
        out.iterations[s] = outcome.iterations;
        out.status[s] = outcome.status;
        model.areas(theta, covariance, out.areas + s * K, out.area_errors + s * K);
    }
}

}  // namespace kernels::fit

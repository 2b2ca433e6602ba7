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
//   void limit_step(const double* theta, double* trial): its own limits on
//       one step (staying within the bounds);
//   bool cut_step(const double* theta, double* trial): shortens a rejected
//       trial to where the model's slope changes, true if it did;
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

// The rows and columns `pick` (positions into a count x count matrix) of h.
inline void sub_matrix(const double* h, index_t count, const index_t* pick, index_t picked, double* out) noexcept {
    for (index_t i = 0; i < picked; ++i) {
        for (index_t j = 0; j < picked; ++j) out[i * picked + j] = h[pick[i] * count + pick[j]];
    }
}

}  // namespace loop_detail

// One row's loop: the state of the fit between iterations.
template <class V, class Model>
class DampedLoop {
public:
    DampedLoop(Model& model, const Observations& data, const double* lower, const double* upper, double* theta,
               const Settings& settings, FitWork& work, const StopCheck& stop)
        : model_(model), data_(data), lower_(lower), upper_(upper), theta_(theta), settings_(settings),
          work_(work), stop_(stop), P_(model.parameters()) {}

    // Runs the iterations; the status they end with.
    std::int32_t run() {
        for (index_t a = 0; a < P_; ++a) {
            theta_[a] = loop_detail::clamp(theta_[a], lower_[a], upper_[a]);
            if (lower_[a] < upper_[a]) work_.variable[static_cast<std::size_t>(variables_++)] = a;
        }
        model_.template evaluate<V>(theta_, slot_);
        F_ = objective_at(slot_);
        for (;;) {
            // A stop asked for between iterations leaves the row unfinished;
            // the caller discards every result then.
            if (iterations_ >= settings_.max_iterations || stop_()) return not_converged;
            ++iterations_;
            const End end = iterate();
            if (end == End::converged) return converged;
            // No step lowers the objective: a minimum to working precision,
            // unless no finite objective was found at all.
            if (end == End::stalled) return std::isfinite(F_) ? converged : not_converged;
        }
    }

    // The covariance[P*P] at theta: H^-1 over the free parameters, 0
    // elsewhere; false when H is singular there (its free block NaN).
    bool covariance(double* covariance) {
        std::memset(covariance, 0, static_cast<std::size_t>(P_ * P_) * sizeof(double));
        if (variables_ == 0) return true;
        const index_t* const variable = work_.variable.data();
        linearise(variable, variables_);
        index_t free_count = 0;
        for (index_t k = 0; k < variables_; ++k) {
            const index_t a = variable[k];
            if (!loop_detail::held_by_bound(theta_[a], lower_[a], upper_[a], work_.g[k])) {
                work_.free_set[static_cast<std::size_t>(free_count++)] = k;
            }
        }
        const index_t* const pick = work_.free_set.data();
        loop_detail::sub_matrix(work_.h, variables_, pick, free_count, work_.h_free);
        const bool inverted = information_inverse(work_.h_free, free_count, work_.inverse, work_.solve_scratch);
        for (index_t i = 0; i < free_count; ++i) {
            for (index_t j = 0; j < free_count; ++j) {
                covariance[variable[pick[i]] * P_ + variable[pick[j]]] =
                    inverted ? work_.inverse[i * free_count + j] : NAN;
            }
        }
        return inverted;
    }

    double objective_value() const noexcept { return F_; }
    std::int64_t iterations() const noexcept { return iterations_; }

private:
    enum class End { next_iteration, converged, stalled };

    double objective_at(int slot) { return objective<V>(settings_.estimator, data_, model_.mean(slot), work_.terms); }

    void linearise(const index_t* set, index_t count) {
        const bool weighted =
            channel_factors(settings_.estimator, data_, model_.mean(slot_), work_.factor, work_.weight);
        for (index_t k = 0; k < count; ++k) work_.columns[static_cast<std::size_t>(k)] = model_.column(slot_, set[k]);
        gradient_and_information<V>(work_.columns.data(), count, data_.m, work_.factor,
                                    weighted ? work_.weight : nullptr, work_.g, work_.h, work_.weighted);
    }

    // One Jacobian evaluation and the steps tried from it.
    End iterate() {
        const index_t* const variable = work_.variable.data();
        linearise(variable, variables_);
        // The parameters this iteration moves (positions into `variable`):
        // not held by a bound, and with some information.
        index_t moving = 0;
        for (index_t k = 0; k < variables_; ++k) {
            const index_t a = variable[k];
            const double curvature = work_.h[k * variables_ + k];
            if (loop_detail::held_by_bound(theta_[a], lower_[a], upper_[a], work_.g[k]) || !(curvature > 0.0) ||
                !std::isfinite(curvature)) {
                continue;
            }
            work_.moving[static_cast<std::size_t>(moving++)] = k;
        }
        if (moving == 0) return End::converged;  // nothing can move
        const index_t* const pick = work_.moving.data();
        loop_detail::sub_matrix(work_.h, variables_, pick, moving, work_.h_moving);
        for (index_t i = 0; i < moving; ++i) work_.g_moving[i] = work_.g[pick[i]];

        for (;;) {
            if (!damped_step(work_.h_moving, work_.g_moving, moving, lambda_, work_.step, work_.solve_scratch)) {
                if ((lambda_ *= damping_factor) > max_damping) return End::stalled;
                continue;
            }
            std::memcpy(work_.trial, theta_, static_cast<std::size_t>(P_) * sizeof(double));
            for (index_t i = 0; i < moving; ++i) {
                const index_t a = variable[pick[i]];
                work_.trial[a] = loop_detail::clamp(theta_[a] + work_.step[i], lower_[a], upper_[a]);
            }
            model_.limit_step(theta_, work_.trial);
            bool moved = false;
            for (index_t a = 0; a < P_; ++a) moved |= work_.trial[a] != theta_[a];
            if (!moved) return End::converged;  // the step is below the parameters' resolution

            bool accepted = try_trial();
            // A step the model cannot follow whole (a line carried across a
            // bin edge) is tried again cut where the model's slope changes.
            if (!accepted && model_.cut_step(theta_, work_.trial)) accepted = try_trial();
            if (accepted) {
                const bool small = lambda_ <= small_damping;
                lambda_ = std::fmax(lambda_ / damping_factor, min_damping);
                if (small && gain_ < settings_.tolerance * std::fmax(1.0, F_)) return End::converged;
                return End::next_iteration;
            }
            // The gain the quadratic model predicts for this step, in units
            // of the objective (twice that of its half).
            double predicted = 0.0;
            for (index_t i = 0; i < moving; ++i) {
                double hs = 0.0;
                for (index_t j = 0; j < moving; ++j) hs += work_.h_moving[i * moving + j] * work_.step[j];
                predicted -= work_.step[i] * (2.0 * work_.g_moving[i] + hs);
            }
            if (lambda_ <= small_damping && std::isfinite(F_) &&
                predicted < settings_.tolerance * std::fmax(1.0, F_)) {
                return End::converged;  // no gain left to find
            }
            if ((lambda_ *= damping_factor) > max_damping) return End::stalled;
        }
    }

    // Evaluates work.trial; takes it when it lowers the objective.
    bool try_trial() {
        model_.template evaluate<V>(work_.trial, 1 - slot_);
        const double F_trial = objective_at(1 - slot_);
        if (!(F_trial < F_)) return false;
        gain_ = F_ - F_trial;
        std::memcpy(theta_, work_.trial, static_cast<std::size_t>(P_) * sizeof(double));
        slot_ = 1 - slot_;
        F_ = F_trial;
        return true;
    }

    Model& model_;
    const Observations& data_;
    const double* lower_;
    const double* upper_;
    double* theta_;
    const Settings& settings_;
    FitWork& work_;
    const StopCheck& stop_;
    const index_t P_;
    index_t variables_ = 0;
    int slot_ = 0;
    double F_ = NAN;
    double gain_ = 0.0;
    double lambda_ = initial_damping;
    std::int64_t iterations_ = 0;
};

// Fits one row. theta[P] holds the start and receives the result; lower[P]
// and upper[P] are the bounds (lower <= upper, checked by the caller);
// covariance[P*P] receives the covariance. `stop` is asked between
// iterations.
template <class V, class Model>
[[gnu::always_inline]] inline RowOutcome fit_row(Model& model, const Observations& data, const double* lower,
                                                 const double* upper, double* theta, double* covariance,
                                                 const Settings& settings, FitWork& work, const StopCheck& stop) {
    DampedLoop<V, Model> loop(model, data, lower, upper, theta, settings, work, stop);
    std::int32_t status = loop.run();
    if (!loop.covariance(covariance)) status = singular;
    return {loop.objective_value(), loop.iterations(), status};
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
// row s of the inputs only. Asks `stop` between rows and iterations; true
// leaves the rest unwritten. The model provides, besides the above,
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
            outcome = fit_row<V>(model, data, row.lower.data(), row.upper.data(), theta, covariance, settings, work,
                                 stop);
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

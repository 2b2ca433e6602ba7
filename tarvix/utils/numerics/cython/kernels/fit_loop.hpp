// The damped Gauss-Newton (Levenberg-Marquardt) loop of a fit, over any
// model, and the driver that fits a stack of rows one after the other.
//
// One row: theta[P] starts projected into its bounds [lower, upper]; each
// iteration evaluates the model's means and Jacobian columns, the gradient
// g and information H of half the objective (fit_objective.hpp), and picks
// the parameters that move: not fixed (equal bounds), not at a bound that
// the gradient or the Gauss-Newton step pushes outward, and determined by
// the data (below). It stops when the Gauss-Newton step over those predicts
// a decrease of the objective, g^T H^-1 g, of at most tolerance *
// max(1, objective): an optimum, told from a crawl by the gradient rather
// than by the last step's gain. Otherwise it tries the steps solving
// (H + lambda diag(H)) step = -g, projected into the bounds, raising lambda
// until one lowers the objective.
//
// Undetermined parameters are held where they are, as fixed ones: one whose
// information is 0 (a peak's centre when its amplitude is 0), one whose
// standard error alone exceeds 1e3 of the model's natural scale for it (a
// binned peak's centre when the peak is far narrower than its channel), and
// one whose column the earlier ones already span (a dependent pivot, see
// drop_dependent). The covariance at the end is H^-1 over the free
// determined parameters, 0 in the rows and columns of the others.
//
// A model provides
//   index_t parameters(), channels();
//   void limit_step(const double* theta, double* trial): its own limits on
//       one step (staying within the bounds);
//   bool cut_step(const double* theta, double* trial): shortens a rejected
//       trial to where the model's slope changes, true if it did;
//   template <class V> void evaluate(const double* theta, int slot):
//       the means and Jacobian columns at theta into its slot 0 or 1;
//   const double* mean(int slot), const double* column(int slot, index_t a);
// and may provide
//   void scales(const double* theta, double* scale): per parameter a length
//       over which the model changes substantially, 0 where it has none;
//   const double* lower_column(int slot, index_t a): where parameter a sits
//       on a kink of the model (its slope differs on either side), the
//       column of the slope from below (column() giving the one from
//       above); nullptr elsewhere;
//   index_t alternatives(), bool alternative(index_t i, const double* theta,
//       double* start): for a converged theta, start i on the other side of
//       a kink near it (false: none); the row keeps the better optimum.
// At a kink the loop takes the side along which the objective falls, and
// holds the parameter there for the iteration when it rises on both sides;
// the covariance at the end takes the mean of the two slopes.
//
// Cost per iteration: the model's evaluation plus O(P^2 m) for H and O(P^3)
// per solve. Memory: FitWork, sized once per call; nothing is allocated per
// row.
#pragma once

#include "fit_objective.hpp"
#include "fit_solve.hpp"
#include "stop.hpp"

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kernels::fit {

// What ended a row's fit. Each code is set in one place below.
enum Status : std::int32_t {
    // The Gauss-Newton step over the free parameters predicts a decrease of
    // at most tolerance * max(1, objective), or no parameter can move, or
    // no step can lower the objective any more (a minimum to working
    // precision); the objective is finite. Every free parameter is
    // determined.
    converged = 0,
    // max_iterations Jacobian evaluations were spent first, or no finite
    // objective was ever found (a Poisson start outside the feasible set
    // that no step could leave, or nothing free to move it).
    not_converged = 1,
    // The information of a free parameter is not finite at the end: the
    // covariance's free block is NaN.
    singular = 2,
    // NaN or infinite counts, weights or start, a negative count for
    // Poisson or a negative weight: the row keeps its start, objective NaN.
    invalid_row = 3,
    // Converged as status 0, with some free parameters not determined by
    // the data (see above): their covariance rows and columns are 0.
    undetermined = 4,
};

// Damping, relative to the diagonal of H (a unit diagonal when scaled).
inline constexpr double initial_damping = 1e-3;
inline constexpr double min_damping = 1e-12;
// Beyond this a step is a vanishing gradient step: no step lowers the
// objective.
inline constexpr double max_damping = 1e16;
inline constexpr double damping_factor = 10.0;
// A parameter whose information times its natural scale squared is below
// this, in units of the objective (Poisson: 1; least squares: the objective
// per degree of freedom), has a standard error of more than 1e3 scales: the
// data do not determine it.
inline constexpr double undetermined_information = 1e-6;

struct Settings {
    Estimator estimator = Estimator::poisson;
    std::int64_t max_iterations = 200;
    double tolerance = 1e-10;
};

// The scratch of one row's fit, for P parameters and m channels.
struct FitWork {
    index_t P = 0, m = 0;
    std::vector<double> buffer;
    std::vector<index_t> variable, moving, candidates;
    std::vector<unsigned char> held, dropped;
    std::vector<const double*> columns;
    double *trial, *g, *h, *g_moving, *h_moving, *step, *solve_scratch, *factor, *weight, *terms, *weighted,
        *h_free, *inverse, *scale, *kink_columns, *alternative;

    static index_t doubles(index_t P, index_t m) noexcept { return 8 * P + 5 * P * P + 3 * m + 2 * P * m + P; }

    // What allocate takes, for a MemoryError to say.
    static double bytes(index_t P, index_t m) noexcept {
        return 8.0 * static_cast<double>(doubles(P, m)) + static_cast<double>(P) * (3.0 * sizeof(index_t) + 2.0 + sizeof(double*));
    }

    void allocate(index_t parameters, index_t channels) {
        P = parameters;
        m = channels;
        const index_t P2 = P * P;
        buffer.assign(static_cast<std::size_t>(doubles(P, m)), 0.0);
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
        scale = take(P);
        kink_columns = take(P * m);
        alternative = take(P);
        variable.resize(static_cast<std::size_t>(P));
        moving.resize(static_cast<std::size_t>(P));
        candidates.resize(static_cast<std::size_t>(P));
        held.resize(static_cast<std::size_t>(P));
        dropped.resize(static_cast<std::size_t>(P));
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

template <class Model>
concept HasScales = requires(const Model& model, const double* theta, double* scale) { model.scales(theta, scale); };

template <class Model>
concept HasAlternatives = requires(const Model& model, index_t i, const double* theta, double* start) {
    { model.alternatives() } -> std::convertible_to<index_t>;
    { model.alternative(i, theta, start) } -> std::convertible_to<bool>;
};

template <class Model>
concept HasKinks = requires(const Model& model, int slot, index_t a) {
    { model.lower_column(slot, a) } -> std::convertible_to<const double*>;
};

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
            // Converged, or no step lowers the objective: a minimum to
            // working precision, unless no finite objective was found.
            if (iterate() != End::next_iteration) return std::isfinite(F_) ? converged : not_converged;
        }
    }

    // The covariance[P*P] at theta: H^-1 over the free determined
    // parameters, 0 elsewhere (NaN over the free block when a free
    // parameter's information is not finite). The status it leaves:
    // `status`, or singular, or undetermined for a converged row with
    // undetermined parameters.
    std::int32_t covariance(double* covariance, std::int32_t status) {
        std::memset(covariance, 0, static_cast<std::size_t>(P_ * P_) * sizeof(double));
        if (variables_ == 0) return status;
        const index_t* const variable = work_.variable.data();
        linearise(variable, variables_, true);
        const index_t free_count = select(false);
        const index_t* const pick = work_.moving.data();
        if (not_finite_) {
            for (index_t i = 0; i < candidates_; ++i) {
                for (index_t j = 0; j < candidates_; ++j) {
                    covariance[variable[work_.candidates[i]] * P_ + variable[work_.candidates[j]]] = NAN;
                }
            }
            return singular;
        }
        const bool inverted = information_inverse(work_.h_moving, free_count, work_.inverse, work_.solve_scratch);
        for (index_t i = 0; i < free_count; ++i) {
            for (index_t j = 0; j < free_count; ++j) {
                covariance[variable[pick[i]] * P_ + variable[pick[j]]] =
                    inverted ? work_.inverse[i * free_count + j] : NAN;
            }
        }
        if (!inverted) return singular;
        return undetermined_ && status == converged ? undetermined : status;
    }

    double objective_value() const noexcept { return F_; }
    std::int64_t iterations() const noexcept { return iterations_; }

private:
    enum class End { next_iteration, converged, stalled };

    double objective_at(int slot) { return objective<V>(settings_.estimator, data_, model_.mean(slot), work_.terms); }

    // g and H over the parameters set[count] at theta. A parameter on a
    // kink of the model gets the slope from the side along which the
    // objective falls (held[k] set when it rises on both); at the end
    // (`final`) the mean of both slopes.
    [[gnu::always_inline]] inline void linearise(const index_t* set, index_t count, bool final) {
        const bool weighted =
            channel_factors(settings_.estimator, data_, model_.mean(slot_), work_.factor, work_.weight);
        for (index_t k = 0; k < count; ++k) {
            work_.columns[static_cast<std::size_t>(k)] = model_.column(slot_, set[k]);
            work_.held[static_cast<std::size_t>(k)] = 0;
        }
        if constexpr (HasKinks<Model>) {
            const index_t m = data_.m;
            for (index_t k = 0; k < count; ++k) {
                const double* const below = model_.lower_column(slot_, set[k]);
                if (!below) continue;
                const double* const above = work_.columns[static_cast<std::size_t>(k)];
                if (final) {
                    double* const mean = work_.kink_columns + k * m;
                    for (index_t i = 0; i < m; ++i) mean[i] = 0.5 * (above[i] + below[i]);
                    work_.columns[static_cast<std::size_t>(k)] = mean;
                    continue;
                }
                // The objective's rate of change going up (g_above) and,
                // with its sign turned, going down (g_below).
                const double g_above = dot<V>(work_.factor, above, m);
                const double g_below = dot<V>(work_.factor, below, m);
                const bool falls_up = g_above < 0.0;
                const bool falls_down = g_below > 0.0;
                bool take_below = falls_down;
                if (falls_up && falls_down) {
                    // Both ways down: the steeper per unit of information.
                    take_below = g_below * g_below * information_along(above, weighted) >
                                 g_above * g_above * information_along(below, weighted);
                }
                if (take_below) work_.columns[static_cast<std::size_t>(k)] = below;
                if (!falls_up && !falls_down) work_.held[static_cast<std::size_t>(k)] = 1;
            }
        }
        gradient_and_information<V>(work_.columns.data(), count, data_.m, work_.factor,
                                    weighted ? work_.weight : nullptr, work_.g, work_.h, work_.weighted);
    }

    // sum_i w_i column_i^2.
    [[gnu::always_inline]] inline double information_along(const double* column, bool weighted) {
        const index_t m = data_.m;
        double* const scratch = work_.terms;
        for (index_t i = 0; i < m; ++i) scratch[i] = (weighted ? work_.weight[i] : 1.0) * column[i] * column[i];
        return sum<V>(scratch, m);
    }

    // The free determined parameters among the variables, from the last
    // linearise: work.moving (positions into `variable`), with their
    // information in h_moving and gradient in g_moving; their count. Sets
    // undetermined_ when some free parameter was left out for want of
    // information, not_finite_ when one's information is not finite.
    // `iterating`: also leave out a parameter held on a kink.
    [[gnu::always_inline]] inline index_t select(bool iterating) {
        const index_t* const variable = work_.variable.data();
        const index_t n = variables_;
        undetermined_ = false;
        not_finite_ = false;
        double unit = 1.0;
        if (settings_.estimator == Estimator::least_squares) {
            unit = F_ / static_cast<double>(std::max<index_t>(1, data_.m - n));
        }
        if constexpr (HasScales<Model>) model_.scales(theta_, work_.scale);
        index_t count = 0;
        for (index_t k = 0; k < n; ++k) {
            const index_t a = variable[k];
            if (loop_detail::held_by_bound(theta_[a], lower_[a], upper_[a], work_.g[k])) continue;
            if (iterating && work_.held[static_cast<std::size_t>(k)]) continue;
            const double curvature = work_.h[k * n + k];
            if (!std::isfinite(curvature)) {
                // Left where it is while iterating; at the end, a NaN block.
                if (iterating) continue;
                not_finite_ = true;
                work_.candidates[static_cast<std::size_t>(count++)] = k;
                continue;
            }
            bool none = !(curvature > 0.0);
            if constexpr (HasScales<Model>) {
                const double scale = work_.scale[a];
                none |= scale > 0.0 && curvature * scale * scale < undetermined_information * unit;
            }
            if (none) {
                undetermined_ = true;
                continue;
            }
            work_.candidates[static_cast<std::size_t>(count++)] = k;
        }
        candidates_ = count;
        if (not_finite_) return 0;
        const index_t* const candidates = work_.candidates.data();
        loop_detail::sub_matrix(work_.h, n, candidates, count, work_.h_moving);
        const index_t kept = drop_dependent(work_.h_moving, count, work_.dropped.data(), work_.solve_scratch);
        index_t moving = 0;
        for (index_t i = 0; i < count; ++i) {
            if (!work_.dropped[static_cast<std::size_t>(i)]) work_.moving[static_cast<std::size_t>(moving++)] = candidates[i];
        }
        if (kept < count) {
            undetermined_ = true;
            loop_detail::sub_matrix(work_.h, n, work_.moving.data(), moving, work_.h_moving);
        }
        for (index_t i = 0; i < moving; ++i) work_.g_moving[i] = work_.g[work_.moving[static_cast<std::size_t>(i)]];
        return moving;
    }

    // The decrease of the objective that the Gauss-Newton step over the
    // moving parameters predicts, g^T H^-1 g; first leaves out a parameter
    // at a bound that this step pushes outward (and solves again), so that
    // the step is one the bounds allow. `moving` shrinks accordingly.
    [[gnu::always_inline]] inline double predicted_decrease(index_t& moving) {
        index_t* const pick = work_.moving.data();
        const index_t* const variable = work_.variable.data();
        for (;;) {
            if (moving == 0) return 0.0;
            if (!damped_step(work_.h_moving, work_.g_moving, moving, 0.0, work_.step, work_.solve_scratch)) {
                return INFINITY;
            }
            index_t kept = 0;
            for (index_t i = 0; i < moving; ++i) {
                const index_t a = variable[pick[i]];
                const double s = work_.step[i];
                const bool outward = (theta_[a] <= lower_[a] && s < 0.0) || (theta_[a] >= upper_[a] && s > 0.0);
                if (!outward) pick[kept++] = pick[i];
            }
            if (kept == moving) break;
            moving = kept;
            loop_detail::sub_matrix(work_.h, variables_, pick, moving, work_.h_moving);
            for (index_t i = 0; i < moving; ++i) work_.g_moving[i] = work_.g[pick[i]];
        }
        double decrease = 0.0;
        for (index_t i = 0; i < moving; ++i) decrease -= work_.g_moving[i] * work_.step[i];
        return decrease;
    }

    // One Jacobian evaluation and the steps tried from it.
    End iterate() {
        const index_t* const variable = work_.variable.data();
        linearise(variable, variables_, false);
        index_t moving = select(true);
        const double decrease = predicted_decrease(moving);
        if (moving == 0) return End::converged;  // nothing can move
        if (std::isfinite(F_) && decrease <= settings_.tolerance * std::fmax(1.0, F_)) return End::converged;
        const index_t* const pick = work_.moving.data();

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
            // bin centre) is tried again cut where the model's slope changes.
            if (!accepted && model_.cut_step(theta_, work_.trial)) accepted = try_trial();
            if (accepted) {
                lambda_ = std::fmax(lambda_ / damping_factor, min_damping);
                return End::next_iteration;
            }
            if ((lambda_ *= damping_factor) > max_damping) return End::stalled;
        }
    }

    // Evaluates work.trial; takes it when it lowers the objective.
    bool try_trial() {
        model_.template evaluate<V>(work_.trial, 1 - slot_);
        const double F_trial = objective_at(1 - slot_);
        if (!(F_trial < F_)) return false;
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
    index_t candidates_ = 0;
    bool undetermined_ = false;
    bool not_finite_ = false;
    int slot_ = 0;
    double F_ = NAN;
    double lambda_ = initial_damping;
    std::int64_t iterations_ = 0;
};

// A converged row of a model with kinks: each start the model proposes on
// the other side of a kink near the result (a line just below a bin centre
// tried just above it) is fitted in turn, within what is left of
// max_iterations, and the lowest converged objective kept. Then the
// covariance at the result.
template <class V, class Model>
RowOutcome with_alternatives(Model& model, const Observations& data, const double* lower, const double* upper,
                             double* theta, double* covariance, const Settings& settings, FitWork& work,
                             const StopCheck& stop, double objective, std::int64_t iterations) {
    const index_t P = model.parameters();
    double* const other = work.alternative;
    for (index_t i = 0; i < model.alternatives(); ++i) {
        if (iterations >= settings.max_iterations) break;
        std::memcpy(other, theta, static_cast<std::size_t>(P) * sizeof(double));
        if (!model.alternative(i, theta, other)) continue;
        bool differs = false;
        for (index_t a = 0; a < P; ++a) differs |= loop_detail::clamp(other[a], lower[a], upper[a]) != theta[a];
        if (!differs) continue;
        Settings rest = settings;
        rest.max_iterations = settings.max_iterations - iterations;
        DampedLoop<V, Model> loop(model, data, lower, upper, other, rest, work, stop);
        const std::int32_t status = loop.run();
        iterations += loop.iterations();
        if (status == converged && loop.objective_value() < objective) {
            std::memcpy(theta, other, static_cast<std::size_t>(P) * sizeof(double));
            objective = loop.objective_value();
        }
    }
    // The model evaluated at the result again, for its covariance.
    Settings none = settings;
    none.max_iterations = 0;
    DampedLoop<V, Model> at_result(model, data, lower, upper, theta, none, work, stop);
    at_result.run();
    return {objective, iterations, at_result.covariance(covariance, converged)};
}

// Fits one row. theta[P] holds the start and receives the result; lower[P]
// and upper[P] are the bounds (lower <= upper, checked by the caller);
// covariance[P*P] receives the covariance. `stop` is asked between
// iterations.
template <class V, class Model>
[[gnu::always_inline]] inline RowOutcome fit_row(Model& model, const Observations& data, const double* lower,
                                                 const double* upper, double* theta, double* covariance,
                                                 const Settings& settings, FitWork& work, const StopCheck& stop) {
    DampedLoop<V, Model> loop(model, data, lower, upper, theta, settings, work, stop);
    const std::int32_t status = loop.run();
    if constexpr (HasAlternatives<Model>) {
        if (status == converged && model.alternatives() > 0) {
            return with_alternatives<V>(model, data, lower, upper, theta, covariance, settings, work, stop,
                                        loop.objective_value(), loop.iterations());
        }
    }
    return {loop.objective_value(), loop.iterations(), loop.covariance(covariance, status)};
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
    static double bytes(index_t P, index_t m) noexcept { return 8.0 * static_cast<double>(2 * m + 2 * P); }
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

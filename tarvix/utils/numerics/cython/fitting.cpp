// tarvix.utils.numerics.cython.fitting: Poisson and least-squares fits of
// peaks, one spectrum (or region) per row of a stack, with the covariance
// of the parameters, the peaks' areas and their errors.
//
// Every row is fitted alone, in order, by the same code: row s of a result
// is bit for bit what Y[s] alone gives. The model, the objective, the small
// solves and the damped loop are kernels (kernels/fit_*.hpp); this file
// checks the arguments, lays out the rows and makes the results.

#include "frame/args.hpp"
#include "frame/arrays.hpp"
#include "frame/buffer.hpp"
#include "frame/checks.hpp"
#include "frame/errors.hpp"
#include "frame/interrupt.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "fitting_docs.hpp"  // generated from fitting.pyi
#include "kernels/dispatch.hpp"
#include "frame/csr.hpp"
#include "kernels/fit_folded_model.hpp"
#include "kernels/fit_loop.hpp"
#include "kernels/fit_peaks_model.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

namespace kf = kernels::fit;

// --- FitResult, the named tuple every fit returns.

PyStructSequence_Field fit_result_fields[] = {
    {"params", "(S, P) the fitted parameters"},
    {"covariance", "(S, P, P) the inverse information matrix over the free parameters (0 for fixed ones)"},
    {"objective", "(S,) the Poisson deviance or chi-square at the optimum"},
    {"iterations", "(S,) int64, Jacobian evaluations"},
    {"status", "(S,) int32: 0 converged, 1 not converged (max_iterations reached or no finite objective), "
               "2 information not finite, 3 invalid row, 4 converged with parameters the data do not determine"},
    {"areas", "(S, K) each peak's area"},
    {"area_errors", "(S, K) the standard errors of the areas"},
    {nullptr, nullptr},
};

PyStructSequence_Desc fit_result_description = {
    "tarvix.utils.numerics.cython.fitting.FitResult",
    "The result of a fit: params, covariance, objective, iterations, status, areas, area_errors.",
    fit_result_fields,
    7,
};

PyTypeObject* fit_result_type = nullptr;  // made once, kept for the life of the process

int add_fit_result(PyObject* module) {
    if (fit_result_type == nullptr) {
        fit_result_type = PyStructSequence_NewType(&fit_result_description);
        if (fit_result_type == nullptr) return -1;
    }
    return PyModule_AddObjectRef(module, "FitResult", reinterpret_cast<PyObject*>(fit_result_type));
}

// The result arrays of S rows, P parameters and K areas.
struct FitResults {
    frame::Ref params, covariance, objective, iterations, status, areas, area_errors;

    // The arrays, or false with the exception set: MemoryError saying the
    // bytes of all seven when one of them finds no room.
    bool allocate(Py_ssize_t S, Py_ssize_t P, Py_ssize_t K) {
        params = frame::new_uninitialised_array<double>(S, P);
        covariance = params ? frame::new_uninitialised_array<double>(S, P, P) : frame::Ref();
        objective = covariance ? frame::new_uninitialised_array<double>(S) : frame::Ref();
        iterations = objective ? frame::new_uninitialised_array<std::int64_t>(S) : frame::Ref();
        status = iterations ? frame::new_uninitialised_array<std::int32_t>(S) : frame::Ref();
        areas = status ? frame::new_uninitialised_array<double>(S, K) : frame::Ref();
        area_errors = areas ? frame::new_uninitialised_array<double>(S, K) : frame::Ref();
        if (area_errors) return true;
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            const double s = static_cast<double>(S), p = static_cast<double>(P), k = static_cast<double>(K);
            frame::raise_no_room("the results", 8.0 * s * (p + p * p + 2.0 + 2.0 * k) + 4.0 * s);
        }
        return false;
    }

    kf::StackOutputs outputs() const {
        return {frame::array_data<double>(params),        frame::array_data<double>(covariance),
                frame::array_data<double>(objective),     frame::array_data<std::int64_t>(iterations),
                frame::array_data<std::int32_t>(status),  frame::array_data<double>(areas),
                frame::array_data<double>(area_errors)};
    }

    // The FitResult holding the arrays (new reference), or nullptr.
    PyObject* to_tuple() {
        frame::Ref result = frame::Ref::steal(PyStructSequence_New(fit_result_type));
        if (!result) return nullptr;
        frame::Ref* fields[] = {&params, &covariance, &objective, &iterations, &status, &areas, &area_errors};
        for (Py_ssize_t i = 0; i < 7; ++i) PyStructSequence_SetItem(result.get(), i, fields[i]->release());
        return result.release();
    }
};

// --- Arguments both fits take.

// An array of one row for all, or one row per spectrum: 1-D or 2-D float64.
struct RowsArgument {
    frame::HeldBuffer buffer;
    int ndim = 0;  // 0 for None

    bool acquire(PyObject* object, const char* name) {
        if (object == Py_None) return buffer.acquire_array(object, frame::float64_t, 1);
        ndim = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object));
        if (ndim != 1 && ndim != 2) {
            PyErr_Format(PyExc_ValueError, "%s: Buffer has wrong number of dimensions (expected 1 or 2, got %d)",
                         name, ndim);
            return false;
        }
        return buffer.acquire_argument(name, object, frame::float64_t, ndim);
    }
    bool none() const noexcept { return ndim == 0; }
    Py_ssize_t rows() const noexcept { return ndim == 2 ? buffer.extent(0) : 1; }
    Py_ssize_t length() const noexcept { return buffer.extent(ndim == 2 ? 1 : 0); }

    // Row s of S: the array's own row, or its one row for all (row stride 0).
    kernels::Strided2<const double> view(Py_ssize_t S) const noexcept {
        if (none()) return {};
        if (ndim == 2) return buffer.view2<const double>();
        const auto row = buffer.view1<const double>();
        return {row.data, S, row.size, 0, row.stride};
    }

    // Shape (columns,) or (S, columns), else ValueError naming both shapes.
    bool check_shape(const char* name, Py_ssize_t S, Py_ssize_t columns, const char* other_name,
                     const frame::HeldBuffer& other, int other_ndim, const char* need) const {
        if (none() || (length() == columns && (ndim == 1 || rows() == S))) return true;
        frame::raise_shape_mismatch(name, buffer, ndim, other_name, other, other_ndim, need);
        return false;
    }
};

// Y, params and the bounds, with the loop's settings.
struct CommonInputs {
    frame::HeldBuffer Y;
    RowsArgument params, lower, upper;
    kf::Settings settings;

    Py_ssize_t spectra() const noexcept { return Y.extent(0); }
    Py_ssize_t channels() const noexcept { return Y.extent(1); }
    Py_ssize_t parameters() const noexcept { return params.length(); }

    bool take_settings(PyObject* max_iterations, PyObject* tolerance) {
        int iterations = 200;
        if ((max_iterations && !frame::to_index_int32(max_iterations, "max_iterations", iterations)) ||
            (tolerance && !frame::to_double(tolerance, "tolerance", settings.tolerance))) {
            return false;
        }
        settings.max_iterations = iterations;
        return true;
    }

    // The values and shapes, after every buffer is held.
    bool check() const {
        if (settings.max_iterations < 0) {
            PyErr_Format(PyExc_ValueError, "max_iterations is %lld; it must be >= 0",
                         static_cast<long long>(settings.max_iterations));
            return false;
        }
        if (std::isnan(settings.tolerance)) {
            PyErr_SetString(PyExc_ValueError, "tolerance is NaN; it must be a number (0 runs to max_iterations)");
            return false;
        }
        const Py_ssize_t S = spectra();
        const Py_ssize_t P = parameters();
        if (!params.check_shape("params", S, P, "Y", Y, 2, "a 2-D params needs one row per spectrum of Y")) {
            return false;
        }
        const char* const need = "the bounds need the shape of params, (P,) or (S, P)";
        return lower.check_shape("lower", S, P, "params", params.buffer, params.ndim, need) &&
               upper.check_shape("upper", S, P, "params", params.buffer, params.ndim, need) && check_bounds();
    }

    // lower <= upper everywhere, neither NaN.
    bool check_bounds() const {
        const Py_ssize_t P = parameters();
        const Py_ssize_t rows = std::max(lower.none() ? 1 : lower.rows(), upper.none() ? 1 : upper.rows());
        const auto low = lower.view(rows);
        const auto high = upper.view(rows);
        for (Py_ssize_t s = 0; s < rows; ++s) {
            for (Py_ssize_t a = 0; a < P; ++a) {
                const double l = lower.none() ? -INFINITY : low(s, a);
                const double u = upper.none() ? INFINITY : high(s, a);
                // Equal bounds hold a parameter at their value, which must
                // be a number.
                if (l <= u && (l != u || std::isfinite(l))) continue;
                frame::Ref l_object = frame::Ref::steal(PyFloat_FromDouble(l));
                frame::Ref u_object = frame::Ref::steal(PyFloat_FromDouble(u));
                if (!l_object || !u_object) return false;
                PyErr_Format(PyExc_ValueError,
                             "the bounds of row %zd, parameter %zd are inconsistent: lower = %R, upper = %R "
                             "(lower must not be above upper, neither may be NaN, and equal bounds must be "
                             "finite)",
                             s, a, l_object.get(), u_object.get());
                return false;
            }
        }
        return true;
    }

    kf::StackInputs stack(const RowsArgument& weights) const {
        const Py_ssize_t S = spectra();
        return {Y.view2<const double>(), params.view(S), lower.view(S), upper.view(S), weights.view(S)};
    }
};

// How a copy of the basis is laid out: column by column (basis_c[i] at
// c * rows + i) or row by row (at i * q + c).
enum class BasisLayout { columns, rows };

// The (rows, q) basis, finite, copied in `layout`. The entries are read
// row by row, so the first that is not finite in C order is the one named.
bool copy_basis(const frame::HeldBuffer& background, BasisLayout layout, std::vector<double>& out) {
    const auto view = background.view2<const double>();
    if (!frame::allocate_or_raise("a copy of background", 8.0 * static_cast<double>(view.rows * view.columns),
                                  [&] { out.resize(static_cast<std::size_t>(view.rows * view.columns)); })) {
        return false;
    }
    const bool by_rows = layout == BasisLayout::rows;
    for (Py_ssize_t i = 0; i < view.rows; ++i) {
        for (Py_ssize_t c = 0; c < view.columns; ++c) {
            const double value = view(i, c);
            if (!std::isfinite(value)) {
                frame::Ref value_object = frame::Ref::steal(PyFloat_FromDouble(value));
                if (value_object) {
                    PyErr_Format(PyExc_ValueError, "background[%zd, %zd] = %R is not finite", i, c,
                                 value_object.get());
                }
                return false;
            }
            out[static_cast<std::size_t>(by_rows ? i * view.columns + c : c * view.rows + i)] = value;
        }
    }
    return true;
}

// The axis, the background columns and the parameters' split into items
// (peaks or lines) and coefficients, as both fits check them: ValueError
// naming what disagrees. `items` names the items and `item_parameters` what
// each holds, as the messages say them.
struct ModelLayout {
    Py_ssize_t axis_length;    // what x must hold
    const char* axis_need;     // why, for the message
    const char* background_need;
    Py_ssize_t per_item;       // parameters per item
    const char* items;         // "peaks"
    const char* item_parameters;  // "A, mu, variance per peak"

    bool check(const frame::HeldBuffer& x, const frame::HeldBuffer& Y, const frame::HeldBuffer& background,
               bool has_background, Py_ssize_t P) const {
        const Py_ssize_t q = has_background ? background.extent(1) : 0;
        if (x.extent(0) != axis_length) {
            frame::raise_shape_mismatch("x", x, 1, "Y", Y, 2, axis_need);
            return false;
        }
        if (has_background && background.extent(0) != Y.extent(1)) {
            frame::raise_shape_mismatch("background", background, 2, "Y", Y, 2, background_need);
            return false;
        }
        if (P < q || (P - q) % per_item != 0) {
            PyErr_Format(PyExc_ValueError,
                         "params has %zd entries per row and background %zd columns, which leaves %zd for the "
                         "%s: that must be a multiple of %zd (%s)",
                         P, q, P - q, items, per_item, item_parameters);
            return false;
        }
        return true;
    }
};

// Fits the stack with `model` at the kernel level, without the lock and
// interruptible between rows, after `prepare.template operator()<V>(stop)`
// (the model's own set-up, also without the lock and interruptible; false
// when a signal ended it). The results, or nullptr with the exception set.
template <class Model, class Prepare>
PyObject* run_fits(Model& model, const CommonInputs& in, const RowsArgument& weights, FitResults& results,
                   Prepare&& prepare) {
    const Py_ssize_t P = in.parameters();
    const Py_ssize_t m = in.channels();
    kf::FitWork work;
    kf::RowWork row;
    if (!frame::allocate_or_raise("the work arrays of the fits", kf::FitWork::bytes(P, m) + kf::RowWork::bytes(P, m), [&] {
            work.allocate(P, m);
            row.allocate(P, m);
        })) {
        return nullptr;
    }
    const kf::StackInputs stack = in.stack(weights);
    const kf::StackOutputs outputs = results.outputs();
    bool interrupted = false;
    {
        frame::InterruptibleSection section;
        const kernels::StopCheck stop = section.check();
        kernels::dispatch([&]<class V>() {
            if (prepare.template operator()<V>(stop)) {
                kf::fit_stack<V>(model, stack, outputs, in.settings, work, row, stop);
            }
        });
        interrupted = section.interrupted();
    }
    if (interrupted) return nullptr;
    return results.to_tuple();
}

// --- fit_peaks_cy(x, Y, params, background=None, lower=None, upper=None, steps=False,
//                  poisson=True, weights=None, binned=False, max_iterations=200, tolerance=1e-10,
//                  tails=0)

const frame::Signature<13> peaks_signature{"fit_peaks_cy",
                                           {"x", "Y", "params", "background", "lower", "upper", "steps",
                                            "poisson", "weights", "binned", "max_iterations", "tolerance",
                                            "tails"},
                                           3};

// What a peak holds, by steps and tails, as the layout message says it.
const char* peak_parameters_text(bool steps, int tails) {
    static const char* const texts[2][3] = {
        {"A, mu, variance per peak", "A, mu, variance, t1, tau1 per peak",
         "A, mu, variance, t1, tau1, t2, tau2 per peak"},
        {"A, mu, variance, h per peak", "A, mu, variance, h, t1, tau1 per peak",
         "A, mu, variance, h, t1, tau1, t2, tau2 per peak"},
    };
    return texts[steps ? 1 : 0][tails];
}

PyObject* fit_peaks_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("fit_peaks_cy", [&]() -> PyObject* {
        std::array<PyObject*, 13> v;
        if (!peaks_signature.parse(args, nargs, kwnames, v)) return nullptr;
        CommonInputs in;
        int tails = 0;
        if (!in.take_settings(v[10], v[11])) return nullptr;
        if (v[12] && !PyIndex_Check(v[12])) {
            PyErr_Format(PyExc_TypeError, "tails must be an integer (0, 1 or 2), not %.200s", Py_TYPE(v[12])->tp_name);
            return nullptr;
        }
        if (v[12] && !frame::to_int32(v[12], tails)) return nullptr;
        if (tails < 0 || tails > 2) {
            PyErr_Format(PyExc_ValueError, "tails is %d; it must be 0, 1 or 2 (low-energy tails per peak)", tails);
            return nullptr;
        }
        PyObject* const none = Py_None;
        for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}) {
            PyObject* const object = v[i] ? v[i] : none;
            const char* const name = peaks_signature.names[i].text();
            const bool flag = i == 6 || i == 7 || i == 9;
            if (!(flag ? frame::check_flag(object, name) : frame::check_ndarray(object, name))) return nullptr;
        }
        const bool steps = v[6] == Py_True;
        const bool poisson = v[7] == nullptr || v[7] == Py_True;
        const bool binned = v[9] == Py_True;
        frame::HeldBuffer x, background;
        RowsArgument weights;
        if (!x.acquire_argument("x", v[0], frame::float64_t, 1) ||
            !in.Y.acquire_argument("Y", v[1], frame::float64_t, 2) || !in.params.acquire(v[2], "params") ||
            !background.acquire_argument("background", v[3] ? v[3] : none, frame::float64_t, 2) ||
            !in.lower.acquire(v[4] ? v[4] : none, "lower") || !in.upper.acquire(v[5] ? v[5] : none, "upper") ||
            !weights.acquire(v[8] ? v[8] : none, "weights") || !frame::refuse_none(v[0], "x") ||
            !frame::refuse_none(v[1], "Y") || !frame::refuse_none(v[2], "params")) {
            return nullptr;
        }

        const Py_ssize_t S = in.spectra();
        const Py_ssize_t m = in.channels();
        const Py_ssize_t P = in.parameters();
        const bool has_background = v[3] && v[3] != Py_None;
        const Py_ssize_t q = has_background ? background.extent(1) : 0;
        const Py_ssize_t per_peak = (steps ? 4 : 3) + 2 * tails;
        const ModelLayout layout{m + (binned ? 1 : 0),
                                 binned ? "with binned=True x holds the Y.shape[1] + 1 channel edges"
                                        : "x holds the Y.shape[1] channel centres (binned=False)",
                                 "background needs one row per channel, Y.shape[1]", per_peak, "peaks",
                                 peak_parameters_text(steps, tails)};
        if (!layout.check(x, in.Y, background, has_background, P)) return nullptr;
        if (!poisson || weights.none()) {
            if (!weights.check_shape("weights", S, m, "Y", in.Y, 2,
                                     "weights need shape (Y.shape[1],) or that of Y")) {
                return nullptr;
            }
        } else {
            PyErr_SetString(PyExc_ValueError,
                            "weights are for least squares (poisson=False); a Poisson fit weighs each channel "
                            "by its mean");
            return nullptr;
        }
        if (!in.check()) return nullptr;
        std::vector<double> axis, basis;
        if (!frame::ascending_copy("x", x, axis) || (has_background && !copy_basis(background, BasisLayout::columns, basis))) {
            return nullptr;
        }

        in.settings.estimator = poisson ? kf::Estimator::poisson : kf::Estimator::least_squares;
        const kf::PeakShape shape{(P - q) / per_peak, q, m, steps, binned, tails};
        FitResults results;
        if (!results.allocate(S, P, shape.peaks)) return nullptr;
        std::optional<kf::PeakModel> model;
        if (!frame::allocate_or_raise("the peak model's arrays", kf::PeakModel::bytes(shape),
                       [&] { model.emplace(shape, axis.data(), basis.data()); })) {
            return nullptr;
        }
        return run_fits(*model, in, weights, results, []<class V>(const kernels::StopCheck&) { return true; });
    });
}

// --- fit_folded_cy(x, Y, params, offsets, indices, values, background=None, lower=None,
//                   upper=None, max_iterations=200, tolerance=1e-10)

const frame::Signature<11> folded_signature{"fit_folded_cy",
                                            {"x", "Y", "params", "offsets", "indices", "values", "background",
                                             "lower", "upper", "max_iterations", "tolerance"},
                                            6};

PyObject* fit_folded_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("fit_folded_cy", [&]() -> PyObject* {
        std::array<PyObject*, 11> v;
        if (!folded_signature.parse(args, nargs, kwnames, v)) return nullptr;
        CommonInputs in;
        if (!in.take_settings(v[9], v[10])) return nullptr;
        PyObject* const none = Py_None;
        for (int i = 0; i < 9; ++i) {
            if (!frame::check_ndarray(v[i] ? v[i] : none, folded_signature.names[i].text())) return nullptr;
        }
        frame::HeldBuffer x, background;
        frame::HeldResponse response{frame::strict_response_finite_values};
        if (!x.acquire_argument("x", v[0], frame::float64_t, 1) ||
            !in.Y.acquire_argument("Y", v[1], frame::float64_t, 2) || !in.params.acquire(v[2], "params") ||
            !response.acquire(v[3], v[4], v[5]) ||
            !background.acquire_argument("background", v[6] ? v[6] : none, frame::float64_t, 2) ||
            !in.lower.acquire(v[7] ? v[7] : none, "lower") || !in.upper.acquire(v[8] ? v[8] : none, "upper") ||
            !frame::refuse_none(v[0], "x") || !frame::refuse_none(v[1], "Y") || !frame::refuse_none(v[2], "params")) {
            return nullptr;
        }

        const Py_ssize_t S = in.spectra();
        const Py_ssize_t n = in.channels();
        const Py_ssize_t P = in.parameters();
        const bool has_background = v[6] && v[6] != Py_None;
        const Py_ssize_t q = has_background ? background.extent(1) : 0;
        const ModelLayout layout{n, "x holds the source axis, one energy per response row, Y.shape[1]",
                                 "background needs one row per source bin, Y.shape[1]", 2, "lines",
                                 "A, E per line"};
        if (!layout.check(x, in.Y, background, has_background, P)) return nullptr;
        if (!in.check()) return nullptr;
        bool negative = false;
        if (!response.check(n, n, "Y.shape[1]", negative)) return nullptr;
        std::vector<double> axis, basis;
        if (!frame::ascending_copy("x", x, axis) || (has_background && !copy_basis(background, BasisLayout::rows, basis))) {
            return nullptr;
        }

        const Py_ssize_t lines = (P - q) / 2;
        FitResults results;
        if (!results.allocate(S, P, lines)) return nullptr;
        const kf::ResponseRows rows{response.csr(), n};
        const bool plain = !negative && rows.csr.indices.unit_stride() && rows.csr.values.unit_stride();
        std::vector<double> folded;
        kf::FoldWork fold;
        std::optional<kf::FoldedModel> model;
        const double model_bytes =
            8.0 * static_cast<double>(q * n) + kf::FoldedModel::bytes(lines, n) + kf::FoldWork::bytes(n, q);
        if (!frame::allocate_or_raise("the folded model's arrays", model_bytes, [&] {
                folded.resize(static_cast<std::size_t>(q * n));
                fold.allocate(n, q);
                model.emplace(lines, q, axis.data(), rows, folded.data());
            })) {
            return nullptr;
        }
        const RowsArgument no_weights;
        return run_fits(*model, in, no_weights, results, [&]<class V>(const kernels::StopCheck& stop) {
            return kf::fold_basis<V>(rows, plain, basis.data(), q, fold, folded.data(), stop);
        });
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"fit_peaks_cy", fit_peaks_cy, fit_peaks_cy_doc},
    {"fit_folded_cy", fit_folded_cy, fit_folded_cy_doc},
};

constexpr frame::ModuleDescription module_description{"fitting", "tarvix.utils.numerics.cython.fitting",
                                                      functions, add_fit_result, module_doc};

}  // namespace

PyMODINIT_FUNC PyInit_fitting() { return frame::init_module(module_description); }

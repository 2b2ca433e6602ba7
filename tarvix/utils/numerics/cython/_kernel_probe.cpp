// tarvix.utils.numerics.cython._kernel_probe: kernel-layer routines driven
// directly, for the tests. It tells which kernel level the build runs and
// exposes routines that the public functions use only inside larger jobs
// (the vector exp, the searches), so that the tests can hold each of them
// against its reference on inputs of their own. Not part of the package's
// interface.

#include "frame/args.hpp"
#include "frame/arrays.hpp"
#include "frame/buffer.hpp"
#include "frame/csr.hpp"
#include "frame/errors.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/erfc.hpp"
#include "kernels/erfcx.hpp"
#include "kernels/exp.hpp"
#include "kernels/fit_peaks_model.hpp"
#include "kernels/ml_em_converge.hpp"
#include "kernels/gaussian_model.hpp"
#include "kernels/search.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using frame::Ref;

// A one-dimensional float64 ndarray argument, held.
bool take_values(PyObject* object, const char* name, frame::HeldBuffer& buffer) {
    return frame::check_ndarray(object, name) && buffer.acquire_array(object, frame::float64_t, 1) &&
           frame::refuse_none(object, name);
}

// --- kernel_level(), cpu_level(): "generic", "avx2" or "avx512".

const frame::Signature<0> no_arguments_signature{"kernel_level", {}};

PyObject* kernel_level(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("kernel_level", [&]() -> PyObject* {
        std::array<PyObject*, 0> none;
        if (!no_arguments_signature.parse(args, nargs, kwnames, none)) return nullptr;
        return PyUnicode_FromString(kernels::level_name(kernels::kernel_level()));
    });
}

const frame::Signature<0> cpu_level_signature{"cpu_level", {}};

PyObject* cpu_level(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("cpu_level", [&]() -> PyObject* {
        std::array<PyObject*, 0> none;
        if (!cpu_level_signature.parse(args, nargs, kwnames, none)) return nullptr;
        return PyUnicode_FromString(kernels::level_name(kernels::cpu_level()));
    });
}

// --- exp_array(x): kernels::exp_array over a contiguous copy of x.

const frame::Signature<1> exp_signature{"exp_array", {"x"}};

PyObject* exp_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("exp_array", [&]() -> PyObject* {
        std::array<PyObject*, 1> v;
        frame::HeldBuffer x;
        if (!exp_signature.parse(args, nargs, kwnames, v) || !take_values(v[0], "x", x)) return nullptr;
        const auto values = x.view1<const double>();
        std::vector<double> in(static_cast<std::size_t>(values.size));
        for (Py_ssize_t i = 0; i < values.size; ++i) in[static_cast<std::size_t>(i)] = values[i];
        kernels::dispatch([&]<class V>() { kernels::exp_array<V>(in.data(), in.data(), values.size); });
        return frame::new_array_from(in.data(), in.size()).release();
    });
}

// A contiguous copy of a one-dimensional float64 array argument.
bool copy_values(PyObject* object, const char* name, std::vector<double>& values) {
    frame::HeldBuffer buffer;
    if (!take_values(object, name, buffer)) return false;
    const auto view = buffer.view1<const double>();
    values.resize(static_cast<std::size_t>(view.size));
    for (Py_ssize_t i = 0; i < view.size; ++i) values[static_cast<std::size_t>(i)] = view[i];
    return true;
}

// --- erfc_array(x, width=0), erfcx_array(x, width=0): kernels::erfc_array
// and kernels::erfcx_array over a copy of x, at the kernel level, or with
// vectors of `width` lanes (1, 4 or 8: the generic, AVX2 and AVX-512
// versions, whatever the build's level) when the CPU runs them, so that one
// run can compare them.

template <bool scaled>
PyObject* special_array(const frame::Signature<2>& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    std::array<PyObject*, 2> v;
    std::vector<double> values;
    int width = 0;
    if (!signature.parse(args, nargs, kwnames, v) || (v[1] && !frame::to_int32(v[1], width)) ||
        !copy_values(v[0], "x", values)) {
        return nullptr;
    }
    const kernels::Level cpu = kernels::cpu_level();
    const bool runs = width == 0 || width == 1 || (width == 4 && cpu >= kernels::Level::avx2) ||
                      (width == 8 && cpu >= kernels::Level::avx512);
    if (!runs) {
        PyErr_SetString(PyExc_ValueError, "width must be 0, 1, 4 or 8, and one this CPU runs");
        return nullptr;
    }
    const auto count = static_cast<kernels::index_t>(values.size());
    const auto kernel = [&]<class V>() {
        if constexpr (scaled) {
            kernels::erfcx_array<V>(values.data(), values.data(), count);
        } else {
            kernels::erfc_array<V>(values.data(), values.data(), count);
        }
    };
    switch (width) {
        case 1: kernels::dispatch_detail::run_with<kernels::simd::Lanes<1>>(kernel); break;
        case 4: kernels::dispatch_detail::run_with<kernels::simd::Lanes<4>>(kernel); break;
        case 8: kernels::dispatch_detail::run_with<kernels::simd::Lanes<8>>(kernel); break;
        default: kernels::dispatch(kernel);
    }
    return frame::new_array_from(values.data(), values.size()).release();
}

const frame::Signature<2> erfc_signature{"erfc_array", {"x", "width"}, 1};

PyObject* erfc_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("erfc_array",
                         [&]() -> PyObject* { return special_array<false>(erfc_signature, args, nargs, kwnames); });
}

const frame::Signature<2> erfcx_signature{"erfcx_array", {"x", "width"}, 1};

PyObject* erfcx_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("erfcx_array",
                         [&]() -> PyObject* { return special_array<true>(erfcx_signature, args, nargs, kwnames); });
}

// --- peak_model(x, theta, steps, binned, tails, width=0): the peak model of
// fit_peaks_cy without background at the peak parameters theta[P] over x
// (centres, or edges with binned): (mean[m], jacobian[P, m]), at the kernel
// level or at `width` lanes as erfc_array takes it.

const frame::Signature<6> peak_model_signature{"peak_model", {"x", "theta", "steps", "binned", "tails", "width"}, 5};

PyObject* peak_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("peak_model", [&]() -> PyObject* {
        std::array<PyObject*, 6> v;
        std::vector<double> x, theta;
        int tails = 0, width = 0;
        if (!peak_model_signature.parse(args, nargs, kwnames, v) || !copy_values(v[0], "x", x) ||
            !copy_values(v[1], "theta", theta) || !frame::check_flag(v[2], "steps") ||
            !frame::check_flag(v[3], "binned") || !frame::to_int32(v[4], tails) ||
            (v[5] && !frame::to_int32(v[5], width))) {
            return nullptr;
        }
        const bool steps = v[2] == Py_True, binned = v[3] == Py_True;
        kernels::fit::PeakShape shape;
        shape.steps = steps;
        shape.binned = binned;
        shape.tails = tails;
        shape.m = static_cast<kernels::index_t>(x.size()) - (binned ? 1 : 0);
        const auto P = static_cast<kernels::index_t>(theta.size());
        const kernels::Level cpu = kernels::cpu_level();
        const bool runs = width == 0 || width == 1 || (width == 4 && cpu >= kernels::Level::avx2) ||
                          (width == 8 && cpu >= kernels::Level::avx512);
        if (tails < 0 || tails > 2 || shape.m < 1 || P % shape.per_peak() != 0 || !runs) {
            PyErr_SetString(PyExc_ValueError, "inconsistent x, theta, tails or width");
            return nullptr;
        }
        shape.peaks = P / shape.per_peak();
        kernels::fit::PeakModel model(shape, x.data(), nullptr);
        const auto kernel = [&]<class V>() { model.evaluate<V>(theta.data(), 0); };
        switch (width) {
            case 1: kernels::dispatch_detail::run_with<kernels::simd::Lanes<1>>(kernel); break;
            case 4: kernels::dispatch_detail::run_with<kernels::simd::Lanes<4>>(kernel); break;
            case 8: kernels::dispatch_detail::run_with<kernels::simd::Lanes<8>>(kernel); break;
            default: kernels::dispatch(kernel);
        }
        const auto m = static_cast<std::size_t>(shape.m);
        Ref mean = frame::new_array_from(model.mean(0), m);
        Ref jacobian = frame::new_uninitialised_array<double>(P, shape.m);
        if (!mean || !jacobian) return nullptr;
        double* const out = frame::array_data<double>(jacobian);
        for (kernels::index_t a = 0; a < P; ++a) {
            const double* const column = model.column(0, a);
            for (std::size_t i = 0; i < m; ++i) out[static_cast<std::size_t>(a) * m + i] = column[i];
        }
        return PyTuple_Pack(2, mean.get(), jacobian.get());
    });
}

// --- library_erfc(x): std::erfc over a copy of x, for benchmarks.

const frame::Signature<1> library_erfc_signature{"library_erfc", {"x"}};

PyObject* library_erfc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("library_erfc", [&]() -> PyObject* {
        std::array<PyObject*, 1> v;
        std::vector<double> values;
        if (!library_erfc_signature.parse(args, nargs, kwnames, v) || !copy_values(v[0], "x", values)) return nullptr;
        for (double& value : values) value = std::erfc(value);
        return frame::new_array_from(values.data(), values.size()).release();
    });
}

// --- searchsorted(a, key, right, hint=-1): kernels::searchsorted on a
// (side left, or right when `right`), or searchsorted_near from `hint` when
// it is not negative.

const frame::Signature<4> searchsorted_signature{"searchsorted", {"a", "key", "right", "hint"}, 3};

PyObject* searchsorted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("searchsorted", [&]() -> PyObject* {
        std::array<PyObject*, 4> v;
        frame::HeldBuffer a;
        double key = 0.0;
        int hint = -1;
        if (!searchsorted_signature.parse(args, nargs, kwnames, v) || !frame::to_double(v[1], key) ||
            (v[3] && !frame::to_int32(v[3], hint)) || !frame::check_flag(v[2], "right") ||
            !take_values(v[0], "a", a)) {
            return nullptr;
        }
        const auto axis = a.view1<const double>();
        const bool right = v[2] == Py_True;
        if (hint > axis.size) hint = static_cast<int>(axis.size);
        kernels::index_t found;
        if (hint < 0) {
            found = right ? kernels::searchsorted<kernels::Side::right>(axis, axis.size, key)
                          : kernels::searchsorted<kernels::Side::left>(axis, axis.size, key);
        } else {
            found = right ? kernels::searchsorted_near<kernels::Side::right>(axis, axis.size, key, hint)
                          : kernels::searchsorted_near<kernels::Side::left>(axis, axis.size, key, hint);
        }
        return PyLong_FromSsize_t(found);
    });
}

// --- find_index_from_energy(E, a, bisect=False): the linear scan, or the
// bisection that stands in for it on an ascending axis (n for none).

const frame::Signature<3> find_index_signature{"find_index_from_energy", {"E", "a", "bisect"}, 2};

PyObject* find_index_from_energy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("find_index_from_energy", [&]() -> PyObject* {
        std::array<PyObject*, 3> v;
        frame::HeldBuffer a;
        double energy = 0.0;
        if (!find_index_signature.parse(args, nargs, kwnames, v) || !frame::to_double(v[0], energy) ||
            (v[2] && !frame::check_flag(v[2], "bisect")) || !take_values(v[1], "a", a)) {
            return nullptr;
        }
        const auto axis = a.view1<const double>();
        return PyLong_FromSsize_t(v[2] == Py_True ? kernels::bisect_index_from_energy(energy, axis, axis.size)
                                                  : kernels::find_index_from_energy(energy, axis, axis.size));
    });
}

// --- ascending(a): whether a is ascending in NumPy's order (NaN last).

const frame::Signature<1> ascending_signature{"ascending", {"a"}};

PyObject* ascending(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("ascending", [&]() -> PyObject* {
        std::array<PyObject*, 1> v;
        frame::HeldBuffer a;
        if (!ascending_signature.parse(args, nargs, kwnames, v) || !take_values(v[0], "a", a)) return nullptr;
        const auto axis = a.view1<const double>();
        return PyBool_FromLong(kernels::ascending(axis, axis.size));
    });
}

// ---------------------------------------------------------------------------
// The searches of the resampling kernel (kernels/resample.hpp).

// --- find_index_near(E, a, hint): kernels::bisect_index_from_energy_near,
// the index of the first entry of a not below E (n for none) searched from
// `hint` (clamped to [0, n]), compiled at the kernel level as the row
// kernel runs it.

const frame::Signature<3> find_index_near_signature{"find_index_near", {"E", "a", "hint"}};

PyObject* find_index_near(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("find_index_near", [&]() -> PyObject* {
        std::array<PyObject*, 3> v;
        frame::HeldBuffer a;
        double energy = 0.0;
        int hint = 0;
        if (!find_index_near_signature.parse(args, nargs, kwnames, v) || !frame::to_double(v[0], energy) ||
            !frame::to_int32(v[2], hint) || !take_values(v[1], "a", a)) {
            return nullptr;
        }
        const auto axis = a.view1<const double>();
        const kernels::index_t from = std::clamp<kernels::index_t>(hint, 0, axis.size);
        kernels::index_t found = 0;
        kernels::dispatch(
            [&]<class>() { found = kernels::bisect_index_from_energy_near(energy, axis, axis.size, from); });
        return PyLong_FromSsize_t(found);
    });
}

// The run of ML_EM_converge_cy on the arguments (Y, offsets, indices, values,
// sensitivity, tolerance, max_passes), then result(work, history).
template <class Result>
PyObject* probe_converge(const frame::Signature<7>& signature, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Result&& result) {
    std::array<PyObject*, 7> v;
    double tolerance = 0.0;
    int max_passes = 0;
    frame::HeldBuffer Y, sensitivity;
    frame::HeldResponse response;
    if (!signature.parse(args, nargs, kwnames, v) || !frame::to_double(v[5], tolerance) ||
        !frame::to_int32(v[6], max_passes) || !Y.acquire_array(v[0], frame::float64_t, 2) ||
        !response.acquire(v[1], v[2], v[3]) || !sensitivity.acquire_array(v[4], frame::float64_t, 1)) {
        return nullptr;
    }
    const Py_ssize_t spectra = Y.extent(0);
    const Py_ssize_t n = Y.extent(1);
    bool negative = false;
    if (!response.check(n, n, "Y.shape[1]", negative) ||
        !frame::check_min_entries("sensitivity", false, sensitivity.extent(0), n, "Y.shape[1]")) {
        return nullptr;
    }
    kernels::ml_em::ConvergeWork work;
    work.allocate(spectra, n);
    std::vector<std::vector<std::pair<long long, double>>> history(static_cast<std::size_t>(spectra));
    work.history = &history;
    std::vector<double> X(static_cast<std::size_t>(spectra * n));
    work.load_divisors(sensitivity.view1<const double>());
    work.source = Y.view2<const double>();
    work.target = {reinterpret_cast<char*>(X.data()), spectra, n, static_cast<Py_ssize_t>(n * sizeof(double)),
                   sizeof(double)};
    kernels::ml_em::converge_stack(response.csr(), work, negative, tolerance, max_passes);
    return result(work, history);
}

// --- converge_history(Y, offsets, indices, values, sensitivity, tolerance, max_passes):
// the run of ML_EM_converge_cy, returning for each spectrum the list of its
// accepted estimates as (pass-equivalents used, objective), the start first.

const frame::Signature<7> history_signature{
    "converge_history", {"Y", "offsets", "indices", "values", "sensitivity", "tolerance", "max_passes"}};

PyObject* converge_history(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("converge_history", [&]() -> PyObject* {
        return probe_converge(history_signature, args, nargs, kwnames, [](const auto& work, const auto& history) -> PyObject* {
            frame::Ref result = frame::Ref::steal(PyList_New(work.spectra));
            if (!result) return nullptr;
            for (Py_ssize_t s = 0; s < work.spectra; ++s) {
                frame::Ref steps = frame::Ref::steal(PyList_New(0));
                if (!steps) return nullptr;
                for (const auto& [halves, ll] : history[static_cast<std::size_t>(s)]) {
                    frame::Ref entry = frame::Ref::steal(Py_BuildValue("(Ld)", halves, ll));
                    if (!entry || PyList_Append(steps.get(), entry.get()) < 0) return nullptr;
                }
                PyList_SET_ITEM(result.get(), s, steps.release());
            }
            return result.release();
        });
    });
}

// --- converge_occupancy(Y, offsets, indices, values, sensitivity, tolerance, max_passes):
// the run of ML_EM_converge_cy, returning (lanes, lane-steps of running
// spectra, lane-steps computed).

const frame::Signature<7> occupancy_signature{
    "converge_occupancy", {"Y", "offsets", "indices", "values", "sensitivity", "tolerance", "max_passes"}};

PyObject* converge_occupancy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("converge_occupancy", [&]() -> PyObject* {
        return probe_converge(occupancy_signature, args, nargs, kwnames, [](const auto& work, const auto&) {
            return Py_BuildValue("(nLL)", work.lanes, work.busy_lane_steps, work.lane_steps);
        });
    });
}

// --- exact_divide(a, b): a / b for each element of a through
// kernels::ExactDivisor at the kernel level, a taken in groups of the
// level's width (the last, ragged one under a mask), as the Gaussian
// kernels divide by a peak's variance.

template <class V>
[[gnu::always_inline]] inline void divide_in_groups(double* values, kernels::index_t count, double b) noexcept {
    using namespace kernels::gaussian_detail;
    const kernels::ExactDivisor<V> divisor(b);
    for_each_group<V>(count, [&](kernels::index_t t, kernels::index_t lanes) KERNELS_INLINE {
        store_group<V>(values + t, lanes, divisor.divide(load_group<V>(values + t, lanes)));
    });
}

const frame::Signature<2> exact_divide_signature{"exact_divide", {"a", "b"}};

PyObject* exact_divide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("exact_divide", [&]() -> PyObject* {
        std::array<PyObject*, 2> v;
        frame::HeldBuffer a;
        double b = 0.0;
        if (!exact_divide_signature.parse(args, nargs, kwnames, v) || !take_values(v[0], "a", a) ||
            !frame::to_double(v[1], b)) {
            return nullptr;
        }
        const auto values = a.view1<const double>();
        std::vector<double> quotients(static_cast<std::size_t>(values.size));
        for (Py_ssize_t i = 0; i < values.size; ++i) quotients[static_cast<std::size_t>(i)] = values[i];
        kernels::dispatch([&]<class V>() { divide_in_groups<V>(quotients.data(), values.size, b); });
        return frame::new_array_from(quotients.data(), quotients.size()).release();
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"kernel_level", kernel_level},
    {"cpu_level", cpu_level},
    {"exp_array", exp_array},
    {"erfc_array", erfc_array},
    {"erfcx_array", erfcx_array},
    // the peak model of fit_peaks_cy and its Jacobian
    {"peak_model", peak_model},
    {"library_erfc", library_erfc},
    {"searchsorted", searchsorted},
    {"find_index_from_energy", find_index_from_energy},
    {"ascending", ascending},
    // the resampling kernel's searches
    {"find_index_near", find_index_near},
    // the to-convergence ML-EM's accepted steps
    {"converge_history", converge_history},
    // the lanes of a to-convergence run and how busy they were
    {"converge_occupancy", converge_occupancy},
    {"exact_divide", exact_divide},
};

constexpr frame::ModuleDescription module_description{
    "_kernel_probe", "tarvix.utils.numerics.cython._kernel_probe", functions};

}  // namespace

PyMODINIT_FUNC PyInit__kernel_probe() { return frame::init_module(module_description); }

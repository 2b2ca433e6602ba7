// tarvix.utils.numerics.cython.deconvolution: maximum-likelihood
// expectation-maximisation (ML-EM) through a sparse detector response, the
// truncated, row-normalised Gaussian response on a sampling axis, and
// Richardson-Lucy deconvolution, which is ML-EM run on that response.
//
// A response is a CSR triple (offsets, indices, values): row j is a source
// bin, and its entries k = offsets[j] .. offsets[j+1]-1 carry the share
// values[k] of that bin which lands in measured bin indices[k].
//
// reg_tikhonov, reg_tikhonov_lambda and use_sensitivity are parsed and
// type-checked and have no further effect: the sensitivity division runs in
// every pass and there is no regularisation term.

#include "frame/args.hpp"
#include "frame/buffer.hpp"
#include "frame/csr.hpp"
#include "frame/errors.hpp"
#include "frame/gaussian_response.hpp"
#include "frame/gil.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "kernels/gaussian_response.hpp"
#include "kernels/ml_em.hpp"

namespace {

constexpr frame::Name ones_like_name{"ones_like"};
constexpr frame::Name empty_like_name{"empty_like"};

// np.<function>(like) bound to a writable one-dimensional float64 ndarray
// local: the result must be an ndarray (or None) whose buffer passes that
// check.
bool new_work_array(const frame::Name& function, PyObject* like, frame::Ref& array,
                    frame::HeldBuffer& buffer) {
    array = frame::call_numpy(function, {like});
    return array && frame::check_ndarray_result(array.get()) &&
           buffer.acquire_array(array.get(), frame::float64_t, 1, true);
}

// The ML-EM core, from the buffer checks on; called by ML_EM_cy and by
// richardson_lucy_cy, each of which adds the ML_EM_cy traceback entry. The
// arrays are ndarrays or None (type-tested by the caller). New reference to
// the estimate, or nullptr with the exception set.
PyObject* ml_em(PyObject* y, PyObject* offsets, PyObject* indices, PyObject* values, PyObject* sensitivity,
                int iterations) {
    frame::HeldBuffer y_buffer, sensitivity_buffer;
    frame::HeldResponse response;
    if (!y_buffer.acquire_array(y, frame::float64_t, 1) || !response.acquire(offsets, indices, values) ||
        !sensitivity_buffer.acquire_array(sensitivity, frame::float64_t, 1)) {
        return nullptr;
    }

    frame::Ref x, estimate, ratio, correction;
    frame::HeldBuffer x_buffer, estimate_buffer, ratio_buffer, correction_buffer;
    if (!new_work_array(ones_like_name, y, x, x_buffer) ||
        !new_work_array(empty_like_name, y, estimate, estimate_buffer) ||
        !new_work_array(empty_like_name, y, ratio, ratio_buffer) ||
        !new_work_array(empty_like_name, y, correction, correction_buffer)) {
        return nullptr;
    }
    if (iterations <= 0) return x.release();

    // Everything the loops will touch is checked here, once, so that they
    // need no check per element.
    const Py_ssize_t n = y_buffer.extent(0);
    for (const frame::HeldBuffer* work : {&x_buffer, &estimate_buffer, &ratio_buffer, &correction_buffer}) {
        if (work->extent(0) < n) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
    }
    bool negative = false;
    if (!response.check(n, n, "len(y)", negative) ||
        !frame::check_min_entries("sensitivity", sensitivity == Py_None, sensitivity_buffer.extent(0), n,
                                  "len(y)")) {
        return nullptr;
    }

    const kernels::ml_em::Arrays arrays{x_buffer.view1<double>(),       estimate_buffer.view1<double>(),
                                        ratio_buffer.view1<double>(),   correction_buffer.view1<double>(),
                                        y_buffer.view1<const double>(), sensitivity_buffer.view1<const double>()};
    {
        frame::WithoutGil released;
        kernels::ml_em::reconstruct(response.csr(), arrays, n, negative, iterations);
    }
    return x.release();
}

// --- ML_EM_cy(y, offsets, indices, values, sensitivity, iterations=30,
//              reg_tikhonov=False, reg_tikhonov_lambda=0.001, use_sensitivity=False)

const frame::Signature<9> ml_em_signature{"ML_EM_cy",
                                          {"y", "offsets", "indices", "values", "sensitivity", "iterations",
                                           "reg_tikhonov", "reg_tikhonov_lambda", "use_sensitivity"},
                                          5};

PyObject* ML_EM_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("ML_EM_cy", [&]() -> PyObject* {
        std::array<PyObject*, 9> v;
        if (!ml_em_signature.parse(args, nargs, kwnames, v)) return nullptr;
        int iterations = 30;
        [[maybe_unused]] double reg_tikhonov_lambda = 0.001;
        if (v[5] && !frame::to_int32(v[5], iterations)) return nullptr;
        if (v[7] && !frame::to_double(v[7], reg_tikhonov_lambda)) return nullptr;
        for (int i = 0; i < 5; ++i) {
            if (!frame::check_ndarray(v[i], ml_em_signature.names[i].text())) return nullptr;
        }
        if (v[6] && !frame::check_flag(v[6], "reg_tikhonov")) return nullptr;
        if (v[8] && !frame::check_flag(v[8], "use_sensitivity")) return nullptr;
        return ml_em(v[0], v[1], v[2], v[3], v[4], iterations);
    });
}

// --- build_gaussian_response(axis, sigma, nsigma=5.0)

const frame::Signature<3> builder_signature{"build_gaussian_response", {"axis", "sigma", "nsigma"}, 2};

PyObject* build_gaussian_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("build_gaussian_response", [&]() -> PyObject* {
        std::array<PyObject*, 3> v;
        if (!builder_signature.parse(args, nargs, kwnames, v)) return nullptr;
        frame::HeldBuffer axis, sigma;
        double nsigma = 5.0;
        if (!axis.acquire_view(v[0], frame::double_t, 1, true) ||
            !sigma.acquire_view(v[1], frame::double_t, 1, true) ||
            (v[2] && !frame::to_double(v[2], nsigma))) {
            return nullptr;
        }
        return frame::build_gaussian_response(v[0], axis.view1<const double>(), sigma.view1<const double>(),
                                              nsigma);
    });
}

// --- richardson_lucy_cy(x, y, k, sensitivity, iterations=30, reg_tikhonov=False,
//                        reg_tikhonov_lambda=0.001, use_sensitivity=False)

const frame::Signature<8> rl_signature{"richardson_lucy_cy",
                                       {"x", "y", "k", "sensitivity", "iterations", "reg_tikhonov",
                                        "reg_tikhonov_lambda", "use_sensitivity"},
                                       4};

PyObject* richardson_lucy_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("richardson_lucy_cy", [&]() -> PyObject* {
        std::array<PyObject*, 8> v;
        if (!rl_signature.parse(args, nargs, kwnames, v)) return nullptr;
        PyObject* const x = v[0];
        PyObject* const y = v[1];
        PyObject* const sensitivity = v[3];
        double k;
        int iterations = 30;
        [[maybe_unused]] double reg_tikhonov_lambda = 0.001;
        if (!frame::to_double(v[2], k)) return nullptr;
        if (v[4] && !frame::to_int32(v[4], iterations)) return nullptr;
        if (v[6] && !frame::to_double(v[6], reg_tikhonov_lambda)) return nullptr;
        if (!frame::check_ndarray(x, "x") || !frame::check_ndarray(y, "y") ||
            !frame::check_ndarray(sensitivity, "sensitivity") ||
            (v[5] && !frame::check_flag(v[5], "reg_tikhonov")) ||
            (v[7] && !frame::check_flag(v[7], "use_sensitivity"))) {
            return nullptr;
        }
        frame::HeldBuffer x_buffer, y_buffer, sensitivity_buffer;
        if (!x_buffer.acquire_array(x, frame::float64_t, 1) || !y_buffer.acquire_array(y, frame::float64_t, 1) ||
            !sensitivity_buffer.acquire_array(sensitivity, frame::float64_t, 1)) {
            return nullptr;
        }

        frame::Ref sigmas;
        frame::HeldBuffer sigmas_buffer;
        if (!new_work_array(empty_like_name, y, sigmas, sigmas_buffer)) return nullptr;
        const Py_ssize_t n = y_buffer.extent(0);
        if (x_buffer.extent(0) < n || sigmas_buffer.extent(0) < n) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
        kernels::gaussian_response::fill_widths(k, x_buffer.view1<const double>(), sigmas_buffer.view1<double>(),
                                                n);

        // The builder takes x as a writable view, so a read-only x fails here.
        frame::HeldBuffer axis;
        if (!axis.acquire_view(x, frame::double_t, 1, true)) return nullptr;
        frame::Ref response = frame::Ref::steal(frame::traced("build_gaussian_response", [&] {
            return frame::build_gaussian_response(x, axis.view1<const double>(),
                                                  sigmas_buffer.view1<const double>(), 5.0);
        }));
        if (!response) return nullptr;
        PyObject* const offsets = PyTuple_GET_ITEM(response.get(), 0);
        PyObject* const indices = PyTuple_GET_ITEM(response.get(), 1);
        PyObject* const values = PyTuple_GET_ITEM(response.get(), 2);
        return frame::traced("ML_EM_cy",
                             [&] { return ml_em(y, offsets, indices, values, sensitivity, iterations); });
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"ML_EM_cy", ML_EM_cy},
    {"build_gaussian_response", build_gaussian_response},
    {"richardson_lucy_cy", richardson_lucy_cy},
};

constexpr frame::ModuleDescription module_description{
    "deconvolution", "tarvix.utils.numerics.cython.deconvolution", functions};

}  // namespace

PyMODINIT_FUNC PyInit_deconvolution() { return frame::init_module(module_description); }

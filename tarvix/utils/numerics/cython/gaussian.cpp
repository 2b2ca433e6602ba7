// tarvix.utils.numerics.cython.gaussian: a sum of Gaussian peaks and its
// Jacobian with respect to the peak parameters, for least-squares fits.
//
// params holds one (amplitude A, centre mu, variance) triple per peak;
// trailing entries that do not make a whole triple are ignored. The
// arithmetic is in kernels/gaussian_model.hpp; this file checks the
// arguments, makes the results and runs the kernels at the kernel level.

#include "frame/args.hpp"
#include "frame/buffer.hpp"
#include "frame/errors.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "frame/value_errors.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/gaussian_model.hpp"

#include <array>
#include <cstdint>

namespace {

// ---------------------------------------------------------------------------
// Python entry points.

constexpr frame::Name zeros_name{"zeros"};
constexpr frame::Name float64_name{"float64"};

const frame::Signature<2> model_signature{"multi_gaussian_cy", {"x", "params"}};
const frame::Signature<2> jacobian_signature{"multi_gaussian_jacobian_cy", {"x", "params"}};

// The two functions take the same arguments and check them the same way.
struct ModelInputs {
    frame::HeldBuffer x;
    frame::HeldBuffer params;

    bool take(const frame::Signature<2>& signature, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
        std::array<PyObject*, 2> values;
        if (!signature.parse(args, nargs, kwnames, values)) return false;
        return frame::check_ndarray(values[0], "x") && frame::check_ndarray(values[1], "params") &&
               x.acquire_array(values[0], frame::double_t, 1) &&
               params.acquire_array(values[1], frame::double_t, 1) &&
               frame::refuse_none(values[0], "x") && frame::refuse_none(values[1], "params") &&
               fits_counts("x", x) && fits_counts("params", params);
    }

    // Sample and parameter counts are 32-bit: longer arrays are refused
    // rather than evaluated for hours or truncated.
    static bool fits_counts(const char* name, const frame::HeldBuffer& buffer) {
        if (buffer.extent(0) <= INT32_MAX) return true;
        frame::raise_too_many_for_index(name, buffer.extent(0), "int32");
        return false;
    }
};

PyObject* multi_gaussian_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("multi_gaussian_cy", [&]() -> PyObject* {
        ModelInputs inputs;
        if (!inputs.take(model_signature, args, nargs, kwnames)) return nullptr;
        const Py_ssize_t m = inputs.x.extent(0);
        const Py_ssize_t n_gauss = inputs.params.extent(0) / 3;

        frame::Ref length = frame::Ref::steal(PyLong_FromSsize_t(m));
        if (!length) return nullptr;
        frame::Ref y = frame::call_numpy(zeros_name, {length.get()}, &float64_name);
        if (!y || !frame::check_ndarray_result(y.get())) return nullptr;
        frame::HeldBuffer y_buffer;
        if (!y_buffer.acquire_array(y.get(), frame::double_t, 1, true)) return nullptr;
        if (y_buffer.extent(0) < m) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }

        auto x = inputs.x.view1<const double>();
        auto params = inputs.params.view1<const double>();
        auto out = y_buffer.view1<double>();
        kernels::dispatch([&]<class V>() { kernels::gaussian_model<V>(x, params, n_gauss, out); });
        return y.release();
    });
}

PyObject* multi_gaussian_jacobian_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return frame::traced("multi_gaussian_jacobian_cy", [&]() -> PyObject* {
        ModelInputs inputs;
        if (!inputs.take(jacobian_signature, args, nargs, kwnames)) return nullptr;
        const Py_ssize_t m = inputs.x.extent(0);
        const Py_ssize_t n = inputs.params.extent(0);

        frame::Ref shape = frame::Ref::steal(Py_BuildValue("(nn)", m, n));
        if (!shape) return nullptr;
        frame::Ref jacobian = frame::call_numpy(zeros_name, {shape.get()});
        if (!jacobian || !frame::check_ndarray_result(jacobian.get())) return nullptr;
        frame::HeldBuffer jacobian_buffer;
        if (!jacobian_buffer.acquire_array(jacobian.get(), frame::double_t, 2, true)) return nullptr;
        if (n <= 2 || m <= 0) return jacobian.release();
        for (int axis = 0; axis < 2; ++axis) {
            if (jacobian_buffer.extent(axis) < (axis == 0 ? m : n)) {
                frame::raise_out_of_bounds(axis);
                return nullptr;
            }
        }

        auto x = inputs.x.view1<const double>();
        auto params = inputs.params.view1<const double>();
        auto out = jacobian_buffer.view2<double>();
        kernels::dispatch([&]<class V>() { kernels::gaussian_jacobian<V>(x, params, n / 3, out); });
        return jacobian.release();
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"multi_gaussian_cy", multi_gaussian_cy},
    {"multi_gaussian_jacobian_cy", multi_gaussian_jacobian_cy},
};

constexpr frame::ModuleDescription module_description{
    "gaussian", "tarvix.utils.numerics.cython.gaussian", functions};

}  // namespace

PyMODINIT_FUNC PyInit_gaussian() { return frame::init_module(module_description); }

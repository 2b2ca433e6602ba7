// tarvix.utils.numerics.cython.gaussian: a sum of Gaussian peaks and its
// Jacobian with respect to the peak parameters, for least-squares fits.
//
// params holds one (amplitude A, centre mu, variance) triple per peak;
// trailing entries that do not make a whole triple are ignored.

#include "frame/args.hpp"
#include "frame/buffer.hpp"
#include "frame/errors.hpp"
#include "frame/exp.hpp"
#include "frame/fma.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "frame/value_errors.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

using frame::Strided1;
using frame::Strided2;

// ---------------------------------------------------------------------------
// Kernels: plain strided arrays, no Python objects.

// Samples are processed in blocks that fit on the stack: the block's x is
// gathered once, then each peak's exponentials are evaluated over the whole
// block by frame::exp_array (the bits of std::exp, several at a time).
constexpr Py_ssize_t block_size = 256;

struct SampleBlock {
    Py_ssize_t start;
    Py_ssize_t size;
    double x[block_size];
    double e[block_size];

    // e[t] = exp(((-0.5*dx)*dx) / variance), dx = x[t] - mu.
    [[gnu::always_inline]] void gaussian(double mu, double variance) {
        for (Py_ssize_t t = 0; t < size; ++t) {
            const double dx = x[t] - mu;
            e[t] = ((-0.5 * dx) * dx) / variance;
        }
        frame::exp_array(e, e, size);
    }
};

template <class Body>
[[gnu::always_inline]] inline void for_each_block(Strided1<const double> x, Body&& body) {
    SampleBlock block;
    for (block.start = 0; block.start < x.size; block.start += block_size) {
        block.size = std::min(block_size, x.size - block.start);
        for (Py_ssize_t t = 0; t < block.size; ++t) block.x[t] = x[block.start + t];
        body(block);
    }
}

// y[j] += sum_k A_k * exp(((-0.5*dx)*dx) / var_k), dx = x[j] - mu_k, adding
// the peaks to each y[j] in parameter order, every term with one fused
// multiply-add.  x[m], params[3*n_gauss], y[m]; O(m * n_gauss) exponentials.
[[gnu::always_inline]] inline void gaussian_model(Strided1<const double> x,
                                                  Strided1<const double> params, Py_ssize_t n_gauss,
                                                  Strided1<double> y) {
    for_each_block(x, [&](SampleBlock& block) {
        double sum[block_size];
        for (Py_ssize_t t = 0; t < block.size; ++t) sum[t] = y[block.start + t];
        for (Py_ssize_t k = 0; k < n_gauss; ++k) {
            const double amplitude = params[3 * k];
            block.gaussian(params[3 * k + 1], params[3 * k + 2]);
            for (Py_ssize_t t = 0; t < block.size; ++t) sum[t] = std::fma(amplitude, block.e[t], sum[t]);
        }
        for (Py_ssize_t t = 0; t < block.size; ++t) y[block.start + t] = sum[t];
    });
}

// J[j, 3k]   = e
// J[j, 3k+1] = ((A*e)*dx) / var
// J[j, 3k+2] = (((A*e)*dx)*dx) / ((2*var)*var)
// with e = exp(((-0.5*dx)*dx)/var), dx = x[j] - mu; plain arithmetic, no
// fused multiply-add.  x[m], params[3*n_gauss], J[m, >= 3*n_gauss]; the
// other columns are left as they are.
void gaussian_jacobian(Strided1<const double> x, Strided1<const double> params, Py_ssize_t n_gauss,
                       Strided2<double> jacobian) {
    for_each_block(x, [&](SampleBlock& block) {
        for (Py_ssize_t k = 0; k < n_gauss; ++k) {
            const double amplitude = params[3 * k];
            const double mu = params[3 * k + 1];
            const double variance = params[3 * k + 2];
            block.gaussian(mu, variance);
            for (Py_ssize_t t = 0; t < block.size; ++t) {
                const double e = block.e[t];
                const double dx = block.x[t] - mu;
                const double scaled_dx = (amplitude * e) * dx;
                const Py_ssize_t j = block.start + t;
                jacobian(j, 3 * k) = e;
                jacobian(j, 3 * k + 1) = scaled_dx / variance;
                jacobian(j, 3 * k + 2) = (scaled_dx * dx) / ((2.0 * variance) * variance);
            }
        }
    });
}

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
        frame::run_fma_dispatched([&] { gaussian_model(x, params, n_gauss, out); });
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

        gaussian_jacobian(inputs.x.view1<const double>(), inputs.params.view1<const double>(), n / 3,
                          jacobian_buffer.view2<double>());
        return jacobian.release();
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"multi_gaussian_cy", multi_gaussian_cy},
    {"multi_gaussian_jacobian_cy", multi_gaussian_jacobian_cy},
};

constexpr frame::ModuleDescription module_description{
    "gaussian", "tarvix.utils.numerics.cython.gaussian", functions, std::size(functions)};

}  // namespace

PyMODINIT_FUNC PyInit_gaussian() { return frame::init_module(module_description); }

// tarvix.utils.numerics.cython.unfolding: ML-EM deconvolution of a stack of
// spectra through one response. Row s of a result is bit for bit what the
// deconvolution module gives for the spectrum Y[s] alone; the response is
// read once per pass for the whole stack, and the stack's arithmetic runs a
// vector of spectra at a time.
//
// A response is a CSR triple (offsets, indices, values) as the deconvolution
// module takes it: row j is a source bin, and its entries k = offsets[j] ..
// offsets[j+1]-1 carry the share values[k] of that bin which lands in
// measured bin indices[k].

#include "frame/args.hpp"
#include "frame/arrays.hpp"
#include "frame/buffer.hpp"
#include "frame/csr.hpp"
#include "frame/errors.hpp"
#include "frame/gaussian_response.hpp"
#include "frame/gil.hpp"
#include "frame/interrupt.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "kernels/gaussian_response.hpp"
#include "kernels/ml_em_converge.hpp"
#include "kernels/ml_em_stack.hpp"
#include "unfolding_docs.hpp"  // generated from unfolding.pyi

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

namespace km = kernels::ml_em;

// The (S, n) result array's view for the kernels.
kernels::Strided2<double> result_view(const frame::Ref& result, Py_ssize_t spectra, Py_ssize_t n) {
    return {reinterpret_cast<char*>(frame::array_data<double>(result)), spectra, n,
            static_cast<Py_ssize_t>(n * sizeof(double)), sizeof(double)};
}

// The arrays of a stack through a response: Y (S x n), the CSR triple and
// the sensitivity, as the stack functions take them.
struct StackInputs {
    frame::HeldBuffer Y, sensitivity;
    frame::HeldResponse response{frame::strict_response};
    bool sensitivity_none = false;

    Py_ssize_t spectra() const noexcept { return Y.extent(0); }
    Py_ssize_t bins() const noexcept { return Y.extent(1); }

    // The type test of the five arguments (given in this order), then their
    // buffers, then None refused for Y.
    template <std::size_t count>
    bool take(const std::array<frame::Name, count>& names, const std::array<PyObject*, count>& objects) {
        for (int i = 0; i < 5; ++i) {
            if (!frame::check_ndarray(objects[i], names[i].text())) return false;
        }
        return Y.acquire_argument("Y", objects[0], frame::float64_t, 2) &&
               take_response(objects[1], objects[2], objects[3], objects[4]) && frame::refuse_none(objects[0], "Y");
    }

    // The buffers of the response and the sensitivity.
    bool take_response(PyObject* offsets, PyObject* indices, PyObject* values, PyObject* sensitivity_object) {
        sensitivity_none = sensitivity_object == Py_None;
        return response.acquire(offsets, indices, values) &&
               sensitivity.acquire_argument("sensitivity", sensitivity_object, frame::float64_t, 1);
    }

    // The response against n = Y.shape[1] rows and columns, and the
    // sensitivity's length, so that the passes need no check per element.
    bool check(bool& negative) const {
        const Py_ssize_t n = bins();
        return response.check(n, n, "Y.shape[1]", negative) &&
               frame::check_min_entries("sensitivity", sensitivity_none, sensitivity.extent(0), n, "Y.shape[1]");
    }
};

// The stack passes. New reference to the (S, n) result, or nullptr with the
// exception set.
PyObject* ml_em_stack(const StackInputs& in, int iterations) {
    const Py_ssize_t spectra = in.spectra();
    const Py_ssize_t n = in.bins();
    frame::Ref result = frame::new_uninitialised_array<double>(spectra, n);
    if (!result) return nullptr;
    double* const out = frame::array_data<double>(result);
    if (iterations <= 0) {
        std::fill(out, out + spectra * n, 1.0);
        return result.release();
    }
    bool negative = false;
    if (!in.check(negative)) return nullptr;
    km::StackWork work;
    if (!frame::allocate_or_raise("the work arrays", km::StackWork::bytes(spectra, n),
                                  [&] { work.allocate(spectra, n); })) {
        return nullptr;
    }
    bool done;
    {
        frame::InterruptibleSection section;
        work.load(in.Y.view2<const double>(), in.sensitivity.view1<const double>());
        done = km::reconstruct_stack(in.response.csr(), work, negative, iterations, section.check());
        if (done) work.store(result_view(result, spectra, n));
    }
    return done ? result.release() : nullptr;
}

// --- ML_EM_batch_cy(Y, offsets, indices, values, sensitivity, iterations=30)

const frame::Signature<6> batch_signature{
    "ML_EM_batch_cy", {"Y", "offsets", "indices", "values", "sensitivity", "iterations"}, 5};

PyObject* ML_EM_batch_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("ML_EM_batch_cy", [&]() -> PyObject* {
        std::array<PyObject*, 6> v;
        if (!batch_signature.parse(args, nargs, kwnames, v)) return nullptr;
        int iterations = 30;
        if (v[5] && !frame::to_int32(v[5], "iterations", iterations)) return nullptr;
        StackInputs in;
        if (!in.take(batch_signature.names, v)) return nullptr;
        return ml_em_stack(in, iterations);
    });
}

// --- richardson_lucy_batch_cy(x, Y, k, sensitivity, iterations=30)

const frame::Signature<5> rl_batch_signature{
    "richardson_lucy_batch_cy", {"x", "Y", "k", "sensitivity", "iterations"}, 4};

PyObject* richardson_lucy_batch_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("richardson_lucy_batch_cy", [&]() -> PyObject* {
        std::array<PyObject*, 5> v;
        if (!rl_batch_signature.parse(args, nargs, kwnames, v)) return nullptr;
        PyObject* const x = v[0];
        PyObject* const sensitivity = v[3];
        double k;
        int iterations = 30;
        if (!frame::to_double(v[2], "k", k) || (v[4] && !frame::to_int32(v[4], "iterations", iterations))) {
            return nullptr;
        }
        if (!frame::check_ndarray(x, "x") || !frame::check_ndarray(v[1], "Y") ||
            !frame::check_ndarray(sensitivity, "sensitivity")) {
            return nullptr;
        }
        frame::HeldBuffer x_buffer;
        StackInputs in;
        if (!x_buffer.acquire_argument("x", x, frame::float64_t, 1) ||
            !in.Y.acquire_argument("Y", v[1], frame::float64_t, 2) ||
            !in.sensitivity.acquire_argument("sensitivity", sensitivity, frame::float64_t, 1) ||
            !frame::refuse_none(v[1], "Y")) {
            return nullptr;
        }
        in.sensitivity_none = sensitivity == Py_None;

        // The widths of the response at every energy; x must be as long as
        // the spectra (shorter fails here, longer in the builder).
        const Py_ssize_t n = in.bins();
        if (x_buffer.extent(0) < n) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
        std::vector<double> sigmas(static_cast<std::size_t>(n));
        kernels::gaussian_response::fill_widths(k, x_buffer.view1<const double>(), sigmas.data(), n);

        // The builder takes x as a writable view, so a read-only x fails here.
        frame::HeldBuffer axis;
        if (!axis.acquire_view(x, frame::double_t, 1, true)) {
            frame::name_error("x");
            return nullptr;
        }
        const kernels::Strided1<const double> widths{reinterpret_cast<const char*>(sigmas.data()), n,
                                                     sizeof(double)};
        frame::Ref response =
            frame::Ref::steal(frame::build_gaussian_response(x, axis.view1<const double>(), widths, 5.0));
        if (!response) return nullptr;
        if (!in.response.acquire(PyTuple_GET_ITEM(response.get(), 0), PyTuple_GET_ITEM(response.get(), 1),
                                 PyTuple_GET_ITEM(response.get(), 2))) {
            return nullptr;
        }
        return ml_em_stack(in, iterations);
    });
}

// --- ML_EM_converge_cy(Y, offsets, indices, values, sensitivity, tolerance=1e-10,
//                       max_passes=100000)

constexpr double default_tolerance = 1e-10;

const frame::Signature<7> converge_signature{
    "ML_EM_converge_cy",
    {"Y", "offsets", "indices", "values", "sensitivity", "tolerance", "max_passes"},
    5};

PyObject* ML_EM_converge_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("ML_EM_converge_cy", [&]() -> PyObject* {
        std::array<PyObject*, 7> v;
        if (!converge_signature.parse(args, nargs, kwnames, v)) return nullptr;
        double tolerance = default_tolerance;
        int max_passes = 100000;
        if ((v[5] && !frame::to_double(v[5], "tolerance", tolerance)) ||
            (v[6] && !frame::to_int32(v[6], "max_passes", max_passes))) {
            return nullptr;
        }
        StackInputs in;
        if (!in.take(converge_signature.names, v)) return nullptr;
        if (std::isnan(tolerance)) {
            PyErr_SetString(PyExc_ValueError, "tolerance is NaN; it must be a number (0 runs to max_passes)");
            return nullptr;
        }
        const Py_ssize_t spectra = in.spectra();
        const Py_ssize_t n = in.bins();
        bool negative = false;
        if (!in.check(negative)) return nullptr;
        frame::Ref X = frame::new_uninitialised_array<double>(spectra, n);
        frame::Ref passes = frame::new_uninitialised_array<std::int64_t>(spectra);
        frame::Ref log_likelihood = frame::new_uninitialised_array<double>(spectra);
        if (!X || !passes || !log_likelihood) return nullptr;
        km::ConvergeWork work;
        if (!frame::allocate_or_raise("the work arrays", km::ConvergeWork::bytes(spectra, n),
                                      [&] { work.allocate(spectra, n); })) {
            return nullptr;
        }
        bool done;
        {
            frame::InterruptibleSection section;
            work.load_divisors(in.sensitivity.view1<const double>());
            work.source = in.Y.view2<const double>();
            work.target = result_view(X, spectra, n);
            done = km::converge_stack(in.response.csr(), work, negative, tolerance, std::max(max_passes, 0),
                                      section.check());
            for (Py_ssize_t s = 0; done && s < spectra; ++s) {
                frame::array_data<std::int64_t>(passes)[s] = work.passes(s);
                frame::array_data<double>(log_likelihood)[s] = work.ll_out[static_cast<std::size_t>(s)];
            }
        }
        if (!done) return nullptr;
        return PyTuple_Pack(3, X.get(), passes.get(), log_likelihood.get());
    });
}

// --- poisson_log_likelihood_cy(Y, X, offsets, indices, values)

const frame::Signature<5> log_likelihood_signature{"poisson_log_likelihood_cy",
                                                   {"Y", "X", "offsets", "indices", "values"}};

PyObject* poisson_log_likelihood_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("poisson_log_likelihood_cy", [&]() -> PyObject* {
        std::array<PyObject*, 5> v;
        if (!log_likelihood_signature.parse(args, nargs, kwnames, v)) return nullptr;
        for (int i = 0; i < 5; ++i) {
            if (!frame::check_ndarray(v[i], log_likelihood_signature.names[i].text())) return nullptr;
        }
        frame::HeldBuffer Y, X;
        frame::HeldResponse response{frame::strict_response};
        if (!Y.acquire_argument("Y", v[0], frame::float64_t, 2) || !X.acquire_argument("X", v[1], frame::float64_t, 2) ||
            !response.acquire(v[2], v[3], v[4]) || !frame::refuse_none(v[0], "Y") ||
            !frame::refuse_none(v[1], "X")) {
            return nullptr;
        }
        const Py_ssize_t spectra = Y.extent(0);
        const Py_ssize_t n = Y.extent(1);
        if (X.extent(0) != spectra || X.extent(1) != n) {
            PyErr_Format(PyExc_ValueError, "X has shape (%zd, %zd) but Y has shape (%zd, %zd); they must be equal",
                         X.extent(0), X.extent(1), spectra, n);
            return nullptr;
        }
        bool negative = false;
        if (!response.check(n, n, "Y.shape[1]", negative)) return nullptr;
        frame::Ref result = frame::new_uninitialised_array<double>(spectra);
        if (!result) return nullptr;
        km::LikelihoodWork work;
        if (!frame::allocate_or_raise("the work arrays", km::LikelihoodWork::bytes(spectra, n),
                                      [&] { work.allocate(spectra, n); })) {
            return nullptr;
        }
        {
            frame::WithoutGil released;
            work.to_lanes(Y.view2<const double>(), work.y);
            work.to_lanes(X.view2<const double>(), work.x);
            km::log_likelihood_stack(response.csr(), work, negative);
            for (Py_ssize_t s = 0; s < spectra; ++s) {
                frame::array_data<double>(result)[s] = work.ll[static_cast<std::size_t>(s)];
            }
        }
        return result.release();
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"ML_EM_batch_cy", ML_EM_batch_cy, ML_EM_batch_cy_doc},
    {"richardson_lucy_batch_cy", richardson_lucy_batch_cy, richardson_lucy_batch_cy_doc},
    {"ML_EM_converge_cy", ML_EM_converge_cy, ML_EM_converge_cy_doc},
    {"poisson_log_likelihood_cy", poisson_log_likelihood_cy, poisson_log_likelihood_cy_doc},
};

constexpr frame::ModuleDescription module_description{
    "unfolding", "tarvix.utils.numerics.cython.unfolding", functions, nullptr, module_doc};

}  // namespace

PyMODINIT_FUNC PyInit_unfolding() { return frame::init_module(module_description); }

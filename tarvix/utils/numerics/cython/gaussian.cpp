// tarvix.utils.numerics.cython.gaussian: a sum of Gaussian peaks and its
// Jacobian with respect to the peak parameters, for least-squares fits.
//
// params holds one (amplitude A, centre mu, variance) triple per peak;
// trailing entries that do not make a whole triple are ignored.

#include "frame/args.hpp"
#include "frame/buffer.hpp"
#include "frame/cpu.hpp"
#include "frame/errors.hpp"
#include "frame/exp.hpp"
#include "frame/fma.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "frame/value_errors.hpp"

#include <immintrin.h>

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
constexpr Py_ssize_t block_size = 512;

struct SampleBlock {
    Py_ssize_t start;
    Py_ssize_t size;
    double x[block_size];
    double e[block_size];
    // On the AVX-512 path: the block's samples (in x, or in the argument
    // itself when that is contiguous) and the Jacobian's mu and variance
    // columns.
    const double* samples;
    double d_mu[block_size];
    double d_variance[block_size];

    // e[t] = exp(((-0.5*dx)*dx) / variance), dx = x[t] - mu.
    [[gnu::always_inline]] void gaussian(double mu, double variance) {
        for (Py_ssize_t t = 0; t < size; ++t) {
            const double dx = x[t] - mu;
            e[t] = ((-0.5 * dx) * dx) / variance;
        }
        frame::exp_array(e, e, size);
    }
};

// Runs body(block) over consecutive blocks of at most `length` (<= block_size)
// samples.
template <class Body>
[[gnu::always_inline]] inline void for_each_block(Strided1<const double> x, Body&& body,
                                                  Py_ssize_t length = block_size) {
    SampleBlock block;
    for (block.start = 0; block.start < x.size; block.start += length) {
        block.size = std::min(length, x.size - block.start);
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
// The same kernels eight samples at a time, for CPUs with AVX-512. Each
// quotient by a peak's variance is formed without a division instruction
// (see ExactDivisor), the rest is the same operations in the same order, so
// the bits are those of the kernels above.

// GCC 12 takes the undefined source operand of the unmasked AVX-512
// intrinsics for an uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// a / b rounded to nearest, for many a and one b. Division instructions are
// slow, so q = a * (1/b) is corrected once by the remainder a - b*q, fused
// (Markstein's correction), which with 1/b rounded to nearest gives the
// rounded quotient for nearly all a. Each q is then checked: q is the rounded
// quotient when it is not a power of two and |a - b*q| < |b| * ulp(q)/2,
// i.e. a/b lies within half an ulp of q. The remainder is formed with one
// rounding, which cannot bring a larger remainder under the (exact) bound,
// so the check never passes a wrong q; lanes that fail it, and every b too
// small or too large for exact bounds, are divided, except that a zero a
// takes a * (1/b).
struct ExactDivisor {
    double divisor;
    double reciprocal;
    double half_ulp_scale;  // |b| * 2^-53: times 2^E it is |b| * ulp(q)/2 for q in [2^E, 2^(E+1))
    bool usable;

    explicit ExactDivisor(double b) noexcept
        : divisor(b),
          reciprocal(1.0 / b),
          half_ulp_scale(std::fabs(b) * 0x1p-53),
          usable(std::fabs(b) >= 0x1p-968 && std::fabs(b) <= 0x1p1000) {}

    [[gnu::target("avx512f"), gnu::always_inline]] inline __m512d divide(__m512d a) const noexcept {
        const __m512d b = _mm512_set1_pd(divisor);
        if (!usable) return _mm512_div_pd(a, b);
        const __m512d y = _mm512_set1_pd(reciprocal);
        const __m512d first = _mm512_mul_pd(a, y);
        const __m512d q = _mm512_fmadd_pd(_mm512_fnmadd_pd(first, b, a), y, first);
        const __m512d remainder = _mm512_fnmadd_pd(q, b, a);
        // 2^E for a normal q (0 for subnormal, inf for inf and NaN).
        const __m512d power = _mm512_castsi512_pd(
            _mm512_and_si512(_mm512_castpd_si512(q), _mm512_set1_epi64(0x7ff0000000000000ll)));
        const __m512d bound = _mm512_mul_pd(power, _mm512_set1_pd(half_ulp_scale));
        // A bound from 2^-1021 up is a normal product, hence exact.
        const __mmask8 rounded =
            _mm512_cmp_pd_mask(_mm512_abs_pd(remainder), bound, _CMP_LT_OQ) &
            _mm512_cmp_pd_mask(bound, _mm512_set1_pd(0x1p-1021), _CMP_GE_OQ) &
            _mm512_test_epi64_mask(_mm512_castpd_si512(q), _mm512_set1_epi64(0x000fffffffffffffll));
        if (rounded == 0xff) return q;
        // A zero a fails the check (its bound is 0); a * (1/b) is its
        // quotient, sign included.
        const __mmask8 zero = _mm512_cmp_pd_mask(a, _mm512_setzero_pd(), _CMP_EQ_OQ);
        const __m512d exact = _mm512_mask_mov_pd(q, zero, first);
        if ((rounded | zero) == 0xff) return exact;
        return _mm512_mask_div_pd(exact, __mmask8(~(rounded | zero)), a, b);
    }
};

// The lanes of a group of eight that lie inside the block; the last group
// of a ragged block is read and written under this mask. Whole groups use
// plain loads and stores: a masked store is not forwarded to later loads.
inline __mmask8 group_lanes(Py_ssize_t remaining) noexcept {
    return remaining >= 8 ? __mmask8(0xff) : __mmask8((1u << remaining) - 1);
}

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512d load_group(const double* p,
                                                                        __mmask8 lanes) noexcept {
    return lanes == 0xff ? _mm512_loadu_pd(p) : _mm512_maskz_loadu_pd(lanes, p);
}

[[gnu::target("avx512f"), gnu::always_inline]] inline void store_group(double* p, __mmask8 lanes,
                                                                      __m512d value) noexcept {
    if (lanes == 0xff) {
        _mm512_storeu_pd(p, value);
    } else {
        _mm512_mask_storeu_pd(p, lanes, value);
    }
}

// block.e[t] = exp(((-0.5*dx)*dx) / variance), dx = x[t] - mu.
[[gnu::target("avx512f")]] void gaussian_avx512(SampleBlock& block, double mu, double variance) {
    const ExactDivisor by_variance(variance);
    for (Py_ssize_t t = 0; t < block.size; t += 8) {
        const __mmask8 lanes = group_lanes(block.size - t);
        const __m512d dx = _mm512_sub_pd(load_group(block.samples + t, lanes), _mm512_set1_pd(mu));
        const __m512d exponent = _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(-0.5), dx), dx);
        store_group(block.e + t, lanes, by_variance.divide(exponent));
    }
    frame::exp_array(block.e, block.e, block.size);
}

// gaussian_model's sums of one block: sum[t] = fma(A_k, e_k[t], sum[t]).
[[gnu::target("avx512f")]] void model_block_avx512(SampleBlock& block, Strided1<const double> params,
                                                   Py_ssize_t n_gauss, double* sum) {
    for (Py_ssize_t k = 0; k < n_gauss; ++k) {
        const __m512d amplitude = _mm512_set1_pd(params[3 * k]);
        gaussian_avx512(block, params[3 * k + 1], params[3 * k + 2]);
        for (Py_ssize_t t = 0; t < block.size; t += 8) {
            const __mmask8 lanes = group_lanes(block.size - t);
            const __m512d e = load_group(block.e + t, lanes);
            store_group(sum + t, lanes, _mm512_fmadd_pd(amplitude, e, load_group(sum + t, lanes)));
        }
    }
}

// Rows j .. j+7 of a Jacobian whose rows are contiguous get their entries
// (e, d_mu, d_variance) of one peak: the first two as one pair per row,
// the third on its own.
[[gnu::target("avx512f"), gnu::always_inline]] inline void write_rows(double* first, Py_ssize_t row_stride,
                                                                     __m512d e, __m512d d_mu,
                                                                     __m512d d_variance) noexcept {
    char* row = reinterpret_cast<char*>(first);
    const __m512 even = _mm512_castpd_ps(_mm512_unpacklo_pd(e, d_mu));  // rows 0, 2, 4, 6
    const __m512 odd = _mm512_castpd_ps(_mm512_unpackhi_pd(e, d_mu));   // rows 1, 3, 5, 7
    _mm_storeu_ps(reinterpret_cast<float*>(row), _mm512_castps512_ps128(even));
    _mm_storeu_ps(reinterpret_cast<float*>(row + row_stride), _mm512_castps512_ps128(odd));
    _mm_storeu_ps(reinterpret_cast<float*>(row + 2 * row_stride), _mm512_extractf32x4_ps(even, 1));
    _mm_storeu_ps(reinterpret_cast<float*>(row + 3 * row_stride), _mm512_extractf32x4_ps(odd, 1));
    _mm_storeu_ps(reinterpret_cast<float*>(row + 4 * row_stride), _mm512_extractf32x4_ps(even, 2));
    _mm_storeu_ps(reinterpret_cast<float*>(row + 5 * row_stride), _mm512_extractf32x4_ps(odd, 2));
    _mm_storeu_ps(reinterpret_cast<float*>(row + 6 * row_stride), _mm512_extractf32x4_ps(even, 3));
    _mm_storeu_ps(reinterpret_cast<float*>(row + 7 * row_stride), _mm512_extractf32x4_ps(odd, 3));
    alignas(64) double third[8];
    _mm512_store_pd(third, d_variance);
    for (int r = 0; r < 8; ++r) reinterpret_cast<double*>(row + r * row_stride)[2] = third[r];
}

// gaussian_jacobian's columns 3k..3k+2 of one block. Whole groups of eight
// go straight into rows that are contiguous; the others are left in the
// block's columns for the caller. Returns the number of samples written.
[[gnu::target("avx512f")]] Py_ssize_t jacobian_block_avx512(SampleBlock& block, double amplitude,
                                                            double mu, double variance,
                                                            Strided2<double> jacobian, Py_ssize_t k) {
    gaussian_avx512(block, mu, variance);
    const ExactDivisor by_variance(variance);
    const ExactDivisor by_twice_square((2.0 * variance) * variance);
    const bool direct = jacobian.column_stride == static_cast<Py_ssize_t>(sizeof(double));
    Py_ssize_t written = 0;
    for (Py_ssize_t t = 0; t < block.size; t += 8) {
        const __mmask8 lanes = group_lanes(block.size - t);
        const __m512d e = load_group(block.e + t, lanes);
        const __m512d dx = _mm512_sub_pd(load_group(block.samples + t, lanes), _mm512_set1_pd(mu));
        const __m512d scaled_dx = _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(amplitude), e), dx);
        const __m512d d_mu = by_variance.divide(scaled_dx);
        const __m512d d_variance = by_twice_square.divide(_mm512_mul_pd(scaled_dx, dx));
        if (direct && lanes == 0xff) {
            write_rows(&jacobian(block.start + t, 3 * k), jacobian.row_stride, e, d_mu, d_variance);
            written = t + 8;
        } else {
            store_group(block.d_mu + t, lanes, d_mu);
            store_group(block.d_variance + t, lanes, d_variance);
        }
    }
    return written;
}

#pragma GCC diagnostic pop

bool contiguous(Py_ssize_t stride) noexcept { return stride == static_cast<Py_ssize_t>(sizeof(double)); }

// for_each_block for the AVX-512 kernels: a contiguous x is read in place.
template <class Body>
void for_each_wide_block(Strided1<const double> x, Body&& body, Py_ssize_t length = block_size) {
    SampleBlock block;
    for (block.start = 0; block.start < x.size; block.start += length) {
        block.size = std::min(length, x.size - block.start);
        if (contiguous(x.stride)) {
            block.samples = &x[block.start];
        } else {
            for (Py_ssize_t t = 0; t < block.size; ++t) block.x[t] = x[block.start + t];
            block.samples = block.x;
        }
        body(block);
    }
}

void gaussian_model_avx512(Strided1<const double> x, Strided1<const double> params, Py_ssize_t n_gauss,
                           Strided1<double> y) {
    for_each_wide_block(x, [&](SampleBlock& block) {
        // The sums build up in y itself when it is contiguous.
        if (contiguous(y.stride)) {
            model_block_avx512(block, params, n_gauss, &y[block.start]);
            return;
        }
        double sum[block_size];
        for (Py_ssize_t t = 0; t < block.size; ++t) sum[t] = y[block.start + t];
        model_block_avx512(block, params, n_gauss, sum);
        for (Py_ssize_t t = 0; t < block.size; ++t) y[block.start + t] = sum[t];
    });
}

// The rows of one block are written once per peak: blocks are cut so that
// those rows stay in the first-level cache (about 16 KiB of them).
Py_ssize_t jacobian_block_length(Strided2<double> jacobian) noexcept {
    const Py_ssize_t row_bytes = std::max<Py_ssize_t>(
        1, std::max(std::abs(jacobian.row_stride), jacobian.columns * std::abs(jacobian.column_stride)));
    return std::clamp<Py_ssize_t>((16384 / row_bytes) / 8 * 8, 8, block_size);
}

void gaussian_jacobian_avx512(Strided1<const double> x, Strided1<const double> params,
                              Py_ssize_t n_gauss, Strided2<double> jacobian) {
    const Py_ssize_t length = jacobian_block_length(jacobian);
    for_each_wide_block(x, [&](SampleBlock& block) {
        for (Py_ssize_t k = 0; k < n_gauss; ++k) {
            const Py_ssize_t written = jacobian_block_avx512(block, params[3 * k], params[3 * k + 1],
                                                             params[3 * k + 2], jacobian, k);
            for (Py_ssize_t t = written; t < block.size; ++t) {
                const Py_ssize_t j = block.start + t;
                jacobian(j, 3 * k) = block.e[t];
                jacobian(j, 3 * k + 1) = block.d_mu[t];
                jacobian(j, 3 * k + 2) = block.d_variance[t];
            }
        }
    }, length);
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
        if (frame::cpu_has_avx512f()) {
            gaussian_model_avx512(x, params, n_gauss, out);
        } else {
            frame::run_fma_dispatched([&] { gaussian_model(x, params, n_gauss, out); });
        }
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
        if (frame::cpu_has_avx512f()) {
            gaussian_jacobian_avx512(x, params, n / 3, out);
        } else {
            gaussian_jacobian(x, params, n / 3, out);
        }
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

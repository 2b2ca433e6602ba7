#include "exp.hpp"
#include "../kernels/exp_table.hpp"
#include "fma.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace frame {

namespace {

// The C library's exp evaluates, for 2^-54 <= |x| < 512,
//   k = round(x * 128/ln2), r = x - k*ln2/128 (two fused steps),
//   exp(x) = 2^(k/128) * (1 + tail + r + r^2*(C2 + r*C3) + r^4*(C4 + r*C5)),
// with 2^(k/128) from a 128-entry table. With FMA available it fuses the
// steps shown below; the same operations in the same order give its bits.
constexpr double inv_ln2_n = 0x1.71547652b82fep+7;
constexpr double neg_ln2_hi_n = -0x1.62e42fefa0000p-8;
constexpr double neg_ln2_lo_n = -0x1.cf79abc9e3b3ap-47;
constexpr double c2 = 0x1.ffffffffffdbdp-2;
constexpr double c3 = 0x1.555555555543cp-3;
constexpr double c4 = 0x1.55555cf172b91p-5;
constexpr double c5 = 0x1.1111167a4d017p-7;
constexpr double round_shift = 0x1.8p52;

void exp_scalar(const double* in, double* out, std::ptrdiff_t count) noexcept {
    for (std::ptrdiff_t i = 0; i < count; ++i) out[i] = std::exp(in[i]);
}

[[gnu::target("avx2,fma")]] void exp_avx2(const double* in, double* out,
                                          std::ptrdiff_t count) noexcept {
    const auto* table = reinterpret_cast<const long long*>(kernels::exp_detail::table);
    const __m256i exponent_mask = _mm256_set1_epi64x(0x7ff);
    const __m256i below_range = _mm256_set1_epi64x(0x3c9 - 1);  // |x| < 2^-54 when top12 <= this
    const __m256i above_range = _mm256_set1_epi64x(0x408);       // |x| >= 512 when top12 >= this
    const __m256i index_mask = _mm256_set1_epi64x(127);
    std::ptrdiff_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d x = _mm256_loadu_pd(in + i);
        const __m256i top12 = _mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(x), 52), exponent_mask);
        const __m256i in_range = _mm256_and_si256(_mm256_cmpgt_epi64(top12, below_range),
                                                  _mm256_cmpgt_epi64(above_range, top12));

        const __m256d z = _mm256_fmadd_pd(x, _mm256_set1_pd(inv_ln2_n), _mm256_set1_pd(round_shift));
        const __m256i ki = _mm256_castpd_si256(z);
        const __m256d kd = _mm256_sub_pd(z, _mm256_set1_pd(round_shift));
        __m256d r = _mm256_fmadd_pd(kd, _mm256_set1_pd(neg_ln2_hi_n), x);
        r = _mm256_fmadd_pd(kd, _mm256_set1_pd(neg_ln2_lo_n), r);

        const __m256i index = _mm256_slli_epi64(_mm256_and_si256(ki, index_mask), 1);
        const __m256d tail = _mm256_castsi256_pd(_mm256_i64gather_epi64(table, index, 8));
        const __m256i scale_bits = _mm256_add_epi64(_mm256_i64gather_epi64(table + 1, index, 8),
                                                    _mm256_slli_epi64(ki, 45));

        const __m256d p23 = _mm256_fmadd_pd(r, _mm256_set1_pd(c3), _mm256_set1_pd(c2));
        const __m256d tail_r = _mm256_add_pd(r, tail);
        const __m256d r2 = _mm256_mul_pd(r, r);
        const __m256d p45 = _mm256_fmadd_pd(r, _mm256_set1_pd(c5), _mm256_set1_pd(c4));
        __m256d tmp = _mm256_fmadd_pd(p23, r2, tail_r);
        tmp = _mm256_fmadd_pd(_mm256_mul_pd(r2, r2), p45, tmp);
        const __m256d scale = _mm256_castsi256_pd(scale_bits);
        __m256d result = _mm256_fmadd_pd(scale, tmp, scale);

        // -1024 < x <= -512: the library rescales by 2^1022 to keep the
        // scale representable, unfused, and keeps the value when it is not
        // subnormal.
        const __m256d negative = _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_LT_OQ);
        const __m256d large = _mm256_castsi256_pd(_mm256_cmpeq_epi64(top12, above_range));
        const __m256d rescale = _mm256_castsi256_pd(
            _mm256_add_epi64(scale_bits, _mm256_set1_epi64x(1022ll << 52)));
        const __m256d rescaled = _mm256_add_pd(rescale, _mm256_mul_pd(rescale, tmp));
        const __m256d large_normal = _mm256_and_pd(
            _mm256_and_pd(negative, large), _mm256_cmp_pd(rescaled, _mm256_set1_pd(1.0), _CMP_GE_OQ));
        result = _mm256_blendv_pd(result, _mm256_mul_pd(rescaled, _mm256_set1_pd(0x1p-1022)), large_normal);

        // Below -746 the exact value is under half the smallest subnormal:
        // every correctly working exp, the library's included, gives +0.
        const __m256d underflows = _mm256_cmp_pd(x, _mm256_set1_pd(-746.0), _CMP_LT_OQ);
        _mm256_storeu_pd(out + i, _mm256_andnot_pd(underflows, result));

        const int vector_lanes = _mm256_movemask_pd(_mm256_castsi256_pd(in_range)) |
                                 _mm256_movemask_pd(large_normal) | _mm256_movemask_pd(underflows);
        if (vector_lanes != 0xf) {
            // Tiny, large, infinite and NaN arguments take the library's own path.
            double saved[4];
            _mm256_storeu_pd(saved, x);
            for (int lane = 0; lane < 4; ++lane) {
                if (!(vector_lanes & (1 << lane))) out[i + lane] = std::exp(saved[lane]);
            }
        }
    }
    exp_scalar(in + i, out + i, count - i);
}

// The same operations eight at a time. Arguments with |x| < 512 (tiny ones
// included: there k = 0 and the steps give the library's 1 + x) and those
// below -746 are computed in the vector; the rest are rare, so their
// handling runs only for groups of eight that hold one.
// GCC 12 takes the undefined source operand of the unmasked AVX-512
// intrinsics for an uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
[[gnu::target("avx512f")]] void exp_avx512(const double* in, double* out,
                                           std::ptrdiff_t count) noexcept {
    const auto* table = reinterpret_cast<const long long*>(kernels::exp_detail::table);
    const __m512i index_mask = _mm512_set1_epi64(127);
    for (std::ptrdiff_t i = 0; i < count; i += 8) {
        // A ragged end is read and written under a mask; its missing lanes
        // count as handled.
        const bool whole = count - i >= 8;
        const __mmask8 lanes = whole ? __mmask8(0xff) : __mmask8((1u << (count - i)) - 1);
        const __m512d x = whole ? _mm512_loadu_pd(in + i) : _mm512_maskz_loadu_pd(lanes, in + i);
        const __m512d magnitude = _mm512_abs_pd(x);
        const __mmask8 in_range = _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(512.0), _CMP_LT_OQ);
        // Below -746 every correctly working exp gives +0 (see exp_avx2);
        // far from a peak whole groups do.
        const __mmask8 underflows = _mm512_cmp_pd_mask(x, _mm512_set1_pd(-746.0), _CMP_LT_OQ);
        if ((underflows | __mmask8(~lanes)) == 0xff) {
            if (whole) {
                _mm512_storeu_pd(out + i, _mm512_setzero_pd());
            } else {
                _mm512_mask_storeu_pd(out + i, lanes, _mm512_setzero_pd());
            }
            continue;
        }

        const __m512d z = _mm512_fmadd_pd(x, _mm512_set1_pd(inv_ln2_n), _mm512_set1_pd(round_shift));
        const __m512i ki = _mm512_castpd_si512(z);
        const __m512d kd = _mm512_sub_pd(z, _mm512_set1_pd(round_shift));
        __m512d r = _mm512_fmadd_pd(kd, _mm512_set1_pd(neg_ln2_hi_n), x);
        r = _mm512_fmadd_pd(kd, _mm512_set1_pd(neg_ln2_lo_n), r);

        const __m512i index = _mm512_slli_epi64(_mm512_and_si512(ki, index_mask), 1);
        const __m512d tail = _mm512_castsi512_pd(_mm512_i64gather_epi64(index, table, 8));
        const __m512i scale_bits = _mm512_add_epi64(_mm512_i64gather_epi64(index, table + 1, 8),
                                                    _mm512_slli_epi64(ki, 45));

        const __m512d p23 = _mm512_fmadd_pd(r, _mm512_set1_pd(c3), _mm512_set1_pd(c2));
        const __m512d tail_r = _mm512_add_pd(r, tail);
        const __m512d r2 = _mm512_mul_pd(r, r);
        const __m512d p45 = _mm512_fmadd_pd(r, _mm512_set1_pd(c5), _mm512_set1_pd(c4));
        __m512d tmp = _mm512_fmadd_pd(p23, r2, tail_r);
        tmp = _mm512_fmadd_pd(_mm512_mul_pd(r2, r2), p45, tmp);
        const __m512d scale = _mm512_castsi512_pd(scale_bits);
        __m512d result = _mm512_maskz_fmadd_pd(__mmask8(~underflows), scale, tmp, scale);

        __mmask8 handled = in_range | underflows | __mmask8(~lanes);
        if (handled != 0xff) {
            // -1024 < x <= -512 with a normal result: the library's rescaled
            // evaluation, as in exp_avx2.
            const __mmask8 large = _mm512_cmp_pd_mask(x, _mm512_set1_pd(-1024.0), _CMP_GT_OQ) &
                                   _mm512_cmp_pd_mask(x, _mm512_set1_pd(-512.0), _CMP_LE_OQ);
            const __m512d rescale = _mm512_castsi512_pd(
                _mm512_add_epi64(scale_bits, _mm512_set1_epi64(1022ll << 52)));
            const __m512d rescaled = _mm512_add_pd(rescale, _mm512_mul_pd(rescale, tmp));
            const __mmask8 large_normal =
                large & _mm512_cmp_pd_mask(rescaled, _mm512_set1_pd(1.0), _CMP_GE_OQ);
            result = _mm512_mask_mov_pd(result, large_normal,
                                        _mm512_mul_pd(rescaled, _mm512_set1_pd(0x1p-1022)));
            handled |= large_normal;
        }
        if (whole) {
            _mm512_storeu_pd(out + i, result);
        } else {
            _mm512_mask_storeu_pd(out + i, lanes, result);
        }
        if (handled != 0xff) {
            // Large, infinite and NaN arguments take the library's own path.
            alignas(64) double saved[8];
            _mm512_store_pd(saved, x);
            for (int lane = 0; lane < 8; ++lane) {
                if (!(handled & (1u << lane))) out[i + lane] = std::exp(saved[lane]);
            }
        }
    }
}
#pragma GCC diagnostic pop

using ExpArray = void (*)(const double*, double*, std::ptrdiff_t) noexcept;

// Whether `vector_path` gives the library's bits on inputs that exercise
// every branch of the library's exp and the table, at every ragged end.
bool vector_path_matches_library(ExpArray vector_path) noexcept {
    constexpr int sample_count = 4096;
    double in[sample_count];
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    for (int i = 0; i < sample_count; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double unit = static_cast<double>(state >> 11) * 0x1p-53;
        switch (i % 4) {
            case 0: in[i] = -1100.0 + 1900.0 * unit; break;  // whole range, past both ends
            case 1: in[i] = -2.0 + 4.0 * unit; break;        // near zero
            case 2: in[i] = std::ldexp(unit - 0.5, -(i % 70)); break;  // tiny values
            default: {
                std::uint64_t bits = state;  // arbitrary bit patterns, NaN and inf included
                double value;
                std::memcpy(&value, &bits, sizeof value);
                in[i] = value;
            }
        }
    }
    const double specials[] = {0.0, -0.0, 512.0, -512.0, 511.99999999999994, 709.782712893384,
                               709.79, -708.3964185322641, -708.3964185322641, -708.39641853226408, -708.4, -745.1332191019411, -745.14, -745.9999999999999, -746.0, -746.0000000000001, -1e300,
                               0x1p-54, -0x1p-54, 0x1.fffffffffffffp-55, INFINITY, -INFINITY, NAN};
    std::memcpy(in, specials, sizeof specials);

    // Counts of every remainder modulo 8, the whole batch last.
    double vector_out[sample_count];
    for (std::ptrdiff_t count = sample_count - 8; count <= sample_count; ++count) {
        const std::ptrdiff_t start = sample_count - count;
        vector_path(in + start, vector_out + start, count);
        for (std::ptrdiff_t i = start; i < sample_count; ++i) {
            const double expected = std::exp(in[i]);
            if (std::isnan(expected) ? !std::isnan(vector_out[i])
                                     : std::memcmp(&expected, &vector_out[i], sizeof expected) != 0) {
                return false;
            }
        }
    }
    return true;
}

ExpArray chosen_exp_array() noexcept {
    static const ExpArray chosen = [] {
        const CpuFeatures& cpu = cpu_features();
        if (cpu.fma && cpu.avx512f && vector_path_matches_library(exp_avx512)) {
            return ExpArray{exp_avx512};
        }
        if (cpu.fma && cpu.avx2 && vector_path_matches_library(exp_avx2)) {
            return ExpArray{exp_avx2};
        }
        return ExpArray{exp_scalar};
    }();
    return chosen;
}

}  // namespace

void exp_array(const double* in, double* out, std::ptrdiff_t count) noexcept {
    chosen_exp_array()(in, out, count);
}

bool exp_array_is_vectorised() noexcept { return chosen_exp_array() != ExpArray{exp_scalar}; }

}  // namespace frame

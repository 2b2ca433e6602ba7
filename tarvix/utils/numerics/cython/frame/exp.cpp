#include "exp.hpp"
#include "exp_table.hpp"
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
    const auto* table = reinterpret_cast<const long long*>(exp_detail::table);
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

// Inputs that exercise every branch of the library's exp and the table.
bool vector_path_matches_library() noexcept {
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

    double vector_out[sample_count];
    exp_avx2(in, vector_out, sample_count);
    for (int i = 0; i < sample_count; ++i) {
        const double expected = std::exp(in[i]);
        if (std::isnan(expected) ? !std::isnan(vector_out[i])
                                 : std::memcmp(&expected, &vector_out[i], sizeof expected) != 0) {
            return false;
        }
    }
    return true;
}

using ExpArray = void (*)(const double*, double*, std::ptrdiff_t) noexcept;

ExpArray chosen_exp_array() noexcept {
    static const ExpArray chosen = [] {
        __builtin_cpu_init();
        bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                      vector_path_matches_library();
        return usable ? ExpArray{exp_avx2} : ExpArray{exp_scalar};
    }();
    return chosen;
}

}  // namespace

void exp_array(const double* in, double* out, std::ptrdiff_t count) noexcept {
    chosen_exp_array()(in, out, count);
}

bool exp_array_is_vectorised() noexcept { return chosen_exp_array() == ExpArray{exp_avx2}; }

}  // namespace frame

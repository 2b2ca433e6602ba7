// Vectors of doubles at the widths of the kernel levels: Lanes<1> (plain
// scalars, the generic level), Lanes<4> (AVX2 with FMA) and Lanes<8>
// (AVX-512). A kernel written over `class V` is one text that the compiler
// makes into each level's version (see dispatch.hpp).
//
// Every operation is the IEEE operation of its name on each lane, so a
// kernel gives the same bits at every width when it keeps the order of its
// operations: fma(a, b, c) is a*b + c rounded once, fnma(a, b, c) is
// c - a*b rounded once, comparisons are ordered (false where a NaN is
// involved). Masks say which lanes an operation touches; bits(m) has bit t
// set for lane t.
//
// The wide versions carry their instruction set as a target attribute, so
// they are inlined only into code compiled for it: the flattened entry
// points of dispatch.hpp.
#pragma once

#include "arrays.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

// Marks a lambda inside a kernel as inlined where it is called, like the
// kernel functions around it, so that it too is only ever compiled inside
// a dispatch entry point (the vector operations it calls inline there).
#define KERNELS_INLINE __attribute__((always_inline))

namespace kernels::simd {

template <int W>
struct Lanes;

template <>
struct Lanes<1> {
    static constexpr int width = 1;
    static constexpr unsigned all_lanes = 1u;
    using D = double;
    using I = std::int64_t;
    using M = bool;

    static D load(const double* p) noexcept { return *p; }
    static void store(double* p, D v) noexcept { *p = v; }
    // The first `count` lanes (all of them for count >= width).
    static M first(index_t count) noexcept { return count > 0; }
    // The lanes t whose position start + t lies in [0, count).
    static M positions_inside(index_t start, index_t count) noexcept { return start >= 0 && start < count; }
    static D load_masked(const double* p, M m) noexcept { return m ? *p : 0.0; }
    static void store_masked(double* p, M m, D v) noexcept {
        if (m) *p = v;
    }
    static D broadcast(double x) noexcept { return x; }
    static D zero() noexcept { return 0.0; }

    static D add(D a, D b) noexcept { return a + b; }
    static D sub(D a, D b) noexcept { return a - b; }
    static D mul(D a, D b) noexcept { return a * b; }
    static D div(D a, D b) noexcept { return a / b; }
    static D fma(D a, D b, D c) noexcept { return std::fma(a, b, c); }
    static D fnma(D a, D b, D c) noexcept { return std::fma(-a, b, c); }
    static D abs(D a) noexcept { return std::fabs(a); }

    static M less(D a, D b) noexcept { return a < b; }
    static M less_equal(D a, D b) noexcept { return a <= b; }
    static M greater(D a, D b) noexcept { return a > b; }
    static M greater_equal(D a, D b) noexcept { return a >= b; }
    static M equal(D a, D b) noexcept { return a == b; }
    static M both(M a, M b) noexcept { return a && b; }
    static M either(M a, M b) noexcept { return a || b; }
    static M inverse(M a) noexcept { return !a; }
    static unsigned bits(M m) noexcept { return m ? 1u : 0u; }
    static D select(M m, D a, D b) noexcept { return m ? a : b; }

    static I bits_of(D a) noexcept {
        I i;
        std::memcpy(&i, &a, sizeof i);
        return i;
    }
    static D from_bits(I i) noexcept {
        D a;
        std::memcpy(&a, &i, sizeof a);
        return a;
    }
    static I int_broadcast(std::int64_t x) noexcept { return x; }
    static I int_and(I a, I b) noexcept { return a & b; }
    static I int_add(I a, I b) noexcept {
        return static_cast<I>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
    }
    template <int n>
    static I shift_left(I a) noexcept {
        return static_cast<I>(static_cast<std::uint64_t>(a) << n);
    }
    static M int_equal(I a, I b) noexcept { return a == b; }
    static M int_greater(I a, I b) noexcept { return a > b; }
    // table[index] for 64-bit entries.
    static I gather(const std::int64_t* table, I index) noexcept { return table[index]; }
};

#define KERNELS_AVX2 gnu::target("avx2,fma")

template <>
struct Lanes<4> {
    static constexpr int width = 4;
    static constexpr unsigned all_lanes = 0xfu;
    using D = __m256d;
    using I = __m256i;
    using M = __m256d;  // all ones in a lane that is set

    [[KERNELS_AVX2]] static D load(const double* p) noexcept { return _mm256_loadu_pd(p); }
    [[KERNELS_AVX2]] static void store(double* p, D v) noexcept { _mm256_storeu_pd(p, v); }
    [[KERNELS_AVX2]] static M first(index_t count) noexcept {
        const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
        return _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_set1_epi64x(count), lane));
    }
    [[KERNELS_AVX2]] static M positions_inside(index_t start, index_t count) noexcept {
        const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
        const __m256i position = _mm256_add_epi64(_mm256_set1_epi64x(start), lane);
        return _mm256_castsi256_pd(_mm256_and_si256(_mm256_cmpgt_epi64(position, _mm256_set1_epi64x(-1)),
                                                    _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), position)));
    }
    // Lanes outside the mask are not read (no fault there) and read as 0.
    [[KERNELS_AVX2]] static D load_masked(const double* p, M m) noexcept {
        return _mm256_maskload_pd(p, _mm256_castpd_si256(m));
    }
    [[KERNELS_AVX2]] static void store_masked(double* p, M m, D v) noexcept {
        _mm256_maskstore_pd(p, _mm256_castpd_si256(m), v);
    }
    [[KERNELS_AVX2]] static D broadcast(double x) noexcept { return _mm256_set1_pd(x); }
    [[KERNELS_AVX2]] static D zero() noexcept { return _mm256_setzero_pd(); }

    [[KERNELS_AVX2]] static D add(D a, D b) noexcept { return _mm256_add_pd(a, b); }
    [[KERNELS_AVX2]] static D sub(D a, D b) noexcept { return _mm256_sub_pd(a, b); }
    [[KERNELS_AVX2]] static D mul(D a, D b) noexcept { return _mm256_mul_pd(a, b); }
    [[KERNELS_AVX2]] static D div(D a, D b) noexcept { return _mm256_div_pd(a, b); }
    [[KERNELS_AVX2]] static D fma(D a, D b, D c) noexcept { return _mm256_fmadd_pd(a, b, c); }
    [[KERNELS_AVX2]] static D fnma(D a, D b, D c) noexcept { return _mm256_fnmadd_pd(a, b, c); }
    [[KERNELS_AVX2]] static D abs(D a) noexcept {
        return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a);
    }

    [[KERNELS_AVX2]] static M less(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    [[KERNELS_AVX2]] static M less_equal(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    [[KERNELS_AVX2]] static M greater(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    [[KERNELS_AVX2]] static M greater_equal(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    [[KERNELS_AVX2]] static M equal(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    [[KERNELS_AVX2]] static M both(M a, M b) noexcept { return _mm256_and_pd(a, b); }
    [[KERNELS_AVX2]] static M either(M a, M b) noexcept { return _mm256_or_pd(a, b); }
    [[KERNELS_AVX2]] static M inverse(M a) noexcept {
        return _mm256_xor_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)));
    }
    [[KERNELS_AVX2]] static unsigned bits(M m) noexcept { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    [[KERNELS_AVX2]] static D select(M m, D a, D b) noexcept { return _mm256_blendv_pd(b, a, m); }

    [[KERNELS_AVX2]] static I bits_of(D a) noexcept { return _mm256_castpd_si256(a); }
    [[KERNELS_AVX2]] static D from_bits(I i) noexcept { return _mm256_castsi256_pd(i); }
    [[KERNELS_AVX2]] static I int_broadcast(std::int64_t x) noexcept { return _mm256_set1_epi64x(x); }
    [[KERNELS_AVX2]] static I int_and(I a, I b) noexcept { return _mm256_and_si256(a, b); }
    [[KERNELS_AVX2]] static I int_add(I a, I b) noexcept { return _mm256_add_epi64(a, b); }
    template <int n>
    [[KERNELS_AVX2]] static I shift_left(I a) noexcept {
        return _mm256_slli_epi64(a, n);
    }
    [[KERNELS_AVX2]] static M int_equal(I a, I b) noexcept {
        return _mm256_castsi256_pd(_mm256_cmpeq_epi64(a, b));
    }
    [[KERNELS_AVX2]] static M int_greater(I a, I b) noexcept {
        return _mm256_castsi256_pd(_mm256_cmpgt_epi64(a, b));
    }
    [[KERNELS_AVX2]] static I gather(const std::int64_t* table, I index) noexcept {
        return _mm256_i64gather_epi64(reinterpret_cast<const long long*>(table), index, 8);
    }
};

#define KERNELS_AVX512 gnu::target("avx512f,avx2,fma")

// GCC 12 takes the undefined source operand of the unmasked AVX-512
// intrinsics for an uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

template <>
struct Lanes<8> {
    static constexpr int width = 8;
    static constexpr unsigned all_lanes = 0xffu;
    using D = __m512d;
    using I = __m512i;
    using M = __mmask8;

    [[KERNELS_AVX512]] static D load(const double* p) noexcept { return _mm512_loadu_pd(p); }
    [[KERNELS_AVX512]] static void store(double* p, D v) noexcept { _mm512_storeu_pd(p, v); }
    [[KERNELS_AVX512]] static M first(index_t count) noexcept {
        return count >= 8 ? M(0xff) : M((1u << (count > 0 ? count : 0)) - 1);
    }
    [[KERNELS_AVX512]] static M positions_inside(index_t start, index_t count) noexcept {
        const __m512i lane = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
        const __m512i position = _mm512_add_epi64(_mm512_set1_epi64(start), lane);
        return _mm512_mask_cmpgt_epi64_mask(_mm512_cmpgt_epi64_mask(position, _mm512_set1_epi64(-1)),
                                            _mm512_set1_epi64(count), position);
    }
    // Lanes outside the mask are not read (no fault there) and read as 0.
    [[KERNELS_AVX512]] static D load_masked(const double* p, M m) noexcept {
        return _mm512_maskz_loadu_pd(m, p);
    }
    [[KERNELS_AVX512]] static void store_masked(double* p, M m, D v) noexcept {
        _mm512_mask_storeu_pd(p, m, v);
    }
    [[KERNELS_AVX512]] static D broadcast(double x) noexcept { return _mm512_set1_pd(x); }
    [[KERNELS_AVX512]] static D zero() noexcept { return _mm512_setzero_pd(); }

    [[KERNELS_AVX512]] static D add(D a, D b) noexcept { return _mm512_add_pd(a, b); }
    [[KERNELS_AVX512]] static D sub(D a, D b) noexcept { return _mm512_sub_pd(a, b); }
    [[KERNELS_AVX512]] static D mul(D a, D b) noexcept { return _mm512_mul_pd(a, b); }
    [[KERNELS_AVX512]] static D div(D a, D b) noexcept { return _mm512_div_pd(a, b); }
    [[KERNELS_AVX512]] static D fma(D a, D b, D c) noexcept { return _mm512_fmadd_pd(a, b, c); }
    [[KERNELS_AVX512]] static D fnma(D a, D b, D c) noexcept { return _mm512_fnmadd_pd(a, b, c); }
    [[KERNELS_AVX512]] static D abs(D a) noexcept { return _mm512_abs_pd(a); }

    [[KERNELS_AVX512]] static M less(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    [[KERNELS_AVX512]] static M less_equal(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    [[KERNELS_AVX512]] static M greater(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    [[KERNELS_AVX512]] static M greater_equal(D a, D b) noexcept {
        return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ);
    }
    [[KERNELS_AVX512]] static M equal(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M both(M a, M b) noexcept { return M(a & b); }
    static M either(M a, M b) noexcept { return M(a | b); }
    static M inverse(M a) noexcept { return M(~a); }
    static unsigned bits(M m) noexcept { return m; }
    [[KERNELS_AVX512]] static D select(M m, D a, D b) noexcept { return _mm512_mask_mov_pd(b, m, a); }

    [[KERNELS_AVX512]] static I bits_of(D a) noexcept { return _mm512_castpd_si512(a); }
    [[KERNELS_AVX512]] static D from_bits(I i) noexcept { return _mm512_castsi512_pd(i); }
    [[KERNELS_AVX512]] static I int_broadcast(std::int64_t x) noexcept { return _mm512_set1_epi64(x); }
    [[KERNELS_AVX512]] static I int_and(I a, I b) noexcept { return _mm512_and_si512(a, b); }
    [[KERNELS_AVX512]] static I int_add(I a, I b) noexcept { return _mm512_add_epi64(a, b); }
    template <int n>
    [[KERNELS_AVX512]] static I shift_left(I a) noexcept {
        return _mm512_slli_epi64(a, n);
    }
    [[KERNELS_AVX512]] static M int_equal(I a, I b) noexcept { return _mm512_cmpeq_epi64_mask(a, b); }
    [[KERNELS_AVX512]] static M int_greater(I a, I b) noexcept { return _mm512_cmpgt_epi64_mask(a, b); }
    [[KERNELS_AVX512]] static I gather(const std::int64_t* table, I index) noexcept {
        return _mm512_i64gather_epi64(index, reinterpret_cast<const long long*>(table), 8);
    }
};

#pragma GCC diagnostic pop

}  // namespace kernels::simd

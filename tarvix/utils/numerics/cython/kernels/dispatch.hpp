// The kernel level: which instruction set the kernels run with. Every module
// runs its kernels through `dispatch`, so all of them agree on the level.
//
// A kernel is written once over its vector type V (simd.hpp) and handed to
// dispatch as a lambda templated on V; dispatch calls it from an entry point
// compiled for the level's instruction set, into which everything the
// kernel calls is inlined (flatten). The same text thus becomes the
// generic, the AVX2 and the AVX-512 version, each giving the same bits.
//
// The level is the CPU's highest, asked once per process, unless the build
// pins it (meson option kernel_level, which sets KERNELS_PINNED_LEVEL): a
// pinned build compiles and runs that level's version only.
#pragma once

#include "simd.hpp"

namespace kernels {

enum class Level { generic = 0, avx2 = 1, avx512 = 2 };

inline const char* level_name(Level level) noexcept {
    switch (level) {
        case Level::avx512: return "avx512";
        case Level::avx2: return "avx2";
        default: return "generic";
    }
}

// The highest level this CPU runs: AVX-512 needs AVX-512F, AVX2 and FMA;
// AVX2 needs AVX2 and FMA.
inline Level cpu_level() noexcept {
    static const Level level = [] {
        __builtin_cpu_init();
        const bool fma = __builtin_cpu_supports("fma");
        const bool avx2 = __builtin_cpu_supports("avx2");
        const bool avx512f = __builtin_cpu_supports("avx512f");
        if (avx512f && avx2 && fma) return Level::avx512;
        if (avx2 && fma) return Level::avx2;
        return Level::generic;
    }();
    return level;
}

#ifdef KERNELS_PINNED_LEVEL
inline constexpr bool level_pinned = true;
inline constexpr Level pinned_level = static_cast<Level>(KERNELS_PINNED_LEVEL);
#else
inline constexpr bool level_pinned = false;
inline constexpr Level pinned_level = Level::generic;
#endif

// The level the kernels run at.
inline Level kernel_level() noexcept { return level_pinned ? pinned_level : cpu_level(); }

// False only for a build pinned to a level this CPU lacks.
inline bool kernel_level_runs_here() noexcept { return kernel_level() <= cpu_level(); }

namespace dispatch_detail {

template <class Kernel>
[[gnu::flatten, gnu::noinline]] void run_generic(const Kernel& kernel) {
    kernel.template operator()<simd::Lanes<1>>();
}

template <class Kernel>
[[KERNELS_AVX2, gnu::flatten, gnu::noinline]] void run_avx2(const Kernel& kernel) {
    kernel.template operator()<simd::Lanes<4>>();
}

template <class Kernel>
[[KERNELS_AVX512, gnu::flatten, gnu::noinline]] void run_avx512(const Kernel& kernel) {
    kernel.template operator()<simd::Lanes<8>>();
}

// Runs the kernel with vectors V, compiled for V's instruction set.
template <class V, class Kernel>
inline void run_with(const Kernel& kernel) {
    if constexpr (V::width == 8) {
        run_avx512(kernel);
    } else if constexpr (V::width == 4) {
        run_avx2(kernel);
    } else {
        run_generic(kernel);
    }
}

template <Level level>
using LanesOf = simd::Lanes<level == Level::avx512 ? 8 : level == Level::avx2 ? 4 : 1>;

}  // namespace dispatch_detail

// Runs `kernel.template operator()<V>()` at the kernel level, V being that
// level's vectors: simd::Lanes<1>, <4> or <8>. Typically
//   kernels::dispatch([&]<class V>() { some_kernel<V>(arguments); });
// Touches no Python object; safe without the interpreter lock.
//
// Code that takes or returns vectors must stay inside such a call (it is
// inlined there): compiled outside it, a wide vector would cross between
// code built for different instruction sets.
template <class Kernel>
inline void dispatch(const Kernel& kernel) {
    if constexpr (level_pinned) {
        dispatch_detail::run_with<dispatch_detail::LanesOf<pinned_level>>(kernel);
    } else {
        switch (cpu_level()) {
            case Level::avx512: dispatch_detail::run_with<simd::Lanes<8>>(kernel); break;
            case Level::avx2: dispatch_detail::run_with<simd::Lanes<4>>(kernel); break;
            default: dispatch_detail::run_with<simd::Lanes<1>>(kernel); break;
        }
    }
}

// From inside a kernel that dispatch runs with vectors V: runs
// `kernel.template operator()<V>()` through an entry point of its own at
// the same level, called rather than inlined. A large kernel reached from
// several places of an outer one (a fit in each stage of an analysis) is
// then compiled once per level, not once per place; no vector crosses the
// call.
template <class V, class Kernel>
inline void run_apart(const Kernel& kernel) {
    dispatch_detail::run_with<V>(kernel);
}

}  // namespace kernels

// What the CPU offers beyond baseline x86-64, asked once per process. Every
// kernel that has versions for several instruction sets chooses among them
// with these, so that all modules agree on what a CPU can run.
#pragma once

namespace frame {

struct CpuFeatures {
    bool fma;
    bool avx2;
    bool avx512f;
};

inline const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = [] {
        __builtin_cpu_init();
        return CpuFeatures{__builtin_cpu_supports("fma") != 0, __builtin_cpu_supports("avx2") != 0,
                           __builtin_cpu_supports("avx512f") != 0};
    }();
    return features;
}

inline bool cpu_has_fma() noexcept { return cpu_features().fma; }
inline bool cpu_has_avx2() noexcept { return cpu_features().avx2; }
inline bool cpu_has_avx2_fma() noexcept { return cpu_features().avx2 && cpu_features().fma; }
inline bool cpu_has_avx512f() noexcept { return cpu_features().avx512f; }

}  // namespace frame

// Running a kernel with hardware fused multiply-add where the CPU has it.
//
// The kernel is written once with std::fma and inlined into two callers:
// one compiled for the FMA instruction set, where std::fma becomes a single
// vfmadd instruction, and a generic one, where it stays the exactly rounded
// library fma. Both give the same bits; the CPU is asked once per process.
#pragma once

#include "cpu.hpp"

namespace frame {

template <class Kernel>
[[gnu::target("fma"), gnu::flatten]] inline void run_with_fma_instructions(const Kernel& kernel) {
    kernel();
}

template <class Kernel>
[[gnu::flatten]] inline void run_generic(const Kernel& kernel) {
    kernel();
}

// Runs `kernel()`, a lambda whose body (and what it calls inline) uses
// std::fma for the multiply-adds it wants fused.
template <class Kernel>
inline void run_fma_dispatched(const Kernel& kernel) {
    if (cpu_has_fma()) {
        run_with_fma_instructions(kernel);
    } else {
        run_generic(kernel);
    }
}

}  // namespace frame

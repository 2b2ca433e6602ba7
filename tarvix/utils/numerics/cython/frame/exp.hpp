// exp over arrays, with the bits of the C library's scalar exp.
#pragma once

#include <cstddef>

namespace frame {

// out[i] = std::exp(in[i]) for i < count, bit for bit. Where the CPU has
// FMA and AVX-512 (eight values at a time) or AVX2 (four at a time) and
// the C library's exp is the table-driven one this code mirrors (checked
// once per process against std::exp itself), the vector path runs;
// otherwise std::exp is called per element.
// `in` and `out` may be the same array.
void exp_array(const double* in, double* out, std::ptrdiff_t count) noexcept;

// Whether exp_array runs the vector path (for benchmarks and tests).
bool exp_array_is_vectorised() noexcept;

}  // namespace frame

// Spectra side by side: a block of up to `lanes` rows of an (S, n) array
// stored spectrum-minor, element (i, l) at [i * lanes + l], so that one
// vector holds channel i of several spectra and every lane runs the same
// operations in the same order (row s's bits do not depend on its
// neighbours, nor on the vector width). Lanes past the block's rows hold 0.
//
//   load_lanes:  out[i * lanes + l] = f(in(first + l, i)), l < rows; 0 beyond.   O(n * lanes)
//   store_lane:  out(s, i) = in[i * lanes + l] for one lane.                     O(n)
#pragma once

#include "arrays.hpp"

#include <algorithm>

namespace kernels::lanes {

// Rows per block: a multiple of every vector width.
constexpr index_t block = 8;

template <class T, class F>
inline void load_lanes(Strided2<const T> in, index_t first, index_t rows, index_t lanes, double* out, F&& f) {
    const index_t n = in.columns;
    std::fill(out, out + n * lanes, 0.0);
    for (index_t l = 0; l < rows; ++l) {
        const Strided1<const T> row = in.row(first + l);
        for (index_t i = 0; i < n; ++i) out[i * lanes + l] = f(row[i]);
    }
}

inline void lane_to_row(const double* in, index_t n, index_t lanes, index_t l, double* out) {
    for (index_t i = 0; i < n; ++i) out[i] = in[i * lanes + l];
}

}  // namespace kernels::lanes

// Searches on a sorted axis: one bisection, one outward search from a hint,
// one linear scan and one check of order. `Axis` is anything indexed like
// an array of doubles (Strided1, Unit, a pointer); n is its length.
#pragma once

#include "arrays.hpp"

#include <algorithm>

namespace kernels {

// NumPy's ordering of doubles: NaN after every number.
inline bool npy_less(double a, double b) noexcept { return (a < b) | ((b != b) & (a == a)); }

// The first i in [base, base + length] with !after(i), for an after() that
// holds on a prefix of that range and fails on the rest: the point where
// after() turns from true to false. Reads after() at indices in [base,
// base + length). Branch-free: the probes depend on the data, so a branch
// on them would be mispredicted half the time. O(log length).
template <class After>
inline index_t partition_point(index_t base, index_t length, After after) {
    if (length == 0) return base;
    while (length > 1) {
        const index_t half = length / 2;
        base = after(base + half - 1) ? base + half : base;
        length -= half;
    }
    return base + (after(base) ? 1 : 0);
}

namespace search_detail {

// partition_point_near's search for a point away from its hint: outwards
// from `hint` (0 <= hint <= n) in steps that double, then bisected. Out of
// line and cold: the loops that search from a hint rarely come here, and
// inlined it would take registers from the usual case.
template <class After>
[[gnu::noinline, gnu::cold]] index_t partition_point_outwards(index_t n, index_t hint, After after) {
    index_t step = 1;
    if (hint < n && after(hint)) {
        index_t low = hint + 1;  // the point is >= low
        while (low + step - 1 < n && after(low + step - 1)) {
            low += step;
            step *= 2;
        }
        const index_t high = std::min(n, low + step - 1);
        return partition_point(low, high - low, after);
    }
    index_t high = hint;  // the point is <= high
    while (high - step >= 0 && !after(high - step)) {
        high -= step;
        step *= 2;
    }
    const index_t low = std::max<index_t>(0, high - step + 1);
    return partition_point(low, high - low, after);
}

}  // namespace search_detail

// The same point in [0, n], searched from `hint` (0 <= hint <= n), for
// keys that move little from one search to the next. The point at hint + 1
// (keys stepping along an axis of like spacing) costs two probes and one
// bounds test, the point at hint one probe more; any other is searched
// outwards in steps that double, then bisected. O(log distance).
template <class After>
inline index_t partition_point_near(index_t n, index_t hint, After after) {
    if (hint + 1 < n) [[likely]] {
        if (after(hint)) {
            if (!after(hint + 1)) [[likely]] return hint + 1;
            return search_detail::partition_point_outwards(n, hint + 2, after);
        }
        if (hint == 0 || after(hint - 1)) return hint;
        return search_detail::partition_point_outwards(n, hint - 1, after);
    }
    return search_detail::partition_point_outwards(n, hint, after);
}

enum class Side { left, right };

// Whether np.searchsorted(a, key, side)'s answer lies beyond i, on an axis
// ascending in npy_less order: left, a[i] < key; right, !(key < a[i]).
template <Side side, class Axis>
inline auto beyond(const Axis& a, double key) {
    return [&a, key](index_t i) { return side == Side::left ? npy_less(a[i], key) : !npy_less(key, a[i]); };
}

// np.searchsorted(a, key, side) for a[n] ascending in npy_less order (any
// correct search of such an axis finds NumPy's index, NaN and infinite keys
// included). O(log n).
template <Side side, class Axis>
inline index_t searchsorted(const Axis& a, index_t n, double key) {
    return partition_point(0, n, beyond<side>(a, key));
}

// The same, searched from the answer for a nearby key. O(log distance).
template <Side side, class Axis>
inline index_t searchsorted_near(const Axis& a, index_t n, double key, index_t hint) {
    return partition_point_near(n, hint, beyond<side>(a, key));
}

// Whether a[n] is ascending in npy_less order (ties allowed, NaN only at
// the end). O(n).
template <class Axis>
inline bool ascending(const Axis& a, index_t n) {
    for (index_t i = 1; i < n; ++i) {
        if (npy_less(a[i], a[i - 1])) return false;
    }
    return true;
}

// The first i with !(E > a[i]), that is a[i] not below E (a NaN in E or in
// a[i] stops there), or -1 when there is none: a linear scan from 0, for
// a[n] in any order. O(n).
template <class Axis>
inline index_t find_index_from_energy(double E, const Axis& a, index_t n) {
    index_t i = 0;
    while (i < n && E > a[i]) ++i;
    return i == n ? -1 : i;
}

// The same index for a[n] ascending without NaN, where E > a[i] holds on a
// prefix, by bisection (n in place of -1). O(log n).
template <class Axis>
inline index_t bisect_index_from_energy(double E, const Axis& a, index_t n) {
    return partition_point(0, n, [&a, E](index_t i) { return E > a[i]; });
}

// The same, searched from the index for a nearby energy (hint in [0, n]).
// O(log distance).
template <class Axis>
inline index_t bisect_index_from_energy_near(double E, const Axis& a, index_t n, index_t hint) {
    return partition_point_near(n, hint, [&a, E](index_t i) { return E > a[i]; });
}

}  // namespace kernels

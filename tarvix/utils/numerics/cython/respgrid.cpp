// tarvix.utils.numerics.cython.respgrid: region boundaries of a photopeak
// line, and resampling of a detector response matrix known at reference
// photopeak energies onto requested photopeak energies and a requested
// energy axis, returned as a CSR triple (offsets, indices, values).
//
// Each requested energy is mapped region by region (backscatter peak,
// Compton edge, photopeak window, escape peaks) onto the two bracketing
// reference rows, so that their features line up; only then are the two
// sampled values interpolated linearly in photopeak energy. Energies are in
// keV: 511 is the electron rest energy, 1022 twice it.

#include "frame/args.hpp"
#include "frame/arrays.hpp"
#include "frame/buffer.hpp"
#include "frame/cpu.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "frame/value_errors.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using frame::Strided1;
using Values = Strided1<const double>;

// ---------------------------------------------------------------------------
// Argument tables and the NumPy names the functions use.

const frame::Signature<3> regions_signature{"calculate_regions",
                                            {"E_p", "max_value", "has_escape_peaks"}};
const frame::Signature<5> respgrid_signature{
    "respgrid_cy",
    {"response_matrix", "ref_indices", "ref_E_axis", "requested_indices", "requested_E_axis"}};

constexpr frame::Name empty_name{"empty"};
constexpr frame::Name sum_name{"sum"};
constexpr frame::Name nansum_name{"nansum"};
constexpr frame::Name max_name{"max"};
constexpr frame::Name asarray_name{"asarray"};
constexpr frame::Name float64_name{"float64"};
constexpr frame::Name int64_name{"int64"};
constexpr frame::Name int32_name{"int32"};

constexpr Py_ssize_t max_regions = 8;
constexpr double escape_peak_threshold = 1022.0;  // lines above it have escape peaks
constexpr double kept_above = 1e-12;              // smaller resampled values are dropped

// ---------------------------------------------------------------------------
// Checks of respgrid_cy's arguments, run before any row is computed.

// The five arrays of respgrid_cy, in parameter order, and their buffers.
struct ResampleInputs {
    static constexpr std::size_t count = 5;
    std::array<PyObject*, count> objects{};
    std::array<frame::HeldBuffer, count> buffers;

    PyObject* response_matrix() const noexcept { return objects[0]; }
    PyObject* ref_indices() const noexcept { return objects[1]; }
    PyObject* ref_E_axis() const noexcept { return objects[2]; }
    PyObject* requested_E_axis() const noexcept { return objects[4]; }
    const frame::HeldBuffer& matrix_buffer() const noexcept { return buffers[0]; }
    Values ref_indices_values() const noexcept { return buffers[1].view1<const double>(); }
    Values ref_E_axis_values() const noexcept { return buffers[2].view1<const double>(); }
    Values requested_indices_values() const noexcept { return buffers[3].view1<const double>(); }
    Values requested_E_axis_values() const noexcept { return buffers[4].view1<const double>(); }
    Py_ssize_t requested_E_axis_length() const noexcept { return buffers[4].extent(0); }

    // Argument count and keywords; the type test of all five; their float64
    // buffers (2-D response_matrix); then None, refused naming the argument.
    bool take(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (!respgrid_signature.parse(args, nargs, kwnames, objects)) return false;
        for (std::size_t a = 0; a < count; ++a) {
            if (!frame::check_ndarray(objects[a], respgrid_signature.names[a].text())) return false;
        }
        for (std::size_t a = 0; a < count; ++a) {
            if (!buffers[a].acquire_array(objects[a], frame::float64_t, a == 0 ? 2 : 1)) return false;
        }
        for (std::size_t a = 0; a < count; ++a) {
            if (!frame::refuse_none(objects[a], respgrid_signature.names[a].text())) return false;
        }
        return true;
    }
};

// Checked when there is a requested row (with none, nothing else is read):
// each requested energy lies in [ref_indices[0], ref_indices[last]], so that
// two reference rows bracket it, which needs two reference energies; the
// reference rows cover ref_E_axis; the result columns fit int32.
bool check_requested_rows(const ResampleInputs& in) {
    const Values reference = in.ref_indices_values();
    if (reference.size < 2) {
        frame::raise_too_few("ref_indices", 2, "entries", "to bracket the requested energies",
                             reference.size);
        return false;
    }
    const double first = reference[0];
    const double last = reference[reference.size - 1];
    const Values requested = in.requested_indices_values();
    for (Py_ssize_t i = 0; i < requested.size; ++i) {
        if (!(first <= requested[i] && requested[i] <= last)) {
            frame::raise_outside_range("requested_indices", i, requested[i],
                                       "the range of ref_indices", first, last);
            return false;
        }
    }
    const Py_ssize_t reference_columns = in.matrix_buffer().extent(1);
    if (reference_columns < in.ref_E_axis_values().size) {
        frame::raise_too_few("response_matrix", in.ref_E_axis_values().size, "columns",
                             "one per entry of ref_E_axis", reference_columns);
        return false;
    }
    constexpr Py_ssize_t int32_columns = Py_ssize_t{std::numeric_limits<std::int32_t>::max()} + 1;
    if (in.requested_E_axis_length() > int32_columns) {
        frame::raise_too_many_for_index("requested_E_axis", in.requested_E_axis_length(), "int32");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Kernels: doubles and strided arrays, no Python objects.

// Region boundaries of a line at E_p, in this order:
//   0, b, E_p - b, E_p - 10, E_p + 10, [E_p - 511, E_p - 1022,] max_value
// with the backscatter energy b = E_p / ((2*E_p)/511 + 1) and the Compton
// edge E_p - b. out[8]; returns 6, or 8 with escape peaks.
// Not sorted here; no guard on b's divisor (zero at E_p = -255.5).
Py_ssize_t region_boundaries(double E_p, double max_value, bool escape_peaks, double* out) {
    const double backscatter = E_p / ((2.0 * E_p) / 511.0 + 1.0);
    Py_ssize_t n = 0;
    out[n++] = 0.0;
    out[n++] = backscatter;
    out[n++] = E_p - backscatter;
    out[n++] = E_p - 10.0;
    out[n++] = E_p + 10.0;
    if (escape_peaks) {
        out[n++] = E_p - 511.0;
        out[n++] = E_p - 1022.0;
    }
    out[n++] = max_value;
    return n;
}

// First i with !(E > a[i]), that is a[i] not below E (a NaN in E or a[i]
// stops there); -1 when there is none. a[n] in any order. O(n).
Py_ssize_t find_index_from_energy(double E, Values a) {
    Py_ssize_t i = 0;
    while (i < a.size && E > a[i]) ++i;
    return i == a.size ? -1 : i;
}

// The same index for a[n] ascending (ties allowed) and free of NaN, where
// E > a[i] holds on a prefix: bisection for its end, halving the candidate
// range [base, base + length) without a branch per step. A NaN E gives 0,
// as the scan does. O(log n).
Py_ssize_t bisect_index_from_energy(double E, Values a) {
    if (a.size == 0) return -1;
    Py_ssize_t base = 0;
    Py_ssize_t length = a.size;
    while (length > 1) {
        const Py_ssize_t half = length / 2;
        base = E > a[base + half - 1] ? base + half : base;
        length -= half;
    }
    const Py_ssize_t index = base + (E > a[base] ? 1 : 0);
    return index == a.size ? -1 : index;
}

// True when a[n] is ascending (ties allowed) and holds no NaN. O(n).
bool ascending_without_nan(Values a) {
    for (Py_ssize_t i = 0; i < a.size; ++i) {
        if (std::isnan(a[i]) || (i > 0 && a[i - 1] > a[i])) return false;
    }
    return true;
}

// An array searched with find_index_from_energy, bisected where that gives
// the same index.
struct EnergyLookup {
    Values array;
    bool ascending;

    Py_ssize_t find(double E) const {
        return ascending ? bisect_index_from_energy(E, array) : find_index_from_energy(E, array);
    }
};

// ---------------------------------------------------------------------------
// The row kernel. For every energy x of the requested axis it evaluates
//   k = find_index_from_energy(x, R); NaN when k <= 0   R = requested regions
//   f = (x - R[k-1]) / (R[k] - R[k-1])
//   e = S[k-1] + f * (S[k] - S[k-1])                     S = low, high regions
//   y = NaN when i = find_index_from_energy(e, ref_E_axis) <= 0, else
//       ((Y[i] - Y[i-1]) * (e - A[i-1])) / (A[i] - A[i-1]) + Y[i-1]
//                                           A = ref_E_axis, Y = low, high row
//   value = ((y_high - y_low) * (E_p - low_E)) / (high_E - low_E) + y_low
// with exactly these operations in this order, so that the bits are those of
// the value-by-value evaluation. It runs over blocks of the axis in three
// sweeps, the first and last free of branches so that they run on vectors
// (the divisions are most of the arithmetic):
//   1. k, f and both e;
//   2. the two lookups on ref_E_axis, and y's numerator, divisor and base;
//   3. both y and the value.
// Sweep 2 searches from the previous answer where ref_E_axis is ascending:
// the mapped energies mostly ascend with x, a step or two per column.

constexpr Py_ssize_t block_size = 256;
constexpr int walk_steps = 4;  // steps up from the previous answer before bisecting
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// Region k of a row (k in [1, n) for n boundaries), indexed by the scan's
// result: the requested row's boundaries, and start and width of region k
// in the requested row and in the two reference rows. Entries 0 and n, for
// x at or below the first boundary, above the last, or NaN, hold NaN, which
// carries through to the value without a branch.
struct RegionTable {
    Py_ssize_t count = 0;
    const double* boundary = nullptr;  // [n]
    const double* start = nullptr;     // each [n + 1]
    const double* width = nullptr;
    const double* low_start = nullptr;
    const double* low_width = nullptr;
    const double* high_start = nullptr;
    const double* high_width = nullptr;
};

// Storage of a RegionTable, kept for the whole call: filling it allocates
// only for more boundaries than any row had before.
struct RegionStorage {
    std::vector<double> data;

    RegionStorage() { data.reserve(7 * (max_regions + 1)); }

    // The table of the requested regions R and the reference regions L and
    // H, all of n entries.
    RegionTable fill(Values R, Values L, Values H) {
        const Py_ssize_t n = R.size;
        const auto entries = static_cast<std::size_t>(n + 1);
        data.assign(7 * entries, nan_value);
        double* boundary = data.data();
        double* columns[6];
        for (std::size_t c = 0; c < 6; ++c) columns[c] = data.data() + (c + 1) * entries;
        for (Py_ssize_t i = 0; i < n; ++i) boundary[i] = R[i];
        for (Py_ssize_t k = 1; k < n; ++k) {
            columns[0][k] = R[k - 1];
            columns[1][k] = R[k] - R[k - 1];
            columns[2][k] = L[k - 1];
            columns[3][k] = L[k] - L[k - 1];
            columns[4][k] = H[k - 1];
            columns[5][k] = H[k] - H[k - 1];
        }
        return RegionTable{n, boundary, columns[0], columns[1], columns[2], columns[3], columns[4], columns[5]};
    }
};

// Interval i of ref_E_axis (i in [1, n)): its lower end A[i-1] and its
// width A[i] - A[i-1], as the interpolation on the axis uses them.
struct AxisInterval {
    double start;
    double width;
};

// What one row's kernel reads: the requested axis x[columns] and ref_E_axis
// A[ref_columns] as contiguous copies, with A[-1] = -inf and A[ref_columns]
// = +inf around it (every E but NaN and -inf is above the first, none above
// the last, so that a search needs no bounds test); A's intervals; whether
// A is ascending without NaN; the two normalised rows (>= ref_columns
// entries); the region table; and E_p - low_E, high_E - low_E.
struct RowKernel {
    const double* axis;
    Py_ssize_t columns;
    const double* ref_axis;
    const AxisInterval* intervals;
    Py_ssize_t ref_columns;
    bool ref_ascending;
    Values low_row;
    Values high_row;
    RegionTable regions;
    double above_low;
    double low_to_high;
};

// Sweep 1 on x[m]: k by the scan over the n boundaries without an early
// exit (k counts the leading boundaries below x), then f and both e.
// N is n when fixed at compile time, 0 otherwise.
template <Py_ssize_t N>
[[gnu::always_inline]] inline void map_to_references(const double* x, Py_ssize_t m, const RegionTable& t,
                                                     double* e_low, double* e_high) {
    const Py_ssize_t n = N > 0 ? N : t.count;
    for (Py_ssize_t j = 0; j < m; ++j) {
        const double xj = x[j];
        Py_ssize_t k = 0;
        bool below = true;
#pragma GCC unroll 8
        for (Py_ssize_t r = 0; r < n; ++r) {
            below = below & (xj > t.boundary[r]);
            k += below;
        }
        const double f = (xj - t.start[k]) / t.width[k];
        e_low[j] = t.low_start[k] + f * t.low_width[k];
        e_high[j] = t.high_start[k] + f * t.high_width[k];
    }
}

// First i in [lo, hi] with !(E > a[i]), for an a on which E > a[i] holds on
// a prefix and that index known to lie in [lo, hi]; reads a[lo, hi).
inline Py_ssize_t partition_point(double E, const double* a, Py_ssize_t lo, Py_ssize_t hi) {
    Py_ssize_t length = hi - lo;
    while (length > 0) {
        const Py_ssize_t half = length / 2;
        if (E > a[lo + half]) {
            lo += half + 1;
            length -= half + 1;
        } else {
            length = half;
        }
    }
    return lo;
}

// find_index_from_energy(E, a[n]), with n in place of -1, for a ascending
// without NaN, a[-1] = -inf and a[n] = +inf, searched from `hint` (in [0,
// n]): down by bisection when E is not above a[hint - 1], else up a few
// steps, then by bisection. The predicate E > a[i] holds on a prefix, so
// each part finds the scan's index; a NaN E gives 0.
inline Py_ssize_t search_from(double E, const double* a, Py_ssize_t n, Py_ssize_t hint) {
    if (!(E > a[hint - 1])) return partition_point(E, a, 0, hint - 1);
    for (int step = 0; step < walk_steps; ++step, ++hint) {
        if (!(E > a[hint])) return hint;
    }
    return partition_point(E, a, hint, n);
}

// The three parts of y on the axis of n entries at e, for the lookup's
// index i: y = numerator / divisor + base, and NaN / 1 + 0 = NaN when i is
// 0 or n.
template <class Row>
[[gnu::always_inline]] inline void axis_terms(double e, Py_ssize_t i, const AxisInterval* intervals,
                                              Py_ssize_t n, Row y, double& numerator, double& divisor,
                                              double& base) {
    if (i <= 0 || i >= n) {
        numerator = nan_value;
        divisor = 1.0;
        base = 0.0;
        return;
    }
    numerator = (y[i] - y[i - 1]) * (e - intervals[i].start);
    divisor = intervals[i].width;
    base = y[i - 1];
}

// Per-side scratch of sweeps 2 and 3.
struct AxisBlock {
    double numerator[block_size];
    double divisor[block_size];
    double base[block_size];
};

// A normalised row with unit stride, read like Values.
struct ContiguousRow {
    const double* data;
    double operator[](Py_ssize_t i) const noexcept { return data[i]; }
};

// The lookup of e on ref_E_axis: from the previous answer `hint` where the
// axis is ascending, by the scan otherwise; n in place of -1.
template <bool Ascending>
[[gnu::always_inline]] inline Py_ssize_t look_up(double e, const RowKernel& k, Py_ssize_t& hint) {
    if constexpr (Ascending) {
        return hint = search_from(e, k.ref_axis, k.ref_columns, hint);
    } else {
        const Py_ssize_t i =
            find_index_from_energy(e, Values{reinterpret_cast<const char*>(k.ref_axis), k.ref_columns,
                                             sizeof(double)});
        return i < 0 ? k.ref_columns : i;
    }
}

// Sweep 2 on e_low[m] and e_high[m], both sides in one pass (two
// independent chains of lookups). Row is Values or, for the usual unit
// stride, ContiguousRow.
template <bool Ascending, class Row>
[[gnu::always_inline]] inline void look_up_block(const double* e_low, const double* e_high, Py_ssize_t m,
                                                 const RowKernel& k, Row low_row, Row high_row,
                                                 Py_ssize_t (&hints)[2], AxisBlock& low, AxisBlock& high) {
    const Py_ssize_t n = k.ref_columns;
    for (Py_ssize_t j = 0; j < m; ++j) {
        const Py_ssize_t i_low = look_up<Ascending>(e_low[j], k, hints[0]);
        const Py_ssize_t i_high = look_up<Ascending>(e_high[j], k, hints[1]);
        axis_terms(e_low[j], i_low, k.intervals, n, low_row, low.numerator[j], low.divisor[j], low.base[j]);
        axis_terms(e_high[j], i_high, k.intervals, n, high_row, high.numerator[j], high.divisor[j],
                   high.base[j]);
    }
}

// Sweep 3: both y and the value, into out[m].
[[gnu::always_inline]] inline void combine_block(const AxisBlock& low, const AxisBlock& high, Py_ssize_t m,
                                                 double above_low, double low_to_high,
                                                 double* __restrict out) {
    for (Py_ssize_t j = 0; j < m; ++j) {
        const double y_low = low.numerator[j] / low.divisor[j] + low.base[j];
        const double y_high = high.numerator[j] / high.divisor[j] + high.base[j];
        out[j] = ((y_high - y_low) * above_low) / low_to_high + y_low;
    }
}

// row[j] = the value at axis[j] for j in [0, columns), in order. Touches no
// Python object; runs without the interpreter lock.
template <Py_ssize_t N>
[[gnu::always_inline]] inline void resample_row_blocks(const RowKernel& k, Strided1<double> row) {
    double e_low[block_size], e_high[block_size], value[block_size];
    AxisBlock low, high;
    Py_ssize_t hints[2] = {0, 0};  // previous answers, low and high side
    const bool contiguous = k.low_row.stride == sizeof(double) && k.high_row.stride == sizeof(double);
    for (Py_ssize_t j0 = 0; j0 < k.columns; j0 += block_size) {
        const Py_ssize_t m = std::min(block_size, k.columns - j0);
        map_to_references<N>(k.axis + j0, m, k.regions, e_low, e_high);
        if (!k.ref_ascending) {
            look_up_block<false>(e_low, e_high, m, k, k.low_row, k.high_row, hints, low, high);
        } else if (contiguous) {
            look_up_block<true>(e_low, e_high, m, k,
                                ContiguousRow{reinterpret_cast<const double*>(k.low_row.data)},
                                ContiguousRow{reinterpret_cast<const double*>(k.high_row.data)}, hints, low,
                                high);
        } else {
            look_up_block<true>(e_low, e_high, m, k, k.low_row, k.high_row, hints, low, high);
        }
        // Straight into the row where it is contiguous.
        double* out = row.stride == sizeof(double) ? &row[j0] : value;
        combine_block(low, high, m, k.above_low, k.low_to_high, out);
        if (out == value) {
            for (Py_ssize_t j = 0; j < m; ++j) row[j0 + j] = value[j];
        }
    }
}

// The row with the region count fixed where it is one of calculate_regions'.
[[gnu::always_inline]] inline void resample_row_any(const RowKernel& k, Strided1<double> row) {
    switch (k.regions.count) {
        case 6: resample_row_blocks<6>(k, row); break;
        case 8: resample_row_blocks<8>(k, row); break;
        default: resample_row_blocks<0>(k, row); break;
    }
}

[[gnu::target("avx2"), gnu::flatten]] void resample_row_avx2(const RowKernel& k, Strided1<double> row) {
    resample_row_any(k, row);
}

[[gnu::flatten]] void resample_row_generic(const RowKernel& k, Strided1<double> row) {
    resample_row_any(k, row);
}

// The same code compiled twice: for AVX2 (four doubles a vector) where the
// CPU has it, and for the baseline. Same operations, same bits.
void resample_row(const RowKernel& k, Strided1<double> row) {
    if (frame::cpu_has_avx2()) {
        resample_row_avx2(k, row);
    } else {
        resample_row_generic(k, row);
    }
}

// Writes (j, row[j]) for every row[j] > threshold, j ascending (NaN never
// passes, +inf does) to columns[] and values[], each with room for n.
// row[n]; returns the number written. O(n). Every entry is written and
// only those kept are counted: no branch to mispredict where kept and
// dropped entries mix.
Py_ssize_t keep_above(Values row, double threshold, std::int32_t* columns, double* values) {
    Py_ssize_t kept = 0;
    for (Py_ssize_t j = 0; j < row.size; ++j) {
        const double value = row[j];
        columns[kept] = static_cast<std::int32_t>(j);
        values[kept] = value;
        kept += value > threshold;
    }
    return kept;
}

// ---------------------------------------------------------------------------
// Python entry points and the per-row set-up on NumPy.

// The list calculate_regions returns: the int 0, then floats; with escape
// peaks sorted by the interpreter's (stable) list sort.
frame::Ref region_list(double E_p, double max_value, bool escape_peaks) {
    double boundaries[max_regions];
    const Py_ssize_t count = region_boundaries(E_p, max_value, escape_peaks, boundaries);
    frame::Ref list = frame::Ref::steal(PyList_New(count));
    if (!list) return list;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* entry = i == 0 ? PyLong_FromLong(0) : PyFloat_FromDouble(boundaries[i]);
        if (entry == nullptr) return frame::Ref();
        PyList_SET_ITEM(list.get(), i, entry);
    }
    if (escape_peaks && PyList_Sort(list.get()) < 0) return frame::Ref();
    return list;
}

PyObject* calculate_regions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("calculate_regions", [&]() -> PyObject* {
        std::array<PyObject*, 3> values;
        if (!regions_signature.parse(args, nargs, kwnames, values)) return nullptr;
        double E_p = 0.0;
        double max_value = 0.0;
        if (!frame::to_double(values[0], E_p) || !frame::to_double(values[1], max_value) ||
            !frame::check_flag(values[2], "has_escape_peaks")) {
            return nullptr;
        }
        return region_list(E_p, max_value, values[2] == Py_True).release();
    });
}

// A 1-D array of doubles bound for a kernel: the object and its held
// writable view (a read-only array fails with NumPy's error).
struct HeldValues {
    frame::Ref object;
    frame::HeldBuffer buffer;

    bool hold(frame::Ref array) {
        object = std::move(array);
        return object && buffer.acquire_view(object.get(), frame::double_t, 1, true);
    }
    bool hold_borrowed(PyObject* array) { return hold(frame::Ref::borrow(array)); }
    Values values() const noexcept { return buffer.view1<const double>(); }
    Strided1<double> writable() const noexcept { return buffer.view1<double>(); }
};

// np.asarray(calculate_regions(E, np.max(axis), escape_peaks), dtype=np.float64).
bool hold_region_array(double E, PyObject* axis, bool escape_peaks, HeldValues& out) {
    frame::Ref maximum = frame::call_numpy(max_name, {axis});
    double max_value = 0.0;
    if (!maximum || !frame::to_double(maximum.get(), max_value)) return false;
    frame::Ref list = region_list(E, max_value, escape_peaks);
    if (!list) return false;
    return out.hold(frame::call_numpy(asarray_name, {list.get()}, &float64_name));
}

// The axes as the row kernel reads them (RowKernel), made once per call.
struct KernelAxes {
    std::vector<double> axis;
    std::vector<double> padded_ref_axis;  // -inf, ref_E_axis, +inf
    std::vector<AxisInterval> intervals;
    bool ref_ascending = false;

    void copy(Values requested_axis, Values reference_axis, bool ascending) {
        const auto n = static_cast<std::size_t>(reference_axis.size);
        axis.resize(static_cast<std::size_t>(requested_axis.size));
        for (std::size_t i = 0; i < axis.size(); ++i) axis[i] = requested_axis[static_cast<Py_ssize_t>(i)];
        padded_ref_axis.resize(n + 2);
        padded_ref_axis.front() = -std::numeric_limits<double>::infinity();
        padded_ref_axis.back() = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < n; ++i) padded_ref_axis[i + 1] = reference_axis[static_cast<Py_ssize_t>(i)];
        const double* a = ref_axis();
        intervals.assign(std::max<std::size_t>(n, 1), AxisInterval{nan_value, nan_value});
        for (std::size_t i = 1; i < n; ++i) intervals[i] = AxisInterval{a[i - 1], a[i] - a[i - 1]};
        ref_ascending = ascending;
    }
    const double* ref_axis() const noexcept { return padded_ref_axis.data() + 1; }
    Py_ssize_t ref_columns() const noexcept { return static_cast<Py_ssize_t>(padded_ref_axis.size()) - 2; }
};

// Fills row_buffer[len(requested_E_axis)] with the row resampled at E_p from
// the normalised reference rows at low_E and high_E. The set-up (maxima,
// region arrays, the requested row's regions) is NumPy's, under the
// interpreter lock; the per-value loop runs without it. False with the
// exception set when the set-up fails.
bool interpolate_response_row(double E_p, const HeldValues& requested_E_axis, const KernelAxes& axes,
                              RegionStorage& region_storage, double low_E, Values low_row, double high_E,
                              Values high_row, Strided1<double> row_buffer) {
    const bool escape_peaks = low_E > escape_peak_threshold;  // from the lower row only
    frame::Ref axis = frame::Ref::steal(PyMemoryView_FromObject(requested_E_axis.object.get()));
    if (!axis) return false;
    HeldValues low_regions, high_regions, requested_regions;
    if (!hold_region_array(low_E, axis.get(), escape_peaks, low_regions) ||
        !hold_region_array(high_E, axis.get(), escape_peaks, high_regions)) {
        return false;
    }

    // t * (high_regions - low_regions) + low_regions, elementwise in NumPy.
    const double t = (E_p - low_E) / (high_E - low_E);
    frame::Ref t_object = frame::Ref::steal(PyFloat_FromDouble(t));
    if (!t_object) return false;
    frame::Ref difference =
        frame::Ref::steal(PyNumber_Subtract(high_regions.object.get(), low_regions.object.get()));
    if (!difference) return false;
    frame::Ref scaled = frame::Ref::steal(PyNumber_Multiply(t_object.get(), difference.get()));
    if (!scaled) return false;
    frame::Ref sum = frame::Ref::steal(PyNumber_Add(scaled.get(), low_regions.object.get()));
    if (!requested_regions.hold(std::move(sum))) return false;

    const Py_ssize_t n_regions = requested_regions.values().size;
    if (low_regions.values().size != n_regions || high_regions.values().size != n_regions) {
        frame::raise_out_of_bounds(0);
        return false;
    }
    const RowKernel kernel{
        .axis = axes.axis.data(),
        .columns = static_cast<Py_ssize_t>(axes.axis.size()),
        .ref_axis = axes.ref_axis(),
        .intervals = axes.intervals.data(),
        .ref_columns = axes.ref_columns(),
        .ref_ascending = axes.ref_ascending,
        .low_row = low_row,
        .high_row = high_row,
        .regions = region_storage.fill(requested_regions.values(), low_regions.values(),
                                       high_regions.values()),
        .above_low = E_p - low_E,
        .low_to_high = high_E - low_E,
    };
    frame::WithoutGil without_gil;
    resample_row(kernel, row_buffer);
    return true;
}

// response_matrix[row] / np.sum(response_matrix[row]): NumPy's row indexing
// and division.
frame::Ref normalised_row(PyObject* response_matrix, Py_ssize_t row) {
    frame::Ref values = frame::Ref::steal(PySequence_GetItem(response_matrix, row));
    if (!values) return values;
    frame::Ref total = frame::call_numpy(sum_name, {values.get()});
    if (!total) return total;
    return frame::Ref::steal(PyNumber_TrueDivide(values.get(), total.get()));
}

// The sparse result, gathered natively and converted once at the end.
// Where address space allows, the kept entries are written straight into
// the result arrays, made for the largest possible result (every column of
// every row) and cut to size at the end: only the pages written are ever
// touched, and nothing is copied. Otherwise they are gathered in vectors and
// copied out.
struct CsrGather {
    std::vector<std::int64_t> offsets{0};
    std::vector<std::int32_t> indices;
    std::vector<double> values;
    frame::Ref direct_indices, direct_values;
    std::size_t direct_count = 0;

    // Makes the result arrays for rows x columns entries; when that much
    // cannot be had, the vectors serve instead. False with the exception set
    // only for a failure other than lack of memory.
    bool try_direct(Py_ssize_t rows, Py_ssize_t columns) {
        Py_ssize_t bound = 0;
        if (__builtin_mul_overflow(rows, columns, &bound)) return true;
        frame::Ref i = frame::new_uninitialised_array<std::int32_t>(bound);
        frame::Ref v = i ? frame::new_uninitialised_array<double>(bound) : frame::Ref();
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
            PyErr_Clear();
            return true;
        }
        direct_indices = std::move(i);
        direct_values = std::move(v);
        return true;
    }

    // Appends the entries of `row` above the cut as the next row. Room for
    // the whole row is made before the kernel writes, then trimmed.
    void append_row(Values row) {
        if (direct_values) {
            direct_count += static_cast<std::size_t>(
                keep_above(row, kept_above, frame::array_data<std::int32_t>(direct_indices) + direct_count,
                           frame::array_data<double>(direct_values) + direct_count));
            offsets.push_back(static_cast<std::int64_t>(direct_count));
            return;
        }
        const std::size_t before = values.size();
        indices.resize(before + static_cast<std::size_t>(row.size));
        values.resize(before + static_cast<std::size_t>(row.size));
        const auto kept = static_cast<std::size_t>(
            keep_above(row, kept_above, indices.data() + before, values.data() + before));
        indices.resize(before + kept);
        values.resize(before + kept);
        offsets.push_back(static_cast<std::int64_t>(before + kept));
    }

    // (np.asarray(offsets, dtype=np.int64), np.asarray(indices, dtype=np.int32),
    //  np.asarray(values, dtype=np.float64))
    PyObject* result() {
        frame::Ref offsets_array = frame::asarray_from(offsets, int64_name);
        if (!offsets_array) return nullptr;
        if (direct_values) {
            const auto count = static_cast<npy_intp>(direct_count);
            if (!frame::asarray_lookups(int32_name) || !frame::shrink_array(direct_indices, count) ||
                !frame::asarray_lookups(float64_name) || !frame::shrink_array(direct_values, count)) {
                return nullptr;
            }
            return PyTuple_Pack(3, offsets_array.get(), direct_indices.get(), direct_values.get());
        }
        frame::Ref indices_array = frame::asarray_from(indices, int32_name);
        if (!indices_array) return nullptr;
        frame::Ref values_array = frame::asarray_from(values, float64_name);
        if (!values_array) return nullptr;
        return PyTuple_Pack(3, offsets_array.get(), indices_array.get(), values_array.get());
    }
};

// What stays the same for every requested row of one call.
struct CallState {
    const ResampleInputs& in;
    bool ref_indices_ascending;
    KernelAxes axes;
    RegionStorage region_storage;
    frame::Ref row_buffer;  // np.empty(len(requested_E_axis), dtype=np.float64)
};

// Resamples the row of photopeak energy E into call.row_buffer, normalises
// it with np.nansum and appends what passes the cut to `out`.
bool append_resampled_row(double E, CallState& call, CsrGather& out) {
    const ResampleInputs& in = call.in;
    HeldValues reference;
    if (!reference.hold_borrowed(in.ref_indices())) return false;
    // E equal to the first reference energy is bracketed by rows 0 and 1.
    Py_ssize_t high_row_i = EnergyLookup{reference.values(), call.ref_indices_ascending}.find(E);
    if (high_row_i == 0) high_row_i = 1;
    const double high_E = reference.values()[high_row_i];
    const double low_E = reference.values()[high_row_i - 1];

    HeldValues high_row, low_row, axis, ref_axis, row_buffer;
    if (!high_row.hold(normalised_row(in.response_matrix(), high_row_i)) ||
        !low_row.hold(normalised_row(in.response_matrix(), high_row_i - 1))) {
        return false;
    }
    if (!axis.hold_borrowed(in.requested_E_axis()) || !ref_axis.hold_borrowed(in.ref_E_axis()) ||
        !row_buffer.hold_borrowed(call.row_buffer.get())) {
        return false;
    }
    const Py_ssize_t ref_columns = ref_axis.values().size;
    if (low_row.values().size < ref_columns || high_row.values().size < ref_columns ||
        row_buffer.values().size < axis.values().size) {
        frame::raise_out_of_bounds(0);
        return false;
    }
    if (!interpolate_response_row(E, axis, call.axes, call.region_storage, low_E, low_row.values(), high_E,
                                  high_row.values(), row_buffer.writable())) {
        frame::add_function_traceback("interpolate_response_row");
        return false;
    }

    // row_buffer /= np.nansum(row_buffer)
    frame::Ref total = frame::call_numpy(nansum_name, {call.row_buffer.get()});
    if (!total) return false;
    frame::Ref divided =
        frame::Ref::steal(PyNumber_InPlaceTrueDivide(call.row_buffer.get(), total.get()));
    if (!divided) return false;
    call.row_buffer = std::move(divided);

    frame::HeldBuffer normalised;
    if (!normalised.acquire_view(call.row_buffer.get(), frame::const_double_t, 1)) return false;
    out.append_row(normalised.view1<const double>());
    return true;
}

PyObject* respgrid_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("respgrid_cy", [&]() -> PyObject* {
        ResampleInputs in;
        if (!in.take(args, nargs, kwnames)) return nullptr;
        const Values requested = in.requested_indices_values();
        const bool any_rows = requested.size > 0;
        // Room for every row's offset first: a request too large for memory
        // fails here at once rather than after checking all its energies.
        CsrGather out;
        out.offsets.reserve(static_cast<std::size_t>(requested.size) + 1);
        if (any_rows && !check_requested_rows(in)) return nullptr;

        frame::Ref length = frame::Ref::steal(PyLong_FromSsize_t(in.requested_E_axis_length()));
        if (!length) return nullptr;
        // Bisection where it gives the scan's index: checked once per call.
        CallState call{in, any_rows && ascending_without_nan(in.ref_indices_values()), {}, {},
                       frame::call_numpy(empty_name, {length.get()}, &float64_name)};
        if (!call.row_buffer) return nullptr;
        if (any_rows) {
            call.axes.copy(in.requested_E_axis_values(), in.ref_E_axis_values(),
                           ascending_without_nan(in.ref_E_axis_values()));
        }
        if (any_rows && !out.try_direct(requested.size, in.requested_E_axis_length())) return nullptr;

        for (Py_ssize_t i = 0; i < requested.size; ++i) {
            if (!append_resampled_row(requested[i], call, out)) return nullptr;
        }
        return out.result();
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"calculate_regions", calculate_regions},
    {"respgrid_cy", respgrid_cy},
};

constexpr frame::ModuleDescription module_description{
    "respgrid", "tarvix.utils.numerics.cython.respgrid", functions};

}  // namespace

PyMODINIT_FUNC PyInit_respgrid() { return frame::init_module(module_description); }

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
//
// This file holds the bindings and the set-up of each row on NumPy; the
// arithmetic is in kernels/resample.hpp.

#include "frame/args.hpp"
#include "frame/arrays.hpp"
#include "frame/buffer.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "frame/value_errors.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/resample.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

namespace resample = kernels::resample;
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
// Python entry points and the per-row set-up on NumPy.

// The list calculate_regions returns: the int 0, then floats; with escape
// peaks sorted by the interpreter's (stable) list sort.
frame::Ref region_list(double E_p, double max_value, bool escape_peaks) {
    double boundaries[resample::max_regions];
    const Py_ssize_t count = resample::region_boundaries(E_p, max_value, escape_peaks, boundaries);
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

// A contiguous copy of a[n].
std::vector<double> contiguous_copy(Values a) {
    std::vector<double> copy(static_cast<std::size_t>(a.size));
    for (Py_ssize_t i = 0; i < a.size; ++i) copy[static_cast<std::size_t>(i)] = a[i];
    return copy;
}

// The axes as the row kernel reads them (resample::RowInputs), made once
// per call: both contiguous, and the intervals of ref_E_axis.
struct KernelAxes {
    std::vector<double> axis;
    std::vector<double> ref_axis;
    std::vector<resample::AxisInterval> intervals;
    bool ref_ascending = false;

    void copy(Values requested_axis, Values reference_axis) {
        axis = contiguous_copy(requested_axis);
        ref_axis = contiguous_copy(reference_axis);
        intervals.resize(std::max<std::size_t>(ref_axis.size(), 1));
        resample::axis_intervals(ref_axis.data(), reference_axis.size, intervals.data());
        ref_ascending = resample::ascending_without_nan(ref_axis.data(), reference_axis.size);
    }
};

// Fills row_buffer[len(requested_E_axis)] with the row resampled at E_p from
// the normalised reference rows at low_E and high_E. The set-up (maxima,
// region arrays, the requested row's regions) is NumPy's, under the
// interpreter lock; the per-value loop runs without it. False with the
// exception set when the set-up fails.
bool interpolate_response_row(double E_p, const HeldValues& requested_E_axis, const KernelAxes& axes,
                              std::vector<double>& region_storage, double low_E, Values low_row, double high_E,
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
    region_storage.resize(resample::region_table_size(n_regions));
    const resample::RowInputs inputs{
        .axis = axes.axis.data(),
        .columns = static_cast<Py_ssize_t>(axes.axis.size()),
        .ref_axis = axes.ref_axis.data(),
        .intervals = axes.intervals.data(),
        .ref_columns = static_cast<Py_ssize_t>(axes.ref_axis.size()),
        .ref_ascending = axes.ref_ascending,
        .low_row = low_row,
        .high_row = high_row,
        .regions = resample::region_table(requested_regions.values(), low_regions.values(),
                                          high_regions.values(), n_regions, region_storage.data()),
        .above_low = E_p - low_E,
        .low_to_high = high_E - low_E,
    };
    frame::WithoutGil without_gil;
    kernels::dispatch([&]<class V>() { resample::resample_row<V>(inputs, row_buffer); });
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
                resample::keep_above(row, kept_above, frame::array_data<std::int32_t>(direct_indices) + direct_count,
                                     frame::array_data<double>(direct_values) + direct_count));
            offsets.push_back(static_cast<std::int64_t>(direct_count));
            return;
        }
        const std::size_t before = values.size();
        indices.resize(before + static_cast<std::size_t>(row.size));
        values.resize(before + static_cast<std::size_t>(row.size));
        const auto kept = static_cast<std::size_t>(
            resample::keep_above(row, kept_above, indices.data() + before, values.data() + before));
        indices.resize(before + kept);
        values.resize(before + kept);
        offsets.push_back(static_cast<std::int64_t>(before + kept));
    }

    // (np.asarray(offsets, dtype=np.int64), np.asarray(indices, dtype=np.int32),
    //  np.asarray(values, dtype=np.float64))
    // Each made natively only while `np` holds NumPy's own asarray and
    // dtype; otherwise what it holds is called on a list of the values.
    PyObject* result() {
        frame::Ref offsets_array = frame::asarray_from(offsets, int64_name);
        if (!offsets_array) return nullptr;
        frame::Ref indices_array = direct_values ? finish_direct<std::int32_t>(direct_indices, int32_name)
                                                 : frame::asarray_from(indices, int32_name);
        if (!indices_array) return nullptr;
        frame::Ref values_array = direct_values ? finish_direct<double>(direct_values, float64_name)
                                                : frame::asarray_from(values, float64_name);
        if (!values_array) return nullptr;
        return PyTuple_Pack(3, offsets_array.get(), indices_array.get(), values_array.get());
    }

    // np.asarray(<the entries of `array`>, dtype=np.<dtype>) for one of the
    // directly written arrays, cut to the entries kept.
    template <class T>
    frame::Ref finish_direct(const frame::Ref& array, const frame::Name& dtype) const {
        frame::AsArray<T> conversion;
        if (!conversion.look_up(dtype) || !frame::shrink_array(array, static_cast<npy_intp>(direct_count))) {
            return frame::Ref();
        }
        return conversion.finish(frame::Ref::borrow(array.get()));
    }
};

// What stays the same for every requested row of one call.
struct CallState {
    const ResampleInputs& in;
    bool ref_indices_ascending;
    KernelAxes axes;
    std::vector<double> region_storage;  // of the region table, for every row
    frame::Ref row_buffer;  // np.empty(len(requested_E_axis), dtype=np.float64)
};

// Resamples the row of photopeak energy E into call.row_buffer, normalises
// it with np.nansum and appends what passes the cut to `out`.
bool append_resampled_row(double E, CallState& call, CsrGather& out) {
    const ResampleInputs& in = call.in;
    HeldValues reference;
    if (!reference.hold_borrowed(in.ref_indices())) return false;
    // E equal to the first reference energy is bracketed by rows 0 and 1.
    const Values references = reference.values();
    Py_ssize_t high_row_i =
        resample::index_from_energy(E, references, references.size, call.ref_indices_ascending);
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
        const Values references = in.ref_indices_values();
        CallState call{in, any_rows && resample::ascending_without_nan(references, references.size), {}, {},
                       frame::call_numpy(empty_name, {length.get()}, &float64_name)};
        if (!call.row_buffer) return nullptr;
        if (any_rows) {
            call.axes.copy(in.requested_E_axis_values(), in.ref_E_axis_values());
            call.region_storage.reserve(resample::region_table_size(resample::max_regions));
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

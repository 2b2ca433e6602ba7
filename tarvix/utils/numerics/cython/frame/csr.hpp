// The CSR triple of a sparse response (offsets, indices, values) held as
// strided views, and the check that lets a loop over its rows run without
// checking each element.
#pragma once

#include "buffer.hpp"
#include "value_errors.hpp"

#include <climits>
#include <cmath>
#include <cstdint>

namespace frame {

// An index i into an array of length L is valid when -L <= i < L; a
// negative valid index counts from the end, as in Python.
inline bool valid_index(long long i, Py_ssize_t length) noexcept { return i >= -length && i < length; }

namespace csr_detail {

// The first position of [start, end) (start < end) that is not valid for
// length L, or `end` when all are.
inline long long first_invalid_position(long long start, long long end, Py_ssize_t length) noexcept {
    if (start < -length) return start;
    if (end > length) return start > length ? start : length;
    return end;
}

inline bool position_error(const char* array, bool none, Py_ssize_t length, Py_ssize_t row,
                           long long start, long long end, long long position) {
    if (none) {
        PyErr_Format(PyExc_ValueError,
                     "row %zd (offsets[%zd] = %lld, offsets[%zd] = %lld) reaches position %lld, but "
                     "%s is None",
                     row, row, start, row + 1, end, position, array);
    } else if (position < 0) {
        PyErr_Format(PyExc_ValueError,
                     "position %lld of row %zd (offsets[%zd] = %lld, offsets[%zd] = %lld) is out of "
                     "range for %s: positions must be >= %zd (-len(%s))",
                     position, row, row, start, row + 1, end, array, -length, array);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "position %lld of row %zd (offsets[%zd] = %lld, offsets[%zd] = %lld) is out of "
                     "range for %s: positions must be < %zd (len(%s))",
                     position, row, row, start, row + 1, end, array, length, array);
    }
    return false;
}

// Whether the columns at positions [start, end) (0 <= start < end) of a
// unit-stride `indices` all lie in [0, columns): the common case, decided
// by a branch-free pass the compiler vectorises (out of line, where it
// does). False (and the caller looks at each column) when indices is strided
// or some column is not.
[[gnu::noinline]] inline bool all_columns_plain(Strided1<const std::int32_t> indices, long long start,
                                                long long end, Py_ssize_t columns) noexcept {
    if (indices.stride != static_cast<Py_ssize_t>(sizeof(std::int32_t))) return false;
    const std::int32_t* const column = reinterpret_cast<const std::int32_t*>(indices.data) + start;
    const long long count = end - start;
    // Unsigned, a negative column compares as a huge one.
    const std::uint32_t limit = columns > INT32_MAX ? 0x80000000u : static_cast<std::uint32_t>(columns);
    std::uint32_t outside = 0;
    for (long long t = 0; t < count; ++t) outside |= static_cast<std::uint32_t>(column[t]) >= limit;
    return outside == 0;
}

// Whether the values at positions [start, end) of row `row` (positions
// valid, negative ones counting from the end) are all finite; ValueError
// naming the first that is not, otherwise.
inline bool finite_values(Strided1<const double> values, Py_ssize_t row, long long start, long long end) {
    for (long long k = start; k < end; ++k) {
        const double value = values[k < 0 ? k + values.size : k];
        if (std::isfinite(value)) continue;
        Ref value_object = Ref::steal(PyFloat_FromDouble(value));
        if (value_object) {
            PyErr_Format(PyExc_ValueError, "values[%lld] = %R (row %zd) is not finite", k, value_object.get(), row);
        }
        return false;
    }
    return true;
}

}  // namespace csr_detail

// What the modules ask of a response beyond what every reader needs. The
// specified modules read a row whose offsets decrease as empty, take the
// values as they are and keep their errors' wording; the others refuse
// what SciPy's CSR matrices refuse and what no fit can use, and name the
// array in every error.
struct ResponseRules {
    bool ascending_offsets = false;  // offsets[j] <= offsets[j+1] for every row read
    bool finite_values = false;      // every value a row reaches is finite
    bool named_errors = false;       // dtype and dimension errors led by "offsets: " and so on
};

// The rules of the modules beyond the specified three; a fit also needs
// finite values.
inline constexpr ResponseRules strict_response{true, false, true};
inline constexpr ResponseRules strict_response_finite_values{true, true, true};

// The three arrays of a sparse response argument (ndarray form: int64
// offsets, int32 indices, float64 values), held; None reads as empty.
class HeldResponse {
public:
    HeldResponse() noexcept = default;
    explicit HeldResponse(ResponseRules rules) noexcept : rules_(rules) {}

    // The buffers, in this order. Under a module's own rules (a
    // HeldResponse made with ResponseRules), each error names its array.
    bool acquire(PyObject* offsets, PyObject* indices, PyObject* values) {
        offsets_none_ = offsets == Py_None;
        indices_none_ = indices == Py_None;
        values_none_ = values == Py_None;
        if (rules_.named_errors) {
            return offsets_.acquire_argument("offsets", offsets, int64_t_, 1) &&
                   indices_.acquire_argument("indices", indices, int32_t_, 1) &&
                   values_.acquire_argument("values", values, float64_t, 1);
        }
        return offsets_.acquire_array(offsets, int64_t_, 1) && indices_.acquire_array(indices, int32_t_, 1) &&
               values_.acquire_array(values, float64_t, 1);
    }

    kernels::Csr csr() const noexcept {
        return {offsets_.view1<const std::int64_t>(), indices_.view1<const std::int32_t>(),
                values_.view1<const double>()};
    }

    // Before rows 0 .. rows-1 are read without checks: `offsets` has at least
    // rows + 1 entries; every position of a non-empty row is valid for both
    // `indices` and `values`; every column reached is valid for `columns`
    // (whose length `columns_name` names, for instance "len(y)"). Returns
    // false with ValueError naming the array, the row or position, the
    // offending value and the bound at the first violation (rows ascending;
    // within a row its positions, then its columns in position order). On
    // success `negative` tells whether some position or column is negative
    // and so counts from the end. O(rows + entries). Under the rules given
    // at construction, also offsets that decrease (at the row where they do)
    // and values that are not finite (after the row's positions, before its
    // columns).
    bool check(Py_ssize_t rows, Py_ssize_t columns, const char* columns_name, bool& negative) const {
        const kernels::Csr m = csr();
        negative = false;
        if (m.offsets.size < rows + 1) {
            if (offsets_none_) {
                PyErr_Format(PyExc_ValueError, "offsets is None; it needs at least %zd entr%s (%s + 1)", rows + 1,
                             rows + 1 == 1 ? "y" : "ies", columns_name);
            } else {
                char reason[64];
                PyOS_snprintf(reason, sizeof reason, "%s + 1", columns_name);
                raise_too_few("offsets", rows + 1, "entries", reason, m.offsets.size);
            }
            return false;
        }
        const Py_ssize_t n_indices = m.indices.size;
        const Py_ssize_t n_values = m.values.size;
        for (Py_ssize_t j = 0; j < rows; ++j) {
            const long long start = m.offsets[j];
            const long long end = m.offsets[j + 1];
            if (rules_.ascending_offsets && end < start) {
                PyErr_Format(PyExc_ValueError,
                             "offsets[%zd] = %lld is below offsets[%zd] = %lld: offsets must not decrease "
                             "(row %zd would be read as empty)",
                             j + 1, end, j, start, j);
                return false;
            }
            if (start >= end) continue;
            long long bad = csr_detail::first_invalid_position(start, end, n_indices);
            if (bad != end) {
                return csr_detail::position_error("indices", indices_none_, n_indices, j, start, end, bad);
            }
            bad = csr_detail::first_invalid_position(start, end, n_values);
            if (bad != end) {
                return csr_detail::position_error("values", values_none_, n_values, j, start, end, bad);
            }
            if (rules_.finite_values && !csr_detail::finite_values(m.values, j, start, end)) return false;
            if (start < 0) negative = true;
            if (start >= 0 && csr_detail::all_columns_plain(m.indices, start, end, columns)) continue;
            for (long long k = start; k < end; ++k) {
                const long long column = m.indices[k < 0 ? k + n_indices : k];
                if (!valid_index(column, columns)) {
                    PyErr_Format(PyExc_ValueError,
                                 "column index %lld at position %lld (row %zd) is out of range: column "
                                 "index values must be %s %zd (%s%s)",
                                 column, k, j, column < 0 ? ">=" : "<", column < 0 ? -columns : columns,
                                 column < 0 ? "-" : "", columns_name);
                    return false;
                }
                if (column < 0) negative = true;
            }
        }
        return true;
    }

private:
    ResponseRules rules_{};
    HeldBuffer offsets_, indices_, values_;
    bool offsets_none_ = false, indices_none_ = false, values_none_ = false;
};

// A per-row array (such as a sensitivity) that must have at least `required`
// entries, `required_name` saying what that number is. False with ValueError
// set when it is shorter or None.
inline bool check_min_entries(const char* array, bool none, Py_ssize_t size, Py_ssize_t required,
                              const char* required_name) {
    if (size >= required) return true;
    if (none) {
        PyErr_Format(PyExc_ValueError, "%s is None; it needs at least %zd entr%s (%s)", array, required,
                     required == 1 ? "y" : "ies", required_name);
    } else {
        raise_too_few(array, required, "entries", required_name, size);
    }
    return false;
}

}  // namespace frame

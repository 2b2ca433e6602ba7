// Messages for argument values that the computation cannot use: an entry
// outside the range it must lie in, an array too short for its use, an
// array too long for the index type of a result.
#pragma once

#include "ref.hpp"

namespace frame {

// ValueError "<array>[<position>] = <value> is outside <range_name>
// [<low>, <high>]"; a NaN value or bound shows as nan.
inline void raise_outside_range(const char* array, Py_ssize_t position, double value,
                                const char* range_name, double low, double high) {
    Ref value_object = Ref::steal(PyFloat_FromDouble(value));
    Ref low_object = Ref::steal(PyFloat_FromDouble(low));
    Ref high_object = Ref::steal(PyFloat_FromDouble(high));
    if (!value_object || !low_object || !high_object) return;
    PyErr_Format(PyExc_ValueError, "%s[%zd] = %R is outside %s [%R, %R]", array, position,
                 value_object.get(), range_name, low_object.get(), high_object.get());
}

// ValueError "<array> needs at least <needed> <counted> (<reason>), got <got>".
inline void raise_too_few(const char* array, Py_ssize_t needed, const char* counted,
                          const char* reason, Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "%s needs at least %zd %s (%s), got %zd", array, needed, counted,
                 reason, got);
}

// OverflowError "<array> has <count> entries, more than <index_type>
// indices can address".
inline void raise_too_many_for_index(const char* array, Py_ssize_t count, const char* index_type) {
    PyErr_Format(PyExc_OverflowError, "%s has %zd entries, more than %s indices can address", array,
                 count, index_type);
}

}  // namespace frame

// Result arrays made from native buffers: what np.asarray(list, dtype=...)
// gives for a list of the same values, without a Python object per element.
#pragma once

#include "globals.hpp"
#include "numpy.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace frame {

template <class T>
struct NumpyType;
template <>
struct NumpyType<std::int64_t> {
    static constexpr int number = NPY_INT64;
};
template <>
struct NumpyType<std::int32_t> {
    static constexpr int number = NPY_INT32;
};
template <>
struct NumpyType<double> {
    static constexpr int number = NPY_FLOAT64;
};

// The look-ups of np.asarray(..., dtype=np.<dtype>): `np`, `np.asarray`,
// then `np` and `np.<dtype>`, as the expression makes them. False with the
// exception set (NameError when `np` is gone) if one fails.
inline bool asarray_lookups(const Name& dtype) {
    static const Name asarray{"asarray"};
    return numpy_attribute(asarray) && numpy_attribute(dtype);
}

// A new C-contiguous one-dimensional array of T holding `values`: what
// np.asarray(list(values), dtype=<the NumPy type of T>) gives, made and
// filled directly.
template <class T>
Ref new_array_from(const std::vector<T>& values) {
    npy_intp length = static_cast<npy_intp>(values.size());
    Ref array = Ref::steal(PyArray_SimpleNew(1, &length, NumpyType<T>::number));
    if (array && length > 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                    values.size() * sizeof(T));
    }
    return array;
}

// Stands in for np.asarray(list(values), dtype=np.<dtype>), `dtype` naming
// the NumPy type of T: the look-ups as that call makes them, so a missing
// name fails the same way, then the array made directly. New reference, or
// an empty Ref with the exception set.
template <class T>
Ref asarray_from(const std::vector<T>& values, const Name& dtype) {
    if (!asarray_lookups(dtype)) return Ref();
    return new_array_from(values);
}

// A new C-contiguous one-dimensional array of `length` T, uninitialised. Its
// memory comes from NumPy's allocator, so pages that are never written cost
// address space only. New reference, or an empty Ref with the exception set.
template <class T>
Ref new_uninitialised_array(npy_intp length) {
    return Ref::steal(PyArray_SimpleNew(1, &length, NumpyType<T>::number));
}

template <class T>
T* array_data(const Ref& array) noexcept {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// Cuts a one-dimensional array made by new_uninitialised_array, and not yet
// shared, to its first `length` elements (a reallocation, in place where
// the allocator can). False with the exception set on failure.
inline bool shrink_array(const Ref& array, npy_intp length) {
    PyArray_Dims shape{&length, 1};
    return static_cast<bool>(
        Ref::steal(PyArray_Resize(reinterpret_cast<PyArrayObject*>(array.get()), &shape, 0, NPY_CORDER)));
}

// OverflowError as NumPy's conversion raises it for a Python integer that
// does not fit `dtype` (for example "int32").
inline void raise_integer_out_of_bounds(long long value, const char* dtype) {
    PyErr_Format(PyExc_OverflowError, "Python integer %lld out of bounds for %s", value, dtype);
}

}  // namespace frame

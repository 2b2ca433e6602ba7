// Result arrays made from native buffers: what np.asarray(list, dtype=...)
// gives for a list of the same values, without a Python object per element.
#pragma once

#include "globals.hpp"
#include "numpy.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>
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

// A new C-contiguous one-dimensional array of T holding values[count]: what
// np.asarray(list(values), dtype=<the NumPy type of T>) gives, made and
// filled directly.
template <class T>
Ref new_array_from(const T* values, std::size_t count) {
    npy_intp length = static_cast<npy_intp>(count);
    Ref array = Ref::steal(PyArray_SimpleNew(1, &length, NumpyType<T>::number));
    if (array && length > 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values, count * sizeof(T));
    }
    return array;
}

// A list of Python numbers (int for integer T, float for double).
template <class T>
Ref list_of(const T* values, std::size_t count) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return list;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = nullptr;
        if constexpr (std::is_floating_point_v<T>) {
            item = PyFloat_FromDouble(values[i]);
        } else {
            item = PyLong_FromLongLong(values[i]);
        }
        if (item == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// NumPy's own scalar type for a type number (numpy.int64 for NPY_INT64),
// borrowed.
inline PyObject* numpys_scalar_type(int number) {
    PyArray_Descr* descr = PyArray_DescrFromType(number);
    if (descr == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* type = reinterpret_cast<PyObject*>(descr->typeobj);
    Py_DECREF(descr);
    return type;
}

// One conversion np.asarray(<list>, dtype=np.<dtype>) of a function body,
// where the list holds native values of T. The look-ups are made as the
// expression makes them; when both name NumPy's own (numpy.asarray and the
// scalar type of T), an array made natively is what the call would give,
// and stands in for it. Otherwise what `np` holds is called with the list.
template <class T>
class AsArray {
public:
    // np.asarray, then np.<dtype>. False with the exception set (NameError
    // when `np` is gone, AttributeError for a missing name) on failure.
    bool look_up(const Name& dtype_name) {
        static const Name asarray_name{"asarray"};
        function_ = numpy_attribute(asarray_name);
        if (!function_) return false;
        dtype_ = numpy_attribute(dtype_name);
        if (!dtype_) return false;
        own_ = function_.get() == numpys_asarray.get() && dtype_.get() == numpys_scalar_type(NumpyType<T>::number);
        return true;
    }

    bool own() const noexcept { return own_; }

    // np.asarray(list, dtype=np.<dtype>), with `list` a Python list.
    Ref call(PyObject* list) const { return call_with_dtype(function_.get(), list, dtype_.get()); }

    // The result for values[count]: made natively when the names are NumPy's
    // own, else the call on a list of them (Python ints or floats).
    Ref convert(const T* values, std::size_t count) const {
        if (own_) return new_array_from(values, count);
        Ref list = list_of(values, count);
        return list ? call(list.get()) : Ref();
    }

    // The result for `made`, an array of T already made natively (and
    // filled with the list's values): itself when the names are NumPy's own,
    // else the call on its values as a list.
    Ref finish(Ref made) const {
        if (own_) return made;
        Ref list = Ref::steal(PyArray_ToList(reinterpret_cast<PyArrayObject*>(made.get())));
        return list ? call(list.get()) : Ref();
    }

private:
    Ref function_;
    Ref dtype_;
    bool own_ = false;
};

// Stands in for np.asarray(list(values), dtype=np.<dtype>), `dtype` naming
// the NumPy type of T (see AsArray). New reference, or an empty Ref with the
// exception set.
template <class T>
Ref asarray_from(const std::vector<T>& values, const Name& dtype) {
    AsArray<T> conversion;
    if (!conversion.look_up(dtype)) return Ref();
    return conversion.convert(values.data(), values.size());
}

// A new C-contiguous one-dimensional array of `length` T, uninitialised. Its
// memory comes from NumPy's allocator, so pages that are never written cost
// address space only. New reference, or an empty Ref with the exception set.
template <class T>
Ref new_uninitialised_array(npy_intp length) {
    return Ref::steal(PyArray_SimpleNew(1, &length, NumpyType<T>::number));
}

// The same with two dimensions, rows x columns, C order.
template <class T>
Ref new_uninitialised_array(npy_intp rows, npy_intp columns) {
    npy_intp shape[2] = {rows, columns};
    return Ref::steal(PyArray_SimpleNew(2, shape, NumpyType<T>::number));
}

// The same with three dimensions, C order.
template <class T>
Ref new_uninitialised_array(npy_intp planes, npy_intp rows, npy_intp columns) {
    npy_intp shape[3] = {planes, rows, columns};
    return Ref::steal(PyArray_SimpleNew(3, shape, NumpyType<T>::number));
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

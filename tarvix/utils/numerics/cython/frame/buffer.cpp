#include "buffer.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "numpy.hpp"

namespace frame {

namespace {

// Whether NumPy's type number `number` is exported with a format of the
// kind and size of `type`.
bool exports_as(int number, const ElementType& type) noexcept {
    switch (number) {
        case NPY_DOUBLE: return type.kind == 'R' && type.size == 8;
        case NPY_LONG: return type.kind == 'I' && type.size == static_cast<Py_ssize_t>(sizeof(long));
        case NPY_LONGLONG: return type.kind == 'I' && type.size == 8;
        case NPY_INT: return type.kind == 'I' && type.size == 4;
        default: return false;
    }
}

}  // namespace

// NumPy's export of an exact ndarray with a native numeric dtype, asked for
// with strides, is the array's own data pointer, shape and strides with the
// dtype's format, after the writability check below. Reading these fields
// directly passes exactly the arrays that the buffer protocol would pass,
// without building the export and parsing its format on every call. Every
// other argument, and every one that the checks would refuse, goes through
// the buffer protocol, so refusals keep their order and messages.
bool HeldBuffer::take_plain_array(PyObject* object, const ElementType& type, int ndim,
                                  bool writable, bool& failed) {
    failed = false;
    if (ndim > max_plain_ndim || !Py_IS_TYPE(object, ndarray_type())) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim || !exports_as(PyArray_TYPE(array), type) ||
        !PyArray_ISNOTSWAPPED(array) || PyArray_ITEMSIZE(array) != type.size) {
        return false;
    }
    // The check NumPy's export makes for a writable request, with its error.
    if (writable && PyArray_FailUnlessWriteable(array, "buffer source array") < 0) {
        failed = true;
        return false;
    }
    buffer_.buf = PyArray_DATA(array);
    buffer_.obj = Py_NewRef(object);
    // Shape and strides are copied, as an export copies them.
    buffer_.ndim = ndim;
    for (int axis = 0; axis < ndim; ++axis) {
        plain_shape_[axis] = PyArray_DIM(array, axis);
        plain_strides_[axis] = PyArray_STRIDE(array, axis);
    }
    buffer_.shape = plain_shape_;
    buffer_.strides = plain_strides_;
    held_ = true;
    direct_ = true;
    return true;
}

bool HeldBuffer::acquire_array(PyObject* object, const ElementType& type, int ndim, bool writable) {
    release();
    bool failed = false;
    if (take_plain_array(object, type, ndim, writable, failed)) return true;
    if (failed) return false;
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    return acquire(object, type, ndim, flags, false);
}

bool HeldBuffer::acquire_argument(const char* name, PyObject* object, const ElementType& type, int ndim,
                                  bool writable) {
    return acquire_array(object, type, ndim, writable) || name_error(name);
}

bool HeldBuffer::acquire_view(PyObject* object, const ElementType& type, int ndim, bool writable) {
    release();
    bool failed = false;
    if (take_plain_array(object, type, ndim, writable, failed)) return true;
    if (failed) return false;
    int flags = PyBUF_FORMAT | PyBUF_INDIRECT | (writable ? PyBUF_WRITABLE : 0);
    return acquire(object, type, ndim, flags, true);
}

bool HeldBuffer::acquire(PyObject* object, const ElementType& type, int ndim, int flags,
                         bool view_form) {
    release();
    if (object == Py_None) return true;
    if (PyObject_GetBuffer(object, &buffer_, flags) < 0) return false;
    held_ = true;
    if (buffer_.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     ndim, buffer_.ndim);
        release();
        return false;
    }
    if (!check_format(buffer_.format, type)) {
        release();
        return false;
    }
    if (buffer_.itemsize != type.size) {
        if (view_form) {
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                         static_cast<size_t>(buffer_.itemsize), buffer_.itemsize > 1 ? "s" : "",
                         type.name, static_cast<size_t>(type.size), type.size > 1 ? "s" : "");
        } else {
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                         buffer_.itemsize, buffer_.itemsize > 1 ? "s" : "", type.name, type.size,
                         type.size > 1 ? "s" : "");
        }
        release();
        return false;
    }
    if (view_form && buffer_.len > 0 && buffer_.suboffsets != nullptr) {
        for (int axis = 0; axis < ndim; ++axis) {
            if (buffer_.suboffsets[axis] >= 0) {
                PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.",
                             axis);
                release();
                return false;
            }
        }
    }
    if (buffer_.shape == nullptr || buffer_.strides == nullptr) fill_contiguous_layout();
    return true;
}

// An exporter may leave out the strides (ctypes arrays do), and for one
// dimension the shape: such a buffer is C-contiguous by definition, its one
// dimension len / itemsize elements long.
void HeldBuffer::fill_contiguous_layout() noexcept {
    const int ndim = buffer_.ndim;
    if (buffer_.shape == nullptr) plain_shape_[0] = buffer_.itemsize > 0 ? buffer_.len / buffer_.itemsize : 0;
    if (buffer_.shape != nullptr) {
        for (int axis = 0; axis < ndim; ++axis) plain_shape_[axis] = buffer_.shape[axis];
    }
    Py_ssize_t stride = buffer_.itemsize;
    for (int axis = ndim - 1; axis >= 0; --axis) {
        plain_strides_[axis] = buffer_.strides != nullptr ? buffer_.strides[axis] : stride;
        stride *= plain_shape_[axis];
    }
    buffer_.shape = plain_shape_;
    buffer_.strides = plain_strides_;
}

void HeldBuffer::release() noexcept {
    if (held_) {
        if (direct_) {
            Py_CLEAR(buffer_.obj);
            direct_ = false;
        } else {
            PyBuffer_Release(&buffer_);
        }
        held_ = false;
    }
}

}  // namespace frame

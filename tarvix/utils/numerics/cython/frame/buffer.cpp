#include "buffer.hpp"

namespace frame {

bool HeldBuffer::acquire_array(PyObject* object, const ElementType& type, int ndim, bool writable) {
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    return acquire(object, type, ndim, flags, false);
}

bool HeldBuffer::acquire_view(PyObject* object, const ElementType& type, int ndim, bool writable) {
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
    if (buffer_.shape == nullptr || buffer_.strides == nullptr) {
        // Only exporters that ignore the request get here; treat as unusable.
        PyErr_SetString(PyExc_ValueError, "Buffer has no shape or strides");
        release();
        return false;
    }
    return true;
}

void HeldBuffer::release() noexcept {
    if (held_) {
        PyBuffer_Release(&buffer_);
        held_ = false;
    }
}

}  // namespace frame

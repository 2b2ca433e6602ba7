// Held buffers of array arguments and the strided views kernels read them
// through.
#pragma once

#include "format.hpp"
#include "../kernels/arrays.hpp"


namespace frame {

using kernels::Strided1;
using kernels::Strided2;

// A buffer taken from an argument or a result, released when it leaves
// scope. None gives an empty buffer: every extent is 0.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { release(); }

    // ndarray form (the type test is check_ndarray's): strided buffer with
    // `ndim` dimensions of `type`, writable when the caller writes it.
    bool acquire_array(PyObject* object, const ElementType& type, int ndim, bool writable = false);

    // The same for the modules beyond the specified three: an error's
    // message is led by the argument's name ("Y: Buffer has wrong number of
    // dimensions (expected 2, got 1)").
    bool acquire_argument(const char* name, PyObject* object, const ElementType& type, int ndim,
                          bool writable = false);

    // View form: any exporter of such a buffer; also refuses indirect
    // (sub-offset) dimensions.
    bool acquire_view(PyObject* object, const ElementType& type, int ndim, bool writable = false);

    void release() noexcept;

    bool held() const noexcept { return held_; }
    Py_ssize_t extent(int axis) const noexcept { return held_ ? buffer_.shape[axis] : 0; }
    Py_ssize_t stride(int axis) const noexcept { return held_ ? buffer_.strides[axis] : 0; }

    template <class T>
    Strided1<T> view1() const noexcept {
        using Byte = typename Strided1<T>::Byte;
        return {static_cast<Byte*>(held_ ? buffer_.buf : nullptr), extent(0), stride(0)};
    }
    template <class T>
    Strided2<T> view2() const noexcept {
        using Byte = typename Strided2<T>::Byte;
        return {static_cast<Byte*>(held_ ? buffer_.buf : nullptr), extent(0), extent(1), stride(0),
                stride(1)};
    }

private:
    bool acquire(PyObject* object, const ElementType& type, int ndim, int flags, bool view_form);
    // An exact numpy.ndarray of `type`, `ndim` (at most max_plain_ndim)
    // dimensions and native byte order, read through its own fields (see
    // buffer.cpp); false when the array is anything else and must go
    // through the buffer protocol, or (with `failed` set and the exception
    // raised) when it is read-only and `writable` is asked for.
    bool take_plain_array(PyObject* object, const ElementType& type, int ndim, bool writable,
                          bool& failed);
    void fill_contiguous_layout() noexcept;

    static constexpr int max_plain_ndim = 2;

    Py_buffer buffer_{};
    bool held_ = false;
    bool direct_ = false;  // taken by take_plain_array: holds a reference, no export
    Py_ssize_t plain_shape_[max_plain_ndim]{};
    Py_ssize_t plain_strides_[max_plain_ndim]{};
};

}  // namespace frame

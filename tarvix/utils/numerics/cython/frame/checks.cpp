#include "checks.hpp"
#include "errors.hpp"
#include "ref.hpp"

#include <cmath>
#include <string>

namespace frame {

namespace {

// "(a,)" or "(a, b)".
Ref shape_text(const HeldBuffer& buffer, int ndim) {
    return Ref::steal(ndim == 1 ? PyUnicode_FromFormat("(%zd,)", buffer.extent(0))
                                : PyUnicode_FromFormat("(%zd, %zd)", buffer.extent(0), buffer.extent(1)));
}

}  // namespace

void raise_shape_mismatch(const char* name, const HeldBuffer& array, int ndim, const char* other_name,
                          const HeldBuffer& other, int other_ndim, const char* need) {
    Ref first = shape_text(array, ndim);
    Ref second = shape_text(other, other_ndim);
    if (!first || !second) return;
    PyErr_Format(PyExc_ValueError, "%s has shape %U but %s has shape %U; %s", name, first.get(), other_name,
                 second.get(), need);
}

bool ascending_copy(const char* name, const HeldBuffer& x, std::vector<double>& out) {
    const auto view = x.view1<const double>();
    const std::string what = std::string("a copy of ") + name;
    if (!allocate_or_raise(what.c_str(), 8.0 * static_cast<double>(view.size),
                           [&] { out.resize(static_cast<std::size_t>(view.size)); })) {
        return false;
    }
    for (Py_ssize_t i = 0; i < view.size; ++i) {
        const double value = view[i];
        out[static_cast<std::size_t>(i)] = value;
        const bool finite = std::isfinite(value);
        if (finite && (i == 0 || value > out[static_cast<std::size_t>(i - 1)])) continue;
        Ref value_object = Ref::steal(PyFloat_FromDouble(value));
        if (!value_object) return false;
        if (!finite) {
            PyErr_Format(PyExc_ValueError, "%s[%zd] = %R is not finite", name, i, value_object.get());
        } else {
            Ref previous = Ref::steal(PyFloat_FromDouble(out[static_cast<std::size_t>(i - 1)]));
            if (!previous) return false;
            PyErr_Format(PyExc_ValueError, "%s[%zd] = %R is not above %s[%zd] = %R: %s must ascend", name, i,
                         value_object.get(), name, i - 1, previous.get(), name);
        }
        return false;
    }
    return true;
}

}  // namespace frame

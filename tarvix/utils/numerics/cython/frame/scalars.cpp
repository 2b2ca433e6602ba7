#include "scalars.hpp"
#include "errors.hpp"
#include "module.hpp"

#include <climits>

namespace frame {

namespace {

bool convert_int(PyObject* integer, int& out) {
    long value = PyLong_AsLong(integer);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", "int");
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool argument_type_error(PyObject* object, const char* parameter, const char* expected) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter, expected, Py_TYPE(object)->tp_name);
    return false;
}

}  // namespace

bool to_int32(PyObject* object, int& out) {
    if (PyLong_Check(object)) return convert_int(object, out);

    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref result = Ref::steal(number->nb_int(object));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(result.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return false;
        }
    }
    return convert_int(result.get(), out);
}

bool to_double(PyObject* object, double& out) {
    double value = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_int32(PyObject* object, const char* name, int& out) {
    return to_int32(object, out) || name_error(name);
}

bool to_double(PyObject* object, const char* name, double& out) {
    return to_double(object, out) || name_error(name);
}

bool to_index_int32(PyObject* object, const char* name, int& out) {
    Ref integer = Ref::steal(PyNumber_Index(object));
    return (integer && convert_int(integer.get(), out)) || name_error(name);
}

bool check_flag(PyObject* object, const char* parameter) {
    if (object == Py_None || Py_IS_TYPE(object, &PyBool_Type)) return true;
    return argument_type_error(object, parameter, PyBool_Type.tp_name);
}

bool check_ndarray(PyObject* object, const char* parameter) {
    PyTypeObject* ndarray = ndarray_type();
    if (object == Py_None || PyObject_TypeCheck(object, ndarray)) return true;
    return argument_type_error(object, parameter, ndarray->tp_name);
}

bool refuse_none(PyObject* object, const char* parameter) {
    if (object != Py_None) return true;
    return argument_type_error(object, parameter, ndarray_type()->tp_name);
}

bool check_ndarray_result(PyObject* object) {
    PyTypeObject* ndarray = ndarray_type();
    if (object == Py_None || PyObject_TypeCheck(object, ndarray)) return true;
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(object)->tp_name,
                 ndarray->tp_name);
    return false;
}

}  // namespace frame

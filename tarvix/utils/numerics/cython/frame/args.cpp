#include "args.hpp"

namespace frame {

namespace {

void raise_count_error(const ParameterList& parameters, Py_ssize_t given) {
    bool exact = parameters.required == parameters.count;
    const char* bound;
    Py_ssize_t expected;
    if (given < parameters.required) {
        bound = "at least";
        expected = parameters.required;
    } else {
        bound = "at most";
        expected = parameters.count;
    }
    if (exact) bound = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 parameters.function, bound, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter named `key`, -1 when none is, -2 on error.
Py_ssize_t find_parameter(const ParameterList& parameters, PyObject* key) {
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        PyObject* name = parameters.names[i].object();
        if (name == nullptr) return -2;
        if (name == key) return i;
    }
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        PyObject* name = parameters.names[i].object();
        if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) continue;
        int equal = PyUnicode_Compare(name, key);
        if (equal == -1 && PyErr_Occurred()) return -2;
        if (equal == 0) return i;
    }
    return -1;
}

}  // namespace

bool parse_arguments(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values) {
    if (nargs > parameters.count) {
        raise_count_error(parameters, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < parameters.count; ++i) values[i] = i < nargs ? args[i] : nullptr;

    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", parameters.function);
            return false;
        }
        Py_ssize_t index = find_parameter(parameters, key);
        if (index == -2) return false;
        if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         parameters.function, key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         parameters.function, key);
            return false;
        }
        values[index] = args[nargs + k];
    }

    for (Py_ssize_t i = nargs; i < parameters.required; ++i) {
        if (values[i] == nullptr) {
            raise_count_error(parameters, i);
            return false;
        }
    }
    return true;
}

}  // namespace frame

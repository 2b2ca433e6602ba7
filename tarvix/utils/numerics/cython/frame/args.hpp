// Argument parsing: positional-or-keyword parameters, fast calling
// convention with keyword names.
#pragma once

#include "names.hpp"

#include <array>
#include <cstddef>

namespace frame {

struct ParameterList {
    const char* function;
    const Name* names;
    Py_ssize_t count;
    Py_ssize_t required;  // the first `required` parameters have no default
};

// Fills values[0..count) with borrowed references to the arguments, nullptr
// for an omitted optional parameter. Positional arguments fill from the
// left; keywords are matched by identity with a parameter name, then by
// equality. Returns false with TypeError set on a bad call.
bool parse_arguments(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values);

// A function's parameter names, with `Required` of them required.
template <std::size_t Count>
struct Signature {
    const char* function;
    std::array<Name, Count> names;
    Py_ssize_t required = Count;

    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::array<PyObject*, Count>& values) const {
        ParameterList list{function, names.data(), static_cast<Py_ssize_t>(Count), required};
        return parse_arguments(list, args, nargs, kwnames, values.data());
    }
};

}  // namespace frame

// Module initialisation: one module object per process, created and
// executed in multi-phase steps, with the public functions bound in order.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace frame {

// A public function: fast calling convention with keyword names.
using FastFunction = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

struct FunctionEntry {
    const char* name;
    FastFunction implementation;
};

struct ModuleDescription {
    const char* short_name;  // "gaussian"
    const char* full_name;   // "tarvix.utils.numerics.cython.gaussian"
    const FunctionEntry* functions;
    std::size_t function_count;
};

// What a module's PyInit_ function returns: its definition, initialised.
PyObject* init_module(const ModuleDescription& description);

// The module's full name, for traceback entries.
const char* module_full_name() noexcept;

// The module namespace (borrowed), or nullptr before initialisation.
PyObject* module_dict() noexcept;

// The builtins namespace (borrowed), or nullptr before initialisation.
PyObject* builtins_dict() noexcept;

// numpy.ndarray as found at import time (borrowed).
PyTypeObject* ndarray_type() noexcept;

}  // namespace frame

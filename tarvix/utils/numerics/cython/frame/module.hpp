// Module initialisation: one module object per process, created and
// executed in multi-phase steps, with the public functions bound in order.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace frame {

// A public function: fast calling convention with keyword names.
using FastFunction = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

// `doc` is the function's docstring, its first line the text signature
// ("name(a, b=1)\n--\n\n" then the summary), as CPython's own functions
// carry it; nullptr leaves __doc__ None.
struct FunctionEntry {
    const char* name;
    FastFunction implementation;
    const char* doc = nullptr;
};

// A step of a module's own, run at the end of its exec step (after the
// functions are bound): for instance the creation of a result type. Returns
// 0, or -1 with the exception set.
using ExecHook = int (*)(PyObject* module);

struct ModuleDescription {
    const char* short_name;  // "gaussian"
    const char* full_name;   // "tarvix.utils.numerics.cython.gaussian"
    const FunctionEntry* functions;
    std::size_t function_count;
    ExecHook exec_hook = nullptr;
    const char* doc = nullptr;  // the module's docstring; nullptr leaves __doc__ None

    // The function table's size is taken from the table itself.
    template <std::size_t count>
    constexpr ModuleDescription(const char* short_name, const char* full_name,
                                const FunctionEntry (&table)[count], ExecHook hook = nullptr,
                                const char* doc = nullptr) noexcept
        : short_name(short_name), full_name(full_name), functions(table), function_count(count),
          exec_hook(hook), doc(doc) {}
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

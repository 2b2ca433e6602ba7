// Module globals looked up at each use, as Python code would: first the
// module namespace, then builtins; NameError when neither has the name.
#pragma once

#include "names.hpp"

namespace frame {

// New reference to the global `name`, or nullptr with NameError set.
Ref module_global(const Name& name);

// New reference to `np.<attribute>`, with `np` looked up as a module global.
Ref numpy_attribute(const Name& attribute);

}  // namespace frame

#include <initializer_list>

namespace frame {

// np.<function>(*positional), or np.<function>(*positional, dtype=np.<dtype>)
// when `dtype` is given: the function is looked up first, then the dtype,
// as the Python expression would.
Ref call_numpy(const Name& function, std::initializer_list<PyObject*> positional,
               const Name* dtype = nullptr);

// callable(argument, dtype=dtype).
Ref call_with_dtype(PyObject* callable, PyObject* argument, PyObject* dtype);

// One of NumPy's own functions, taken from the module that defines it (so
// that a replacement bound to the numpy module is not mistaken for it) at
// first use and kept for the life of the process. A native stand-in for a
// call through `np` is used only when `np` holds this very object.
class NumpyOwn {
public:
    constexpr NumpyOwn(const char* module, const char* old_module, const char* name) noexcept
        : module_(module), old_module_(old_module), name_(name) {}
    // Borrowed; nullptr when it cannot be found (then nothing is NumPy's
    // own and the calls go through `np`). Needs the interpreter lock.
    PyObject* get() const noexcept;

private:
    const char* module_;      // NumPy 2
    const char* old_module_;  // NumPy 1
    const char* name_;
    mutable bool looked_up_ = false;
    mutable PyObject* found_ = nullptr;
};

inline NumpyOwn numpys_asarray{"numpy._core.multiarray", "numpy.core.multiarray", "asarray"};

}  // namespace frame

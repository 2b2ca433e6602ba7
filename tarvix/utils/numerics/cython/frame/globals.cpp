#include "globals.hpp"
#include "module.hpp"

namespace frame {

namespace {
constexpr Name np_name{"np"};
}

Ref module_global(const Name& name) {
    PyObject* key = name.object();
    if (key == nullptr) return Ref();
    if (PyObject* dict = module_dict()) {
        PyObject* found = PyDict_GetItemWithError(dict, key);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyObject* builtins = builtins_dict();
    if (builtins != nullptr) {
        PyObject* found = PyDict_GetItemWithError(builtins, key);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return Ref();
}

Ref numpy_attribute(const Name& attribute) {
    Ref np = module_global(np_name);
    if (!np) return Ref();
    PyObject* key = attribute.object();
    if (key == nullptr) return Ref();
    const char* text = attribute.text();
    const bool dunder = text[0] == '_' && text[1] == '_';
    PyObject* dict = !dunder && PyModule_CheckExact(np.get()) ? PyModule_GetDict(np.get()) : nullptr;
    if (dict != nullptr) {
        // Attribute access on a plain module finds a name in the module's
        // namespace unless its type defines it; the module type is
        // immutable and defines dunder names only. A name missing from the
        // namespace takes the full lookup (module __getattr__,
        // AttributeError).
        PyObject* found = PyDict_GetItemWithError(dict, key);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    return Ref::steal(PyObject_GetAttr(np.get(), key));
}

}  // namespace frame

namespace frame {

namespace {

constexpr Name dtype_keyword{"dtype"};

// callable(*arguments[0:count], dtype=arguments[count]).
Ref vectorcall_with_dtype(PyObject* callable, PyObject* const* arguments, std::size_t count) {
    // ("dtype",), made once and kept for the life of the process, as Name is.
    static PyObject* keyword_names = nullptr;
    if (keyword_names == nullptr) {
        PyObject* keyword = dtype_keyword.object();
        if (keyword == nullptr) return Ref();
        keyword_names = PyTuple_Pack(1, keyword);
        if (keyword_names == nullptr) return Ref();
    }
    return Ref::steal(PyObject_Vectorcall(callable, arguments, count, keyword_names));
}

}  // namespace

Ref call_numpy(const Name& function, std::initializer_list<PyObject*> positional, const Name* dtype) {
    Ref callable = numpy_attribute(function);
    if (!callable) return Ref();
    constexpr std::size_t max_arguments = 4;
    PyObject* arguments[max_arguments + 1];
    std::size_t count = 0;
    for (PyObject* argument : positional) {
        if (count == max_arguments) break;
        arguments[count++] = argument;
    }
    if (dtype == nullptr) {
        return Ref::steal(PyObject_Vectorcall(callable.get(), arguments, count, nullptr));
    }
    Ref dtype_object = numpy_attribute(*dtype);
    if (!dtype_object) return Ref();
    arguments[count] = dtype_object.get();
    return vectorcall_with_dtype(callable.get(), arguments, count);
}

Ref call_with_dtype(PyObject* callable, PyObject* argument, PyObject* dtype) {
    PyObject* arguments[] = {argument, dtype};
    return vectorcall_with_dtype(callable, arguments, 1);
}

PyObject* NumpyOwn::get() const noexcept {
    if (looked_up_) return found_;
    looked_up_ = true;
    PyObject* saved = PyErr_GetRaisedException();
    Ref module = Ref::steal(PyImport_ImportModule(module_));
    if (!module) {
        PyErr_Clear();
        module = Ref::steal(PyImport_ImportModule(old_module_));
    }
    found_ = module ? PyObject_GetAttrString(module.get(), name_) : nullptr;
    PyErr_Clear();
    PyErr_SetRaisedException(saved);
    return found_;
}

}  // namespace frame

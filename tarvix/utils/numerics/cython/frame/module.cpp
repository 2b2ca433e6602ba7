#include "module.hpp"
#include "errors.hpp"
#include "numpy.hpp"
#include "../kernels/dispatch.hpp"

#include <cstdint>
#include <cstdio>
#include <new>
#include <string_view>

namespace frame {

namespace {

// One module object per process, bound to the first interpreter that
// imports it.
const ModuleDescription* description = nullptr;
PyObject* the_module = nullptr;
PyObject* the_dict = nullptr;
PyObject* the_builtins = nullptr;
PyTypeObject* the_ndarray_type = nullptr;
std::int64_t first_interpreter_id = -1;

PyMethodDef* method_table = nullptr;  // the functions, then a terminating entry
PyModuleDef_Slot slots[3];
PyModuleDef definition;

int check_single_interpreter() {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (first_interpreter_id == -1) {
        first_interpreter_id = current;
        return current == -1 ? -1 : 0;
    }
    if (first_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies `spec.from` to `dict[to]`; a missing attribute is skipped, and so
// is None unless `allow_none`.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                        bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (the_module != nullptr) return Py_NewRef(the_module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

int warn_on_version_mismatch() {
    int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, description->full_name, "does not match",
                  runtime_major, runtime_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == nullptr) return -1;
    if (PyDict_GetItemString(modules, description->full_name) != nullptr) return 0;
    return PyDict_SetItemString(modules, description->full_name, module);
}

enum class SizeCheck { error, warn };

// Looks up `module_name.type_name` and compares its instance size with the
// one this module was built for.
PyTypeObject* import_type(PyObject* source, const char* module_name, const char* type_name,
                          Py_ssize_t expected, SizeCheck check) {
    Ref found = Ref::steal(PyObject_GetAttrString(source, type_name));
    if (!found) return nullptr;
    if (!PyType_Check(found.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(found.get());
    Py_ssize_t basic = type->tp_basicsize;
    Py_ssize_t item = type->tp_itemsize;
    if (item != 0 && item < 8) item = 8;
    if (basic + item < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected "
                     "%zd from C header, got %zd from PyObject",
                     module_name, type_name, expected, basic + item);
        return nullptr;
    }
    if (check == SizeCheck::warn && basic > expected) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "%s.%s size changed, may indicate binary incompatibility. Expected %zd from "
                      "C header, got %zd from PyObject",
                      module_name, type_name, expected, basic);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(found.release());
}

int import_types(PyObject* builtins) {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(
        import_type(builtins, "builtins", "type", 920, SizeCheck::warn)));
    if (!type) return -1;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    struct Expected {
        const char* name;
        Py_ssize_t size;
        SizeCheck check;
    };
    static constexpr Expected numpy_types[] = {
        {"dtype", 32, SizeCheck::error},
        {"flatiter", 2632, SizeCheck::error},
        {"broadcast", 304, SizeCheck::error},
        {"ndarray", 96, SizeCheck::error},
        {"generic", 16, SizeCheck::warn},
        {"number", 16, SizeCheck::warn},
        {"integer", 16, SizeCheck::warn},
        {"signedinteger", 16, SizeCheck::warn},
        {"unsignedinteger", 16, SizeCheck::warn},
        {"inexact", 16, SizeCheck::warn},
        {"floating", 16, SizeCheck::warn},
        {"complexfloating", 16, SizeCheck::warn},
        {"flexible", 16, SizeCheck::warn},
        {"character", 16, SizeCheck::warn},
        {"ufunc", 232, SizeCheck::error},
    };
    for (const Expected& entry : numpy_types) {
        PyTypeObject* found = import_type(numpy.get(), "numpy", entry.name, entry.size, entry.check);
        if (found == nullptr) return -1;
        if (std::string_view(entry.name) == "ndarray") {
            Py_XSETREF(the_ndarray_type, found);
        } else {
            Py_DECREF(found);
        }
    }
    return 0;
}

int bind_functions(PyObject* module) {
    Ref module_name = Ref::steal(PyUnicode_FromString(description->full_name));
    if (!module_name) return -1;
    for (std::size_t i = 0; i < description->function_count; ++i) {
        Ref function = Ref::steal(PyCMethod_New(&method_table[i], module, module_name.get(), nullptr));
        if (!function) return -1;
        if (PyObject_SetAttrString(module, method_table[i].ml_name, function.get()) < 0) return -1;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    return PyObject_SetAttrString(module, "__test__", test.get());
}

// A build whose kernels are pinned to a level this CPU lacks would stop at
// the first kernel with an illegal instruction; it is refused at import.
int check_kernel_level() {
    if (kernels::kernel_level_runs_here()) return 0;
    PyErr_Format(PyExc_ImportError,
                 "%s was built with its kernels pinned to the %s level, which this CPU does not offer "
                 "(its highest is %s); rebuild with -Dkernel_level=auto",
                 description->full_name, kernels::level_name(kernels::kernel_level()),
                 kernels::level_name(kernels::cpu_level()));
    return -1;
}

int run_exec_steps(PyObject* module) {
    if (check_kernel_level() < 0) return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return -1;
    Py_XSETREF(the_builtins, Py_NewRef(builtins.get()));
    if (warn_on_version_mismatch() < 0) return -1;
    if (import_numpy_api() < 0) return -1;
    if (register_in_sys_modules(module) < 0) return -1;
    if (import_types(builtins.get()) < 0) return -1;
    Ref numpy = Ref::steal(PyImport_ImportModuleLevel("numpy", nullptr, nullptr, nullptr, 0));
    if (!numpy) return -1;
    if (PyObject_SetAttrString(module, "np", numpy.get()) < 0) return -1;
    if (bind_functions(module) < 0) return -1;
    return description->exec_hook ? description->exec_hook(module) : 0;
}

int exec_module(PyObject* module) {
    if (the_module != nullptr) {
        if (the_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     description->short_name);
        return -1;
    }
    the_module = Py_NewRef(module);
    the_dict = PyModule_GetDict(module);
    if (run_exec_steps(module) == 0) return 0;

    char entry[256];
    std::snprintf(entry, sizeof entry, "init %s", description->full_name);
    if (PyErr_Occurred()) {
        add_traceback(entry);
    } else {
        PyErr_SetString(PyExc_ImportError, entry);
    }
    the_dict = nullptr;
    Py_CLEAR(the_module);
    return -1;
}

}  // namespace

PyObject* init_module(const ModuleDescription& module) {
    description = &module;
    // Sized from the module's table and made once (an import that failed
    // runs this again); kept for the life of the process, as the function
    // objects made from it are.
    const std::size_t count = module.function_count;
    if (method_table == nullptr) method_table = new (std::nothrow) PyMethodDef[count + 1];
    if (method_table == nullptr) return PyErr_NoMemory();
    for (std::size_t i = 0; i < count; ++i) {
        method_table[i] = PyMethodDef{
            module.functions[i].name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module.functions[i].implementation)),
            METH_FASTCALL | METH_KEYWORDS, module.functions[i].doc};
    }
    method_table[count] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    slots[0] = PyModuleDef_Slot{Py_mod_create, reinterpret_cast<void*>(create_module)};
    slots[1] = PyModuleDef_Slot{Py_mod_exec, reinterpret_cast<void*>(exec_module)};
    slots[2] = PyModuleDef_Slot{0, nullptr};
    definition = PyModuleDef{PyModuleDef_HEAD_INIT, module.full_name, module.doc, 0, nullptr, slots,
                             nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&definition);
}

const char* module_full_name() noexcept { return description ? description->full_name : "?"; }

PyObject* module_dict() noexcept { return the_dict; }

PyObject* builtins_dict() noexcept {
    return the_builtins ? PyModule_GetDict(the_builtins) : nullptr;
}

PyTypeObject* ndarray_type() noexcept { return the_ndarray_type; }

}  // namespace frame

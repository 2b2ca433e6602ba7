#include "errors.hpp"
#include "module.hpp"

#include <frameobject.h>

#include <cstring>
#include <cstdio>

namespace frame {

namespace {

// The part of a source path from the package directory on, so that the
// entry reads the same wherever the build tree was.
const char* package_relative(const char* path) {
    const char* found = std::strstr(path, "tarvix/");
    return found ? found : path;
}

}  // namespace

void add_traceback(const char* qualified_name, std::source_location where) {
    // Keep the pending exception aside while the frame objects are made.
    PyObject* exception = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(package_relative(where.file_name()), qualified_name,
                                         static_cast<int>(where.line()));
    if (code != nullptr) {
        PyObject* globals = module_dict();
        Ref empty_globals;
        if (globals == nullptr) {
            empty_globals = Ref::steal(PyDict_New());
            globals = empty_globals.get();
        }
        if (globals != nullptr) {
            PyErr_SetRaisedException(exception);
            exception = nullptr;
            PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
            if (frame != nullptr) {
                PyTraceBack_Here(frame);
                Py_DECREF(frame);
            }
        }
        Py_DECREF(code);
    }
    if (exception != nullptr) {
        PyErr_SetRaisedException(exception);
    }
}

void add_function_traceback(const char* function, std::source_location where) {
    char name[512];
    std::snprintf(name, sizeof name, "%s.%s", module_full_name(), function);
    add_traceback(name, where);
}

void raise_out_of_bounds(int axis) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

}  // namespace frame

namespace frame {

void raise_no_room(const char* what, double bytes) {
    char message[256];
    std::snprintf(message, sizeof message, "no room for %s: %.0f bytes (%.1f MiB) asked for", what, bytes,
                  bytes / (1024.0 * 1024.0));
    PyErr_SetString(PyExc_MemoryError, message);
}

}  // namespace frame

namespace frame {

bool name_error(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return false;
    Ref exception = Ref::steal(raised);
    // Only the argument errors the frame raises or passes on, whose one
    // argument is the message; any other (an exporter's own) stands as it
    // was raised.
    PyObject* const type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    if (type != PyExc_ValueError && type != PyExc_TypeError && type != PyExc_OverflowError &&
        type != PyExc_BufferError) {
        PyErr_SetRaisedException(exception.release());
        return false;
    }
    Ref text = Ref::steal(PyObject_Str(exception.get()));
    if (!text) {
        // No message to lead: the exception stands as it was.
        PyErr_Clear();
        PyErr_SetRaisedException(exception.release());
        return false;
    }
    PyErr_Format(type, "%s: %U", name, text.get());
    return false;
}

}  // namespace frame

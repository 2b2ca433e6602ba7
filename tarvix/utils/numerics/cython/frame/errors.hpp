// Error reporting shared by the modules: traceback entries, the messages of
// checked element access and of typed locals, and the C++ boundary.
#pragma once

#include "ref.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <source_location>

namespace frame {

// Adds a traceback entry named `qualified_name` (module path plus function
// name) to the exception being raised. The entry points at `where`, the
// place in the module source that raised it.
void add_traceback(const char* qualified_name,
                   std::source_location where = std::source_location::current());

// Same, with the entry named after `function` inside the current module.
void add_function_traceback(const char* function,
                            std::source_location where = std::source_location::current());

// IndexError "Out of bounds on buffer access (axis N)".
void raise_out_of_bounds(int axis);

// MemoryError "no room for <what>: <bytes> bytes (<MiB> MiB) asked for".
void raise_no_room(const char* what, double bytes);

// Leads the message of the exception being raised with the argument's name,
// "<name>: <message>", keeping its type (ValueError, TypeError,
// OverflowError or BufferError; any other is left as it is). Returns false, for
// `return acquire(...) || name_error("Y");`.
bool name_error(const char* name);

// Runs allocate(), which throws std::bad_alloc or std::length_error when
// there is no room; then raises raise_no_room(what, bytes) and returns false.
template <class Allocate>
bool allocate_or_raise(const char* what, double bytes, Allocate&& allocate) {
    try {
        allocate();
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    raise_no_room(what, bytes);
    return false;
}

// Runs `body`, which returns a new reference or nullptr with an exception
// set. A C++ exception never crosses into CPython: std::bad_alloc becomes
// MemoryError. On failure the traceback gains an entry for `function`.
template <class Body>
PyObject* traced(const char* function, Body&& body,
                 std::source_location where = std::source_location::current()) {
    PyObject* result = nullptr;
    try {
        result = body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    if (result == nullptr) add_function_traceback(function, where);
    return result;
}

}  // namespace frame

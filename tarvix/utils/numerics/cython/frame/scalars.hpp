// Conversions and type tests of scalar, flag and ndarray-form arguments.
#pragma once

#include "ref.hpp"

namespace frame {

// Scalar int: an int, or an object whose type has __int__ (a float is
// truncated toward zero), to a 32-bit signed integer.
bool to_int32(PyObject* object, int& out);

// Scalar float: anything Python's float conversion takes.
bool to_double(PyObject* object, double& out);

// The forms of the modules beyond the specified three: the same
// conversions, each error's message led by the argument's name
// ("tolerance: must be real number, not NoneType").
bool to_int32(PyObject* object, const char* name, int& out);
bool to_double(PyObject* object, const char* name, double& out);

// An integer parameter as Python's own functions take one (range, ...):
// an int or an object with __index__, so that a float is a TypeError
// "<name>: 'float' object cannot be interpreted as an integer";
// OverflowError "<name>: value too large to convert to int" outside the
// 32-bit range.
bool to_index_int32(PyObject* object, const char* name, int& out);

// Flag: exactly True, False or None.
bool check_flag(PyObject* object, const char* parameter);

// ndarray form: a numpy.ndarray, an instance of a subclass, or None.
bool check_ndarray(PyObject* object, const char* parameter);

// A required array given as None: the argument type error, naming it.
bool refuse_none(PyObject* object, const char* parameter);

// A result bound to an ndarray-typed local must be an ndarray or None:
// TypeError "Cannot convert <type> to numpy.ndarray" otherwise.
bool check_ndarray_result(PyObject* object);

}  // namespace frame

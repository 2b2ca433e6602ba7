// Conversions and type tests of scalar, flag and ndarray-form arguments.
#pragma once

#include "ref.hpp"

namespace frame {

// Scalar int: an int, or an object whose type has __int__ (a float is
// truncated toward zero), to a 32-bit signed integer.
bool to_int32(PyObject* object, int& out);

// Scalar float: anything Python's float conversion takes.
bool to_double(PyObject* object, double& out);

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

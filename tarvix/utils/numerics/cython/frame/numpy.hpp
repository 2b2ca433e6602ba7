// NumPy's C API, shared by every file of one extension module. The table
// pointer is imported once, in numpy_api.cpp, at module initialisation.
#pragma once

#include "ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tarvix_frame_numpy_api
#ifndef FRAME_IMPORTS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace frame {

// Takes NumPy's array API table, requiring an ABI not newer than this build
// knows, at least the API of NumPy 1.25, and a little-endian runtime.
// Failure: ImportError "numpy.core.multiarray failed to import" with the
// cause as its context.
int import_numpy_api();

}  // namespace frame

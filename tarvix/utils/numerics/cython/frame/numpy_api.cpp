#define FRAME_IMPORTS_NUMPY_API
#include "numpy.hpp"

namespace frame {

int import_numpy_api() {
    if (_import_array() >= 0) return 0;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    if (cause != nullptr) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetContext(error, cause);  // steals cause
        PyErr_SetRaisedException(error);
    }
    return -1;
}

}  // namespace frame

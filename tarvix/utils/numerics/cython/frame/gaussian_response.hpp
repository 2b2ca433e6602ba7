// The Gaussian response builder at the Python boundary, for the modules
// that build the response (deconvolution, unfolding): each row's window
// through np.searchsorted, the weights through the kernel, the three arrays
// through np.asarray. Where `np` holds NumPy's own functions the searches and
// conversions are native stand-ins with the same results.
#pragma once

#include "buffer.hpp"

namespace frame {

// The truncated, row-normalised Gaussian response on axis[n] with widths
// sigma (row i centred on axis[i], width sigma[i], window +-nsigma widths):
// a new reference to the tuple (offsets int64, indices int32, values
// float64), or nullptr with the exception set. `axis_object` is the object
// the axis view came from (np.searchsorted gets fresh views of it). A sigma
// shorter than the axis raises IndexError at the row it runs out.
PyObject* build_gaussian_response(PyObject* axis_object, Strided1<const double> axis,
                                  Strided1<const double> sigma, double nsigma);

}  // namespace frame

// Argument checks the modules beyond the specified three share: shapes that
// must agree with another argument's, and axes that must ascend.
#pragma once

#include "buffer.hpp"

#include <vector>

namespace frame {

// ValueError "<name> has shape (...) but <other_name> has shape (...);
// <need>", each shape of 1 or 2 dimensions.
void raise_shape_mismatch(const char* name, const HeldBuffer& array, int ndim, const char* other_name,
                          const HeldBuffer& other, int other_ndim, const char* need);

// The 1-D `x` copied contiguous into `out`, every entry finite and above
// the one before it; else ValueError "x[i] = v is not finite" or
// "x[i] = v is not above x[i-1] = w: x must ascend" (x being `name`), or
// MemoryError for the copy.
bool ascending_copy(const char* name, const HeldBuffer& x, std::vector<double>& out);

}  // namespace frame

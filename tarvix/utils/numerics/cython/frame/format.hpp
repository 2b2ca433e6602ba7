// Checking a buffer's format string against one declared element type.
#pragma once

#include "ref.hpp"

namespace frame {

// A declared element type: the name its errors show, its kind ('R' real
// floating, 'C' complex, 'I' signed integer, 'U' unsigned integer) and its
// size in bytes.
struct ElementType {
    const char* name;
    char kind;
    Py_ssize_t size;
};

inline constexpr ElementType float64_t{"float64_t", 'R', 8};
inline constexpr ElementType double_t{"double", 'R', 8};
inline constexpr ElementType const_double_t{"const double", 'R', 8};
inline constexpr ElementType int64_t_{"int64_t", 'I', 8};
inline constexpr ElementType int32_t_{"int32_t", 'I', 4};

// True when `format` (struct-module syntax, as the buffer protocol gives
// it) describes exactly one element of `expected`'s kind and size in
// native byte order; otherwise false with ValueError set.
bool check_format(const char* format, const ElementType& expected);

}  // namespace frame

// How kernels address arrays: through a byte stride (any view of a larger
// array, negative strides included) or as plain unit-stride pointers. A
// kernel written over the accessor type serves both; the compiler makes the
// two versions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kernels {

using index_t = std::ptrdiff_t;

// A one-dimensional strided array: element i lives at data + i*stride bytes.
template <class T>
struct Strided1 {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    Byte* data = nullptr;
    index_t size = 0;
    index_t stride = 0;

    T& operator[](index_t i) const noexcept { return *reinterpret_cast<T*>(data + i * stride); }

    // Whether element i+1 follows element i in memory (always so for one
    // element or none).
    bool unit_stride() const noexcept { return size <= 1 || stride == index_t{sizeof(T)}; }
    // The address of element 0, for a view whose elements are adjacent.
    T* pointer() const noexcept { return reinterpret_cast<T*>(data); }
    Strided1<const std::remove_const_t<T>> as_const() const noexcept { return {data, size, stride}; }
};

// A two-dimensional strided array.
template <class T>
struct Strided2 {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    Byte* data = nullptr;
    index_t rows = 0;
    index_t columns = 0;
    index_t row_stride = 0;
    index_t column_stride = 0;

    T& operator()(index_t i, index_t j) const noexcept {
        return *reinterpret_cast<T*>(data + i * row_stride + j * column_stride);
    }
    Strided1<T> row(index_t i) const noexcept { return {data + i * row_stride, columns, column_stride}; }
};

// A unit-stride array read like Strided1.
template <class T>
struct Unit {
    T* data = nullptr;
    T& operator[](index_t i) const noexcept { return data[i]; }
};

// A sparse matrix in CSR form as strided views: row j's entries sit at
// positions offsets[j] .. offsets[j+1]-1 of `indices` (their columns) and
// `values`; a row with offsets[j] >= offsets[j+1] is empty.
struct Csr {
    Strided1<const std::int64_t> offsets;
    Strided1<const std::int32_t> indices;
    Strided1<const double> values;
};

}  // namespace kernels

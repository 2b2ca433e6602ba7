#include "gaussian_response.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "globals.hpp"
#include "../kernels/gaussian_response.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace frame {

namespace {

namespace kg = kernels::gaussian_response;

constexpr Name searchsorted_name{"searchsorted"};
constexpr Name side_name{"side"};
constexpr Name right_name{"right"};
constexpr Name int64_name{"int64"};
constexpr Name int32_name{"int32"};
constexpr Name float64_name{"float64"};

NumpyOwn numpys_searchsorted{"numpy._core.fromnumeric", "numpy.core.fromnumeric", "searchsorted"};

// np.searchsorted(<fresh view of the axis>, bound), with side="right" when
// `side_keyword` is given; the result as a signed index.
bool call_searchsorted(PyObject* axis_object, double bound, PyObject* side_keyword, Py_ssize_t& index) {
    Ref function = numpy_attribute(searchsorted_name);
    if (!function) return false;
    Ref view = Ref::steal(PyMemoryView_FromObject(axis_object));
    if (!view) return false;
    Ref key = Ref::steal(PyFloat_FromDouble(bound));
    if (!key) return false;
    PyObject* arguments[] = {view.get(), key.get(), right_name.object()};
    Ref result = Ref::steal(PyObject_Vectorcall(function.get(), arguments, 2, side_keyword));
    if (!result) return false;
    Ref integer = Ref::steal(PyNumber_Index(result.get()));
    if (!integer) return false;
    index = PyLong_AsSsize_t(integer.get());
    return !(index == -1 && PyErr_Occurred());
}

// The windows of all rows through np.searchsorted, row by row, each bound
// checked (a window that np.searchsorted puts outside the axis raises
// IndexError).
bool windows_through_numpy(PyObject* axis_object, Strided1<const double> axis, Strided1<const double> sigma,
                           double nsigma, kg::Window* windows) {
    Ref side_keyword = Ref::steal(PyTuple_Pack(1, side_name.object()));
    if (!side_keyword || right_name.object() == nullptr) return false;
    const Py_ssize_t n = axis.size;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i >= sigma.size) {
            raise_out_of_bounds(0);
            return false;
        }
        const double centre = axis[i];
        const double s = sigma[i];
        Py_ssize_t low = 0, high = 0;
        if (!call_searchsorted(axis_object, centre - nsigma * s, nullptr, low) ||
            !call_searchsorted(axis_object, centre + nsigma * s, side_keyword.get(), high)) {
            return false;
        }
        auto valid = [n](Py_ssize_t j) { return j >= -n && j < n; };
        if (low < high && !(valid(low) && valid(high - 1))) {
            raise_out_of_bounds(0);
            return false;
        }
        windows[i] = {low, high};
    }
    return true;
}

// Every column low_i + p of every row as a Python int: what the int32
// conversion gets when some column does not fit 32 bits.
Ref column_list(const std::vector<kg::Window>& windows, long long total) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(total)));
    if (!list) return list;
    Py_ssize_t position = 0;
    for (const kg::Window& window : windows) {
        for (long long p = 0; p < window.count(); ++p) {
            PyObject* column = PyLong_FromLongLong(window.low + p);
            if (column == nullptr) return Ref();
            PyList_SET_ITEM(list.get(), position++, column);
        }
    }
    return list;
}

}  // namespace

PyObject* build_gaussian_response(PyObject* axis_object, Strided1<const double> axis,
                                  Strided1<const double> sigma, double nsigma) {
    const Py_ssize_t n = axis.size;
    std::vector<kg::Window> windows(static_cast<std::size_t>(n), kg::Window{0, 0});
    std::vector<double> points(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) points[static_cast<std::size_t>(i)] = axis[i];

    if (n > 0) {
        // Row 0 reads sigma[0] before its first search.
        if (sigma.size == 0) {
            raise_out_of_bounds(0);
            return nullptr;
        }
        // np.searchsorted is looked up at the first row. When it is NumPy's
        // own and the axis ascends, every correct bisection gives its
        // answer (NaN and infinite bounds included): the search is native.
        Ref searchsorted = numpy_attribute(searchsorted_name);
        if (!searchsorted) return nullptr;
        if (searchsorted.get() == numpys_searchsorted.get() && kernels::ascending(points.data(), n)) {
            const Py_ssize_t rows = std::min(n, sigma.size);
            kg::find_windows(points.data(), n, sigma, rows, nsigma, windows.data());
            if (rows < n) {  // row `rows` reads past the end of sigma
                raise_out_of_bounds(0);
                return nullptr;
            }
        } else if (!windows_through_numpy(axis_object, axis, sigma, nsigma, windows.data())) {
            return nullptr;
        }
    }

    // np.asarray(offsets, dtype=np.int64)
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(n) + 1);
    bool wide = false;
    long long wide_column = 0;
    const long long total = kg::fill_offsets(windows.data(), n, offsets.data(), wide, wide_column);
    AsArray<std::int64_t> to_int64;
    if (!to_int64.look_up(int64_name)) return nullptr;
    Ref offsets_array = to_int64.convert(offsets.data(), offsets.size());
    if (!offsets_array) return nullptr;

    // np.asarray(indices, dtype=np.int32)
    AsArray<std::int32_t> to_int32;
    if (!to_int32.look_up(int32_name)) return nullptr;
    Ref indices;
    if (!wide) {
        indices = new_uninitialised_array<std::int32_t>(total);
        if (!indices) return nullptr;
        // Through the dispatch for the kernel level's widest vectors.
        std::int32_t* const columns = array_data<std::int32_t>(indices);
        kernels::dispatch([&]<class>() { kg::fill_columns(windows.data(), n, offsets.data(), columns); });
        indices = to_int32.finish(std::move(indices));
    } else if (to_int32.own()) {
        // NumPy's refusal of a column beyond 32 bits.
        raise_integer_out_of_bounds(wide_column, "int32");
        return nullptr;
    } else {
        Ref columns = column_list(windows, total);
        if (columns) indices = to_int32.call(columns.get());
    }
    if (!indices) return nullptr;

    // np.asarray(values, dtype=np.float64)
    AsArray<double> to_float64;
    if (!to_float64.look_up(float64_name)) return nullptr;
    Ref values = new_uninitialised_array<double>(total);
    if (!values) return nullptr;
    double* const weights = array_data<double>(values);
    kernels::dispatch([&]<class V>() {
        kg::fill_weights<V>(points.data(), n, sigma, windows.data(), offsets.data(), weights);
    });
    values = to_float64.finish(std::move(values));
    if (!values) return nullptr;
    return PyTuple_Pack(3, offsets_array.get(), indices.get(), values.get());
}

}  // namespace frame

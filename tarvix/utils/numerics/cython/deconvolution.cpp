// tarvix.utils.numerics.cython.deconvolution: maximum-likelihood
// expectation-maximisation (ML-EM) through a sparse detector response, the
// truncated, row-normalised Gaussian response on a sampling axis, and
// Richardson-Lucy deconvolution, which is ML-EM run on that response.
//
// A response is a CSR triple (offsets, indices, values): row j is a source
// bin, and its entries k = offsets[j] .. offsets[j+1]-1 carry the share
// values[k] of that bin which lands in measured bin indices[k].
//
// reg_tikhonov, reg_tikhonov_lambda and use_sensitivity are parsed and
// type-checked and have no further effect: the sensitivity division runs in
// every pass and there is no regularisation term.

#include "frame/args.hpp"
#include "frame/arrays.hpp"
#include "frame/buffer.hpp"
#include "frame/csr.hpp"
#include "frame/errors.hpp"
#include "frame/exp.hpp"
#include "frame/fma.hpp"
#include "frame/gil.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using frame::Strided1;

// ---------------------------------------------------------------------------
// ML-EM kernels: plain strided arrays, no Python objects; they run without
// the interpreter lock. The response has passed frame::check_csr_rows, so
// every position and column they use is valid. With Wrap, a negative
// position or column counts from the end of its array; without, none is
// negative.

// Added to every predicted bin before the division, and the lower bound of
// the sensitivity.
constexpr double guard = 1e-12;

template <bool Wrap>
[[gnu::always_inline]] inline Py_ssize_t from_end(long long i, Py_ssize_t length) {
    if constexpr (Wrap) return i < 0 ? i + length : i;
    return i;
}

// The response as the kernels read it: columns[n], rows offsets[n+1].
template <bool Wrap>
struct Response {
    frame::CsrView csr;
    Py_ssize_t columns;

    long long begin(Py_ssize_t row) const { return csr.offsets[row]; }
    long long end(Py_ssize_t row) const { return csr.offsets[row + 1]; }
    double value(long long k) const { return csr.values[from_end<Wrap>(k, csr.values.size)]; }
    Py_ssize_t column(long long k) const {
        return from_end<Wrap>(csr.indices[from_end<Wrap>(k, csr.indices.size)], columns);
    }
};

// estimate = M^T x: estimate[i] collects values[k]*x[j] for every entry k of
// every row j whose column is i, rows ascending and entries ascending within
// a row, each term added with one fused multiply-add onto 0.0.
// x[n], estimate[n]; O(n + entries).
template <bool Wrap>
[[gnu::always_inline]] inline void forward(Strided1<const double> x, const Response<Wrap>& m,
                                           Strided1<double> estimate, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) estimate[i] = 0.0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        const double xj = x[j];
        const long long end = m.end(j);
        for (long long k = m.begin(j); k < end; ++k) {
            const Py_ssize_t column = m.column(k);
            estimate[column] = std::fma(m.value(k), xj, estimate[column]);
        }
    }
}

// ratio[i] = y[i] / (estimate[i] + 1e-12), the sum rounded, then the
// quotient; no other guard. y[n], estimate[n], ratio[n]; O(n).
[[gnu::always_inline]] inline void compute_ratio(Strided1<const double> y, Strided1<const double> estimate,
                                                 Strided1<double> ratio, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) ratio[i] = y[i] / (estimate[i] + guard);
}

// Row j of M ratio: total = fma(values[k], ratio[indices[k]], total) for k
// ascending from `k`, total starting at 0.0 (so 0.0 for an empty row).
// ratio[n]; O(entries of the row).
template <bool Wrap>
[[gnu::always_inline]] inline double back_project_row(long long k, long long end, Strided1<const double> ratio,
                                                      const Response<Wrap>& m, double total = 0.0) {
    for (; k < end; ++k) total = std::fma(m.value(k), ratio[m.column(k)], total);
    return total;
}

// correction = M ratio, one dependent chain of fused multiply-adds per row.
// Rows are independent, so four of them advance side by side for as long as
// all four have entries left, and each finishes its own chain after that:
// every row still adds its terms in its own ascending order.
// ratio[n], correction[n]; O(n + entries).
template <bool Wrap>
[[gnu::always_inline]] inline void backward(Strided1<const double> ratio, const Response<Wrap>& m,
                                            Strided1<double> correction, Py_ssize_t n) {
    constexpr int lanes = 4;
    Py_ssize_t j = 0;
    for (; j + lanes <= n; j += lanes) {
        long long k[lanes], end[lanes];
        double total[lanes];
        long long common = LLONG_MAX;
        for (int l = 0; l < lanes; ++l) {
            k[l] = m.begin(j + l);
            end[l] = m.end(j + l);
            total[l] = 0.0;
            common = std::min(common, k[l] < end[l] ? end[l] - k[l] : 0);
        }
        for (long long t = 0; t < common; ++t) {
            for (int l = 0; l < lanes; ++l) {
                total[l] = std::fma(m.value(k[l] + t), ratio[m.column(k[l] + t)], total[l]);
            }
        }
        for (int l = 0; l < lanes; ++l) {
            correction[j + l] = back_project_row(k[l] + common, end[l], ratio, m, total[l]);
        }
    }
    for (; j < n; ++j) correction[j] = back_project_row(m.begin(j), m.end(j), ratio, m);
}

// correction[i] /= sensitivity[i] where that exceeds 1e-12, else /= 1e-12
// (zero, negative and NaN sensitivities alike). correction[n],
// sensitivity[>= n]; O(n).
[[gnu::always_inline]] inline void apply_sensitivity(Strided1<double> correction,
                                                     Strided1<const double> sensitivity, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double s = sensitivity[i];
        correction[i] = correction[i] / (s > guard ? s : guard);
    }
}

// x[i] *= correction[i]. x[n], correction[n]; O(n).
[[gnu::always_inline]] inline void multiply_update(Strided1<double> x, Strided1<const double> correction,
                                                   Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) x[i] = x[i] * correction[i];
}

// The arrays of one reconstruction, all of at least n elements.
struct MlEmArrays {
    Strided1<double> x, estimate, ratio, correction;
    Strided1<const double> y, sensitivity;
};

// One sweep over the rows that finishes a pass and starts the next one's
// forward projection: for each row j, c = (M ratio)[j] / max(sensitivity[j],
// 1e-12), x[j] *= c, then row j's terms values[k]*x[j] are added onto
// estimate (cleared first). Every quantity is the one the separate steps
// (backward, apply_sensitivity, multiply_update, then forward) compute, with
// the same operations in the same order: estimate[i] still collects its
// terms rows ascending and entries ascending within a row, and row j's
// back-projection reads only `ratio`. The stored entries are read once per
// pass instead of twice; a row's entries are still in cache for the second
// use. ratio[n], x[n], estimate[n], sensitivity[>= n]; O(n + entries).
template <bool Wrap>
[[gnu::always_inline]] inline void update_and_forward(Strided1<const double> ratio, const Response<Wrap>& m,
                                                      Strided1<const double> sensitivity, Strided1<double> x,
                                                      Strided1<double> estimate, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) estimate[i] = 0.0;
    auto finish_row = [&](Py_ssize_t j, double total) {
        const double s = sensitivity[j];
        const double correction = total / (s > guard ? s : guard);
        const double xj = x[j] * correction;
        x[j] = xj;
        const long long end = m.end(j);
        for (long long k = m.begin(j); k < end; ++k) {
            const Py_ssize_t column = m.column(k);
            estimate[column] = std::fma(m.value(k), xj, estimate[column]);
        }
    };
    constexpr int lanes = 4;
    Py_ssize_t j = 0;
    for (; j + lanes <= n; j += lanes) {
        long long k[lanes], end[lanes];
        double total[lanes];
        long long common = LLONG_MAX;
        for (int l = 0; l < lanes; ++l) {
            k[l] = m.begin(j + l);
            end[l] = m.end(j + l);
            total[l] = 0.0;
            common = std::min(common, k[l] < end[l] ? end[l] - k[l] : 0);
        }
        for (long long t = 0; t < common; ++t) {
            for (int l = 0; l < lanes; ++l) {
                total[l] = std::fma(m.value(k[l] + t), ratio[m.column(k[l] + t)], total[l]);
            }
        }
        for (int l = 0; l < lanes; ++l) {
            finish_row(j + l, back_project_row(k[l] + common, end[l], ratio, m, total[l]));
        }
    }
    for (; j < n; ++j) finish_row(j, back_project_row(m.begin(j), m.end(j), ratio, m));
}

// `iterations` passes of
//   x <- x * (M (y / (M^T x + 1e-12))) / max(sensitivity, 1e-12)
// through the five steps above, in that order, on the same arrays; every
// pass but the last ends in update_and_forward, which also does the next
// pass's forward projection (the same result in one sweep over the
// entries instead of two). O(iterations * (n + entries)); no allocation.
template <bool Wrap>
[[gnu::always_inline]] inline void iterate(int iterations, const Response<Wrap>& m, const MlEmArrays& a,
                                           Py_ssize_t n) {
    auto as_const = [](Strided1<double> v) { return Strided1<const double>{v.data, v.size, v.stride}; };
    if (iterations <= 0) return;
    forward(as_const(a.x), m, a.estimate, n);
    for (int pass = 0; pass < iterations; ++pass) {
        compute_ratio(a.y, as_const(a.estimate), a.ratio, n);
        if (pass + 1 < iterations) {
            update_and_forward(as_const(a.ratio), m, a.sensitivity, a.x, a.estimate, n);
        } else {
            backward(as_const(a.ratio), m, a.correction, n);
            apply_sensitivity(a.correction, a.sensitivity, n);
            multiply_update(a.x, as_const(a.correction), n);
        }
    }
}

// ---------------------------------------------------------------------------
// Gaussian response kernels.

// NumPy's ordering of doubles: NaN after every number.
inline bool npy_less(double a, double b) { return a < b || (b != b && a == a); }

enum class Side { left, right };

// NumPy's bisection for one key: the first i with !(a[i] < key) (left) or
// key < a[i] (right) in npy_less order, as np.searchsorted(a, key, side)
// gives it; on an unsorted axis the same deterministic answer as NumPy's own
// search of one key. a[n]; O(log n).
template <Side side>
Py_ssize_t bisect(Strided1<const double> a, double key) {
    Py_ssize_t low = 0;
    Py_ssize_t high = a.size;
    while (low < high) {
        const Py_ssize_t mid = low + ((high - low) >> 1);
        const bool after = side == Side::left ? npy_less(a[mid], key) : !npy_less(key, a[mid]);
        if (after) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

// Whether a[n] is ascending in npy_less order (NaN only at the end). O(n).
bool ascending(Strided1<const double> a) {
    for (Py_ssize_t i = 1; i < a.size; ++i) {
        if (npy_less(a[i], a[i - 1])) return false;
    }
    return true;
}

// The entries gathered for the response, rows one after another.
struct ResponseRows {
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> indices;
    std::vector<double> values;
    long long wide_column = 0;  // the first column beyond int32, when wide
    bool wide = false;
};

// One row of the response, centred on `centre` with width `s`: for j = low
// .. high-1 ascending, d = (axis[j] - centre) / s and w = exp((d * -0.5) *
// d); appends j and w / norm, norm being the sum of all the row's w added in
// that order from 0.0. The window is valid for axis[n] (a negative j counts
// from the end and is stored as it is). O(high - low); the storage grows by
// high - low entries (reserved ahead by the caller where it can).
void gaussian_row(Strided1<const double> axis, double centre, double s, Py_ssize_t low, Py_ssize_t high,
                  ResponseRows& rows) {
    if (low >= high) return;
    if (!rows.wide && (low < INT32_MIN || high - 1 > INT32_MAX)) {
        rows.wide = true;
        rows.wide_column = low < INT32_MIN ? low : std::max<long long>(low, 1LL + INT32_MAX);
    }
    const std::size_t first = rows.values.size();
    const std::size_t count = static_cast<std::size_t>(high - low);
    rows.indices.resize(first + count);
    rows.values.resize(first + count);
    std::int32_t* const columns = rows.indices.data() + first;
    double* const w = rows.values.data() + first;
    // The exponents first, then all the row's exp in one vectorised call
    // (the bits of std::exp), then the sum in column order.
    for (Py_ssize_t j = low; j < high; ++j) {
        const double d = (axis[j < 0 ? j + axis.size : j] - centre) / s;
        columns[j - low] = static_cast<std::int32_t>(j);
        w[j - low] = (d * -0.5) * d;
    }
    frame::exp_array(w, w, static_cast<std::ptrdiff_t>(count));
    double norm = 0.0;
    for (std::size_t p = 0; p < count; ++p) norm = norm + w[p];
    for (std::size_t p = 0; p < count; ++p) w[p] = w[p] / norm;
}

// Richardson-Lucy's width model: full width at half maximum k * sqrt(E) * E,
// divided by FWHM_C = 2 sqrt(2 ln 2) to give the standard deviation.
constexpr double FWHM_C = 2.3548200450309493;

inline double get_sigma(double k, double energy) {
    const double resolution = k * std::sqrt(energy);
    return (resolution * energy) / FWHM_C;
}

// ---------------------------------------------------------------------------
// Python glue.

constexpr frame::Name ones_like_name{"ones_like"};
constexpr frame::Name empty_like_name{"empty_like"};
constexpr frame::Name searchsorted_name{"searchsorted"};
constexpr frame::Name side_name{"side"};
constexpr frame::Name right_name{"right"};
constexpr frame::Name int64_name{"int64"};
constexpr frame::Name int32_name{"int32"};
constexpr frame::Name float64_name{"float64"};

// np.<function>(like) bound to a writable one-dimensional float64 ndarray
// local: the result must be an ndarray (or None) whose buffer passes that
// check.
bool new_work_array(const frame::Name& function, PyObject* like, frame::Ref& array,
                    frame::HeldBuffer& buffer) {
    array = frame::call_numpy(function, {like});
    return array && frame::check_ndarray_result(array.get()) &&
           buffer.acquire_array(array.get(), frame::float64_t, 1, true);
}

// The ML-EM core, from the buffer checks on; called by ML_EM_cy and by
// richardson_lucy_cy, each of which adds the ML_EM_cy traceback entry. The
// arrays are ndarrays or None (type-tested by the caller). New reference to
// the estimate, or nullptr with the exception set.
PyObject* ml_em(PyObject* y, PyObject* offsets, PyObject* indices, PyObject* values, PyObject* sensitivity,
                int iterations) {
    frame::HeldBuffer y_buffer, offsets_buffer, indices_buffer, values_buffer, sensitivity_buffer;
    if (!y_buffer.acquire_array(y, frame::float64_t, 1) ||
        !offsets_buffer.acquire_array(offsets, frame::int64_t_, 1) ||
        !indices_buffer.acquire_array(indices, frame::int32_t_, 1) ||
        !values_buffer.acquire_array(values, frame::float64_t, 1) ||
        !sensitivity_buffer.acquire_array(sensitivity, frame::float64_t, 1)) {
        return nullptr;
    }

    frame::Ref x, estimate, ratio, correction;
    frame::HeldBuffer x_buffer, estimate_buffer, ratio_buffer, correction_buffer;
    if (!new_work_array(ones_like_name, y, x, x_buffer) ||
        !new_work_array(empty_like_name, y, estimate, estimate_buffer) ||
        !new_work_array(empty_like_name, y, ratio, ratio_buffer) ||
        !new_work_array(empty_like_name, y, correction, correction_buffer)) {
        return nullptr;
    }
    if (iterations <= 0) return x.release();

    // Everything the loops will touch is checked here, once, so that they
    // need no check per element.
    const Py_ssize_t n = y_buffer.extent(0);
    for (const frame::HeldBuffer* work : {&x_buffer, &estimate_buffer, &ratio_buffer, &correction_buffer}) {
        if (work->extent(0) < n) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
    }
    const frame::CsrView csr{offsets_buffer.view1<const std::int64_t>(),
                             indices_buffer.view1<const std::int32_t>(),
                             values_buffer.view1<const double>(),
                             offsets == Py_None,
                             indices == Py_None,
                             values == Py_None};
    bool negative = false;
    if (!frame::check_csr_rows(csr, n, n, "len(y)", negative) ||
        !frame::check_min_entries("sensitivity", sensitivity == Py_None, sensitivity_buffer.extent(0), n,
                                  "len(y)")) {
        return nullptr;
    }

    const MlEmArrays arrays{x_buffer.view1<double>(),          estimate_buffer.view1<double>(),
                            ratio_buffer.view1<double>(),      correction_buffer.view1<double>(),
                            y_buffer.view1<const double>(),    sensitivity_buffer.view1<const double>()};
    {
        frame::WithoutGil released;
        frame::run_fma_dispatched([&] {
            if (negative) {
                iterate(iterations, Response<true>{csr, n}, arrays, n);
            } else {
                iterate(iterations, Response<false>{csr, n}, arrays, n);
            }
        });
    }
    return x.release();
}

// The windows of the response rows: [low, high) holds the axis points with
// xmin <= axis[j] <= xmax as np.searchsorted finds them. When np.searchsorted
// (looked up once per call, at the first row) is NumPy's own and the axis is
// ascending, the search is native: every correct bisection of an ascending
// axis gives NumPy's answer, NaN and infinite bounds included. Otherwise
// np.searchsorted is looked up and called for each bound of each row.
class Windows {
public:
    Windows(PyObject* axis_object, Strided1<const double> axis) : axis_object_(axis_object), axis_(axis) {}

    bool choose() {
        frame::Ref current = frame::numpy_attribute(searchsorted_name);
        if (!current) return false;
        PyObject* own = numpys_searchsorted();
        native_ = own != nullptr && current.get() == own && ascending(axis_);
        if (!native_) {
            side_keyword_ = frame::Ref::steal(PyTuple_Pack(1, side_name.object()));
            if (!side_keyword_ || right_name.object() == nullptr) return false;
        }
        return true;
    }

    bool native() const { return native_; }

    bool find(double xmin, double xmax, Py_ssize_t& low, Py_ssize_t& high) const {
        if (native_) {
            low = bisect<Side::left>(axis_, xmin);
            high = bisect<Side::right>(axis_, xmax);
            return true;
        }
        return call_searchsorted(xmin, false, low) && call_searchsorted(xmax, true, high);
    }

private:
    // NumPy's own searchsorted, taken from the module that defines it (so a
    // replacement bound to numpy.searchsorted is not mistaken for it) on
    // first use and kept; nullptr when it cannot be found, and then the
    // search is always NumPy's.
    // (The interpreter lock guards the cache.)
    static PyObject* numpys_searchsorted() {
        static bool looked_up = false;
        static PyObject* own = nullptr;
        if (looked_up) return own;
        looked_up = true;
        frame::Ref module = frame::Ref::steal(PyImport_ImportModule("numpy._core.fromnumeric"));
        if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
            PyErr_Clear();
            module = frame::Ref::steal(PyImport_ImportModule("numpy.core.fromnumeric"));
        }
        own = module ? PyObject_GetAttrString(module.get(), "searchsorted") : nullptr;
        if (own == nullptr) PyErr_Clear();
        return own;
    }

    // np.searchsorted(<fresh view of axis>, bound) or, for the upper bound,
    // the same with side="right"; the result as a signed 64-bit index.
    bool call_searchsorted(double bound, bool right, Py_ssize_t& index) const {
        frame::Ref function = frame::numpy_attribute(searchsorted_name);
        if (!function) return false;
        frame::Ref view = frame::Ref::steal(PyMemoryView_FromObject(axis_object_));
        if (!view) return false;
        frame::Ref key = frame::Ref::steal(PyFloat_FromDouble(bound));
        if (!key) return false;
        PyObject* arguments[] = {view.get(), key.get(), right_name.object()};
        frame::Ref result = frame::Ref::steal(
            PyObject_Vectorcall(function.get(), arguments, 2, right ? side_keyword_.get() : nullptr));
        if (!result) return false;
        frame::Ref integer = frame::Ref::steal(PyNumber_Index(result.get()));
        if (!integer) return false;
        index = PyLong_AsSsize_t(integer.get());
        return !(index == -1 && PyErr_Occurred());
    }

    PyObject* axis_object_;
    Strided1<const double> axis_;
    frame::Ref side_keyword_;
    bool native_ = false;
};

// The Gaussian response builder, from the converted views on; called by
// build_gaussian_response and by richardson_lucy_cy, each of which adds the
// build_gaussian_response traceback entry. `axis_object` is the object the
// axis view came from (for the views handed to np.searchsorted). New
// reference to the tuple (offsets, indices, values), or nullptr with the
// exception set.
PyObject* build_response(PyObject* axis_object, Strided1<const double> axis, Strided1<const double> sigma,
                         double nsigma) {
    const Py_ssize_t n = axis.size;
    ResponseRows rows;
    rows.offsets.reserve(static_cast<std::size_t>(n) + 1);
    rows.offsets.push_back(0);

    if (n > 0) {
        // Row 0 reads sigma[0] before its first search.
        if (sigma.size == 0) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
        Windows windows(axis_object, axis);
        if (!windows.choose()) return nullptr;
        auto bounds = [&](Py_ssize_t i, Py_ssize_t& low, Py_ssize_t& high) {
            const double centre = axis[i];
            const double s = sigma[i];
            return windows.find(centre - nsigma * s, centre + nsigma * s, low, high);
        };
        if (windows.native()) {
            // The native search is cheap enough to run twice: count the
            // entries first, so that they are stored without regrowth.
            std::size_t total = 0;
            for (Py_ssize_t i = 0; i < std::min(n, sigma.size); ++i) {
                Py_ssize_t low = 0, high = 0;
                bounds(i, low, high);
                if (low < high) total += static_cast<std::size_t>(high - low);
            }
            rows.indices.reserve(total);
            rows.values.reserve(total);
        } else {
            rows.indices.reserve(static_cast<std::size_t>(n));
            rows.values.reserve(static_cast<std::size_t>(n));
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i >= sigma.size) {
                frame::raise_out_of_bounds(0);
                return nullptr;
            }
            Py_ssize_t low = 0, high = 0;
            if (!bounds(i, low, high)) return nullptr;
            if (low < high && !(frame::valid_index(low, n) && frame::valid_index(high - 1, n))) {
                frame::raise_out_of_bounds(0);
                return nullptr;
            }
            gaussian_row(axis, axis[i], sigma[i], low, high, rows);
            rows.offsets.push_back(static_cast<std::int64_t>(rows.values.size()));
        }
    }

    frame::Ref offsets = frame::asarray_from(rows.offsets, int64_name);
    if (!offsets) return nullptr;
    if (rows.wide) {
        // np.asarray's refusal, after its look-ups.
        if (frame::asarray_lookups(int32_name)) frame::raise_integer_out_of_bounds(rows.wide_column, "int32");
        return nullptr;
    }
    frame::Ref indices = frame::asarray_from(rows.indices, int32_name);
    if (!indices) return nullptr;
    frame::Ref values = frame::asarray_from(rows.values, float64_name);
    if (!values) return nullptr;
    return PyTuple_Pack(3, offsets.get(), indices.get(), values.get());
}

// --- ML_EM_cy(y, offsets, indices, values, sensitivity, iterations=30,
//              reg_tikhonov=False, reg_tikhonov_lambda=0.001, use_sensitivity=False)

const frame::Signature<9> ml_em_signature{"ML_EM_cy",
                                          {"y", "offsets", "indices", "values", "sensitivity", "iterations",
                                           "reg_tikhonov", "reg_tikhonov_lambda", "use_sensitivity"},
                                          5};

PyObject* ML_EM_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("ML_EM_cy", [&]() -> PyObject* {
        std::array<PyObject*, 9> v;
        if (!ml_em_signature.parse(args, nargs, kwnames, v)) return nullptr;
        int iterations = 30;
        [[maybe_unused]] double reg_tikhonov_lambda = 0.001;
        if (v[5] && !frame::to_int32(v[5], iterations)) return nullptr;
        if (v[7] && !frame::to_double(v[7], reg_tikhonov_lambda)) return nullptr;
        for (int i = 0; i < 5; ++i) {
            if (!frame::check_ndarray(v[i], ml_em_signature.names[i].text())) return nullptr;
        }
        if (v[6] && !frame::check_flag(v[6], "reg_tikhonov")) return nullptr;
        if (v[8] && !frame::check_flag(v[8], "use_sensitivity")) return nullptr;
        return ml_em(v[0], v[1], v[2], v[3], v[4], iterations);
    });
}

// --- build_gaussian_response(axis, sigma, nsigma=5.0)

const frame::Signature<3> builder_signature{"build_gaussian_response", {"axis", "sigma", "nsigma"}, 2};

PyObject* build_gaussian_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("build_gaussian_response", [&]() -> PyObject* {
        std::array<PyObject*, 3> v;
        if (!builder_signature.parse(args, nargs, kwnames, v)) return nullptr;
        frame::HeldBuffer axis, sigma;
        double nsigma = 5.0;
        if (!axis.acquire_view(v[0], frame::double_t, 1, true) ||
            !sigma.acquire_view(v[1], frame::double_t, 1, true) ||
            (v[2] && !frame::to_double(v[2], nsigma))) {
            return nullptr;
        }
        return build_response(v[0], axis.view1<const double>(), sigma.view1<const double>(), nsigma);
    });
}

// --- richardson_lucy_cy(x, y, k, sensitivity, iterations=30, reg_tikhonov=False,
//                        reg_tikhonov_lambda=0.001, use_sensitivity=False)

const frame::Signature<8> rl_signature{"richardson_lucy_cy",
                                       {"x", "y", "k", "sensitivity", "iterations", "reg_tikhonov",
                                        "reg_tikhonov_lambda", "use_sensitivity"},
                                       4};

PyObject* richardson_lucy_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("richardson_lucy_cy", [&]() -> PyObject* {
        std::array<PyObject*, 8> v;
        if (!rl_signature.parse(args, nargs, kwnames, v)) return nullptr;
        PyObject* const x = v[0];
        PyObject* const y = v[1];
        PyObject* const sensitivity = v[3];
        double k;
        int iterations = 30;
        [[maybe_unused]] double reg_tikhonov_lambda = 0.001;
        if (!frame::to_double(v[2], k)) return nullptr;
        if (v[4] && !frame::to_int32(v[4], iterations)) return nullptr;
        if (v[6] && !frame::to_double(v[6], reg_tikhonov_lambda)) return nullptr;
        if (!frame::check_ndarray(x, "x") || !frame::check_ndarray(y, "y") ||
            !frame::check_ndarray(sensitivity, "sensitivity") ||
            (v[5] && !frame::check_flag(v[5], "reg_tikhonov")) ||
            (v[7] && !frame::check_flag(v[7], "use_sensitivity"))) {
            return nullptr;
        }
        frame::HeldBuffer x_buffer, y_buffer, sensitivity_buffer;
        if (!x_buffer.acquire_array(x, frame::float64_t, 1) || !y_buffer.acquire_array(y, frame::float64_t, 1) ||
            !sensitivity_buffer.acquire_array(sensitivity, frame::float64_t, 1)) {
            return nullptr;
        }

        frame::Ref sigmas;
        frame::HeldBuffer sigmas_buffer;
        if (!new_work_array(empty_like_name, y, sigmas, sigmas_buffer)) return nullptr;
        const Py_ssize_t n = y_buffer.extent(0);
        if (x_buffer.extent(0) < n || sigmas_buffer.extent(0) < n) {
            frame::raise_out_of_bounds(0);
            return nullptr;
        }
        const auto energies = x_buffer.view1<const double>();
        const auto widths = sigmas_buffer.view1<double>();
        for (Py_ssize_t i = 0; i < n; ++i) widths[i] = get_sigma(k, energies[i]);

        // The builder takes x as a writable view, so a read-only x fails here.
        frame::HeldBuffer axis;
        if (!axis.acquire_view(x, frame::double_t, 1, true)) return nullptr;
        frame::Ref response = frame::Ref::steal(frame::traced("build_gaussian_response", [&] {
            return build_response(x, axis.view1<const double>(), sigmas_buffer.view1<const double>(), 5.0);
        }));
        if (!response) return nullptr;
        PyObject* const offsets = PyTuple_GET_ITEM(response.get(), 0);
        PyObject* const indices = PyTuple_GET_ITEM(response.get(), 1);
        PyObject* const values = PyTuple_GET_ITEM(response.get(), 2);
        return frame::traced("ML_EM_cy",
                             [&] { return ml_em(y, offsets, indices, values, sensitivity, iterations); });
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"ML_EM_cy", ML_EM_cy},
    {"build_gaussian_response", build_gaussian_response},
    {"richardson_lucy_cy", richardson_lucy_cy},
};

constexpr frame::ModuleDescription module_description{
    "deconvolution", "tarvix.utils.numerics.cython.deconvolution", functions, std::size(functions)};

}  // namespace

PyMODINIT_FUNC PyInit_deconvolution() { return frame::init_module(module_description); }

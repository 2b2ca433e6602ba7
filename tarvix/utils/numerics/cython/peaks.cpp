// tarvix.utils.numerics.cython.peaks: the continuum under the peaks of a
// stack of spectra (SNIP) and a significance-based search for the peaks.
//
// Both run a block of spectra side by side in vectors (kernels/lanes.hpp),
// every lane with the same operations in the same order, so row s of every
// result is bit for bit what Y[s] alone gives. The kernels are
// kernels/snip.hpp and kernels/peak_search.hpp; this file checks the
// arguments and makes the results.

#include "frame/args.hpp"
#include "frame/arrays.hpp"
#include "frame/buffer.hpp"
#include "frame/checks.hpp"
#include "frame/errors.hpp"
#include "frame/interrupt.hpp"
#include "frame/module.hpp"
#include "frame/scalars.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/peak_search.hpp"
#include "kernels/snip.hpp"
#include "kernels/spectrum_analysis.hpp"
#include "peaks_docs.hpp"  // generated from peaks.pyi

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

namespace ka = kernels::analysis;
namespace kp = kernels::peak_search;
namespace ks = kernels::snip;

// The SNIP half-width, in units of the local FWHM, that find_peaks_cy uses
// when it makes the continuum itself (measured on the HPGe simulator, see
// bench/peaks.py and the README), and its smoothing: a quarter of the mean
// FWHM, at least 1 channel. Without smoothing, SNIP clips the counts'
// fluctuations and sits well below the continuum where counts are few (on
// the measured 1110C background, 3 counts per channel for 9 at 2 MeV; with
// it, 6.2).
constexpr double snip_width_per_fwhm = 2.0;
constexpr double snip_smoothing_per_fwhm = 0.25;

// The SNIP smoothing of find_peaks_cy's own continuum: a quarter of the
// mean FWHM (channels), at least 1 and at most n.
Py_ssize_t snip_smoothing(const std::vector<double>& fwhm_channels) {
    const auto n = static_cast<Py_ssize_t>(fwhm_channels.size());
    double mean_fwhm = 0.0;
    for (const double f : fwhm_channels) mean_fwhm += f;
    mean_fwhm = n > 0 ? mean_fwhm / static_cast<double>(n) : 0.0;
    return static_cast<Py_ssize_t>(
        std::max(1.0, std::round(std::min(snip_smoothing_per_fwhm * mean_fwhm, static_cast<double>(n)))));
}

// --- PeakList, the named tuple find_peaks_cy returns.

PyStructSequence_Field peak_list_fields[] = {
    {"offsets", "(S + 1,) int64: row s's peaks are entries offsets[s] .. offsets[s+1] - 1"},
    {"position", "(N,) the centroid in channels (the centre of channel i is i)"},
    {"significance", "(N,) the net counts over their standard deviation"},
    {"net", "(N,) the estimated net counts"},
    {"width", "(N,) the FWHM in channels the search assumed there"},
    {nullptr, nullptr},
};

PyStructSequence_Desc peak_list_description = {
    "tarvix.utils.numerics.cython.peaks.PeakList",
    "The peaks of a stack of spectra: offsets, position, significance, net, width.",
    peak_list_fields,
    5,
};

PyTypeObject* peak_list_type = nullptr;  // made once, kept for the life of the process

// --- PeakTable, the named tuple analyse_spectra_cy returns.

PyStructSequence_Field peak_table_fields[] = {
    {"offsets", "(S + 1,) int64: row s's peaks are entries offsets[s] .. offsets[s+1] - 1"},
    {"energy", "(N,) the centroid, keV"},
    {"energy_error", "(N,) its standard error, keV"},
    {"area", "(N,) the peak's counts"},
    {"area_error", "(N,) their standard error"},
    {"fwhm", "(N,) keV, as fitted or held"},
    {"significance", "(N,) area / area_error"},
    {"background", "(N,) the fitted background's counts within +-1.25 FWHM of the centroid"},
    {"region", "(N,) int64: peaks of one region of a row were fitted together"},
    {"status", "(N,) int32: the region fit's status, as fitting.fit_peaks_cy's"},
    {nullptr, nullptr},
};

PyStructSequence_Desc peak_table_description = {
    "tarvix.utils.numerics.cython.peaks.PeakTable",
    "The peaks of a stack of analysed spectra: offsets, energy, energy_error, area, area_error, fwhm, "
    "significance, background, region, status.",
    peak_table_fields,
    10,
};

PyTypeObject* peak_table_type = nullptr;  // made once, kept for the life of the process

int add_peak_list(PyObject* module) {
    if (peak_list_type == nullptr) {
        peak_list_type = PyStructSequence_NewType(&peak_list_description);
        if (peak_list_type == nullptr) return -1;
    }
    if (peak_table_type == nullptr) {
        peak_table_type = PyStructSequence_NewType(&peak_table_description);
        if (peak_table_type == nullptr) return -1;
    }
    if (PyModule_AddObjectRef(module, "PeakList", reinterpret_cast<PyObject*>(peak_list_type)) < 0) return -1;
    return PyModule_AddObjectRef(module, "PeakTable", reinterpret_cast<PyObject*>(peak_table_type));
}

// A per-channel array of Y.shape[1] entries, each passing `ok`, copied
// contiguous; else ValueError naming the argument, the entry and the rule.
template <class Ok>
bool channel_values(const char* name, const frame::HeldBuffer& array, const frame::HeldBuffer& Y, const char* rule,
                    Ok&& ok, std::vector<double>& out) {
    if (array.extent(0) != Y.extent(1)) {
        frame::raise_shape_mismatch(name, array, 1, "Y", Y, 2, "it needs one entry per channel, Y.shape[1]");
        return false;
    }
    const auto view = array.view1<const double>();
    out.resize(static_cast<std::size_t>(view.size));
    for (Py_ssize_t i = 0; i < view.size; ++i) {
        const double value = view[i];
        if (!ok(value)) {
            frame::Ref value_object = frame::Ref::steal(PyFloat_FromDouble(value));
            if (value_object) PyErr_Format(PyExc_ValueError, "%s[%zd] = %R %s", name, i, value_object.get(), rule);
            return false;
        }
        out[static_cast<std::size_t>(i)] = value;
    }
    return true;
}

// --- snip_continuum_cy(Y, widths, smoothing=0)

const frame::Signature<3> snip_signature{"snip_continuum_cy", {"Y", "widths", "smoothing"}, 2};

PyObject* snip_continuum_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("snip_continuum_cy", [&]() -> PyObject* {
        std::array<PyObject*, 3> v;
        if (!snip_signature.parse(args, nargs, kwnames, v)) return nullptr;
        int smoothing = 0;
        if (v[2] && !frame::to_index_int32(v[2], "smoothing", smoothing)) return nullptr;
        frame::HeldBuffer Y, widths_buffer;
        if (!frame::check_ndarray(v[0], "Y") || !frame::check_ndarray(v[1], "widths") ||
            !Y.acquire_argument("Y", v[0], frame::float64_t, 2) ||
            !widths_buffer.acquire_argument("widths", v[1], frame::float64_t, 1) ||
            !frame::refuse_none(v[0], "Y") || !frame::refuse_none(v[1], "widths")) {
            return nullptr;
        }
        if (smoothing < 0) {
            PyErr_Format(PyExc_ValueError, "smoothing is %d; it must be >= 0 (channels on each side)", smoothing);
            return nullptr;
        }
        std::vector<double> widths;
        if (!channel_values("widths", widths_buffer, Y, "is not finite and >= 0",
                            [](double w) { return w >= 0.0 && std::isfinite(w); }, widths)) {
            return nullptr;
        }
        const Py_ssize_t S = Y.extent(0);
        const Py_ssize_t n = Y.extent(1);
        frame::Ref result = frame::new_uninitialised_array<double>(S, n);
        if (!result) return nullptr;
        ks::Work work;
        if (!frame::allocate_or_raise("the work arrays", ks::Work::bytes(n, kernels::lanes::block),
                                      [&] { work.allocate(n, kernels::lanes::block); })) {
            return nullptr;
        }
        const kernels::Strided2<double> out{reinterpret_cast<char*>(frame::array_data<double>(result)), S, n,
                                            static_cast<Py_ssize_t>(n * sizeof(double)), sizeof(double)};
        bool interrupted;
        {
            frame::InterruptibleSection section;
            const kernels::StopCheck stop = section.check();
            kernels::dispatch([&]<class V>() {
                ks::continuum_stack<V>(Y.view2<const double>(), widths.data(), smoothing, out, work, stop);
            });
            interrupted = section.interrupted();
        }
        return interrupted ? nullptr : result.release();
    });
}

// --- find_peaks_cy(Y, fwhm, threshold=4.0, continuum=None)

const frame::Signature<4> search_signature{"find_peaks_cy", {"Y", "fwhm", "threshold", "continuum"}, 2};

// The PeakList of the flat results (new reference), or nullptr.
PyObject* peak_list(const std::vector<std::int64_t>& offsets, const std::vector<kp::Peak>& peaks) {
    const auto count = static_cast<npy_intp>(peaks.size());
    frame::Ref fields[5] = {frame::new_array_from(offsets.data(), offsets.size()),
                            frame::new_uninitialised_array<double>(count),
                            frame::new_uninitialised_array<double>(count),
                            frame::new_uninitialised_array<double>(count),
                            frame::new_uninitialised_array<double>(count)};
    for (const frame::Ref& field : fields) {
        if (!field) return nullptr;
    }
    double* const position = frame::array_data<double>(fields[1]);
    double* const significance = frame::array_data<double>(fields[2]);
    double* const net = frame::array_data<double>(fields[3]);
    double* const width = frame::array_data<double>(fields[4]);
    for (npy_intp k = 0; k < count; ++k) {
        const kp::Peak& p = peaks[static_cast<std::size_t>(k)];
        position[k] = p.position;
        significance[k] = p.significance;
        net[k] = p.net;
        width[k] = p.width;
    }
    frame::Ref result = frame::Ref::steal(PyStructSequence_New(peak_list_type));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < 5; ++i) PyStructSequence_SetItem(result.get(), i, fields[i].release());
    return result.release();
}

PyObject* find_peaks_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("find_peaks_cy", [&]() -> PyObject* {
        std::array<PyObject*, 4> v;
        if (!search_signature.parse(args, nargs, kwnames, v)) return nullptr;
        double threshold = 4.0;
        if (v[2] && !frame::to_double(v[2], "threshold", threshold)) return nullptr;
        PyObject* const continuum_object = v[3] ? v[3] : Py_None;
        if (!frame::check_ndarray(v[0], "Y") || !frame::check_ndarray(v[1], "fwhm") ||
            !frame::check_ndarray(continuum_object, "continuum")) {
            return nullptr;
        }
        frame::HeldBuffer Y, fwhm_buffer, continuum;
        const bool has_continuum = continuum_object != Py_None;
        const int continuum_ndim =
            has_continuum ? PyArray_NDIM(reinterpret_cast<PyArrayObject*>(continuum_object)) : 1;
        if (has_continuum && continuum_ndim != 1 && continuum_ndim != 2) {
            PyErr_Format(PyExc_ValueError, "continuum: Buffer has wrong number of dimensions (expected 1 or 2, got %d)",
                         continuum_ndim);
            return nullptr;
        }
        if (!Y.acquire_argument("Y", v[0], frame::float64_t, 2) ||
            !fwhm_buffer.acquire_argument("fwhm", v[1], frame::float64_t, 1) ||
            !continuum.acquire_argument("continuum", continuum_object, frame::float64_t, continuum_ndim) ||
            !frame::refuse_none(v[0], "Y") || !frame::refuse_none(v[1], "fwhm")) {
            return nullptr;
        }
        if (std::isnan(threshold)) {
            PyErr_SetString(PyExc_ValueError, "threshold is NaN; it must be a number (a significance)");
            return nullptr;
        }
        std::vector<double> fwhm;
        if (!channel_values("fwhm", fwhm_buffer, Y, "is not finite and > 0 (the FWHM in channels)",
                            [](double f) { return f > 0.0 && std::isfinite(f); }, fwhm)) {
            return nullptr;
        }
        const Py_ssize_t S = Y.extent(0);
        const Py_ssize_t n = Y.extent(1);
        if (has_continuum && (continuum.extent(continuum_ndim - 1) != n ||
                              (continuum_ndim == 2 && continuum.extent(0) != S))) {
            frame::raise_shape_mismatch("continuum", continuum, continuum_ndim, "Y", Y, 2,
                                 "it needs the shape of Y or one row for all, (Y.shape[1],)");
            return nullptr;
        }

        const Py_ssize_t smoothing = snip_smoothing(fwhm);
        kp::StackInputs in{Y.view2<const double>(), {}, has_continuum, nullptr, smoothing, threshold};
        if (has_continuum) {
            if (continuum_ndim == 2) {
                in.continuum = continuum.view2<const double>();
            } else {
                const auto row = continuum.view1<const double>();
                in.continuum = {row.data, S, row.size, 0, row.stride};
            }
        }
        std::vector<double> snip_widths;
        kp::Filter filter;
        kp::StackWork work;
        std::vector<std::int64_t> offsets;
        const kernels::Strided1<const double> fwhm_view{reinterpret_cast<const char*>(fwhm.data()), n,
                                                        sizeof(double)};
        if (!frame::allocate_or_raise("the work arrays",
                                      kp::StackWork::bytes(n, !has_continuum) +
                                          kp::Filter::bytes(n, 2.0 * kp::default_half_width * 8.0) + 8.0 * S,
                                      [&] {
                                          work.allocate(n, !has_continuum);
                                          filter.layout(fwhm_view, kp::default_half_width);
                                          offsets.resize(static_cast<std::size_t>(S + 1));
                                          if (!has_continuum) snip_widths.resize(static_cast<std::size_t>(n));
                                      })) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; !has_continuum && i < n; ++i) {
            snip_widths[static_cast<std::size_t>(i)] = snip_width_per_fwhm * fwhm[static_cast<std::size_t>(i)];
        }
        in.snip_widths = snip_widths.data();

        std::vector<kp::Peak> peaks;
        const bool done = frame::run_interruptible(
            "the peaks found",
            [&](const kernels::StopCheck& stop) {
                filter.fill();
                kernels::dispatch(
                    [&]<class V>() { kp::search_stack<V>(filter, in, work, peaks, offsets.data(), stop); });
            },
            [&] { return 32.0 * static_cast<double>(peaks.size() + 1); });
        if (!done) return nullptr;
        return peak_list(offsets, peaks);
    });
}

// --- analyse_spectra_cy(x, Y, fwhm, tails=None, threshold=4.0, max_iterations=200)

const frame::Signature<6> analysis_signature{
    "analyse_spectra_cy", {"x", "Y", "fwhm", "tails", "threshold", "max_iterations"}, 3};

// The channel edges: Y.shape[1] + 1 of them, finite and strictly ascending.
bool channel_edges(const frame::HeldBuffer& x, const frame::HeldBuffer& Y, std::vector<double>& out) {
    if (x.extent(0) != Y.extent(1) + 1) {
        frame::raise_shape_mismatch("x", x, 1, "Y", Y, 2, "it needs the Y.shape[1] + 1 channel edges");
        return false;
    }
    return frame::ascending_copy("x", x, out);
}

// The PeakTable of the flat results (new reference), or nullptr.
PyObject* peak_table(const std::vector<std::int64_t>& offsets, const std::vector<ka::Entry>& table) {
    const auto count = static_cast<npy_intp>(table.size());
    frame::Ref fields[10] = {frame::new_array_from(offsets.data(), offsets.size()),
                             frame::new_uninitialised_array<double>(count),
                             frame::new_uninitialised_array<double>(count),
                             frame::new_uninitialised_array<double>(count),
                             frame::new_uninitialised_array<double>(count),
                             frame::new_uninitialised_array<double>(count),
                             frame::new_uninitialised_array<double>(count),
                             frame::new_uninitialised_array<double>(count),
                             frame::new_uninitialised_array<std::int64_t>(count),
                             frame::new_uninitialised_array<std::int32_t>(count)};
    for (const frame::Ref& field : fields) {
        if (!field) return nullptr;
    }
    double* const columns[7] = {frame::array_data<double>(fields[1]), frame::array_data<double>(fields[2]),
                                frame::array_data<double>(fields[3]), frame::array_data<double>(fields[4]),
                                frame::array_data<double>(fields[5]), frame::array_data<double>(fields[6]),
                                frame::array_data<double>(fields[7])};
    std::int64_t* const region = frame::array_data<std::int64_t>(fields[8]);
    std::int32_t* const status = frame::array_data<std::int32_t>(fields[9]);
    for (npy_intp k = 0; k < count; ++k) {
        const ka::Entry& e = table[static_cast<std::size_t>(k)];
        columns[0][k] = e.energy;
        columns[1][k] = e.energy_error;
        columns[2][k] = e.area;
        columns[3][k] = e.area_error;
        columns[4][k] = e.fwhm;
        columns[5][k] = e.significance;
        columns[6][k] = e.background;
        region[k] = e.region;
        status[k] = e.status;
    }
    frame::Ref result = frame::Ref::steal(PyStructSequence_New(peak_table_type));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < 10; ++i) PyStructSequence_SetItem(result.get(), i, fields[i].release());
    return result.release();
}

PyObject* analyse_spectra_cy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return frame::traced("analyse_spectra_cy", [&]() -> PyObject* {
        std::array<PyObject*, 6> v;
        if (!analysis_signature.parse(args, nargs, kwnames, v)) return nullptr;
        double threshold = 4.0;
        int max_iterations = 200;
        if ((v[4] && !frame::to_double(v[4], "threshold", threshold)) || (v[5] && !frame::to_index_int32(v[5], "max_iterations", max_iterations))) {
            return nullptr;
        }
        PyObject* const tails_object = v[3] ? v[3] : Py_None;
        if (!frame::check_ndarray(v[0], "x") || !frame::check_ndarray(v[1], "Y") ||
            !frame::check_ndarray(v[2], "fwhm") || !frame::check_ndarray(tails_object, "tails")) {
            return nullptr;
        }
        frame::HeldBuffer x_buffer, Y, fwhm_buffer, tails;
        if (!x_buffer.acquire_argument("x", v[0], frame::float64_t, 1) ||
            !Y.acquire_argument("Y", v[1], frame::float64_t, 2) ||
            !fwhm_buffer.acquire_argument("fwhm", v[2], frame::float64_t, 1) ||
            !tails.acquire_argument("tails", tails_object, frame::float64_t, 2) || !frame::refuse_none(v[0], "x") ||
            !frame::refuse_none(v[1], "Y") || !frame::refuse_none(v[2], "fwhm")) {
            return nullptr;
        }
        if (std::isnan(threshold)) {
            PyErr_SetString(PyExc_ValueError, "threshold is NaN; it must be a number (a significance)");
            return nullptr;
        }
        if (max_iterations < 0) {
            PyErr_Format(PyExc_ValueError, "max_iterations is %d; it must be >= 0", max_iterations);
            return nullptr;
        }
        std::vector<double> edges, fwhm;
        if (!channel_edges(x_buffer, Y, edges) ||
            !channel_values("fwhm", fwhm_buffer, Y, "is not finite and > 0 (the FWHM in keV)",
                            [](double f) { return f > 0.0 && std::isfinite(f); }, fwhm)) {
            return nullptr;
        }
        const Py_ssize_t S = Y.extent(0);
        const Py_ssize_t n = Y.extent(1);
        // The tails' (t, tau) pairs per channel, copied contiguous: t >= 0
        // and tau > 0, finite.
        std::vector<double> tail_values;
        Py_ssize_t tail_count = 0;
        if (tails_object != Py_None) {
            if (tails.extent(0) != n || (tails.extent(1) != 2 && tails.extent(1) != 4)) {
                frame::raise_shape_mismatch("tails", tails, 2, "Y", Y, 2,
                                     "it needs (Y.shape[1], 2) or (Y.shape[1], 4): (t, tau) of one or two tails");
                return nullptr;
            }
            tail_count = tails.extent(1) / 2;
            const auto view = tails.view2<const double>();
            if (!frame::allocate_or_raise("the tails", 8.0 * static_cast<double>(n * 2 * tail_count),
                                          [&] { tail_values.resize(static_cast<std::size_t>(n * 2 * tail_count)); })) {
                return nullptr;
            }
            for (Py_ssize_t i = 0; i < n; ++i) {
                for (Py_ssize_t c = 0; c < 2 * tail_count; ++c) {
                    const double value = view(i, c);
                    const bool ok = std::isfinite(value) && (c % 2 == 0 ? value >= 0.0 : value > 0.0);
                    if (!ok) {
                        frame::Ref value_object = frame::Ref::steal(PyFloat_FromDouble(value));
                        if (value_object) {
                            PyErr_Format(PyExc_ValueError, "tails[%zd, %zd] = %R is not %s", i, c, value_object.get(),
                                         c % 2 == 0 ? "finite and >= 0 (a tail's fraction t)"
                                                    : "finite and > 0 (a tail's length tau)");
                        }
                        return nullptr;
                    }
                    tail_values[static_cast<std::size_t>(i * 2 * tail_count + c)] = value;
                }
            }
        }

        std::vector<double> centre, fwhm_channels, snip_widths;
        kp::Filter filter;
        ka::StackWork work;
        std::vector<std::int64_t> offsets;
        if (!frame::allocate_or_raise("the work arrays",
                                      ka::StackWork::bytes(n) + 8.0 * (3.0 * static_cast<double>(n) + static_cast<double>(S)),
                                      [&] {
                                          centre.resize(static_cast<std::size_t>(n));
                                          fwhm_channels.resize(static_cast<std::size_t>(n));
                                          snip_widths.resize(static_cast<std::size_t>(n));
                                          offsets.resize(static_cast<std::size_t>(S + 1));
                                          work.allocate(n);
                                      })) {
            return nullptr;
        }
        const kernels::Strided1<const double> fwhm_view{reinterpret_cast<const char*>(fwhm_channels.data()), n,
                                                        sizeof(double)};
        for (Py_ssize_t i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(i);
            fwhm_channels[k] = fwhm[k] / (edges[k + 1] - edges[k]);
        }
        if (!frame::allocate_or_raise("the search's filter", kp::Filter::bytes(n, 2.0 * kp::default_half_width * 8.0),
                                      [&] { filter.layout(fwhm_view, kp::default_half_width); })) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(i);
            centre[k] = 0.5 * (edges[k] + edges[k + 1]);
            snip_widths[k] = snip_width_per_fwhm * fwhm_channels[k];
        }
        const ka::StackInputs in{Y.view2<const double>(), edges.data(), centre.data(), fwhm.data(),
                                 tail_count ? tail_values.data() : nullptr, tail_count, snip_widths.data(),
                                 snip_smoothing(fwhm_channels), threshold, max_iterations};
        std::vector<ka::Entry> table;
        const bool done = frame::run_interruptible(
            "the analysis",
            [&](const kernels::StopCheck& stop) {
                filter.fill();
                kernels::dispatch(
                    [&]<class V>() { ka::analyse_stack<V>(filter, in, work, table, offsets.data(), stop); });
            },
            [&] { return 80.0 * static_cast<double>(table.size() + 1); });
        if (!done) return nullptr;
        return peak_table(offsets, table);
    });
}

constexpr frame::FunctionEntry functions[] = {
    {"snip_continuum_cy", snip_continuum_cy, snip_continuum_cy_doc},
    {"find_peaks_cy", find_peaks_cy, find_peaks_cy_doc},
    {"analyse_spectra_cy", analyse_spectra_cy, analyse_spectra_cy_doc},
};

constexpr frame::ModuleDescription module_description{"peaks", "tarvix.utils.numerics.cython.peaks", functions,
                                                      add_peak_list};

}  // namespace

PyMODINIT_FUNC PyInit_peaks() { return frame::init_module(module_description); }

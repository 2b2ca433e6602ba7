"""Every public function, on success and on each distinct error path,
returns the interpreter's allocated blocks and its arguments' reference
counts to where they were."""

import gc
import sys

import numpy as np
import pytest

from tarvix.utils.numerics.cython import deconvolution, fitting, gaussian, peaks, respgrid, unfolding

CALLS = 300


def gaussian_cases():
    x, p = np.linspace(-1.0, 1.0, 50), np.array([1.0, 0.0, 0.5, 2.0, 0.3, 0.1])
    for function in (gaussian.multi_gaussian_cy, gaussian.multi_gaussian_jacobian_cy):
        name = function.__name__
        yield f"{name} ok", function, (x, p), {}, None
        yield f"{name} keywords", function, (), {"params": p, "x": x}, None
        yield f"{name} count", function, (x,), {}, TypeError
        yield f"{name} keyword", function, (x, p), {"x": x}, TypeError
        yield f"{name} type", function, (x, [1.0]), {}, TypeError
        yield f"{name} dtype", function, (x, p.astype(np.float32)), {}, ValueError
        yield f"{name} none", function, (None, p), {}, TypeError


def respgrid_cases():
    ref_e = np.array([100.0, 600.0, 1500.0])
    axis = np.linspace(0.0, 2000.0, 64)
    matrix = np.abs(np.sin(np.outer(ref_e, axis))) + 0.1
    requested = np.array([100.0, 700.0, 1400.0])
    good = (matrix, ref_e, axis, requested, axis)
    yield "calculate_regions ok", respgrid.calculate_regions, (662.0, 3000.0, True), {}, None
    yield "calculate_regions flag", respgrid.calculate_regions, (662.0, 3000.0, 1), {}, TypeError
    yield "calculate_regions float", respgrid.calculate_regions, ("a", 3000.0, None), {}, TypeError
    yield "respgrid_cy ok", respgrid.respgrid_cy, good, {}, None
    yield ("respgrid_cy range", respgrid.respgrid_cy,
           (matrix, ref_e, axis, np.array([50.0]), axis), {}, ValueError)
    yield ("respgrid_cy columns", respgrid.respgrid_cy,
           (matrix[:, :10], ref_e, axis, requested, axis), {}, ValueError)
    yield ("respgrid_cy dims", respgrid.respgrid_cy,
           (matrix[0], ref_e, axis, requested, axis), {}, ValueError)


def deconvolution_cases():
    n = 40
    axis = np.linspace(100.0, 1000.0, n)
    y = 50.0 + 100.0 * np.exp(-0.5 * ((axis - 500.0) / 20.0) ** 2)
    offsets, indices, values = deconvolution.build_gaussian_response(axis, np.full(n, 15.0))
    sensitivity = np.ones(n)
    ml_em = deconvolution.ML_EM_cy
    yield "ML_EM_cy ok", ml_em, (y, offsets, indices, values, sensitivity, 5), {}, None
    yield "ML_EM_cy structure", ml_em, (y, offsets[:-1], indices, values, sensitivity), {}, ValueError
    yield "ML_EM_cy sensitivity", ml_em, (y, offsets, indices, values, None), {}, ValueError
    yield "ML_EM_cy flag", ml_em, (y, offsets, indices, values, sensitivity, 1, 1), {}, TypeError
    yield "ML_EM_cy overflow", ml_em, (y, offsets, indices, values, sensitivity, 2**31), {}, OverflowError
    yield "ML_EM_cy dtype", ml_em, (y, indices, indices, values, sensitivity), {}, ValueError
    builder = deconvolution.build_gaussian_response
    yield "build_gaussian_response ok", builder, (axis, np.full(n, 15.0)), {}, None
    yield "build_gaussian_response short", builder, (axis, np.ones(3)), {}, IndexError
    read_only = axis.copy()
    read_only.flags.writeable = False
    yield "build_gaussian_response read-only", builder, (read_only, np.full(n, 15.0)), {}, ValueError
    rl = deconvolution.richardson_lucy_cy
    yield "richardson_lucy_cy ok", rl, (axis, y, 0.003, sensitivity, 5), {}, None
    yield "richardson_lucy_cy lengths", rl, (axis[:-1], y, 0.003, sensitivity), {}, IndexError
    yield "richardson_lucy_cy none y", rl, (axis, None, 0.003, sensitivity), {}, ValueError


def unfolding_cases():
    n = 40
    axis = np.linspace(100.0, 1000.0, n)
    Y = np.stack([50.0 + 100.0 * np.exp(-0.5 * ((axis - c) / 20.0) ** 2) for c in (300.0, 500.0, 700.0)])
    offsets, indices, values = deconvolution.build_gaussian_response(axis, np.full(n, 15.0))
    sensitivity = np.ones(n)
    batch = unfolding.ML_EM_batch_cy
    yield "ML_EM_batch_cy ok", batch, (Y, offsets, indices, values, sensitivity, 5), {}, None
    yield "ML_EM_batch_cy structure", batch, (Y, offsets[:-1], indices, values, sensitivity), {}, ValueError
    yield "ML_EM_batch_cy one-dimensional", batch, (Y[0], offsets, indices, values, sensitivity), {}, ValueError
    yield "ML_EM_batch_cy none", batch, (None, offsets, indices, values, sensitivity), {}, TypeError
    backwards = offsets.copy()
    backwards[5] = backwards[3]
    yield "ML_EM_batch_cy offsets decrease", batch, (Y, backwards, indices, values, sensitivity), {}, ValueError
    yield "ML_EM_batch_cy named conversion", batch, (Y, offsets, indices, values, sensitivity, None), {}, TypeError
    rl = unfolding.richardson_lucy_batch_cy
    yield "richardson_lucy_batch_cy ok", rl, (axis, Y, 0.003, sensitivity, 5), {}, None
    yield "richardson_lucy_batch_cy lengths", rl, (axis[:-1], Y, 0.003, sensitivity), {}, IndexError
    converge = unfolding.ML_EM_converge_cy
    yield "ML_EM_converge_cy ok", converge, (Y, offsets, indices, values, sensitivity, 1e-9, 20), {}, None
    yield "ML_EM_converge_cy tolerance", converge, (Y, offsets, indices, values, sensitivity, np.nan), {}, ValueError
    yield "ML_EM_converge_cy structure", converge, (Y, offsets[:-1], indices, values, sensitivity), {}, ValueError
    ll = unfolding.poisson_log_likelihood_cy
    yield "poisson_log_likelihood_cy ok", ll, (Y, Y, offsets, indices, values), {}, None
    yield "poisson_log_likelihood_cy shapes", ll, (Y, Y[:2], offsets, indices, values), {}, ValueError


def fitting_cases():
    m = 24
    edges = np.linspace(600.0, 612.0, m + 1)
    x = 0.5 * (edges[:-1] + edges[1:])
    basis = np.column_stack([np.ones(m), x - 600.0])
    peak = 400.0 * np.exp(-0.5 * (x - 606.0) ** 2) + 20.0
    Y = np.stack([peak, peak + 3.0, peak])
    Y[2, 5] = np.nan  # an invalid row
    start = np.array([350.0, 605.8, 1.2, 18.0, 0.0])
    stepped = np.array([350.0, 605.8, 1.2, 2.0, 18.0, 0.0])
    fit = fitting.fit_peaks_cy
    lower = np.array([0.0, -np.inf, 0.5, 0.0, 0.0])
    upper = np.array([np.inf, np.inf, 0.5, np.inf, np.inf])  # a fixed variance
    yield "fit_peaks_cy ok", fit, (x, Y, start, basis), {}, None
    yield "fit_peaks_cy bounds", fit, (x, Y, start, basis, lower, upper), {}, None
    yield ("fit_peaks_cy binned steps least squares", fit, (edges, Y, stepped, basis),
           {"steps": True, "binned": True, "poisson": False, "weights": 1.0 / np.maximum(Y[0], 1.0)}, None)
    tailed = np.array([350.0, 605.8, 1.2, 2.0, 0.3, 0.6, 0.05, 3.0, 18.0, 0.0])
    yield ("fit_peaks_cy binned steps two tails", fit, (edges, Y, tailed, basis),
           {"steps": True, "binned": True, "tails": 2}, None)
    yield "fit_peaks_cy tails value", fit, (x, Y, start, basis), {"tails": 3}, ValueError
    yield "fit_peaks_cy tails type", fit, (x, Y, start, basis), {"tails": 1.0}, TypeError
    held_lower = np.array([0.0, -np.inf, -np.inf, -np.inf, -np.inf])  # A held at 0: mu and v unidentifiable
    held_upper = np.array([0.0, np.inf, np.inf, np.inf, np.inf])
    yield "fit_peaks_cy singular", fit, (x, Y[:1], start, basis, held_lower, held_upper), {}, None
    yield "fit_peaks_cy empty", fit, (x, Y[:0], start, basis), {}, None
    yield "fit_peaks_cy shape", fit, (x[:-1], Y, start, basis), {}, ValueError
    yield "fit_peaks_cy parameters", fit, (x, Y, start[:4], basis), {}, ValueError
    yield "fit_peaks_cy bounds inconsistent", fit, (x, Y, start, basis, upper, lower), {}, ValueError
    yield "fit_peaks_cy weights", fit, (x, Y, start, basis), {"weights": np.ones(m)}, ValueError
    yield "fit_peaks_cy axis", fit, (x[::-1], Y, start, basis), {}, ValueError
    yield "fit_peaks_cy tolerance", fit, (x, Y, start, basis), {"tolerance": np.nan}, ValueError
    yield "fit_peaks_cy dtype", fit, (x, Y.astype(np.float32), start, basis), {}, ValueError
    yield "fit_peaks_cy type", fit, (x, Y, list(start), basis), {}, TypeError
    yield "fit_peaks_cy none", fit, (x, None, start, basis), {}, TypeError
    yield "fit_peaks_cy flag", fit, (x, Y, start, basis), {"steps": 1}, TypeError
    yield "fit_peaks_cy keyword", fit, (x, Y, start), {"x": x}, TypeError
    # Through a response: two lines on a flat continuum, a three-diagonal response.
    folded = fitting.fit_folded_cy
    offsets = np.arange(0, 3 * m + 1, 3, dtype=np.int64)[:m + 1]
    indices = np.clip(np.arange(m)[:, None] + np.array([-1, 0, 1]), 0, m - 1).astype(np.int32).ravel()
    values = np.tile([0.2, 0.6, 0.2], m)
    lines = np.array([500.0, x[6], 300.0, x[15], 10.0])
    response = (offsets, indices, values)
    yield "fit_folded_cy ok", folded, (x, Y, lines, *response, np.ones((m, 1))), {}, None
    yield "fit_folded_cy empty", folded, (x, Y[:0], lines, *response, np.ones((m, 1))), {}, None
    yield "fit_folded_cy response", folded, (x, Y, lines, offsets[:-1], indices, values), {}, ValueError
    yield "fit_folded_cy parameters", folded, (x, Y, lines[:3], *response), {}, ValueError
    yield "fit_folded_cy type", folded, (x, Y, lines, list(offsets), indices, values), {}, TypeError
    backwards = offsets.copy()
    backwards[5] = backwards[3]
    yield "fit_folded_cy offsets decrease", folded, (x, Y, lines, backwards, indices, values), {}, ValueError
    yield ("fit_folded_cy values not finite", folded, (x, Y, lines, offsets, indices, np.where(values > 0.5, np.nan, values)),
           {}, ValueError)
    yield "fit_folded_cy named dtype", folded, (x, Y, lines, offsets.astype(np.int32), indices, values), {}, ValueError
    yield "fit_peaks_cy float max_iterations", fit, (x, Y, start, basis), {"max_iterations": 5.0}, TypeError
    yield "fit_peaks_cy None tolerance", fit, (x, Y, start, basis), {"tolerance": None}, TypeError


def peaks_cases():
    n = 200
    x = np.arange(n, dtype=float)
    y = 50.0 + 2000.0 * np.exp(-0.5 * ((x - 80.0) / 2.0) ** 2) + 300.0 * np.exp(-0.5 * ((x - 130.0) / 2.2) ** 2)
    Y = np.stack([y, y + 3.0, y])
    Y[2, 5] = np.nan  # an invalid row
    fwhm = np.full(n, 5.0)
    snip = peaks.snip_continuum_cy
    find = peaks.find_peaks_cy
    yield "snip_continuum_cy ok", snip, (Y, 2.0 * fwhm), {}, None
    yield "snip_continuum_cy smoothing", snip, (Y, 2.0 * fwhm, 2), {}, None
    yield "snip_continuum_cy empty", snip, (Y[:0], 2.0 * fwhm), {}, None
    yield "snip_continuum_cy shape", snip, (Y, fwhm[:-1]), {}, ValueError
    yield "snip_continuum_cy width", snip, (Y, -fwhm), {}, ValueError
    yield "snip_continuum_cy smoothing negative", snip, (Y, fwhm, -1), {}, ValueError
    yield "snip_continuum_cy dtype", snip, (Y.astype(np.float32), fwhm), {}, ValueError
    yield "snip_continuum_cy none", snip, (None, fwhm), {}, TypeError
    yield "find_peaks_cy ok", find, (Y, fwhm), {}, None
    yield "find_peaks_cy continuum row", find, (Y, fwhm, 4.0, np.full(n, 50.0)), {}, None
    yield "find_peaks_cy continuum stack", find, (Y, fwhm, 3.0, np.full((3, n), 50.0)), {}, None
    yield "find_peaks_cy empty", find, (Y[:0], fwhm), {}, None
    yield "find_peaks_cy fwhm", find, (Y, fwhm[:-1]), {}, ValueError
    yield "find_peaks_cy fwhm zero", find, (Y, 0.0 * fwhm), {}, ValueError
    yield "find_peaks_cy threshold", find, (Y, fwhm, np.nan), {}, ValueError
    yield "find_peaks_cy continuum shape", find, (Y, fwhm, 4.0, np.ones((2, n))), {}, ValueError
    yield "find_peaks_cy type", find, (Y, list(fwhm)), {}, TypeError
    yield "find_peaks_cy keyword", find, (Y, fwhm), {"Y": Y}, TypeError


def analysis_cases():
    edges = np.linspace(0.0, 300.0, 301)
    x = 0.5 * (edges[:-1] + edges[1:])
    mean = 50.0 + 2000.0 * np.exp(-0.5 * ((x - 150.0) / 1.5) ** 2)
    Y = np.random.default_rng(8).poisson(mean, size=(2, 300)).astype(np.float64)
    fwhm = np.full(300, 3.5)
    analyse = peaks.analyse_spectra_cy
    yield "analyse_spectra_cy ok", analyse, (edges, Y, fwhm), {}, None
    yield "analyse_spectra_cy empty", analyse, (edges, Y[:0], fwhm), {}, None
    yield "analyse_spectra_cy shape", analyse, (edges[:-1], Y, fwhm), {}, ValueError
    yield "analyse_spectra_cy tails", analyse, (edges, Y, fwhm), {"tails": np.full((300, 4), 0.5)}, None
    yield "analyse_spectra_cy tails refused", analyse, (edges, Y, fwhm), {"tails": -np.ones((300, 2))}, ValueError
    yield "analyse_spectra_cy type", analyse, (edges, list(Y), fwhm), {}, TypeError


CASES = [*gaussian_cases(), *respgrid_cases(), *deconvolution_cases(), *unfolding_cases(), *fitting_cases(),
         *peaks_cases(), *analysis_cases()]


@pytest.mark.parametrize("label, function, args, kwargs, error", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_leak_nothing(label, function, args, kwargs, error):
    def call():
        try:
            function(*args, **kwargs)
        except Exception as raised:
            if error is None or not isinstance(raised, error):
                raise
        else:
            assert error is None, f"{label}: expected {error.__name__}"

    watched = list(args) + list(kwargs.values())
    for _ in range(20):
        call()
    gc.collect()
    refcounts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(CALLS):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < CALLS // 3
    assert [sys.getrefcount(obj) for obj in watched] == refcounts

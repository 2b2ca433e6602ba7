"""Concurrent calls on shared inputs give exactly the serial results, and a
fit leaves the interpreter lock to other threads while it runs."""

import threading

import numpy as np
import pytest

from concurrency import assert_other_threads_run
from tarvix.utils.numerics.cython import deconvolution, fitting, peaks, respgrid, unfolding

THREADS = 4
ROUNDS = 3


def spectrum(n):
    axis = np.linspace(50.0, 3000.0, n)
    rng = np.random.default_rng(n)
    y = rng.poisson(20.0 + 500.0 * np.exp(-0.5 * ((axis - 662.0) / 15.0) ** 2)).astype(np.float64)
    return axis, y


def ml_em_call():
    axis, y = spectrum(600)
    response = deconvolution.build_gaussian_response(axis, np.full(axis.size, 12.0))
    sensitivity = np.ones(axis.size)
    return lambda: deconvolution.ML_EM_cy(y, *response, sensitivity, 40)


def richardson_lucy_call():
    axis, y = spectrum(500)
    sensitivity = np.ones(axis.size)
    return lambda: deconvolution.richardson_lucy_cy(axis, y, 0.003, sensitivity, 40)


def respgrid_call():
    ref_e = np.linspace(100.0, 2900.0, 12)
    axis = np.linspace(0.0, 3000.0, 400)
    matrix = np.exp(-0.5 * ((axis[None, :] - ref_e[:, None]) / 20.0) ** 2) + 0.01
    requested = np.linspace(100.0, 2900.0, 150)
    return lambda: respgrid.respgrid_cy(matrix, ref_e, axis, requested, axis)


def ml_em_batch_call():
    axis, y = spectrum(500)
    response = deconvolution.build_gaussian_response(axis, np.full(axis.size, 12.0))
    Y = np.stack([y, y[::-1], y + 3.0])
    return lambda: unfolding.ML_EM_batch_cy(Y, *response, np.ones(axis.size), 30)


def fit_peaks_call():
    edges = np.linspace(600.0, 632.0, 65)
    x = 0.5 * (edges[:-1] + edges[1:])
    basis = np.column_stack([np.ones(64), x - 600.0])
    rng = np.random.default_rng(3)
    mean = 3000.0 * np.exp(-0.5 * (x - 615.0) ** 2 / 1.5) + 40.0 * 0.5 * (1.0 + np.tanh(615.0 - x)) + 20.0
    Y = rng.poisson(mean, size=(40, 64)).astype(np.float64)
    start = np.array([2500.0, 614.5, 1.2, 30.0, 18.0, 0.0])
    return lambda: fitting.fit_peaks_cy(x, Y, start, basis, steps=True)


def find_peaks_call():
    axis, y = spectrum(3000)
    Y = np.stack([y, y[::-1], y + 3.0] * 4)
    return lambda: peaks.find_peaks_cy(Y, np.full(axis.size, 9.0))


def snip_call():
    axis, y = spectrum(3000)
    Y = np.stack([y, y[::-1], y + 3.0] * 4)
    return lambda: peaks.snip_continuum_cy(Y, np.full(axis.size, 18.0), 1)


def analysed_spectra():
    # Peaks of 0.7 keV channels on a falling continuum.
    edges = np.linspace(0.0, 700.0, 1001)
    x = 0.5 * (edges[:-1] + edges[1:])
    mean = 400.0 * np.exp(-x / 300.0) + 5.0
    for e, counts in ((120.0, 3000.0), (300.0, 800.0), (303.0, 400.0), (511.0, 200.0)):
        mean += counts * np.exp(-0.5 * ((x - e) / 1.0) ** 2) * 0.7 / np.sqrt(2 * np.pi)
    Y = np.random.default_rng(6).poisson(mean, size=(6, 1000)).astype(np.float64)
    return edges, Y, np.full(1000, 2.355)


def analyse_call():
    edges, Y, fwhm = analysed_spectra()
    return lambda: peaks.analyse_spectra_cy(edges, Y, fwhm)


@pytest.mark.parametrize("make_call", [ml_em_call, richardson_lucy_call, respgrid_call, ml_em_batch_call,
                                       fit_peaks_call, find_peaks_call, snip_call, analyse_call])
def test_concurrent_calls_match_serial(make_call):
    call = make_call()
    expected = call()
    results, errors = [], []
    start = threading.Barrier(THREADS)

    def worker():
        try:
            start.wait()
            for _ in range(ROUNDS):
                results.append(call())
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert len(results) == THREADS * ROUNDS
    for result in results:
        if isinstance(expected, tuple) and type(expected) is not tuple:  # a FitResult
            assert type(result) is type(expected)
            assert all(np.array_equal(np.asarray(a).view(np.uint8), np.asarray(b).view(np.uint8))
                       for a, b in zip(result, expected))
        elif isinstance(expected, tuple):
            assert all(np.array_equal(a, b) and a.dtype == b.dtype for a, b in zip(result, expected))
        else:
            assert np.array_equal(result, expected)


def test_fit_peaks_releases_the_lock():
    # A stack of `passes` regions (one row read for all): another thread
    # keeps running all through the fits.
    edges = np.linspace(600.0, 632.0, 65)
    x = 0.5 * (edges[:-1] + edges[1:])
    basis = np.column_stack([np.ones(64), x - 600.0])
    y = np.random.default_rng(4).poisson(3000.0 * np.exp(-0.5 * (x - 615.0) ** 2 / 1.5) + 20.0).astype(np.float64)
    start = np.array([2500.0, 614.5, 1.2, 30.0, 18.0, 0.0])
    assert_other_threads_run(lambda passes: fitting.fit_peaks_cy(
        edges, np.broadcast_to(y, (passes, 64)), start, basis, steps=True, binned=True))


@pytest.mark.parametrize("function", ["find_peaks_cy", "snip_continuum_cy"])
def test_peaks_release_the_lock(function):
    # A stack of `passes` spectra (one row read for all): another thread
    # keeps running all through the search and the continuum.
    axis, y = spectrum(4096)
    fwhm = np.full(axis.size, 8.0)
    call = {"find_peaks_cy": lambda Y: peaks.find_peaks_cy(Y, fwhm),
            "snip_continuum_cy": lambda Y: peaks.snip_continuum_cy(Y, 2.0 * fwhm)}[function]
    assert_other_threads_run(lambda passes: call(np.broadcast_to(y, (passes, axis.size))))


def test_analyse_spectra_releases_the_lock():
    edges, Y, fwhm = analysed_spectra()
    assert_other_threads_run(lambda passes: peaks.analyse_spectra_cy(
        edges, np.broadcast_to(Y[0], (passes, Y.shape[1])), fwhm))

"""Concurrent calls on shared inputs give exactly the serial results."""

import threading

import numpy as np
import pytest

from tarvix.utils.numerics.cython import deconvolution, respgrid, unfolding

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


@pytest.mark.parametrize("make_call", [ml_em_call, richardson_lucy_call, respgrid_call, ml_em_batch_call])
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
        if isinstance(expected, tuple):
            assert all(np.array_equal(a, b) and a.dtype == b.dtype for a, b in zip(result, expected))
        else:
            assert np.array_equal(result, expected)

"""fit_folded_cy: lines and a continuum folded through a response, against
scipy.sparse and SciPy's minimisers, on problems whose truth is known."""

import re
import signal
import threading
import time

import numpy as np
import pytest
import scipy.optimize
import scipy.sparse

from concurrency import assert_other_threads_run
from exact import assert_same_bits
from tarvix.utils.numerics.cython import fitting, unfolding


def detector(n, rng, width=1.5):
    """A response on n bins (row j spreads source bin j): a Gaussian
    photopeak and a flat Compton-like shelf below it, rows summing to
    about 1; CSR arrays and the scipy matrix."""
    bins = np.arange(n, dtype=float)
    dense = np.exp(-0.5 * ((bins[None, :] - bins[:, None]) / width) ** 2)
    dense /= dense.sum(axis=1, keepdims=True)
    shelf = (bins[None, :] < bins[:, None] - 2) * 0.3 / np.maximum(bins[:, None], 1)
    dense = 0.7 * dense + shelf
    dense[dense < 1e-9] = 0.0
    dense *= rng.uniform(0.9, 1.1, size=(n, 1))
    matrix = scipy.sparse.csr_array(dense)
    response = (matrix.indptr.astype(np.int64), matrix.indices.astype(np.int32), matrix.data.astype(float))
    return response, matrix


def split_source(x, params, lines, basis):
    """The source the parameters describe, each line split between the bins
    that bracket it."""
    source = basis @ params[2 * lines:] if basis is not None else np.zeros(len(x))
    for k in range(lines):
        amplitude, energy = params[2 * k], params[2 * k + 1]
        j = min(max(np.searchsorted(x, energy, side="right") - 1, 0), len(x) - 2)
        t = (energy - x[j]) / (x[j + 1] - x[j])
        source[j] += amplitude * (1 - t)
        source[j + 1] += amplitude * t
    return source


def deviance(y, mu):
    terms = np.where(y > 0, mu - y + y * np.log(np.where(y > 0, y, 1.0) / mu), mu)
    return 2.0 * terms.sum()


def folded_jacobian(x, params, lines, basis, matrix):
    """dmu/dparams from the split lines and the basis, through scipy.sparse."""
    n = len(x)
    columns = []
    for k in range(lines):
        amplitude, energy = params[2 * k], params[2 * k + 1]
        j = min(max(np.searchsorted(x, energy, side="right") - 1, 0), n - 2)
        t = (energy - x[j]) / (x[j + 1] - x[j])
        share, slope = np.zeros(n), np.zeros(n)
        share[j], share[j + 1] = 1 - t, t
        slope[j], slope[j + 1] = -amplitude / (x[j + 1] - x[j]), amplitude / (x[j + 1] - x[j])
        columns += [matrix.T @ share, matrix.T @ slope]
    if basis is not None:
        columns += [matrix.T @ basis[:, c] for c in range(basis.shape[1])]
    return np.column_stack(columns)


def problem(seed, n=40, lines=2, q=2, counts=4000.0):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.8, 1.2, n)) + 10.0
    response, matrix = detector(n, rng)
    basis = np.column_stack([np.exp(-(x - x[0]) / s) for s in (15.0, 60.0)][:q]) if q else None
    truth = []
    for energy in np.linspace(x[6], x[-6], lines) + rng.uniform(-1.0, 1.0, lines):
        truth += [counts * rng.uniform(0.5, 1.5), energy]
    truth = np.array(truth + list(rng.uniform(20.0, 60.0, q)))
    mu = matrix.T @ split_source(x, truth, lines, basis)
    return x, response, matrix, basis, truth, mu, rng


def assert_same_results(a, b):
    """Two FitResults (or rows of them) alike to the bit."""
    for x, y in zip(a, b):
        if np.asarray(x).dtype.kind == "f":
            assert_same_bits(x, y)
        else:
            assert np.array_equal(x, y)


def start_from(truth, lines, rng):
    start = truth.copy()
    start[0:2 * lines:2] *= rng.uniform(0.8, 1.2, lines)
    start[1:2 * lines:2] += rng.uniform(-0.7, 0.7, lines)
    start[2 * lines:] *= rng.uniform(0.7, 1.3, len(truth) - 2 * lines)
    return start


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("lines, q", [(1, 0), (2, 1), (3, 2)])
def test_model_and_information_match_scipy_sparse(seed, lines, q):
    x, response, matrix, basis, truth, mu, rng = problem(seed, lines=lines, q=q)
    y = rng.poisson(mu).astype(float)
    point = start_from(truth, lines, rng)
    result = fitting.fit_folded_cy(x, y[None], point, *response, basis, max_iterations=0)
    expected_mu = matrix.T @ split_source(x, point, lines, basis) + 1e-12
    np.testing.assert_allclose(result.objective[0], deviance(y, expected_mu), rtol=1e-12)
    J = folded_jacobian(x, point, lines, basis, matrix)
    information = J.T @ (J / expected_mu[:, None])
    np.testing.assert_allclose(result.covariance[0], np.linalg.inv(information), rtol=1e-8, atol=1e-14)
    assert result.status[0] == 1 and result.iterations[0] == 0


@pytest.mark.parametrize("seed", range(6))
def test_optimum_matches_an_independent_minimiser(seed):
    lines = 1 + seed % 3
    x, response, matrix, basis, truth, mu, rng = problem(seed, lines=lines, q=seed % 3)
    y = rng.poisson(mu).astype(float)
    start = start_from(truth, lines, rng)
    result = fitting.fit_folded_cy(x, y[None], start, *response, basis)
    assert result.status[0] == 0

    def objective(p):
        folded = matrix.T @ split_source(x, p, lines, basis) + 1e-12
        return deviance(y, folded) if np.all(folded > 0) else np.inf

    # The deviance has kinks where a line crosses a bin centre: a
    # derivative-free search from the native optimum and from the start.
    best = min((scipy.optimize.minimize(objective, p0, method="Nelder-Mead",
                                        options=dict(xatol=1e-9, fatol=1e-11, maxiter=20000, maxfev=20000))
                for p0 in (result.params[0] * (1 + 1e-4), start)), key=lambda r: r.fun)
    assert result.objective[0] <= best.fun + 1e-8 * best.fun
    np.testing.assert_allclose(result.params[0], best.x, rtol=2e-4)


def test_narrow_lines_recover_their_areas_within_the_errors():
    x, response, matrix, basis, truth, mu, rng = problem(11, n=60, lines=3, q=2, counts=20000.0)
    Y = rng.poisson(mu, size=(200, len(mu))).astype(float)
    lower = np.full(len(truth), -np.inf)
    lower[0:6:2] = 0.0
    result = fitting.fit_folded_cy(x, Y, start_from(truth, 3, rng), *response, basis, lower)
    assert np.all(result.status == 0)
    pulls = (result.areas - truth[0:6:2]) / result.area_errors
    # 200 replicas: the mean pull's standard error is 0.07.
    assert np.all(np.abs(pulls.mean(axis=0)) < 0.4)
    assert np.all((pulls.std(axis=0) > 0.75) & (pulls.std(axis=0) < 1.3))
    np.testing.assert_allclose(result.areas, result.params[:, 0:6:2])


def test_fixed_parameters_and_energy_range():
    x, response, matrix, basis, truth, mu, rng = problem(3, lines=2, q=2)
    y = rng.poisson(mu).astype(float)
    lower = np.full(len(truth), -np.inf)
    upper = np.full(len(truth), np.inf)
    lower[1] = upper[1] = truth[1] + 0.3  # energy held
    lower[4] = upper[4] = 7.0  # a background coefficient held
    start = start_from(truth, 2, rng)
    start[3] = x[-1] + 50.0  # an energy beyond the axis comes back onto it
    result = fitting.fit_folded_cy(x, y[None], start, *response, basis, lower, upper)
    assert result.params[0, 1] == truth[1] + 0.3 and result.params[0, 4] == 7.0
    assert x[0] <= result.params[0, 3] <= x[-1]
    for held in (1, 4):
        assert not result.covariance[0, held].any() and not result.covariance[0, :, held].any()


def test_rows_of_a_stack_equal_single_fits_bit_for_bit():
    x, response, matrix, basis, truth, mu, rng = problem(5, lines=2, q=2)
    Y = rng.poisson(mu, size=(5, len(mu))).astype(float)
    Y[2, 3] = np.nan
    starts = np.array([start_from(truth, 2, rng) for _ in Y])
    stack = fitting.fit_folded_cy(x, Y, starts, *response, basis)
    # Fortran order, strided and read-only views of the same values.
    strided = np.zeros((Y.shape[0], 2 * Y.shape[1]))[:, ::2]
    strided[:] = Y
    fortran = np.asfortranarray(Y)
    fortran.setflags(write=False)
    for variant in (strided, fortran):
        assert_same_results(stack, fitting.fit_folded_cy(x, variant, starts, *response, basis))
    for s in range(len(Y)):
        alone = fitting.fit_folded_cy(x, Y[s:s + 1], starts[s], *response, basis)
        assert_same_results([field[0] for field in alone], [field[s] for field in stack])
    assert stack.status[2] == 3 and np.isnan(stack.objective[2])
    assert_same_bits(stack.params[2], starts[2])


def test_empty_stacks_and_axes():
    x, response, matrix, basis, truth, mu, rng = problem(1)
    empty = fitting.fit_folded_cy(x, np.zeros((0, len(x))), truth, *response, basis)
    assert empty.params.shape == (0, len(truth)) and empty.covariance.shape == (0, len(truth), len(truth))
    assert empty.areas.shape == (0, 2) and empty.status.dtype == np.int32
    none = fitting.fit_folded_cy(np.zeros(0), np.zeros((2, 0)), np.array([5.0, 1.0]),
                                 np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0))
    assert none.params.shape == (2, 2) and np.all(none.objective == 0.0)


def test_counts_that_are_not_poisson_make_that_row_invalid():
    x, response, matrix, basis, truth, mu, rng = problem(2)
    Y = np.stack([rng.poisson(mu).astype(float)] * 3)
    Y[1, 0] = -1.0
    result = fitting.fit_folded_cy(x, Y, truth, *response, basis)
    assert list(result.status) == [0, 3, 0]
    assert np.all(np.isnan(result.covariance[1])) and np.isnan(result.area_errors[1]).all()


@pytest.mark.parametrize("label, offsets, indices", [
    ("short offsets", np.array([0, 1], np.int64), np.zeros(1, np.int32)),
    ("position", np.array([0, 1, 5, 5], np.int64), np.zeros(3, np.int32)),
    ("column", np.array([0, 1, 2, 3], np.int64), np.array([0, 1, 7], np.int32)),
    ("negative column", np.array([0, 1, 2, 3], np.int64), np.array([0, -9, 1], np.int32)),
])
def test_response_errors_read_as_ml_em_batch_gives_them(label, offsets, indices):
    Y = np.ones((1, 3))
    values = np.ones(len(indices))
    with pytest.raises(ValueError) as expected:
        unfolding.ML_EM_batch_cy(Y, offsets, indices, values, np.ones(3), 1)
    with pytest.raises(ValueError) as raised:
        fitting.fit_folded_cy(np.arange(3.0), Y, np.array([1.0, 1.0]), offsets, indices, values)
    assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize("change, message", [
    (dict(x=np.arange(39.0)), "x has shape (39,) but Y has shape (1, 40)"),
    (dict(params=np.ones(3)), "which leaves 1 for the lines: that must be a multiple of 2"),
    (dict(background=np.ones((39, 2))), "background has shape (39, 2) but Y has shape (1, 40)"),
    (dict(lower=np.full(6, 5.0), upper=np.full(6, 4.0)), "row 0, parameter 0 are inconsistent"),
    (dict(lower=np.r_[np.zeros(5), np.inf], upper=np.full(6, np.inf)), "row 0, parameter 5 are inconsistent"),
    (dict(x=np.r_[np.arange(39.0), 3.0]), "x[39] = 3.0 is not above x[38] = 38.0"),
    (dict(max_iterations=-1), "max_iterations is -1"),
    (dict(tolerance=np.nan), "tolerance is NaN"),
])
def test_argument_errors_name_what_is_wrong(change, message):
    x, response, matrix, basis, truth, mu, rng = problem(0)
    arguments = dict(x=x, Y=mu[None], params=truth, offsets=response[0], indices=response[1],
                     values=response[2], background=basis)
    arguments.update(change)
    with pytest.raises(ValueError, match=re.escape(message)):
        fitting.fit_folded_cy(**arguments)


def long_stack(rows):
    x, response, matrix, basis, truth, mu, rng = problem(4, n=200, lines=3, q=2)
    Y = rng.poisson(mu, size=(rows, len(mu))).astype(float)
    return lambda: fitting.fit_folded_cy(x, Y, truth, *response, basis, tolerance=0.0, max_iterations=50)


def test_the_lock_is_released():
    x, response, matrix, basis, truth, mu, rng = problem(4, n=200, lines=3, q=2)
    Y = rng.poisson(mu, size=(64, len(mu))).astype(float)
    assert_other_threads_run(lambda rows: fitting.fit_folded_cy(
        x, np.resize(Y, (rows, Y.shape[1])), truth, *response, basis, tolerance=0.0, max_iterations=30))


def test_a_signal_ends_a_long_call():
    call = long_stack(20000)
    timer = threading.Timer(0.2, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        call()
    timer.join()
    assert time.perf_counter() - start < 2.0

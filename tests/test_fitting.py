"""fit_peaks_cy against an independent model, objective and minimiser
(NumPy/SciPy), its covariance against the numerically inverted information
matrix, its bounds, statuses, stack layouts and argument errors.

The stack tests compare every row of a result with that row fitted alone,
bit for bit; `make test-kernels` runs this file at every kernel level."""

import gc
import inspect
import pydoc
import signal
import sys
import threading
import time

import numpy as np
import pytest
import scipy.optimize
import scipy.special

from tarvix.utils.numerics.cython import fitting, gaussian

fit_peaks_cy = fitting.fit_peaks_cy
MODULE = "tarvix.utils.numerics.cython.fitting"
FIELDS = ("params", "covariance", "objective", "iterations", "status", "areas", "area_errors")
DTYPES = (np.float64, np.float64, np.float64, np.int64, np.int32, np.float64, np.float64)


# --- The independent model and objectives

def erf_difference(a, b):
    """erf(b) - erf(a), with its digits in either tail."""
    a, b = np.broadcast_arrays(np.asarray(a, float), np.asarray(b, float))
    out = scipy.special.erf(b) - scipy.special.erf(a)
    right, left = a >= 0, b <= 0
    out[right] = scipy.special.erfc(a[right]) - scipy.special.erfc(b[right])
    out[left] = scipy.special.erfc(-b[left]) - scipy.special.erfc(-a[left])
    return out


def reference_model(theta, x, K, steps=False, binned=False, basis=None):
    """f at the centres x, or integrated between the edges x (binned)."""
    per = 4 if steps else 3
    theta = np.asarray(theta, float)
    mu = np.zeros(len(x) - 1 if binned else len(x))
    for k in range(K):
        A, c, v = theta[per * k:per * k + 3]
        s = np.sqrt(2.0 * v)
        z = (x - c) / s
        if binned:
            mu += A * np.sqrt(np.pi * v / 2.0) * erf_difference(z[:-1], z[1:])
        else:
            mu += A * np.exp(-(x - c) ** 2 / (2.0 * v))
        if steps:
            h = theta[per * k + 3]
            if binned:
                # The integral of erfc(z)/2 dx, with dx = s dz.
                antiderivative = 0.5 * s * (z * scipy.special.erfc(z) - np.exp(-z * z) / np.sqrt(np.pi))
                mu += h * np.diff(antiderivative)
            else:
                mu += h * 0.5 * scipy.special.erfc(z)
    if basis is not None and basis.shape[1]:
        mu += basis @ theta[per * K:]
    return mu


def deviance(y, mu):
    if np.any(mu < 0) or np.any((mu == 0) & (y > 0)):
        return np.inf
    return 2.0 * np.sum(scipy.special.kl_div(y, mu))


def chi_square(y, mu, w=None):
    return np.sum((1.0 if w is None else w) * (y - mu) ** 2)


class Region:
    """A random region: K peaks (with steps), a background, its counts, the
    truth and a start some way off."""

    def __init__(self, seed, K, steps, background, binned, m=None):
        rng = np.random.default_rng(seed)
        self.K, self.steps, self.binned = K, steps, binned
        m = m or 40 + 14 * K
        width = 0.5
        edges = 600.0 + width * np.arange(m + 1)
        centres = 0.5 * (edges[:-1] + edges[1:])
        self.x = edges if binned else centres
        span = edges[-1] - edges[0]
        spacing = 0.7 * span / K
        mus = edges[0] + 0.15 * span + spacing * (np.arange(K) + 0.5) + rng.uniform(-0.1, 0.1, K) * spacing
        v = rng.uniform(0.8, 1.4, K) ** 2
        counts = rng.uniform(2000.0, 20000.0, K)
        A = counts / np.sqrt(2.0 * np.pi * v) * (1.0 if binned else width)
        peaks = [A, mus, v]
        if steps:
            peaks.append(A * rng.uniform(0.005, 0.02, K))
        self.truth = np.column_stack(peaks).ravel()
        self.basis = None
        if background:
            self.basis = np.column_stack([np.ones(m), (centres - centres[0]) / span])
            b = np.array([rng.uniform(20.0, 60.0), rng.uniform(-15.0, 15.0)]) * (width if binned else 1.0) * 2
            self.truth = np.concatenate([self.truth, b])
        self.mean = reference_model(self.truth, self.x, K, steps, binned, self.basis)
        self.y = rng.poisson(self.mean).astype(np.float64)
        per = 4 if steps else 3
        start = self.truth.copy()
        for k in range(K):
            start[per * k] *= rng.uniform(0.8, 1.2)
            start[per * k + 1] += rng.uniform(-0.5, 0.5) * np.sqrt(v[k])
            start[per * k + 2] *= rng.uniform(0.8, 1.25)
            if steps:
                start[per * k + 3] *= rng.uniform(0.7, 1.3)
        start[per * K:] *= rng.uniform(0.9, 1.1, len(start) - per * K)
        self.start = start
        self.m = m

    def model(self, theta):
        return reference_model(theta, self.x, self.K, self.steps, self.binned, self.basis)

    def fit(self, Y=None, params=None, **kwargs):
        Y = self.y[np.newaxis] if Y is None else Y
        return fit_peaks_cy(self.x, Y, self.start if params is None else params, self.basis,
                            steps=self.steps, binned=self.binned, **kwargs)

    def objective(self, theta, poisson, weights=None):
        mu = self.model(theta)
        return deviance(self.y, mu) if poisson else chi_square(self.y, mu, weights)


def bits(array):
    array = np.asarray(array)
    return array.view(np.uint64) if array.dtype == np.float64 else array


def assert_results_identical(got, expected):
    """Every field equal in shape, dtype and bits (NaN payloads too)."""
    for name, a, b in zip(FIELDS, got, expected):
        assert a.dtype == b.dtype and a.shape == b.shape, name
        assert np.array_equal(bits(a), bits(b)), name


def information(region, theta, poisson, weights=None):
    """J^T diag(1/mu) J or J^T W J, J by central differences of the
    reference model."""
    P = len(theta)
    J = np.empty((region.m, P))
    for a in range(P):
        step = 1e-6 * max(abs(theta[a]), 1e-3)
        up, down = theta.copy(), theta.copy()
        up[a] += step
        down[a] -= step
        J[:, a] = (region.model(up) - region.model(down)) / (2.0 * step)
    weight = 1.0 / region.model(theta) if poisson else (np.ones(region.m) if weights is None else weights)
    return J.T @ (weight[:, None] * J)


def covariance_from(info, free):
    P = len(info)
    covariance = np.zeros((P, P))
    covariance[np.ix_(free, free)] = np.linalg.inv(info[np.ix_(free, free)])
    return covariance


def propagated_area_errors(theta, covariance, K, per):
    errors = []
    for k in range(K):
        a, v = per * k, per * k + 2
        root = np.sqrt(2.0 * np.pi * theta[v])
        g = np.array([root, theta[a] * root / (2.0 * theta[v])])
        block = covariance[np.ix_([a, v], [a, v])]
        errors.append(np.sqrt(g @ block @ g))
    return np.array(errors)


# --- The optimum against SciPy's

ESTIMATORS = ["poisson", "least-squares", "weighted"]
CASES = [(steps, background, binned, estimator)
         for steps in (False, True) for background in (False, True) for binned in (False, True)
         for estimator in ESTIMATORS]


def peer_fit(region, poisson, weights):
    """scipy.optimize.least_squares on the deviance residuals or the
    weighted residuals of the reference model, from the same start."""
    def residuals(theta):
        mu = region.model(theta)
        if poisson:
            with np.errstate(all="ignore"):
                terms = 2.0 * scipy.special.kl_div(region.y, mu)
            return np.sign(region.y - mu) * np.sqrt(terms)
        return np.sqrt(1.0 if weights is None else weights) * (region.y - mu)

    per = 4 if region.steps else 3
    lower = np.full(len(region.start), -np.inf)
    lower[2:per * region.K:per] = 1e-6
    solution = scipy.optimize.least_squares(residuals, region.start, jac="3-point", bounds=(lower, np.inf),
                                            x_scale="jac", ftol=1e-15, xtol=1e-15, gtol=1e-15, max_nfev=5000)
    return solution.x


@pytest.mark.parametrize("steps, background, binned, estimator", CASES)
def test_optimum_agrees_with_scipy(steps, background, binned, estimator):
    index = CASES.index((steps, background, binned, estimator))
    K = index % 4 + 1
    region = Region(100 + index, K, steps, background, binned)
    poisson = estimator == "poisson"
    weights = None
    if estimator == "weighted":
        weights = np.random.default_rng(index).uniform(0.5, 2.0, region.m) / np.maximum(region.y, 1.0)
    result = region.fit(poisson=poisson, weights=weights)
    assert result.status[0] == 0 and 0 < result.iterations[0] < 200
    theta = result.params[0]
    native = region.objective(theta, poisson, weights)
    np.testing.assert_allclose(result.objective[0], native, rtol=1e-10)

    peer = peer_fit(region, poisson, weights)
    peer_objective = region.objective(peer, poisson, weights)
    assert native <= peer_objective + 1e-9 * max(1.0, peer_objective)
    sigma = np.sqrt(np.diag(result.covariance[0]))
    assert np.all(np.abs(theta - peer) <= 1e-3 * sigma + 1e-9 * np.abs(peer)), (theta - peer) / sigma
    # The fit is a fit: within a few standard errors of the truth (scaled
    # for least squares, whose covariance is unscaled).
    # Not for plain least squares, whose errors ignore the counts' spread.
    if estimator != "least-squares":
        scaled = sigma if poisson else sigma * np.sqrt(native / (region.m - len(theta)))
        assert np.all(np.abs(theta - region.truth) < 6.0 * scaled)

    # The covariance: the inverse of the information at the optimum.
    expected = covariance_from(information(region, theta, poisson, weights), np.arange(len(theta)))
    scale = np.sqrt(np.outer(np.diag(expected), np.diag(expected)))
    np.testing.assert_allclose(result.covariance[0] / scale, expected / scale, rtol=0, atol=2e-6)
    assert np.array_equal(result.covariance[0], result.covariance[0].T)

    per = 4 if steps else 3
    A, v = theta[0:per * K:per], theta[2:per * K:per]
    np.testing.assert_allclose(result.areas[0], A * np.sqrt(2.0 * np.pi * v), rtol=1e-14)
    np.testing.assert_allclose(result.area_errors[0],
                               propagated_area_errors(theta, result.covariance[0], K, per), rtol=1e-12)
    if not steps and not background and not binned:
        # The peaks feed multi_gaussian_cy directly.
        np.testing.assert_allclose(gaussian.multi_gaussian_cy(region.x, theta), region.model(theta),
                                   rtol=1e-12)


def test_background_only_least_squares_is_linear_algebra():
    # No peaks: the fit is weighted linear least squares, solved exactly.
    rng = np.random.default_rng(5)
    m = 30
    x = np.linspace(0.0, 1.0, m)
    basis = np.column_stack([np.ones(m), x, x * x])
    y = basis @ [3.0, -1.0, 2.0] + rng.normal(0.0, 0.1, m)
    w = rng.uniform(0.5, 2.0, m)
    result = fit_peaks_cy(x, y[np.newaxis], np.zeros(3), basis, poisson=False, weights=w)
    root = np.sqrt(w)[:, None]
    solution = np.linalg.lstsq(root * basis, root[:, 0] * y, rcond=None)[0]
    covariance = np.linalg.inv(basis.T @ (w[:, None] * basis))
    # Converged to 1e-10 of the objective: within 1e-4 standard errors.
    assert np.all(np.abs(result.params[0] - solution) < 1e-4 * np.sqrt(np.diag(covariance)))
    np.testing.assert_allclose(result.covariance[0], covariance, rtol=1e-9)
    assert result.areas.shape == result.area_errors.shape == (1, 0)
    assert result.status[0] == 0


# --- The model, through max_iterations=0

MODEL_CASES = [(steps, binned) for steps in (False, True) for binned in (False, True)]


@pytest.mark.parametrize("steps, binned", MODEL_CASES)
def test_model_matches_the_reference(steps, binned):
    region = Region(7 + 2 * steps + binned, 3, steps, True, binned, m=60)
    start = region.start.copy()
    start[2] = 0.05  # a peak narrower than a channel too
    region.start = start
    m = region.m
    # Least squares with y = 0 and weights picking one channel per row:
    # objective[i] is mu_i squared.
    result = region.fit(Y=np.zeros((m, m)), params=start, poisson=False, weights=np.eye(m), max_iterations=0)
    expected = region.model(start)
    # (Singular: one channel's information has rank 1.)
    assert np.all(result.iterations == 0) and np.all(result.status == 2)
    assert np.all(result.params == start)
    np.testing.assert_allclose(np.sqrt(result.objective), np.abs(expected), rtol=1e-11,
                               atol=1e-13 * np.abs(expected).max())
    # And the two objectives of the whole start.
    for poisson in (True, False):
        one = region.fit(poisson=poisson, max_iterations=0)
        np.testing.assert_allclose(one.objective[0], region.objective(start, poisson), rtol=1e-11)


def test_reference_binned_model_against_quadrature():
    # The reference's closed forms against numerical integration of the
    # sampled reference.
    import scipy.integrate
    edges = np.linspace(10.0, 20.0, 21)
    theta = np.array([100.0, 14.3, 0.4, 7.0, 50.0, 17.0, 0.01, 3.0])
    binned = reference_model(theta, edges, 2, steps=True, binned=True)
    sampled = lambda t: reference_model(theta, np.array([t]), 2, steps=True)[0]
    quadrature = [scipy.integrate.quad(sampled, a, b, points=[14.3, 17.0] if a < 17.0 < b else None,
                                       epsabs=1e-13, epsrel=1e-13)[0] for a, b in zip(edges[:-1], edges[1:])]
    np.testing.assert_allclose(binned, quadrature, rtol=1e-9, atol=1e-12)


# --- Bounds

def test_bounds_are_kept_and_fixed_parameters_stay():
    region = Region(11, 2, True, True, False)
    P = len(region.truth)
    lower = np.full(P, -np.inf)
    upper = np.full(P, np.inf)
    lower[0], upper[0] = region.truth[0] * 1.05, np.inf  # A above its best value: ends at its bound
    lower[5] = upper[5] = region.truth[5] + 0.1  # the second centre fixed
    lower[7] = upper[7] = 0.0  # the second step fixed at 0
    upper[1] = region.truth[1] + 0.3
    start = region.start.copy()
    start[1] = region.truth[1] + 5.0  # outside: projected
    start[0] = 0.0
    projected = region.fit(params=start, lower=lower, upper=upper, max_iterations=0)
    assert np.array_equal(projected.params[0], np.clip(start, lower, upper))
    np.testing.assert_allclose(projected.objective[0], region.objective(np.clip(start, lower, upper), True),
                               rtol=1e-11)

    result = region.fit(params=start, lower=lower, upper=upper)
    theta, covariance = result.params[0], result.covariance[0]
    assert result.status[0] == 0
    assert np.all((lower <= theta) & (theta <= upper))
    assert bits(theta[5]) == bits(lower[5]) and bits(theta[7]) == bits(0.0)
    assert theta[0] == lower[0]  # held by its bound, the objective pushing it lower
    held = [0, 5, 7]
    free = [a for a in range(P) if a not in held]
    assert np.all(covariance[held] == 0) and np.all(covariance[:, held] == 0)
    expected = covariance_from(information(region, theta, True), free)
    scale = np.sqrt(np.outer(np.diag(expected), np.diag(expected)))[np.ix_(free, free)]
    np.testing.assert_allclose(covariance[np.ix_(free, free)] / scale, expected[np.ix_(free, free)] / scale,
                               atol=2e-6)
    # A's error is 0, so the area's comes from the variance's alone.
    np.testing.assert_allclose(result.area_errors[0], propagated_area_errors(theta, covariance, 2, 4), rtol=1e-12)

    # The same optimum as SciPy's bounded minimiser of the deviance with the
    # fixed parameters taken out.
    moving = [a for a in range(P) if a not in (5, 7)]

    def residuals(t):
        full = theta.copy()
        full[moving] = t
        mu = region.model(full)
        with np.errstate(all="ignore"):
            return np.sign(region.y - mu) * np.sqrt(2.0 * scipy.special.kl_div(region.y, mu))

    peer_lower = lower[moving].copy()
    peer_lower[[2, 5]] = 1e-6
    peer_start = np.clip(start, lower, upper)[moving]
    peer = scipy.optimize.least_squares(residuals, peer_start, jac="3-point", bounds=(peer_lower, upper[moving]),
                                        x_scale="jac", ftol=1e-15, xtol=1e-15, gtol=1e-15).x
    full = theta.copy()
    full[moving] = peer
    assert result.objective[0] <= region.objective(full, True) * (1 + 1e-9)
    sigma = np.sqrt(np.diag(covariance))
    assert np.all(np.abs(theta - full) <= 1e-3 * sigma + 1e-9 * np.abs(full))


def test_variances_stay_positive_whatever_the_bounds():
    region = Region(12, 1, False, True, False)
    P = len(region.truth)
    lower = np.full(P, -np.inf)
    upper = np.full(P, np.inf)
    lower[2] = -5.0  # allows negative variances: they are refused anyway
    result = region.fit(lower=lower, upper=upper)
    assert result.status[0] == 0 and result.params[0, 2] > 0
    assert np.all(np.diag(result.covariance[0]) > 0)
    upper[2] = -1.0  # nothing positive allowed: the variance is held at its floor
    start = region.start.copy()
    start[2] = -3.0
    result = region.fit(params=start, lower=lower, upper=upper, max_iterations=3)
    assert 0 < result.params[0, 2] <= 1e-99
    assert np.all(result.covariance[0, 2] == 0) and np.all(result.covariance[0, :, 2] == 0)


# --- Statuses

def test_each_status():
    region = Region(13, 2, False, True, False)
    P = len(region.truth)
    m = region.m
    assert region.fit().status[0] == 0

    slow = region.fit(max_iterations=1)
    assert slow.status[0] == 1 and slow.iterations[0] == 1

    # A peak held at A = 0: its centre and variance change nothing.
    lower = np.full(P, -np.inf)
    upper = np.full(P, np.inf)
    lower[3] = upper[3] = 0.0
    singular = region.fit(lower=lower, upper=upper)
    assert singular.status[0] == 2
    covariance = singular.covariance[0]
    assert np.all(covariance[3] == 0) and np.all(covariance[:, 3] == 0)
    free = [a for a in range(P) if a != 3]
    assert np.all(np.isnan(covariance[np.ix_(free, free)]))
    assert np.isnan(singular.area_errors[0]).all() and np.isfinite(singular.objective[0])

    # Invalid rows: NaN or infinite counts, negative counts (Poisson), NaN
    # or negative weights, a NaN start; the others as fitted alone.
    Y = np.tile(region.y, (6, 1))
    Y[1, 4] = np.nan
    Y[2, 9] = -1.0
    Y[3, 0] = np.inf
    Y[4] = 0.0
    Y[5] *= 1.1
    params = np.tile(region.start, (6, 1))
    result = region.fit(Y=Y, params=params)
    assert list(result.status[:4]) == [0, 3, 3, 3]
    for s in (1, 2, 3):
        assert np.array_equal(result.params[s], params[s]) and np.isnan(result.objective[s])
        assert result.iterations[s] == 0 and np.isnan(result.covariance[s]).all()
        np.testing.assert_allclose(result.areas[s], region.fit(params=params[s], max_iterations=0).areas[0],
                                   rtol=1e-15)
        assert np.isnan(result.area_errors[s]).all()
    for s in (0, 4, 5):
        assert_results_identical([f[s:s + 1] for f in result], region.fit(Y=Y[s:s + 1], params=params[s]))

    nan_start = params.copy()
    nan_start[2, 1] = np.nan
    assert list(region.fit(Y=Y[[0, 0, 0]], params=nan_start[:3]).status) == [0, 0, 3]

    # Least squares: a negative count is data, a NaN or negative weight is not.
    weights = np.ones((4, m))
    weights[1, 3] = np.nan
    weights[2, 5] = -1.0
    Y_ls = np.tile(region.y, (4, 1))
    Y_ls[3, 2] = -1.0
    ls = region.fit(Y=Y_ls, poisson=False, weights=weights)
    assert list(ls.status) == [0, 3, 3, 0]
    for s in (0, 3):
        assert_results_identical([f[s:s + 1] for f in ls],
                                 region.fit(Y=Y_ls[s:s + 1], poisson=False, weights=weights[s]))


def test_all_zero_counts():
    region = Region(14, 1, False, True, False)
    P = len(region.truth)
    lower = np.zeros(P)
    lower[1] = -np.inf
    result = region.fit(Y=np.zeros((1, region.m)), lower=lower)
    theta = result.params[0]
    assert result.status[0] in (0, 2) and np.all(np.isfinite(theta)) and np.all(theta >= lower)
    assert result.objective[0] < 1e-6 * region.objective(region.start, True)
    assert np.isfinite(result.objective[0])
    ls = region.fit(Y=np.zeros((1, region.m)), poisson=False)
    assert ls.status[0] in (0, 2) and ls.objective[0] < 1e-6


@pytest.mark.parametrize("peaks", [0, 1])
def test_all_zero_counts_unbounded(peaks):
    # The deviance of zero counts is 2 sum(mu), least (0) where the model
    # is 0, at b = 0 and A = 0, and a mean may not go below 0: the fit must
    # get there, or at least close, without bounds too.
    x = np.arange(40.0) + 0.5
    basis = np.column_stack([np.ones(40), x / 40.0])
    start = np.array([100.0, 20.0, 4.0, 10.0, 1.0])[3 - 3 * peaks:]
    begin = fit_peaks_cy(x, np.zeros((1, 40)), start, basis, max_iterations=0).objective[0]
    result = fit_peaks_cy(x, np.zeros((1, 40)), start, basis)
    assert result.objective[0] < 1e-6 * begin, (result.status, result.objective, result.params)


def test_poisson_optimum_with_a_mean_at_zero():
    # Low counts on a background that falls to 0 within the region: the
    # best line has its mean 0 at the last channel (which holds no count),
    # and the fit must still find the best such line (SciPy's SLSQP with
    # the means >= 0 as constraints, from the same start).
    x = np.arange(40.0) + 0.5
    basis = np.column_stack([np.ones(40), x / 40.0])
    y = np.random.default_rng(0).poisson(np.clip(2.0 - 2.2 * x / 40.0, 0.0, None)).astype(np.float64)
    start = np.array([1.0, 0.0])
    result = fit_peaks_cy(x, y[np.newaxis], start, basis)

    def objective(b):
        return deviance(y, np.maximum(basis @ b, 0.0))

    peer = scipy.optimize.minimize(objective, start, method="SLSQP", constraints=[
        {"type": "ineq", "fun": lambda b: basis @ b}], options={"ftol": 1e-14, "maxiter": 1000})
    assert np.all(basis @ peer.x >= -1e-12)
    assert result.objective[0] <= peer.fun + 1e-9 * peer.fun, (result.status, result.params, peer.x)


# --- Stacks: every row is the row fitted alone

def stack_problem(S=7, steps=True, binned=False):
    region = Region(20 + steps + 2 * binned, 2, steps, True, binned)
    rng = np.random.default_rng(21)
    Y = rng.poisson(region.mean, size=(S, region.m)).astype(np.float64)
    Y[3] = 0.0
    Y[5, 2] = np.nan
    P = len(region.truth)
    params = region.start * rng.uniform(0.97, 1.03, size=(S, P))
    per = 4 if steps else 3
    params[:, 1:per * 2:per] = region.start[1:per * 2:per] + rng.uniform(-0.3, 0.3, size=(S, 2))
    lower = np.full((S, P), -np.inf)
    upper = np.full((S, P), np.inf)
    lower[1, 0] = upper[1, 0] = region.start[0]
    lower[2, 0] = region.truth[0] * 1.1
    upper[4, 1] = region.truth[1] - 0.1
    weights = rng.uniform(0.5, 2.0, size=(S, region.m)) / np.maximum(Y, 1.0)
    return region, Y, params, lower, upper, weights


def alone(region, Y, params, lower, upper, weights, s, **kwargs):
    return region.fit(Y=Y[s:s + 1], params=params[s], lower=lower[s], upper=upper[s],
                      weights=None if weights is None else weights[s], **kwargs)


@pytest.mark.parametrize("steps, binned", MODEL_CASES)
@pytest.mark.parametrize("poisson", [True, False])
def test_rows_are_the_rows_fitted_alone(steps, binned, poisson):
    region, Y, params, lower, upper, weights = stack_problem(steps=steps, binned=binned)
    weights = None if poisson else weights
    together = region.fit(Y=Y, params=params, lower=lower, upper=upper, weights=weights, poisson=poisson)
    assert set(together.status) >= {0, 3}
    for s in range(len(Y)):
        assert_results_identical([f[s:s + 1] for f in together],
                                 alone(region, Y, params, lower, upper, weights, s, poisson=poisson))


def test_shared_and_per_row_arguments_agree():
    region, Y, params, lower, upper, weights = stack_problem()
    S = len(Y)
    kwargs = dict(lower=lower[2], upper=upper[4], poisson=False, weights=weights[0])
    shared = region.fit(Y=Y, params=params[0], **kwargs)
    per_row = region.fit(Y=Y, params=np.tile(params[0], (S, 1)), lower=np.tile(lower[2], (S, 1)),
                         upper=np.tile(upper[4], (S, 1)), poisson=False, weights=np.tile(weights[0], (S, 1)))
    assert_results_identical(shared, per_row)


def layouts(array):
    """The array as a strided view, in Fortran order and read-only."""
    strided = np.repeat(np.repeat(np.atleast_2d(array), 2, axis=0), 3, axis=1)[::2, ::3].reshape(array.shape)
    reversed_view = array[::-1].copy()[::-1]
    read_only = array.copy()
    read_only.flags.writeable = False
    return {"strided": strided, "negative-stride": reversed_view, "fortran": np.asfortranarray(array),
            "read-only": read_only}


@pytest.mark.parametrize("layout", ["strided", "negative-stride", "fortran", "read-only"])
def test_layouts_give_the_same_bits(layout):
    region, Y, params, lower, upper, weights = stack_problem(binned=True)
    arguments = dict(x=region.x, Y=Y, params=params, background=region.basis, lower=lower, upper=upper,
                     weights=weights)
    expected = fit_peaks_cy(**arguments, steps=True, binned=True, poisson=False)
    given = {name: layouts(value)[layout] for name, value in arguments.items()}
    before = {name: value.copy() for name, value in given.items()}
    got = fit_peaks_cy(**given, steps=True, binned=True, poisson=False)
    assert_results_identical(got, expected)
    for name, value in given.items():
        assert np.array_equal(bits(value), bits(before[name])), name
    for field in got:
        assert field.flags.c_contiguous and field.flags.writeable and field.flags.owndata


def test_inputs_are_never_written():
    region, Y, params, lower, upper, weights = stack_problem()
    arguments = [region.x, Y, params, region.basis, lower, upper, weights]
    copies = [a.copy() for a in arguments]
    fit_peaks_cy(*arguments[:6], steps=True, poisson=False, weights=weights)
    fit_peaks_cy(*arguments[:6], steps=True)
    for a, b in zip(arguments, copies):
        assert np.array_equal(bits(a), bits(b))


# --- Empty and degenerate shapes

def check_shapes(result, S, P, K):
    shapes = [(S, P), (S, P, P), (S,), (S,), (S,), (S, K), (S, K)]
    for name, field, shape, dtype in zip(FIELDS, result, shapes, DTYPES):
        assert field.shape == shape and field.dtype == dtype, name


@pytest.mark.parametrize("binned", [False, True])
def test_no_spectra(binned):
    x = np.linspace(0.0, 10.0, 21 if binned else 20)
    basis = np.ones((20, 1))
    for params in (np.array([1.0, 5.0, 1.0, 0.5, 3.0]), np.zeros((0, 5))):
        result = fit_peaks_cy(x, np.zeros((0, 20)), params, basis, steps=True, binned=binned)
        check_shapes(result, 0, 5, 1)


@pytest.mark.parametrize("binned", [False, True])
@pytest.mark.parametrize("poisson", [True, False])
def test_no_channels(binned, poisson):
    start = np.array([1.0, 5.0, 1.0, 2.0])
    x = np.zeros(1) if binned else np.zeros(0)
    result = fit_peaks_cy(x, np.zeros((3, 0)), start, np.zeros((0, 1)), binned=binned, poisson=poisson)
    check_shapes(result, 3, 4, 1)
    assert np.all(result.params == start) and np.all(result.objective == 0.0)
    assert set(result.status) <= {0, 2}


def test_no_parameters():
    # A model that is 0 everywhere: the deviance is +inf where counts were
    # seen, the chi-square the sum of squares.
    Y = np.array([[1.0, 0.0, 2.0, 0.0, 3.0], [0.0] * 5])
    result = fit_peaks_cy(np.arange(5.0), Y, np.zeros(0))
    check_shapes(result, 2, 0, 0)
    assert result.objective[0] == np.inf and result.objective[1] == 0.0
    ls = fit_peaks_cy(np.arange(5.0), Y, np.zeros(0), poisson=False)
    assert list(ls.objective) == [14.0, 0.0] and list(ls.status) == [0, 0]


# --- The result type, the docstring and the signature

def test_fit_result_is_a_struct_sequence():
    region = Region(30, 1, False, False, False)
    result = region.fit()
    assert type(result) is fitting.FitResult and isinstance(result, tuple)
    assert type(result).__module__ == MODULE and type(result).__name__ == "FitResult"
    assert type(result).n_fields == len(FIELDS) == len(result)
    assert [name for name in FIELDS if hasattr(type(result), name)] == list(FIELDS)
    for index, name in enumerate(FIELDS):
        assert result[index] is getattr(result, name)
    params, covariance, *rest = result
    assert params is result.params and len(rest) == 5
    assert repr(result).startswith("tarvix.utils.numerics.cython.fitting.FitResult(params=")


def test_docstring_and_signature():
    signature = inspect.signature(fit_peaks_cy)
    assert list(signature.parameters) == ["x", "Y", "params", "background", "lower", "upper", "steps", "poisson",
                                          "weights", "binned", "max_iterations", "tolerance", "tails"]
    defaults = {name: p.default for name, p in signature.parameters.items()}
    assert defaults["max_iterations"] == 200 and defaults["tolerance"] == 1e-10 and defaults["poisson"] is True
    assert defaults["tails"] == 0
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert fit_peaks_cy.__module__ == MODULE
    assert "Fit Gaussian peaks" in fit_peaks_cy.__doc__
    assert "fit_peaks_cy(x, Y, params, background=None" in pydoc.plain(pydoc.render_doc(fit_peaks_cy))


# --- Argument errors

X = np.linspace(0.0, 9.0, 10)
Y2 = np.ones((2, 10))
P4 = np.array([5.0, 4.0, 1.0, 1.0])  # one peak and one background column
B = np.ones((10, 1))


def call(*args, **kwargs):
    full = dict(zip(["x", "Y", "params", "background"], (X, Y2, P4, B)))
    full.update(dict(zip(["x", "Y", "params", "background"], args)))
    full.update(kwargs)
    return fit_peaks_cy(**full)


ERRORS = [
    ({"x": X[:9]}, ValueError,
     r"^x has shape \(9,\) but Y has shape \(2, 10\); x holds the Y.shape\[1\] channel centres \(binned=False\)$"),
    ({"binned": True}, ValueError,
     r"^x has shape \(10,\) but Y has shape \(2, 10\); with binned=True x holds the Y.shape\[1\] \+ 1 channel edges$"),
    ({"background": np.ones((9, 1))}, ValueError,
     r"^background has shape \(9, 1\) but Y has shape \(2, 10\); background needs one row per channel"),
    ({"params": np.ones((3, 4))}, ValueError,
     r"^params has shape \(3, 4\) but Y has shape \(2, 10\); a 2-D params needs one row per spectrum of Y$"),
    ({"lower": np.zeros(3)}, ValueError,
     r"^lower has shape \(3,\) but params has shape \(4,\); the bounds need the shape of params"),
    ({"upper": np.zeros((3, 4))}, ValueError,
     r"^upper has shape \(3, 4\) but params has shape \(4,\); the bounds need the shape of params"),
    ({"params": np.ones((2, 4)), "upper": np.zeros((2, 5))}, ValueError,
     r"^upper has shape \(2, 5\) but params has shape \(2, 4\)"),
    ({"poisson": False, "weights": np.ones(9)}, ValueError,
     r"^weights has shape \(9,\) but Y has shape \(2, 10\); weights need shape \(Y.shape\[1\],\) or that of Y$"),
    ({"poisson": False, "weights": np.ones((3, 10))}, ValueError, r"^weights has shape \(3, 10\) but Y has shape"),
    ({"weights": np.ones(10)}, ValueError, r"^weights are for least squares \(poisson=False\)"),
    ({"params": np.ones(5)}, ValueError,
     r"^params has 5 entries per row and background 1 columns, which leaves 4 for the peaks: that must be a "
     r"multiple of 3 \(A, mu, variance per peak\)$"),
    ({"steps": True}, ValueError, r"leaves 3 for the peaks: that must be a multiple of 4 \(A, mu, variance, h per"),
    ({"background": np.ones((10, 5))}, ValueError, r"^params has 4 entries per row and background 5 columns"),
    ({"lower": np.array([0.0, 0.0, 2.0, 0.0]), "upper": np.array([1.0, 9.0, 1.0, 1.0])}, ValueError,
     r"^the bounds of row 0, parameter 2 are inconsistent: lower = 2.0, upper = 1.0"),
    ({"params": np.ones((2, 4)), "lower": np.array([[0.0] * 4, [0.0, 0.0, 0.0, np.nan]])}, ValueError,
     r"^the bounds of row 1, parameter 3 are inconsistent: lower = nan, upper = inf"),
    ({"upper": np.array([[1.0, np.nan, 1.0, 1.0]] * 2), "params": np.ones((2, 4))}, ValueError,
     r"^the bounds of row 0, parameter 1 are inconsistent: lower = -inf, upper = nan"),
    ({"x": np.array([0.0, 1.0, 2.0, 2.0, 4, 5, 6, 7, 8, 9])}, ValueError,
     r"^x\[3\] = 2.0 is not above x\[2\] = 2.0: x must ascend$"),
    ({"x": np.array([0.0, 1.0, np.nan, 3, 4, 5, 6, 7, 8, 9])}, ValueError, r"^x\[2\] = nan is not finite$"),
    ({"background": np.array([[1.0]] * 9 + [[np.inf]])}, ValueError, r"^background\[9, 0\] = inf is not finite$"),
    ({"max_iterations": -1}, ValueError, r"^max_iterations is -1; it must be >= 0$"),
    ({"max_iterations": 2 ** 31}, OverflowError, "value too large to convert to int"),
    ({"tolerance": float("nan")}, ValueError, r"^tolerance is NaN"),
    ({"tolerance": "small"}, TypeError, "must be real number, not str"),
    ({"Y": np.ones(10)}, ValueError, r"Buffer has wrong number of dimensions \(expected 2, got 1\)"),
    ({"x": np.ones((1, 10))}, ValueError, r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
    ({"params": np.ones((1, 1, 4))}, ValueError, r"Buffer has wrong number of dimensions \(expected 1 or 2, got 3\)"),
    ({"lower": np.ones((1, 1, 4))}, ValueError, r"wrong number of dimensions \(expected 1 or 2, got 3\)"),
    ({"background": np.ones(10)}, ValueError, r"wrong number of dimensions \(expected 2, got 1\)"),
    ({"Y": Y2.astype(np.float32)}, ValueError, r"Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    ({"params": P4.astype(np.int64)}, ValueError, r"Buffer dtype mismatch, expected 'float64_t'"),
    ({"x": X.astype(">f8")}, ValueError, "Big-endian buffer not supported"),
    ({"x": list(X)}, TypeError, r"^Argument 'x' has incorrect type \(expected numpy.ndarray, got list\)$"),
    ({"weights": 1.0, "poisson": False}, TypeError, r"^Argument 'weights' has incorrect type"),
    ({"Y": None}, TypeError, r"Y"),
    ({"x": None}, TypeError, r"x"),
    ({"params": None}, TypeError, r"params"),
    ({"steps": 1}, TypeError, r"steps"),
    ({"binned": "yes"}, TypeError, r"binned"),
    ({"poisson": 0}, TypeError, r"poisson"),
]


@pytest.mark.parametrize("kwargs, error, message", ERRORS, ids=[str(i) for i in range(len(ERRORS))])
def test_argument_errors(kwargs, error, message):
    with pytest.raises(error, match=message) as excinfo:
        call(**kwargs)
    assert [entry.name for entry in excinfo.traceback][-1] == f"{MODULE}.fit_peaks_cy"


def test_accepted_flag_values():
    # None counts as False, the default of steps and binned.
    plain = call()
    assert_results_identical(call(steps=None, binned=None), plain)
    assert_results_identical(call(steps=False, poisson=True, binned=False, max_iterations=200, tolerance=1e-10),
                             plain)
    assert_results_identical(fit_peaks_cy(X, Y2, P4, B), plain)


# --- Signals (the lock's release: tests/test_threads.py)

def test_an_interrupt_ends_a_long_call():
    # Rows of about a millisecond (one row read for all), as many as fill
    # about 10 s, sized by a warm call.
    region = Region(41, 2, True, True, False, m=2000)
    region.fit(Y=np.broadcast_to(region.y, (5, region.m)))
    start = time.perf_counter()
    region.fit(Y=np.broadcast_to(region.y, (20, region.m)))
    rows = int(10.0 / ((time.perf_counter() - start) / 20))
    Y = np.broadcast_to(region.y, (rows, region.m))
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    main = threading.main_thread().ident
    try:
        gc.collect()
        blocks = sys.getallocatedblocks()
        refcounts = [sys.getrefcount(a) for a in (Y, region.x, region.start, region.basis)]
        for attempt in range(3):
            sent = []

            def interrupt():
                sent.append(time.perf_counter())
                signal.pthread_kill(main, signal.SIGINT)

            timer = threading.Timer(0.2, interrupt)
            result = None
            start = time.perf_counter()
            timer.start()
            try:
                with pytest.raises(KeyboardInterrupt):
                    result = region.fit(Y=Y)
            finally:
                timer.join()
            ended = time.perf_counter()
            assert result is None
            assert ended - sent[0] < 0.5, ended - sent[0]
            assert ended - start < 2.0
        gc.collect()
        assert sys.getallocatedblocks() - blocks < 50
        assert [sys.getrefcount(a) for a in (Y, region.x, region.start, region.basis)] == refcounts
    finally:
        signal.signal(signal.SIGINT, previous)

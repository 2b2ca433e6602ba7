"""Low-energy tails of fit_peaks_cy: the tailed model and its Jacobian (through
the probe, against mpmath, quad and finite differences) far in both tails and
for tail lengths from 0.1 to 10; the same bits at every vector width; the
optimum against SciPy's minimisers; tails held by equal bounds; areas with
their tails and errors; rows of a stack as rows alone; argument errors."""

import math

import numpy as np
import pytest
import scipy.integrate
import scipy.optimize
import scipy.special

from exact import assert_same_bits
from probe_module import SANITIZED, kernel_probe
from tarvix.utils.numerics.cython.fitting import fit_peaks_cy

mpmath = pytest.importorskip("mpmath")



class _Probe:
    """The probe, fetched where a test first uses it: the sanitizer build
    has none, and the tests that need it skip there while the fits run."""

    def __getattr__(self, name):
        return getattr(kernel_probe(), name)


probe = _Probe()
WIDTHS = [1] if SANITIZED else {"generic": [1], "avx2": [1, 4], "avx512": [1, 4, 8]}[probe.cpu_level()]
TAUS = [0.1, 0.3, 1.0, 3.0, 10.0]


def density(x, A, mu, v, tails, h=None):
    """The peak (Gaussian, step, tails (t, tau)) at x, at 50 digits."""
    mpmath.mp.dps = 50
    x, mu, v = mpmath.mpf(x), mpmath.mpf(mu), mpmath.mpf(v)
    s = mpmath.sqrt(v)
    u = x - mu
    value = A * mpmath.exp(-u**2 / (2 * v))
    if h is not None:
        value += h * mpmath.erfc(u / mpmath.sqrt(2 * v)) / 2
    for t, tau in tails:
        tau = mpmath.mpf(tau)
        value += (A * mpmath.sqrt(2 * mpmath.pi) * s * t / (2 * tau * s)
                  * mpmath.exp(u / (tau * s) + 1 / (2 * tau**2))
                  * mpmath.erfc(u / (mpmath.sqrt(2) * s) + 1 / (mpmath.sqrt(2) * tau)))
    return value


def relative_error(actual, reference):
    reference = np.asarray(reference, dtype=float)
    return np.abs(actual - reference) / np.abs(reference)


@pytest.mark.parametrize("tau", TAUS)
@pytest.mark.parametrize("tails", [1, 2])
def test_sampled_model_against_mpmath(tau, tails):
    A, mu, v = 1000.0, 3.0, 4.0
    shape = [(0.4, tau), (0.1, 2.5 * tau)][:tails]
    x = mu + 2.0 * np.linspace(-45.0, 38.0, 167)
    theta = np.array([A, mu, v] + [p for pair in shape for p in pair])
    mean, _ = probe.peak_model(x, theta, False, False, tails)
    reference = np.array([float(density(xi, A, mu, v, shape)) for xi in x])
    seen = reference > 1e-290
    assert seen.sum() > 60
    assert relative_error(mean[seen], reference[seen]).max() < 1e-12
    assert np.all(mean[~seen] < 1e-280)


@pytest.mark.parametrize("tau", TAUS)
@pytest.mark.parametrize("steps", [False, True])
def test_binned_model_against_quad(tau, steps):
    A, mu, v, h = 500.0, 0.3, 2.25, 7.0
    shape = [(0.3, tau)]
    sigma = math.sqrt(v)
    edges = mu + sigma * np.concatenate([np.arange(-40.0, -5.0, 1.3), np.arange(-5.0, 5.0, 0.37),
                                         np.arange(5.0, 36.0, 1.1)])
    theta = np.array([A, mu, v] + ([h] if steps else []) + [0.3, tau])
    mean, _ = probe.peak_model(edges, theta, steps, True, 1)

    def f(x):
        return float(density(x, A, mu, v, shape, h if steps else None))
    reference = np.array([scipy.integrate.quad(f, a, b, epsabs=0.0, epsrel=1e-13, limit=200)[0]
                          for a, b in zip(edges[:-1], edges[1:])])
    seen = reference > 1e-280
    assert relative_error(mean[seen], reference[seen]).max() < 1e-10


@pytest.mark.parametrize("tau", [0.1, 1.0, 10.0])
def test_binned_counts_sum_to_the_area(tau):
    # Over a range that holds every count, the channels sum to A sqrt(2 pi v) (1 + t).
    A, v, t = 50.0, 0.81, 0.37
    edges = np.linspace(-80.0, 15.0, 900) * math.sqrt(v) * max(1.0, tau / 3)
    mean, _ = probe.peak_model(edges, np.array([A, 0.0, v, t, tau]), False, True, 1)
    assert math.isclose(mean.sum(), A * math.sqrt(2 * math.pi * v) * (1 + t), rel_tol=1e-12)


def finite_differences(x, theta, steps, binned, tails):
    """Each column by a fourth-order central difference of the mean, and the
    rounding noise of each entry (the mean's ulps over the step)."""
    columns, noise = [], []
    mean = probe.peak_model(x, theta, steps, binned, tails)[0]
    for a in range(theta.size):
        h = 1e-4 * max(abs(theta[a]), 1e-2)
        values = []
        for k in (2, 1, -1, -2):
            shifted = theta.copy()
            shifted[a] += k * h
            values.append(probe.peak_model(x, shifted, steps, binned, tails)[0])
        columns.append((-values[0] + 8 * values[1] - 8 * values[2] + values[3]) / (12 * h))
        noise.append(8 * np.spacing(np.abs(mean)) / h)
    return np.array(columns), np.array(noise)


@pytest.mark.parametrize("tau", TAUS)
@pytest.mark.parametrize("binned", [False, True])
@pytest.mark.parametrize("steps, tails", [(False, 1), (True, 1), (True, 2)])
def test_jacobian_against_finite_differences(tau, binned, steps, tails):
    A, mu, v = 200.0, -1.0, 1.7
    sigma = math.sqrt(v)
    x = mu + sigma * np.linspace(-30.0, 25.0, 112)
    theta = np.array([A, mu, v] + ([5.0] if steps else []) + [0.4, tau, 0.15, 3.0 * tau][:2 * tails])
    _, jacobian = probe.peak_model(x, theta, steps, binned, tails)
    expected, noise = finite_differences(x, theta, steps, binned, tails)
    # Element by element, far in both tails as near the centre: within 1e-5
    # of each entry, or of the differences' own rounding where that is larger.
    assert np.all(np.abs(jacobian - expected) <= 1e-5 * np.abs(expected) + 10 * noise)


@pytest.mark.parametrize("binned", [False, True])
def test_model_same_bits_at_every_width(binned):
    rng = np.random.default_rng(5)
    x = np.sort(rng.uniform(-40.0, 60.0, 203))
    theta = np.array([100.0, 3.0, 9.0, 2.0, 0.6, 0.5, 0.1, 4.0, 30.0, 20.0, 2.0, 0.0, 0.2, 0.2, 8.0, 0.05])
    reference = probe.peak_model(x, theta, True, binned, 2, 1)
    for width in WIDTHS + [0]:
        mean, jacobian = probe.peak_model(x, theta, True, binned, 2, width)
        assert_same_bits(mean, reference[0])
        assert_same_bits(jacobian, reference[1])


# --- fits


def reference_mean(x, theta, K, steps, tails, binned, basis):
    """The model in plain NumPy/SciPy: the peak's parts at the centres, or
    differences of their antiderivatives at the edges."""
    per = 3 + steps + 2 * tails
    mean = basis @ theta[K * per:]
    for k in range(K):
        p = theta[k * per:(k + 1) * per]
        A, mu, v = p[:3]
        s = math.sqrt(v)
        u = x - mu
        r = u / (math.sqrt(2) * s)
        pairs = [(p[3 + steps + 2 * j], p[4 + steps + 2 * j]) for j in range(tails)]
        if not binned:
            f = A * np.exp(-u**2 / (2 * v))
            if steps:
                f += p[3] * scipy.special.erfc(r) / 2
            for t, tau in pairs:
                z = r + 1 / (math.sqrt(2) * tau)
                f += A * t * math.sqrt(2 * np.pi) / (2 * tau) * np.exp(-u**2 / (2 * v)) * scipy.special.erfcx(z)
            mean = mean + f
        else:
            F = A * math.sqrt(2 * np.pi) * s * scipy.special.ndtr(u / s)
            if steps:
                F += p[3] * (np.minimum(u, 0) + s / math.sqrt(2) * (np.abs(r) * scipy.special.erfc(np.abs(r))
                                                                   - np.exp(-r**2) / math.sqrt(np.pi)))
            for t, tau in pairs:
                z = r + 1 / (math.sqrt(2) * tau)
                F += A * math.sqrt(2 * np.pi) * s * t * (
                    scipy.special.ndtr(u / s) + 0.5 * np.exp(-u**2 / (2 * v)) * scipy.special.erfcx(z))
            mean = mean + np.diff(F)
    return mean


def deviance(y, mean):
    mean = np.maximum(mean, 1e-300)
    terms = mean - y + np.where(y > 0, y * np.log(np.where(y > 0, y, 1) / mean), 0.0)
    return 2 * terms.sum()


REGIONS = {
    # name: (peaks as (A, mu, v), binned, tails, steps). Free tails need
    # strong peaks: below some 1e4 counts the data hardly tell a tail from
    # the Gaussian and the background; two tails, a step and the background
    # need more still, or no step.
    "one peak, one tail, binned": ([(3000.0, 30.0, 4.0)], True, 1, True),
    "one peak, two tails, sampled": ([(5e4, 32.0, 5.0)], False, 2, False),
    "two peaks, one tail, sampled": ([(3000.0, 22.0, 3.0), (5000.0, 37.0, 3.5)], False, 1, True),
    "three peaks, one tail, binned": ([(1e5, 15.0, 3.0), (8e4, 29.0, 3.0), (1.5e5, 44.0, 3.2)], True, 1, True),
    "two peaks, two tails, binned": ([(1e5, 22.0, 3.0), (6e4, 38.0, 3.5)], True, 2, False),
}
# One tail measured on a real detector; two tails as a short and a long one
# (two tails of similar lengths are nearly one, and the data cannot tell
# them apart).
SHAPES = {1: [(0.62, 0.49)], 2: [(0.3, 0.6), (0.08, 4.0)]}


def region(name, seed):
    peaks, binned, tails, steps = REGIONS[name]
    m = 64
    x = np.arange(m + 1.0) if binned else np.arange(m) + 0.5
    centres = np.arange(m) + 0.5
    basis = np.stack([np.ones(m), (centres - 32.0) / 32.0], axis=1)
    truth = []
    for A, mu, v in peaks:
        truth += [A, mu, v] + [3.0] * steps + [p for pair in SHAPES[tails] for p in pair]
    truth = np.array(truth + [20.0, -4.0])
    mean = reference_mean(x, truth, len(peaks), steps, tails, binned, basis)
    y = np.random.default_rng(seed).poisson(mean).astype(float)
    return x, y, basis, truth, len(peaks), binned, tails, steps


def free_tail_bounds(truth, K, steps, tails):
    """lower bounds 0 on the tails (what the fit keeps anyway), else none."""
    per = 3 + steps + 2 * tails
    lower = np.full(truth.size, -np.inf)
    for k in range(K):
        lower[k * per + 3 + steps:(k + 1) * per] = 0.0
    return lower


@pytest.mark.parametrize("name", REGIONS)
def test_optimum_against_scipy(name):
    x, y, basis, truth, K, binned, tails, steps = region(name, 11)
    per = 3 + steps + 2 * tails
    start = truth * 1.03
    lower = free_tail_bounds(truth, K, steps, tails)
    result = fit_peaks_cy(x, y[np.newaxis], start, background=basis, lower=lower, steps=steps, binned=binned,
                          tails=tails, max_iterations=1000)
    assert result.status[0] == 0
    theta = result.params[0]

    def objective(p):
        return deviance(y, reference_mean(x, p, K, steps, tails, binned, basis))
    assert math.isclose(objective(theta), result.objective[0], rel_tol=1e-9)
    # SciPy's trust-region least squares on the deviance residuals, within
    # the same bounds (and the floors the fit keeps).
    low = lower.copy()
    for k in range(K):
        low[k * per + 2] = 1e-6
        low[k * per + 4 + steps:(k + 1) * per:2] = 1e-3

    def residuals(p):
        mean = np.maximum(reference_mean(x, p, K, steps, tails, binned, basis), 1e-300)
        terms = mean - y + np.where(y > 0, y * np.log(np.where(y > 0, y, 1) / mean), 0.0)
        return np.sign(mean - y) * np.sqrt(2 * np.maximum(terms, 0.0))

    def peer_fit(p):
        finite = np.isfinite(low)
        p = p.copy()
        p[finite] = np.maximum(p[finite], low[finite] + 1e-9)
        fit = scipy.optimize.least_squares(residuals, p, bounds=(low, np.inf), x_scale="jac", xtol=1e-15,
                                           ftol=1e-15, gtol=1e-12, max_nfev=5000)
        return objective(fit.x)
    # No better optimum for SciPy from the same start, nor from ours.
    assert result.objective[0] <= peer_fit(start) + 1e-8 * result.objective[0]
    assert peer_fit(theta) >= result.objective[0] - 1e-8 * result.objective[0]


@pytest.mark.parametrize("binned", [False, True])
def test_least_squares_against_scipy(binned):
    x, y, basis, truth, K, _, tails, steps = region("one peak, one tail, binned", 3)
    if not binned:
        x = np.arange(64) + 0.5
    weights = 1.0 / np.maximum(y, 1.0)
    result = fit_peaks_cy(x, y[np.newaxis], truth, background=basis, steps=steps, binned=binned, tails=tails,
                          poisson=False, weights=weights, max_iterations=1000)
    assert result.status[0] == 0

    def residuals(p):
        return np.sqrt(weights) * (reference_mean(x, p, K, steps, tails, binned, basis) - y)
    peer = scipy.optimize.least_squares(residuals, truth, xtol=1e-15, ftol=1e-15, gtol=1e-15)
    assert math.isclose(result.objective[0], 2 * peer.cost, rel_tol=1e-8)
    # The same optimum, within a small fraction of each standard error.
    scale = result.objective[0] / (y.size - truth.size)
    errors = np.sqrt(np.diag(result.covariance[0]) * scale)
    assert np.all(np.abs(result.params[0] - peer.x) < 1e-3 * errors)


@pytest.mark.parametrize("binned", [False, True])
def test_tails_held_by_equal_bounds_stay_exact(binned):
    x, y, basis, truth, K, _, tails, steps = region("two peaks, two tails, binned", 4)
    if not binned:
        x = np.arange(64) + 0.5
    per = 3 + steps + 2 * tails
    lower = np.full(truth.size, -np.inf)
    upper = np.full(truth.size, np.inf)
    held = [a for k in range(K) for a in range(k * per + 3 + steps, (k + 1) * per)]
    lower[held] = upper[held] = truth[held] * 1.01
    result = fit_peaks_cy(x, y[np.newaxis], truth, background=basis, lower=lower, upper=upper, steps=steps,
                          binned=binned, tails=tails)
    assert result.status[0] == 0
    assert_same_bits(result.params[0, held], truth[held] * 1.01)
    assert np.all(result.covariance[0][held] == 0.0)
    assert np.all(np.isfinite(result.area_errors))


def test_areas_and_their_errors():
    x, y, basis, truth, K, binned, tails, steps = region("two peaks, two tails, binned", 8)
    per = 3 + steps + 2 * tails
    result = fit_peaks_cy(x, y[np.newaxis], truth, background=basis, steps=steps, binned=binned, tails=tails,
                          max_iterations=1000)
    assert result.status[0] == 0
    theta, C = result.params[0], result.covariance[0]

    def area(p, k):
        return p[k * per] * math.sqrt(2 * math.pi * p[k * per + 2]) * (1 + sum(p[k * per + 3 + steps:(k + 1) * per:2]))
    for k in range(K):
        assert math.isclose(result.areas[0, k], area(theta, k), rel_tol=1e-13)
        # The gradient by differences of the area formula, through C.
        g = np.zeros(theta.size)
        for a in range(k * per, (k + 1) * per):
            step = 1e-6 * abs(theta[a])
            up, down = theta.copy(), theta.copy()
            up[a] += step
            down[a] -= step
            g[a] = (area(up, k) - area(down, k)) / (2 * step)
        assert math.isclose(result.area_errors[0, k], math.sqrt(g @ C @ g), rel_tol=1e-6)
    # A tailed peak's counts: the binned channels of its model sum to its
    # area where the region holds it (the first, 22 channels from the edge).
    edges = np.linspace(-200.0, 100.0, 3001)
    mean, _ = probe.peak_model(edges, theta[:per], steps, True, tails)
    assert math.isclose(mean.sum(), result.areas[0, 0], rel_tol=1e-10)


def test_rows_of_a_stack_equal_rows_alone():
    rows = [region("three peaks, one tail, binned", seed) for seed in range(5)]
    x, basis, truth = rows[0][0], rows[0][2], rows[0][3]
    assert rows[0][7]
    Y = np.array([r[1] for r in rows])
    start = np.array([truth * (1 + 0.01 * s) for s in range(5)])
    stack = fit_peaks_cy(x, Y, start, background=basis, steps=True, binned=True, tails=1)
    for s in range(5):
        alone = fit_peaks_cy(x, Y[s:s + 1], start[s], background=basis, steps=True, binned=True, tails=1)
        for field in range(7):
            assert np.asarray(stack[field][s]).tobytes() == np.asarray(alone[field][0]).tobytes()


def test_no_tails_is_the_default_and_the_same_fit():
    x, y, basis, truth, K, binned, _, _ = region("one peak, one tail, binned", 2)
    start = truth[[0, 1, 2, 3, 6, 7]]
    plain = fit_peaks_cy(x, y[np.newaxis], start, background=basis, steps=True, binned=True)
    zero = fit_peaks_cy(x, y[np.newaxis], start, background=basis, steps=True, binned=True, tails=0)
    for field in range(7):
        assert plain[field].tobytes() == zero[field].tobytes()


def test_argument_errors():
    x = np.arange(33.0)
    Y = np.ones((1, 32))
    params = np.array([10.0, 16.0, 4.0, 0.2, 1.0])
    with pytest.raises(ValueError, match="tails is 3"):
        fit_peaks_cy(x[:-1], Y, params, tails=3)
    with pytest.raises(ValueError, match="tails is -1"):
        fit_peaks_cy(x[:-1], Y, params, tails=-1)
    for wrong in (1.0, "1", None):
        with pytest.raises(TypeError, match="tails"):
            fit_peaks_cy(x[:-1], Y, params, tails=wrong)
    with pytest.raises(ValueError, match=r"multiple of 7 \(A, mu, variance, t1, tau1, t2, tau2 per peak\)"):
        fit_peaks_cy(x[:-1], Y, params, tails=2)
    with pytest.raises(ValueError, match=r"multiple of 6 \(A, mu, variance, h, t1, tau1 per peak\)"):
        fit_peaks_cy(x[:-1], Y, params, steps=True, tails=1)
    # 13 positional arguments take tails last.
    result = fit_peaks_cy(x, Y, params, None, None, None, False, True, None, True, 5, 1e-10, 1)
    assert result.params.shape == (1, 5)


def test_tail_ranges_kept_whatever_the_bounds():
    x = np.arange(65.0)
    mean, _ = probe.peak_model(x, np.array([300.0, 30.0, 4.0, 0.3, 0.8]), False, True, 1)
    y = np.random.default_rng(0).poisson(mean + 5.0)[np.newaxis].astype(float)
    basis = np.ones((64, 1))
    params = np.array([300.0, 30.0, 4.0, 0.3, 0.8, 5.0])
    lower = np.array([-np.inf, -np.inf, -np.inf, -5.0, -5.0, -np.inf])
    upper = np.array([np.inf, np.inf, np.inf, -1.0, -1.0, np.inf])
    result = fit_peaks_cy(x, y, params, background=basis, lower=lower, upper=upper, binned=True, tails=1)
    assert result.params[0, 3] == 0.0 and result.params[0, 4] == 1e-3

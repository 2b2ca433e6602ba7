"""Peak fits as a SciPy or iminuit user writes them, for comparison with fit_peaks_cy.

The model is fit_peaks_cy's: K peaks (A, mu, variance) or, with steps,
(A, mu, variance, h), then the coefficients of the background columns,
evaluated at the sample positions x:
    f(x) = sum_k A_k exp(-(x - mu_k)**2 / (2 v_k)) + sum_k h_k erfc((x - mu_k) / sqrt(2 v_k)) / 2
           + background @ b.
The Gaussians come either from the package's multi_gaussian_cy and its
Jacobian (the package's way before fit_peaks_cy) or from plain NumPy.
"""

from dataclasses import dataclass

import numpy as np
import scipy.optimize
from iminuit import Minuit
from scipy.special import erfc

import peers
from tarvix.utils.numerics.cython.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy

GAUSSIANS = {
    "package": (multi_gaussian_cy, multi_gaussian_jacobian_cy),
    "numpy": (peers.multi_gaussian, peers.multi_gaussian_jacobian),
}


@dataclass
class RegionModel:
    """Values and Jacobian of fit_peaks_cy's sampled model on one region."""
    x: np.ndarray
    background: np.ndarray  # (m, q) basis columns
    peaks: int
    steps: bool
    gaussians: str = "package"

    @property
    def per_peak(self):
        return 4 if self.steps else 3

    def _split(self, p):
        peaks = p[:self.per_peak * self.peaks].reshape(self.peaks, self.per_peak)
        return peaks, p[self.per_peak * self.peaks:]

    def _step_terms(self, peaks):
        mu, var = peaks[:, 1], peaks[:, 2]
        root = np.sqrt(2.0 * var)
        z = (self.x[:, None] - mu) / root
        return z, root, np.exp(-z * z) / np.sqrt(np.pi)

    def __call__(self, p):
        value, _ = GAUSSIANS[self.gaussians]
        peaks, coefficients = self._split(p)
        out = value(self.x, np.ascontiguousarray(peaks[:, :3]).ravel()) + self.background @ coefficients
        if self.steps:
            z, _, _ = self._step_terms(peaks)
            out += 0.5 * erfc(z) @ peaks[:, 3]
        return out

    def jacobian(self, p):
        _, derivative = GAUSSIANS[self.gaussians]
        peaks, _ = self._split(p)
        m, width = len(self.x), self.per_peak
        jac = np.empty((m, len(p)))
        view = jac[:, :width * self.peaks].reshape(m, self.peaks, width)
        view[:, :, :3] = derivative(self.x, np.ascontiguousarray(peaks[:, :3]).ravel()).reshape(m, self.peaks, 3)
        if self.steps:
            h = peaks[:, 3]
            z, root, bump = self._step_terms(peaks)
            view[:, :, 1] += h * bump / root
            view[:, :, 2] += h * bump * z / (2.0 * peaks[:, 2])
            view[:, :, 3] = 0.5 * erfc(z)
        jac[:, width * self.peaks:] = self.background
        return jac


def deviance(y, mu):
    """Poisson deviance terms 2 (mu - y + y ln(y / mu)); a y = 0 term is 2 mu."""
    ratio = np.where(y > 0, y / np.where(y > 0, mu, 1.0), 1.0)
    return 2.0 * (mu - y + y * np.log(ratio))


def poisson_least_squares(model, y, start):
    """Poisson fit with least_squares(method="lm") on the deviance residuals
    sign(y - mu) sqrt(d_i), whose sum of squares is the deviance."""

    def residuals(p):
        mu = model(p)
        return np.sign(y - mu) * np.sqrt(np.maximum(deviance(y, mu), 0.0))

    def jacobian(p):
        mu = model(p)
        d = np.maximum(deviance(y, mu), 0.0)
        # d r / d mu = -|1 - y/mu| / sqrt(d), which tends to -1/sqrt(mu) as mu -> y.
        root = np.sqrt(d)
        slope = np.where(root > 1e-8 * np.sqrt(np.abs(mu)),
                         -np.abs(1.0 - y / mu) / np.where(root > 0, root, 1.0), -1.0 / np.sqrt(np.abs(mu)))
        return slope[:, None] * model.jacobian(p)

    fit = scipy.optimize.least_squares(residuals, start, jac=jacobian, method="lm")
    return fit.x


def weighted_least_squares(model, y, start, weights):
    """chi2 = sum w (y - mu)**2 with least_squares(method="lm"); returns the
    parameters and the unscaled covariance (J^T W J)^-1 at the optimum."""
    root = np.sqrt(weights)
    fit = scipy.optimize.least_squares(lambda p: root * (model(p) - y), start,
                                       jac=lambda p: root[:, None] * model.jacobian(p), method="lm")
    jac = root[:, None] * model.jacobian(fit.x)
    with np.errstate(all="ignore"):
        try:
            covariance = np.linalg.inv(jac.T @ jac)
        except np.linalg.LinAlgError:
            covariance = np.full((len(start), len(start)), np.nan)
    return fit.x, covariance, fit.status > 0


def iminuit_poisson(model, y, start, tolerance=0.1):
    """MIGRAD then HESSE on the deviance (errordef 1, as for -2 ln L). Returns
    the parameters, their covariance and whether MIGRAD reported a valid minimum."""
    minuit = Minuit(lambda p: float(np.sum(deviance(y, model(p)))), np.array(start, dtype=float))
    minuit.errordef = Minuit.LEAST_SQUARES
    minuit.tol = tolerance
    minuit.print_level = 0
    minuit.migrad()
    minuit.hesse()
    covariance = (np.array(minuit.covariance) if minuit.covariance is not None
                  else np.full((len(start), len(start)), np.nan))
    return np.array(minuit.values), covariance, bool(minuit.valid)


def areas_and_errors(params, covariance, peaks, per_peak):
    """A sqrt(2 pi v) of each peak and its standard error through the covariance."""
    a = params[0:per_peak * peaks:per_peak]
    v = params[2:per_peak * peaks:per_peak]
    areas = a * np.sqrt(2.0 * np.pi * v)
    errors = np.empty(peaks)
    for k in range(peaks):
        i, j = per_peak * k, per_peak * k + 2
        gradient = np.array([areas[k] / a[k], areas[k] / (2.0 * v[k])])
        block = covariance[np.ix_([i, j], [i, j])]
        errors[k] = np.sqrt(gradient @ block @ gradient)
    return areas, errors

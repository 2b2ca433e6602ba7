"""Fit two overlapping photopeaks with the native Gaussian model.

A small measured region around the 60Co lines (1173 and 1332 keV) is
simulated with Poisson noise, then fitted with scipy.optimize.least_squares
using multi_gaussian_cy as the model and multi_gaussian_jacobian_cy as its
Jacobian, and then with fit_peaks_cy, which fits by Poisson likelihood in
one native call and returns the covariance and the peak areas with their
errors. Run: .venv/bin/python examples/fit_peaks.py
"""

import numpy as np
from scipy.optimize import least_squares

from tarvix.utils.numerics.cython.fitting import fit_peaks_cy
from tarvix.utils.numerics.cython.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy

# Channel energies (keV) and the true peaks: amplitude, centre, variance.
energy = np.linspace(1100.0, 1400.0, 301)
true_params = np.array([800.0, 1173.2, 4.1**2,
                        700.0, 1332.5, 4.4**2])

rng = np.random.default_rng(2026)
counts = rng.poisson(multi_gaussian_cy(energy, true_params) + 20.0).astype(np.float64)
background = 20.0


def residuals(params):
    return multi_gaussian_cy(energy, params) + background - counts


def jacobian(params):
    return multi_gaussian_jacobian_cy(energy, params)


# A rough first guess, as a user would read it off the plot.
guess = np.array([600.0, 1170.0, 25.0, 600.0, 1335.0, 25.0])
fit = least_squares(residuals, guess, jac=jacobian)

print("peak   centre (keV)         sigma (keV)       amplitude")
for k in range(2):
    amplitude, centre, variance = fit.x[3 * k:3 * k + 3]
    t_amplitude, t_centre, t_variance = true_params[3 * k:3 * k + 3]
    print(f"{k}    {centre:8.2f} ({t_centre:7.2f})   {np.sqrt(variance):5.2f} ({np.sqrt(t_variance):4.2f})"
          f"   {amplitude:7.1f} ({t_amplitude:5.1f})")
print(f"least_squares: {fit.nfev} model and {fit.njev} Jacobian evaluations, status {fit.status}")

# The same peaks with fit_peaks_cy: Poisson likelihood, the flat background as
# one column whose coefficient is held at 20 (equal lower and upper bounds).
start = np.append(guess, background)
unbounded = np.full(len(start), np.inf)
lower, upper = -unbounded, unbounded.copy()
lower[-1] = upper[-1] = background
native = fit_peaks_cy(energy, counts[np.newaxis], start, np.ones((len(energy), 1)), lower=lower, upper=upper)
print(f"fit_peaks_cy: status {native.status[0]}, {native.iterations[0]} iterations, deviance "
      f"{native.objective[0]:.1f} on {len(energy) - 6} degrees of freedom")
for k in range(2):
    centre_error = np.sqrt(native.covariance[0, 3 * k + 1, 3 * k + 1])
    print(f"{k}    centre {native.params[0, 3 * k + 1]:8.2f} +- {centre_error:.2f} keV, "
          f"area {native.areas[0, k]:7.0f} +- {native.area_errors[0, k]:.0f} counts (1 keV channels)")

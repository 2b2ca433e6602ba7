"""Inputs of the benchmark cases: spectra, responses and peak models.

Every case is deterministic (fixed seeds), so two runs time the same work.
"""

import numpy as np

FWHM_C = 2.3548200450309493  # FWHM / sigma of a Gaussian
E_MAX = 3000.0  # keV, top of every energy axis


def energy_axis(n):
    """Bin centres of n channels on 0 .. E_MAX keV."""
    return (np.arange(n) + 0.5) * (E_MAX / n)


def width_model(k, energies):
    """sigma(E) = k * sqrt(E) * E / FWHM_C, the resolution model of the deconvolution."""
    return (k * np.sqrt(energies)) * energies / FWHM_C


def spectrum(axis, sigma, seed=1):
    """A measured-looking spectrum: a few lines on a falling continuum, with Poisson noise."""
    rng = np.random.default_rng(seed)
    lines = [(186.0, 400.0), (662.0, 1500.0), (1173.0, 700.0), (1332.0, 650.0), (2614.0, 300.0)]
    clean = 50.0 * np.exp(-axis / 800.0) + 2.0
    for energy, height in lines:
        s = np.interp(energy, axis, sigma)
        clean += height * np.exp(-0.5 * ((axis - energy) / s) ** 2)
    return rng.poisson(clean).astype(np.float64) + 0.0


def deconvolution_case(n, k):
    """(axis, sigma, y, sensitivity) for a spectrum of n channels at resolution k."""
    axis = energy_axis(n)
    sigma = width_model(k, axis)
    y = spectrum(axis, sigma)
    sensitivity = np.ones(n)
    return axis, sigma, y, sensitivity


def reference_response(ref_energies, ref_axis, seed=2):
    """Reference response rows: photopeak, Compton continuum with its edge, backscatter peak
    and, above the pair threshold, the escape peaks; everything strictly positive."""
    rng = np.random.default_rng(seed)
    rows = np.empty((len(ref_energies), len(ref_axis)))
    for r, e_p in enumerate(ref_energies):
        sigma = 0.5 + 0.0015 * e_p
        backscatter = e_p / ((2.0 * e_p) / 511.0 + 1.0)
        compton = e_p - backscatter
        row = 1e-6 + 5.0 * np.exp(-0.5 * ((ref_axis - e_p) / sigma) ** 2)
        row += 0.02 * np.where(ref_axis < compton, 1.0 + ref_axis / compton, 0.0)
        row += 0.05 * np.exp(-0.5 * ((ref_axis - backscatter) / (3 * sigma)) ** 2)
        if e_p > 1022.0:
            for escape in (e_p - 511.0, e_p - 1022.0):
                row += 0.5 * np.exp(-0.5 * ((ref_axis - escape) / sigma) ** 2)
        rows[r] = row * (1.0 + 0.01 * rng.random(len(ref_axis)))
    return rows


def resampling_case(n_ref=64, n_ref_axis=2048, n_rows=2048, n_channels=2048):
    """(response_matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis)."""
    ref_indices = np.linspace(300.0, 2900.0, n_ref)
    ref_axis = energy_axis(n_ref_axis)
    matrix = reference_response(ref_indices, ref_axis)
    requested = np.linspace(ref_indices[0], ref_indices[-1], n_rows + 1)[1:]
    requested_axis = (np.arange(n_channels) + 0.25) * (E_MAX / n_channels)
    return matrix, ref_indices, ref_axis, requested, requested_axis


def peak_params(n_peaks, x_lo, x_hi, seed=3):
    """(A, mu, variance) triples of n_peaks peaks spread over [x_lo, x_hi]."""
    rng = np.random.default_rng(seed)
    mu = np.sort(rng.uniform(x_lo, x_hi, n_peaks))
    spacing = (x_hi - x_lo) / n_peaks
    width = spacing * rng.uniform(0.1, 0.3, n_peaks)
    amplitude = rng.uniform(10.0, 1000.0, n_peaks)
    return np.column_stack([amplitude, mu, width ** 2]).ravel()


def model_case(n_peaks, n_samples):
    x = np.linspace(0.0, E_MAX, n_samples)
    return x, peak_params(n_peaks, 100.0, E_MAX - 100.0)


def fit_case(n_samples=1024, seed=4):
    """Four overlapping peaks with noise, the truth and a perturbed starting point."""
    rng = np.random.default_rng(seed)
    x = np.linspace(600.0, 800.0, n_samples)
    truth = np.array([500.0, 680.0, 16.0,
                      300.0, 692.0, 20.0,
                      200.0, 705.0, 25.0,
                      120.0, 720.0, 30.0])
    a, mu, var = truth.reshape(-1, 3).T
    clean = (a[None, :] * np.exp(-0.5 * (x[:, None] - mu[None, :]) ** 2 / var[None, :])).sum(1)
    y = clean + rng.normal(0.0, 3.0, n_samples)
    start = truth * np.array([0.8, 1.0, 1.3] * 4) + np.array([0.0, 2.0, 0.0] * 4)
    return x, y, start

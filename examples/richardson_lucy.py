"""Sharpen a simulated scintillator spectrum with Richardson-Lucy deconvolution.

Four gamma lines (57Co 122 keV, 137Cs 662 keV, 60Co 1173 and 1332 keV) on a
falling continuum are blurred by a detector whose resolution is
FWHM = k * E**1.5 (about 7 % at 662 keV), then Poisson noise is added. The
response used for the simulation is the one richardson_lucy_cy builds
itself (build_gaussian_response with the same widths), so deconvolving
should recover narrow lines at the right energies.
Run: .venv/bin/python examples/richardson_lucy.py
"""

import numpy as np

from tarvix.utils.numerics.cython.deconvolution import build_gaussian_response, richardson_lucy_cy

FWHM_C = 2.3548200450309493  # FWHM / sigma of a Gaussian
k = 0.0027  # resolution coefficient, keV**-0.5
energy = np.linspace(50.0, 1500.0, 1024)  # keV, bin centres
lines = {122.1: 4000.0, 661.7: 6000.0, 1173.2: 2500.0, 1332.5: 2200.0}  # keV: counts

# The true spectrum: each line in the bin nearest to it, on a continuum.
source = 30.0 * np.exp(-energy / 400.0)
for line, counts in lines.items():
    source[np.argmin(np.abs(energy - line))] += counts

# Blur it through the detector response (row j spreads source bin j over the
# measured bins) and add counting noise.
sigma = k * np.sqrt(energy) * energy / FWHM_C
offsets, indices, values = build_gaussian_response(energy, sigma)
blurred = np.zeros_like(energy)
np.add.at(blurred, indices, values * np.repeat(source, np.diff(offsets)))
measured = np.random.default_rng(2026).poisson(blurred).astype(np.float64)

estimate = richardson_lucy_cy(energy, measured, k, np.ones_like(energy), iterations=300)


def strongest_peaks(spectrum, count, half_window=8):
    """The `count` local maxima with the most counts within +-half_window bins."""
    found = []
    for i in range(half_window, len(spectrum) - half_window):
        window = spectrum[i - half_window:i + half_window + 1]
        if spectrum[i] == window.max():
            found.append((window.sum(), i))
    return sorted(i for _, i in sorted(found, reverse=True)[:count])


def fwhm(spectrum, peak):
    """Full width at half maximum around bin `peak`, in keV (linear interpolation)."""
    half = spectrum[peak] / 2.0
    left = peak
    while left > 0 and spectrum[left] > half:
        left -= 1
    right = peak
    while right < len(spectrum) - 1 and spectrum[right] > half:
        right += 1
    e_left = np.interp(half, [spectrum[left], spectrum[left + 1]], [energy[left], energy[left + 1]])
    e_right = np.interp(half, [spectrum[right], spectrum[right - 1]], [energy[right], energy[right - 1]])
    return e_right - e_left


print(f"{len(energy)} bins of {energy[1] - energy[0]:.2f} keV, response with {len(values)} entries")
print("line (keV)   found at (keV)   FWHM detector (keV)   FWHM deconvolved (keV)")
for line, peak in zip(lines, strongest_peaks(estimate, len(lines))):
    print(f"{line:9.1f}    {energy[peak]:12.1f}    {k * line**1.5:15.1f}    {fwhm(estimate, peak):18.1f}")
print(f"total counts: true {source.sum():.0f}, measured {measured.sum():.0f}, "
      f"deconvolved {estimate.sum():.0f}")

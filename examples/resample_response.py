"""Resample a detector response matrix onto new photopeak energies and a new
energy axis, check the sparse result, and deconvolve a spectrum through it.

The reference response is a toy detector made in NumPy: for each line
energy E, a Gaussian photopeak at E, a flat Compton continuum up to the
Compton edge, a backscatter bump and, above 1022 keV, single and double
escape peaks. Run with the package installed:  python examples/resample_response.py
"""

import numpy as np
import scipy.sparse

from tarvix.utils.numerics.cython.respgrid import calculate_regions, respgrid_cy


def toy_response(line_energies, axis):
    """One row per line energy: the detector's spectrum on `axis` (keV)."""
    rows = []
    for E in line_energies:
        _, backscatter, compton = calculate_regions(E, axis.max(), False)[:3]
        sigma = 0.5 * np.sqrt(E)

        def peak(centre, height):
            return height * np.exp(-0.5 * ((axis - centre) / sigma) ** 2)

        row = peak(E, 1.0) + peak(backscatter, 0.05) + 0.02 * (axis < compton)
        if E > 1022:
            row += peak(E - 511, 0.1) + peak(E - 1022, 0.03)
        rows.append(row + 1e-6)
    return np.array(rows)


ref_E_axis = np.linspace(0.0, 2600.0, 521)                        # 5 keV bins
ref_indices = np.array([150.0, 300.0, 500.0, 800.0, 1200.0, 1700.0, 2300.0])
response = toy_response(ref_indices, ref_E_axis)

# Requested: 10 keV bins from 150 to 2300 keV, one row per bin (square).
requested_E_axis = np.arange(150.0, 2300.0 + 1e-9, 10.0)
requested_indices = requested_E_axis.copy()
offsets, indices, values = respgrid_cy(response, ref_indices, ref_E_axis,
                                       requested_indices, requested_E_axis)

n = len(requested_E_axis)
matrix = scipy.sparse.csr_array((values, indices, offsets), shape=(n, n))
matrix.check_format(full_check=True)
row_sums = matrix.sum(axis=1)
print(f"resampled response: {n} x {n}, {matrix.nnz} entries kept "
      f"(dtypes {offsets.dtype}, {indices.dtype}, {values.dtype})")
print(f"row sums between {row_sums.min():.12f} and {row_sums.max():.12f}")
row_662 = matrix[[int(np.searchsorted(requested_indices, 660.0))]].toarray()[0]
print(f"row for 660 keV peaks at {requested_E_axis[row_662.argmax()]:.0f} keV")

# A measured spectrum of lines at 660 and 1330 keV, with Poisson noise.
source = np.zeros(n)
source[np.searchsorted(requested_indices, [660.0, 1330.0])] = [2.0e4, 1.0e4]
measured = np.random.default_rng(0).poisson(matrix.T @ source).astype(np.float64)

try:
    from tarvix.utils.numerics.cython.deconvolution import ML_EM_cy
except ImportError:
    print("deconvolution module not built; skipping the deconvolution")
else:
    sensitivity = np.asarray(row_sums, dtype=np.float64)
    estimate = ML_EM_cy(measured, offsets, indices, values, sensitivity, 200)
    strongest = np.sort(requested_indices[np.argsort(estimate)[-2:]])
    print(f"deconvolved: strongest bins at {strongest[0]:.0f} and {strongest[1]:.0f} keV; "
          f"{estimate.sum():.0f} counts estimated for {measured.sum():.0f} measured")

"""Resampling of a detector response matrix onto new photopeak energies and a new energy axis."""

import numpy as np
from numpy.typing import NDArray

def calculate_regions(E_p: float, max_value: float, has_escape_peaks: bool | None) -> list[float]:
    """Region boundaries of the response to a photopeak line at ``E_p`` keV.

    Without escape peaks: [0, backscatter, Compton edge, E_p - 10, E_p + 10,
    max_value] in that order (not sorted); with escape peaks the single- and
    double-escape energies E_p - 511 and E_p - 1022 are added and the list
    is sorted ascending. The first entry is the int 0, the others floats.

    Args:
        E_p: photopeak energy, keV.
        max_value: the last boundary (top of the energy axis), keV.
        has_escape_peaks: exactly True, False or None (None counts as False).

    Raises:
        TypeError: wrong arguments; a non-float energy; a flag that is not
            exactly a bool or None.
    """

def respgrid_cy(
    response_matrix: NDArray[np.float64],
    ref_indices: NDArray[np.float64],
    ref_E_axis: NDArray[np.float64],
    requested_indices: NDArray[np.float64],
    requested_E_axis: NDArray[np.float64],
) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float64]]:
    """Resample a reference response matrix, returning it in CSR form.

    Each requested photopeak energy is bracketed by two reference rows; each
    requested-axis energy is mapped region by region (backscatter peak,
    Compton edge, photopeak window, escape peaks) onto both reference rows,
    and the two sampled values are interpolated linearly in photopeak
    energy. Every row is normalised to unit sum over its non-NaN entries and
    only entries above 1e-12 are kept, columns ascending.

    Args:
        response_matrix: 2-D float64, one row per reference energy and at
            least len(ref_E_axis) columns.
        ref_indices: reference photopeak energies (keV), ascending, 1-D float64.
        ref_E_axis: energy of each reference column (keV), ascending.
        requested_indices: photopeak energies of the rows to produce (keV),
            each within [ref_indices[0], ref_indices[-1]].
        requested_E_axis: energy of each output column (keV).

    Returns:
        (offsets int64, indices int32, values float64): one row per
        requested photopeak energy, len(requested_E_axis) columns.

    Raises:
        TypeError: wrong arguments; an argument that is not a numpy.ndarray
            (None included).
        ValueError: wrong dimensions, dtype or byte order; requested energies
            outside the reference range; fewer than two reference energies;
            too few matrix columns; read-only ``ref_indices``, ``ref_E_axis``
            or ``requested_E_axis``.
        OverflowError: a ``requested_E_axis`` longer than the int32 column
            indices can address.
        MemoryError: a request whose result cannot be allocated, raised
            before any row is computed.
    """

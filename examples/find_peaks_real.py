"""The peaks of the measured HPGe spectra: SNIP continuum, search, local fits.

Run: .venv/bin/python examples/find_peaks_real.py [FILE.spe ...]

For each spectrum (default: the HPGe files of ../shared/data/spectra, or
$TARVIX_SPECTRA):
1. its resolution: a first search with the FWHM law of the 1110C detector
   (sqrt(0.514 + 1.715e-3 E + 2.97e-7 E^2) keV), local Gaussian fits of the
   strongest isolated peaks, and FWHM^2 = a + b E fitted to their widths;
2. snip_continuum_cy and find_peaks_cy with that resolution (in channels);
3. a local fit_peaks_cy fit of every region of found peaks (Poisson,
   Gaussians with steps on a linear background, +-3 FWHM beyond the outer
   peaks), which tells how many of them a fit puts below 3 sigma;
4. a picture of the spectrum, its continuum and the peaks:
   demo_output/peaks_<file>.png.
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from spe import HPGE_FILES, read_spe, spectra_folder  # noqa: E402

from tarvix.utils.numerics.cython.fitting import fit_peaks_cy  # noqa: E402
from tarvix.utils.numerics.cython.peaks import find_peaks_cy, snip_continuum_cy  # noqa: E402

OUTPUT = Path(__file__).resolve().parent.parent / "demo_output"
SIGMA_PER_FWHM = 1.0 / np.sqrt(8.0 * np.log(2.0))
LAW_1110C = (0.514, 1.715e-3, 2.97e-7)


def fwhm_channels(spectrum, law):
    """The FWHM law (keV^2 polynomial in E) in channels at every channel."""
    energy = spectrum.energy()
    kev_per_channel = np.gradient(energy)
    a, b, c = law
    return np.sqrt(np.maximum(a + b * energy + c * energy**2, 1e-6)) / kev_per_channel


def regions(positions, fwhm, n):
    """Groups of peaks closer than 6 FWHM, each with its channel range +-3 FWHM beyond its outer peaks."""
    groups, current = [], []
    for k, p in enumerate(positions):
        if current and p - positions[current[-1]] > 6.0 * fwhm[int(p)]:
            groups.append(current)
            current = []
        current.append(k)
    if current:
        groups.append(current)
    out = []
    for g in groups:
        lo = max(0, int(positions[g[0]] - 3.0 * fwhm[int(positions[g[0]])]))
        hi = min(n, int(positions[g[-1]] + 3.0 * fwhm[int(positions[g[-1]])]) + 1)
        out.append((g, lo, hi))
    return out


def local_fits(y, found, fwhm):
    """Area, area error, fitted sigma (channels) and status of every found peak, fitted by region."""
    n = len(y)
    K = len(found.position)
    area, error, sigma, status = np.full(K, np.nan), np.full(K, np.nan), np.full(K, np.nan), np.full(K, -1)
    for group, lo, hi in regions(found.position, fwhm, n):
        x = np.arange(lo, hi, dtype=float)
        basis = np.column_stack([np.ones(hi - lo), (x - x.mean()) / (hi - lo)])
        start, lower, upper = [], [], []
        for k in group:
            s = found.width[k] * SIGMA_PER_FWHM
            start += [max(found.net[k], 1.0) / (s * np.sqrt(2 * np.pi)), found.position[k], s * s, 0.0]
            lower += [0.0, found.position[k] - found.width[k], 0.25 * s * s, 0.0]
            upper += [np.inf, found.position[k] + found.width[k], 4.0 * s * s, np.inf]
        level = max(float(np.median(y[lo:hi])), 1.0)
        start += [level, 0.0]
        lower += [0.0, -np.inf]
        upper += [np.inf, np.inf]
        result = fit_peaks_cy(x, y[None, lo:hi], np.array(start), basis, np.array(lower), np.array(upper),
                              steps=True)
        area[group] = result.areas[0]
        error[group] = result.area_errors[0]
        sigma[group] = np.sqrt(result.params[0, 2:4 * len(group):4])
        status[group] = result.status[0]
    return area, error, sigma, status


def resolution(spectrum):
    """FWHM^2 = a + b E (keV) from the strongest isolated peaks of a first search."""
    y = spectrum.counts
    first = fwhm_channels(spectrum, LAW_1110C)
    found = find_peaks_cy(y[None, :], first, 10.0)
    strong = np.argsort(found.significance)[::-1]
    chosen = []
    for k in strong:
        p = found.position[k]
        if all(abs(p - found.position[j]) > 6.0 * first[int(p)] for j in range(len(found.position)) if j != k):
            chosen.append(k)
        if len(chosen) == 15:
            break
    if len(chosen) < 4:
        return LAW_1110C
    chosen = sorted(chosen, key=lambda k: found.position[k])
    sub = type(found)((np.array([0, len(chosen)]), found.position[chosen], found.significance[chosen],
                       found.net[chosen], found.width[chosen]))
    _, _, sigma, status = local_fits(y, sub, first)
    ok = (status == 0) & np.isfinite(sigma)
    energy = spectrum.energy(found.position[chosen][ok])
    kev = np.gradient(spectrum.energy())[found.position[chosen][ok].astype(int)]
    width2 = (sigma[ok] / SIGMA_PER_FWHM * kev) ** 2
    a, b = np.polynomial.polynomial.polyfit(energy, width2, 1)
    if a <= 0 or b <= 0:
        return LAW_1110C
    return (a, b, 0.0)


def analyse(path, output=OUTPUT):
    spectrum = read_spe(path)
    if spectrum.calibration is None:
        print(f"{path.name}: no energy calibration, skipped")
        return None
    y = spectrum.counts
    law = resolution(spectrum)
    fwhm = fwhm_channels(spectrum, law)
    smoothing = max(1, round(float(np.mean(fwhm)) / 4))  # as find_peaks_cy's own continuum
    continuum = snip_continuum_cy(y[None, :], 2.0 * fwhm, smoothing)
    found = find_peaks_cy(y[None, :], fwhm, 4.0, continuum)
    area, error, _, status = local_fits(y, found, fwhm)
    with np.errstate(invalid="ignore", divide="ignore"):
        significance = area / error
    below = int(np.sum(~(significance >= 3.0)))
    energy = spectrum.energy(found.position)
    name = path.stem.replace(" ", "_")[:40]
    print(f"{path.name[:48]:48s} {len(y):6d} ch  FWHM at 1332 keV {np.sqrt(law[0] + law[1] * 1332 + law[2] * 1332**2):.2f} keV"
          f"  peaks {len(found.position):4d}  below 3 sigma by a local fit {below:3d}"
          f"  (in fits that did not converge: {int(np.sum(status != 0))})")

    output.mkdir(exist_ok=True)
    e_axis = spectrum.energy()
    fig, axes = plt.subplots(3, 1, figsize=(14, 12))
    top = e_axis[-1]
    for ax, (lo, hi) in zip(axes, ((0.0, top / 3), (top / 3, 2 * top / 3), (2 * top / 3, top))):
        sel = (e_axis >= lo) & (e_axis < hi)
        ax.step(e_axis[sel], y[sel], where="mid", lw=0.5, color="k", label="counts")
        ax.plot(e_axis[sel], continuum[0][sel], lw=1.0, color="tab:blue", label=f"SNIP continuum (2 FWHM, smoothing {smoothing})")
        k = (energy >= lo) & (energy < hi)
        weak = k & ~(significance >= 3.0)
        ax.plot(energy[k & ~weak], y[np.round(found.position[k & ~weak]).astype(int)] * 1.3, "v", color="tab:red",
                ms=4, label="peak found")
        ax.plot(energy[weak], y[np.round(found.position[weak]).astype(int)] * 1.3, "v", color="tab:orange", ms=4,
                label="found, below 3 sigma in a local fit")
        ax.set_yscale("log")
        ax.set_xlim(lo, hi)
        ax.set_ylim(max(0.5, float(np.min(continuum[0][sel])) * 0.3), float(np.max(y[sel])) * 3 + 1)
        ax.set_xlabel("energy (keV)")
        ax.set_ylabel("counts per channel")
    axes[0].legend(loc="upper right")
    axes[0].set_title(f"{path.name}: {len(found.position)} peaks at significance >= 4, {below} below 3 sigma "
                      "by a local fit")
    fig.tight_layout()
    picture = output / f"peaks_{name}.png"
    fig.savefig(picture, dpi=90)
    plt.close(fig)
    return {"file": path.name, "peaks": len(found.position), "below_3_sigma": below, "picture": str(picture)}


def main(paths):
    if not paths:
        folder = spectra_folder()
        if folder is None:
            print("no measured spectra here (set TARVIX_SPECTRA to the folder of .spe files)")
            return
        paths = [folder / name for name in HPGE_FILES]
    for path in paths:
        analyse(Path(path))


if __name__ == "__main__":
    main(sys.argv[1:])

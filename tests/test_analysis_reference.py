"""The whole-spectrum analysis written with fit_peaks_cy (bench/analysis_reference.py) and the
example built on it: lines found against a known truth, multiplets whose members vanish,
shoulders, and the example on the measured spectra where they are present."""

import contextlib
import importlib.util
import io
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.special import ndtr

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))
import analysis as measures  # noqa: E402
import analysis_reference as ar  # noqa: E402
import hpge  # noqa: E402
from spe import HPGE_FILES, spectra_folder  # noqa: E402

SIGMA_PER_FWHM = ar.SIGMA_PER_FWHM


def flat_spectrum(lines, level=200.0, n=400, width=0.5, fwhm=2.0, seed=3):
    """Counts on a flat continuum with Gaussian lines (energy, counts); edges, counts, fwhm."""
    x = np.arange(n + 1) * width
    mean = np.full(n, level)
    for e, counts in lines:
        mean += counts * np.diff(ndtr((x - e) / (fwhm * SIGMA_PER_FWHM)))
    y = np.random.default_rng(seed).poisson(mean).astype(np.float64)
    return x, y, np.full(n, fwhm)


@pytest.fixture(scope="module")
def simulated():
    sim = hpge.simulate(4, 11)
    tables = [ar.analyse(sim.edges, y, sim.fwhm_kev).arrays() for y in sim.counts]
    return sim, tables


def test_simulated_lines_found_and_areas(simulated):
    sim, tables = simulated
    found = strong = false = 0
    pulls = []
    for truth, table in zip(sim.truth, tables):
        m = measures.match(table["energy"], truth["energy"], truth["fwhm"])
        clear = (truth["significance"] > 10) & (truth["kind"] != hpge.DOUBLET) & \
            ((truth["energy"] < 505) | (truth["energy"] > 517))
        strong += clear.sum()
        found += sum(i in m for i in np.nonzero(clear)[0])
        false += len(table["energy"]) - len(m)
        pulls += [(table["area"][j] - truth["counts"][i]) / table["area_error"][j] for i, j in m.items()]
        # The table's layout: ascending energy, finite errors, significance = area / error.
        assert np.all(np.diff(table["energy"]) > 0)
        assert np.all(np.isfinite(table["area_error"]) & (table["area_error"] > 0))
        np.testing.assert_allclose(table["significance"], table["area"] / table["area_error"])
        assert np.all(table["significance"] >= 4.0)
        assert np.all(table["background"] > 0)
    assert found >= 0.97 * strong
    assert false <= 3 * len(tables)
    # Gaussian fits of tailed peaks come out a little short; the pulls stay near 0 and 1.
    assert abs(np.median(pulls)) < 0.6
    assert 0.7 < measures.robust_width(np.array(pulls)) < 1.5


def test_vanished_member_keeps_the_others_errors():
    # A candidate beside a strong line where there is nothing: its amplitude goes to 0,
    # and the strong line's area keeps a finite error and its counts.
    x, y, fwhm = flat_spectrum([(100.0, 20000.0)])
    centres = 0.5 * (x[1:] + x[:-1])
    lo, hi = np.searchsorted(centres, [90.0, 112.0])
    edges = x[lo:hi + 1]
    peaks = [ar.Peak(100.0, 20000.0, 100.0), ar.Peak(102.0, 300.0, 3.5)]
    fit, _ = ar.analyse_region(edges, y[lo:hi], np.full(hi - lo, 200.0), peaks,
                               lambda e: np.full_like(np.asarray(e, float), 2.0), 4.0)
    assert len(fit.peaks) == 1
    assert np.isfinite(fit.area_errors[0])
    assert abs(fit.areas[0] - 20000.0) < 5 * fit.area_errors[0]


@pytest.mark.parametrize("separation, ratio", [(1.0, 0.25), (0.8, 1.0)])
def test_second_member_found(separation, ratio):
    # The search sees one peak; the residual search or the blend test finds the other.
    lines = [(100.0, 20000.0), (100.0 + separation * 2.0, 20000.0 * ratio)]
    x, y, fwhm = flat_spectrum(lines)
    table = ar.analyse(x, y, fwhm).arrays()
    m = measures.match(table["energy"], np.array([e for e, _ in lines]), np.full(2, 2.0))
    assert len(m) == 2, table["energy"]
    for i, j in m.items():
        assert abs(table["area"][j] - lines[i][1]) < 5 * table["area_error"][j]


@pytest.mark.parametrize("y", [np.zeros(300), np.full(300, np.nan), np.full(300, 100.0), np.zeros(0)])
def test_spectra_without_peaks(y):
    x = np.arange(len(y) + 1) * 0.5
    table = ar.analyse(x, y, np.full(len(y), 2.0)).arrays()
    assert len(table["energy"]) == 0


def load_example():
    spec = importlib.util.spec_from_file_location("example_analyse_spectrum", ROOT / "examples" / "analyse_spectrum.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def test_example_simulated(tmp_path):
    pytest.importorskip("matplotlib")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        table, truth, matched = load_example().main(["--output", str(tmp_path)])
    assert (tmp_path / "analysis_simulated.png").stat().st_size > 10000
    clear = np.nonzero(truth["significance"] > 10)[0]
    assert sum(i in matched for i in clear) >= 0.9 * len(clear)
    assert "K-40" in out.getvalue()


@pytest.mark.skipif(spectra_folder() is None, reason="the measured spectra are absent")
def test_example_real_spectrum(tmp_path):
    pytest.importorskip("matplotlib")
    example = load_example()
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        table, names = example.main([str(spectra_folder() / HPGE_FILES[0]), "--output", str(tmp_path)])
    text = out.getvalue()
    # The stored calibration is 1.0 keV high at 2614 keV; refined, the line lands within 0.3 keV.
    tl = np.argmin(np.abs(table["energy"] - 2614.5))
    assert abs(table["energy"][tl] - 2614.51) < 0.3
    for line in ("K-40", "Tl-208", "Bi-214", "Pb-214", "Ac-228", "Pb Ka1", "annihilation"):
        assert line in names or any(line in n for n in names), line
    assert "resolution: FWHM^2" in text

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


def test_a_doublet_with_a_member_between_keeps_its_pair():
    # A 1:2 pair 0.7 FWHM apart and three candidates over it (the search's flanks): the
    # pair stands at the end.
    lines = [(100.0, 6000.0), (101.4, 3000.0)]
    x, y, fwhm = flat_spectrum(lines, seed=4)
    centres = 0.5 * (x[1:] + x[:-1])
    lo, hi = np.searchsorted(centres, [93.0, 109.0])
    peaks = [ar.Peak(99.0, 800.0, 9.0), ar.Peak(100.5, 8000.0, 40.0), ar.Peak(101.7, 900.0, 11.0)]
    fit, _ = ar.analyse_region(x[lo:hi + 1], y[lo:hi], np.full(hi - lo, 200.0), peaks,
                               lambda e: np.full_like(np.asarray(e, float), 2.0), 4.0)
    assert fit is not None and len(fit.peaks) == 2
    mu = np.sort(fit.params[1:8:4])
    np.testing.assert_allclose(mu, [100.0, 101.4], atol=0.4)


@pytest.mark.parametrize("centres, significance, drop", [
    # Three members of one blend, each far below as they share the counts: only the least.
    ([100.0, 101.4, 102.9], [1.0, 1.9, 1.5], [0]),
    # Far below and apart (more than 1.5 FWHM): together.
    ([100.0, 104.0, 110.0], [1.0, 30.0, 1.5], [0, 2]),
    # The least's neighbour stays, the one beyond its reach goes with it.
    ([100.0, 101.0, 104.5, 108.0], [1.2, 0.5, 1.9, 20.0], [1, 2]),
    # Near the threshold: the least significant alone.
    ([100.0, 110.0], [3.0, 3.5], [0]),
    ([100.0, 110.0], [30.0, 35.0], []),
])
def test_prune_sets(centres, significance, drop):
    k = len(centres)
    params = np.zeros(4 * k + 2)
    params[0:4 * k:4] = 1.0
    params[1:4 * k:4] = centres
    covariance = np.eye(4 * k + 2)
    areas = np.array(significance) * 10.0
    fit = ar.RegionFit([None] * k, params, covariance, areas, np.full(k, 10.0), 0, 0.0)
    assert ar._prune(fit, 4.0, lambda e: 2.0) == drop


@pytest.mark.parametrize("mu, f", [(100.0, 2.0), (97.3, 1.0), (0.2, 3.0)])
def test_misfit_is_the_local_poisson_deviance(mu, f):
    # The deviance 2 (log L(y | y) - log L(y | m)) of the channels within the reach, from
    # scipy's Poisson log-pmf, as a z-score.
    from scipy.stats import poisson
    rng = np.random.default_rng(2)
    edges = np.arange(201) * 0.5
    total = rng.uniform(0.5, 50.0, 200)
    y = rng.poisson(total * rng.uniform(0.7, 1.4, 200)).astype(float)
    c = 0.5 * (edges[1:] + edges[:-1])
    near = np.abs(c - mu) <= ar.MISFIT_REACH * f
    d = 2.0 * (poisson.logpmf(y[near], y[near]) - poisson.logpmf(y[near], total[near]))
    expected = (d.sum() - near.sum()) / np.sqrt(2.0 * near.sum())
    np.testing.assert_allclose(ar._misfit(edges, y, total, mu, f), expected, rtol=1e-10)

"""The shape calibration of examples/shape_calibration.py: its region fits against a
model evaluated independently, its curves against a simulator's known tails, and the
measured spectra where they are present."""

import contextlib
import importlib.util
import io
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.optimize import minimize

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))
import hpge  # noqa: E402
from spe import HPGE_FILES, spectra_folder  # noqa: E402


def load(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


sc = load("shape_calibration")
SIGMA_PER_FWHM = sc.SIGMA_PER_FWHM


def quiet(f, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()):
        return f(*args, **kwargs)


# ---------------------------------------------------------------- one region against NumPy

def single_peak(counts, t, tau, level=50.0, seed=5, fwhm=2.0, energy=200.0):
    """Edges (0.5 keV channels), Poisson counts of one tailed peak on a flat continuum, the
    region around it and the expected counts."""
    x = np.arange(801) * 0.5
    sigma = fwhm * SIGMA_PER_FWHM
    w = (x - energy) / sigma
    mean = level + counts * np.diff(hpge.peak_cdf(w, t, tau))
    y = np.random.default_rng(seed).poisson(mean).astype(np.float64)
    lo, hi = np.searchsorted(x, [energy - 6 * fwhm, energy + 3 * fwhm])
    region = sc.Region(energy, fwhm, 100.0, counts, level, int(lo), int(hi))
    return x, y, region, mean


def model_counts(edges, area, mu, v, h, t, tau, b0, b1, e0, fwhm):
    """The region's model, integrated per channel with hpge's closed forms: a peak of
    `area` counts with its tail, a step of height h (per unit x) and the straight background."""
    s = np.sqrt(v)
    w = (edges - mu) / s
    c = 0.5 * (edges[1:] + edges[:-1])
    peak = area * np.diff(hpge.peak_cdf(w, t, tau))
    step = h * s * -np.diff(hpge.step_integral(w))
    return peak + step + b0 + b1 * (c - e0) / (4.5 * fwhm)


def deviance(y, mu):
    safe = np.where(y > 0, y, 1.0)
    return 2 * np.sum(mu - y + np.where(y > 0, y * np.log(safe / mu), 0.0))


@pytest.mark.parametrize("tails, held", [(0, None), (1, None), (1, (0.3, 0.6))])
def test_region_deviance_is_the_models(tails, held):
    # The deviance a region fit reports is the one of its own parameters through an
    # independent evaluation of the model: the held tail is where it is meant to be.
    x, y, region, _ = single_peak(2e5, 0.3, 0.6)
    fit = sc.fit_region(x, y, region, tails, held)
    assert fit is not None and fit.status == 0
    edges = x[region.lo:region.hi + 1]
    t, tau = (fit.t, fit.tau) if tails else (0.0, 1.0)
    if held is not None:
        assert (fit.t, fit.tau) == held
    # Area, centroid and tail held at the fit's values, SciPy frees the width, step and
    # background: it cannot do better than the fit, which freed them all, and finds the
    # same minimum.
    yy = y[region.lo:region.hi]

    def objective(p):
        v, h, b0, b1 = p
        if v <= 0:
            return np.inf
        mu = model_counts(edges, fit.area, fit.energy, v, h, t, tau, b0, b1, region.energy, region.fwhm)
        return deviance(yy, mu) if np.all(mu > 0) else np.inf

    v0 = (region.fwhm * SIGMA_PER_FWHM) ** 2
    best = minimize(objective, [v0, 0.0, region.level, 0.0], method="Nelder-Mead",
                    options={"xatol": 1e-8, "fatol": 1e-8, "maxfev": 20000})
    assert best.fun >= fit.deviance - 1e-3
    assert best.fun == pytest.approx(fit.deviance, abs=0.05)


@pytest.mark.parametrize("t, tau", [(0.12, 0.78), (0.6, 0.5)])
def test_free_tail_of_a_strong_peak(t, tau):
    # 10^6 counts: the free tail is determined to a few percent; its error covers it.
    x, y, region, _ = single_peak(1e6, t, tau, seed=9)
    fit = sc.fit_region(x, y, region, 1)
    assert fit.status == 0
    assert abs(fit.t - t) < max(5 * fit.t_error, 0.02)
    assert abs(fit.tau - tau) < max(5 * fit.tau_error, 0.03)
    assert abs(fit.area - 1e6) < 5 * fit.area_error
    # The Gaussian fit of the same peak misses the tail: a much larger deviance.
    gauss = sc.fit_region(x, y, region, 0)
    assert gauss.deviance > fit.deviance + 100


def test_hessian_of_a_quadratic():
    a = np.array([[4.0, 1.0, 0.5], [1.0, 3.0, -0.2], [0.5, -0.2, 2.0]])

    def f(p):
        return 0.5 * p @ a @ p + p.sum()

    np.testing.assert_allclose(sc._hessian(f, np.array([0.3, -0.1, 0.2]), np.array([1e-2, 2e-2, 1e-2])), a,
                               rtol=1e-6)


@pytest.mark.parametrize("linear", [True, False])
def test_curves_flat_beyond_the_range(linear):
    t = (0.1, 0.3) if linear else (0.2, 0.2)
    tau = (0.9, 0.5) if linear else (0.7, 0.7)
    # A constant's one value is both ends: its covariance block is all one variance.
    cov = np.diag([1e-4, 4e-4, 1e-2, 4e-2]) if linear else np.kron(np.diag([1e-4, 1e-2]), np.ones((2, 2)))
    cal = sc.ShapeCalibration(100.0, 2100.0, t, tau, cov, (linear, linear), 0.0, 0.0, 0)
    e = np.array([0.0, 100.0, 1100.0, 2100.0, 3000.0])
    tt, uu = cal(e)
    np.testing.assert_allclose(tt, np.interp(e, [100.0, 2100.0], t))
    np.testing.assert_allclose(uu, np.interp(e, [100.0, 2100.0], tau))
    te, ue = cal.errors(e)
    if linear:
        # Halfway, the two independent ends average: sqrt(a + b) / 2.
        np.testing.assert_allclose(te, [1e-2, 1e-2, np.sqrt(5e-4) / 2, 2e-2, 2e-2])
        np.testing.assert_allclose(ue, [0.1, 0.1, np.sqrt(5e-2) / 2, 0.2, 0.2])
    else:
        np.testing.assert_allclose(te, 1e-2)
        np.testing.assert_allclose(ue, 0.1)
    tails = cal.at(np.array([50.0, 1100.0]))
    assert tails.shape == (2, 2) and tails.flags.c_contiguous


# ---------------------------------------------------------------- the simulator's tails recovered

@pytest.fixture(scope="module", params=[30.0, 1000.0])
def simulated(request):
    # The background lines at 30 and 1000 times the 1110C background's counts: K-40 has
    # 1.5e5 and 5e6 counts. The simulator's t goes 0.12 -> 0.32 and tau 0.80 -> 0.60 over
    # 0 ... 3 MeV; at 30 times the peaks cannot tell that slope from a constant (the
    # summed deviance at the true curves is within a few units of the best constant's).
    sim = hpge.simulate(1, 7, scale=(request.param, request.param), weak=0, doublets=0)
    cal, rows = quiet(sc.calibrate, sim.edges, sim.counts[0], sim.fwhm_kev)
    return request.param, sim, cal, rows


def test_simulated_tails_recovered(simulated):
    scale, sim, cal, _ = simulated
    assert cal is not None
    assert cal.low < 100.0 and cal.high > 2500.0
    e = np.linspace(cal.low, cal.high, 9)
    t, tau = cal(e)
    true_t, true_tau = hpge.tail_parameters(e)
    te, ue = cal.errors(e)
    assert np.all((te > 0) & (ue > 0) & (te < 0.1) & (ue < 0.1))
    # Within four of its own standard errors (and a margin for the straight lines' misfit).
    assert np.all(np.abs(t - true_t) < 4 * te + 0.02), (t, true_t, te)
    assert np.all(np.abs(tau - true_tau) < 4 * ue + 0.02), (tau, true_tau, ue)
    if scale >= 1000:
        # With enough counts the slope is found, both curves straight.
        assert cal.model == (True, True)
        assert np.all(np.abs(t - true_t) < 0.05) and np.all(np.abs(tau - true_tau) < 0.05)
    # The curves cannot fit worse than the truth by more than their penalty allows.
    low, high = cal.low, cal.high
    regions = [r for r in sc.isolated_regions(sim.edges, sim.counts[0], sim.fwhm_kev, 10.0)
               if any(abs(r.energy - f.energy) < 0.5 for f in cal.peaks if f is not None)]
    truth = [*hpge.tail_parameters(low), *hpge.tail_parameters(high)]
    at_truth = sc._held_deviance(sim.edges, sim.counts[0], regions, [truth[0], truth[2], truth[1], truth[3]],
                                 low, high, (True, True))
    assert cal.deviance < at_truth + 6.6 * 2
    # Held tails fit the calibration peaks better than Gaussians.
    assert cal.deviance < cal.gaussian_deviance - 100


def test_simulated_other_peaks(simulated):
    scale, sim, cal, rows = simulated
    assert len(rows) >= 3
    used = [f.energy for f in cal.peaks if f is not None]
    truth = sim.truth[0]
    for e, g, h in rows:
        assert min(abs(e - u) for u in used) > 1.0
        k = np.argmin(np.abs(truth["energy"] - e))
        # Gaussians miss the tail's counts; held tails recover them.
        assert abs(h.area / truth["counts"][k] - 1) < max(5 * h.area_error / h.area, 0.01)
        assert h.area > g.area
    if scale >= 1000:
        assert sum(h.deviance for *_, h in rows) < sum(g.deviance for _, g, _ in rows) - 20


def test_simulated_analysis_with_calibrated_tails(simulated, tmp_path):
    pytest.importorskip("matplotlib")
    scale, sim, cal, _ = simulated
    table, _ = quiet(sc.report.analyse_and_report, sim.edges, sim.counts[0], sim.fwhm_kev, 4.0, tmp_path,
                     "shape", cal.at(sim.centres))
    truth = sim.truth[0]
    strong = truth[(truth["counts"] > 2e4) & (np.abs(truth["energy"] - 511.0) > 10)]
    assert len(strong) >= 5
    for line in strong:
        j = np.argmin(np.abs(table["energy"] - line["energy"]))
        assert abs(table["energy"][j] - line["energy"]) < 0.3 * line["fwhm"]
        # Held at the calibrated shape, strong areas land within 3 % of the truth.
        assert abs(table["area"][j] / line["counts"] - 1) < 0.03, (line["energy"], table["area"][j], line["counts"])


# ---------------------------------------------------------------- the measured spectra

needs_spectra = pytest.mark.skipif(spectra_folder() is None, reason="the measured spectra are absent")


@needs_spectra
def test_background_1110c_calibration(tmp_path):
    pytest.importorskip("matplotlib")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        cal, rows, table, names = sc.main([str(spectra_folder() / HPGE_FILES[0]), "--output", str(tmp_path)])
    text = out.getvalue()
    assert cal is not None and len([f for f in cal.peaks if f is not None]) >= 8
    e = np.linspace(cal.low, cal.high, 5)
    t, tau = cal(e)
    assert np.all((t >= 0) & (t < 1.0)) and np.all((tau > 0.1) & (tau < 3.0))
    assert cal.deviance < cal.gaussian_deviance
    assert len(rows) >= 5
    assert "tails held" in text and "common lines found" in text
    for line in ("K-40", "Tl-208", "Bi-214", "Pb-214", "Pb Ka1"):
        assert any(line in n for n in names), line


@needs_spectra
def test_mendocino_k40_tail():
    # The K-40 peak (1.8e5 counts): one free tail takes its deviance/dof from about 8.5
    # to about 1.8 (README, "Peak shapes with tails").
    from spe import read_spe
    path = spectra_folder() / "Mendocino_07-10-13_Acq-10-10-13.Spe"
    spe = read_spe(path)
    x, y = spe.edges(), spe.counts
    fwhm = np.full(len(y), 1.9)
    k = int(np.argmin(np.abs(0.5 * (x[1:] + x[:-1]) - 1460.8)))
    # Find the line's channel from the data itself: the stored calibration is approximate.
    k = k - 30 + int(np.argmax(y[k - 30:k + 30]))
    e0 = 0.5 * (x[k] + x[k + 1])
    lo, hi = np.searchsorted(x, [e0 - 6 * 1.9, e0 + 3 * 1.9])
    region = sc.Region(e0, 1.9, 400.0, float(y[lo:hi].sum()), float(np.median(y[lo - 40:lo])), int(lo), int(hi))
    gauss, free = sc.fit_region(x, y, region, 0), sc.fit_region(x, y, region, 1)
    assert gauss.deviance_per_dof > 5.0
    assert free.deviance_per_dof < 2.5
    assert 0.05 < free.t < 0.4 and 0.3 < free.tau < 1.5
    assert abs(free.area / gauss.area - 1) < 0.02


@needs_spectra
@pytest.mark.parametrize("name", HPGE_FILES)
def test_every_hpge_file_with_shape(name, tmp_path):
    # analyse_spectrum.py FILE --shape, as a user runs it: the tails calibrated where the
    # spectrum has enough strong isolated peaks, then the whole spectrum analysed.
    pytest.importorskip("matplotlib")
    example = load("analyse_spectrum")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        table, names = example.main([str(spectra_folder() / name), "--shape", "--output", str(tmp_path)])
    text = out.getvalue()
    assert "resolution: FWHM^2" in text
    assert np.all(np.diff(table["energy"]) > 0)
    assert np.all(table["status"] != 3)
    for energy in (1460.82, 2614.51):
        j = np.argmin(np.abs(table["energy"] - energy))
        assert abs(table["energy"][j] - energy) < 0.5, energy
    if "shape calibration on" in text:
        assert "tails held" in text
        taken = text.split("taken (least deviance + 6.6 per parameter): ")[1].splitlines()[0]
        t = float(taken.split("t = ")[1].split()[0].rstrip(","))
        tau = float(taken.split("tau = ")[1].split()[0].rstrip(","))
        assert 0.0 <= t <= sc.T_MAX and sc.TAU_MIN <= tau <= sc.TAU_MAX


# ---------------------------------------------------------------- the example's preparation of a file

@pytest.mark.parametrize("scale", [0.1, 1.0])
def test_resolution_of_a_short_measurement(scale):
    # At a tenth of the 1110C background's counts (Alcatraz14 has about that many) no
    # isolated peak reaches 30 sigma; the resolution comes from weaker ones. Gaussian fits
    # of the tailed peaks come out a few percent wide.
    report = sc.report
    sim = hpge.simulate(1, 3, scale=(scale, scale), weak=0, doublets=0)
    coef, fwhm = report.fit_resolution(sim.edges, sim.counts[0], np.sqrt(1.0 + 2.5e-3 * sim.centres))
    assert coef is not None
    e = np.array([300.0, 700.0, 1332.5, 2600.0])
    ratio = np.interp(e, sim.centres, fwhm) / hpge.fwhm_kev(e)
    assert np.all(np.abs(ratio - 1) < 0.1), ratio


@pytest.mark.parametrize("first, expected", [(0, 0), (30, 30 + 16), (95, 99)])
def test_above_discriminator(first, expected):
    # Empty channels up to the threshold, then counts: the analysis starts 8 FWHM (here
    # 2 channels each) above the first channel with counts, within the spectrum.
    y = np.where(np.arange(100) >= first, 50.0, 0.0)
    assert sc.report.above_discriminator(y, np.full(100, 2.0)) == expected

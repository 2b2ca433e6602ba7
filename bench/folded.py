"""Fitting lines through the detector response (fit_folded_cy).

python bench/folded.py [--reps N] [--seeds N] [--quick]

On the demo's problem (examples/gamma_spectrum.py: 990 channels, five lines
on a smooth continuum, measured through the resampled response):

1. Coverage: each line's pull (area - truth) / error on each of 20 seeds of
   the measured spectrum, and the spread of each line's area over the seeds
   against the mean of its fitted errors. Targets: every pull within +-3,
   spread / error within 0.7-1.4.
2. Time: one fit against the demo's bootstrap (32 replicas through
   ML_EM_converge_cy) and against one ML_EM_converge_cy call on the
   measured spectrum. Targets: at most 1/100 and 1/10 of them.
3. Peers on the same deviance, the model folded by scipy.sparse:
   scipy.optimize.least_squares on the deviance residuals with a numerical
   Jacobian, and iminuit (MIGRAD then HESSE). Both must reach the same
   optimum (parameters within 1e-5 relative) before they are timed.
   Target: at least 50x faster than each.
4. A stack of 32 spectra through one response. Target: per spectrum at most
   1/4 of one spectrum's fit.

The background is the demo's: a Bernstein basis of degree 5 in energy over
the axis, coefficients >= 0: smooth, and not the simulation's exponential. Results go
to bench/folded.json.
"""

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np
import scipy.optimize

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))
import gamma_spectrum as demo  # noqa: E402
from run import best_time, cpu_name  # noqa: E402

from tarvix.utils.numerics.cython.fitting import fit_folded_cy  # noqa: E402
from tarvix.utils.numerics.cython.unfolding import ML_EM_converge_cy  # noqa: E402

DEMO_SEED = 2026


def start_and_bounds(basis):
    """Lines at their nominal (rounded) energies with 10 % too many counts,
    a flat start for the continuum; counts and coefficients >= 0."""
    start = []
    for _, line, counts in demo.LINES:
        start += [1.1 * counts, float(round(line))]
    start = np.array(start + [1.0] * basis.shape[1])
    lower = np.full(len(start), -np.inf)
    lower[0:2 * len(demo.LINES):2] = 0.0
    lower[2 * len(demo.LINES):] = 0.0
    return start, lower


class FoldedPeer:
    """The folded model and deviance as a user writes them with scipy.sparse."""

    def __init__(self, energy, matrix, basis, y):
        self.energy, self.matrix_t, self.basis, self.y = energy, matrix.T.tocsr(), basis, y
        self.lines = len(demo.LINES)

    def mean(self, p):
        source = self.basis @ p[2 * self.lines:]
        for k in range(self.lines):
            # Each line split between the bins around it, as the demo's
            # simulation places it.
            demo.deposit(source, self.energy, float(p[2 * k + 1]), float(p[2 * k]))
        return self.matrix_t @ source + 1e-12

    def terms(self, p):
        mu, y = self.mean(p), self.y
        return 2.0 * np.where(y > 0, mu - y + y * np.log(np.where(y > 0, y, 1.0) / np.maximum(mu, 1e-300)), mu)

    def deviance(self, p):
        return float(self.terms(p).sum())

    def residuals(self, p):
        mu = self.mean(p)
        return np.sign(self.y - mu) * np.sqrt(np.maximum(self.terms(p), 0.0))


def least_squares_fit(peer, start, lower):
    # The three-point Jacobian: with two points the fit stops 1e-5 short of
    # the optimum on this problem.
    fit = scipy.optimize.least_squares(peer.residuals, start, jac="3-point", bounds=(lower, np.inf),
                                       x_scale="jac", xtol=1e-12, ftol=1e-12, gtol=1e-12)
    return fit.x


def minuit_fit(peer, start, lower):
    from iminuit import Minuit

    minuit = Minuit(peer.deviance, start)
    minuit.errordef = Minuit.LEAST_SQUARES
    minuit.limits = [(low if np.isfinite(low) else None, None) for low in lower]
    minuit.tol = 1e-6
    minuit.strategy = 2
    minuit.migrad()
    minuit.hesse()
    return np.array(minuit.values)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--quick", action="store_true", help="fewer seeds and no bootstrap timing")
    options = parser.parse_args(argv)
    seeds = 4 if options.quick else options.seeds

    problem = demo.build_problem(0.003, 1024)
    energy, response, matrix, mean = problem.energy, problem.response, problem.matrix, problem.mean
    basis = demo.continuum_basis(energy)
    start, lower = start_and_bounds(basis)
    truth = np.array([counts for _, _, counts in demo.LINES])
    names = [f"{name} {line:.0f}" for name, line, _ in demo.LINES]
    # The demo's own seed and the ones after it.
    Y = np.array([np.random.default_rng(DEMO_SEED + seed).poisson(mean).astype(np.float64)
                  for seed in range(seeds)])
    n = len(energy)
    cpu = cpu_name()
    print(f"fit_folded_cy on the demo's problem: {n} channels, {len(response[2])} entries, "
          f"{len(demo.LINES)} lines, Bernstein background of degree {demo.CONTINUUM_DEGREE}; CPU {cpu}")

    # 1. Coverage over the seeds.
    fits = fit_folded_cy(energy, Y, start, *response, basis, lower)
    pulls = (fits.areas - truth) / fits.area_errors
    spread = fits.areas.std(axis=0, ddof=1) / fits.area_errors.mean(axis=0)
    print(f"\n1. coverage over {seeds} seeds (status {np.bincount(fits.status, minlength=4).tolist()}, "
          f"mean deviance/n {fits.objective.mean() / n:.3f})")
    print(f"{'line':>12} {'min pull':>9} {'max pull':>9} {'mean pull':>10} {'spread/error':>13}")
    for k, name in enumerate(names):
        print(f"{name:>12} {pulls[:, k].min():9.2f} {pulls[:, k].max():9.2f} {pulls[:, k].mean():10.2f} "
              f"{spread[k]:13.2f}")
    coverage_met = bool(np.all(np.abs(pulls) <= 3.0) and np.all((spread >= 0.7) & (spread <= 1.4)))
    print(f"   every |pull| <= 3 and spread/error in 0.7-1.4: {'met' if coverage_met else 'NOT met'}")

    # 2. Time against the deconvolution route.
    y = Y[:1]
    t_fit = best_time(lambda: fit_folded_cy(energy, y, start, *response, basis, lower), options.reps)
    sensitivity = np.asarray(matrix.sum(axis=1)).ravel()
    t_converge = best_time(lambda: ML_EM_converge_cy(y, *response, sensitivity), 1 if options.quick else 2)
    replicas = np.random.default_rng(99).poisson(np.maximum(Y[0], 0.0), size=(32, n)).astype(np.float64)
    t_bootstrap = None if options.quick else best_time(
        lambda: ML_EM_converge_cy(replicas, *response, sensitivity), 1)
    print(f"\n2. one fit {t_fit * 1e3:.2f} ms; one ML_EM_converge_cy {t_converge * 1e3:.0f} ms "
          f"(ratio 1/{t_converge / t_fit:.0f}, target 1/10)"
          + ("" if t_bootstrap is None else
             f"; bootstrap of 32 {t_bootstrap * 1e3:.0f} ms (ratio 1/{t_bootstrap / t_fit:.0f}, target 1/100)"))

    # 3. Peers, checked for the same optimum first.
    peer = FoldedPeer(energy, matrix, basis, Y[0])
    native = fits.params[0]
    peer_rows = []
    for label, fit in (("least_squares", least_squares_fit), ("iminuit", minuit_fit)):
        started = time.perf_counter()
        params = fit(peer, start, lower)
        seconds = time.perf_counter() - started
        scale = np.maximum(np.abs(native), 1e-3 * np.abs(native).max())
        agreement = float(np.max(np.abs(params - native)[:2 * len(demo.LINES)] / scale[:2 * len(demo.LINES)]))
        deviances = (peer.deviance(params), peer.deviance(native))
        peer_rows.append(dict(peer=label, seconds=seconds, ratio=seconds / t_fit, agreement=agreement,
                              peer_deviance=deviances[0], native_deviance=deviances[1]))
        print(f"3. {label:>13}: {seconds * 1e3:8.1f} ms, {seconds / t_fit:6.0f}x the fit (target 50x); "
              f"lines within {agreement:.1e} relative; deviance {deviances[0]:.6f} vs native {deviances[1]:.6f}")

    # 4. A stack of 32 through one response.
    stack = np.resize(Y, (32, n))
    t_stack = best_time(lambda: fit_folded_cy(energy, stack, start, *response, basis, lower), options.reps)
    print(f"\n4. 32 spectra in one call: {t_stack / 32 * 1e3:.2f} ms per spectrum, "
          f"{t_stack / 32 / t_fit:.3f} of one fit (target 0.25)")

    results = dict(cpu=cpu, channels=n, entries=int(len(response[2])), seeds=seeds,
                   pulls=pulls.tolist(), spread_over_error=spread.tolist(), coverage_met=coverage_met,
                   fit_s=t_fit, converge_s=t_converge, bootstrap_s=t_bootstrap, peers=peer_rows,
                   stack_per_spectrum_s=t_stack / 32)
    (HERE / "folded.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()

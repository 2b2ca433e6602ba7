"""Stacks of spectra and ML-EM to convergence (the unfolding module).

python bench/stacks.py [--reps N] [--only batch|converge] [--quick]

1. ML_EM_batch_cy on S = 32 spectra of the four ML-EM cases of run.py:
   time per spectrum against a loop of ML_EM_cy over the same stack and
   against SciPy on the whole stack at once (sparse matrix times dense
   matrix), and nanoseconds per stored entry per spectrum per pass; then
   S = 1 .. 64 for one case. Targets: at most a quarter of the loop's time
   per spectrum, and at most 0.15 ns per entry per spectrum per pass on the
   8192-channel cases.
2. ML_EM_converge_cy on the demo's problem (examples/gamma_spectrum.py,
   1024 channels) and on a narrow Gaussian response (4096 channels, FWHM
   0.0006 E^1.5, 40 sharp lines on a smooth background): the
   pass-equivalents it needs for the log-likelihood of 2000, 20000 (and, for
   the demo, 100000) plain passes, within a budget of a tenth of the largest
   plus 2000, and the demo's time with tolerance=0,
   max_passes=1500 against 20000 plain passes. Targets: the demo run reaches
   the log-likelihood of 20000 plain passes within 1500 pass-equivalents in
   at most 1/12 of their time; on the narrow response, at most 1/2.5 of the
   plain passes for the log-likelihood of 2000 plain passes.

Times are minima over alternating repetitions (package, peer; then peer,
package), so that both sides see the same machine. Results go to
bench/stacks.json.
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

import numpy as np
import scipy.sparse

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))
import cases  # noqa: E402
import run  # noqa: E402

from tarvix.utils.numerics.cython import _kernel_probe  # noqa: E402
from tarvix.utils.numerics.cython.deconvolution import ML_EM_cy, build_gaussian_response  # noqa: E402
from tarvix.utils.numerics.cython.unfolding import (  # noqa: E402
    ML_EM_batch_cy, ML_EM_converge_cy, poisson_log_likelihood_cy)

PASSES = 30


def alternate(calls, reps):
    """Minimum time of each call over `reps` rounds, the order reversed every other round."""
    best = [float("inf")] * len(calls)
    for rep in range(reps):
        order = range(len(calls)) if rep % 2 == 0 else reversed(range(len(calls)))
        for i in order:
            start = time.perf_counter()
            calls[i]()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def scipy_stack(Y, offsets, indices, values, sensitivity, iterations):
    """What a SciPy user would write for a stack: the sparse products on all spectra at once."""
    n = Y.shape[1]
    matrix = scipy.sparse.csr_array((values, indices, offsets), shape=(n, n))
    transposed = matrix.T.tocsr()
    divisor = np.where(sensitivity[:n] > 1e-12, sensitivity[:n], 1e-12)[:, None]
    X = np.ones((n, Y.shape[0]))
    Yt = np.ascontiguousarray(Y.T)
    for _ in range(iterations):
        X *= (matrix @ (Yt / (transposed @ X + 1e-12))) / divisor
    return X.T


def stack_case(n, k, spectra, seed=5):
    axis, sigma, y, sensitivity = cases.deconvolution_case(n, k)
    response = build_gaussian_response(axis, sigma)
    rng = np.random.default_rng(seed)
    # Replicas of the case's spectrum: the counting noise of repeated measurements.
    Y = rng.poisson(np.maximum(y, 0.0), size=(spectra, n)).astype(np.float64)
    return Y, response, sensitivity


def batch_rows(reps):
    rows = []
    print("ML_EM_batch_cy, 32 spectra, 30 passes: time per spectrum")
    print(f"{'case':<22} {'batch':>10} {'loop':>10} {'ratio':>6} {'target':>7} {'SciPy stack':>12} "
          f"{'ratio':>6} {'ns/entry/spectrum/pass':>23} {'target':>7}")
    for n in (1024, 8192):
        for k in (0.0005, 0.003):
            Y, response, sensitivity = stack_case(n, k, 32)
            spectra = len(Y)
            batch = lambda: ML_EM_batch_cy(Y, *response, sensitivity, PASSES)
            loop = lambda: [ML_EM_cy(y, *response, sensitivity, PASSES) for y in Y]
            peer = lambda: scipy_stack(Y, *response, sensitivity, PASSES)
            run.assert_close(batch(), np.array(loop()), "batch vs loop")
            run.assert_close(batch(), peer(), "batch vs SciPy")
            big = n == 8192
            t_batch, t_loop, t_peer = alternate([batch, loop, peer], max(2, reps // 2) if big else reps)
            ns = t_batch / (len(response[1]) * spectra * PASSES) * 1e9
            row = dict(n=n, k=k, spectra=spectra, batch_s=t_batch / spectra, loop_s=t_loop / spectra,
                       scipy_s=t_peer / spectra, loop_ratio=t_loop / t_batch, scipy_ratio=t_peer / t_batch,
                       ns_per_entry=ns, loop_target_met=t_loop / t_batch >= 4.0,
                       ns_target_met=None if not big else ns <= 0.15)
            rows.append(row)
            ns_target = "<=0.15" if big else "-"
            print(f"{n} ch, k={k:<10} {run._fmt_time(row['batch_s']):>10} {run._fmt_time(row['loop_s']):>10} "
                  f"{row['loop_ratio']:6.2f} {'>=4':>7} {run._fmt_time(row['scipy_s']):>12} "
                  f"{row['scipy_ratio']:6.2f} {ns:23.3f} {ns_target:>7}", flush=True)
    return rows


def stack_size_rows(reps):
    rows = []
    n, k = 8192, 0.0005
    print(f"\nML_EM_batch_cy by stack size ({n} ch, k={k}, 30 passes): time per spectrum")
    print(f"{'S':>4} {'batch':>10} {'loop':>10} {'ratio':>6}")
    for spectra in (1, 4, 8, 16, 32, 64):
        Y, response, sensitivity = stack_case(n, k, spectra)
        batch = lambda: ML_EM_batch_cy(Y, *response, sensitivity, PASSES)
        loop = lambda: [ML_EM_cy(y, *response, sensitivity, PASSES) for y in Y]
        t_batch, t_loop = alternate([batch, loop], max(2, reps // 2))
        rows.append(dict(spectra=spectra, batch_s=t_batch / spectra, loop_s=t_loop / spectra,
                         ratio=t_loop / t_batch))
        print(f"{spectra:4d} {run._fmt_time(t_batch / spectra):>10} {run._fmt_time(t_loop / spectra):>10} "
              f"{t_loop / t_batch:6.2f}", flush=True)
    return rows


def demo_problem():
    """The response and measured spectrum of examples/gamma_spectrum.py, with its defaults."""
    import gamma_spectrum as demo

    result = demo.main(["--no-plot", "--iterations", "1", "--rl-iterations", "1", "--replicas", "0",
                        "--quiet"])
    return result.measured, result.response, result.sensitivity


def narrow_problem(n=4096, lines=40, seed=7):
    energy = (np.arange(n) + 0.5) * (3000.0 / n)
    response = build_gaussian_response(energy, 0.0006 * energy ** 1.5 / cases.FWHM_C)
    matrix = scipy.sparse.csr_array((response[2], response[1], response[0]), shape=(n, n))
    rng = np.random.default_rng(seed)
    source = 200.0 * np.exp(-energy / 700.0) + 20.0
    for line in rng.uniform(100.0, 2900.0, lines):
        source[int(line / 3000.0 * n)] += rng.uniform(2e3, 5e4)
    y = rng.poisson(matrix.T @ source).astype(np.float64)
    return y, response, np.asarray(matrix.sum(axis=1))


def passes_to_reach(history, offset, target):
    """Pass-equivalents of the first accepted estimate at or above `target`."""
    for passes, objective in history:
        if objective + offset >= target:
            return passes
    return None


def convergence_rows(quick):
    out = {}
    problems = [("demo", demo_problem, (2000, 20000) if quick else (2000, 20000, 100000)),
                ("narrow", narrow_problem, (2000, 20000))]
    for name, make, plain_passes in problems:
        y, response, sensitivity = make()
        Y = y[np.newaxis]
        budget = max(plain_passes) // 10 + 2000
        plain_ll = {p: float(poisson_log_likelihood_cy(Y, ML_EM_cy(y, *response, sensitivity, p)[np.newaxis],
                                                       *response)[0]) for p in plain_passes}
        history = _kernel_probe.converge_history(Y, *response, sensitivity, 0.0, budget)[0]
        X, _, ll = ML_EM_converge_cy(Y, *response, sensitivity, 0.0, budget)
        # The steps are judged by the objective ML-EM increases, which with these
        # sensitivities is the log-likelihood up to a constant: taken at the end.
        offset = float(ll[0]) - history[-1][1]
        row = dict(plain_log_likelihood=plain_ll, budget=budget,
                   passes_needed={p: passes_to_reach(history, offset, v) for p, v in plain_ll.items()})
        _, passes, ll_default = ML_EM_converge_cy(Y, *response, sensitivity)
        row["default_tolerance"] = dict(passes=int(passes[0]), log_likelihood=float(ll_default[0]))
        print(f"\nML_EM_converge_cy, {name} problem ({len(y)} channels, {len(response[1])} entries):")
        for p, v in plain_ll.items():
            needed = row["passes_needed"][p]
            gain = f"{p / needed:.1f}x fewer" if needed else "not reached"
            print(f"  log-likelihood of {p:6d} plain passes ({v:.3f}): after {needed} pass-equivalents ({gain})")
        print(f"  default tolerance: {passes[0]} pass-equivalents, log-likelihood {ll_default[0]:.3f}")
        if name == "demo":
            plain = lambda: ML_EM_cy(y, *response, sensitivity, 20000)
            fast = lambda: ML_EM_converge_cy(Y, *response, sensitivity, 0.0, 1500)
            t_plain, t_fast = alternate([plain, fast], 3)
            reached = float(fast()[2][0]) >= plain_ll[20000]
            row["timing"] = dict(plain_20000_s=t_plain, converge_1500_s=t_fast, ratio=t_plain / t_fast,
                                 reaches_20000=reached, met=reached and t_plain / t_fast >= 12.0)
            print(f"  tolerance=0, max_passes=1500: {run._fmt_time(t_fast)} against {run._fmt_time(t_plain)} "
                  f"for 20000 plain passes ({t_plain / t_fast:.1f}x, target >= 12); log-likelihood of "
                  f"20000 plain passes {'reached' if reached else 'NOT reached'}")
        else:
            needed = row["passes_needed"][2000]
            row["met"] = needed is not None and needed <= 2000 / 2.5
            print(f"  target: at most {2000 / 2.5:.0f} pass-equivalents for 2000 plain passes: "
                  f"{'met' if row['met'] else 'NOT met'}")
        out[name] = row
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=int(os.environ.get("BENCH_REPS", 5)))
    parser.add_argument("--only", choices=["batch", "converge"])
    parser.add_argument("--quick", action="store_true", help="leave out the 100000-pass reference")
    options = parser.parse_args()
    print(f"machine: {run.cpu_name()}, {os.cpu_count()} cores; kernel level {_kernel_probe.kernel_level()}\n")
    results = dict(machine=run.cpu_name(), kernel_level=_kernel_probe.kernel_level())
    if options.only != "converge":
        results["batch"] = batch_rows(options.reps)
        results["stack_sizes"] = stack_size_rows(options.reps)
    if options.only != "batch":
        results["converge"] = convergence_rows(options.quick)
    out = HERE / "stacks.json"
    out.write_text(json.dumps(results, indent=1, default=str))
    print(f"\nwritten {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

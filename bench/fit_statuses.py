"""What a fit's status says, on the cases made to trouble it.

python bench/fit_statuses.py [--seeds N]

1. The saved false-converged region (a least-squares, binned region with
   three peaks and their steps, ../shared/data/fit_cases/false_converged.npz,
   or the folder named by TARVIX_SHARED): fitted at max_iterations 200 and
   5000, then restarted from each result. Target: status 0 only where the
   restart gains no more than tolerance-level amounts.
2. A binned peak 0.03 channels wide with 10^4 counts on a linear
   background: the deviance reached against the optimum over the area and
   the background alone (the peak's centre and width held). Target: that
   optimum reached, status 4.
3. fit_folded_cy with a line started exactly at a bin centre, its truth at
   that centre, within 0.05 bins of it, or within 0.2 bins, N seeds each:
   statuses, iterations, and the deviance against the better of the two
   fits with the line held on either side of that centre. Targets: status
   0 within a few tens of iterations, never above the better side.

Results go to bench/fit_statuses.json.
"""

import argparse
import json
import os
import sys
from pathlib import Path

import numpy as np
import scipy.sparse

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from run import cpu_name  # noqa: E402

from tarvix.utils.numerics.cython.fitting import fit_folded_cy, fit_peaks_cy  # noqa: E402


def shared_folder():
    named = os.environ.get("TARVIX_SHARED")
    candidates = [Path(named)] if named else []
    candidates += [HERE.parent / "../shared", Path("/work/shared")]
    for candidate in candidates:
        if (candidate / "data/fit_cases/false_converged.npz").exists():
            return candidate.resolve()
    return None


def false_converged():
    folder = shared_folder()
    if folder is None:
        print("1. false-converged region: skipped, ../shared/data/fit_cases not found")
        return None
    case = np.load(folder / "data/fit_cases/false_converged.npz")
    arguments = dict(steps=True, binned=True, poisson=False, weights=case["weights"])
    rows = []
    print("1. The saved false-converged region (least squares, binned, 3 peaks with steps)")
    print(f"   {'max_it':>6} {'status':>6} {'iter':>5} {'chi2':>12} | restart: {'status':>6} {'iter':>5} "
          f"{'chi2':>12} {'gain':>9} {'max |dθ|/σ':>10}")
    for max_iterations in (200, 5000):
        first = fit_peaks_cy(case["x"], case["y"][None], case["start"], case["B"],
                             max_iterations=max_iterations, **arguments)
        again = fit_peaks_cy(case["x"], case["y"][None], first.params[0], case["B"],
                             max_iterations=max_iterations, **arguments)
        sigma = np.sqrt(np.diag(again.covariance[0]))
        with np.errstate(all="ignore"):
            moved = np.nanmax(np.where(sigma > 0, np.abs(again.params[0] - first.params[0]) / sigma, 0.0))
        row = dict(max_iterations=max_iterations, status=int(first.status[0]),
                   iterations=int(first.iterations[0]), chi2=float(first.objective[0]),
                   restart_status=int(again.status[0]), restart_iterations=int(again.iterations[0]),
                   restart_chi2=float(again.objective[0]), gain=float(first.objective[0] - again.objective[0]),
                   moved_sigma=float(moved))
        rows.append(row)
        print(f"   {max_iterations:>6} {row['status']:>6} {row['iterations']:>5} {row['chi2']:>12.6f} | "
              f"{'':>9}{row['restart_status']:>6} {row['restart_iterations']:>5} {row['restart_chi2']:>12.6f} "
              f"{row['gain']:>9.2e} {row['moved_sigma']:>10.2e}")
    return rows


def sub_channel_peak(seed=3):
    """10^4 counts in a Gaussian 0.03 channels wide at 0.3 of its channel,
    on 40 counts a channel; the fit starts at the truth but 10 % high in
    counts and background."""
    rng = np.random.default_rng(seed)
    m = 40
    edges = np.arange(m + 1, dtype=float)
    centre = 20.3
    sigma = 0.03
    area = 1e4
    basis = np.column_stack([np.ones(m), (edges[:-1] + 0.5 - 20.0) / 20.0])
    mean = basis @ [40.0, 5.0]
    mean[20] += area
    y = rng.poisson(mean).astype(float)
    truth = np.array([area / (np.sqrt(2 * np.pi) * sigma), centre, sigma ** 2, 40.0, 5.0])
    start = truth * [1.1, 1.0, 1.0, 1.1, 1.1]
    return edges, y, basis, start


def sub_channel():
    edges, y, basis, start = sub_channel_peak()
    result = fit_peaks_cy(edges, y[None], start, basis, binned=True)
    # The optimum over the area and the background: the peak's centre and
    # width held where they started.
    lower = np.full(5, -np.inf)
    upper = np.full(5, np.inf)
    lower[1:3] = upper[1:3] = start[1:3]
    held = fit_peaks_cy(edges, y[None], start, basis, lower, upper, binned=True)
    start_deviance = fit_peaks_cy(edges, y[None], start, basis, binned=True, max_iterations=0).objective[0]
    row = dict(start_deviance=float(start_deviance), status=int(result.status[0]),
               iterations=int(result.iterations[0]), deviance=float(result.objective[0]),
               area=float(result.areas[0, 0]), area_error=float(result.area_errors[0, 0]),
               held_status=int(held.status[0]), held_deviance=float(held.objective[0]),
               held_area=float(held.areas[0, 0]))
    print("2. A binned peak 0.03 channels wide, 10^4 counts, linear background (Poisson)")
    print(f"   start deviance {row['start_deviance']:.3f}; fit: status {row['status']}, "
          f"{row['iterations']} iterations, deviance {row['deviance']:.3f}, area {row['area']:.1f} "
          f"+- {row['area_error']:.1f}")
    print(f"   optimum over the area and background alone: deviance {row['held_deviance']:.3f} "
          f"(status {row['held_status']}), area {row['held_area']:.1f}")
    return row


def detector(n, rng, width=1.5):
    """A response on n bins: a Gaussian photopeak and a flat shelf below it."""
    bins = np.arange(n, dtype=float)
    dense = np.exp(-0.5 * ((bins[None, :] - bins[:, None]) / width) ** 2)
    dense /= dense.sum(axis=1, keepdims=True)
    shelf = (bins[None, :] < bins[:, None] - 2) * 0.3 / np.maximum(bins[:, None], 1)
    dense = 0.7 * dense + shelf
    dense[dense < 1e-9] = 0.0
    dense *= rng.uniform(0.9, 1.1, size=(n, 1))
    matrix = scipy.sparse.csr_array(dense)
    return matrix.indptr.astype(np.int64), matrix.indices.astype(np.int32), matrix.data.astype(float), matrix


def folded_line_problem(seed, spread, n=40, counts=4000.0):
    """One line on an uneven axis with a two-column continuum, its energy
    within `spread` bins of a bin centre; the fit starts at that centre, 10 %
    off in counts and up to 30 % in the continuum."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.8, 1.2, n)) + 10.0
    offsets, indices, values, matrix = detector(n, rng)
    basis = np.column_stack([np.exp(-(x - x[0]) / s) for s in (15.0, 60.0)])
    centre = int(rng.integers(10, 30))
    energy = x[centre] + spread * rng.uniform(-1.0, 1.0) * (x[centre + 1] - x[centre])
    truth = np.array([counts * rng.uniform(0.5, 1.5), energy, 40.0, 20.0])
    j = int(np.searchsorted(x, energy, side="right") - 1)
    source = basis @ truth[2:]
    t = (energy - x[j]) / (x[j + 1] - x[j])
    source[j] += truth[0] * (1 - t)
    source[j + 1] += truth[0] * t
    y = rng.poisson(matrix.T @ source).astype(float)
    start = truth.copy()
    start[0] *= 1.1
    start[1] = x[centre]
    start[2:] *= rng.uniform(0.7, 1.3, 2)
    return x, y, (offsets, indices, values), basis, start, centre


def folded_lines(seeds):
    print(f"3. fit_folded_cy, one line started exactly at a bin centre, {seeds} seeds each")
    summaries = []
    for spread in (0.0, 0.05, 0.2):
        rows = []
        for seed in range(seeds):
            x, y, response, basis, start, centre = folded_line_problem(seed, spread)
            result = fit_folded_cy(x, y[None], start, *response, basis)
            sides = []
            for low, high in ((x[centre - 1], x[centre]), (x[centre], x[centre + 1])):
                lower = np.full(4, -np.inf)
                upper = np.full(4, np.inf)
                lower[1], upper[1] = low, high
                side = fit_folded_cy(x, y[None], start, *response, basis, lower, upper, max_iterations=1000)
                sides.append(float(side.objective[0]))
            rows.append(dict(seed=seed, status=int(result.status[0]), iterations=int(result.iterations[0]),
                             deviance=float(result.objective[0]), best_side=min(sides),
                             excess=float(result.objective[0] - min(sides))))
        statuses = [r["status"] for r in rows]
        iterations = np.array([r["iterations"] for r in rows])
        excess = np.array([r["excess"] for r in rows])
        best = np.array([r["best_side"] for r in rows])
        summary = dict(spread=spread, rows=rows,
                       status_counts={str(s): statuses.count(s) for s in sorted(set(statuses))},
                       max_iterations=int(iterations.max()), median_iterations=float(np.median(iterations)),
                       worse_than_best_side=int(np.sum(excess > 1e-9 * best)), max_excess=float(excess.max()))
        summaries.append(summary)
        print(f"   truth within {spread:.2f} bins of the centre: statuses {summary['status_counts']}; "
              f"iterations median {summary['median_iterations']:.0f}, max {summary['max_iterations']}; "
              f"above the better side: {summary['worse_than_best_side']} (largest excess "
              f"{summary['max_excess']:.3g})")
    return summaries


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=40)
    parser.add_argument("--reps", type=int, default=None, help="accepted for make bench; unused")
    arguments = parser.parse_args()
    print(f"CPU: {cpu_name()}")
    results = dict(cpu=cpu_name(), false_converged=false_converged(), sub_channel=sub_channel(),
                   folded_lines=folded_lines(arguments.seeds))
    (HERE / "fit_statuses.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()

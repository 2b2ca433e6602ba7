"""Peak fits with low-energy tails (fit_peaks_cy(..., tails=...)): speed, statistics, a real peak.

python bench/tails.py [--reps N] [--replicas N] [--only speed|statistics|real]

1. Speed: one peak with its step, one tail and a linear background (P = 8)
   on 64 binned channels, 10 000 Poisson replicas in one call, at 1e4 and
   1e6 counts, the tail held at its calibrated shape (equal bounds) and
   free, against the same fits without the tail (P = 6) on the same data,
   side by side on one core (targets: >= 30 000 fits/s, and at most 2x the
   time without tail). A free tail at 1e4 counts is barely determined: its
   fits take many more iterations, the per-iteration ratio shows the cost
   of the model itself.
2. Statistics: tailed truth with two shapes measured on real detectors,
   (t, tau) = (0.62, 0.49) and (0.12, 0.78), areas of 1e2 .. 1e6 counts on a
   linear continuum, 2000 binned Poisson replicas each, one tail:
   - tails held at the truth (equal bounds): mean relative area bias within
     +-0.3 % or twice its standard error, pull width 0.95-1.05, at every
     decade;
   - tails free, at 1e5 counts and above: the same;
   - beside them the bias of Gaussian-only fits (tails=0) of the same data,
     and as a control, Gaussian truth of the same area fitted as a Gaussian
     (the low-count bias of a fit with a free width, tails or not).
3. Real: the K-40 peak (1460.8 keV) of the Mendocino spectrum in
   ../shared/data/spectra (or $TARVIX_SPECTRA), fitted with a step, a linear
   background and 0, 1 and 2 free tails: deviance/dof and area of each
   (target with two: deviance/dof <= 1.3). Skipped where the file is absent.

Results go to bench/tails.json.
"""

import argparse
import json
import os
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402

from tarvix.utils.numerics.cython import _kernel_probe as probe  # noqa: E402
from tarvix.utils.numerics.cython.fitting import fit_peaks_cy  # noqa: E402

SQRT_2PI = np.sqrt(2.0 * np.pi)
SHAPES = [(0.62, 0.49), (0.12, 0.78)]
AREAS = [1e2, 1e3, 1e4, 1e5, 1e6]
SPECTRA = Path(os.environ.get("TARVIX_SPECTRA", HERE.parents[2] / "shared" / "data" / "spectra"))
MENDOCINO = "Mendocino_07-10-13_Acq-10-10-13.Spe"


def region(m=64):
    """Edges, centres and the linear background columns of an m-channel region."""
    edges = np.arange(m + 1.0)
    centres = edges[:-1] + 0.5
    basis = np.column_stack([np.ones(m), (centres - 0.5 * m) / (0.5 * m)])
    return edges, basis


def expected(edges, basis, peak, steps, tails, background):
    """The binned mean of one peak (A, mu, v[, h][, t, tau]...) on the background."""
    mean, _ = probe.peak_model(edges, np.asarray(peak, float), steps, True, tails)
    return mean + basis @ np.asarray(background, float)


# ---------------------------------------------------------------------------
# 1. Speed.

def speed(reps, rows):
    edges, basis = region()
    sigma = 2.0
    out = {}
    print(f"\nspeed, {rows} regions of 64 binned channels in one call, one core ({run.cpu_name()}), "
          f"truth (t, tau) = {SHAPES[0]}:")
    for counts in (1e4, 1e6):
        A = counts / (sigma * SQRT_2PI * (1 + SHAPES[0][0]))
        truth = [A, 32.0, sigma**2, 20.0, *SHAPES[0]]
        mean = expected(edges, basis, truth, True, 1, [50.0, -10.0])
        Y = np.random.default_rng(1).poisson(mean, size=(rows, mean.size)).astype(np.float64)
        start = np.array([0.9 * A, 32.0 + sigma, 1.44 * sigma**2, 26.0, 0.5, 0.6, 45.0, 0.0])
        held_lower = np.full(8, -np.inf)
        held_upper = np.full(8, np.inf)
        held_lower[4:6] = held_upper[4:6] = SHAPES[0]
        calls = {
            "no tail (P=6)": lambda: fit_peaks_cy(edges, Y, start[[0, 1, 2, 3, 6, 7]], basis, steps=True,
                                                  binned=True),
            "tail held (P=8)": lambda: fit_peaks_cy(edges, Y, start, basis, held_lower, held_upper, steps=True,
                                                    binned=True, tails=1),
            "tail free (P=8)": lambda: fit_peaks_cy(edges, Y, start, basis, steps=True, binned=True, tails=1),
        }
        results = {name: call() for name, call in calls.items()}
        times = {name: float("inf") for name in calls}
        for _ in range(reps):  # alternating, so that all see the same machine
            for name, call in calls.items():
                times[name] = min(times[name], run.best_time(call, 1))
        case = {}
        base = "no tail (P=6)"
        for name in calls:
            r = results[name]
            case[name] = dict(fits_per_second=rows / times[name], seconds=times[name],
                              converged=float(np.mean(r.status == 0)), mean_iterations=float(np.mean(r.iterations)),
                              time_ratio=times[name] / times[base],
                              per_iteration_ratio=(times[name] / r.iterations.sum())
                              / (times[base] / results[base].iterations.sum()))
            c = case[name]
            print(f"  {counts:.0e} counts, {name:<16} {c['fits_per_second']:8.0f} fits/s, "
                  f"{c['mean_iterations']:5.1f} iterations a fit, {100 * c['converged']:5.1f} % status 0, "
                  f"time x{c['time_ratio']:.2f}, per iteration x{c['per_iteration_ratio']:.2f}")
        out[f"{counts:.0e}"] = case
    held = out["1e+04"]["tail held (P=8)"]
    out["met"] = bool(held["fits_per_second"] >= 30_000 and held["time_ratio"] <= 2.0)
    return out


# ---------------------------------------------------------------------------
# 2. Statistics.

def figures(areas, errors, true_area, status):
    ok = (status == 0) & np.isfinite(areas) & np.isfinite(errors) & (errors > 0)
    relative = areas[ok] / true_area - 1.0
    pulls = (areas[ok] - true_area) / errors[ok]
    bias = float(np.mean(relative))
    bias_error = float(np.std(relative, ddof=1) / np.sqrt(relative.size))
    width = float(np.std(pulls, ddof=1))
    return dict(bias=bias, bias_error=bias_error, pull_width=width, converged=float(np.mean(status == 0)),
                met=bool((abs(bias) <= 3e-3 or abs(bias) <= 2 * bias_error) and 0.95 <= width <= 1.05))


def statistics(replicas):
    edges, basis = region()
    sigma = 2.0
    background = [5.0, -1.0]
    out = []
    print(f"\nstatistics, {replicas} binned Poisson replicas, one tail, sigma 2 channels, continuum 5/channel:")
    print(f"  {'t, tau':<11} {'area':>7}  {'held: bias (s.e.) %':>21} {'pulls':>5}  "
          f"{'free: bias (s.e.) %':>21} {'pulls':>5}  {'Gaussian: bias %':>16}  {'control: bias (s.e.) %':>22}")
    for t, tau in SHAPES:
        for area in AREAS:
            A = area / (sigma * SQRT_2PI * (1 + t))
            truth = np.array([A, 32.0, sigma**2, t, tau, *background])
            mean = expected(edges, basis, truth[:5], False, 1, background)
            seed = int(area) + int(1000 * t)
            Y = np.random.default_rng(seed).poisson(mean, size=(replicas, mean.size)).astype(np.float64)
            start = truth * np.array([0.9, 1.0, 1.2, 1.0, 1.0, 1.0, 1.0]) + np.array([0, 0.3 * sigma, 0, 0, 0, 0, 0])
            held_lower = np.full(7, -np.inf)
            held_upper = np.full(7, np.inf)
            held_lower[3:5] = held_upper[3:5] = truth[3:5]
            held = fit_peaks_cy(edges, Y, start, basis, held_lower, held_upper, binned=True, tails=1)
            row = dict(t=t, tau=tau, area=area, held=figures(held.areas[:, 0], held.area_errors[:, 0], area,
                                                               held.status))
            if area >= 1e5:
                free_start = start.copy()
                free_start[3:5] = (0.3, 0.6)  # not the truth
                free = fit_peaks_cy(edges, Y, free_start, basis, binned=True, tails=1, max_iterations=1000)
                row["free"] = figures(free.areas[:, 0], free.area_errors[:, 0], area, free.status)
            gauss = fit_peaks_cy(edges, Y, start[[0, 1, 2, 5, 6]], basis, binned=True)
            row["gaussian"] = figures(gauss.areas[:, 0], gauss.area_errors[:, 0], area, gauss.status)
            # The control: Gaussian truth of the same area fitted as a Gaussian,
            # the bias of the fit itself with a free width.
            plain_truth = np.array([area / (sigma * SQRT_2PI), 32.0, sigma**2])
            plain_mean = expected(edges, basis, plain_truth, False, 0, background)
            Y0 = np.random.default_rng(seed + 7).poisson(plain_mean, size=(replicas, plain_mean.size)).astype(float)
            plain_start = np.concatenate([plain_truth * [0.9, 1.0, 1.2] + [0, 0.3 * sigma, 0], background])
            control = fit_peaks_cy(edges, Y0, plain_start, basis, binned=True)
            row["control"] = figures(control.areas[:, 0], control.area_errors[:, 0], area, control.status)
            out.append(row)

            def cell(f):
                if f is None:
                    return f"{'-':>21} {'-':>5}"
                return f"{100 * f['bias']:+9.3f} ({100 * f['bias_error']:.3f}){' ' if f['met'] else '!':>2} " \
                       f"{f['pull_width']:5.3f}"
            print(f"  {t:.2f}, {tau:.2f}  {area:7.0e}  {cell(row['held'])}  {cell(row.get('free'))}  "
                  f"{100 * row['gaussian']['bias']:+15.3f}  "
                  f"{100 * row['control']['bias']:+13.3f} ({100 * row['control']['bias_error']:.3f})")
    return out


# ---------------------------------------------------------------------------
# 3. The Mendocino K-40 peak.

def read_spe(path):
    """Counts and the calibration (a, b, c) of an ORTEC .spe file."""
    lines = path.read_text(errors="replace").splitlines()
    data = lines.index("$DATA:")
    first, last = (int(v) for v in lines[data + 1].split())
    counts = np.array([float(v) for v in lines[data + 2:data + 3 + last - first]])
    cal = lines.index("$MCA_CAL:") if "$MCA_CAL:" in lines else lines.index("$ENER_FIT:")
    terms = [float(v) for v in lines[cal + 2].split()[:3]]
    return counts, terms


def real(low=28, high=22):
    path = SPECTRA / MENDOCINO
    if not path.exists():
        print(f"\nreal: {path} absent, skipped")
        return None
    counts, (a, b, _) = read_spe(path)
    centre = int(round((1460.82 - a) / b))
    centre = centre - 10 + int(np.argmax(counts[centre - 10:centre + 11]))
    first, last = centre - low, centre + high  # channels first .. last - 1
    y = counts[first:last]
    m = y.size
    edges = np.arange(first, last + 1.0) - 0.5  # channel ch spans ch -+ 0.5
    basis = np.column_stack([np.ones(m), (edges[:-1] + 0.5 - centre) / m])
    side = 0.5 * (y[:4].mean() + y[-4:].mean())
    sigma = 2.4
    A = (y.max() - side)
    out = {"channels": [first, last], "keV_per_channel": b, "fits": {}}
    print(f"\nreal: the K-40 peak of {MENDOCINO}, channels {first}..{last - 1} ({m}), binned, with a step "
          "and a linear background:")
    previous = None
    for tails in (0, 1, 2):
        start = [A, float(centre), sigma**2, 0.005 * A] + [0.3, 1.0, 0.05, 5.0][:2 * tails] + [side, 0.0]
        if previous is not None:  # from the fit with one tail fewer
            start[:4 + 2 * (tails - 1)] = previous[:4 + 2 * (tails - 1)]
        lower = np.full(len(start), -np.inf)
        r = fit_peaks_cy(edges, y[np.newaxis], np.array(start), basis, lower, steps=True, binned=True, tails=tails,
                         max_iterations=5000)
        previous = r.params[0]
        dof = m - len(start)
        fit = dict(status=int(r.status[0]), deviance=float(r.objective[0]), dof=dof,
                   deviance_per_dof=float(r.objective[0] / dof), area=float(r.areas[0, 0]),
                   area_error=float(r.area_errors[0, 0]), params=[float(v) for v in r.params[0]])
        out["fits"][tails] = fit
        shape = ", ".join(f"t{j + 1} = {r.params[0, 4 + 2 * j]:.3f}, tau{j + 1} = {r.params[0, 5 + 2 * j]:.3f}"
                          for j in range(tails))
        print(f"  {tails} tails: deviance/dof {fit['deviance']:.1f}/{dof} = {fit['deviance_per_dof']:.2f}, "
              f"area {fit['area']:.0f} +- {fit['area_error']:.0f}, status {fit['status']}"
              + (f"; {shape}" if shape else ""))
    out["met"] = bool(out["fits"][2]["deviance_per_dof"] <= 1.3)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=int(os.environ.get("BENCH_REPS", 5)))
    parser.add_argument("--replicas", type=int, default=2000)
    parser.add_argument("--only", choices=["speed", "statistics", "real"])
    options = parser.parse_args()
    results = {"cpu": run.cpu_name(), "kernel_level": probe.kernel_level()}
    if options.only in (None, "speed"):
        results["speed"] = speed(options.reps, 10_000)
    if options.only in (None, "statistics"):
        results["statistics"] = statistics(options.replicas)
    if options.only in (None, "real"):
        results["real"] = real()
    (HERE / "tails.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()

"""A gamma spectrum from start to finish: detector response, deconvolution, peak fit.

The script walks through what a user of the package does with a measured
scintillator spectrum:

1. build a reference detector response (32 line energies from 100 to
   3000 keV) in NumPy: photopeak, Compton continuum, backscatter peak and
   escape peaks, all blurred with the resolution FWHM = k * E**1.5;
2. resample it with respgrid_cy onto one row per channel energy;
3. simulate a measured spectrum of 137Cs, 60Co, 40K and 208Tl lines on a
   smooth background through that response, with Poisson noise;
4. deconvolve it through the resampled response with ML_EM_converge_cy,
   which accelerates ML-EM and stops by itself once the log-likelihood no
   longer rises; for comparison, run as many plain ML_EM_cy passes and
   compare the two log-likelihoods (poisson_log_likelihood_cy), and
   deconvolve with richardson_lucy_cy (Gaussian resolution only);
5. fit the five deconvolved peaks with fit_peaks_cy (least squares, since
   a deconvolved spectrum is not Poisson counts);
6. estimate the uncertainties by bootstrap: deconvolve Poisson replicas of
   the measured spectrum the same way, on several threads at once, and fit
   all replicas' peaks in one fit_peaks_cy call;
7. fit the measured spectrum directly by forward folding with fit_folded_cy:
   five delta lines and a smooth continuum (a Bernstein polynomial basis of
   degree 5 in energy, coefficients >= 0) folded through the response,
   by Poisson likelihood; its uncertainties are the fit's own;
8. print a table of each line's counts both ways against the counts the
   simulation put in, with uncertainties and pulls, the two ML-EM runs and
   the time of each step, and draw the spectra to a PNG file.

Run with the package installed:  python examples/gamma_spectrum.py --help
"""

from __future__ import annotations

import argparse
import os
from math import comb
import time
from collections.abc import Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import scipy.sparse
from numpy.typing import NDArray

from tarvix.utils.numerics.cython.deconvolution import ML_EM_cy, build_gaussian_response, richardson_lucy_cy
from tarvix.utils.numerics.cython.fitting import FitResult, fit_folded_cy, fit_peaks_cy
from tarvix.utils.numerics.cython.gaussian import multi_gaussian_cy
from tarvix.utils.numerics.cython.respgrid import calculate_regions, respgrid_cy
from tarvix.utils.numerics.cython.unfolding import ML_EM_converge_cy, poisson_log_likelihood_cy

Array = NDArray[np.float64]
# A response in CSR form: row pointers, columns, entries.
Response = tuple[NDArray[np.int64], NDArray[np.int32], Array]

FWHM_PER_SIGMA = 2.3548200450309493  # 2 sqrt(2 ln 2)
ELECTRON_MASS = 511.0  # keV

# The source, a mixed calibration measurement: nuclide, line energy (keV)
# and the counts the line puts into the detector.
LINES = [
    ("137Cs", 661.66, 8_000_000.0),
    ("60Co", 1173.23, 4_000_000.0),
    ("60Co", 1332.49, 3_800_000.0),
    ("40K", 1460.82, 4_000_000.0),
    ("208Tl", 2614.51, 4_000_000.0),
]


# ---------------------------------------------------------------------------
# Step 1: the reference detector response, one row per line energy.

def fwhm(k: float, energy: Array | float) -> Array:
    """The detector's full width at half maximum (keV): k * E**1.5."""
    return k * np.asarray(energy, dtype=np.float64) ** 1.5


def deposit(spectrum: Array, channel_energy: Array, energy: float, counts: float) -> None:
    """Add `counts` at `energy`, split between the two nearest channels so
    that their centroid is exactly `energy`."""
    position = np.interp(energy, channel_energy, np.arange(len(channel_energy)))
    low = int(position)
    high = min(low + 1, len(spectrum) - 1)
    spectrum[low] += counts * (1.0 - (position - low))
    spectrum[high] += counts * (position - low)


def compton_continuum(line: float, channel_energy: Array) -> Array:
    """Klein-Nishina energy spectrum of the electron after one Compton
    scatter of a photon of energy `line`, zero above the Compton edge."""
    eps = line / ELECTRON_MASS
    s = np.clip(channel_energy / line, 0.0, 1.0 - 1e-9)
    shape = 2.0 + s**2 / (eps**2 * (1.0 - s) ** 2) + s / (1.0 - s) * (s - 2.0 / eps)
    _, _, compton_edge = calculate_regions(line, float(channel_energy[-1]), False)[:3]
    return np.where(channel_energy <= compton_edge, shape, 0.0)


def reference_response(line_energies: Array, channel_energy: Array, k: float) -> Array:
    """Row r: the spectrum a line of energy line_energies[r] leaves in the
    detector, normalised to unit sum."""
    # Blur every row with the resolution through the package's own Gaussian
    # response (row j spreads channel j over its neighbours).
    sigma = fwhm(k, channel_energy) / FWHM_PER_SIGMA
    offsets, indices, values = build_gaussian_response(channel_energy, sigma)
    n = len(channel_energy)
    blur = scipy.sparse.csr_array((values, indices, offsets), shape=(n, n))
    rows = np.zeros((len(line_energies), len(channel_energy)))
    for row, line in zip(rows, line_energies):
        photo_fraction = 1.0 / (1.0 + (line / 600.0) ** 1.1)  # falls with energy
        pair_fraction = 0.3 * max(0.0, 1.0 - 1022.0 / line) ** 2
        continuum = compton_continuum(line, channel_energy)
        row += (1.0 - photo_fraction - pair_fraction) * continuum / continuum.sum()
        deposit(row, channel_energy, line, photo_fraction)
        backscatter = calculate_regions(line, float(channel_energy[-1]), False)[1]
        deposit(row, channel_energy, backscatter, 0.03 * (1.0 - photo_fraction))
        if line > 1022.0:  # pair production: one or both 511 keV photons escape
            deposit(row, channel_energy, line, 0.5 * pair_fraction)
            deposit(row, channel_energy, line - 511.0, 0.35 * pair_fraction)
            deposit(row, channel_energy, line - 1022.0, 0.15 * pair_fraction)
        row[:] = blur.T @ row
    return rows / rows.sum(axis=1, keepdims=True)


# ---------------------------------------------------------------------------
# Steps 2 and 3: the resampled response and the simulated measurement.

@dataclass
class Problem:
    energy: Array  # keV: the channels that the reference lines bracket, source and measured axis alike
    width: float  # keV per channel
    response: Response  # resampled: row j spreads source channel j over the measured channels
    matrix: scipy.sparse.csr_array  # the same response
    source: Array  # counts per source channel: the lines on a smooth continuum
    mean: Array  # the expected measurement, response.T @ source


def build_problem(k: float, channels: int) -> Problem:
    """The demo's response, resampled by respgrid_cy onto the channels of the
    measured spectrum, and its source."""
    # As a detector simulation would give it: 32 lines, 4096 channels.
    ref_E_axis = (np.arange(4096, dtype=np.float64) + 0.5) * (3000.0 / 4096)
    ref_indices = np.geomspace(100.0, 3000.0, 32)
    reference = reference_response(ref_indices, ref_E_axis, k)
    # One row per channel energy that the reference lines bracket, and the
    # same channels as the columns, so that the matrix is square as ML-EM
    # needs it.
    width = 3000.0 / channels
    channel_energy = (np.arange(channels, dtype=np.float64) + 0.5) * width
    energy = channel_energy[(channel_energy >= ref_indices[0]) & (channel_energy <= ref_indices[-1])]
    response = respgrid_cy(reference, ref_indices, ref_E_axis, energy, energy)
    n = len(energy)
    matrix = scipy.sparse.csr_array((response[2], response[1], response[0]), shape=(n, n))
    matrix.check_format(full_check=True)  # a valid CSR matrix, columns in range
    # The source: each line in the two channels that bracket its energy, on
    # a smooth, falling background continuum.
    source = 400.0 * width * np.exp(-energy / 600.0)
    for _, line, counts in LINES:
        deposit(source, energy, line, counts)
    return Problem(energy, width, response, matrix, source, matrix.T @ source)


# ---------------------------------------------------------------------------
# Step 5: fitting the deconvolved peaks.

@dataclass
class PeakFit:
    """fit_peaks_cy's result on the fit windows of one or more spectra."""
    result: FitResult
    in_fit: NDArray[np.bool_]  # the channels fitted
    baseline: Array  # (channels fitted, runs): one flat baseline column per run of adjacent channels
    peaks: int

    def model(self, row: int, energy: Array) -> Array:
        """The fitted model of one row on all channels, NaN outside the windows."""
        params = self.result.params[row]
        model = np.full_like(energy, np.nan)
        model[self.in_fit] = (multi_gaussian_cy(energy[self.in_fit], params[:3 * self.peaks])
                              + self.baseline @ params[3 * self.peaks:])
        return model

    def errors(self, width: float) -> tuple[Array, Array]:
        """The fit's own standard errors of the centroids (keV) and areas
        (counts) of every row. Least squares on a deconvolved spectrum has no
        known variance per channel, so the covariance is scaled by the
        residual variance, objective / (channels - parameters)."""
        channels, parameters = self.baseline.shape[0], self.result.params.shape[1]
        scale = self.result.objective / (channels - parameters)
        centroid_variance = np.diagonal(self.result.covariance, axis1=1, axis2=2)[:, 1:3 * self.peaks:3]
        return (np.sqrt(centroid_variance * scale[:, None]),
                self.result.area_errors * np.sqrt(scale)[:, None] / width)


def fit_peaks(energy: Array, spectra: Array, guesses: Sequence[float], half_windows: Array,
              start: Array | None = None) -> PeakFit:
    """Fit one Gaussian per guessed energy to every spectrum (row) of
    `spectra` within +-half_windows keV of the guesses, all rows in one
    fit_peaks_cy call; peaks whose windows overlap are fitted together on one
    flat baseline. Least squares, since a deconvolved spectrum is not Poisson
    counts. Without `start`, the fit starts from the first row's heights at
    the guesses."""
    in_fit = np.zeros(len(energy), dtype=bool)
    for guess, half_window in zip(guesses, half_windows):
        in_fit |= np.abs(energy - guess) <= half_window
    x = energy[in_fit]
    # A flat baseline for each run of adjacent channels in the fit: one column
    # per run, 1 on its channels. The baselines are the last parameters, after
    # the (A, mu, variance) triples that the package's model reads.
    run = np.cumsum(np.diff(np.flatnonzero(in_fit), prepend=-1) > 1) - 1
    baseline = (run[:, None] == np.arange(run.max() + 1)).astype(np.float64)
    if start is None:
        first = spectra[0, in_fit]
        start = np.array([value for guess, half_window in zip(guesses, half_windows)
                          for value in (float(np.interp(guess, x, first)), guess, (half_window / 3.0) ** 2)]
                         + [0.0] * baseline.shape[1])
    # No peak narrower than a third of a channel (sigma): one that collapses
    # between the samples leaves the fit with nothing to move it back.
    lower = np.full(len(start), -np.inf)
    lower[2:3 * len(guesses):3] = ((energy[1] - energy[0]) / 3.0) ** 2
    result = fit_peaks_cy(x, np.ascontiguousarray(spectra[:, in_fit]), start, baseline, lower=lower,
                          poisson=False)
    return PeakFit(result, in_fit, baseline, len(guesses))


def line_parameters(triples: Array, width: float) -> tuple[Array, Array, Array, Array]:
    """The centroids (keV), FWHMs (keV), areas (counts) and heights (counts
    per channel) of fitted Gaussians given as (A, mu, variance) triples, on
    channels `width` keV wide."""
    height, centroid, variance = triples.reshape(-1, 3).T
    sigma = np.sqrt(variance)
    return centroid, FWHM_PER_SIGMA * sigma, height * sigma * np.sqrt(2.0 * np.pi) / width, height


# ---------------------------------------------------------------------------
# Step 6: the bootstrap.

def deconvolve_on_threads(stack: Array, response: Response, sensitivity: Array, tolerance: float,
                          max_passes: int, threads: int) -> tuple[Array, NDArray[np.int64]]:
    """ML-EM to convergence of every spectrum (row) of `stack`: the stack is
    cut into one block per thread and each thread makes one
    ML_EM_converge_cy call on its block. Returns the estimates and the
    pass-equivalents each used."""
    blocks = np.array_split(stack, min(threads, len(stack)))
    # The call releases the interpreter lock, so the threads run on separate
    # cores. Every spectrum's estimate is the same, bit for bit, whether it
    # is deconvolved alone or in a stack of any size, so the split changes
    # no result, only the time.
    with ThreadPoolExecutor(max_workers=len(blocks)) as pool:
        results = list(pool.map(lambda block: ML_EM_converge_cy(block, *response, sensitivity,
                                                                tolerance, max_passes), blocks))
    return np.concatenate([X for X, _, _ in results]), np.concatenate([passes for _, passes, _ in results])


# ---------------------------------------------------------------------------
# Step 7: forward folding.

CONTINUUM_DEGREE = 5


def continuum_basis(energy: Array, degree: int = CONTINUUM_DEGREE) -> Array:
    """Bernstein polynomials of `degree` in energy over the axis: smooth,
    non-negative shapes, so that coefficients >= 0 keep the continuum >= 0.
    (Not the simulation's own exponential.)"""
    u = (energy - energy[0]) / (energy[-1] - energy[0])
    return np.column_stack([comb(degree, d) * u**d * (1.0 - u) ** (degree - d) for d in range(degree + 1)])


@dataclass
class FoldedFit:
    result: FitResult  # of one spectrum
    prediction: Array  # the fitted measurement, M.T @ source
    lines: Array  # (lines, channels): each line's folded contribution
    continuum: Array  # the continuum's folded contribution


def fit_folded(problem: Problem, measured: Array, guesses: Sequence[float], k: float) -> FoldedFit:
    """Fit delta lines at the guessed energies and the continuum, folded
    through the response, to the measured counts by Poisson likelihood."""
    basis = continuum_basis(problem.energy)
    guessed: list[float] = []
    for guess in guesses:
        # A line's counts roughly: what the measurement holds near it.
        near = np.abs(problem.energy - guess) <= 0.5 * float(fwhm(k, guess))
        guessed += [float(measured[near].sum()), float(guess)]
    start = np.array(guessed + [float(measured.mean())] * basis.shape[1])
    lower = np.full(len(start), -np.inf)
    lower[0:2 * len(guesses):2] = 0.0  # counts
    lower[2 * len(guesses):] = 0.0  # continuum coefficients
    result = fit_folded_cy(problem.energy, measured[np.newaxis], start, *problem.response, basis, lower)
    params = result.params[0]
    lines = np.zeros((len(guesses), len(problem.energy)))
    for line, (counts, energy) in zip(lines, params[:2 * len(guesses)].reshape(-1, 2)):
        source = np.zeros(len(problem.energy))
        deposit(source, problem.energy, energy, counts)
        line[:] = problem.matrix.T @ source
    continuum = problem.matrix.T @ (basis @ params[2 * len(guesses):])
    return FoldedFit(result, lines.sum(axis=0) + continuum, lines, continuum)


# ---------------------------------------------------------------------------
# The whole run.

@dataclass
class FittedLine:
    name: str
    energy: float  # true line energy, keV
    counts: float  # true counts
    centroid: float  # fitted, keV
    fwhm: float  # fitted, keV
    area: float  # fitted, counts
    height: float  # fitted, counts per channel
    centroid_error: float  # keV, the fit's own standard error
    area_error: float  # counts, likewise
    centroid_sd: float = float("nan")  # keV, standard deviation over the bootstrap replicas
    area_sd: float = float("nan")  # counts, likewise
    folded_energy: float = float("nan")  # keV, forward folding
    folded_energy_error: float = float("nan")
    folded_counts: float = float("nan")  # counts the line put into the detector, forward folding
    folded_counts_error: float = float("nan")


@dataclass
class Run:
    """One ML-EM deconvolution of the measured spectrum and what it cost."""
    passes: int  # pass-equivalents: forward and back-projections through the response
    log_likelihood: float  # Poisson log-likelihood of the estimate
    seconds: float


@dataclass
class Bootstrap:
    replicas: int  # Poisson replicas of the measured spectrum, each deconvolved and fitted
    threads: int
    passes: NDArray[np.int64]  # pass-equivalents of each replica's deconvolution
    low: Array  # per channel: 16th percentile of the replicas' estimates
    high: Array  # per channel: 84th percentile


@dataclass
class Result:
    energy: Array  # keV, the channels that were deconvolved
    measured: Array
    ml_em: Array  # ML-EM run to convergence
    plain_ml_em: Array  # plain ML-EM passes, for comparison
    richardson_lucy: Array
    fitted_model: Array  # NaN outside the fit windows
    lines: list[FittedLine]
    response: Response  # the resampled response (offsets, indices, values)
    sensitivity: Array  # per source channel, the divisor of ML-EM's update
    entries: int  # of the resampled response
    converged: Run
    plain: Run
    bootstrap: Bootstrap | None  # None with --replicas 0
    folded: FoldedFit
    seconds: dict[str, float]


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Detector response, deconvolution and peak fit of a "
                                                 "simulated gamma spectrum.")
    parser.add_argument("--channels", type=int, default=1024,
                        help="channels of the measured spectrum, 0 to 3000 keV (default 1024)")
    parser.add_argument("--k", type=float, default=0.003, help="resolution: FWHM = k * E**1.5 (default 0.003)")
    parser.add_argument("--tolerance", type=float, default=1e-10,
                        help="ML-EM stops when the log-likelihood gains at most this much per pass, "
                             "relative to the total counts (default 1e-10)")
    parser.add_argument("--max-passes", type=int, default=100_000,
                        help="ML-EM's budget of pass-equivalents per spectrum (default 100000)")
    parser.add_argument("--plain-passes", "--iterations", dest="plain_passes", type=int, default=None,
                        metavar="N", help="plain ML-EM passes to compare with (default: as many as the "
                                          "converged run used)")
    parser.add_argument("--rl-iterations", type=int, default=1000,
                        help="Richardson-Lucy passes (default 1000)")
    parser.add_argument("--replicas", type=int, default=32,
                        help="bootstrap replicas for the uncertainties, 0 for none (default 32)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1,
                        help="threads for the bootstrap (default: the cores)")
    parser.add_argument("--seed", type=int, default=2026, help="seed of the Poisson noise (default 2026)")
    parser.add_argument("--output", type=Path, default=Path("demo_output/gamma_spectrum.png"),
                        help="picture to write (default demo_output/gamma_spectrum.png)")
    parser.add_argument("--no-plot", action="store_true", help="do not draw the picture")
    parser.add_argument("--quiet", action="store_true", help="do not print the table")
    options = parser.parse_args(argv)
    if options.replicas < 0 or options.replicas == 1:
        parser.error("--replicas: 0, or at least 2 for a standard deviation")
    if options.threads < 1:
        parser.error("--threads: at least 1")
    return options


def main(argv: Sequence[str] | None = None) -> Result:
    options = parse_arguments(argv)
    seconds: dict[str, float] = {}

    @contextmanager
    def step(name: str) -> Iterator[None]:
        start = time.perf_counter()
        yield
        seconds[name] = time.perf_counter() - start

    with step("response and simulation"):
        problem = build_problem(options.k, options.channels)
        energy, width, response, matrix = problem.energy, problem.width, problem.response, problem.matrix
        n = len(energy)
        # Measured through the response with counting noise.
        rng = np.random.default_rng(options.seed)
        measured = rng.poisson(problem.mean).astype(np.float64)

    # Every row of the resampled response sums to 1 (each source count is
    # measured somewhere in the window), so the sensitivity is 1 throughout.
    sensitivity = np.asarray(matrix.sum(axis=1), dtype=np.float64).ravel()
    with step("ML_EM_converge_cy"):
        # Accelerated ML-EM until the log-likelihood stops rising; a stack of
        # one spectrum.
        X, passes, log_likelihood = ML_EM_converge_cy(measured[np.newaxis], *response, sensitivity,
                                                      options.tolerance, options.max_passes)
    ml_em = X[0]
    converged = Run(int(passes[0]), float(log_likelihood[0]), seconds["ML_EM_converge_cy"])
    plain_passes = converged.passes if options.plain_passes is None else options.plain_passes
    with step("ML_EM_cy"):
        plain_ml_em = ML_EM_cy(measured, *response, sensitivity, iterations=plain_passes)
    plain_log_likelihood = poisson_log_likelihood_cy(measured[np.newaxis], plain_ml_em[np.newaxis], *response)
    plain = Run(plain_passes, float(plain_log_likelihood[0]), seconds["ML_EM_cy"])
    with step("richardson_lucy_cy"):
        # The same spectrum with the Gaussian resolution only: the peaks
        # sharpen, the Compton continuum stays.
        richardson_lucy = richardson_lucy_cy(energy.copy(), measured, options.k, np.ones(n),
                                             iterations=options.rl_iterations)

    # Starting from the nominal energies; deconvolution has made the peaks
    # far narrower than the detector's width.
    nominal = [round(line) for _, line, _ in LINES]
    half_windows = 0.3 * fwhm(options.k, np.array(nominal))
    with step("peak fit"):
        peak_fit = fit_peaks(energy, ml_em[np.newaxis], nominal, half_windows)
    triples = peak_fit.result.params[0, :3 * len(nominal)]
    fitted_model = peak_fit.model(0, energy)
    centroid_errors, area_errors = peak_fit.errors(width)
    lines = []
    for (name, line, counts), parameters, centroid_error, area_error in zip(
            LINES, np.transpose(line_parameters(triples, width)), centroid_errors[0], area_errors[0]):
        centroid, line_fwhm, area, height = map(float, parameters)
        lines.append(FittedLine(name, line, counts, centroid, line_fwhm, area, height, float(centroid_error),
                                float(area_error)))

    bootstrap = None
    if options.replicas:
        with step("bootstrap"):
            # What another measurement of the same source could have given:
            # Poisson replicas of the measured spectrum, deconvolved under the
            # same stopping rule and fitted the same way. The spread of the
            # fitted lines over the replicas estimates their uncertainty.
            replicas = rng.poisson(measured, size=(options.replicas, n)).astype(np.float64)
            estimates, replica_passes = deconvolve_on_threads(replicas, response, sensitivity, options.tolerance,
                                                              options.max_passes, options.threads)
            # All replicas in one call, each starting from the measured
            # spectrum's fit. (replica, parameter, line): centroid, FWHM, area, height.
            replica_fit = fit_peaks(energy, estimates, nominal, half_windows, start=peak_fit.result.params[0])
            fitted = np.array([line_parameters(params[:3 * len(nominal)], width)
                               for params in replica_fit.result.params])
            low, high = np.percentile(estimates, [16.0, 84.0], axis=0)
        for fitted_line, centroid_sd, area_sd in zip(lines, fitted[:, 0].std(axis=0, ddof=1),
                                                     fitted[:, 2].std(axis=0, ddof=1)):
            fitted_line.centroid_sd, fitted_line.area_sd = float(centroid_sd), float(area_sd)
        bootstrap = Bootstrap(options.replicas, min(options.threads, options.replicas), replica_passes, low, high)

    with step("fit_folded_cy"):
        folded = fit_folded(problem, measured, nominal, options.k)
    folded_params = folded.result.params[0]
    folded_errors = np.sqrt(np.diagonal(folded.result.covariance[0]))
    for k, fitted_line in enumerate(lines):
        fitted_line.folded_counts, fitted_line.folded_energy = map(float, folded_params[2 * k:2 * k + 2])
        fitted_line.folded_counts_error, fitted_line.folded_energy_error = map(float, folded_errors[2 * k:2 * k + 2])

    result = Result(energy, measured, ml_em, plain_ml_em, richardson_lucy, fitted_model, lines, response,
                    sensitivity, matrix.nnz, converged, plain, bootstrap, folded, seconds)
    if not options.no_plot:
        with step("plot"):
            plot(result, options.k, options.output)
    if not options.quiet:
        print_table(result, options)
    return result


def print_table(result: Result, options: argparse.Namespace) -> None:
    n = len(result.energy)
    print(f"{options.channels} channels; resampled response {n} x {n}, {result.entries} entries; "
          f"{result.measured.sum():.0f} counts measured")
    print()
    print("ML-EM                          pass-equivalents  log-likelihood    seconds")
    for name, run in ((f"to convergence (tol. {options.tolerance:g})", result.converged),
                      ("plain ML_EM_cy passes", result.plain)):
        print(f"{name:<29}  {run.passes:16d}  {run.log_likelihood:14.2f}  {run.seconds:9.2f}")
    print()
    if result.bootstrap is not None:
        passes = result.bootstrap.passes
        print(f"uncertainties: standard deviations over {result.bootstrap.replicas} bootstrap replicas "
              f"({result.bootstrap.threads} threads, {passes.min()} to {passes.max()} pass-equivalents each); "
              "in brackets the fit's own error")
    print("line    energy (keV)  counts     centroid (keV)          FWHM (keV)  detector FWHM (keV)  "
          "area")
    for line in result.lines:
        centroid = f"{line.centroid:.2f}" + (f" ± {line.centroid_sd:.2f}" if result.bootstrap else "")
        area = f"{line.area:.0f}" + (f" ± {line.area_sd:.0f}" if result.bootstrap else "")
        print(f"{line.name:<6}  {line.energy:10.2f}  {line.counts:9.0f}  {centroid:>15} ({line.centroid_error:.2f})  "
              f"{line.fwhm:10.1f}  {float(fwhm(options.k, line.energy)):17.1f}  {area:>17} ({line.area_error:.0f})")
    print()
    print("the counts each line put into the detector, against the simulation's, with uncertainties and "
          "pulls (estimate - truth) / uncertainty")
    route = f"deconvolution + fit, ± bootstrap ({result.bootstrap.replicas})" if result.bootstrap else \
        "deconvolution + fit, ± fit error"
    print(f"{'line':<6}  {'energy':>8}  {'true counts':>11}  {route:>38}  {'pull':>6}  "
          f"{'forward folding, ± fit error':>30}  {'pull':>6}  {'folded energy (keV)':>20}")
    for line in result.lines:
        spread = line.area_sd if result.bootstrap else line.area_error
        folded = f"{line.folded_counts:.0f} ± {line.folded_counts_error:.0f}"
        print(f"{line.name:<6}  {line.energy:8.2f}  {line.counts:11.0f}  {f'{line.area:.0f} ± {spread:.0f}':>38}  "
              f"{(line.area - line.counts) / spread:6.1f}  {folded:>30}  "
              f"{(line.folded_counts - line.counts) / line.folded_counts_error:6.1f}  "
              f"{f'{line.folded_energy:.2f} ± {line.folded_energy_error:.2f}':>20}")
    fit = result.folded.result
    print(f"forward folding: deviance {fit.objective[0]:.1f} over {n} channels, {fit.iterations[0]} iterations, "
          f"status {fit.status[0]}; continuum: Bernstein polynomials of degree {CONTINUUM_DEGREE} in energy, "
          "coefficients >= 0")
    print()
    print("step                  seconds")
    for name, seconds in result.seconds.items():
        print(f"{name:<20}  {seconds:7.2f}")
    if not options.no_plot:
        print(f"\npicture: {options.output}")


# ---------------------------------------------------------------------------
# Step 7: the picture.

def plot(result: Result, k: float, output: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")  # draws to a file; no display needed
    import matplotlib.pyplot as plt

    energy = result.energy
    figure, (full, zoom, folded) = plt.subplots(3, 1, figsize=(11, 12.5), gridspec_kw={"height_ratios": [3, 2, 3]})
    for axes in (full, zoom):
        axes.step(energy, result.measured, where="mid", color="0.45", lw=0.9, label="measured")
        axes.plot(energy, result.richardson_lucy, color="tab:orange", lw=1.0,
                  label="Richardson-Lucy (Gaussian resolution only)")
        if result.bootstrap is not None:
            axes.fill_between(energy, result.bootstrap.low, result.bootstrap.high, color="tab:blue", alpha=0.3,
                              lw=0, label=f"ML-EM, 16th to 84th percentile of {result.bootstrap.replicas} "
                                          "bootstrap replicas")
        axes.plot(energy, result.ml_em, color="tab:blue", lw=1.0, label="ML-EM (full detector response)")
        axes.plot(energy, result.fitted_model, color="tab:red", lw=1.5, ls="--", label="fitted peaks")
        axes.set_xlabel("energy (keV)")
        axes.set_ylabel("counts per channel")
    full.set_yscale("log")
    full.set_xlim(energy[0], energy[-1])
    full.set_ylim(1.0, 40.0 * max(line.height for line in result.lines))
    for number, line in enumerate(result.lines):
        # Alternate heights so that the labels of neighbouring lines do not overlap.
        full.annotate(f"{line.name}\n{line.centroid:.1f} keV", (line.centroid, line.height * 1.3 * 4**(number % 2)),
                      ha="center", va="bottom", fontsize=8)
    full.set_title(f"A simulated spectrum and its deconvolutions (resolution: FWHM = {k} E^1.5)")
    full.legend(loc="lower left", fontsize=8)
    low, high = 1050.0, 1600.0
    in_zoom = (energy >= low) & (energy <= high)
    top = max(result.ml_em[in_zoom].max(), result.measured[in_zoom].max())
    if result.bootstrap is not None:
        top = max(top, result.bootstrap.high[in_zoom].max())
    zoom.set_xlim(low, high)
    zoom.set_ylim(0.0, 1.1 * top)
    zoom.set_title("Zoom: 60Co at 1173 and 1332 keV, 40K at 1461 keV")

    # Forward folding: the fit is made where the counts are measured.
    fit = result.folded
    folded.step(energy, result.measured, where="mid", color="0.45", lw=0.9, label="measured")
    folded.plot(energy, fit.prediction, color="tab:red", lw=1.2, label="fit_folded_cy: lines + continuum, folded")
    folded.plot(energy, fit.continuum, color="black", lw=1.0, ls="--", label="continuum, folded")
    for line, contribution in zip(result.lines, fit.lines):
        folded.plot(energy, contribution, lw=0.9, label=f"{line.name} {line.energy:.0f} keV, folded")
    folded.set_yscale("log")
    folded.set_xlim(energy[0], energy[-1])
    folded.set_ylim(1.0, 3.0 * result.measured.max())
    folded.set_xlabel("energy (keV)")
    folded.set_ylabel("counts per channel")
    folded.set_title("Forward folding: delta lines and a smooth continuum through the response, Poisson fit")
    folded.legend(loc="lower left", fontsize=8, ncol=2)
    figure.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, dpi=100)
    plt.close(figure)


if __name__ == "__main__":
    main()

"""The user-facing examples run and find what they should."""

import contextlib
import importlib.util
import io
import os
import runpy
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def gamma_example():
    return load_example("gamma_spectrum")


@pytest.fixture(scope="module")
def gamma_spectrum(gamma_example, tmp_path_factory):
    pytest.importorskip("matplotlib")
    picture = tmp_path_factory.mktemp("demo") / "spectrum.png"
    table = io.StringIO()
    with contextlib.redirect_stdout(table):
        result = gamma_example.main(["--channels", "512", "--replicas", "4", "--threads", "2",
                                     "--rl-iterations", "200", "--output", str(picture)])
    return result, picture, table.getvalue()


def test_gamma_spectrum_finds_every_line(gamma_spectrum):
    result, _, _ = gamma_spectrum
    assert len(result.lines) == 5
    for line in result.lines:
        assert abs(line.centroid - line.energy) < 2.0, line
        # Deconvolution narrows the peaks well below the detector's width.
        assert 0 < line.fwhm < 0.5 * 0.003 * line.energy**1.5, line
        assert 0.5 * line.counts < line.area < 1.5 * line.counts, line


def test_gamma_spectrum_bootstrap_spreads(gamma_spectrum):
    result, _, _ = gamma_spectrum
    bootstrap = result.bootstrap
    assert bootstrap.replicas == 4 and bootstrap.threads == 2
    assert bootstrap.passes.shape == (4,) and np.all((bootstrap.passes > 0) & (bootstrap.passes < 100_000))
    for line in result.lines:
        # Counting noise moves a line by a small fraction of the detector's
        # width and its area by a few percent at most, never by nothing.
        assert 0 < line.centroid_sd < 0.05 * 0.003 * line.energy**1.5, line
        assert 0 < line.area_sd < 0.05 * line.area, line
    assert bootstrap.low.shape == bootstrap.high.shape == result.energy.shape
    assert np.all(bootstrap.low <= bootstrap.high) and np.any(bootstrap.low < bootstrap.high)


def test_gamma_spectrum_converged_run(gamma_spectrum, gamma_example):
    result, _, table = gamma_spectrum
    converged, plain = result.converged, result.plain
    # By default the plain run gets the converged run's budget, and reaches a
    # lower log-likelihood with it.
    assert 0 < converged.passes < 100_000 and plain.passes == converged.passes
    assert converged.log_likelihood > plain.log_likelihood
    # The reported log-likelihoods are those of the returned estimates,
    # through the returned response.
    likelihood = gamma_example.poisson_log_likelihood_cy
    both = np.stack([result.ml_em, result.plain_ml_em])
    assert np.array_equal(likelihood(np.stack([result.measured] * 2), both, *result.response),
                          [converged.log_likelihood, plain.log_likelihood])
    # The table shows both runs' pass-equivalents and log-likelihoods.
    for run in (converged, plain):
        assert f"{run.passes:16d}  {run.log_likelihood:14.2f}" in table
    assert "±" in table and "bootstrap" in table


def test_gamma_spectrum_fit_errors_and_replica_stack(gamma_spectrum, gamma_example):
    result, _, _ = gamma_spectrum
    for line in result.lines:
        # The fit's own errors are finite and positive, of the order of the
        # spread over the replicas (a deconvolved spectrum's channels are
        # correlated, so not equal to it).
        assert 0 < line.area_error < 0.2 * line.area and 0 < line.centroid_error < 5.0, line
    # One fit_peaks_cy call on a stack gives each row what it gives alone.
    nominal = [round(energy) for _, energy, _ in gamma_example.LINES]
    half_windows = 0.3 * gamma_example.fwhm(0.003, np.array(nominal))
    stack = np.stack([result.ml_em, result.plain_ml_em])
    start = gamma_example.fit_peaks(result.energy, stack[:1], nominal, half_windows).result.params[0]
    together = gamma_example.fit_peaks(result.energy, stack, nominal, half_windows, start=start).result
    alone = gamma_example.fit_peaks(result.energy, stack[1:], nominal, half_windows, start=start).result
    assert np.all(together.status == 0)
    assert np.array_equal(together.params[1], alone.params[0])


def test_gamma_spectrum_keeps_counts_and_draws(gamma_spectrum):
    result, picture, _ = gamma_spectrum
    # ML-EM through a response whose rows sum to 1 conserves the counts.
    assert result.ml_em.sum() == pytest.approx(result.measured.sum(), rel=1e-6)
    assert np.all(result.ml_em >= 0) and np.all(np.isfinite(result.richardson_lucy))
    assert picture.stat().st_size > 10_000
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_gamma_spectrum_thread_split_changes_no_bit(gamma_spectrum, gamma_example):
    result, _, _ = gamma_spectrum
    stack = np.random.default_rng(3).poisson(result.measured, size=(3, len(result.measured))).astype(np.float64)
    alone, *split = [gamma_example.deconvolve_on_threads(stack, result.response, result.sensitivity, 1e-7,
                                                         100_000, threads) for threads in (1, 2, 3)]
    for estimates, passes in split:
        assert np.array_equal(estimates, alone[0]) and np.array_equal(passes, alone[1])


def test_gamma_spectrum_gives_the_problem_quietly(gamma_example, capsys):
    # How bench/stacks.py takes the demo's problem: no bootstrap, no picture,
    # no table; a response and a 1-D sensitivity that ML-EM takes as they are.
    result = gamma_example.main(["--no-plot", "--iterations", "1", "--rl-iterations", "1", "--replicas", "0",
                                 "--quiet"])
    assert capsys.readouterr().out == ""
    assert result.bootstrap is None and result.plain.passes == 1
    assert all(np.isnan(line.centroid_sd) for line in result.lines)
    n = len(result.measured)
    assert result.sensitivity.shape == (n,) and result.sensitivity.dtype == np.float64
    offsets, indices, values = result.response
    assert len(offsets) == n + 1 and len(indices) == len(values) == result.entries
    assert np.allclose(result.sensitivity, 1.0)


def test_gamma_spectrum_help_lists_options(gamma_example, capsys):
    with pytest.raises(SystemExit) as exit:
        gamma_example.main(["--help"])
    assert exit.value.code == 0
    out = capsys.readouterr().out
    for option in ("--channels", "--k", "--tolerance", "--max-passes", "--plain-passes", "--iterations",
                   "--replicas", "--threads", "--seed", "--output", "--quiet"):
        assert option in out
    # One replica has no spread to measure.
    with pytest.raises(SystemExit) as exit:
        gamma_example.main(["--replicas", "1"])
    assert exit.value.code == 2


@pytest.fixture(scope="module")
def dask_cluster(batch):
    """One local Dask cluster (a scheduler and a worker of two threads in
    this process) for the examples' --scheduler runs."""
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster:
        yield cluster


@pytest.fixture(scope="module")
def batch():
    if os.environ.get("TARVIX_SANITIZED") == "1":
        # Dask's pool and cluster threads outlive the test and are still
        # running at interpreter exit, where LeakSanitizer's final scan has
        # been seen to crash while stopping them. Concurrent calls of the
        # modules are covered under the sanitizers by the thread tests.
        pytest.skip("Dask threads at exit break LeakSanitizer's final scan")
    pytest.importorskip("dask.array")
    return load_example("batch_deconvolution")


def test_batch_back_ends_agree_bit_for_bit(batch, capsys):
    results = batch.main(["--spectra", "24", "--channels", "256", "--iterations", "20", "--workers", "3"])
    assert len(results) == 4
    loop, *others = results.values()
    assert loop.shape == (24, 256)
    for other in others:
        assert np.array_equal(loop, other)
    assert "results identical across back-ends: True" in capsys.readouterr().out


def test_batch_on_a_dask_cluster(batch, dask_cluster, capsys):
    results = batch.main(["--spectra", "8", "--channels", "128", "--iterations", "10", "--workers", "2",
                          "--scheduler", dask_cluster.scheduler_address])
    loop, stack, threads, on_cluster = results.values()
    assert np.array_equal(loop, on_cluster)
    assert dask_cluster.scheduler_address in capsys.readouterr().out


@pytest.fixture(scope="module")
def regions(batch):
    return load_example("fit_regions_dask")


def test_regions_back_ends_agree_and_find_the_peaks(regions, capsys):
    results = regions.main(["--regions", "50", "--workers", "3"])
    stack, on_threads = results.values()
    assert stack.shape == (50, 6) and np.array_equal(stack, on_threads)
    _, _, _, truth = regions.simulate(50, 5)
    # 2000 or more counts in a peak of sigma 2 channels: the centre within a
    # few tenths of a channel, the area within 15 %.
    assert np.all(np.abs(stack[:, 1] - truth[:, 1]) < 0.3)
    area = lambda p: p[:, 0] * np.sqrt(2.0 * np.pi * p[:, 2])
    assert np.all(np.abs(area(stack) / area(truth) - 1.0) < 0.15)
    assert "results identical across back-ends: True" in capsys.readouterr().out


def test_regions_on_a_dask_cluster(regions, dask_cluster, capsys):
    results = regions.main(["--regions", "20", "--workers", "2", "--scheduler", dask_cluster.scheduler_address])
    stack, on_cluster = results.values()
    assert np.array_equal(stack, on_cluster)
    assert dask_cluster.scheduler_address in capsys.readouterr().out


@pytest.mark.parametrize("name", ["fit_peaks", "resample_response", "richardson_lucy"])
def test_short_examples_run(name, capsys):
    runpy.run_path(str(EXAMPLES / f"{name}.py"), run_name="__main__")
    assert capsys.readouterr().out.strip()


def test_peaks_of_a_measured_spectrum(tmp_path, capsys):
    # The outdoor HPGe spectrum (900 s): its lines found, almost all of them
    # confirmed by local fits, and the picture drawn.
    pytest.importorskip("matplotlib")
    spe = load_example("spe")
    folder = spe.spectra_folder()
    if folder is None:
        pytest.skip("the measured spectra (../shared/data/spectra) are not here")
    example = load_example("find_peaks_real")
    result = example.analyse(folder / "Alcatraz14.spe", tmp_path)
    assert result["peaks"] >= 12
    assert result["below_3_sigma"] <= result["peaks"] // 4
    assert Path(result["picture"]).stat().st_size > 10_000
    assert "Alcatraz14.spe" in capsys.readouterr().out


@pytest.fixture(scope="module")
def many(batch):
    return load_example("analyse_many_dask")


def test_many_gather_shifts_offsets(many):
    # Two blocks of 2 and 3 spectra with 3 and 2 peaks: the second block's
    # offsets move up by the first's 3 peaks, the fields follow in order.
    example = many
    fields = example.FIELDS[1:]
    first = {"offsets": np.array([0, 1, 3], np.int64), **{f: np.arange(3.0) for f in fields}}
    second = {"offsets": np.array([0, 0, 2, 2], np.int64), **{f: np.arange(3.0, 5.0) for f in fields}}
    whole = example.gather([first, second])
    assert whole["offsets"].tolist() == [0, 1, 3, 3, 5, 5]
    for f in fields:
        assert whole[f].tolist() == [0.0, 1.0, 2.0, 3.0, 4.0]
    # A single block is left as it is.
    assert example.gather([second])["offsets"].tolist() == [0, 0, 2, 2]


def test_many_draws_each_spectrum_alone(many):
    # Spectrum s's counts depend on s alone, not on the block that draws it.
    example = many
    expected = np.array([[1.0, 50.0, 900.0], [3.0, 0.0, 20.0]])
    whole = example.draw(np.arange(7), expected, 3)
    assert np.array_equal(whole[4:7], example.draw(np.arange(4, 7), expected, 3))
    assert np.all(whole[1::2, 1] == 0)  # expected 0 gives no counts
    assert not np.array_equal(whole[0], whole[2])  # rows 0 and 2 share their mean, not their counts


def test_many_blocks_equal_the_direct_call(many, capsys):
    # 9 spectra in blocks of 4 (4, 4, 1) on threads and synchronously.
    results = many.main(["--spectra", "9", "--distinct", "3", "--block", "4", "--workers", "2",
                         "--scheduler", "threads", "--scheduler", "synchronous"])
    direct, threads, synchronous = results.values()
    assert many.identical(direct, threads) and many.identical(direct, synchronous)
    out = capsys.readouterr().out
    assert "rows identical to the direct call's: True" in out and out.count("spectra/s") == 3
    offsets = direct["offsets"]
    assert offsets.shape == (10,) and offsets[0] == 0 and np.all(np.diff(offsets) > 10)
    # Independently: a few spectra analysed one by one, each its own call,
    # give the gathered table's rows.
    edges, fwhm, expected = many.simulate_expected(3, 11)
    for s in (0, 4, 8):
        alone = many.as_arrays(many.analyse_spectra_cy(edges, many.draw(np.array([s]), expected, 11), fwhm))
        lo, hi = offsets[s], offsets[s + 1]
        for name in many.FIELDS[1:]:
            assert alone[name].tobytes() == direct[name][lo:hi].tobytes(), (s, name)
    # The background spectra's strongest lines are found in every spectrum.
    for lo, hi in zip(offsets[:-1], offsets[1:]):
        energy = direct["energy"][lo:hi]
        for line in (1460.82, 2614.51):
            assert np.min(np.abs(energy - line)) < 1.0


def test_many_on_a_dask_cluster(many, dask_cluster, capsys):
    results = many.main(["--spectra", "5", "--distinct", "2", "--block", "2", "--workers", "2",
                         "--scheduler", dask_cluster.scheduler_address])
    direct, on_cluster = results.values()
    assert many.identical(direct, on_cluster)
    assert dask_cluster.scheduler_address in capsys.readouterr().out


def test_many_refuses_no_spectra(many):
    with pytest.raises(SystemExit) as exit:
        many.main(["--spectra", "0"])
    assert exit.value.code == 2


def test_many_as_a_script_in_processes(many):
    # Run as a user runs it: the functions of __main__ go to the processes
    # by value.
    result = subprocess.run([sys.executable, str(EXAMPLES / "analyse_many_dask.py"), "--spectra", "4",
                             "--distinct", "2", "--block", "2", "--workers", "2", "--scheduler", "processes"],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    assert "Dask (processes)" in result.stdout
    assert "rows identical to the direct call's: True" in result.stdout

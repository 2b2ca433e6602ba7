"""The user-facing examples run and find what they should."""

import importlib.util
import os
import runpy
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
def gamma_spectrum(tmp_path_factory):
    pytest.importorskip("matplotlib")
    example = load_example("gamma_spectrum")
    picture = tmp_path_factory.mktemp("demo") / "spectrum.png"
    result = example.main(["--channels", "512", "--iterations", "10000", "--rl-iterations", "200",
                           "--output", str(picture)])
    return result, picture


def test_gamma_spectrum_finds_every_line(gamma_spectrum):
    result, _ = gamma_spectrum
    assert len(result.lines) == 5
    for line in result.lines:
        assert abs(line.centroid - line.energy) < 2.0, line
        # Deconvolution narrows the peaks well below the detector's width.
        assert 0 < line.fwhm < 0.5 * 0.003 * line.energy**1.5, line
        assert 0.5 * line.counts < line.area < 1.5 * line.counts, line


def test_gamma_spectrum_keeps_counts_and_draws(gamma_spectrum, capsys):
    result, picture = gamma_spectrum
    # ML-EM through a response whose rows sum to 1 conserves the counts.
    assert result.ml_em.sum() == pytest.approx(result.measured.sum(), rel=1e-6)
    assert np.all(result.ml_em >= 0) and np.all(np.isfinite(result.richardson_lucy))
    assert picture.stat().st_size > 10_000
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_gamma_spectrum_help_lists_options(capsys):
    example = load_example("gamma_spectrum")
    with pytest.raises(SystemExit) as exit:
        example.main(["--help"])
    assert exit.value.code == 0
    out = capsys.readouterr().out
    for option in ("--channels", "--k", "--iterations", "--seed", "--output"):
        assert option in out


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
    assert len(results) == 3
    loop, *others = results.values()
    assert loop.shape == (24, 256)
    for other in others:
        assert np.array_equal(loop, other)
    assert "results identical across back-ends: True" in capsys.readouterr().out


def test_batch_on_a_dask_cluster(batch, capsys):
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster:
        results = batch.main(["--spectra", "8", "--channels", "128", "--iterations", "10", "--workers", "2",
                              "--scheduler", cluster.scheduler_address])
    loop, threads, on_cluster = results.values()
    assert np.array_equal(loop, on_cluster)
    assert cluster.scheduler_address in capsys.readouterr().out


@pytest.mark.parametrize("name", ["fit_peaks", "resample_response", "richardson_lucy"])
def test_short_examples_run(name, capsys):
    runpy.run_path(str(EXAMPLES / f"{name}.py"), run_name="__main__")
    assert capsys.readouterr().out.strip()

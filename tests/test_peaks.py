"""snip_continuum_cy and find_peaks_cy: the SNIP steps against NumPy, what the
continuum and the search do on spectra with a known truth, stacks against
rows alone, edge cases, argument errors and interruption.

The simulated HPGe spectra come from bench/hpge.py (added to the path here)."""

import gc
import math
import signal
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from exact import assert_same_bits
from tarvix.utils.numerics.cython import peaks
from tarvix.utils.numerics.cython.peaks import find_peaks_cy, snip_continuum_cy

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import hpge  # noqa: E402

SIGMA_PER_FWHM = 1.0 / math.sqrt(8.0 * math.log(2.0))


def snip_reference(y, widths, smoothing=0, log=np.log, exp=np.exp):
    """The three steps of the SNIP continuum, in plain NumPy."""
    y = np.asarray(y, float)
    n = len(y)
    v = log(log(np.sqrt(y + 1.0) + 1.0) + 1.0)
    P = int(np.ceil(widths.max())) if n else 0
    i = np.arange(n)
    for p in range(P, 0, -1):
        if smoothing:
            total = np.zeros(n)
            for d in range(-smoothing, smoothing + 1):
                inside = (i + d >= 0) & (i + d < n)
                total[inside] += v[i[inside] + d]
            count = np.minimum(i + smoothing, n - 1) - np.maximum(i - smoothing, 0) + 1
            a = total / count
        else:
            a = v
        new = v.copy()
        sel = (p <= widths) & (i >= p) & (i <= n - 1 - p)
        new[sel] = np.minimum(a[sel], (v[i[sel] - p] + v[i[sel] + p]) / 2)
        v = new
    return (exp(exp(v) - 1.0) - 1.0) ** 2 - 1.0


math_log = np.frompyfunc(math.log, 1, 1)
math_exp = np.frompyfunc(math.exp, 1, 1)


def c_library(f):
    return lambda x: f(np.asarray(x, float)).astype(float)


def test_snip_equals_the_three_steps():
    # Constant and varying widths, with and without smoothing, peaks at the
    # array ends: bit for bit with the C library's log and exp (what the
    # kernel uses), within a few ulps with NumPy's own.
    rng = np.random.default_rng(1)
    n = 300
    x = np.arange(n)
    y = rng.poisson(200.0 * np.exp(-x / 150.0) + 5000.0 * np.exp(-0.5 * ((x - 2) / 2.0) ** 2)
                    + 3000.0 * np.exp(-0.5 * ((x - 150) / 3.0) ** 2) + 4000.0 * np.exp(-0.5 * ((x - 298) / 2.0) ** 2))
    y = y.astype(float)
    for widths in (np.full(n, 7.0), 2.0 + 10.0 * x / n, np.where(x % 7 == 0, 0.0, 5.5)):
        for smoothing in (0, 1, 3):
            got = snip_continuum_cy(y[None, :], widths, smoothing)[0]
            exact = snip_reference(y, widths, smoothing, c_library(math_log), c_library(math_exp))
            assert_same_bits(got, exact)
            np.testing.assert_allclose(got, snip_reference(y, widths, smoothing), rtol=1e-13, atol=0)


@pytest.mark.parametrize("shape", ["linear", "falling", "curved"])
def test_snip_keeps_a_continuum_and_removes_peaks(shape):
    # Noise-free continua: without peaks SNIP stays within 1 % (its
    # transform is concave, so a straight line is clipped a little); with
    # tailed HPGe-like peaks the continuum under them stays within 6 % of
    # the truth while the peaks reach 30 times it.
    n = 2000
    x = np.arange(n, dtype=float)
    continuum = {"linear": 400.0 - 0.15 * x, "falling": 2000.0 * np.exp(-x / 700.0) + 30.0,
                 "curved": 300.0 + 200.0 * np.sin(x / 600.0)}[shape]
    fwhm = 3.0 + 4.0 * x / n
    clean = snip_continuum_cy(continuum[None, :], 2.0 * fwhm)[0]
    np.testing.assert_allclose(clean, continuum, rtol=0.01)
    peaks_at = np.arange(100, n - 100, 150, dtype=float)
    spectrum = continuum.copy()
    edges = np.arange(n + 1) - 0.5
    for p in peaks_at:
        sigma = np.interp(p, x, fwhm) * SIGMA_PER_FWHM
        w = (edges - p) / sigma
        t, tau = 0.3, 0.7
        spectrum += 30.0 * continuum[int(p)] * sigma * 2.5 * np.diff(hpge.peak_cdf(w, t, tau))
    found = snip_continuum_cy(spectrum[None, :], 2.0 * fwhm)[0]
    for p in peaks_at.astype(int):
        assert spectrum[p] > 20 * continuum[p]
        np.testing.assert_allclose(found[p - 2:p + 3], continuum[p - 2:p + 3], rtol=0.06)


def test_snip_follows_a_poisson_continuum():
    # On Poisson counts SNIP sits below the mean by a fraction of the
    # counts' standard deviation (it clips fluctuations), never by more
    # than three of them in the median.
    rng = np.random.default_rng(5)
    mean = 50.0 + 500.0 * np.exp(-np.arange(4000) / 1500.0)
    Y = rng.poisson(mean, size=(20, 4000)).astype(float)
    c = snip_continuum_cy(Y, np.full(4000, 6.0))
    z = np.median((c - mean) / np.sqrt(mean), axis=0)
    assert -3.0 < np.median(z) < 0.5


def gaussian_noise_maxima(fwhm, n, threshold, replicas, rng):
    """Expected local maxima above threshold of the normalised matched
    filter on white noise: a NumPy evaluation of the filter (Gaussian of
    the FWHM over each channel, less its mean over +-2 FWHM)."""
    sigma = fwhm * SIGMA_PER_FWHM
    m = int(np.ceil(2.0 * fwhm))
    x = np.arange(-m, m + 1, dtype=float)
    from scipy.special import ndtr
    g = ndtr((x + 0.5) / sigma) - ndtr((x - 0.5) / sigma)
    w = g - g.mean()
    count = 0
    for _ in range(replicas):
        r = np.convolve(rng.standard_normal(n), w, mode="same") / np.sqrt(np.sum(w * w))
        inner = r[m + 1:n - m - 1]
        is_max = (inner > r[m:n - m - 2]) & (inner >= r[m + 2:n - m])
        count += int(np.sum(is_max & (inner >= threshold)))
    return count / replicas


@pytest.mark.parametrize("level", [5.0, 50.0, 2000.0])
def test_significance_has_unit_variance_where_there_is_no_peak(level):
    # Pure Poisson continua (flat, given or from SNIP): the number of peaks
    # at threshold 3 matches what the filter gives on unit Gaussian noise,
    # within a factor that several standard deviations of either count do
    # not reach (about 170 expected). At 5 counts per channel the would-be
    # peak's own counts, part of its standard deviation, make the search
    # conservative: fewer, never more.
    rng = np.random.default_rng(int(level))
    n, fwhm, spectra = 2048, 4.0, 100
    Y = rng.poisson(level, size=(spectra, n)).astype(float)
    expected = gaussian_noise_maxima(fwhm, n, 3.0, 100, np.random.default_rng(9)) * spectra
    low, high = (0.2, 1.0) if level < 10 else (0.7, 1.35)
    for continuum in (np.full(n, level), None):
        result = find_peaks_cy(Y, np.full(n, fwhm), 3.0, continuum)
        assert low * expected < result.offsets[-1] < high * expected, (result.offsets[-1], expected)
    # At the default threshold of 4 almost none.
    assert find_peaks_cy(Y, np.full(n, fwhm)).offsets[-1] <= 0.02 * spectra * n / fwhm / 10


def test_net_is_unbiased_and_significance_scatters_by_one():
    # One Gaussian peak of 400 counts on 100 per channel, at a channel
    # centre, 400 replicas: the net's mean is within 3 % of 400, and the
    # significance scatters with a standard deviation within 0.85-1.15.
    rng = np.random.default_rng(3)
    n, fwhm, N = 400, 5.0, 400.0
    edges = np.arange(n + 1) - 0.5
    sigma = fwhm * SIGMA_PER_FWHM
    from scipy.special import ndtr
    mean = 100.0 + N * np.diff(ndtr((edges - 200.0) / sigma))
    Y = rng.poisson(mean, size=(400, n)).astype(float)
    result = find_peaks_cy(Y, np.full(n, fwhm), 2.0, np.full(n, 100.0))
    nets, sigs = [], []
    for s in range(400):
        a, b = result.offsets[s], result.offsets[s + 1]
        near = np.flatnonzero(np.abs(result.position[a:b] - 200.0) < 0.5 * fwhm)
        if len(near):
            nets.append(result.net[a + near[0]])
            sigs.append(result.significance[a + near[0]])
    assert len(nets) >= 395
    assert abs(np.mean(nets) / N - 1.0) < 0.03
    assert 0.85 < np.std(sigs) < 1.15
    assert np.all(np.abs(result.width - fwhm) < 1e-12)


def test_search_on_simulated_hpge_spectra():
    # Lines of true significance >= 10 outside doublets are found (within
    # 0.5 FWHM), and few peaks match no line: wide margins around what
    # bench/peaks.py measures on many more spectra.
    sim = hpge.simulate(6, 17)
    result = find_peaks_cy(sim.counts, sim.fwhm_channels)
    step = sim.edges[1] - sim.edges[0]
    strong = missed = stray = 0
    for s, truth in enumerate(sim.truth):
        pos = result.position[result.offsets[s]:result.offsets[s + 1]]
        assert np.all(np.diff(pos) > 0)
        distance = np.abs(pos[:, None] - truth["channel"][None, :])
        near = distance <= 0.5 * truth["fwhm"][None, :] / step
        outside_511 = np.abs(pos * step - 511.0) > 8.0
        stray += int(np.sum(~near.any(axis=1) & outside_511))
        keep = (truth["significance"] >= 10) & (truth["kind"] != hpge.DOUBLET) & (np.abs(truth["energy"] - 511) > 8)
        strong += int(keep.sum())
        missed += int(np.sum(keep & ~near.any(axis=0)))
    assert missed <= 0.02 * strong
    assert stray <= 6 * 2


@pytest.mark.parametrize("t, tau", [(0.12, 0.78), (0.3, 0.7), (0.6, 0.5)])
def test_shoulder_and_tail(t, tau):
    # A strong tailed peak with a step (1e6 counts) on a flat continuum
    # gives one peak; a line of 8 % of it 1.2 FWHM above is found too.
    n, fwhm = 600, 6.0
    edges = np.arange(n + 1) - 0.5
    sigma = fwhm * SIGMA_PER_FWHM
    base = 200.0 + 1e6 * np.diff(hpge.peak_cdf((edges - 300.0) / sigma, t, tau))
    base += 1e6 * 0.003 / (sigma * np.sqrt(2 * np.pi)) * sigma * -np.diff(hpge.step_integral((edges - 300.0) / sigma))
    shoulder = base + 8e4 * np.diff(hpge.peak_cdf((edges - 300.0 - 1.2 * fwhm) / sigma, t, tau))
    rng = np.random.default_rng(8)
    alone = find_peaks_cy(rng.poisson(base)[None, :].astype(float), np.full(n, fwhm))
    assert len(alone.position) == 1 and abs(alone.position[0] - 300.0) < 0.5
    both = find_peaks_cy(rng.poisson(shoulder)[None, :].astype(float), np.full(n, fwhm))
    assert len(both.position) == 2
    assert abs(both.position[1] - 300.0 - 1.2 * fwhm) < 0.3 * fwhm


def layouts(Y):
    yield "C", Y
    yield "Fortran", np.asfortranarray(Y)
    wide = np.zeros((Y.shape[0] * 2, Y.shape[1] * 3))
    wide[::2, ::3] = Y
    yield "strided", wide[::2, ::3]
    frozen = Y.copy()
    frozen.flags.writeable = False
    yield "read-only", frozen
    yield "reversed rows", Y[::-1][::-1]


@pytest.fixture(scope="module")
def stack():
    sim = hpge.simulate(11, 23, n=2048)
    Y = sim.counts.copy()
    Y[3, 100] = np.nan
    Y[5, 7] = -1.0
    Y[7, 9] = np.inf
    Y[8] = 0.0
    return Y, sim.fwhm_channels


def rows_of(result, s):
    a, b = result.offsets[s], result.offsets[s + 1]
    return [field[a:b] for field in result[1:]]


def test_rows_of_a_stack_are_the_rows_alone(stack):
    # Every layout of the stack, with every continuum form: row s is bit for
    # bit the result for Y[s] alone. Invalid rows get no peaks.
    Y, fwhm = stack
    widths = 2.0 * fwhm
    alone_snip = [snip_continuum_cy(Y[s:s + 1], widths)[0] for s in range(len(Y))]
    given = snip_continuum_cy(np.nan_to_num(np.abs(Y), posinf=0.0), widths)
    alone = {key: [find_peaks_cy(Y[s:s + 1], fwhm, 4.0, c) for s in range(len(Y))]
             for key, c in (("none", None), ("row", given[0]))}
    alone["stack"] = [find_peaks_cy(Y[s:s + 1], fwhm, 4.0, given[s:s + 1]) for s in range(len(Y))]
    for name, layout in layouts(Y):
        snip = snip_continuum_cy(layout, widths)
        for s in range(len(Y)):
            assert_same_bits(snip[s], alone_snip[s])
        for key, c in (("none", None), ("row", given[0]), ("stack", given)):
            for _, c_layout in (layouts(c) if key == "stack" else [(None, c)]):
                result = find_peaks_cy(layout, fwhm, 4.0, c_layout)
                for s in range(len(Y)):
                    for got, want in zip(rows_of(result, s), alone[key][s][1:]):
                        assert_same_bits(got, want)
    result = find_peaks_cy(Y, fwhm)
    counts = np.diff(result.offsets)
    assert list(counts[[3, 5, 7, 8]]) == [0, 0, 0, 0]
    assert counts[[0, 1, 2, 4, 6, 9, 10]].min() > 10
    assert np.isnan(snip_continuum_cy(Y, widths)[3]).all()
    assert not np.isnan(snip_continuum_cy(Y, widths)[5]).any()  # -1 is allowed: sqrt(0)


def test_inputs_are_not_written(stack):
    Y, fwhm = stack
    before = Y.copy(), fwhm.copy()
    snip_continuum_cy(Y, 2.0 * fwhm, 2)
    find_peaks_cy(Y, fwhm)
    assert_same_bits(Y, before[0])
    assert_same_bits(fwhm, before[1])


@pytest.mark.parametrize("S, n", [(0, 50), (3, 0), (0, 0), (2, 1), (2, 3), (2, 5)])
def test_empty_and_short(S, n):
    # No rows, no channels, fewer channels than the windows: shapes right,
    # no peaks where no window fits, SNIP unchanged where it cannot clip.
    Y = np.full((S, n), 7.0)
    if n:
        Y[:, n // 2] = 1e4
    c = snip_continuum_cy(Y, np.full(n, 10.0))
    assert c.shape == (S, n)
    if S and n < 3:
        np.testing.assert_allclose(c, Y, rtol=1e-12)
    result = find_peaks_cy(Y, np.full(n, 4.0))
    assert result.offsets.shape == (S + 1,) and result.offsets.dtype == np.int64
    assert all(field.shape == (result.offsets[-1],) for field in result[1:])
    assert type(result) is peaks.PeakList


def test_all_zero_rows_have_no_peaks():
    Y = np.zeros((3, 500))
    assert find_peaks_cy(Y, np.full(500, 5.0)).offsets.tolist() == [0, 0, 0, 0]
    assert not snip_continuum_cy(Y, np.full(500, 5.0)).any()


def test_row_with_a_non_finite_continuum_has_no_peaks(stack):
    Y, fwhm = stack
    c = snip_continuum_cy(np.nan_to_num(np.abs(Y), posinf=0.0), 2.0 * fwhm)
    c[1, 40] = np.inf
    counts = np.diff(find_peaks_cy(Y, fwhm, 4.0, c).offsets)
    assert counts[1] == 0 and counts[0] > 0 and counts[2] > 0


Y4 = np.ones((2, 4))


@pytest.mark.parametrize("call, error, words", [
    (lambda: snip_continuum_cy(Y4, np.ones(3)), ValueError, ["widths", "(3,)", "(2, 4)"]),
    (lambda: snip_continuum_cy(Y4, np.array([1.0, -1.0, 1.0, 1.0])), ValueError, ["widths[1]", "-1.0"]),
    (lambda: snip_continuum_cy(Y4, np.array([1.0, np.nan, 1.0, 1.0])), ValueError, ["widths[1]", "nan"]),
    (lambda: snip_continuum_cy(Y4, np.ones(4), -1), ValueError, ["smoothing", "-1"]),
    (lambda: snip_continuum_cy(Y4[0], np.ones(4)), ValueError, ["Y: Buffer has wrong number of dimensions"]),
    (lambda: snip_continuum_cy(Y4.astype(np.float32), np.ones(4)), ValueError, ["Y: ", "dtype"]),
    (lambda: snip_continuum_cy(Y4, np.ones(4), 1.0), TypeError, ["smoothing: 'float' object cannot be interpreted"]),
    (lambda: snip_continuum_cy(None, np.ones(4)), TypeError, ["Y"]),
    (lambda: snip_continuum_cy(list(Y4), np.ones(4)), TypeError, ["Y"]),
    (lambda: find_peaks_cy(Y4, np.ones(5)), ValueError, ["fwhm", "(5,)", "(2, 4)"]),
    (lambda: find_peaks_cy(Y4, np.array([1.0, 0.0, 1.0, 1.0])), ValueError, ["fwhm[1]", "0.0"]),
    (lambda: find_peaks_cy(Y4, np.array([1.0, 1.0, np.inf, 1.0])), ValueError, ["fwhm[2]", "inf"]),
    (lambda: find_peaks_cy(Y4, np.ones(4), np.nan), ValueError, ["threshold", "NaN"]),
    (lambda: find_peaks_cy(Y4, np.ones(4), 4.0, np.ones(3)), ValueError, ["continuum", "(3,)", "(2, 4)"]),
    (lambda: find_peaks_cy(Y4, np.ones(4), 4.0, np.ones((3, 4))), ValueError, ["continuum", "(3, 4)", "(2, 4)"]),
    (lambda: find_peaks_cy(Y4, np.ones(4), 4.0, np.ones((2, 2, 4))), ValueError, ["continuum: ", "dimensions"]),
    (lambda: find_peaks_cy(Y4, np.ones((1, 4))), ValueError, ["fwhm: Buffer has wrong number of dimensions"]),
    (lambda: find_peaks_cy(Y4, np.ones(4), "x"), (TypeError, ValueError), ["threshold"]),
    (lambda: find_peaks_cy(Y4, None), TypeError, ["fwhm"]),
    (lambda: find_peaks_cy(Y4, np.ones(4), 4.0, [1.0] * 4), TypeError, ["continuum"]),
], ids=lambda value: "" if callable(value) else None)
def test_argument_errors(call, error, words):
    with pytest.raises(error) as raised:
        call()
    for word in words:
        assert word in str(raised.value), str(raised.value)


def test_an_interrupt_ends_a_long_call():
    # A stack lasting about 10 s (one row read for all): Ctrl-C ends it
    # within half a second, with nothing leaked.
    sim = hpge.simulate(1, 4)
    y, fwhm = sim.counts[0], sim.fwhm_channels
    start = time.perf_counter()
    find_peaks_cy(np.broadcast_to(y, (64, y.size)), fwhm)
    rows = int(10.0 / ((time.perf_counter() - start) / 64))
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for call in (lambda Y: find_peaks_cy(Y, fwhm), lambda Y: snip_continuum_cy(Y, 2.0 * fwhm)):
            Y = np.broadcast_to(y, (rows, y.size))
            gc.collect()
            blocks = sys.getallocatedblocks()
            sent = []

            def interrupt():
                sent.append(time.perf_counter())
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

            timer = threading.Timer(0.2, interrupt)
            timer.start()
            try:
                with pytest.raises(KeyboardInterrupt):
                    call(Y)
            finally:
                timer.join()
            assert time.perf_counter() - sent[0] < 0.5
            gc.collect()
            assert sys.getallocatedblocks() - blocks < 50
    finally:
        signal.signal(signal.SIGINT, previous)


def test_docstrings_carry_text_signatures():
    import inspect
    assert str(inspect.signature(find_peaks_cy)) == "(Y, fwhm, threshold=4.0, continuum=None)"
    assert str(inspect.signature(snip_continuum_cy)) == "(Y, widths, smoothing=0)"
    assert peaks.PeakList._fields if hasattr(peaks.PeakList, "_fields") else peaks.PeakList.n_fields == 5

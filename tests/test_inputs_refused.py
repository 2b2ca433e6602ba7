"""What fitting and unfolding refuse and how their errors read: responses
whose offsets decrease or, for a fit, whose values are not finite; the
argument named in every dtype, dimension and conversion error; MemoryErrors
that say the bytes asked for. Beside them, the specified module that takes
the same arrays, unchanged; and the folded background of fit_folded_cy
against SciPy's M.T @ B, ended by a signal."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import scipy.sparse

from test_fitting_folded import deviance, problem
from tarvix.utils.numerics.cython import deconvolution, fitting, unfolding

SANITIZED = os.environ.get("TARVIX_SANITIZED") == "1"


def decreasing(response):
    """The response with offsets[6] set below offsets[5]: row 5 runs
    backwards."""
    offsets = response[0].copy()
    offsets[6] = offsets[4]
    return offsets, response[1], response[2]


def stack():
    x, response, matrix, basis, truth, mu, rng = problem(3)
    return x, response, basis, truth, rng.poisson(mu, size=(3, len(mu))).astype(float)


# --- responses -----------------------------------------------------------------

REFUSING = {
    "ML_EM_batch_cy": lambda x, r, b, p, Y: unfolding.ML_EM_batch_cy(Y, *r, np.ones(len(x)), 5),
    "ML_EM_converge_cy": lambda x, r, b, p, Y: unfolding.ML_EM_converge_cy(Y, *r, np.ones(len(x)), 1e-9, 20),
    "poisson_log_likelihood_cy": lambda x, r, b, p, Y: unfolding.poisson_log_likelihood_cy(Y, Y, *r),
    "fit_folded_cy": lambda x, r, b, p, Y: fitting.fit_folded_cy(x, Y, p, *r, b),
}


@pytest.mark.parametrize("name", REFUSING)
def test_decreasing_offsets_are_refused_as_scipy_refuses_them(name):
    x, response, basis, truth, Y = stack()
    bad = decreasing(response)
    with pytest.raises(ValueError, match="non-decreasing"):
        scipy.sparse.csr_matrix((bad[2], bad[1], bad[0]), shape=(len(x), len(x))).check_format()
    message = f"offsets[6] = {bad[0][6]} is below offsets[5] = {bad[0][5]}: offsets must not decrease"
    with pytest.raises(ValueError, match=re.escape(message)):
        REFUSING[name](x, bad, basis, truth, Y)
    REFUSING[name](x, response, basis, truth, Y)  # the good arrays pass


def test_the_specified_module_still_reads_such_a_row_as_empty():
    # No error: row 5 spreads nothing, so its source bin ends at 0.
    x, response, basis, truth, Y = stack()
    got = deconvolution.ML_EM_cy(Y[0], *decreasing(response), np.ones(len(x)), 3)
    assert got[5] == 0.0 and np.isfinite(got).all() and np.count_nonzero(got) == len(x) - 1


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("position", [0, 57, -1])
def test_a_fit_refuses_response_values_that_are_not_finite(value, position):
    x, response, basis, truth, Y = stack()
    values = response[2].copy()
    values[position] = value
    k = position % len(values)
    row = np.searchsorted(response[0], k, side="right") - 1
    with pytest.raises(ValueError, match=re.escape(f"values[{k}] = {value!r} (row {row}) is not finite")):
        fitting.fit_folded_cy(x, Y, truth, response[0], response[1], values, basis)


def test_an_infinite_count_gives_a_nan_log_likelihood():
    x, response, basis, truth, Y = stack()
    Y[1, 7] = np.inf
    X, passes, log_likelihood = unfolding.ML_EM_converge_cy(Y, *response, np.ones(len(x)), 1e-9, 50)
    assert np.isnan(log_likelihood[1]) and passes[1] == 0 and np.all(X[1] == 1.0)
    assert np.isfinite(log_likelihood[[0, 2]]).all()
    assert np.nanargmax(log_likelihood) != 1
    alone = unfolding.ML_EM_converge_cy(Y[:1], *response, np.ones(len(x)), 1e-9, 50)
    assert alone[2][0] == log_likelihood[0]


# --- errors name their argument -----------------------------------------------------

x0, r0, b0, p0, Y0 = stack()
PEAKS = dict(x=x0, Y=Y0, params=np.array([4000.0, x0[20], 2.0, 30.0]), background=np.ones((len(x0), 1)))
FOLDED = dict(x=x0, Y=Y0, params=p0, offsets=r0[0], indices=r0[1], values=r0[2], background=b0)
BATCH = dict(Y=Y0, offsets=r0[0], indices=r0[1], values=r0[2], sensitivity=np.ones(len(x0)))
DIMS = "Buffer has wrong number of dimensions"


@pytest.mark.parametrize("function, good, change, error, message", [
    (fitting.fit_peaks_cy, PEAKS, dict(Y=Y0[0]), ValueError, f"Y: {DIMS} (expected 2, got 1)"),
    (fitting.fit_peaks_cy, PEAKS, dict(x=x0[None]), ValueError, f"x: {DIMS} (expected 1, got 2)"),
    (fitting.fit_peaks_cy, PEAKS, dict(params=np.ones((1, 1, 4))), ValueError,
     f"params: {DIMS} (expected 1 or 2, got 3)"),
    (fitting.fit_peaks_cy, PEAKS, dict(background=np.ones(len(x0))), ValueError,
     f"background: {DIMS} (expected 2, got 1)"),
    (fitting.fit_peaks_cy, PEAKS, dict(lower=np.zeros(4, np.float32)), ValueError,
     "lower: Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    (fitting.fit_peaks_cy, PEAKS, dict(upper=np.zeros(4, np.int64)), ValueError,
     "upper: Buffer dtype mismatch, expected 'float64_t'"),
    (fitting.fit_peaks_cy, PEAKS, dict(poisson=False, weights=np.ones((1, 1, 40))), ValueError,
     f"weights: {DIMS} (expected 1 or 2, got 3)"),
    (fitting.fit_peaks_cy, PEAKS, dict(max_iterations=None), TypeError,
     "max_iterations: 'NoneType' object cannot be interpreted as an integer"),
    (fitting.fit_peaks_cy, PEAKS, dict(max_iterations=20.0), TypeError,
     "max_iterations: 'float' object cannot be interpreted as an integer"),
    (fitting.fit_peaks_cy, PEAKS, dict(max_iterations=2**31), OverflowError, "max_iterations: "),
    (fitting.fit_peaks_cy, PEAKS, dict(tolerance=None), TypeError, "tolerance: must be real number, not NoneType"),
    (fitting.fit_folded_cy, FOLDED, dict(offsets=r0[0].astype(np.int32)), ValueError,
     "offsets: Buffer dtype mismatch, expected 'int64_t'"),
    (fitting.fit_folded_cy, FOLDED, dict(indices=r0[1].astype(np.int64)), ValueError,
     "indices: Buffer dtype mismatch, expected 'int32_t'"),
    (fitting.fit_folded_cy, FOLDED, dict(values=r0[2][None]), ValueError, f"values: {DIMS} (expected 1, got 2)"),
    (fitting.fit_folded_cy, FOLDED, dict(max_iterations=1.5), TypeError,
     "max_iterations: 'float' object cannot be interpreted as an integer"),
    (fitting.fit_folded_cy, FOLDED, dict(tolerance=None), TypeError, "tolerance: must be real number, not NoneType"),
    (unfolding.ML_EM_batch_cy, BATCH, dict(Y=Y0[0]), ValueError, f"Y: {DIMS} (expected 2, got 1)"),
    (unfolding.ML_EM_batch_cy, BATCH, dict(sensitivity=np.ones(40, np.float32)), ValueError,
     "sensitivity: Buffer dtype mismatch"),
    (unfolding.ML_EM_batch_cy, BATCH, dict(values=r0[2].astype(np.float32)), ValueError,
     "values: Buffer dtype mismatch"),
    (unfolding.ML_EM_batch_cy, BATCH, dict(iterations=None), TypeError, "iterations: an integer is required"),
    (unfolding.ML_EM_converge_cy, BATCH, dict(tolerance=None), TypeError,
     "tolerance: must be real number, not NoneType"),
    (unfolding.ML_EM_converge_cy, BATCH, dict(max_passes="5"), TypeError, "max_passes: an integer is required"),
])
def test_errors_name_their_argument(function, good, change, error, message):
    with pytest.raises(error) as raised:
        function(**{**good, **change})
    assert str(raised.value).startswith(message)


def test_integer_parameters_take_what_python_takes():
    # Anything with __index__ (NumPy's integers, bool) is an integer; the
    # result is the int's.
    expected = fitting.fit_peaks_cy(**PEAKS, max_iterations=3)
    for value in (np.int64(3), np.int32(3)):
        got = fitting.fit_peaks_cy(**PEAKS, max_iterations=value)
        np.testing.assert_array_equal(got.params, expected.params)
    with pytest.raises(TypeError, match=re.escape("'float' object cannot be interpreted as an integer")):
        range(3.0)  # what Python's own integer parameters say


@pytest.mark.parametrize("call, message", [
    (lambda: deconvolution.ML_EM_cy(Y0, *r0, np.ones(40)), f"{DIMS} (expected 1, got 2)"),
    (lambda: deconvolution.ML_EM_cy(Y0[0], *r0, np.ones(40), None), "an integer is required"),
    (lambda: deconvolution.ML_EM_cy(Y0[0], r0[0].astype(np.int32), *r0[1:], np.ones(40)),
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
])
def test_the_specified_modules_keep_their_messages(call, message):
    with pytest.raises((TypeError, ValueError)) as raised:
        call()
    assert str(raised.value) == message


# --- MemoryError says the bytes -----------------------------------------------------

@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves the address space")
@pytest.mark.parametrize("setup, call, what", [
    ("S, m = 10**7, 4; Y = np.broadcast_to(np.ones(m), (S, m)); x = np.arange(m + 0.0)",
     "fit_peaks_cy(x, Y, np.array([1.0, 1.5, 1.0]))", "the results"),
    ("m = 4 * 10**6; Y = np.ones((1, m)); x = np.arange(m + 0.0)",
     "fit_peaks_cy(x, Y, np.ones(30))", "the peak model's arrays"),
    ("n = 2 * 10**5; Y = np.ones((1, n)); x = np.arange(n + 0.0); "
     "r = (np.zeros(n + 1, np.int64), np.zeros(0, np.int32), np.zeros(0)); B = np.broadcast_to(np.ones(1), (n, 300))",
     "fit_folded_cy(x, Y, np.ones(300), *r, B)", "a copy of background"),
])
def test_memory_errors_say_the_bytes(setup, call, what):
    code = textwrap.dedent(f"""
        import resource, numpy as np
        from tarvix.utils.numerics.cython.fitting import *
        {setup}
        with open('/proc/self/status') as status:
            size = [int(line.split()[1]) * 1024 for line in status if line.startswith('VmSize')][0]
        resource.setrlimit(resource.RLIMIT_AS, (size + 200 * 2**20, resource.RLIM_INFINITY))
        try:
            {call}
        except MemoryError as error:
            print(error)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, cwd="/").stdout
    found = re.fullmatch(r"no room for (.+): (\d+) bytes \(([\d.]+) MiB\) asked for\n", out)
    assert found, out
    assert found[1] == what and int(found[2]) > 200 * 2**20
    assert float(found[3]) == round(int(found[2]) / 2**20, 1)


# --- the folded background -----------------------------------------------------------

@pytest.mark.parametrize("q", [1, 7, 8, 9, 30])
@pytest.mark.parametrize("layout", ["plain", "from the end", "strided"])
def test_the_folded_background_is_scipys_fold(q, layout):
    # Only background coefficients: after no iteration the objective is the
    # deviance of M^T B b, which SciPy computes by its own fold.
    x, response, matrix, _, _, mu, rng = problem(5, n=60)
    basis = rng.uniform(0.5, 2.0, (len(x), q))
    b = rng.uniform(5.0, 20.0, q)
    y = rng.poisson(matrix.T @ (basis @ b)).astype(float)
    offsets, indices, values = response
    if layout == "from the end":  # positions and columns counted from the end
        offsets, indices = offsets - len(values), indices - len(x)
    if layout == "strided":
        basis = np.asfortranarray(np.repeat(basis, 2, axis=1))[:, ::2]
        values = np.repeat(values, 2)[::2]
    result = fitting.fit_folded_cy(x, y[None], b, offsets, indices, values, basis, max_iterations=0)
    expected = deviance(y, (matrix.T @ basis) @ b + 1e-12)
    np.testing.assert_allclose(result.objective[0], expected, rtol=1e-12)


@pytest.mark.skipif(SANITIZED, reason="sized for the optimised build")
def test_a_signal_ends_the_fold():
    # A wide band response and as many columns as fold in about 3 s (sized
    # from a warm call), each held by its bounds so that the fold is the
    # call's work; a SIGINT 0.1 s in ends the call within the fold, long
    # before the fold would have ended.
    n, width = 4000, 500
    rows = [np.arange(max(j - width, 0), min(j + width + 1, n)) for j in range(n)]
    offsets = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.int64)
    indices = np.concatenate(rows).astype(np.int32)
    values = np.full(len(indices), 1.0 / (2 * width + 1))
    x = np.arange(n + 0.0)
    y = np.ones((1, n))

    def call(basis):
        held = np.ones(basis.shape[1])
        start = time.perf_counter()
        fitting.fit_folded_cy(x, y, held, offsets, indices, values, basis, held, held, max_iterations=0)
        return time.perf_counter() - start

    call(np.ones((n, 32)))
    estimate = call(np.ones((n, 32)))
    q = int(min(1024, 32 * 3.0 / estimate))
    basis = np.ones((n, q))
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    # Ctrl-C's own handler, also where the run was started with SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.1, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call(basis)
        ended = time.perf_counter()
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert ended - sent[0] < min(1.0, 0.5 * estimate * q / 32)

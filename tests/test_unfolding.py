"""The unfolding module's stack functions: every row of a result is bit for
bit the single call on that spectrum, whatever the response, the stack's
size and layout; the arguments are refused as the single calls refuse
them."""

import pickle

import numpy as np
import pytest

from concurrency import assert_other_threads_run
from deconvolution_reference import assert_same_bits, csr_from_rows as csr
from tarvix.utils.numerics.cython import deconvolution, respgrid, unfolding

ML_EM_batch_cy = unfolding.ML_EM_batch_cy
richardson_lucy_batch_cy = unfolding.richardson_lucy_batch_cy
MODULE = "tarvix.utils.numerics.cython.unfolding"


def single_calls(Y, *response, iterations=30):
    return np.array([deconvolution.ML_EM_cy(y, *response, iterations) for y in Y]).reshape(Y.shape)


def random_response(rng, n, kind):
    """Rows of consecutive columns (bands, long runs), scattered columns with duplicates,
    empty rows; `negative`: positions and columns counting from the end (offsets
    that never decrease, which the stack functions ask for)."""
    if kind == "negative":
        length = int(rng.integers(1, 3 * n + 2))
        offsets = np.sort(rng.integers(-length, length + 1, size=n + 1)).astype(np.int64)
        indices = rng.integers(-n, n, size=length).astype(np.int32)
        return offsets, indices, rng.uniform(0.0, 1.5, size=length)
    rows = []
    for j in range(n):
        if kind == "band":
            half = int(rng.integers(0, 6))
            columns = np.arange(max(0, j - half), min(n, j + half + 1))
        elif kind == "long":
            first = int(rng.integers(0, n))
            columns = np.arange(first, first + int(rng.integers(0, n - first + 1)))
        else:
            columns = rng.integers(0, n, size=int(rng.integers(0, 5)))  # duplicates too
        if rng.random() < 0.1:
            columns = columns[:0]
        rows.append((columns, rng.uniform(0.0, 1.0, size=len(columns))))
    return csr(rows)


def stack(rng, spectra, n):
    Y = rng.poisson(30.0, size=(spectra, n)).astype(np.float64)
    return Y


@pytest.mark.parametrize("kind", ["band", "long", "scatter", "negative"])
@pytest.mark.parametrize("spectra, n", [(1, 7), (3, 13), (9, 31), (17, 40), (33, 5)])
def test_rows_are_the_single_calls(kind, spectra, n):
    # Stack sizes that are no multiple of any vector width.
    rng = np.random.default_rng(spectra * 100 + n + len(kind))
    response = random_response(rng, n, kind)
    sensitivity = rng.uniform(0.5, 2.0, size=n)
    sensitivity[::4] = 0.0
    Y = stack(rng, spectra, n)
    iterations = int(rng.integers(1, 12))
    got = ML_EM_batch_cy(Y, *response, sensitivity, iterations)
    assert got.dtype == np.float64 and got.shape == Y.shape and got.flags.c_contiguous
    assert_same_bits(got, single_calls(Y, *response, sensitivity, iterations=iterations))


def test_built_and_resampled_responses():
    rng = np.random.default_rng(1)
    axis = (np.arange(300) + 0.5) * 10.0
    gaussian = deconvolution.build_gaussian_response(axis, 0.003 * axis ** 1.5 / 2.3548200450309493)
    ref_e = np.linspace(200.0, 2800.0, 8)
    matrix = np.exp(-0.5 * ((axis[None, :] - ref_e[:, None]) / 30.0) ** 2) + 0.01 + axis[None, :] * 1e-4
    resampled = respgrid.respgrid_cy(matrix, ref_e, axis, np.linspace(200.0, 2800.0, 300), axis)
    Y = stack(rng, 12, 300)
    for response in (gaussian, resampled):
        assert_same_bits(ML_EM_batch_cy(Y, *response, np.ones(300), 20),
                         single_calls(Y, *response, np.ones(300), iterations=20))


@pytest.mark.parametrize("layout", ["strided", "negative-stride", "read-only", "fortran"])
def test_stack_layouts(layout):
    rng = np.random.default_rng(2)
    response = random_response(rng, 20, "band")
    Y = stack(rng, 11, 20)
    if layout == "strided":
        given = np.repeat(np.repeat(Y, 2, axis=0), 3, axis=1)[::2, ::3]
    elif layout == "negative-stride":
        given = Y[::-1, ::-1].copy()[::-1, ::-1]
    elif layout == "fortran":
        given = np.asfortranarray(Y)
    else:
        given = Y.copy()
        given.flags.writeable = False
    before = given.copy()
    assert_same_bits(ML_EM_batch_cy(given, *response, np.ones(20), 9),
                     ML_EM_batch_cy(Y, *response, np.ones(20), 9))
    assert_same_bits(given, before)


def test_odd_values_stay_in_their_rows():
    rng = np.random.default_rng(3)
    response = random_response(rng, 16, "band")
    Y = stack(rng, 10, 16)
    Y[1, 3] = np.nan
    Y[2] = 0.0
    Y[3, ::2] = -5.0
    Y[4, 7] = np.inf
    with np.errstate(all="ignore"):
        got = ML_EM_batch_cy(Y, *response, np.ones(16), 8)
        expected = single_calls(Y, *response, np.ones(16), iterations=8)
    assert_same_bits(got, expected)
    assert np.isnan(got[1]).any() and not np.isnan(got[[0, 5, 6, 7, 8, 9]]).any()


@pytest.mark.parametrize("shape", [(0, 5), (4, 0), (0, 0)])
def test_empty_stacks(shape):
    n = shape[1]
    got = ML_EM_batch_cy(np.zeros(shape), *csr([(range(0), [])] * n), np.ones(n))
    assert got.shape == shape and got.dtype == np.float64


@pytest.mark.parametrize("iterations", [0, -3])
def test_no_pass_returns_ones_unchecked(iterations):
    broken = (np.zeros(1, np.int64), np.zeros(0, np.int32), np.zeros(0))
    assert_same_bits(ML_EM_batch_cy(np.full((3, 4), 7.0), *broken, None, iterations), np.ones((3, 4)))


class TestRichardsonLucy:
    def test_rows_are_the_single_calls(self):
        rng = np.random.default_rng(4)
        axis = np.cumsum(rng.uniform(2.0, 4.0, size=150)) + 50.0
        Y = stack(rng, 7, 150)
        sensitivity = rng.uniform(0.8, 1.2, size=150)
        for k in (0.0005, 0.003, 0.0):
            with np.errstate(all="ignore"):
                got = richardson_lucy_batch_cy(axis, Y, k, sensitivity, 12)
                expected = [deconvolution.richardson_lucy_cy(axis, y, k, sensitivity, 12) for y in Y]
            assert_same_bits(got, np.array(expected))

    @pytest.mark.parametrize("length", [9, 11])
    def test_axis_and_spectra_must_agree(self, length):
        with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
            richardson_lucy_batch_cy(np.linspace(1.0, 2.0, length), np.ones((2, 10)), 0.01, np.ones(10))

    def test_read_only_axis_refused(self):
        axis = np.linspace(1.0, 2.0, 10)
        axis.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            richardson_lucy_batch_cy(axis, np.ones((2, 10)), 0.01, np.ones(10))


def test_module_namespace():
    public = [name for name in vars(unfolding) if not name.startswith("__") and name != "np"]
    assert public[:2] == ["ML_EM_batch_cy", "richardson_lucy_batch_cy"]
    assert unfolding.np is np and unfolding.__test__ == {}
    for name in public:
        function = getattr(unfolding, name)
        assert function.__module__ == MODULE and function.__doc__  # the stub's docstring (test_unfolding_stops)
        assert pickle.loads(pickle.dumps(function)) is function


GOOD = (np.ones((2, 3)), *csr([([0], [1.0]), ([1, 2], [0.5, 0.5]), ([], [])]), np.ones(3))


@pytest.mark.parametrize("args, kwargs, error, message", [
    (GOOD[:4], {}, TypeError, r"ML_EM_batch_cy\(\) takes at least 5 positional arguments \(4 given\)"),
    (GOOD + (1, 2), {}, TypeError, r"ML_EM_batch_cy\(\) takes at most 6 positional arguments \(7 given\)"),
    (GOOD, {"Y": GOOD[0]}, TypeError, "got multiple values for keyword argument 'Y'"),
    (GOOD, {"passes": 3}, TypeError, "got an unexpected keyword argument 'passes'"),
    (GOOD, {"iterations": "3"}, TypeError, "an integer is required"),
    (GOOD, {"iterations": 2**31}, OverflowError, "value too large to convert to int"),
    ((GOOD[0].tolist(),) + GOOD[1:], {}, TypeError,
     r"Argument 'Y' has incorrect type \(expected numpy.ndarray, got list\)"),
    ((GOOD[0], [0, 1], 5) + GOOD[3:], {}, TypeError, "Argument 'offsets' has incorrect type"),
    ((np.ones(3),) + GOOD[1:], {}, ValueError, r"Buffer has wrong number of dimensions \(expected 2, got 1\)"),
    ((GOOD[0].astype(np.float32),) + GOOD[1:], {}, ValueError,
     r"Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    ((GOOD[0], GOOD[2]) + GOOD[2:], {}, ValueError, r"expected 'int64_t' but got 'int'"),
    ((GOOD[0].astype(">f8"),) + GOOD[1:], {}, ValueError, "Big-endian buffer not supported"),
    ((None,) + GOOD[1:], {}, TypeError, r"Argument 'Y' has incorrect type \(expected numpy.ndarray, got NoneType\)"),
    (GOOD[:1] + (GOOD[1][:-1],) + GOOD[2:], {}, ValueError,
     r"offsets needs at least 4 entries \(Y.shape\[1\] \+ 1\), got 3"),
    (GOOD[:2] + (np.array([0, 5, 1], np.int32),) + GOOD[3:], {}, ValueError,
     r"column index 5 at position 1 \(row 1\) is out of range: column index values must be < 3 \(Y.shape\[1\]\)"),
    (GOOD[:4] + (np.ones(2),), {}, ValueError, r"sensitivity needs at least 3 entries \(Y.shape\[1\]\), got 2"),
])
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message) as excinfo:
        ML_EM_batch_cy(*args, **kwargs)
    assert [entry.name for entry in excinfo.traceback][-1] == f"{MODULE}.ML_EM_batch_cy"


def test_keywords_in_any_order():
    Y, offsets, indices, values, sensitivity = GOOD
    assert_same_bits(ML_EM_batch_cy(sensitivity=sensitivity, values=values, indices=indices, offsets=offsets,
                                    Y=Y, iterations=4),
                     ML_EM_batch_cy(Y, offsets, indices, values, sensitivity, 4))


def test_other_threads_run_during_the_passes():
    n = 1500
    axis = np.linspace(100.0, 3000.0, n)
    response = deconvolution.build_gaussian_response(axis, np.full(n, 20.0))
    Y = np.ones((8, n))
    assert_other_threads_run(lambda passes: ML_EM_batch_cy(Y, *response, np.ones(n), passes))


# --- ML_EM_converge_cy and poisson_log_likelihood_cy

ML_EM_converge_cy = unfolding.ML_EM_converge_cy
poisson_log_likelihood_cy = unfolding.poisson_log_likelihood_cy


def numpy_log_likelihood(Y, X, offsets, indices, values):
    """The log-likelihood evaluated independently, with SciPy's sparse product."""
    import scipy.sparse
    n = Y.shape[1]
    M = scipy.sparse.csr_array((values, indices, offsets[:n + 1]), shape=(n, n))
    mu = (M.T @ X.T).T + 1e-12
    with np.errstate(all="ignore"):
        terms = np.where(Y == 0, -mu, Y * np.log(mu) - mu)
    return terms.sum(axis=1)


def row_sums(offsets, indices, values):
    """The sum of each row's values (positions below zero counting from the end)."""
    n = len(offsets) - 1
    return np.array([sum(values[k] for k in range(offsets[j], offsets[j + 1])) for j in range(n)],
                    dtype=np.float64)


def gaussian_problem(n=200, spectra=3, seed=0):
    rng = np.random.default_rng(seed)
    axis = (np.arange(n) + 0.5) * (3000.0 / n)
    response = deconvolution.build_gaussian_response(axis, 0.003 * axis ** 1.5 / 2.3548200450309493)
    source = 50.0 * np.exp(-axis / 800.0)
    for line in rng.uniform(200.0, 2800.0, 6):
        source[int(line / 3000.0 * n)] += rng.uniform(500.0, 5000.0)
    import scipy.sparse
    M = scipy.sparse.csr_array((response[2], response[1], response[0]), shape=(n, n))
    Y = rng.poisson(M.T @ source, size=(spectra, n)).astype(np.float64)
    return Y, response


def test_log_likelihood_against_numpy():
    Y, response = gaussian_problem()
    Y[0, :20] = 0.0  # terms of empty bins are -mu
    X = np.random.default_rng(1).uniform(0.5, 3.0, size=Y.shape)
    np.testing.assert_allclose(poisson_log_likelihood_cy(Y, X, *response),
                               numpy_log_likelihood(Y, X, *response), rtol=1e-12)
    # ML_EM_cy's estimate, as a user would compare it.
    x = deconvolution.ML_EM_cy(Y[1], *response, np.ones(Y.shape[1]), 50)
    np.testing.assert_allclose(poisson_log_likelihood_cy(Y[1:2], x[np.newaxis], *response),
                               numpy_log_likelihood(Y[1:2], x[np.newaxis], *response), rtol=1e-12)


@pytest.mark.parametrize("kind", ["gaussian", "band", "scatter", "negative"])
def test_log_likelihood_never_decreases_within_a_run(kind):
    from probe_module import kernel_probe
    _kernel_probe = kernel_probe()
    if kind == "gaussian":
        Y, response = gaussian_problem(seed=2)
    else:
        rng = np.random.default_rng(len(kind))
        response = random_response(rng, 40, kind)
        Y = stack(rng, 3, 40)
    # With the row sums as the sensitivity, the objective the steps are held
    # to is the log-likelihood up to a constant.
    for history in _kernel_probe.converge_history(Y, *response, row_sums(*response), 0.0, 400):
        halves = [h for h, _ in history]
        lls = [ll for _, ll in history]
        assert len(history) > 10
        assert all(b > a for a, b in zip(halves, halves[1:]))
        assert all(b >= a for a, b in zip(lls, lls[1:]))


@pytest.mark.parametrize("kind", ["gaussian", "band", "long", "scatter", "negative"])
def test_beats_a_third_of_the_plain_passes(kind):
    if kind == "gaussian":
        Y, response = gaussian_problem(seed=3)
    else:
        rng = np.random.default_rng(10 + len(kind))
        response = random_response(rng, 50, kind)
        Y = stack(rng, 2, 50)
    n = Y.shape[1]
    # With the row sums as the sensitivity, ML-EM maximises the likelihood.
    sensitivity = row_sums(*response)
    for p in (30, 300):
        X, passes, ll = ML_EM_converge_cy(Y, *response, sensitivity, 0.0, p)
        # (A small problem may reach the floor of rounding, where no step
        # raises the likelihood, before its budget is spent.)
        assert np.all((passes > 0) & (passes <= p))
        plain = single_calls(Y, *response, sensitivity, iterations=p // 3)
        assert np.all(ll >= poisson_log_likelihood_cy(Y, plain, *response))
        assert_same_bits(ll, poisson_log_likelihood_cy(Y, X, *response))


@pytest.mark.parametrize("kind", ["gaussian", "band", "scatter", "negative"])
def test_rows_are_the_spectra_run_alone(kind):
    if kind == "gaussian":
        Y, response = gaussian_problem(spectra=11, seed=4)
    else:
        rng = np.random.default_rng(20 + len(kind))
        response = random_response(rng, 30, kind)
        Y = stack(rng, 11, 30)
    n = Y.shape[1]
    together = ML_EM_converge_cy(Y, *response, np.ones(n), 1e-9, 250)
    alone = [ML_EM_converge_cy(y[np.newaxis], *response, np.ones(n), 1e-9, 250) for y in Y]
    for got, expected in zip(together, zip(*alone)):
        assert_same_bits(got, np.concatenate(expected))
    strided = np.repeat(Y, 2, axis=1)[::-1, ::2][::-1]
    for got, expected in zip(ML_EM_converge_cy(strided, *response, np.ones(n), 1e-9, 250), together):
        assert_same_bits(got, expected)


@pytest.mark.parametrize("max_passes", [1, 2, 3, 4, 7, 10, 51])
def test_tolerance_zero_uses_exactly_max_passes(max_passes):
    Y, response = gaussian_problem(n=60, spectra=4, seed=5)
    X, passes, ll = ML_EM_converge_cy(Y, *response, np.ones(60), 0.0, max_passes)
    assert passes.dtype == np.int64 and list(passes) == [max_passes] * 4


@pytest.mark.parametrize("max_passes", [0, -5])
def test_no_pass_returns_ones(max_passes):
    Y, response = gaussian_problem(n=50, spectra=2)
    X, passes, ll = ML_EM_converge_cy(Y, *response, np.ones(50), 1e-10, max_passes)
    assert_same_bits(X, np.ones_like(Y))
    assert list(passes) == [0, 0]
    assert_same_bits(ll, poisson_log_likelihood_cy(Y, np.ones_like(Y), *response))


def test_stopping_rule():
    Y, response = gaussian_problem(n=120, spectra=3, seed=6)
    _, loose, _ = ML_EM_converge_cy(Y, *response, np.ones(120), 1e-6, 5000)
    _, tight, ll_tight = ML_EM_converge_cy(Y, *response, np.ones(120), 1e-10, 5000)
    _, full, ll_full = ML_EM_converge_cy(Y, *response, np.ones(120), 0.0, 5000)
    assert np.all(loose < tight) and np.all(tight < full) and np.all(full <= 5000)
    assert np.all(ll_tight <= ll_full)


def test_odd_spectra_stay_in_their_rows():
    Y, response = gaussian_problem(n=40, spectra=5, seed=7)
    Y[1] = 0.0
    Y[2, 7] = np.nan
    X, passes, ll = ML_EM_converge_cy(Y, *response, np.ones(40), 1e-10, 600)
    # Zero counts: every estimate is 0 after one pass, and the run stops.
    assert np.all(X[1] == 0.0) and passes[1] < 600
    # NaN: its log-likelihood is NaN from the start, and it stops at once.
    assert np.isnan(ll[2]) and passes[2] == 0 and np.all(X[2] == 1.0)
    for s in (0, 3, 4):
        assert_same_bits(X[s], ML_EM_converge_cy(Y[s:s + 1], *response, np.ones(40), 1e-10, 600)[0][0])


@pytest.mark.parametrize("shape", [(0, 5), (3, 0)])
def test_converge_empty_stacks(shape):
    n = shape[1]
    empty = csr([(range(0), [])] * n)
    X, passes, ll = ML_EM_converge_cy(np.zeros(shape), *empty, np.ones(n), 1e-10, 50)
    assert X.shape == shape and passes.shape == ll.shape == (shape[0],)
    assert poisson_log_likelihood_cy(np.zeros(shape), np.zeros(shape), *empty).shape == (shape[0],)


@pytest.mark.parametrize("function, args, error, message", [
    ("ML_EM_converge_cy", GOOD + (float("nan"),), ValueError, "tolerance is NaN"),
    ("ML_EM_converge_cy", GOOD + ("x",), TypeError, "must be real number, not str"),
    ("ML_EM_converge_cy", GOOD + (0.0, 2**31), OverflowError, "value too large to convert to int"),
    ("ML_EM_converge_cy", (GOOD[0][0],) + GOOD[1:], ValueError, r"wrong number of dimensions \(expected 2, got 1\)"),
    ("ML_EM_converge_cy", GOOD[:4] + (None,), ValueError, "sensitivity is None"),
    ("ML_EM_converge_cy", GOOD + (0.0, 0), None, None),
    ("poisson_log_likelihood_cy", (GOOD[0], GOOD[0][:, :2]) + GOOD[1:4], ValueError,
     r"X has shape \(2, 2\) but Y has shape \(2, 3\); they must be equal"),
    ("poisson_log_likelihood_cy", (GOOD[0], None) + GOOD[1:4], TypeError,
     r"Argument 'X' has incorrect type \(expected numpy.ndarray, got NoneType\)"),
    ("poisson_log_likelihood_cy", (GOOD[0], GOOD[0]) + GOOD[1:3], TypeError,
     r"poisson_log_likelihood_cy\(\) takes exactly 5 positional arguments \(4 given\)"),
    ("poisson_log_likelihood_cy", (GOOD[0], GOOD[0], GOOD[1][:2]) + GOOD[2:4], ValueError,
     r"offsets needs at least 4 entries"),
])
def test_converge_and_log_likelihood_errors(function, args, error, message):
    if error is None:
        getattr(unfolding, function)(*args)
        return
    with pytest.raises(error, match=message) as excinfo:
        getattr(unfolding, function)(*args)
    assert [entry.name for entry in excinfo.traceback][-1] == f"{MODULE}.{function}"


def test_converge_releases_the_lock():
    n = 1500
    axis = np.linspace(100.0, 3000.0, n)
    response = deconvolution.build_gaussian_response(axis, np.full(n, 20.0))
    Y = np.ones((3, n))
    assert_other_threads_run(lambda passes: ML_EM_converge_cy(Y, *response, np.ones(n), 0.0, passes))

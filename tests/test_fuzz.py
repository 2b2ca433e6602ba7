"""Property-based fuzzing of every public function: whatever it is given,
it returns a result of the documented type, dtype and shape or raises one of
the documented exception classes, never changes an input, and reads strided
views as their contiguous copies.

`make test` runs a bounded, derandomised search; `make fuzz` a longer one
(HYPOTHESIS_PROFILE=fuzz)."""

import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from tarvix.utils.numerics.cython import deconvolution, gaussian, respgrid

settings.register_profile("ci", max_examples=150, derandomize=True, deadline=None,
                          suppress_health_check=list(HealthCheck), print_blob=True)
settings.register_profile("fuzz", max_examples=5000, deadline=None,
                          suppress_health_check=list(HealthCheck), print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError, MemoryError, NameError)

SPECIAL_FLOATS = [0.0, -0.0, np.nan, -np.nan, np.inf, -np.inf, 5e-324, -5e-324, 2.2e-308,
                  1e308, -1e308, 1e-12, 1022.0, 511.0]
floats = st.one_of(st.sampled_from(SPECIAL_FLOATS),
                   st.floats(allow_nan=True, allow_infinity=True),
                   st.floats(-3000.0, 3000.0))
DTYPES = ["f8", "f8", "f8", "f4", "i8", "i4", "u8", "?", "c16", ">f8", ">i8", "O"]


@st.composite
def arrays(draw, dtype=None, ndim=None, max_len=12, values=floats, length=None):
    """An array of any dtype and dimension, possibly strided, reversed,
    read-only, byte-swapped or a huge broadcast view."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)) if dtype is None else dtype)
    ndim = draw(st.integers(0, 3)) if ndim is None else ndim
    if ndim == 1 and length is None and draw(st.integers(0, 40)) == 0:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return np.broadcast_to(np.array(draw(values)).astype(dtype), (2**40,))
    shape = tuple(draw(st.integers(0, max_len if ndim == 1 else 4)) for _ in range(ndim))
    if length is not None and ndim == 1:
        shape = (length,)
    step = draw(st.sampled_from([1, 1, 2, -1, -2]))
    full = list(shape)
    if ndim:
        full[-1] = full[-1] * abs(step)
    count = int(np.prod(full)) if full else 1
    raw = draw(st.lists(values, min_size=count, max_size=count))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        base = np.array(raw, dtype=np.float64).astype(dtype).reshape(full)
    array = base[..., ::step] if ndim else base
    if draw(st.booleans()):
        array.flags.writeable = False
    return array


def mostly(valid, array_strategy=None):
    """Usually `valid`, sometimes anything at all."""
    other = anything(array_strategy or arrays())
    return st.integers(0, 3).flatmap(lambda choice: valid if choice else other)


def anything(array_strategy):
    return st.one_of(array_strategy, array_strategy, array_strategy, st.none(), st.integers(),
                     floats, st.lists(floats, max_size=4), st.text(max_size=3))


def snapshot(objects):
    return [(obj.tobytes(), obj.dtype, obj.shape) if isinstance(obj, np.ndarray) and
            obj.size < 10**6 else None for obj in objects]


def call_checked(function, *args):
    """Calls `function`; returns its result, or None when it raised a
    documented exception. Asserts the inputs were not changed."""
    before = snapshot(args)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            result = function(*args)
    except DOCUMENTED as error:
        event(f"{function.__name__}: {type(error).__name__}")
        result = None
    else:
        event(f"{function.__name__}: result")
    assert snapshot(args) == before
    return result


def as_contiguous(obj):
    if isinstance(obj, np.ndarray) and obj.size < 10**6:
        copy = np.ascontiguousarray(obj)
        copy.flags.writeable = obj.flags.writeable
        return copy
    return obj


def same(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, list):
        return np.array_equal(np.asarray(a, dtype=float), np.asarray(b, dtype=float), equal_nan=True)
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def check_strided_equals_contiguous(function, args, result):
    if result is not None:
        assert same(call_checked(function, *map(as_contiguous, args)), result)


def assert_csr(result, rows):
    offsets, indices, values = result
    assert (offsets.dtype, indices.dtype, values.dtype) == (np.int64, np.int32, np.float64)
    assert offsets.shape == (rows + 1,) and offsets[0] == 0
    assert indices.shape == values.shape == (offsets[-1],)


# --- gaussian -------------------------------------------------------------------

@given(mostly(arrays("f8", 1)), mostly(arrays("f8", 1)))
def test_gaussian_model_and_jacobian(x, params):
    for function in (gaussian.multi_gaussian_cy, gaussian.multi_gaussian_jacobian_cy):
        result = call_checked(function, x, params)
        if result is not None:
            expected = (len(x),) if function is gaussian.multi_gaussian_cy else (len(x), len(params))
            assert result.dtype == np.float64 and result.shape == expected
        check_strided_equals_contiguous(function, (x, params), result)


# --- deconvolution ----------------------------------------------------------------

@st.composite
def csr_problems(draw):
    """A spectrum and a response whose structure may be broken anywhere."""
    n = draw(st.integers(0, 8))
    y = draw(arrays("f8", 1, values=st.floats(-5, 1000) | st.sampled_from(SPECIAL_FLOATS)).filter(
        lambda a: a.size < 10**6) | st.just(np.linspace(1.0, 9.0, n)))
    n = len(y)
    entries = draw(st.integers(0, 3 * n + 2))
    offsets_values = st.integers(-3 * n - 4, 3 * n + 4)
    offsets = np.array(sorted(draw(st.lists(st.integers(0, entries), min_size=n + 1, max_size=n + 1)))
                       if draw(st.booleans()) else
                       draw(st.lists(offsets_values, min_size=0, max_size=n + 2)), dtype=np.int64)
    indices = np.array(draw(st.lists(st.integers(-n - 2, n + 2), min_size=entries, max_size=entries)),
                       dtype=np.int32)
    values = np.array(draw(st.lists(floats, min_size=entries, max_size=entries)), dtype=np.float64)
    sensitivity = draw(st.none() | st.just(np.ones(n)) |
                       arrays("f8", 1, max_len=n + 2, values=floats).filter(lambda a: a.size < 10**6))
    if draw(st.booleans()):
        indices, values = indices[:draw(st.integers(0, entries))], values[:draw(st.integers(0, entries))]
    return y, offsets, indices, values, sensitivity


@given(csr_problems(), st.integers(-2, 4) | st.sampled_from([2**31, 2.9, "3", None]),
       st.sampled_from([False, True, None, 1, np.bool_(True)]))
def test_ml_em_on_broken_responses(problem, iterations, flag):
    result = call_checked(deconvolution.ML_EM_cy, *problem, iterations, flag)
    if result is not None:
        assert result.dtype == np.float64 and result.shape == problem[0].shape
    check_strided_equals_contiguous(deconvolution.ML_EM_cy, (*problem, iterations, flag), result)


@given(anything(arrays()), anything(arrays()), anything(arrays()), anything(arrays()),
       anything(arrays()))
def test_ml_em_on_anything(y, offsets, indices, values, sensitivity):
    result = call_checked(deconvolution.ML_EM_cy, y, offsets, indices, values, sensitivity, 3)
    if result is not None:
        assert result.dtype == np.float64 and result.shape == y.shape


@st.composite
def spectra(draw):
    """Axis, widths or spectrum, and sensitivity of one length, each
    sometimes replaced by anything."""
    n = draw(st.integers(0, 10))
    axis = np.sort(draw(arrays("f8", 1, length=n, values=st.floats(-10.0, 3000.0) | floats)))
    if draw(st.booleans()):
        axis = axis[::-1].copy()
    second = draw(arrays("f8", 1, length=n, values=st.floats(-1.0, 100.0) | floats))
    sensitivity = draw(arrays("f8", 1, length=n))
    return tuple(draw(mostly(st.just(a))) for a in (axis, second, sensitivity))


@given(spectra(), st.one_of(floats, st.none(), st.text(max_size=2)))
def test_gaussian_response_builder(spectrum, nsigma):
    axis, sigma, _ = spectrum
    result = call_checked(deconvolution.build_gaussian_response, axis, sigma, nsigma)
    if result is not None:
        n = 0 if axis is None else len(axis)
        assert_csr(result, n)
        assert ((result[1] >= 0) & (result[1] < n)).all()
    check_strided_equals_contiguous(deconvolution.build_gaussian_response, (axis, sigma, nsigma),
                                    result)


@given(spectra(), st.floats(-0.01, 0.05) | floats, st.integers(-1, 3))
def test_richardson_lucy(spectrum, k, iterations):
    x, y, sensitivity = spectrum
    result = call_checked(deconvolution.richardson_lucy_cy, x, y, k, sensitivity, iterations)
    if result is not None:
        assert result.dtype == np.float64 and result.shape == y.shape
    check_strided_equals_contiguous(deconvolution.richardson_lucy_cy,
                                    (x, y, k, sensitivity, iterations), result)


# --- respgrid -------------------------------------------------------------------

@given(st.one_of(floats, st.none(), st.text(max_size=2)), floats,
       st.sampled_from([True, False, None, 0, 1, np.bool_(False), "yes"]))
def test_calculate_regions(energy, max_value, flag):
    result = call_checked(respgrid.calculate_regions, energy, max_value, flag)
    if result is not None:
        assert len(result) == (8 if flag is True else 6)
        assert type(result[0]) is int or flag is True
        assert all(type(entry) in (int, float) for entry in result)


@st.composite
def resampling_problems(draw):
    rows = draw(st.integers(0, 5))
    columns = draw(st.integers(0, 10))
    energy = st.floats(0.0, 3000.0) | st.sampled_from(SPECIAL_FLOATS)
    ref_indices = np.array(draw(st.lists(energy, min_size=rows, max_size=rows)))
    if draw(st.booleans()):
        ref_indices.sort()
    ref_axis = np.array(draw(st.lists(energy, min_size=columns, max_size=columns)))
    if draw(st.booleans()):
        ref_axis.sort()
    matrix_columns = max(0, columns + draw(st.integers(-2, 2)))
    matrix = np.array(draw(st.lists(floats, min_size=rows * matrix_columns,
                                    max_size=rows * matrix_columns))).reshape(rows, matrix_columns)
    requested = np.array(draw(st.lists(energy, max_size=4)))
    requested_axis = np.array(draw(st.lists(energy, max_size=12)))
    return matrix, ref_indices, ref_axis, requested, requested_axis


@given(resampling_problems())
def test_resampling_on_broken_problems(problem):
    result = call_checked(respgrid.respgrid_cy, *problem)
    if result is not None:
        assert_csr(result, len(problem[3]))
        assert ((result[1] >= 0) & (result[1] < len(problem[4]))).all()
        assert (result[2] > 1e-12).all()
    check_strided_equals_contiguous(respgrid.respgrid_cy, problem, result)


@given(anything(arrays(ndim=2)), anything(arrays()), anything(arrays()), anything(arrays()),
       anything(arrays()))
def test_resampling_on_anything(matrix, ref_indices, ref_axis, requested, requested_axis):
    result = call_checked(respgrid.respgrid_cy, matrix, ref_indices, ref_axis, requested,
                          requested_axis)
    if result is not None:
        assert_csr(result, len(requested))

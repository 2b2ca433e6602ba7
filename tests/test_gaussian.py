"""Numerical behaviour of the multi-Gaussian model and its Jacobian."""

import math

import numpy as np
import pytest

from tarvix.utils.numerics.cython.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy

from exact import assert_same_bits, fma


def model_reference(x, params):
    y = []
    for xj in map(float, x):
        total = 0.0
        for k in range(len(params) // 3):
            amplitude, mu, variance = map(float, params[3 * k:3 * k + 3])
            dx = xj - mu
            total = fma(amplitude, ieee_exp(ieee_div((-0.5 * dx) * dx, variance)), total)
        y.append(total)
    return np.array(y, dtype=np.float64)


def ieee_div(a, b):
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def ieee_exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


def jacobian_reference(x, params):
    n = len(params)
    jacobian = np.zeros((len(x), n))
    for j, xj in enumerate(map(float, x)):
        for k in range(n // 3):
            amplitude, mu, variance = map(float, params[3 * k:3 * k + 3])
            dx = xj - mu
            e = ieee_exp(ieee_div((-0.5 * dx) * dx, variance))
            scaled_dx = (amplitude * e) * dx
            jacobian[j, 3 * k] = e
            jacobian[j, 3 * k + 1] = ieee_div(scaled_dx, variance)
            jacobian[j, 3 * k + 2] = ieee_div(scaled_dx * dx, (2.0 * variance) * variance)
    return jacobian


def random_peaks(rng, n_params):
    params = np.empty(n_params)
    params[0::3] = rng.uniform(0.1, 1000.0, len(params[0::3]))
    params[1::3] = rng.uniform(-5.0, 5.0, len(params[1::3]))
    params[2::3] = rng.uniform(0.05, 4.0, len(params[2::3]))
    return params


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("n_params", [3, 7, 12, 13])
def test_model_and_jacobian_match_reference_bit_for_bit(seed, n_params):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-8.0, 8.0, 40)
    params = random_peaks(rng, n_params)
    assert_same_bits(multi_gaussian_cy(x, params), model_reference(x, params))
    assert_same_bits(multi_gaussian_jacobian_cy(x, params), jacobian_reference(x, params))


def test_model_fuses_each_multiply_add():
    # With many overlapping peaks, a separate multiply and add rounds
    # differently from the single rounding somewhere; the model must give
    # the single rounding everywhere.
    rng = np.random.default_rng(42)
    x = rng.uniform(-3.0, 3.0, 400)
    params = random_peaks(rng, 30)
    y = multi_gaussian_cy(x, params)
    unfused = np.zeros_like(x)
    for k in range(10):
        a, mu, var = params[3 * k:3 * k + 3]
        dx = x - mu
        unfused = a * np.exp(((-0.5 * dx) * dx) / var) + unfused
    assert not np.array_equal(y, unfused)
    assert_same_bits(y, model_reference(x, params))


@pytest.mark.parametrize("n_params", [0, 1, 2])
def test_fewer_than_three_parameters_give_zeros(n_params):
    x = np.linspace(-1.0, 1.0, 5)
    params = np.ones(n_params)
    y = multi_gaussian_cy(x, params)
    jacobian = multi_gaussian_jacobian_cy(x, params)
    assert y.dtype == np.float64 and y.shape == (5,) and not y.any()
    assert jacobian.dtype == np.float64 and jacobian.shape == (5, n_params) and not jacobian.any()


def test_trailing_parameters_are_ignored():
    rng = np.random.default_rng(1)
    x = rng.uniform(-2.0, 2.0, 9)
    params = random_peaks(rng, 7)
    assert_same_bits(multi_gaussian_cy(x, params), multi_gaussian_cy(x, params[:6]))
    jacobian = multi_gaussian_jacobian_cy(x, params)
    assert jacobian.shape == (9, 7)
    assert not jacobian[:, 6].any()
    assert_same_bits(jacobian[:, :6], multi_gaussian_jacobian_cy(x, params[:6]))


def test_empty_sample_grid():
    params = np.array([1.0, 0.0, 1.0, 2.0])
    assert multi_gaussian_cy(np.empty(0), params).shape == (0,)
    assert multi_gaussian_jacobian_cy(np.empty(0), params).shape == (0, 4)


def test_unit_gaussian_values():
    x = np.array([0.0, 1.0])
    params = np.array([1.0, 0.0, 1.0])
    e = math.exp(-0.5)
    assert multi_gaussian_cy(x, params).tolist() == [1.0, e]
    assert multi_gaussian_jacobian_cy(x, params).tolist() == [[1.0, 0.0, 0.0], [e, e, 0.5 * e]]


def test_zero_variance_follows_ieee_rules():
    x = np.array([-1.0, 0.0, 2.0])
    params = np.array([3.0, 0.0, 0.0])
    y = multi_gaussian_cy(x, params)
    assert np.isnan(y[1]) and y[0] == 0.0 and y[2] == 0.0
    jacobian = multi_gaussian_jacobian_cy(x, params)
    assert jacobian[0, 0] == 0.0 and jacobian[2, 0] == 0.0
    assert np.isnan(jacobian[[0, 2], 1:]).all()
    assert np.isnan(jacobian[1]).all()


def test_negative_variance_overflows_without_error():
    x = np.array([0.0, 100.0])
    y = multi_gaussian_cy(x, np.array([1.0, 0.0, -1.0]))
    assert y[0] == 1.0 and y[1] == math.inf


def test_overlapping_peaks_have_independent_jacobian_columns():
    rng = np.random.default_rng(3)
    x = rng.uniform(-3.0, 3.0, 25)
    first, second = np.array([2.0, -0.5, 1.0]), np.array([1.5, 0.7, 0.4])
    both = np.concatenate([first, second])
    jacobian = multi_gaussian_jacobian_cy(x, both)
    assert_same_bits(jacobian[:, :3], multi_gaussian_jacobian_cy(x, first))
    assert_same_bits(jacobian[:, 3:], multi_gaussian_jacobian_cy(x, second))
    np.testing.assert_allclose(multi_gaussian_cy(x, both),
                               multi_gaussian_cy(x, first) + multi_gaussian_cy(x, second),
                               rtol=1e-15, atol=0)


@pytest.mark.parametrize("function", [multi_gaussian_cy, multi_gaussian_jacobian_cy])
def test_strided_and_read_only_inputs(function):
    rng = np.random.default_rng(5)
    x_storage = rng.uniform(-3.0, 3.0, 40)
    params_storage = random_peaks(rng, 18)
    x, params = x_storage[::2], params_storage[::2]
    x_before, params_before = x_storage.copy(), params_storage.copy()
    expected = function(np.ascontiguousarray(x), np.ascontiguousarray(params))
    x_storage.flags.writeable = False
    params_storage.flags.writeable = False
    assert_same_bits(function(x, params), expected)
    assert_same_bits(function(x[::-1], params), expected[::-1])
    assert np.array_equal(x_storage, x_before) and np.array_equal(params_storage, params_before)


@pytest.mark.parametrize("function", [multi_gaussian_cy, multi_gaussian_jacobian_cy])
def test_result_is_a_new_c_ordered_array(function):
    x, params = np.linspace(0, 1, 4), np.array([1.0, 0.5, 0.1])
    first, second = function(x, params), function(x, params)
    assert first is not second and first.flags.c_contiguous and first.flags.owndata


@pytest.mark.parametrize("variance", [1e-3, 0.02, 0.9, 50.0, -0.02, -3.0, 1e-300, 5e-324])
def test_exponentials_over_every_range_match_the_c_library(variance):
    # Exponents from tiny to far past underflow and overflow, in blocks
    # longer than one batch of samples, with a ragged end.
    rng = np.random.default_rng(11)
    x = np.concatenate([rng.uniform(-40.0, 40.0, 1500), rng.normal(0.0, 1e-6, 100),
                        [0.0, -0.0, np.inf, -np.inf, np.nan, 1e-160, 5e-324]])
    params = np.array([1.5, 0.25, variance])
    assert_same_bits(multi_gaussian_cy(x, params), model_reference(x, params))
    assert_same_bits(multi_gaussian_jacobian_cy(x, params), jacobian_reference(x, params))


@pytest.mark.parametrize("function", [multi_gaussian_cy, multi_gaussian_jacobian_cy])
@pytest.mark.parametrize("huge", ["x", "params"])
def test_arrays_beyond_32_bit_counts_are_refused(function, huge):
    # Broadcast views make such lengths without memory.
    big = np.broadcast_to(np.float64(1.0), (2**31,))
    x, params = (big, np.ones(3)) if huge == "x" else (np.ones(2), big)
    with pytest.raises(OverflowError, match=f"^{huge} has 2147483648 entries, more than int32"):
        function(x, params)

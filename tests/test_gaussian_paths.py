"""Exact results along the faster paths of the Gaussian model and of the
frame under it.

The kernels run as many samples at a time as the kernel level's vectors
hold (one, four or eight; `make test-kernels` runs this file at each level):
quotients by a peak's variance come from its reciprocal, corrected and
checked, with a division only where the check fails; exponentials come a
vector at a time; a contiguous x and result are used in place, a Jacobian
whose entries within a row are adjacent is written row by row; the
Jacobian works in blocks of rows sized to its row length. Arguments that are exact float64 ndarrays are
read through their own fields, and NumPy functions are found in the `np`
module's namespace. Each must give the bits of the plain evaluation (the
references of test_gaussian) and behave as the general route does.
"""

import math
import sys
import types

import numpy as np
import pytest

import tarvix.utils.numerics.cython.gaussian as gaussian
from exact import assert_same_bits, fma
from probe_module import kernel_probe
from tarvix.utils.numerics.cython.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy
from test_gaussian import jacobian_reference, model_reference

rng = np.random.default_rng(2024)

# Divisors at and beyond the ends of the range the checked quotient takes,
# powers of two (every quotient then a power of two times a), signed zeros,
# infinities and NaN.
VARIANCES = [1.0, 0.75, 3.0, -2.5, 2.0**-500, 2.0**-968, 2.0**-970, 1e-300, 5e-324,
             2.0**1000, 2.0**1001, 1e305, 0.0, -0.0, math.inf, -math.inf, math.nan]


def awkward_samples(mu):
    """Samples that make zero, tiny, power-of-two and huge exponents and
    Jacobian entries, in a ragged number that is not a multiple of eight."""
    return np.concatenate([[mu, mu, mu + 2.0, mu - 4.0, mu + 1e-160, mu - 1e-300, mu + 1e150],
                           mu + rng.normal(0.0, 3.0, 20), [math.inf, -math.inf, math.nan]])


@pytest.mark.parametrize("variance", VARIANCES)
def test_quotients_at_every_edge_match_the_reference(variance):
    x = awkward_samples(0.5)
    params = np.array([1.25, 0.5, variance, 3.0, -1.0, variance])
    assert_same_bits(multi_gaussian_cy(x, params), model_reference(x, params))
    assert_same_bits(multi_gaussian_jacobian_cy(x, params), jacobian_reference(x, params))


def test_jacobian_quotients_over_the_whole_exponent_range():
    # Amplitudes and variances from 2^-1070 to 2^1020 bring the two
    # quotients of each entry to subnormal, huge and overflowing values;
    # NumPy's division gives the rounded quotients to compare with.
    n_peaks, m = 300, 37
    x = rng.uniform(-3.0, 3.0, m)
    params = np.empty(3 * n_peaks)
    params[0::3] = np.ldexp(rng.uniform(1.0, 2.0, n_peaks), rng.integers(-1070, 1020, n_peaks))
    params[0::3] *= rng.choice([-1.0, 1.0], n_peaks)
    params[1::3] = rng.uniform(-3.0, 3.0, n_peaks)
    params[2::3] = np.ldexp(rng.uniform(1.0, 2.0, n_peaks), rng.integers(-60, 60, n_peaks))
    params[2::3] *= rng.choice([-1.0, 1.0], n_peaks)
    jacobian = multi_gaussian_jacobian_cy(x, params)
    a, mu, variance = params[0::3], params[1::3], params[2::3]
    dx = x[:, None] - mu
    with np.errstate(all="ignore"):
        scaled_dx = (a * jacobian[:, 0::3]) * dx
        assert_same_bits(jacobian[:, 1::3], scaled_dx / variance)
        assert_same_bits(jacobian[:, 2::3], (scaled_dx * dx) / ((2.0 * variance) * variance))


def exponent_samples():
    """dx giving exponents, for variance 0.5, of every range the vector exp
    treats apart: tiny, near +-512, between -1024 and -512 (normal and
    subnormal results), below -746, overflowing (with a negative variance,
    below), NaN; shuffled so that they meet inside groups of eight."""
    exponents = np.concatenate([
        -np.ldexp(rng.uniform(0.5, 1.0, 12), -rng.integers(50, 80, 12)),
        rng.uniform(-520.0, -505.0, 12), rng.uniform(-760.0, -700.0, 24),
        rng.uniform(-1030.0, -1000.0, 6), rng.uniform(-2.0, 0.0, 30)])
    dx = np.sqrt(-exponents)
    return rng.permutation(np.concatenate([dx, -dx[:5], [0.0, math.nan]]))


@pytest.mark.parametrize("length", [1, 5, 8, 9, 15, 16, 17, 64, 131])
@pytest.mark.parametrize("variance", [0.5, -0.5], ids=["decaying", "growing"])
@pytest.mark.parametrize("far", [0, 19], ids=["mixed", "far-first"])
def test_exponentials_in_every_group_position_match_the_c_library(length, variance, far):
    # With `far` samples first, whole groups (and ragged ends) lie where
    # every exponential underflows.
    x = np.resize(np.concatenate([40.0 + np.arange(far), exponent_samples()]), length)
    params = np.array([1.0, 0.0, variance, 2.5, 1e-3, variance])
    assert_same_bits(multi_gaussian_cy(x, params), model_reference(x, params))
    assert_same_bits(multi_gaussian_jacobian_cy(x, params), jacobian_reference(x, params))


@pytest.mark.parametrize("m", [1, 7, 511, 512, 513, 1100])
@pytest.mark.parametrize("n_params", [3, 14, 60, 603])
def test_blocks_of_every_size_give_each_sample_its_own_values(m, n_params):
    # Every sample is computed on its own: any cut into blocks, ragged
    # groups or block lengths (which follow the Jacobian's row length) must
    # give the values of the sample evaluated alone.
    x = rng.uniform(-4.0, 4.0, m)
    params = np.empty(n_params)
    params[0::3] = rng.uniform(0.1, 100.0, len(params[0::3]))
    params[1::3] = rng.uniform(-4.0, 4.0, len(params[1::3]))
    params[2::3] = rng.uniform(0.05, 3.0, len(params[2::3]))
    y = multi_gaussian_cy(x, params)
    jacobian = multi_gaussian_jacobian_cy(x, params)
    for j in sorted({0, m // 2, m - 1, min(m - 1, 512), min(m - 1, 8)}):
        assert_same_bits(y[j:j + 1], multi_gaussian_cy(x[j:j + 1], params))
        assert_same_bits(jacobian[j:j + 1], multi_gaussian_jacobian_cy(x[j:j + 1], params))
    if m * n_params <= 600 * 14:
        assert_same_bits(y, model_reference(x, params))


def allocating(order=None, stride=1, fill=0.0):
    """An `np` whose zeros gives Fortran-ordered or strided results (filled
    with `fill`, to see which entries are written)."""
    def zeros(shape, dtype=np.float64):
        shape = (shape,) if isinstance(shape, int) else shape
        wide = np.full((shape[0] * stride,) + tuple(shape[1:]), fill, dtype=dtype, order=order or "C")
        return wide[::stride]
    return types.SimpleNamespace(zeros=zeros, float64=np.float64)


@pytest.mark.parametrize("layout", [dict(order="F"), dict(stride=3)], ids=["fortran", "strided"])
def test_results_of_any_layout_are_written_through_their_strides(monkeypatch, layout):
    x = rng.uniform(-3.0, 3.0, 530)
    params = np.array([2.0, -0.5, 1.0, 1.5, 0.7, 0.4, 9.0])
    expected = multi_gaussian_cy(x, params), multi_gaussian_jacobian_cy(x, params)
    monkeypatch.setattr(gaussian, "np", allocating(**layout))
    y, jacobian = multi_gaussian_cy(x, params), multi_gaussian_jacobian_cy(x, params)
    assert not y.flags.c_contiguous or not jacobian.flags.c_contiguous
    assert_same_bits(y, expected[0])
    assert_same_bits(jacobian, expected[1])


X_LAYOUTS = {
    "contiguous": lambda x: x.copy(),
    "strided": lambda x: np.repeat(x, 3)[1::3],
    "reversed": lambda x: x[::-1].copy()[::-1],
}


@pytest.mark.parametrize("m", [0, 1, 3, 8, 13, 16, 23, 519])
@pytest.mark.parametrize("x_layout", X_LAYOUTS)
@pytest.mark.parametrize("result_layout", [{}, dict(order="F"), dict(stride=2)], ids=["c", "fortran", "strided"])
def test_every_addressing_of_samples_and_results_gives_the_same_bits(monkeypatch, m, x_layout, result_layout):
    # Samples read in place or gathered, sums built in y or beside it, Jacobian
    # rows written entry by entry or through their strides, at every ragged end.
    x = rng.uniform(-3.0, 3.0, m)
    x[::7] = 0.25  # exact offsets from a centre
    params = np.array([2.0, 0.25, 0.5, -1.5, 0.7, 3.0, 1e300, -2.0, 1e-300, 4.0])
    view = X_LAYOUTS[x_layout](x)
    assert np.array_equal(view, x)
    if result_layout:
        monkeypatch.setattr(gaussian, "np", allocating(**result_layout))
    assert_same_bits(multi_gaussian_cy(view, params), model_reference(x, params))
    jacobian = multi_gaussian_jacobian_cy(view, params)
    assert_same_bits(jacobian, jacobian_reference(x, params))


@pytest.mark.parametrize("layout", [{}, dict(order="F"), dict(stride=2)], ids=["c", "fortran", "strided"])
def test_sums_start_from_the_result_and_columns_past_the_peaks_are_left(monkeypatch, layout):
    # The model adds each peak to what y holds; the Jacobian writes the
    # three columns of each whole peak and no other entry.
    x = rng.uniform(-3.0, 3.0, 21)
    params = np.array([2.0, 0.25, 0.5, -1.5, 0.7, 3.0, 9.0, 9.0])
    monkeypatch.setattr(gaussian, "np", allocating(**layout, fill=7.0))
    y = multi_gaussian_cy(x, params)
    jacobian = multi_gaussian_jacobian_cy(x, params)
    expected = []
    for xj in x:
        total = 7.0
        for a, mu, variance in params[:6].reshape(2, 3):
            total = fma(a, math.exp(((-0.5 * (xj - mu)) * (xj - mu)) / variance), total)
        expected.append(total)
    assert_same_bits(y, expected)
    assert_same_bits(jacobian[:, :6], jacobian_reference(x, params[:6]))
    assert (jacobian[:, 6:] == 7.0).all()


def dividends(rng, b):
    """Dividends whose quotients by b are ordinary, subnormal, overflowing,
    powers of two, exact or within an ulp of a chosen double, with zeros
    of both signs, infinities and NaN."""
    spread = np.ldexp(rng.uniform(1.0, 2.0, 300), rng.integers(-1074, 1024, 300)) * rng.choice([-1.0, 1.0], 300)
    with np.errstate(all="ignore"):
        powers = b * np.ldexp(1.0, rng.integers(-40, 40, 40))
        exact = b * (1.0 + rng.integers(1, 64, 40) / 64.0)
        near = b * rng.uniform(-2.0, 2.0, 200)
    specials = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 2.0**-1022, 1.0, 2.0**1023]
    return rng.permutation(np.concatenate([spread, powers, exact, near, specials]))


DIVISORS = VARIANCES + [2.0**-968 * (1 + 2.0**-52), 2.0**-968 * (1 - 2.0**-53), 2.0**1000 * (1 - 2.0**-53),
                        2.0**1000 * (1 + 2.0**-52), 0.1, -7.0 / 3.0] + list(
    np.ldexp(rng.uniform(1.0, 2.0, 8), rng.integers(-1074, 1024, 8)))


@pytest.mark.parametrize("b", DIVISORS)
def test_checked_reciprocal_division_gives_the_rounded_quotient(b):
    # The kernels' division by a peak's variance, driven directly with
    # dividends of every kind, in counts of every remainder of a vector.
    a = dividends(np.random.default_rng(7), b)
    with np.errstate(all="ignore"):
        expected = a / b
    probe = kernel_probe()
    for count in range(len(a) - 8, len(a) + 1):
        assert_same_bits(probe.exact_divide(a[:count], b), expected[:count])


class Swapped(np.ndarray):
    """An ndarray subclass whose buffer export shows other data."""
    replacement = None

    def __buffer__(self, flags):
        return memoryview(self.replacement)


def test_ndarray_subclasses_are_read_through_the_buffer_protocol():
    # Only exact ndarrays are read through their own fields: a subclass's
    # export is what its type makes it.
    x = np.linspace(-1.0, 1.0, 9)
    params = np.array([1.0, 0.0, 1.0])
    shown = np.array([2.0, 0.5, 0.25])
    Swapped.replacement = shown
    swapped = params.view(Swapped)
    assert_same_bits(multi_gaussian_cy(x, swapped), multi_gaussian_cy(x, shown))
    assert_same_bits(multi_gaussian_jacobian_cy(x, swapped), multi_gaussian_jacobian_cy(x, shown))


@pytest.mark.parametrize("dtype", [np.dtype("<f8"), np.dtype("=f8"), np.dtype("f8", metadata={"unit": "keV"})],
                         ids=["little", "native", "metadata"])
def test_native_float64_of_every_spelling_is_accepted(dtype):
    x = np.linspace(-1.0, 1.0, 9)
    params = np.array([1.0, 0.0, 1.0])
    assert_same_bits(multi_gaussian_cy(x.astype(dtype), params.astype(dtype)), multi_gaussian_cy(x, params))


def test_integer_arrays_of_either_64_bit_type_are_accepted():
    # int64 arguments may come as NumPy's long or long long: both export an
    # 8-byte signed format.
    from tarvix.utils.numerics.cython import deconvolution

    axis = np.linspace(1.0, 10.0, 12)
    offsets, indices, values = deconvolution.build_gaussian_response(axis, np.full(12, 0.7))
    y = np.linspace(1.0, 3.0, 12)
    expected = deconvolution.ML_EM_cy(y, offsets, indices, values, np.ones(12), 3)
    got = deconvolution.ML_EM_cy(y, offsets.astype(np.longlong), indices.astype(np.intc), values,
                                 np.ones(12), 3)
    assert_same_bits(got, expected)


class TestNumpyLookups:
    """np.zeros and np.float64 are found at each call, as attribute access on
    whatever `np` is would find them."""

    x = np.linspace(-1.0, 1.0, 5)
    params = np.array([1.0, 0.0, 1.0])

    def counting_module(self):
        calls = []
        module = types.ModuleType("numpy_stand_in")

        def zeros(*args, **kwargs):
            calls.append(kwargs)
            return np.zeros(*args, **kwargs)
        module.zeros, module.float64 = zeros, np.float64
        return module, calls

    def test_a_module_namespace_is_read_at_each_call(self, monkeypatch):
        module, calls = self.counting_module()
        module.float64 = np.float32
        monkeypatch.setattr(gaussian, "np", module)
        # The dtype comes from the stand-in too, so the result is refused.
        with pytest.raises(ValueError, match="expected 'double' but got 'float'"):
            multi_gaussian_cy(self.x, self.params)
        module.float64 = np.float64
        multi_gaussian_cy(self.x, self.params)
        assert calls == [{"dtype": np.float32}, {"dtype": np.float64}]

    def test_module_getattr_supplies_missing_names(self, monkeypatch):
        module, calls = self.counting_module()
        zeros = module.zeros
        del module.zeros
        module.__getattr__ = lambda name: zeros if name == "zeros" else None
        monkeypatch.setattr(gaussian, "np", module)
        assert_same_bits(multi_gaussian_cy(self.x, self.params), model_reference(self.x, self.params))
        assert len(calls) == 1
        module.__getattr__ = lambda name: (_ for _ in ()).throw(AttributeError(name))
        with pytest.raises(AttributeError, match="zeros"):
            multi_gaussian_cy(self.x, self.params)

    def test_module_subclass_attributes_take_precedence(self, monkeypatch):
        class Shadowing(types.ModuleType):
            @property
            def zeros(self):
                return lambda *args, **kwargs: np.full(*args, 1.0, **kwargs)

        shadowing, calls = self.counting_module()
        shadowing.__class__ = Shadowing
        monkeypatch.setattr(gaussian, "np", shadowing)
        assert_same_bits(multi_gaussian_cy(np.array([0.0]), self.params), [2.0])
        assert calls == []

    def test_the_real_numpy_is_looked_up_at_each_call(self, monkeypatch):
        calls = []
        real_zeros = np.zeros

        def zeros(*args, **kwargs):
            calls.append(args)
            return real_zeros(*args, **kwargs)
        monkeypatch.setattr(sys.modules["numpy"], "zeros", zeros)
        multi_gaussian_cy(self.x, self.params)
        multi_gaussian_jacobian_cy(self.x, self.params)
        assert calls == [(5,), ((5, 3),)]

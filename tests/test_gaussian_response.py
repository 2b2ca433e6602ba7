"""build_gaussian_response: the truncated, row-normalised Gaussian response."""

import ctypes
import math
import sys
import types

import numpy as np
import pytest

from deconvolution_reference import assert_same_bits, gaussian_response
from tarvix.utils.numerics.cython import deconvolution

build = deconvolution.build_gaussian_response
QUALIFIED = "tarvix.utils.numerics.cython.deconvolution.build_gaussian_response"


def assert_response(actual, expected):
    assert isinstance(actual, tuple) and len(actual) == 3
    for a, e in zip(actual, expected):
        assert_same_bits(a, e)


class searchsorted_calls:
    """Counts the calls of NumPy's searchsorted (its Python-level body runs on
    every call, whoever makes it) while the block runs."""

    def __enter__(self):
        self.count = 0

        def profile(frame, event, arg):
            if event == "call" and frame.f_code.co_name == "searchsorted" and "numpy" in frame.f_code.co_filename:
                self.count += 1
        sys.setprofile(profile)
        return self

    def __exit__(self, *exc):
        sys.setprofile(None)


class TestRows:
    def test_three_point_example(self):
        offsets, indices, values = build(np.array([0.0, 1.0, 2.0]), np.ones(3))
        assert_same_bits(offsets, np.array([0, 3, 6, 9], dtype=np.int64))
        assert_same_bits(indices, np.array([0, 1, 2] * 3, dtype=np.int32))
        row0 = np.array([1.0, math.exp(-0.5), math.exp(-2.0)])
        row1 = np.array([math.exp(-0.5), 1.0, math.exp(-0.5)])
        np.testing.assert_allclose(values[:3], row0 / row0.sum(), rtol=1e-15)
        np.testing.assert_allclose(values[3:6], row1 / row1.sum(), rtol=1e-15)
        assert_response((offsets, indices, values), gaussian_response([0.0, 1.0, 2.0], [1.0] * 3))

    @pytest.mark.parametrize("axis", [np.empty(0), None], ids=["empty", "None"])
    def test_empty_axis(self, axis):
        with searchsorted_calls() as calls:
            offsets, indices, values = build(axis, None)
        assert calls.count == 0
        assert_same_bits(offsets, np.zeros(1, dtype=np.int64))
        assert indices.dtype == np.int32 and indices.shape == (0,)
        assert values.dtype == np.float64 and values.shape == (0,)

    def test_nsigma_zero_is_identity(self):
        offsets, indices, values = build(np.array([1.0, 2.5, 3.0, 7.0]), np.full(4, 2.0), 0)
        assert_same_bits(offsets, np.arange(5, dtype=np.int64))
        assert_same_bits(indices, np.arange(4, dtype=np.int32))
        assert_same_bits(values, np.ones(4))

    @pytest.mark.parametrize("width", [-1.0, np.nan], ids=["negative", "nan"])
    def test_empty_row(self, width):
        offsets, indices, values = build(np.array([0.0, 1.0, 2.0]), np.array([1.0, width, 1.0]))
        assert offsets[2] == offsets[1]
        assert_response((offsets, indices, values), gaussian_response([0.0, 1.0, 2.0], [1.0, width, 1.0]))

    def test_negative_nsigma_gives_empty_rows(self):
        offsets, _, _ = build(np.array([0.0, 1.0, 2.0]), np.ones(3), -1.0)
        assert_same_bits(offsets, np.zeros(4, dtype=np.int64))

    def test_zero_width(self):
        offsets, indices, values = build(np.array([0.0, 1.0, 2.0]), np.array([1.0, 0.0, 1.0]))
        assert offsets[2] - offsets[1] == 1
        assert indices[offsets[1]] == 1 and np.isnan(values[offsets[1]])

    def test_edge_rows_renormalised(self):
        axis = np.linspace(0.0, 10.0, 41)
        offsets, indices, values = build(axis, np.full(41, 1.0))
        lengths = np.diff(offsets)
        assert lengths[0] < lengths[20] and lengths[-1] < lengths[20]
        for i in (0, 1, 20, 40):
            np.testing.assert_allclose(values[offsets[i]:offsets[i + 1]].sum(), 1.0, rtol=1e-14)
        assert indices[offsets[0]] == 0 and indices[offsets[41] - 1] == 40

    def test_repeated_values_are_separate_columns(self):
        offsets, indices, _ = build(np.array([1.0, 1.0, 1.0]), np.full(3, 0.5))
        assert_same_bits(offsets, np.array([0, 3, 6, 9], dtype=np.int64))
        assert_same_bits(indices, np.array([0, 1, 2] * 3, dtype=np.int32))

    def test_sigma_longer_than_axis(self):
        assert_response(build(np.array([0.0, 1.0]), np.array([1.0, 1.0, -7.0])),
                        gaussian_response([0.0, 1.0], [1.0, 1.0]))

    def test_strided_views(self):
        wide = np.linspace(0.0, 5.0, 22)
        widths = np.linspace(0.2, 1.5, 22)
        assert_response(build(wide[::2], widths[::2], 3.0), gaussian_response(wide[::2], widths[::2], 3.0))
        assert_response(build(memoryview(wide)[1::3], widths[1::3]),
                        gaussian_response(wide[1::3], widths[1::3]))


class TestAgreesWithNumpy:
    """Windows and weights bit for bit as np.searchsorted and the row formula give them."""

    @staticmethod
    def random_case(seed, kind):
        rng = np.random.default_rng(seed)
        n = int(rng.integers(1, 40))
        axis = np.sort(np.round(rng.uniform(0.0, 20.0, size=n), 0 if seed % 2 else 1))  # repeats
        sigma = rng.uniform(0.0, 3.0, size=n)
        if kind == "nan-end":
            axis[n - int(rng.integers(1, n + 1)) // 2:] = np.nan
        elif kind == "infinite":
            axis[0], axis[-1] = -np.inf, np.inf
        elif kind == "odd-widths":
            choices = np.array([np.nan, np.inf, -np.inf, 0.0, -1.0])
            pick = rng.random(n) < 0.4
            sigma[pick] = rng.choice(choices, size=pick.sum())
        elif kind == "unsorted":
            rng.shuffle(axis)
        elif kind == "nan-inside":
            axis[rng.random(n) < 0.3] = np.nan
        nsigma = float(rng.choice([5.0, 2.0, 0.0, np.inf]))
        return axis, sigma, nsigma

    @pytest.mark.parametrize("kind", ["sorted", "nan-end", "infinite", "odd-widths", "unsorted", "nan-inside"])
    @pytest.mark.parametrize("seed", range(8))
    def test_random_axes(self, seed, kind):
        axis, sigma, nsigma = self.random_case(seed, kind)
        assert_response(build(axis, sigma, nsigma), gaussian_response(axis, sigma, nsigma))

    def test_ascending_axis_searched_natively(self):
        axis = np.concatenate([np.linspace(0.0, 9.0, 10), [9.0, np.nan, np.nan]])
        with searchsorted_calls() as calls:
            build(axis, np.ones(13))
        assert calls.count == 0

    def test_unsorted_axis_searched_by_numpy(self):
        axis = np.array([0.0, 2.0, 1.0, 3.0])
        with searchsorted_calls() as calls:
            result = build(axis, np.ones(4))
        assert calls.count == 8
        assert_response(result, gaussian_response(axis, np.ones(4)))


class ReplacedSearch:
    """Stands in for the module's `np`, with searchsorted replaced."""

    def __init__(self, answer=None):
        self.calls = []
        self.answer = answer

    def __getattr__(self, name):
        return getattr(np, name)

    def searchsorted(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.answer is not None:
            return self.answer(*args, **kwargs)
        return np.searchsorted(*args, **kwargs)


class TestReplacedSearchsorted:
    def test_called_for_each_bound_of_each_row(self, monkeypatch):
        replaced = ReplacedSearch()
        monkeypatch.setattr(deconvolution, "np", replaced)
        axis = np.array([0.0, 1.0, 2.0])
        assert_response(build(axis, np.array([1.0, 0.5, 2.0]), 2.0),
                        gaussian_response(axis, [1.0, 0.5, 2.0], 2.0))
        assert len(replaced.calls) == 6
        views = []
        for call, (centre, s, side) in zip(replaced.calls, [(0.0, 1.0, -1), (0.0, 1.0, 1), (1.0, 0.5, -1),
                                                            (1.0, 0.5, 1), (2.0, 2.0, -1), (2.0, 2.0, 1)]):
            args, kwargs = call
            assert len(args) == 2
            assert kwargs == ({"side": "right"} if side > 0 else {})
            assert type(args[1]) is float and args[1] == centre + side * 2.0 * s
            assert_same_bits(np.asarray(args[0]), axis)
            views.append(args[0])
        assert len({id(v) for v in views}) == len(views)  # a fresh view for each call

    def test_negative_window_counts_from_the_end(self, monkeypatch):
        # Every window is [-1, 1): the last point, then the first.
        monkeypatch.setattr(deconvolution, "np", ReplacedSearch(lambda a, v, side="left": -1 if side == "left" else 1))
        offsets, indices, values = build(np.array([0.0, 1.0, 2.0]), np.ones(3))
        assert_same_bits(offsets, np.array([0, 2, 4, 6], dtype=np.int64))
        assert_same_bits(indices, np.array([-1, 0] * 3, dtype=np.int32))
        w = np.array([math.exp(-2.0), 1.0])  # row 0: axis[-1] = 2, axis[0] = 0
        assert_same_bits(values[:2], w / w.sum())

    @pytest.mark.parametrize("low, high", [(0, 4), (-4, 1)])
    def test_window_outside_axis(self, monkeypatch, low, high):
        monkeypatch.setattr(deconvolution, "np",
                            ReplacedSearch(lambda a, v, side="left": low if side == "left" else high))
        with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
            build(np.array([0.0, 1.0, 2.0]), np.ones(3))

    def test_result_without_index_conversion(self, monkeypatch):
        monkeypatch.setattr(deconvolution, "np", ReplacedSearch(lambda a, v, side="left": 1.5))
        with pytest.raises(TypeError):
            build(np.array([0.0, 1.0]), np.ones(2))

    def test_exception_propagates(self, monkeypatch):
        def fail(*args, **kwargs):
            raise KeyError("searchsorted failed")
        monkeypatch.setattr(deconvolution, "np", ReplacedSearch(fail))
        with pytest.raises(KeyError) as excinfo:
            build(np.array([0.0, 1.0]), np.ones(2))
        assert QUALIFIED in [entry.name for entry in excinfo.traceback]


class TestFailures:
    def test_sigma_shorter_than_axis(self, monkeypatch):
        replaced = ReplacedSearch()
        monkeypatch.setattr(deconvolution, "np", replaced)
        with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)") as excinfo:
            build(np.array([0.0, 1.0, 2.0]), np.ones(2))
        assert len(replaced.calls) == 4  # rows 0 and 1 were searched
        assert [entry.name for entry in excinfo.traceback][-1] == QUALIFIED

    def test_sigma_none(self, monkeypatch):
        replaced = ReplacedSearch()
        monkeypatch.setattr(deconvolution, "np", replaced)
        with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
            build(np.array([0.0, 1.0]), None)
        assert replaced.calls == []

    @pytest.mark.parametrize("axis", [np.array([0.0, 1.0]), np.empty(0)], ids=["rows", "empty"])
    def test_np_removed(self, monkeypatch, axis):
        monkeypatch.delattr(deconvolution, "np")
        with pytest.raises(NameError, match="name 'np' is not defined"):
            build(axis, np.ones(2))

    def test_read_only_axis_refused(self):
        axis = np.array([0.0, 1.0])
        axis.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            build(axis, np.ones(2))

    @pytest.mark.parametrize("axis, sigma, message", [
        (np.ones(2, np.float32), np.ones(2), r"Buffer dtype mismatch, expected 'double' but got 'float'"),
        (np.ones(2), np.ones((2, 1)), r"Buffer has wrong number of dimensions \(expected 1, got 2\)"),
    ])
    def test_buffer_errors(self, axis, sigma, message):
        with pytest.raises(ValueError, match=message) as excinfo:
            build(axis, sigma)
        assert [entry.name for entry in excinfo.traceback][-1] == QUALIFIED

    def test_conversion_order(self):
        # axis, then sigma, then nsigma.
        with pytest.raises(ValueError, match="expected 'double'"):
            build(np.ones(1, np.int64), [1.0], "x")
        with pytest.raises(TypeError, match="a bytes-like object is required|buffer"):
            build(np.ones(1), [1.0], "x")
        with pytest.raises(TypeError):
            build(np.ones(1), np.ones(1), "x")

    @pytest.mark.parametrize("count, message", [
        (1, "build_gaussian_response() takes at least 2 positional arguments (1 given)"),
        (4, "build_gaussian_response() takes at most 3 positional arguments (4 given)"),
    ])
    def test_argument_count(self, count, message):
        with pytest.raises(TypeError) as excinfo:
            build(*[np.ones(1), np.ones(1), 5.0, 1][:count])
        assert str(excinfo.value) == message

    def test_keywords(self):
        axis = np.array([0.0, 0.5, 3.0])
        assert_response(build(nsigma=2, sigma=np.ones(3), axis=axis), build(axis, np.ones(3), 2.0))


class RecordedConversions:
    """Stands in for the module's `np`: asarray and the three dtypes are replaced, and
    every asarray call is recorded with what it returned."""

    def __init__(self):
        self.calls = []
        self.int64, self.int32, self.float64 = "i8", "i4", "f8"

    def __getattr__(self, name):
        return getattr(np, name)

    def asarray(self, values, dtype):
        result = np.asarray(values, dtype=dtype)
        self.calls.append((values, dtype, result))
        return result


class TestReplacedConversions:
    def test_what_np_holds_is_called_with_lists(self, monkeypatch):
        axis = np.array([0.0, 1.0, 2.0, 3.5])
        replaced = RecordedConversions()
        monkeypatch.setattr(deconvolution, "np", replaced)
        result = build(axis, np.full(4, 0.8))
        monkeypatch.undo()
        assert [(type(values), dtype) for values, dtype, _ in replaced.calls] == [
            (list, "i8"), (list, "i4"), (list, "f8")]
        offsets, indices, values = (values for values, _, _ in replaced.calls)
        assert all(type(v) is int for v in offsets + indices)
        assert all(type(v) is float for v in values)
        for got, (_, _, returned) in zip(result, replaced.calls, strict=True):
            assert got is returned
        assert_response(result, build(axis, np.full(4, 0.8)))

    def test_replaced_dtype_alone_is_called(self, monkeypatch):
        # NumPy's own asarray with another dtype: the call is made, not stood in for.
        monkeypatch.setattr(deconvolution, "np", types.SimpleNamespace(**{**vars(np), "int32": np.int64}))
        offsets, indices, values = build(np.array([0.0, 1.0]), np.ones(2))
        assert indices.dtype == np.int64 and list(indices) == [0, 1, 0, 1]

    def test_richardson_lucy_converts_through_np(self, monkeypatch):
        axis = np.array([100.0, 200.0, 300.0, 400.0])
        y = np.array([5.0, 1.0, 3.0, 2.0])
        expected = deconvolution.richardson_lucy_cy(axis, y, 0.01, np.ones(4), 3)
        replaced = RecordedConversions()
        monkeypatch.setattr(deconvolution, "np", replaced)
        assert_same_bits(deconvolution.richardson_lucy_cy(axis, y, 0.01, np.ones(4), 3), expected)
        assert [dtype for _, dtype, _ in replaced.calls] == ["i8", "i4", "f8"]


def test_buffers_without_strides_are_contiguous():
    # ctypes arrays export no strides: C-contiguous by definition.
    axis = (ctypes.c_double * 4)(0.0, 1.0, 2.5, 3.0)
    sigma = (ctypes.c_double * 4)(1.0, 0.5, 2.0, 1.0)
    assert_response(build(axis, sigma), gaussian_response(list(axis), list(sigma)))

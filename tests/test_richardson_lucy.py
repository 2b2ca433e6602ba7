"""richardson_lucy_cy: ML-EM on the Gaussian response of the width model."""

import numpy as np
import pytest

from deconvolution_reference import FWHM_C, assert_same_bits, richardson_lucy
from tarvix.utils.numerics.cython import deconvolution

rl = deconvolution.richardson_lucy_cy
MODULE = "tarvix.utils.numerics.cython.deconvolution"


def entry_names(excinfo):
    return [entry.name for entry in excinfo.traceback][1:]


class RecordingSearch:
    """Stands in for the module's `np`, recording the bounds searched for."""

    def __init__(self):
        self.bounds = []

    def __getattr__(self, name):
        return getattr(np, name)

    def searchsorted(self, a, v, side="left"):
        self.bounds.append(v)
        return np.searchsorted(a, v, side=side)


class TestResult:
    def test_width_model(self, monkeypatch):
        recorder = RecordingSearch()
        monkeypatch.setattr(deconvolution, "np", recorder)
        x = np.array([100.0, 200.0, 300.0])
        rl(x, np.ones(3), 0.01, np.ones(3), 1)
        low, high = np.array(recorder.bounds[0::2]), np.array(recorder.bounds[1::2])
        widths = (high - low) / 10.0  # nsigma 5 on either side
        np.testing.assert_allclose(widths, [4.2466, 12.011, 22.066], rtol=1e-4)
        np.testing.assert_allclose(widths, 0.01 * x**1.5 / FWHM_C, rtol=1e-12)

    def test_narrow_widths_give_identity(self):
        y = np.array([3.0, 5.0, 2.0])
        result = rl(np.array([100.0, 200.0, 300.0]), y, 0.0001, np.ones(3), 1)
        assert_same_bits(result, y / (1.0 + 1e-12))

    @pytest.mark.parametrize("seed", range(6))
    def test_matches_reference(self, seed):
        rng = np.random.default_rng(seed)
        n = int(rng.integers(2, 12))
        x = np.sort(rng.uniform(50.0, 400.0, size=n))
        y = rng.uniform(0.0, 100.0, size=n)
        sensitivity = rng.uniform(0.5, 1.5, size=n)
        k = float(rng.uniform(0.0005, 0.01))
        iterations = int(rng.integers(1, 5))
        assert_same_bits(rl(x, y, k, sensitivity, iterations), richardson_lucy(x, y, k, sensitivity, iterations))

    def test_odd_energies_match_reference(self):
        # Energy 0 gives a zero width (a NaN weight), a negative one a NaN width (an empty row).
        x = np.array([-5.0, 0.0, 10.0, 20.0, 30.0])
        y = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
        assert_same_bits(rl(x, y, 0.05, np.ones(5), 2), richardson_lucy(x, y, 0.05, np.ones(5), 2))

    def test_negative_k_gives_empty_response(self):
        result = rl(np.array([1.0, 2.0]), np.array([1.0, 1.0]), -0.1, np.ones(2), 1)
        assert_same_bits(result, np.zeros(2))

    def test_defaults(self):
        x = np.linspace(100.0, 300.0, 9)
        y = np.linspace(5.0, 1.0, 9)
        explicit = rl(x, y, 0.02, np.ones(9), 30, False, 0.001, False)
        assert_same_bits(rl(x, y, 0.02, np.ones(9)), explicit)
        assert_same_bits(rl(sensitivity=np.ones(9), k=0.02, y=y, x=x), explicit)

    def test_empty(self):
        result = rl(None, np.empty(0), 0.01, None)
        assert result.dtype == np.float64 and result.shape == (0,)


class TestFailures:
    @pytest.mark.parametrize("x, y", [(np.ones(2), np.ones(3)), (np.ones(3), np.ones(2)), (None, np.ones(2))],
                             ids=["x-shorter", "x-longer", "x-none"])
    def test_length_mismatch(self, x, y):
        with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
            rl(x, y, 0.01, np.ones(len(y)))

    def test_x_longer_fails_in_builder(self):
        with pytest.raises(IndexError) as excinfo:
            rl(np.ones(3), np.ones(2), 0.01, np.ones(2))
        assert entry_names(excinfo) == [f"{MODULE}.richardson_lucy_cy", f"{MODULE}.build_gaussian_response"]

    def test_y_none(self):
        with pytest.raises(ValueError, match=r"Buffer has wrong number of dimensions \(expected 1, got 0\)"):
            rl(np.ones(2), None, 0.01, np.ones(2))

    def test_sensitivity_none(self):
        with pytest.raises(ValueError, match=r"sensitivity is None; it needs at least 2 entries") as excinfo:
            rl(np.array([100.0, 200.0]), np.ones(2), 0.01, None)
        assert entry_names(excinfo) == [f"{MODULE}.richardson_lucy_cy", f"{MODULE}.ML_EM_cy"]
        assert_same_bits(rl(np.array([100.0, 200.0]), np.ones(2), 0.01, None, 0), np.ones(2))

    def test_read_only_x_refused_after_widths(self, monkeypatch):
        made = []

        class RecordingNumpy:
            def __getattr__(self, name):
                if name == "empty_like":
                    made.append(name)
                return getattr(np, name)

        monkeypatch.setattr(deconvolution, "np", RecordingNumpy())
        x = np.array([100.0, 200.0])
        x.flags.writeable = False
        with pytest.raises(ValueError, match="read-only") as excinfo:
            rl(x, np.ones(2), 0.01, np.ones(2))
        assert made == ["empty_like"]
        assert entry_names(excinfo) == [f"{MODULE}.richardson_lucy_cy"]

    @pytest.mark.parametrize("name", ["reg_tikhonov", "use_sensitivity"])
    def test_flags(self, name):
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type \\(expected bool, got int\\)"):
            rl(np.ones(1), np.ones(1), 0.01, np.ones(1), **{name: 1})
        rl(np.ones(1), np.ones(1), 0.01, np.ones(1), **{name: True})

    @pytest.mark.parametrize("arguments, error, message", [
        ((np.ones(1), np.ones(1), 0.01), TypeError,
         r"richardson_lucy_cy\(\) takes at least 4 positional arguments \(3 given\)"),
        ((np.ones(1), np.ones(1), 0.01, np.ones(1), 30, False, 0.001, False, 1), TypeError,
         r"richardson_lucy_cy\(\) takes at most 8 positional arguments \(9 given\)"),
        ((np.ones(1), np.ones(1), 0.01, np.ones(1), 2**31), OverflowError, "value too large to convert to int"),
        ((np.ones(1), np.ones(1), "k", np.ones(1)), TypeError, "must be real number"),
        (([1.0], np.ones(1), 0.01, np.ones(1)), TypeError,
         r"Argument 'x' has incorrect type \(expected numpy.ndarray, got list\)"),
        ((np.ones(1, np.float32), np.ones(1), 0.01, np.ones(1), 1, 1), TypeError, "Argument 'reg_tikhonov'"),
        ((np.ones(1), np.ones(1), 0.01, np.ones(1, np.int64)), ValueError, "expected 'float64_t'"),
    ], ids=["too-few", "too-many", "iterations-overflow", "k-conversion", "x-type", "flag-before-buffers",
            "sensitivity-dtype"])
    def test_argument_errors(self, arguments, error, message):
        with pytest.raises(error, match=message) as excinfo:
            rl(*arguments)
        assert entry_names(excinfo) == [f"{MODULE}.richardson_lucy_cy"]

    def test_np_removed(self, monkeypatch):
        monkeypatch.delattr(deconvolution, "np")
        with pytest.raises(NameError, match="name 'np' is not defined"):
            rl(np.ones(2), np.ones(2), 0.01, np.ones(2))

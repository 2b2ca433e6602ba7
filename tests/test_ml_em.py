"""ML_EM_cy: the reconstruction, its arguments and the checks of the response."""

import pickle

import numpy as np
import pytest

from concurrency import assert_other_threads_run
from deconvolution_reference import assert_same_bits, ml_em
from tarvix.utils.numerics.cython import deconvolution

ML_EM_cy = deconvolution.ML_EM_cy
QUALIFIED = "tarvix.utils.numerics.cython.deconvolution.ML_EM_cy"


def csr(offsets, indices, values):
    return (np.array(offsets, dtype=np.int64), np.array(indices, dtype=np.int32),
            np.array(values, dtype=np.float64))


def identity(n):
    return csr(range(n + 1), range(n), [1.0] * n)


def traceback_names(excinfo):
    names = []
    tb = excinfo.tb
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names[1:]  # without the test's own frame


def random_response(rng, n, negative=False):
    """A small random CSR response; with `negative`, row pointers and columns
    anywhere in their valid ranges, negative ones included (rows may also be
    empty because offsets[j] >= offsets[j+1])."""
    if negative:
        length = int(rng.integers(1, 3 * n + 2))
        offsets = rng.integers(-length, length + 1, size=n + 1)
        indices = rng.integers(-n, n, size=length)
    else:
        counts = rng.integers(0, 4, size=n)
        offsets = np.concatenate([[0], np.cumsum(counts)])
        length = int(offsets[-1])
        indices = rng.integers(0, n, size=length)  # duplicates within a row included
    values = rng.uniform(0.0, 1.5, size=length)
    return csr(offsets, indices, values)


def test_module_namespace():
    # (Tests that remove np and put it back move it to the end of the namespace.)
    public = [name for name in vars(deconvolution) if not name.startswith("__") and name != "np"]
    assert public == ["ML_EM_cy", "build_gaussian_response", "richardson_lucy_cy"]
    assert deconvolution.np is np and deconvolution.__test__ == {}
    for name in public:
        function = getattr(deconvolution, name)
        assert function.__name__ == function.__qualname__ == name
        assert function.__module__ == "tarvix.utils.numerics.cython.deconvolution"
        assert function.__doc__ is None
        assert pickle.loads(pickle.dumps(function)) is function


class TestReconstruction:
    def test_identity_one_pass(self):
        y = np.array([1.0, 2.5, 7.0])
        x = ML_EM_cy(y, *identity(3), np.ones(3), iterations=1)
        assert_same_bits(x, y / (1.0 + 1e-12))

    def test_two_bin_example(self):
        response = csr([0, 2, 3], [0, 1, 1], [0.5, 0.5, 1.0])
        y = np.array([1.0, 3.0])
        for iterations in (1, 2, 10):
            x = ML_EM_cy(y, *response, np.ones(2), iterations)
            np.testing.assert_allclose(x, [2.0, 2.0], atol=1e-10, rtol=0)

    def test_empty_row_and_unreached_bin(self):
        # Row 1 is empty; measured bin 2 is reached by no row.
        response = csr([0, 1, 1, 2], [0, 0], [1.0, 0.5])
        y = np.array([1.0, 2.0, 5.0])
        x = ML_EM_cy(y, *response, np.ones(3), 3)
        assert x[1] == 0.0
        assert_same_bits(x, ml_em(y, *response, np.ones(3), 3))

    @pytest.mark.parametrize("s", [0.0, -2.0, np.nan, 1e-13, 1e-12])
    def test_sensitivity_guard(self, s):
        y = np.array([2.0, 3.0])
        x = ML_EM_cy(y, *identity(2), np.array([s, 1.0]), 1)
        assert_same_bits(x, np.array([(2.0 / (1.0 + 1e-12)) / 1e-12, 3.0 / (1.0 + 1e-12)]))

    def test_duplicate_columns_add_up(self):
        y = np.array([4.0, 1.0])
        split = ML_EM_cy(y, *csr([0, 2, 3], [0, 0, 1], [0.25, 0.75, 1.0]), np.ones(2), 5)
        whole = ML_EM_cy(y, *csr([0, 1, 2], [0, 1], [1.0, 1.0]), np.ones(2), 5)
        np.testing.assert_allclose(split, whole, rtol=1e-14)

    def test_negative_column_is_last_bin(self):
        y = np.array([1.0, 2.0, 6.0])
        negative = ML_EM_cy(y, *csr([0, 1, 2, 3], [0, 1, -1], [1.0, 1.0, 1.0]), np.ones(3), 4)
        positive = ML_EM_cy(y, *identity(3), np.ones(3), 4)
        assert_same_bits(negative, positive)

    def test_negative_positions_count_from_the_end(self):
        y = np.array([1.0, 2.0])
        # Row 0 is entries -2 .. -2 (position 1), row 1 is entries -1 .. 0 (position 2).
        shifted = csr([-2, -1, 0], [9, 0, 1], [9.0, 1.0, 1.0])
        x = ML_EM_cy(y, *shifted, np.ones(2), 3)
        assert_same_bits(x, ML_EM_cy(y, *identity(2), np.ones(2), 3))

    def test_empty_spectrum(self):
        x = ML_EM_cy(np.empty(0), np.zeros(1, np.int64), np.empty(0, np.int32), np.empty(0), None)
        assert x.dtype == np.float64 and x.shape == (0,)

    @pytest.mark.parametrize("seed", range(12))
    @pytest.mark.parametrize("negative", [False, True], ids=["plain", "from-the-end"])
    def test_matches_reference(self, seed, negative):
        rng = np.random.default_rng(seed)
        n = int(rng.integers(1, 8))
        response = random_response(rng, n, negative)
        y = rng.uniform(0.0, 10.0, size=n)
        sensitivity = rng.uniform(0.5, 2.0, size=n)
        sensitivity[rng.random(n) < 0.2] = 0.0
        iterations = int(rng.integers(1, 6))
        x = ML_EM_cy(y, *response, sensitivity, iterations)
        assert_same_bits(x, ml_em(y, *response, sensitivity, iterations))

    def test_wide_rows_match_reference(self):
        # Rows of different lengths, so that rows advanced side by side
        # finish their chains one at a time.
        rng = np.random.default_rng(7)
        n = 11
        counts = rng.integers(0, 9, size=n)
        offsets = np.concatenate([[0], np.cumsum(counts)])
        response = csr(offsets, rng.integers(0, n, size=offsets[-1]), rng.normal(size=offsets[-1]))
        y = rng.uniform(1.0, 5.0, size=n)
        x = ML_EM_cy(y, *response, np.ones(n), 4)
        assert_same_bits(x, ml_em(y, *response, np.ones(n), 4))

    def test_read_only_and_strided_inputs(self):
        rng = np.random.default_rng(3)
        n = 6
        offsets, indices, values = random_response(rng, n)
        y = rng.uniform(1.0, 4.0, size=n)
        sensitivity = rng.uniform(0.5, 1.5, size=n)
        expected = ML_EM_cy(y, offsets, indices, values, sensitivity, 5)

        def strided(a):
            wide = np.zeros(2 * len(a), dtype=a.dtype)
            wide[::2] = a
            return wide[::2]

        arrays = [strided(a) for a in (y, offsets, indices, values, sensitivity)]
        for a in arrays:
            a.flags.writeable = False
        copies = [a.copy() for a in arrays]
        assert_same_bits(ML_EM_cy(*arrays, 5), expected)
        for a, copy in zip(arrays, copies):
            assert_same_bits(a, copy)

    def test_result_is_new_and_of_y_subclass(self):
        class Spectrum(np.ndarray):
            pass

        y = np.array([1.0, 2.0]).view(Spectrum)
        x = ML_EM_cy(y, *identity(2), np.ones(2), 1)
        assert type(x) is Spectrum and x is not y


class TestIterationCount:
    def test_float_truncates(self):
        y = np.array([3.0, 1.0])
        response = csr([0, 2, 3], [0, 1, 1], [0.5, 0.5, 1.0])
        assert_same_bits(ML_EM_cy(y, *response, np.ones(2), 2.9), ML_EM_cy(y, *response, np.ones(2), 2))

    @pytest.mark.parametrize("iterations", [0, -5])
    def test_no_pass_checks_nothing(self, iterations, capfd):
        # offsets too short, a position beyond indices, a column beyond n, no sensitivity.
        x = ML_EM_cy(np.array([5.0, 6.0, 7.0]), *csr([0, 9], [7], [1.0]), None, iterations)
        assert_same_bits(x, np.ones(3))
        assert capfd.readouterr() == ("", "")

    @pytest.mark.parametrize("value, error, message", [
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
    ])
    def test_conversion_errors(self, value, error, message):
        with pytest.raises(error, match=message):
            ML_EM_cy(np.ones(1), *identity(1), np.ones(1), value)


class TestArguments:
    @pytest.mark.parametrize("name", ["reg_tikhonov", "use_sensitivity"])
    @pytest.mark.parametrize("value", [1, 0, np.bool_(True)], ids=["1", "0", "numpy-bool"])
    def test_flag_must_be_bool(self, name, value):
        cls = type(value)
        type_name = cls.__name__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__name__}"
        with pytest.raises(TypeError) as excinfo:
            ML_EM_cy(np.ones(1), *identity(1), np.ones(1), **{name: value})
        assert str(excinfo.value) == (f"Argument '{name}' has incorrect type "
                                      f"(expected bool, got {type_name})")

    def test_flags_and_lambda_accepted_and_ignored(self):
        y = np.array([1.0, 4.0])
        response = csr([0, 2, 3], [0, 1, 1], [0.5, 0.5, 1.0])
        plain = ML_EM_cy(y, *response, np.ones(2), 3)
        for flags in [(None, 7.0, None), (True, 0, True), (False, 0.001, False)]:
            reg, lam, use = flags
            assert_same_bits(ML_EM_cy(y, *response, np.ones(2), 3, reg, lam, use), plain)

    def test_lambda_conversion(self):
        with pytest.raises(TypeError):
            ML_EM_cy(np.ones(1), *identity(1), np.ones(1), reg_tikhonov_lambda="x")

    def test_keywords(self):
        y = np.array([2.0, 3.0])
        offsets, indices, values = identity(2)
        by_keyword = ML_EM_cy(use_sensitivity=True, values=values, sensitivity=np.ones(2), y=y,
                              indices=indices, offsets=offsets, iterations=2)
        assert_same_bits(by_keyword, ML_EM_cy(y, offsets, indices, values, np.ones(2), 2))
        with pytest.raises(TypeError, match=r"ML_EM_cy\(\) got multiple values for keyword argument 'y'"):
            ML_EM_cy(y, offsets, indices, values, np.ones(2), y=y)

    @pytest.mark.parametrize("count, message", [
        (4, "ML_EM_cy() takes at least 5 positional arguments (4 given)"),
        (10, "ML_EM_cy() takes at most 9 positional arguments (10 given)"),
    ])
    def test_argument_count(self, count, message):
        arguments = [np.ones(1), *identity(1), np.ones(1), 1, False, 0.1, False, None][:count]
        with pytest.raises(TypeError) as excinfo:
            ML_EM_cy(*arguments)
        assert str(excinfo.value) == message

    def test_array_type_and_order_of_checks(self):
        # The type tests of all arrays come before any buffer check.
        with pytest.raises(TypeError, match=r"Argument 'sensitivity' has incorrect type "
                                            r"\(expected numpy.ndarray, got list\)"):
            ML_EM_cy(np.ones(1, np.float32), *identity(1), [1.0])
        with pytest.raises(TypeError, match="Argument 'reg_tikhonov'"):
            ML_EM_cy(np.ones(1, np.float32), *identity(1), np.ones(1), 1, 1)

    @pytest.mark.parametrize("position, array, expected", [
        (0, np.ones(1, np.float32), "'float64_t'"),
        (1, np.zeros(2, np.int32), "'int64_t'"),
        (2, np.zeros(1, np.int64), "'int32_t'"),
        (4, np.ones(1, np.int64), "'float64_t'"),
    ])
    def test_dtype_mismatch(self, position, array, expected):
        arguments = [np.ones(1), *identity(1), np.ones(1)]
        arguments[position] = array
        with pytest.raises(ValueError, match=f"Buffer dtype mismatch, expected {expected}"):
            ML_EM_cy(*arguments)

    def test_y_none(self):
        with pytest.raises(ValueError, match=r"Buffer has wrong number of dimensions \(expected 1, got 0\)"):
            ML_EM_cy(None, *identity(1), np.ones(1))

    def test_big_endian_refused(self):
        with pytest.raises(ValueError, match="Big-endian buffer not supported"):
            ML_EM_cy(np.ones(1, ">f8"), *identity(1), np.ones(1))


class TestResponseChecks:
    """A response that would send the loops outside an array is refused
    before any pass, with a ValueError and nothing printed."""

    @pytest.mark.parametrize("offsets, indices, values, sensitivity, message", [
        ([0, 1], [0, 1], [1.0, 1.0], [1.0, 1.0],
         "offsets needs at least 3 entries (len(y) + 1), got 2"),
        (None, [0, 1], [1.0, 1.0], [1.0, 1.0],
         "offsets is None; it needs at least 3 entries (len(y) + 1)"),
        ([0, 1, 3], [0, 1], [1.0, 1.0, 1.0], [1.0, 1.0],
         "position 2 of row 1 (offsets[1] = 1, offsets[2] = 3) is out of range for indices: "
         "positions must be < 2 (len(indices))"),
        ([0, 1, 3], [0, 1, 1], [1.0, 1.0], [1.0, 1.0],
         "position 2 of row 1 (offsets[1] = 1, offsets[2] = 3) is out of range for values: "
         "positions must be < 2 (len(values))"),
        ([-4, 1, 2], [0, 1, 1], [1.0, 1.0, 1.0], [1.0, 1.0],
         "position -4 of row 0 (offsets[0] = -4, offsets[1] = 1) is out of range for indices: "
         "positions must be >= -3 (-len(indices))"),
        ([0, 1, 2], None, [1.0, 1.0], [1.0, 1.0],
         "row 0 (offsets[0] = 0, offsets[1] = 1) reaches position 0, but indices is None"),
        ([0, 1, 2], [0, 2], [1.0, 1.0], [1.0, 1.0],
         "column index 2 at position 1 (row 1) is out of range: column index values must be < 2 (len(y))"),
        ([0, 1, 2], [-3, 0], [1.0, 1.0], [1.0, 1.0],
         "column index -3 at position 0 (row 0) is out of range: column index values must be >= -2 (-len(y))"),
        ([0, 1, 2], [0, 1], [1.0, 1.0], [1.0],
         "sensitivity needs at least 2 entries (len(y)), got 1"),
        ([0, 1, 2], [0, 1], [1.0, 1.0], None,
         "sensitivity is None; it needs at least 2 entries (len(y))"),
    ], ids=["offsets-short", "offsets-none", "position-indices", "position-values", "position-negative",
            "indices-none", "column-high", "column-low", "sensitivity-short", "sensitivity-none"])
    def test_refused(self, offsets, indices, values, sensitivity, message, capfd):
        def array(a, dtype):
            return None if a is None else np.array(a, dtype=dtype)

        with pytest.raises(ValueError) as excinfo:
            ML_EM_cy(np.array([1.0, 2.0]), array(offsets, np.int64), array(indices, np.int32),
                     array(values, np.float64), array(sensitivity, np.float64), 3)
        assert str(excinfo.value) == message
        assert traceback_names(excinfo) == [QUALIFIED]
        assert capfd.readouterr() == ("", "")

    def test_first_violation_in_row_order(self):
        # Row 0 reaches column 5, row 1 a position beyond indices: row 0 is reported.
        with pytest.raises(ValueError, match="column index 5 at position 0 .row 0."):
            ML_EM_cy(np.ones(2), *csr([0, 1, 4], [5, 0], [1.0, 1.0]), np.ones(2))

    def test_empty_rows_are_not_checked(self):
        # Rows with offsets[j] >= offsets[j+1] reach nothing, whatever the pointers.
        x = ML_EM_cy(np.array([1.0, 2.0]), *csr([50, -50, -50], [], []), np.ones(2), 2)
        assert_same_bits(x, np.zeros(2))

    def test_extra_entries_are_ignored(self):
        offsets, indices, values = identity(2)
        offsets = np.append(offsets, [99, -99])
        indices = np.append(indices, np.int32(1000))
        values = np.append(values, 5.0)
        y = np.array([1.0, 2.0])
        x = ML_EM_cy(y, offsets, indices, values, np.array([1.0, 1.0, 0.0]), 2)
        assert_same_bits(x, ML_EM_cy(y, *identity(2), np.ones(2), 2))


class TestModuleGlobals:
    def test_work_arrays_made_through_np_at_call_time(self, monkeypatch):
        calls = []

        class RecordingNumpy:
            def __getattr__(self, name):
                function = getattr(np, name)

                def record(*args, **kwargs):
                    calls.append(name)
                    return function(*args, **kwargs)
                return record

        monkeypatch.setattr(deconvolution, "np", RecordingNumpy())
        ML_EM_cy(np.ones(2), *identity(2), np.ones(2), 1)
        assert calls == ["ones_like", "empty_like", "empty_like", "empty_like"]

    def test_np_removed(self, monkeypatch):
        monkeypatch.delattr(deconvolution, "np")
        with pytest.raises(NameError, match="name 'np' is not defined"):
            ML_EM_cy(np.ones(2), *identity(2), np.ones(2))


def test_other_threads_run_while_iterating():
    n = 2000
    band = 32
    rows = np.arange(n)[:, None] + np.arange(band)[None, :] - band // 2
    offsets = np.arange(0, n * band + 1, band, dtype=np.int64)
    indices = np.clip(rows, 0, n - 1).astype(np.int32).ravel()
    values = np.full(n * band, 1.0 / band)
    y = np.linspace(1.0, 2.0, n)
    assert_other_threads_run(lambda passes: ML_EM_cy(y, offsets, indices, values, np.ones(n), passes))

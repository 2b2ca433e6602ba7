"""The module frame, seen through the gaussian module: import, function
objects, argument parsing, array acceptance and their messages."""

import builtins
import importlib
import pickle
import sys
import traceback
import types

import numpy as np
import pytest

import tarvix.utils.numerics.cython.gaussian as gaussian
from tarvix.utils.numerics.cython.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy

MODULE = "tarvix.utils.numerics.cython.gaussian"
FUNCTIONS = [multi_gaussian_cy, multi_gaussian_jacobian_cy]

X = np.linspace(-1.0, 1.0, 5)
P = np.array([1.0, 0.0, 1.0])


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info


def message(call):
    info = raised(call)
    return type(info.value), str(info.value)


# --- import and module namespace --------------------------------------------

def test_module_namespace():
    assert gaussian.np is np
    assert gaussian.__test__ == {}
    public = [name for name in vars(gaussian) if not name.startswith("__")]
    assert public == ["np", "multi_gaussian_cy", "multi_gaussian_jacobian_cy"]
    assert gaussian.__package__ == "tarvix.utils.numerics.cython"
    assert gaussian.__file__.endswith(".so") and gaussian.__builtins__ is builtins


def test_import_again_gives_the_same_objects():
    function = gaussian.multi_gaussian_cy
    assert importlib.import_module(MODULE) is gaussian
    del sys.modules[MODULE]
    try:
        again = importlib.import_module(MODULE)
    finally:
        sys.modules[MODULE] = gaussian
    assert again is gaussian and again.multi_gaussian_cy is function


def test_second_interpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    report = tmp_path / "report.txt"
    code = (f"try:\n    import {MODULE}\nexcept ImportError as error:\n"
            f"    open({str(report)!r}, 'w').write(str(error))\n")
    assert testcapi.run_in_subinterp(code) == 0
    assert report.read_text() == ("Interpreter change detected - this module can only be "
                                  "loaded into one interpreter per process.")


@pytest.mark.parametrize("function", FUNCTIONS)
def test_function_objects(function):
    name = function.__name__
    assert name in ("multi_gaussian_cy", "multi_gaussian_jacobian_cy")
    assert function.__qualname__ == name
    assert function.__module__ == MODULE
    assert function.__doc__ is None
    assert pickle.loads(pickle.dumps(function)) is function


# --- argument parsing ---------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "multi_gaussian_cy() takes exactly 2 positional arguments (0 given)"),
    ((X,), {}, "multi_gaussian_cy() takes exactly 2 positional arguments (1 given)"),
    ((X, P, X), {}, "multi_gaussian_cy() takes exactly 2 positional arguments (3 given)"),
    ((), {"params": P}, "multi_gaussian_cy() takes exactly 2 positional arguments (0 given)"),
    ((), {"x": X}, "multi_gaussian_cy() takes exactly 2 positional arguments (1 given)"),
    ((X, P), {"x": X}, "multi_gaussian_cy() got multiple values for keyword argument 'x'"),
    ((X,), {"x": X}, "multi_gaussian_cy() got multiple values for keyword argument 'x'"),
    ((X, P), {"sigma": 1}, "multi_gaussian_cy() got an unexpected keyword argument 'sigma'"),
    ((X,), {"X": P}, "multi_gaussian_cy() got an unexpected keyword argument 'X'"),
])
def test_argument_count_and_keyword_errors(args, kwargs, text):
    assert message(lambda: multi_gaussian_cy(*args, **kwargs)) == (TypeError, text)


def test_keywords_in_any_order_equal_positional():
    expected = multi_gaussian_jacobian_cy(X, P)
    for kwargs in ({"x": X, "params": P}, {"params": P, "x": X}):
        assert np.array_equal(multi_gaussian_jacobian_cy(**kwargs), expected)
    assert np.array_equal(multi_gaussian_jacobian_cy(X, params=P), expected)
    # A keyword built at run time is not interned: matched by equality.
    name = "".join(["par", "ams"])
    assert np.array_equal(multi_gaussian_jacobian_cy(X, **{name: P}), expected)


# --- type tests, then buffers -------------------------------------------------

class ArraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize("x, params, text", [
    ([0.0], P, "Argument 'x' has incorrect type (expected numpy.ndarray, got list)"),
    (X, [1.0, 0.0, 1.0], "Argument 'params' has incorrect type (expected numpy.ndarray, got list)"),
    (X, (1.0,), "Argument 'params' has incorrect type (expected numpy.ndarray, got tuple)"),
    (memoryview(X), P, "Argument 'x' has incorrect type (expected numpy.ndarray, got memoryview)"),
    (X, np.float64(1.0), "Argument 'params' has incorrect type (expected numpy.ndarray, got numpy.float64)"),
    # Every type test runs before any buffer is looked at.
    (X.astype(np.float32), [1.0], "Argument 'params' has incorrect type (expected numpy.ndarray, got list)"),
    (None, P, "Argument 'x' has incorrect type (expected numpy.ndarray, got NoneType)"),
    (X, None, "Argument 'params' has incorrect type (expected numpy.ndarray, got NoneType)"),
])
@pytest.mark.parametrize("function", FUNCTIONS)
def test_argument_type_errors(function, x, params, text):
    assert message(lambda: function(x, params)) == (TypeError, text)


@pytest.mark.parametrize("dtype, got", [
    (np.float32, "'float'"),
    (np.int64, "'long'"),
    (np.int32, "'int'"),
    (np.int16, "'short'"),
    (np.int8, "'signed char'"),
    (np.uint8, "'unsigned char'"),
    (np.uint64, "'unsigned long'"),
    (np.bool_, "'bool'"),
    (np.complex128, "'complex double'"),
    (np.complex64, "'complex float'"),
    (np.longdouble, "'long double'"),
    (object, "Python object"),
    ("S3", "a string"),
    ([("a", "f8"), ("b", "f8")], "a struct"),
])
def test_dtype_mismatch(dtype, got):
    bad = np.zeros(3, dtype=dtype)
    text = f"Buffer dtype mismatch, expected 'double' but got {got}"
    assert message(lambda: multi_gaussian_cy(bad, P)) == (ValueError, text)
    assert message(lambda: multi_gaussian_jacobian_cy(X, bad)) == (ValueError, text)


@pytest.mark.parametrize("bad, text", [
    (np.zeros((2, 3)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.zeros(()), "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (np.zeros(3, dtype=">f8"), "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros(3, dtype=np.float16),
     "Does not understand character buffer dtype format string ('e')"),
])
def test_buffer_shape_and_byte_order_errors(bad, text):
    assert message(lambda: multi_gaussian_cy(X, bad)) == (ValueError, text)


def test_buffers_are_checked_in_parameter_order():
    bad_x, bad_params = np.zeros((2, 2)), np.zeros(3, dtype=np.float32)
    assert "dimensions" in message(lambda: multi_gaussian_cy(bad_x, bad_params))[1]


def test_single_field_struct_of_doubles_is_a_double():
    x = np.zeros(3, dtype=[("energy", "f8")])
    assert multi_gaussian_cy(x, P).tolist() == [1.0, 1.0, 1.0]


def test_ndarray_subclasses_are_accepted():
    x = X.view(ArraySubclass)
    assert np.array_equal(multi_gaussian_cy(x, P.view(ArraySubclass)), multi_gaussian_cy(X, P))


# --- traceback entries --------------------------------------------------------

@pytest.mark.parametrize("function", FUNCTIONS)
def test_failures_carry_a_traceback_entry_with_the_qualified_name(function):
    info = raised(lambda: function(X, [1]))
    last = traceback.extract_tb(info.tb)[-1]
    assert last.name == f"{MODULE}.{function.__name__}"


# --- module globals looked up at call time --------------------------------------

def test_removed_np_gives_name_error(monkeypatch):
    monkeypatch.delattr(gaussian, "np")
    for function in FUNCTIONS:
        assert message(lambda: function(X, P)) == (NameError, "name 'np' is not defined")
    # Builtins are the fallback namespace.
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert multi_gaussian_cy(X, P).shape == (5,)


def fake_numpy(zeros):
    return types.SimpleNamespace(zeros=zeros, float64=np.float64)


def test_result_allocation_goes_through_np_zeros(monkeypatch):
    calls = []

    def zeros(*args, **kwargs):
        calls.append((args, kwargs))
        return np.zeros(*args, **kwargs)

    monkeypatch.setattr(gaussian, "np", fake_numpy(zeros))
    multi_gaussian_cy(X, P)
    multi_gaussian_jacobian_cy(X, np.ones(4))
    assert calls == [((5,), {"dtype": np.float64}), (((5, 4),), {})]


@pytest.mark.parametrize("result, error, text", [
    ([0.0] * 5, TypeError, "Cannot convert list to numpy.ndarray"),
    (np.zeros(5, dtype=np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.zeros(5)[None], ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    # An allocation that comes back too short is refused rather than overrun.
    (np.zeros(2), IndexError, "Out of bounds on buffer access (axis 0)"),
])
def test_results_bound_to_typed_locals_are_checked(monkeypatch, result, error, text):
    monkeypatch.setattr(gaussian, "np", fake_numpy(lambda *a, **k: result))
    assert message(lambda: multi_gaussian_cy(X, P)) == (error, text)


def test_read_only_result_is_refused_for_writing(monkeypatch):
    read_only = np.zeros(5)
    read_only.flags.writeable = False
    monkeypatch.setattr(gaussian, "np", fake_numpy(lambda *a, **k: read_only))
    error, text = message(lambda: multi_gaussian_cy(X, P))
    assert error is ValueError and "read-only" in text


def test_numpy_errors_pass_through(monkeypatch):
    def zeros(*args, **kwargs):
        raise MemoryError("no room")

    monkeypatch.setattr(gaussian, "np", fake_numpy(zeros))
    assert message(lambda: multi_gaussian_jacobian_cy(X, P)) == (MemoryError, "no room")

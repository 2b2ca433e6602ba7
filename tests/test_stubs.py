"""The type stubs describe the functions as they are: names, order, defaults."""

import ast
import importlib
import importlib.util
import os
import pydoc
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

PACKAGE = "tarvix.utils.numerics.cython"
MODULES = ("gaussian", "deconvolution", "respgrid", "unfolding", "fitting", "peaks")
ROOT = Path(__file__).resolve().parent.parent


def stub_signatures(module_name):
    """{function: [(parameter, default or NO_DEFAULT), ...]} read from the
    installed stub of the module."""
    module = importlib.import_module(f"{PACKAGE}.{module_name}")
    stub = Path(module.__file__).with_name(f"{module_name}.pyi")
    tree = ast.parse(stub.read_text())
    signatures = {}
    classes = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes.append(node.name)
            assert ast.get_docstring(node), f"{node.name} has no docstring"
        if isinstance(node, ast.FunctionDef):
            args = node.args
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
            defaults = [NO_DEFAULT] * (len(args.args) - len(args.defaults))
            defaults += [ast.literal_eval(default) for default in args.defaults]
            signatures[node.name] = [(arg.arg, default) for arg, default in zip(args.args, defaults)]
            assert ast.get_docstring(node), f"{node.name} has no docstring"
    return module, signatures, classes


NO_DEFAULT = object()
STUBS = [(name, *stub_signatures(name)) for name in MODULES]
FUNCTIONS = [(module, function, parameters)
             for _, module, signatures, _ in STUBS for function, parameters in signatures.items()]


def type_error(call):
    with pytest.raises(TypeError) as error:
        call()
    return str(error.value)


def test_stubs_cover_every_public_function():
    # Functions are stubbed as functions, types (fitting.FitResult) as classes.
    for name, module, signatures, classes in STUBS:
        public = [attribute for attribute in vars(module)
                  if not attribute.startswith("_") and callable(getattr(module, attribute))]
        types = [attribute for attribute in public if isinstance(getattr(module, attribute), type)]
        assert sorted(set(public) - set(types)) == sorted(signatures), name
        assert sorted(types) == sorted(classes), name


def test_result_class_fields_are_the_stubs():
    # The stub's FitResult is a struct sequence as typeshed writes one: a
    # property per field, in order, and the same __match_args__.
    from tarvix.utils.numerics.cython import fitting
    stub = Path(fitting.__file__).with_name("fitting.pyi")
    tree = ast.parse(stub.read_text())
    (node,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "FitResult"]
    fields = [n.name for n in node.body if isinstance(n, ast.FunctionDef)
              and any(isinstance(d, ast.Name) and d.id == "property" for d in n.decorator_list)]
    assert all(ast.get_docstring(n) for n in node.body if isinstance(n, ast.FunctionDef))
    (match_args,) = [n for n in node.body if isinstance(n, ast.AnnAssign) and n.target.id == "__match_args__"]
    assert ast.literal_eval(match_args.value) == tuple(fields) == fitting.FitResult.__match_args__
    assert [ast.unparse(base).split("[")[0] for base in node.bases] == ["structseq", "tuple"]
    assert fitting.FitResult.n_fields == len(fields) and issubclass(fitting.FitResult, tuple)
    result = fitting.fit_peaks_cy(np.arange(4.0), np.ones((1, 4)), np.zeros(1), np.ones((4, 1)))
    assert [getattr(result, name) is result[index] for index, name in enumerate(fields)] == [True] * len(fields)
    assert not hasattr(result, "_asdict") and not hasattr(result, "_replace")


@pytest.mark.parametrize("name", ["unfolding", "fitting"])
def test_help_shows_the_stubs_module_docstring(name):
    module = importlib.import_module(f"{PACKAGE}.{name}")
    stub = Path(module.__file__).with_name(f"{name}.pyi")
    assert module.__doc__ == ast.get_docstring(ast.parse(stub.read_text()))
    assert module.__doc__.splitlines()[0] in pydoc.render_doc(module, renderer=pydoc.plaintext)


def test_peak_list_fields_are_the_stubs():
    # The stub's PeakList lists the struct sequence's fields, in order.
    from tarvix.utils.numerics.cython import peaks
    stub = Path(peaks.__file__).with_name("peaks.pyi")
    (node,) = [n for n in ast.parse(stub.read_text()).body if isinstance(n, ast.ClassDef) and n.name == "PeakList"]
    fields = [n.name for n in node.body if isinstance(n, ast.FunctionDef)]
    assert peaks.PeakList.n_fields == len(fields) == 5
    result = peaks.find_peaks_cy(np.ones((1, 8)), np.ones(8))
    assert [getattr(result, name) is result[index] for index, name in enumerate(fields)] == [True] * 5


@pytest.mark.parametrize("module, function, parameters", FUNCTIONS,
                         ids=[function for _, function, _ in FUNCTIONS])
def test_parameter_names_and_order(module, function, parameters):
    # A keyword collides with a positional argument exactly when it names a
    # parameter at or before the last position filled.
    f = getattr(module, function)
    for position, (name, _) in enumerate(parameters):
        message = type_error(lambda: f(*[None] * (position + 1), **{name: None}))
        assert message == f"{function}() got multiple values for keyword argument '{name}'"
        if position:
            try:
                f(*[None] * position, **{name: None})
            except Exception as error:  # any refusal but one about the keyword
                assert "keyword argument" not in str(error), (name, error)
    message = type_error(lambda: f(**{"not_a_parameter": None}))
    assert message == f"{function}() got an unexpected keyword argument 'not_a_parameter'"


@pytest.mark.parametrize("module, function, parameters", FUNCTIONS,
                         ids=[function for _, function, _ in FUNCTIONS])
def test_required_and_total_counts(module, function, parameters):
    f = getattr(module, function)
    required = sum(default is NO_DEFAULT for _, default in parameters)
    total = len(parameters)
    plural = lambda count: "" if count == 1 else "s"
    few = "exactly" if required == total else "at least"
    many = "exactly" if required == total else "at most"
    assert type_error(lambda: f()) == \
        f"{function}() takes {few} {required} positional argument{plural(required)} (0 given)"
    assert type_error(lambda: f(*[None] * (total + 1))) == (
        f"{function}() takes {many} {required if many == 'exactly' else total} positional "
        f"argument{plural(required if many == 'exactly' else total)} ({total + 1} given)")


def valid_required_arguments():
    """Arguments for the required parameters of the functions with defaults."""
    axis = np.linspace(100.0, 400.0, 12)
    y = np.linspace(5.0, 60.0, 12)
    offsets = np.arange(0, 25, 2, dtype=np.int64)[:13]
    indices = np.array([[j, (j + 1) % 12] for j in range(12)], dtype=np.int32).ravel()
    values = np.tile([0.75, 0.25], 12)
    return {
        "ML_EM_cy": lambda: (y, offsets, indices, values, np.ones(12)),
        "build_gaussian_response": lambda: (axis.copy(), np.full(12, 20.0)),
        "richardson_lucy_cy": lambda: (axis.copy(), y, 0.01, np.ones(12)),
        "ML_EM_batch_cy": lambda: (np.stack([y, y[::-1]]), offsets, indices, values, np.ones(12)),
        "richardson_lucy_batch_cy": lambda: (axis.copy(), np.stack([y, y[::-1]]), 0.01, np.ones(12)),
        "ML_EM_converge_cy": lambda: (np.stack([y, y[::-1]]), offsets, indices, values, np.ones(12)),
        "fit_peaks_cy": lambda: (axis.copy(), np.stack([y, y[::-1]]), np.array([40.0, 350.0, 900.0])),
        "fit_folded_cy": lambda: (axis.copy(), np.stack([y, y[::-1]]), np.array([300.0, 250.0]), offsets,
                                  indices, values),
        "snip_continuum_cy": lambda: (np.stack([y, y[::-1]]), np.full(12, 3.0)),
        "find_peaks_cy": lambda: (np.stack([y + 500.0 * (np.arange(12) == 6), y]), np.full(12, 1.5)),
        "analyse_spectra_cy": lambda: analysed_spectrum(),
    }


def analysed_spectrum():
    """60 channels of 1 keV holding one strong peak on a flat continuum."""
    edges = np.arange(61.0)
    centres = edges[:-1] + 0.5
    counts = np.round(100.0 + 5000.0 * np.exp(-0.5 * ((centres - 30.2) / 1.3) ** 2) / (np.sqrt(2 * np.pi) * 1.3))
    return edges, np.stack([counts, counts[::-1]]), np.full(60, 3.0)


WITH_DEFAULTS = [(module, function, parameters) for module, function, parameters in FUNCTIONS
                 if any(default is not NO_DEFAULT for _, default in parameters)]


def test_every_function_with_defaults_is_probed():
    assert sorted(function for _, function, _ in WITH_DEFAULTS) == sorted(valid_required_arguments())


@pytest.mark.parametrize("module, function, parameters", WITH_DEFAULTS,
                         ids=[function for _, function, _ in WITH_DEFAULTS])
def test_stub_defaults_are_the_functions_defaults(module, function, parameters):
    # Leaving the optional arguments out gives what passing the stub's
    # defaults gives; passing another value for each does change a result
    # where the parameter has an effect, so the comparison has teeth.
    f = getattr(module, function)
    required = valid_required_arguments()[function]
    as_tuple = lambda result: result if isinstance(result, tuple) else (result,)
    omitted = as_tuple(f(*required()))
    defaults = {name: default for name, default in parameters if default is not NO_DEFAULT}
    explicit = as_tuple(f(*required(), **defaults))
    assert len(omitted) == len(explicit)
    for a, b in zip(omitted, explicit):
        np.testing.assert_array_equal(a, b)
    for name, value in {"iterations": 3, "nsigma": 1.0, "max_passes": 4, "max_iterations": 1,
                        "smoothing": 2, "threshold": 1e6}.items():
        if name in defaults:
            other = as_tuple(f(*required(), **{name: value}))
            assert not np.array_equal(other[-1], omitted[-1]), name


def test_stubs_and_marker_are_installed():
    package = Path(importlib.import_module(PACKAGE).__file__).parent
    assert (package / "py.typed").exists()
    for name in MODULES:
        assert (package / f"{name}.pyi").exists()


TYPICAL_USE = '''
import numpy as np
from tarvix.utils.numerics.cython.fitting import FitResult, fit_peaks_cy

result: FitResult = fit_peaks_cy(np.arange(4.0), np.ones((1, 4)), np.zeros(1))
params, covariance, objective, iterations, status, areas, area_errors = result
best = result.params[0] + result[0][0] + float(result.objective.sum())
converged: np.ndarray = result.status == 0
fields = dict(zip(FitResult.__match_args__, result))
count: int = FitResult.n_fields + len(result)
match result:
    case FitResult(params=p, status=s):
        pass
'''


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.skipif(os.environ.get("TARVIX_SANITIZED") == "1",
                    reason="checks Python sources only; mypy's own native code is not ours to sanitize")
def test_mypy_takes_fit_results_as_they_are(tmp_path):
    # Typical use passes; what a NamedTuple has and a struct sequence has
    # not fails, as it fails at run time.
    (tmp_path / "use.py").write_text(TYPICAL_USE)
    (tmp_path / "wrong.py").write_text(TYPICAL_USE.split("best =")[0] + "result._asdict()\nresult._replace()\n")
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict-optional",
                             str(tmp_path / "use.py"), str(tmp_path / "wrong.py")],
                            cwd=ROOT, capture_output=True, text=True)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[0].rsplit("/", 1)[-1] for line in errors] == ["wrong.py"] * 2, result.stdout
    assert '"FitResult" has no attribute "_asdict"' in result.stdout


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.skipif(os.environ.get("TARVIX_SANITIZED") == "1",
                    reason="checks Python sources only; mypy's own native code is not ours to sanitize")
def test_mypy_accepts_the_examples():
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "examples"],
                            cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"Success: no issues found in \d+ source files", result.stdout)

"""Module initialisation, each case in a fresh interpreter: registration,
the NumPy array API and type checks, and failures that leave no module
behind."""

import os
import subprocess
import sys
import textwrap

import pytest

MODULE = "tarvix.utils.numerics.cython.gaussian"


def run(code):
    """Runs `code` in a fresh interpreter; returns its standard output."""
    result = subprocess.run([sys.executable, "-W", "error::DeprecationWarning", "-c",
                             textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120,
                            # Away from the source tree, which has no built modules.
                            cwd=os.path.dirname(__file__))
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


FAILED_IMPORT = f"""
    import sys, traceback, warnings
    import numpy
    {{patch}}
    try:
        import {MODULE}
    except Exception as error:
        entries = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
        print(type(error).__name__, "|", error, "|", "init {MODULE}" in entries,
              "|", "{MODULE}" in sys.modules)
    else:
        print("imported")
"""


@pytest.mark.parametrize("patch, expected", [
    ("numpy._core._multiarray_umath._ARRAY_API = None",
     "ImportError | numpy.core.multiarray failed to import | True | False"),
    ("del numpy._core._multiarray_umath._ARRAY_API",
     "ImportError | numpy.core.multiarray failed to import | True | False"),
    ("numpy.dtype = 5",
     "TypeError | numpy.dtype is not a type object | True | False"),
    ("del numpy.broadcast",
     "AttributeError | module 'numpy' has no attribute 'broadcast' | True | False"),
    ("numpy.ufunc = object",
     "ValueError | numpy.ufunc size changed, may indicate binary incompatibility. "
     "Expected 232 from C header, got 16 from PyObject | True | False"),
    ("numpy.integer = type('integer', (), {'__slots__': ()})",
     "imported"),
])
def test_import_failures_leave_no_module_behind(patch, expected):
    assert run(FAILED_IMPORT.format(patch=patch)) == expected


def test_larger_warn_checked_type_gives_runtime_warning():
    out = run(f"""
        import warnings
        import numpy
        class Bigger(numpy.floating):
            __slots__ = ("a", "b")
        numpy.floating = Bigger
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import {MODULE}
        print([(w.category.__name__, str(w.message)) for w in caught])
    """)
    assert out == ("[('RuntimeWarning', 'numpy.floating size changed, may indicate binary "
                   "incompatibility. Expected 16 from C header, got 32 from PyObject')]")


def test_failed_import_can_be_retried():
    out = run(f"""
        import numpy
        saved = numpy.ufunc
        numpy.ufunc = object
        try:
            import {MODULE}
        except ValueError:
            pass
        numpy.ufunc = saved
        import {MODULE} as module
        print(module.multi_gaussian_cy(numpy.zeros(2), numpy.array([1.0, 0.0, 1.0])).tolist())
    """)
    assert out == "[1.0, 1.0]"


def test_exec_registers_the_module_in_sys_modules():
    out = run(f"""
        import importlib.util, sys
        spec = importlib.util.find_spec("{MODULE}")
        module = importlib.util.module_from_spec(spec)
        assert "{MODULE}" not in sys.modules
        spec.loader.exec_module(module)
        print(sys.modules["{MODULE}"] is module, module.np.__name__)
    """)
    assert out == "True numpy"


def test_import_binds_numpy_even_if_imported_late():
    out = run(f"""
        import sys
        import {MODULE} as module
        print("numpy" in sys.modules, module.np is sys.modules["numpy"])
    """)
    assert out == "True True"

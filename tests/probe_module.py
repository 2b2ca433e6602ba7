"""The test-only module _kernel_probe, which drives kernel-layer routines
directly. The sanitizer build (make test-sanitize, TARVIX_SANITIZED=1)
leaves it out, so the tests that need it skip there; anywhere else a
missing probe is an error."""

import os

import pytest

SANITIZED = os.environ.get("TARVIX_SANITIZED") == "1"


def kernel_probe(module_level=False):
    """The _kernel_probe module; under the sanitizers, where it is not
    built, the calling test (or with module_level=True its whole file)
    skips."""
    try:
        from tarvix.utils.numerics.cython import _kernel_probe
    except ImportError:
        if not SANITIZED:
            raise
        pytest.skip("the sanitizer build leaves out _kernel_probe", allow_module_level=module_level)
    return _kernel_probe

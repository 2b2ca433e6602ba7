"""Independent reference arithmetic for the tests: exactly rounded fused
multiply-add, and a bit-for-bit comparison of float arrays."""

import math
from fractions import Fraction

import numpy as np


def fma(a: float, b: float, c: float) -> float:
    """a*b + c rounded once, as the hardware instruction does it."""
    if all(math.isfinite(v) for v in (a, b, c)):
        exact = Fraction(a) * Fraction(b) + Fraction(c)
        if exact == 0:
            # The sign of an exact zero follows IEEE rules for a*b + c.
            return (a * b) + c
        try:
            return float(exact)
        except OverflowError:
            return math.inf if exact > 0 else -math.inf
    # Infinities and NaN: the single rounding makes no difference.
    return (a * b) + c


def assert_same_bits(actual, expected):
    """Equal shapes, dtypes and bits (NaN matches NaN of either sign)."""
    actual = np.asarray(actual)
    expected = np.asarray(expected, dtype=actual.dtype)
    assert actual.shape == expected.shape
    nan_actual, nan_expected = np.isnan(actual), np.isnan(expected)
    assert np.array_equal(nan_actual, nan_expected)
    keep = ~nan_actual
    assert np.array_equal(actual[keep].view(np.uint64), expected[keep].view(np.uint64)), (
        actual[keep], expected[keep])

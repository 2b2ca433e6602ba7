"""The vector erfc (kernels/erfc.hpp through the probe): its error in ulps
against erfc evaluated at high precision (mpmath; SciPy's erfc, itself a few
ulps off, with a looser bound where mpmath is missing), its exact values at
the ends and at the special inputs, and the same bits at every vector width
the CPU runs."""

import numpy as np
import pytest

from exact import assert_same_bits
from probe_module import kernel_probe

probe = kernel_probe(module_level=True)

try:
    import mpmath
except ImportError:  # pragma: no cover
    mpmath = None

MAX_ULPS = 3.0 if mpmath else 8.0
WIDTHS = {"generic": [1], "avx2": [1, 4], "avx512": [1, 4, 8]}[probe.cpu_level()]
SMALL_LIMIT = 15 / 32


def reference(x):
    """erfc(x) as an exact value (mpmath at 40 digits) or SciPy's double."""
    if mpmath is None:
        import scipy.special
        return [float(v) for v in scipy.special.erfc(x)]
    mpmath.mp.dps = 40
    return [mpmath.erfc(mpmath.mpf(float(v))) for v in x]


def ulps(actual, x):
    """|actual - erfc(x)| in units of the spacing of doubles at erfc(x)."""
    errors = []
    for value, exact in zip(actual, reference(x)):
        spacing = max(np.spacing(float(exact)), 2.0**-1074)
        errors.append(float(abs(mpmath.mpf(float(value)) - exact) / spacing) if mpmath
                      else abs(value - exact) / spacing)
    return np.array(errors)


def around(value, count):
    """`count` doubles on each side of value, value included."""
    below = [value]
    above = [value]
    for _ in range(count):
        below.append(np.nextafter(below[-1], -np.inf))
        above.append(np.nextafter(above[-1], np.inf))
    return np.array(below[::-1] + above[1:])


RANGES = {
    "near zero": lambda rng: rng.uniform(-SMALL_LIMIT, SMALL_LIMIT, 800),
    "tiny": lambda rng: np.ldexp(rng.uniform(-1.0, 1.0, 200), -rng.integers(1, 1000, 200)),
    "0.47 to 2": lambda rng: rng.uniform(SMALL_LIMIT, 2.0, 800),
    "2 to 6": lambda rng: rng.uniform(2.0, 6.0, 800),
    "6 to 26.5": lambda rng: rng.uniform(6.0, 26.5, 800),
    "subnormal results": lambda rng: rng.uniform(26.5, 27.3, 400),
    "-6 to -0.47": lambda rng: rng.uniform(-6.0, -SMALL_LIMIT, 800),
    "range edges": lambda rng: np.concatenate([around(v, 20) for v in
                                               (SMALL_LIMIT, -SMALL_LIMIT, 6.0, -6.0, 26.55, 27.22)]),
}


@pytest.mark.parametrize("case", RANGES)
def test_error_within_a_few_ulps(case):
    x = RANGES[case](np.random.default_rng(len(case)))
    error = ulps(probe.erfc_array(x), x)
    assert error.max() <= MAX_ULPS, (x[error.argmax()], error.max())


SPECIALS = [
    (0.0, 1.0), (-0.0, 1.0), (5e-324, 1.0), (-5e-324, 1.0), (np.inf, 0.0), (-np.inf, 2.0),
    (27.3, 0.0), (28.0, 0.0), (1e300, 0.0), (-6.0, 2.0), (-27.3, 2.0), (-1e300, 2.0), (np.nan, np.nan),
]


@pytest.mark.parametrize("width", WIDTHS)
def test_special_values(width):
    x = np.array([v for v, _ in SPECIALS])
    assert_same_bits(probe.erfc_array(x, width), np.array([y for _, y in SPECIALS]))


def mixed_inputs(rng):
    """Groups of every kind: wholly near zero, wholly saturated, wholly
    beyond, and mixed, with special values and any bits among them."""
    parts = [
        rng.uniform(-0.4, 0.4, 64),
        rng.choice([-7.0, 30.0, -np.inf, np.inf, 1e300], 64),
        rng.uniform(0.5, 27.0, 64),
        rng.uniform(-30.0, 30.0, 512),
        rng.choice([0.0, np.nan, 0.3, -0.3, 27.3, -6.0, 3.0], 256),
        rng.integers(0, 2**64, 256, dtype=np.uint64).view(np.float64),
    ]
    return np.concatenate(parts)


@pytest.mark.parametrize("shift", range(9))
def test_same_bits_at_every_width(shift):
    # Shifting the start regroups the lanes, and ends the array raggedly.
    x = mixed_inputs(np.random.default_rng(0))[shift:]
    scalar = probe.erfc_array(x, 1)
    for width in WIDTHS:
        assert_same_bits(probe.erfc_array(x, width), scalar)
    assert_same_bits(probe.erfc_array(x), scalar)  # the build's level


@pytest.mark.parametrize("count", range(18))
def test_ragged_ends(count):
    x = np.linspace(-8.0, 28.0, count)
    expected = probe.erfc_array(x, 1)
    for width in WIDTHS:
        assert_same_bits(probe.erfc_array(x, width), expected)
    assert np.all(np.abs(probe.erfc_array(x) - [float(v) for v in reference(x)]) <= 1e-15)


def test_refuses_widths_it_cannot_run():
    with pytest.raises(ValueError):
        probe.erfc_array(np.zeros(3), 2)
    if probe.cpu_level() != "avx512":
        with pytest.raises(ValueError):
            probe.erfc_array(np.zeros(3), 8)

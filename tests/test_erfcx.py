"""The vector erfcx (kernels/erfcx.hpp through the probe): its error in ulps
against exp(x^2) erfc(x) at high precision (mpmath), in every range of its
formula and across their edges, its special values, and the same bits at
every vector width the CPU runs."""

import numpy as np
import pytest

from exact import assert_same_bits
from probe_module import kernel_probe

probe = kernel_probe(module_level=True)

mpmath = pytest.importorskip("mpmath")

WIDTHS = {"generic": [1], "avx2": [1, 4], "avx512": [1, 4, 8]}[probe.cpu_level()]
SMALL_LIMIT = 15 / 32
MAX_ULPS = 4.0


def ulps(actual, x):
    """|actual - erfcx(x)| in units of the spacing of doubles at erfcx(x)."""
    mpmath.mp.dps = 50
    errors = []
    for value, v in zip(actual, x):
        v = mpmath.mpf(float(v))
        if v > 1e5:  # the series' third term is below 1e-30 here
            exact = (1 - 1 / (2 * v**2) + 3 / (4 * v**4)) / (v * mpmath.sqrt(mpmath.pi))
        else:
            exact = mpmath.exp(v**2) * mpmath.erfc(v)
        spacing = np.spacing(float(exact))
        errors.append(float(abs(mpmath.mpf(float(value)) - exact) / spacing))
    return np.array(errors)


def around(value, count):
    return value + np.arange(-count, count + 1) * np.spacing(value)


RANGES = {
    "near zero": lambda rng: rng.uniform(-SMALL_LIMIT, SMALL_LIMIT, 600),
    "0.47 to 6": lambda rng: rng.uniform(SMALL_LIMIT, 6.0, 600),
    "6 to 27.3": lambda rng: rng.uniform(6.0, 27.3, 400),
    "asymptotic": lambda rng: np.exp(rng.uniform(np.log(27.3), np.log(1e300), 400)),
    "negative": lambda rng: rng.uniform(-26.0, -SMALL_LIMIT, 600),
    "edges": lambda rng: np.concatenate([around(v, 10) for v in (SMALL_LIMIT, -SMALL_LIMIT, 27.3)]),
}


@pytest.mark.parametrize("case", RANGES)
def test_error_within_a_few_ulps(case):
    x = RANGES[case](np.random.default_rng(len(case)))
    error = ulps(probe.erfcx_array(x), x)
    assert error.max() <= MAX_ULPS, (x[error.argmax()], error.max())


SPECIALS = [(0.0, 1.0), (-0.0, 1.0), (np.inf, 0.0), (-np.inf, np.inf), (-27.0, np.inf), (-1e300, np.inf),
            (np.nan, np.nan)]


@pytest.mark.parametrize("width", WIDTHS)
def test_special_values(width):
    x = np.array([v for v, _ in SPECIALS])
    assert_same_bits(probe.erfcx_array(x, width), np.array([y for _, y in SPECIALS]))


@pytest.mark.parametrize("shift", range(9))
def test_same_bits_at_every_width(shift):
    rng = np.random.default_rng(1)
    x = np.concatenate([rng.uniform(-0.4, 0.4, 64), rng.uniform(0.5, 27.0, 64), rng.uniform(-30.0, 60.0, 512),
                        rng.choice([0.0, np.nan, 0.3, -0.3, 27.3, 40.0, -6.0, np.inf, -np.inf], 256),
                        rng.integers(0, 2**64, 256, dtype=np.uint64).view(np.float64)])[shift:]
    scalar = probe.erfcx_array(x, 1)
    for width in WIDTHS:
        assert_same_bits(probe.erfcx_array(x, width), scalar)
    assert_same_bits(probe.erfcx_array(x), scalar)

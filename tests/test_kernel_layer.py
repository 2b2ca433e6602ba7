"""The kernel layer driven directly, at the level this build runs: the level
itself (a pinned build must run the level it was pinned to), the vector exp
against the C library's, and the searches against NumPy and the linear scan.

`make test-kernels` runs this file, with the other exact-result tests,
against a build pinned to each level the CPU offers, and tells it the level
through TARVIX_EXPECTED_KERNEL_LEVEL."""

import math
import os
import pathlib
import re
import shutil
import subprocess

import numpy as np
import pytest

from exact import assert_same_bits
from probe_module import kernel_probe

probe = kernel_probe(module_level=True)

LEVELS = ["generic", "avx2", "avx512"]


def test_runs_the_expected_level():
    expected = os.environ.get("TARVIX_EXPECTED_KERNEL_LEVEL")
    assert probe.cpu_level() in LEVELS
    if expected is None:
        # The default build chooses the CPU's highest level.
        assert probe.kernel_level() == probe.cpu_level()
    else:
        assert probe.kernel_level() == expected


def library_exp(values):
    out = []
    for v in values:
        try:
            out.append(math.exp(v))
        except OverflowError:
            out.append(math.inf)
    return np.array(out)


EXP_CASES = {
    "whole range": lambda rng: rng.uniform(-1100.0, 800.0, 4000),
    "near zero": lambda rng: rng.uniform(-2.0, 2.0, 1000),
    "tiny": lambda rng: np.ldexp(rng.uniform(-0.5, 0.5, 500), -rng.integers(0, 80, 500)),
    "underflow edge": lambda rng: rng.uniform(-750.0, -700.0, 1000),
    "large negative": lambda rng: rng.uniform(-1030.0, -500.0, 1000),
    "any bits": lambda rng: rng.integers(0, 2**63, 2000, dtype=np.int64).view(np.float64),
    "specials": lambda rng: np.array([0.0, -0.0, 512.0, -512.0, 709.782712893384, 709.79, -708.4,
                                      -745.1332191019411, -746.0, -1e300, 2.0**-54, np.inf, -np.inf,
                                      np.nan]),
}


@pytest.mark.parametrize("case", EXP_CASES)
def test_exp_gives_the_c_library_bits(case):
    x = EXP_CASES[case](np.random.default_rng(len(case)))
    assert_same_bits(probe.exp_array(x), library_exp(x))


@pytest.mark.parametrize("count", range(17))
def test_exp_ragged_ends(count):
    # Every remainder of a vector's width: whole groups, then a masked one.
    x = np.linspace(-800.0, 20.0, count)
    assert_same_bits(probe.exp_array(x[::-1]), library_exp(x[::-1]))


def npy_sorted_axis(rng, n, nans):
    axis = np.sort(np.round(rng.uniform(0.0, 10.0, n), 1))  # repeated values
    if nans:
        axis[-nans:] = np.nan
    return axis


@pytest.mark.parametrize("n, nans", [(0, 0), (1, 0), (2, 1), (7, 0), (50, 3), (300, 0)])
def test_searches_give_numpys_index(n, nans):
    rng = np.random.default_rng(n)
    axis = npy_sorted_axis(rng, n, nans)
    keys = np.concatenate([rng.uniform(-1.0, 11.0, 60), axis[:5], [np.nan, np.inf, -np.inf]])
    for side in ("left", "right"):
        right = side == "right"
        for key in keys:
            expected = np.searchsorted(axis, key, side=side)
            found = [probe.searchsorted(axis, key, right)]
            found += [probe.searchsorted(axis, key, right, hint) for hint in {0, n // 3, n}]
            assert found == [expected] * len(found), (side, key)


def test_ascending_in_numpys_order():
    assert probe.ascending(np.array([]))
    assert probe.ascending(np.array([1.0, 1.0, 2.0, np.nan, np.nan]))
    assert not probe.ascending(np.array([1.0, np.nan, 2.0]))
    assert not probe.ascending(np.array([2.0, 1.0]))
    assert probe.ascending(np.arange(10.0)[::-1][::-1])


@pytest.mark.parametrize("seed", range(3))
def test_scan_and_bisection_agree_on_ascending_axes(seed):
    rng = np.random.default_rng(seed)
    axis = np.sort(np.round(rng.uniform(0.0, 10.0, 40), 0))
    for energy in list(rng.uniform(-1.0, 11.0, 50)) + [np.nan, -np.inf, np.inf]:
        scanned = probe.find_index_from_energy(energy, axis)
        expected = next((i for i, a in enumerate(axis) if not energy > a), -1)
        assert scanned == expected
        bisected = probe.find_index_from_energy(energy, axis, True)
        assert bisected == (len(axis) if scanned == -1 else scanned)


def test_scan_on_unsorted_axis_takes_the_first_entry_not_below():
    axis = np.array([5.0, 1.0, 7.0, np.nan, 9.0])
    assert [probe.find_index_from_energy(e, axis) for e in (0.0, 6.0, 8.0, 10.0)] == [0, 2, 3, 3]
    assert probe.find_index_from_energy(0.0, np.array([])) == -1


def test_vector_operations_never_cross_a_call():
    # Every vector operation of a wide level must be inlined into that
    # level's entry point: called out of line from code built for another
    # instruction set, its vector arguments would be passed wrongly.
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump not found")
    package = pathlib.Path(probe.__file__).parent
    modules = sorted(package.glob("*.so"))
    assert len(modules) >= 5
    for module in modules:
        listing = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", str(module)],
                                 capture_output=True, text=True, check=True).stdout
        calls = re.findall(r"call.*<kernels::simd::Lanes<\d+>::\w+", listing)
        assert calls == [], (module.name, calls[:3])


def test_a_module_with_more_than_eight_functions():
    # The frame sizes each module's function table from the table itself.
    functions = [name for name in vars(probe) if not name.startswith("_") and callable(getattr(probe, name))]
    assert len(functions) > 8
    for name in functions:
        assert getattr(probe, name).__name__ == name
    assert probe.exact_divide(np.array([1.0, 3.0]), 2.0).tolist() == [0.5, 1.5]

"""The vector erfc (kernels/erfc.hpp) against the C library's std::erfc and
scipy.special.erfc: time per element at each vector width the CPU runs, side
by side in one run, on arguments like those of the peak fitter (|t| of a few
widths around a peak, some far out) and on a narrow range near zero.

Run: .venv/bin/python bench/erfc.py [--size N] [--reps R]"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import scipy.special

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import cpu_name  # noqa: E402

from tarvix.utils.numerics.cython import _kernel_probe as probe  # noqa: E402

WIDTHS = {"generic": 1, "avx2": 4, "avx512": 8}
LEVELS = ["generic", "avx2", "avx512"]


def per_element(function, x, reps):
    function(x)  # warm up
    best = np.inf
    for _ in range(reps):
        start = time.perf_counter()
        function(x)
        best = min(best, time.perf_counter() - start)
    return best / len(x) * 1e9


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=8192)
    parser.add_argument("--reps", type=int, default=200)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    cases = {
        "fitter-like, -8..30": rng.uniform(-8.0, 30.0, args.size),
        "near peaks, 0..5": rng.uniform(0.0, 5.0, args.size),
        "near zero, |x| < 0.4": rng.uniform(-0.4, 0.4, args.size),
    }
    runs = LEVELS[:LEVELS.index(probe.cpu_level()) + 1]
    print(f"CPU: {cpu_name()}; {args.size} elements, best of {args.reps}; ns per element "
          "(arrays that stay in cache; the probe copies in and out)")
    print(f"{'case':24s}{'std::erfc':>11s}{'scipy':>9s}" + "".join(f"{lv:>10s}" for lv in runs)
          + "   speed-up over std::erfc")
    for name, x in cases.items():
        library = per_element(probe.library_erfc, x, args.reps)
        scipy_time = per_element(scipy.special.erfc, x, args.reps)
        ours = [per_element(lambda v, w=WIDTHS[lv]: probe.erfc_array(v, w), x, args.reps) for lv in runs]
        print(f"{name:24s}{library:11.2f}{scipy_time:9.2f}" + "".join(f"{t:10.2f}" for t in ours)
              + "   " + " ".join(f"{library / t:.1f}x" for t in ours))


if __name__ == "__main__":
    main()

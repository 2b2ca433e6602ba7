"""How often a converging run of p pass-equivalents ends below p plain passes.

python bench/early_passes.py [--problems N]

On random low-count problems with zeros (small responses of bands,
scattered columns and long runs, counts Poisson with means 0.05 to 3, the
sensitivity the response's row sums, so that ML-EM raises the
log-likelihood), for p = 1 .. 10: the share of rows where
ML_EM_converge_cy(Y, ..., tolerance=0, max_passes=p) ends at a lower
log-likelihood than p plain ML_EM_cy passes, and the share that ends
below floor(p/3) plain passes. Prints one line per p; --json writes them.
"""

import argparse
import json
import sys

import numpy as np

from tarvix.utils.numerics.cython.deconvolution import ML_EM_cy
from tarvix.utils.numerics.cython.unfolding import ML_EM_converge_cy, poisson_log_likelihood_cy


def low_count_problem(rng, n=40, spectra=16):
    """A response of n rows (a band, scattered columns or a long run each) and
    a stack of low-count spectra with many zeros."""
    offsets, indices, values = [0], [], []
    for j in range(n):
        kind = rng.integers(0, 3)
        if kind == 0:
            half = int(rng.integers(0, 4))
            columns = np.arange(max(0, j - half), min(n, j + half + 1))
        elif kind == 1:
            columns = rng.integers(0, n, size=int(rng.integers(1, 5)))
        else:
            first = int(rng.integers(0, n))
            columns = np.arange(first, min(n, first + int(rng.integers(1, 12))))
        indices.extend(columns)
        values.extend(rng.uniform(0.05, 1.0, size=len(columns)))
        offsets.append(len(indices))
    response = (np.array(offsets, np.int64), np.array(indices, np.int32), np.array(values))
    sums = np.zeros(n)
    np.add.at(sums, np.repeat(np.arange(n), np.diff(response[0])), response[2])
    Y = rng.poisson(rng.uniform(0.05, 3.0, size=(spectra, 1)), size=(spectra, n)).astype(np.float64)
    return Y, response, sums


def shares(problems, seed=1):
    rng = np.random.default_rng(seed)
    cases = [low_count_problem(rng) for _ in range(problems)]
    out = {}
    for p in range(1, 11):
        below = below_third = rows = 0
        for Y, response, sensitivity in cases:
            _, _, ll = ML_EM_converge_cy(Y, *response, sensitivity, 0.0, p)
            for passes, counter in ((p, "p"), (p // 3, "third")):
                plain = np.array([ML_EM_cy(y, *response, sensitivity, passes) for y in Y])
                reference = poisson_log_likelihood_cy(Y, plain, *response)
                if counter == "p":
                    below += int(np.sum(ll < reference))
                else:
                    below_third += int(np.sum(ll < reference))
            rows += len(Y)
        out[p] = dict(rows=rows, below_p=below, below_third=below_third)
        print(f"p={p:2d}: {below:4d} of {rows} rows below p plain passes ({100 * below / rows:5.1f} %), "
              f"{below_third} below floor(p/3)", flush=True)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--problems", type=int, default=100)
    parser.add_argument("--json")
    options = parser.parse_args()
    out = shares(options.problems)
    if options.json:
        with open(options.json, "w") as f:
            json.dump(out, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())

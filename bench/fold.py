"""Folding the background of a forward-folding fit through the response.

python bench/fold.py [--reps N] [--n N] [--half-width W]

fit_folded_cy folds its q background columns through the response once per
call: folded = M^T B, with M the (n, n) response of about 6.8e6 entries (a
band of 831 columns per row, n = 8192) and B the (n, q) basis. The peer is
what a SciPy user writes, ``M.T @ B`` with M a scipy.sparse.csr_matrix.
The package's side is one fit_folded_cy call of one spectrum with every
coefficient held by its bounds and max_iterations=0, so it also pays for
the response check and one evaluation; the same call with q = 1 is shown
beside it (that overhead).
Targets: the call at most the time of ``M.T @ B`` for q = 30 and 300.
Then the time from a SIGINT, sent 0.2 s into the q = 300 call repeated on
a larger basis, to the KeyboardInterrupt. Results go to bench/fold.json.
"""

import argparse
import json
import os
import signal
import sys
import threading
import time
from pathlib import Path

import numpy as np
import scipy.sparse

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from run import best_time, cpu_name  # noqa: E402

from tarvix.utils.numerics.cython.fitting import fit_folded_cy  # noqa: E402


def band_response(n, half_width, seed=0):
    """A CSR response whose row j covers columns j - w .. j + w (clipped),
    positive values: (offsets, indices, values) and the scipy matrix."""
    rng = np.random.default_rng(seed)
    starts = np.clip(np.arange(n) - half_width, 0, n)
    ends = np.clip(np.arange(n) + half_width + 1, 0, n)
    counts = ends - starts
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    indices = np.concatenate([np.arange(a, b) for a, b in zip(starts, ends)]).astype(np.int32)
    values = rng.uniform(0.1, 1.0, len(indices)) / (2 * half_width + 1)
    matrix = scipy.sparse.csr_matrix((values, indices, offsets), shape=(n, n))
    return (offsets, indices, values), matrix


def basis_columns(n, q):
    t = np.linspace(0.0, 1.0, n)
    return 1.0 + 0.5 * np.cos(np.pi * np.outer(t, np.arange(q)))  # (n, q), C order, positive


def fold_call(x, y, response, basis):
    # Every coefficient held by its bounds: the call checks, folds, and
    # evaluates the model once.
    params = np.ones(basis.shape[1])
    return lambda: fit_folded_cy(x, y, params, *response, basis, params, params, max_iterations=0)


def interrupt_latency(call, after=0.2):
    """Seconds from a SIGINT sent `after` s into call() to its end."""
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    # Ctrl-C's own handler, also where the shell started this in the
    # background with SIGINT ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(after, interrupt)
    start = time.perf_counter()
    timer.start()
    try:
        call()
        ended = None
    except KeyboardInterrupt:
        ended = time.perf_counter()
    timer.join()
    signal.signal(signal.SIGINT, previous)
    if ended is None:
        return None, time.perf_counter() - start
    return ended - sent[0], ended - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=int(os.environ.get("BENCH_REPS", 5)))
    parser.add_argument("--n", type=int, default=8192)
    parser.add_argument("--half-width", type=int, default=415)
    args = parser.parse_args()

    n = args.n
    response, matrix = band_response(n, args.half_width)
    x = np.linspace(20.0, 3000.0, n)
    rng = np.random.default_rng(1)
    print(f"machine: {cpu_name()}, {os.cpu_count()} cores; response n = {n}, {len(response[2])} entries\n")
    results = dict(machine=cpu_name(), n=n, entries=len(response[2]), cases=[])
    overhead = None
    print(f"{'q':>5} {'fit_folded_cy (s)':>18} {'M.T @ B (s)':>12} {'peer / package':>15}")
    for q in (1, 30, 300):
        basis = basis_columns(n, q)
        mean = matrix.T @ (basis @ np.ones(q))
        y = rng.poisson(np.maximum(mean, 0.0))[None].astype(float)
        package = fold_call(x, y, response, basis)
        peer = lambda: matrix.T @ basis
        package()
        peer()
        # The package's objective is the deviance of the folded mean: the
        # same fold as the peer's, to rounding.
        mu = (matrix.T @ basis) @ np.ones(q) + 1e-12
        expected = 2.0 * np.sum(np.where(y[0] > 0, mu - y[0] + y[0] * np.log(np.where(y[0] > 0, y[0], 1.0) / mu), mu))
        got = package().objective[0]
        assert abs(got - expected) <= 1e-9 * abs(expected), (got, expected)
        t_package = best_time(package, args.reps)
        t_peer = best_time(peer, args.reps)
        if q == 1:
            overhead = t_package
        print(f"{q:>5} {t_package:>18.4f} {t_peer:>12.4f} {t_peer / t_package:>15.2f}")
        results["cases"].append(dict(q=q, package_s=t_package, scipy_s=t_peer, ratio=t_peer / t_package))
    print(f"\n(q = 1 is the call's own cost, the response check and one evaluation: {overhead:.4f} s)")

    # Interruption: the q = 300 fold made long by a 4x basis (repeated calls
    # until a signal arrives would measure the loop, not the fold).
    wide = basis_columns(n, 1200)
    call = fold_call(x, y[:, :n], response, wide)
    latency, total = interrupt_latency(call)
    if latency is None:
        print(f"\nthe 1200-column call ended in {total:.2f} s before the signal")
    else:
        print(f"\nSIGINT 0.2 s into a 1200-column fold: KeyboardInterrupt {latency * 1e3:.1f} ms after the signal")
    results["interrupt_latency_s"] = latency
    (HERE / "fold.json").write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()

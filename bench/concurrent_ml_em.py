"""Wall time of two ML_EM_cy calls run at once in two threads, beside one
call alone: the iteration releases the interpreter lock, so on a machine
with two free cores the pair takes about as long as one call.

Run: .venv/bin/python bench/concurrent_ml_em.py
"""

import statistics
import threading
import time

import numpy as np

from tarvix.utils.numerics.cython.deconvolution import ML_EM_cy, build_gaussian_response

N = 4096
REPEATS = 5

axis = np.linspace(1.0, 3000.0, N)
sigma = 0.003 * axis**1.5 / 2.3548200450309493
response = build_gaussian_response(axis, sigma)
rng = np.random.default_rng(0)
spectrum = rng.poisson(50.0 + 1000.0 * np.exp(-0.5 * ((axis - 662.0) / 8.0) ** 2)).astype(float)
sensitivity = np.ones(N)


def one_call():
    ML_EM_cy(spectrum, *response, sensitivity, 30)


def two_at_once():
    threads = [threading.Thread(target=one_call) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def median_seconds(run):
    run()
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


single = median_seconds(one_call)
pair = median_seconds(two_at_once)
print(f"ML_EM_cy, {N} channels, {response[0][-1]} entries, 30 passes")
print(f"  one call            {single * 1e3:8.1f} ms")
print(f"  two calls at once   {pair * 1e3:8.1f} ms  ({pair / single:.2f} x one call; 2.00 would mean no overlap)")

"""The converging run's first steps, the spectra that cannot improve, the
stack's lanes, interruption by a signal, docstrings and the MemoryError of
the unfolding module."""

import gc
import inspect
import os
import pydoc
import signal
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import numpy as np
import pytest

from deconvolution_reference import assert_same_bits, csr_from_rows as csr
from test_unfolding import gaussian_problem, random_response, row_sums, single_calls
from probe_module import kernel_probe
from tarvix.utils.numerics.cython import deconvolution, fitting, unfolding

converge = unfolding.ML_EM_converge_cy
log_likelihood = unfolding.poisson_log_likelihood_cy


def low_count_problems(count, n=30, spectra=12, seed=0):
    """Small responses (bands, scattered columns, long runs) and stacks of
    low counts with many zeros, the sensitivity the row sums."""
    rng = np.random.default_rng(seed)
    for index in range(count):
        response = random_response(rng, n, ("band", "scatter", "long")[index % 3])
        Y = rng.poisson(rng.uniform(0.05, 3.0, size=(spectra, 1)), size=(spectra, n)).astype(np.float64)
        yield Y, response, np.maximum(row_sums(*response), 1e-3)


# --- item: the steps without differences are plain EM passes

def test_one_pass_equivalent_is_one_plain_pass_of_the_example():
    response = csr([([0], [1.0]), ([1], [1.0])])
    Y = np.array([[0.0, 10.0]])
    X, passes, ll = converge(Y, *response, np.ones(2), 0.0, 1)
    assert_same_bits(X, single_calls(Y, *response, np.ones(2), iterations=1))
    assert X[0, 0] == 0.0 and passes[0] == 1 and ll[0] == log_likelihood(Y, X, *response)[0]


@pytest.mark.parametrize("seed", range(4))
def test_one_pass_equivalent_is_one_plain_pass(seed):
    for Y, response, sensitivity in low_count_problems(3, seed=seed):
        X, passes, ll = converge(Y, *response, sensitivity, 0.0, 1)
        plain = single_calls(Y, *response, sensitivity, iterations=1)
        assert_same_bits(X, plain)
        assert_same_bits(ll, log_likelihood(Y, plain, *response))


@pytest.mark.parametrize("p", range(2, 11))
def test_early_passes_reach_a_third_of_the_plain_passes(p):
    for Y, response, sensitivity in low_count_problems(6, seed=100 + p):
        _, _, ll = converge(Y, *response, sensitivity, 0.0, p)
        plain = single_calls(Y, *response, sensitivity, iterations=p // 3)
        assert np.all(ll >= log_likelihood(Y, plain, *response))


# --- item: spectra that cannot improve stop

def test_zero_counts_stop_after_one_pass():
    Y, response = gaussian_problem(n=40, spectra=3, seed=8)
    Y[1] = 0.0
    for tolerance in (0.0, 1e-10):
        X, passes, ll = converge(Y, *response, np.ones(40), tolerance, 2**31 - 1 if tolerance else 300)
        assert passes[1] == 1 and np.all(X[1] == 0.0)
        assert ll[1] == log_likelihood(Y[1:2], X[1:2], *response)[0]
        if tolerance == 0.0:
            assert list(passes[[0, 2]]) == [300, 300]


def test_no_bins_stop_at_once():
    empty = csr([])
    X, passes, ll = converge(np.zeros((3, 0)), *empty, np.ones(0), 0.0, 2**31 - 1)
    assert X.shape == (3, 0) and list(passes) == [0, 0, 0] and list(ll) == [0.0, 0.0, 0.0]


@pytest.mark.parametrize("row", [[-1.0] * 40, [3.0, -3.0] + [0.0] * 38, [np.nan] + [1.0] * 39])
def test_invalid_counts_stop_at_once(row):
    Y, response = gaussian_problem(n=40, spectra=3, seed=9)
    Y[1] = row
    X, passes, ll = converge(Y, *response, np.ones(40), 1e-10, 600)
    assert passes[1] == 0 and np.isnan(ll[1]) and np.all(X[1] == 1.0)
    for s in (0, 2):
        alone = converge(Y[s:s + 1], *response, np.ones(40), 1e-10, 600)
        assert_same_bits(X[s], alone[0][0])
        assert passes[s] == alone[1][0]


# --- item: stopped spectra leave their lanes to waiting ones

@pytest.mark.parametrize("spectra", [17, 40])
def test_refilled_lanes_give_the_rows_alone(spectra):
    Y, response = gaussian_problem(n=60, spectra=spectra, seed=10)
    Y[3] = 0.0
    Y[20 % spectra, 5] = np.nan
    Y *= np.linspace(0.05, 3.0, spectra)[:, None]  # a spread of passes
    together = converge(Y, *response, np.ones(60), 1e-9, 400)
    alone = [converge(y[np.newaxis], *response, np.ones(60), 1e-9, 400) for y in Y]
    for got, expected in zip(together, zip(*alone)):
        assert_same_bits(got, np.concatenate(expected))
    lanes, busy, total = kernel_probe().converge_occupancy(Y, *response, np.ones(60), 1e-9, 400)
    # Each lane-step of a running spectrum is one of its passes; no more
    # lane-steps run than in lockstep.
    assert busy == together[1].sum()
    assert lanes == 16 and total <= 8 * -(-spectra // 8) * together[1].max()


# --- item: a signal ends a long call

LONG_CALLS = {
    "ML_EM_converge_cy": lambda Y, response, n: converge(Y, *response, np.ones(n), 0.0, 2**31 - 1),
    "ML_EM_batch_cy": lambda Y, response, n: unfolding.ML_EM_batch_cy(Y, *response, np.ones(n), 2**31 - 1),
}


class Raised(Exception):
    pass


def raise_from_handler(signum, frame):
    raise Raised(signum)


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals reach the main thread")
@pytest.mark.parametrize("spectra", [1, 3])
@pytest.mark.parametrize("name", sorted(LONG_CALLS))
@pytest.mark.parametrize("signum, expected", [(signal.SIGINT, KeyboardInterrupt), (signal.SIGUSR1, Raised)])
def test_a_signal_ends_a_long_call(name, spectra, signum, expected):
    # Large enough that no run reaches the floor of rounding before the signal.
    Y, response = gaussian_problem(n=1500, spectra=spectra, seed=11)
    watched = [Y, *response]
    previous = signal.signal(signal.SIGUSR1, raise_from_handler)
    try:
        def interrupted_call():
            timer = threading.Timer(0.15, signal.pthread_kill, (threading.main_thread().ident, signum))
            timer.start()
            try:
                with pytest.raises(expected):
                    LONG_CALLS[name](Y, response, 1500)
            finally:
                timer.join()
        interrupted_call()
        gc.collect()
        refcounts = [sys.getrefcount(obj) for obj in watched]
        blocks = sys.getallocatedblocks()
        for _ in range(3):
            interrupted_call()
        gc.collect()
        assert [sys.getrefcount(obj) for obj in watched] == refcounts
        assert sys.getallocatedblocks() - blocks < 30
    finally:
        signal.signal(signal.SIGUSR1, previous)
    # The module is whole afterwards.
    X, passes, _ = converge(Y, *response, np.ones(1500), 1e-9, 50)
    assert np.all(passes <= 50) and np.all(np.isfinite(X))


# --- item: docstrings with text signatures

DOCUMENTED = [(unfolding, name) for name in
              ("ML_EM_batch_cy", "richardson_lucy_batch_cy", "ML_EM_converge_cy", "poisson_log_likelihood_cy")]
DOCUMENTED += [(fitting, name) for name in ("fit_peaks_cy", "fit_folded_cy")]


def stub_functions(module):
    import ast
    stub = Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
    return {node.name: node for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("module, name", DOCUMENTED, ids=[name for _, name in DOCUMENTED])
def test_docstrings_and_signatures_are_the_stubs(module, name):
    import ast
    node = stub_functions(module)[name]
    function = getattr(module, name)
    assert function.__doc__ == ast.get_docstring(node)
    parameters = inspect.signature(function).parameters
    defaults = [inspect.Parameter.empty] * (len(node.args.args) - len(node.args.defaults))
    defaults += [ast.literal_eval(d) for d in node.args.defaults]
    assert [(p.name, p.default) for p in parameters.values()] == [(a.arg, d) for a, d in zip(node.args.args, defaults)]
    text = pydoc.render_doc(function, renderer=pydoc.plaintext)
    assert str(inspect.signature(function)) in text and "Raises:" in text and "MemoryError" in text


# --- item: the MemoryError says how much was asked for

@pytest.mark.skipif(bool(os.environ.get("TARVIX_SANITIZED")), reason="the sanitizer reserves the address space")
@pytest.mark.parametrize("call, bytes_asked", [
    ("ML_EM_converge_cy(Y, *r, np.ones(n), 0.0, 5)", lambda n: (27 * 16 + 2) * 8 * n + 24 * n),
    ("ML_EM_batch_cy(Y, *r, np.ones(n), 5)", lambda n: (4 * 16 + 1) * 8 * n + 24 * n),
    ("poisson_log_likelihood_cy(Y, Y, *r)", lambda n: (4 * 16 + 1) * 8 * n + 24 * n),
])
def test_memory_error_says_how_much(call, bytes_asked):
    n = 1_000_000
    code = textwrap.dedent(f"""
        import resource, numpy as np
        from tarvix.utils.numerics.cython.unfolding import *
        n = {n}
        r = (np.zeros(n + 1, np.int64), np.zeros(0, np.int32), np.zeros(0))
        Y = np.broadcast_to(np.ones(n), (16, n))
        with open('/proc/self/status') as status:
            size = [int(line.split()[1]) * 1024 for line in status if line.startswith('VmSize')][0]
        resource.setrlimit(resource.RLIMIT_AS, (size + 300 * 2**20, resource.RLIM_INFINITY))
        try:
            {call}
        except MemoryError as error:
            print(error)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, cwd="/").stdout.strip()
    asked = bytes_asked(n)
    assert out == f"no room for the work arrays: {asked} bytes ({asked / 2**20:.1f} MiB) asked for"

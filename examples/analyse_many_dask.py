"""Analyse ten thousand spectra through a Dask array: one analyse_spectra_cy call per block.

A network of detectors, a survey or a long series of short measurements
leaves thousands of whole spectra that each need the same analysis: the
continuum, the peak search and the region fits of analyse_spectra_cy. It
takes a stack of spectra in one call and releases the interpreter lock while
it works, so a Dask array of spectra is analysed with one call per block,
on the local threads, in local processes or on the workers of a cluster.

The spectra are HPGe background spectra of bench/hpge.py (8192 channels to
3 MeV, tailed peaks with their steps, Compton continua). Simulating ten
thousand of them would take longer than analysing them, so a few dozen
expected spectra are simulated once (--distinct) and spectrum s of the stack
is Poisson counts drawn from expected spectrum s mod D by a generator seeded
with (seed, s). The counts are drawn inside the graph, block by block (only
the expected spectra travel to the workers, not the stack), and the direct
call draws the same stack with the same function: every back-end's time
includes drawing its counts.

The result of analyse_spectra_cy has a varying number of peaks per spectrum:
offsets (S + 1,) into flat fields. Each block's table has offsets of its own,
from 0; the blocks' tables are gathered into one table with offsets over the
whole stack. Every spectrum's peaks are the same, bit for bit, whichever
block, thread, process or worker analyses it, and the script checks that the
gathered table equals the direct call's exactly.

Back-ends (--scheduler, repeatable): threads (the default), processes,
synchronous (one thread, for comparison), or the address of a running Dask
scheduler, e.g. tcp://10.0.0.5:8786. The spectra/s of each are printed beside
those of one direct call on the whole stack.

Run with the package installed:  python examples/analyse_many_dask.py --help
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import dask
import dask.array as da
import numpy as np
from numpy.typing import NDArray

from tarvix.utils.numerics.cython.peaks import analyse_spectra_cy

Array = NDArray[np.float64]
# A peak table as plain arrays: offsets (S + 1,) and the flat fields.
Table = dict[str, NDArray[Any]]

FIELDS = ("offsets", "energy", "energy_error", "area", "area_error", "fwhm", "significance", "background",
          "region", "status")
LOCAL_SCHEDULERS = ("threads", "processes", "synchronous")


def simulate_expected(distinct: int, seed: int) -> tuple[Array, Array, Array]:
    """The channel edges (keV), the FWHM at each channel centre (keV) and
    `distinct` expected spectra (counts per channel, before counting noise)."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
    import hpge  # type: ignore[import-not-found]  # bench/, on the path above
    sim = hpge.simulate(distinct, seed)
    return sim.edges, sim.fwhm_kev, np.maximum(sim.expected, 0.0)


def draw(indices: NDArray[np.int64], expected: Array, seed: int) -> Array:
    """Poisson counts of spectra `indices`: spectrum s from expected row
    s mod D, by a generator of its own seeded with (seed, s), so that it is
    the same whichever block draws it."""
    counts = np.empty((len(indices), expected.shape[1]))
    for row, s in enumerate(indices):
        rng = np.random.default_rng((seed, int(s)))
        counts[row] = rng.poisson(expected[s % len(expected)])
    return counts


def as_arrays(table: Any) -> Table:
    """A PeakTable's fields as a dict of arrays (plain data, cheap to send
    back from a process or a worker)."""
    return {name: getattr(table, name) for name in FIELDS}


def analyse_block(block: Array, edges: Array, fwhm: Array, threshold: float) -> Table:
    """One block of spectra in one call; its offsets count from 0."""
    return as_arrays(analyse_spectra_cy(edges, block, fwhm, threshold=threshold))


def gather(tables: Sequence[Table]) -> Table:
    """The blocks' tables, in order, as one: each block's offsets shifted by
    the peaks of the blocks before it, the flat fields concatenated."""
    shifts = np.cumsum([0] + [int(t["offsets"][-1]) for t in tables[:-1]])
    whole: Table = {"offsets": np.concatenate([np.zeros(1, np.int64)] +
                                              [t["offsets"][1:] + shift for t, shift in zip(tables, shifts)])}
    for name in FIELDS[1:]:
        whole[name] = np.concatenate([t[name] for t in tables])
    return whole


def identical(a: Table, b: Table) -> bool:
    """The same fields with the same dtypes, shapes and bits (NaN included)."""
    return all(a[name].dtype == b[name].dtype and a[name].shape == b[name].shape
               and a[name].tobytes() == b[name].tobytes() for name in FIELDS)


def direct(spectra: int, expected: Array, seed: int, edges: Array, fwhm: Array, threshold: float) -> Table:
    """The whole stack drawn and analysed in one call."""
    stack = draw(np.arange(spectra), expected, seed)
    return as_arrays(analyse_spectra_cy(edges, stack, fwhm, threshold=threshold))


def with_dask(scheduler: str, rows_per_block: int, workers: int, spectra: int, expected: Array, seed: int,
              edges: Array, fwhm: Array, threshold: float) -> Table:
    # The stack as a Dask array: a block of spectrum indices becomes a block
    # of counts (a new axis of channels), drawn where the block is analysed.
    indices = da.arange(spectra, chunks=rows_per_block, dtype=np.int64)
    stack = indices.map_blocks(draw, expected, seed, new_axis=1, chunks=(indices.chunks[0], (expected.shape[1],)),
                               dtype=np.float64, meta=np.empty((0, 0)))
    # One analyse_spectra_cy call per block, each a delayed task on the
    # block's counts.
    tables = [dask.delayed(analyse_block)(block, edges, fwhm, threshold) for block in stack.to_delayed().ravel()]
    if scheduler in LOCAL_SCHEDULERS:
        computed = dask.compute(*tables, scheduler=scheduler, num_workers=workers)
    else:
        from dask.distributed import Client

        with Client(scheduler) as client:
            computed = dask.compute(*tables, scheduler=client)
    return gather(list(computed))


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Whole-spectrum analysis of many simulated HPGe spectra: one "
                                                 "analyse_spectra_cy call, and one call per block of a Dask "
                                                 "array.")
    parser.add_argument("--spectra", type=int, default=10_000, help="spectra to analyse (default 10000)")
    parser.add_argument("--distinct", type=int, default=40,
                        help="expected spectra simulated, from which the counts are drawn (default 40)")
    parser.add_argument("--block", type=int, default=250, help="spectra per Dask block (default 250)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="threads or processes of the local Dask schedulers (default: the cores)")
    parser.add_argument("--scheduler", action="append", default=None,
                        help="a Dask back-end to run: threads, processes, synchronous, or the address of a "
                             "running Dask scheduler, e.g. tcp://10.0.0.5:8786; repeat the option for several "
                             "(default: threads)")
    parser.add_argument("--threshold", type=float, default=4.0,
                        help="least significance of a reported peak (default 4)")
    parser.add_argument("--seed", type=int, default=11, help="seed of the simulation (default 11)")
    options = parser.parse_args(argv)
    if min(options.spectra, options.distinct, options.block, options.workers) < 1:
        parser.error("--spectra, --distinct, --block and --workers: at least 1")
    options.scheduler = options.scheduler or ["threads"]
    return options


def main(argv: Sequence[str] | None = None) -> dict[str, Table]:
    options = parse_arguments(argv)
    started = time.perf_counter()
    edges, fwhm, expected = simulate_expected(min(options.distinct, options.spectra), options.seed)
    print(f"{len(expected)} expected spectra of {expected.shape[1]} channels simulated in "
          f"{time.perf_counter() - started:.1f} s; {options.spectra} spectra drawn from them, analysed in "
          f"blocks of {options.block}, {options.workers} workers")
    arguments = (options.spectra, expected, options.seed, edges, fwhm, options.threshold)
    results: dict[str, Table] = {}
    timings: dict[str, float] = {}
    for name in ["one analyse_spectra_cy call"] + [f"Dask ({s})" for s in options.scheduler]:
        started = time.perf_counter()
        if name.startswith("Dask"):
            scheduler = name[len("Dask ("):-1]
            results[name] = with_dask(scheduler, options.block, options.workers, *arguments)
        else:
            results[name] = direct(*arguments)
        timings[name] = time.perf_counter() - started
        print(f"{name:<36} {timings[name]:8.2f} s  {options.spectra / timings[name]:8.1f} spectra/s")
    first = next(iter(results.values()))
    same = all(identical(first, table) for table in results.values())
    print("rows identical to the direct call's:", same)
    peaks = np.diff(first["offsets"])
    print(f"peaks per spectrum: median {np.median(peaks):.0f}, {peaks.min()} to {peaks.max()}")
    if not same:
        raise SystemExit("a back-end's table differs from the direct call's")
    return results


if __name__ == "__main__":
    main()

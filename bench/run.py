"""Times each public function of the package against its NumPy/SciPy peer.

python bench/run.py [--reps N] [--only SUBSTRING] [--no-memory]

For every case: both sides are run once and their results compared (1e-9
relative), then timed alternately in the same process (package, peer, then
peer, package, ...) after a warm-up; each repetition times a batch of calls
long enough to read the clock reliably. The table shows medians over the
repetitions and the ratio peer / package. Peak memory of one call is
measured in a fresh subprocess per case and side (see MEMORY_METHOD).
Results go to bench/results.json.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np
import scipy.optimize

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cases  # noqa: E402
import peers  # noqa: E402

from tarvix.utils.numerics.cython import deconvolution, gaussian, respgrid  # noqa: E402

MEMORY_METHOD = (
    "peak memory of one call, each side in its own fresh process after its inputs are built: "
    "'rss' = VmHWM minus VmRSS just before the call, with the high-water mark reset through "
    "/proc/self/clear_refs (sees every allocation, NumPy's and the package's native ones, as "
    "touched pages); 'traced' = tracemalloc peak of a second call (NumPy buffers and Python "
    "objects only)")

RELATIVE_TOLERANCE = 1e-9


def assert_close(package_result, peer_result, what):
    if isinstance(package_result, tuple):
        for p, q in zip(package_result, peer_result, strict=True):
            assert_close(p, q, what)
        return
    p = np.asarray(package_result)
    q = np.asarray(peer_result)
    if p.shape != q.shape:
        raise AssertionError(f"{what}: shapes differ, {p.shape} vs {q.shape}")
    if p.dtype.kind in "iu":
        if not np.array_equal(p, q):
            raise AssertionError(f"{what}: integer arrays differ")
        return
    scale = np.maximum(np.abs(p), np.abs(q))
    bad = np.abs(p - q) > RELATIVE_TOLERANCE * scale
    bad |= np.isnan(p) != np.isnan(q)
    bad &= ~(np.isnan(p) & np.isnan(q))
    if bad.any():
        worst = np.max(np.abs(p - q)[bad] / scale[bad])
        raise AssertionError(f"{what}: {bad.sum()} elements differ, worst relative {worst:.3g}")


def _ml_em_case(n, k):
    axis, sigma, y, sensitivity = cases.deconvolution_case(n, k)
    csr = deconvolution.build_gaussian_response(axis, sigma)
    return dict(
        package=lambda: deconvolution.ML_EM_cy(y, *csr, sensitivity, 30),
        peer=lambda: peers.ml_em(y, *csr, sensitivity, 30),
        entries=len(csr[1]), passes=30)


def _response_case(n, k):
    axis, sigma, _, _ = cases.deconvolution_case(n, k)
    return dict(package=lambda: deconvolution.build_gaussian_response(axis, sigma),
                peer=lambda: peers.gaussian_response(axis, sigma))


def _rl_case(n, k):
    axis, _, y, sensitivity = cases.deconvolution_case(n, k)
    return dict(package=lambda: deconvolution.richardson_lucy_cy(axis, y, k, sensitivity, 30),
                peer=lambda: peers.richardson_lucy(axis, y, k, sensitivity, 30))


def _respgrid_case():
    args = cases.resampling_case()
    return dict(package=lambda: respgrid.respgrid_cy(*args), peer=lambda: peers.respgrid(*args),
                result_bytes=True)


def _model_case(n_peaks, n_samples, jacobian):
    x, params = cases.model_case(n_peaks, n_samples)
    if jacobian:
        return dict(package=lambda: gaussian.multi_gaussian_jacobian_cy(x, params),
                    peer=lambda: peers.multi_gaussian_jacobian(x, params))
    return dict(package=lambda: gaussian.multi_gaussian_cy(x, params),
                peer=lambda: peers.multi_gaussian(x, params))


def _fit(model, jacobian, x, y, start):
    # An unconstrained, small, dense problem with an analytic Jacobian: the
    # Levenberg-Marquardt of MINPACK is the standard choice for it (the one
    # curve_fit makes without bounds); 'trf' is least_squares' default for
    # the sake of bounds, which this fit has none of, and spends several
    # times as long on each step. Both sides take the same options.
    result = scipy.optimize.least_squares(
        lambda p: model(x, p) - y, start, jac=lambda p: jacobian(x, p), method="lm")
    return result.x


def _fit_case():
    x, y, start = cases.fit_case()
    return dict(
        package=lambda: _fit(gaussian.multi_gaussian_cy, gaussian.multi_gaussian_jacobian_cy,
                             x, y, start),
        peer=lambda: _fit(peers.multi_gaussian, peers.multi_gaussian_jacobian, x, y, start))


# (name, function, case, target, builder)
CASES = []
for _n in (1024, 8192):
    for _k in (0.0005, 0.003):
        CASES.append((f"ml_em_{_n}_{_k}", "ML_EM_cy", f"{_n} ch, k={_k}, 30 it", 2.5,
                      lambda n=_n, k=_k: _ml_em_case(n, k)))
for _n in (1024, 8192):
    for _k in (0.0005, 0.003):
        CASES.append((f"response_{_n}_{_k}", "build_gaussian_response", f"{_n} ch, k={_k}",
                      5.0 if _n == 8192 else None, lambda n=_n, k=_k: _response_case(n, k)))
for _n in (1024, 8192):
    for _k in (0.0005, 0.003):
        CASES.append((f"rl_{_n}_{_k}", "richardson_lucy_cy", f"{_n} ch, k={_k}, 30 it", 3.0,
                      lambda n=_n, k=_k: _rl_case(n, k)))
CASES.append(("respgrid", "respgrid_cy", "64x2048 ref -> 2048x2048", 3.0, _respgrid_case))
CASES.append(("model_small", "multi_gaussian_cy", "4 peaks x 512", 5.0,
              lambda: _model_case(4, 512, False)))
CASES.append(("jacobian_small", "multi_gaussian_jacobian_cy", "4 peaks x 512", 5.0,
              lambda: _model_case(4, 512, True)))
CASES.append(("model_large", "multi_gaussian_cy", "16 peaks x 65536", 1.0,
              lambda: _model_case(16, 65536, False)))
CASES.append(("jacobian_large", "multi_gaussian_jacobian_cy", "16 peaks x 65536", 1.5,
              lambda: _model_case(16, 65536, True)))
CASES.append(("fit", "least_squares fit", "4 overlapping peaks x 1024", 2.0, _fit_case))


def _status_line(path, key):
    for line in Path(path).read_text().splitlines():
        if line.startswith(key):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"{key} not in {path}")


def measure_memory_here(name, side):
    """Run in a fresh process: peak memory of one call of one side of one case."""
    case = next(c for c in CASES if c[0] == name)[4]()
    call = case[side]
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = _status_line("/proc/self/status", "VmRSS")
    result = call()
    rss_peak = _status_line("/proc/self/status", "VmHWM") - before
    del result
    tracemalloc.start()
    result = call()
    traced_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    out = dict(rss=max(rss_peak, 0), traced=traced_peak)
    if case.get("result_bytes"):
        out["result_bytes"] = sum(a.nbytes for a in result)
    return out


def measure_memory(name):
    figures = {}
    for side in ("package", "peer"):
        proc = subprocess.run([sys.executable, __file__, "--memory-of", name, side],
                              capture_output=True, text=True, check=True)
        figures[side] = json.loads(proc.stdout)
    return figures


def _batch_time(call, count):
    start = time.perf_counter()
    for _ in range(count):
        call()
    return (time.perf_counter() - start) / count


def time_case(case, reps, batch_seconds):
    package, peer = case["package"], case["peer"]
    package_once = _batch_time(package, 1)  # warm-up
    peer_once = _batch_time(peer, 1)
    package_count = max(1, int(batch_seconds / max(package_once, 1e-9)))
    peer_count = max(1, int(batch_seconds / max(peer_once, 1e-9)))
    package_times, peer_times = [], []
    for rep in range(reps):
        if rep % 2 == 0:
            package_times.append(_batch_time(package, package_count))
            peer_times.append(_batch_time(peer, peer_count))
        else:
            peer_times.append(_batch_time(peer, peer_count))
            package_times.append(_batch_time(package, package_count))
    return statistics.median(package_times), statistics.median(peer_times)


def _fmt_time(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def _fmt_bytes(n):
    if n is None:
        return "-"
    if n < 1 << 20:
        return f"{n / 1024:.0f} KiB"
    return f"{n / (1 << 20):.1f} MiB"


def best_time(call, reps):
    """The shortest of `reps` runs of call(), in seconds."""
    best = float("inf")
    for _ in range(reps):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def cpu_name():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown CPU"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=int(os.environ.get("BENCH_REPS", 5)))
    parser.add_argument("--batch", type=float, default=0.02, help="seconds per timed batch")
    parser.add_argument("--only", default="")
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--memory-of", nargs=2, metavar=("CASE", "SIDE"))
    options = parser.parse_args()
    if options.memory_of:
        print(json.dumps(measure_memory_here(*options.memory_of)))
        return 0

    machine = f"{cpu_name()}, {os.cpu_count()} cores"
    print(f"tarvix numerics against NumPy {np.__version__} / SciPy {scipy.__version__} peers")
    print(f"machine: {machine}")
    print(f"times: medians of {options.reps} alternating repetitions (package, peer; "
          f"then peer, package) after a warm-up, each a batch of >= {options.batch * 1e3:.0f} ms")
    print(f"memory: {MEMORY_METHOD}\n")
    header = (f"{'function':<28} {'case':<26} {'package':>10} {'peer':>10} {'ratio':>7} "
              f"{'target':>7} {'met':>4}  {'mem pkg rss/traced':>20}  {'mem peer rss/traced':>20}")
    print(header)
    print("-" * len(header))
    rows = []
    for name, function, label, target, build in CASES:
        if options.only not in name:
            continue
        case = build()
        assert_close(case["package"](), case["peer"](), name)
        package_time, peer_time = time_case(case, options.reps, options.batch)
        ratio = peer_time / package_time
        row = dict(name=name, function=function, case=label, package_s=package_time,
                   peer_s=peer_time, ratio=ratio, target=target,
                   met=None if target is None else bool(ratio >= target))
        if "entries" in case:
            row["ns_per_entry_pass"] = package_time / (case["entries"] * case["passes"]) * 1e9
            row["peer_ns_per_entry_pass"] = peer_time / (case["entries"] * case["passes"]) * 1e9
        if not options.no_memory:
            row["memory"] = measure_memory(name)
            if "result_bytes" in row["memory"]["package"]:
                limit = 1.5 * row["memory"]["package"]["result_bytes"]
                row["memory_target_met"] = bool(row["memory"]["package"]["rss"] <= limit)
        rows.append(row)
        mem = row.get("memory")
        pkg_mem = (f"{_fmt_bytes(mem['package']['rss'])}/{_fmt_bytes(mem['package']['traced'])}"
                   if mem else "-")
        peer_mem = (f"{_fmt_bytes(mem['peer']['rss'])}/{_fmt_bytes(mem['peer']['traced'])}"
                    if mem else "-")
        met = "-" if target is None else ("yes" if row["met"] else "NO")
        target_text = "-" if target is None else f">={target:g}"
        print(f"{function:<28} {label:<26} {_fmt_time(package_time):>10} "
              f"{_fmt_time(peer_time):>10} {ratio:>7.2f} {target_text:>7} {met:>4}  "
              f"{pkg_mem:>20}  {peer_mem:>20}", flush=True)
    print()
    for row in rows:
        if "ns_per_entry_pass" in row:
            print(f"{row['function']} {row['case']}: {row['ns_per_entry_pass']:.2f} ns per stored "
                  f"entry per pass (peer {row['peer_ns_per_entry_pass']:.2f})")
        if "memory_target_met" in row:
            mem = row["memory"]["package"]
            print(f"{row['function']} {row['case']}: result {_fmt_bytes(mem['result_bytes'])}, "
                  f"peak {_fmt_bytes(mem['rss'])} (target <= 1.5 x result: "
                  f"{'met' if row['memory_target_met'] else 'NOT met'})")
    missed = [r for r in rows if r["met"] is False]
    print(f"\n{len(rows) - len(missed)} of {len(rows)} cases meet their speed target"
          + (": missed " + ", ".join(r["name"] for r in missed) if missed else ""))
    out = Path(__file__).resolve().parent / "results.json"
    out.write_text(json.dumps(dict(machine=machine, numpy=np.__version__,
                                   scipy=scipy.__version__, reps=options.reps,
                                   memory_method=MEMORY_METHOD, cases=rows), indent=1))
    print(f"written {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The demo's bootstrap (examples/gamma_spectrum.py, 32 replicas on 2 threads)
timed against another build of the package, side by side.

python bench/bootstrap.py [--baseline SITE] [--rounds N]

Each round runs the demo once in a fresh process for this build and once
for the build installed under SITE (a --target directory, optional),
alternating which goes first. Printed per build: the bootstrap step's
best time over the rounds, the replicas' pass-equivalents, and the lanes'
occupancy: the share of the lane-steps computed that belonged to a running
spectrum (for a build without the probe's converge_occupancy, a stack in
lockstep: each block's passes over its lanes times its most passes).
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def child():
    sys.path.insert(0, str(HERE.parent / "examples"))
    import numpy as np
    import gamma_spectrum as demo
    from tarvix.utils.numerics.cython import _kernel_probe, unfolding

    stacks = []
    original = demo.deconvolve_on_threads

    def recording(stack, *args):
        stacks.append(stack)
        return original(stack, *args)

    demo.deconvolve_on_threads = recording
    result = demo.main(["--no-plot", "--quiet"])
    passes = result.bootstrap.passes
    blocks = np.array_split(stacks[-1], 2)
    busy = total = 0
    for block, block_passes in zip(blocks, np.array_split(passes, 2)):
        if hasattr(_kernel_probe, "converge_occupancy"):
            _, b, t = _kernel_probe.converge_occupancy(block, *result.response, result.sensitivity, 1e-10, 100000)
        else:
            b, t = int(block_passes.sum()), len(block) * int(block_passes.max())
        busy, total = busy + b, total + t
    print(json.dumps(dict(seconds=result.seconds["bootstrap"], passes=[int(p) for p in passes],
                          occupancy=busy / total, module=unfolding.__file__)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", help="site directory of the build to compare with")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        return child()
    builds = {"this build": None}
    if options.baseline:
        builds["baseline"] = options.baseline
    runs = {name: [] for name in builds}
    for round_ in range(options.rounds):
        order = list(builds) if round_ % 2 == 0 else list(reversed(builds))
        for name in order:
            env = dict(os.environ)
            if builds[name]:
                env["PYTHONPATH"] = builds[name] + os.pathsep + env.get("PYTHONPATH", "")
            out = subprocess.run([sys.executable, __file__, "--child"], env=env, cwd="/", check=True,
                                 capture_output=True, text=True).stdout
            runs[name].append(json.loads(out.strip().splitlines()[-1]))
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    print(f"machine: {cpu}, {os.cpu_count()} cores; the demo's bootstrap, 32 replicas, best of {options.rounds}")
    for name, results in runs.items():
        best = min(r["seconds"] for r in results)
        passes = results[0]["passes"]
        print(f"  {name:<11} {best:6.2f} s   passes {min(passes)} to {max(passes)} (sum {sum(passes)})   "
              f"lane occupancy {100 * results[0]['occupancy']:.0f} %   ({results[0]['module']})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

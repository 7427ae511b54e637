#!/usr/bin/python3
"""Throughput of examples/dask_inverse_dynamics.py (local cluster of worker
processes, one thread each) against trelvar.batch.rnea in this process with as
many threads, on the same states of the 7-DoF arm.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_dask.py [--states N] [--workers W]

In-process: the fastest of three calls on the whole data set in memory. Dask:
the example's own timed phase (torques of the data set held in the workers'
memory, computed and written to disk), fastest of --runs runs.
"""
import argparse
import importlib.util
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

import trelvar as trv
import trelvar.batch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(ROOT, "examples", "dask_inverse_dynamics.py")


def in_process(n, workers, seed):
    spec = importlib.util.spec_from_file_location("dask_inverse_dynamics", SCRIPT)
    ex = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(ex)
    m = trv.parse_urdf_file(os.path.join(ROOT, "models", "arm7.urdf"))
    params = ex.trajectory(m, seed)
    q, v, a = (np.empty((n, m.nv)) for _ in range(3))
    step = 1_000_000
    for s in range(0, n, step):
        rows = ex.log_rows(m, params, s, min(n, s + step))
        q[s:s + len(rows)], v[s:s + len(rows)], a[s:s + len(rows)] = np.split(rows, 3, axis=1)
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        trelvar.batch.rnea(m, q, v, a, threads=workers)
        best = min(best, time.perf_counter() - t)
    return n / best


def dask_run(n, workers, seed, chunk):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(trv.__file__)))
    with tempfile.TemporaryDirectory() as tmp:
        out = subprocess.run([sys.executable, SCRIPT, "--states", str(n), "--workers", str(workers),
                              "--seed", str(seed), "--chunk", str(chunk), "--no-progress",
                              "--out", os.path.join(tmp, "tau")],
                             capture_output=True, text=True, env=env, check=True)
    print(out.stdout, end="")
    seconds = float(re.search(r"in ([0-9.]+) s: [0-9.]+ M states/s", out.stdout).group(1))
    return n / seconds


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--states", type=int, default=10_000_000)
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--chunk", type=int, default=500_000)
    p.add_argument("--runs", type=int, default=2)
    p.add_argument("--seed", type=int, default=0)
    args = p.parse_args()
    local = in_process(args.states, args.workers, args.seed)
    print(f"in process, {args.workers} threads: {local / 1e6:.3f} M states/s")
    distributed = max(dask_run(args.states, args.workers, args.seed, args.chunk) for _ in range(args.runs))
    print(f"Dask, {args.workers} worker processes: {distributed / 1e6:.3f} M states/s "
          f"= {100 * distributed / local:.0f} % of in process")


if __name__ == "__main__":
    main()

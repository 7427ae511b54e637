#!/usr/bin/python3
"""Inverse dynamics over a data set of logged trajectories, on a Dask cluster.

The data set is a joint-space log of a robot sampled at 1 kHz: one row per
sample, (q, v, a), ten million rows by default, held as chunked Dask arrays in
the cluster's memory. It is generated reproducibly: row i depends only on the
seed and on i (a sum of sinusoids per coordinate), whatever the chunking.

Each chunk's joint torques come from trelvar.batch.rnea, mapped over the chunks
with dask.array.map_blocks; the model travels to the workers pickled. The
torques are written to disk as one .npy file per chunk (read them back with
dask.array.from_npy_stack), with a progress bar, and the throughput is printed.

    PYTHONPATH=build/python /usr/bin/python3 examples/dask_inverse_dynamics.py
    ... --states 1000000 --workers 4 --out /tmp/torques
    ... --scheduler tcp://10.0.0.5:8786      # an existing cluster

By default a local cluster of worker processes is started (one thread each;
each task computes its chunk on that one thread). Workers started here find
the trelvar module through PYTHONPATH, which this script extends with the
module's directory; the workers of an existing cluster need trelvar installed.
"""
import argparse
import os
import pickle
import shutil
import sys
import time

import numpy as np

import trelvar
import trelvar.batch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RATE = 1000.0  # samples per second
HARMONICS = 3
EMPTY = np.empty((0, 0), dtype=np.float64)  # the kind of block every array here holds


def trajectory(model, seed):
    """Amplitudes, frequencies (rad/s) and phases of each velocity coordinate's
    sinusoids: HARMONICS per coordinate, drawn from the seed."""
    rng = np.random.default_rng(seed)
    shape = (HARMONICS, model.nv)
    return (rng.uniform(0.1, 0.8, shape) / HARMONICS, rng.uniform(0.2, 3.0, shape),
            rng.uniform(0.0, 2 * np.pi, shape))


def log_rows(model, params, start, stop):
    """Rows start..stop of the log: an (n, nq + 2 nv) block [q | v | a].

    x(t) = sum of A sin(w t + p) per velocity coordinate; v = dx/dt,
    a = d2x/dt2, and q = integrate(neutral, x), which is x itself for a robot
    of revolute and prismatic joints.
    """
    amplitude, omega, phase = params
    t = (np.arange(start, stop, dtype=np.float64) / RATE)[:, None, None]
    angle = omega * t + phase  # (n, HARMONICS, nv)
    s, c = np.sin(angle), np.cos(angle)
    x = (amplitude * s).sum(axis=1)
    v = (amplitude * omega * c).sum(axis=1)
    a = -(amplitude * omega**2 * s).sum(axis=1)
    n = stop - start
    q0 = np.broadcast_to(trelvar.neutral(model), (n, model.nq))
    q = trelvar.batch.integrate(model, np.ascontiguousarray(q0), x, threads=1)
    return np.hstack([q, v, a])


def logged_states(model, n, chunk, seed):
    """The log as three chunked Dask arrays q (n, nq), v (n, nv), a (n, nv),
    each chunk C-contiguous (as the batch functions require)."""
    import dask.array as da

    params = trajectory(model, seed)
    rows = tuple(min(chunk, n - s) for s in range(0, n, chunk))

    def block(block_info=None):
        (start, stop), _ = block_info[None]["array-location"]
        return log_rows(model, params, start, stop)

    log = da.map_blocks(block, chunks=(rows, (model.nq + 2 * model.nv,)), dtype=np.float64,
                        meta=EMPTY)
    nq, nv = model.nq, model.nv
    parts = (log[:, :nq], log[:, nq:nq + nv], log[:, nq + nv:])
    return tuple(p.map_blocks(np.ascontiguousarray, dtype=np.float64) for p in parts)


def save_chunk(block, out, block_info=None):
    index = block_info[0]["chunk-location"][0]
    np.save(os.path.join(out, f"{index}.npy"), block)
    return np.array([block.shape[0]], dtype=np.int64)


def inverse_dynamics(client, model, q, v, a, out, show_progress=True):
    """Torques of every row written to `out` (an npy stack); returns the
    number of rows and the seconds taken."""
    import dask.array as da
    from dask.distributed import progress

    nv = model.nv
    tau = da.map_blocks(trelvar.batch.rnea, model, q, v, a, threads=1, dtype=np.float64,
                        chunks=(q.chunks[0], (nv,)), meta=EMPTY)
    os.makedirs(out, exist_ok=True)
    # The layout file of dask.array.to_npy_stack, so that from_npy_stack reads it.
    with open(os.path.join(out, "info"), "wb") as f:
        pickle.dump({"chunks": tau.chunks, "dtype": tau.dtype, "axis": 0}, f)
    written = tau.map_blocks(save_chunk, out, chunks=((1,) * len(tau.chunks[0]),), drop_axis=1,
                             dtype=np.int64, meta=np.empty((0,), dtype=np.int64))
    start = time.perf_counter()
    future = client.compute(written.sum())
    if show_progress:
        progress(future)
        print()
    rows = int(future.result())
    return rows, time.perf_counter() - start


def start_cluster(args):
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        return Client(args.scheduler), None
    # Workers are new processes: they must find the module this process uses.
    here = os.path.dirname(os.path.abspath(trelvar.__file__))
    paths = [here] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    os.environ["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return Client(cluster), cluster


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--states", type=int, default=10_000_000, help="rows of the log (default 10^7)")
    p.add_argument("--chunk", type=int, default=500_000, help="rows per chunk (default 500000)")
    p.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="use an existing cluster instead")
    p.add_argument("--model", default=os.path.join(ROOT, "models", "arm7.urdf"), help="URDF file")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--out", default="dask_torques", help="output directory (npy stack)")
    p.add_argument("--no-progress", action="store_true", help="no progress bars")
    args = p.parse_args(argv)

    model = trelvar.parse_urdf_file(args.model)
    client, cluster = start_cluster(args)
    try:
        nworkers = len(client.scheduler_info()["workers"])
        print(f"model {model.name}: nq={model.nq}, nv={model.nv}; {args.states} states in chunks "
              f"of {args.chunk}; {nworkers} workers")
        start = time.perf_counter()
        q, v, a = client.persist(list(logged_states(model, args.states, args.chunk, args.seed)))
        if not args.no_progress:
            from dask.distributed import progress
            progress([q, v, a])
            print()
        from dask.distributed import wait
        wait([q, v, a])
        print(f"data set generated in the workers' memory in {time.perf_counter() - start:.2f} s")

        if os.path.isdir(args.out):
            shutil.rmtree(args.out)
        rows, seconds = inverse_dynamics(client, model, q, v, a, args.out, not args.no_progress)
        assert rows == args.states
        print(f"torques of {rows} states written to {args.out}/ in {seconds:.2f} s: "
              f"{rows / seconds / 1e6:.3f} M states/s")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""examples/dask_inverse_dynamics.py on a small local cluster of two worker
processes gives, bit for bit, the torques of one process."""
import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest

import trelvar as trv
import trelvar.batch

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(ROOT, "examples", "dask_inverse_dynamics.py")


def example():
    spec = importlib.util.spec_from_file_location("dask_inverse_dynamics", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_log_rows_do_not_depend_on_the_chunking():
    ex = example()
    m = trv.parse_urdf_file(os.path.join(ROOT, "models", "humanoid.urdf"))
    params = ex.trajectory(m, seed=4)
    whole = ex.log_rows(m, params, 0, 1000)
    parts = np.vstack([ex.log_rows(m, params, s, min(s + 300, 1000)) for s in range(0, 1000, 300)])
    assert whole.tobytes() == parts.tobytes()
    assert whole.shape == (1000, m.nq + 2 * m.nv)
    # A smooth trajectory: v is the derivative of the positions of the arm.
    arm = trv.parse_urdf_file(os.path.join(ROOT, "models", "arm7.urdf"))
    rows = ex.log_rows(arm, ex.trajectory(arm, seed=0), 0, 3)
    q, v = rows[:, :7], rows[:, 7:14]
    np.testing.assert_allclose((q[2] - q[0]) * ex.RATE / 2, v[1], rtol=1e-4, atol=1e-6)


@pytest.mark.slow
def test_two_worker_processes_match_one_process(tmp_path):
    n, chunk, seed = 23_000, 5_000, 7
    out = tmp_path / "torques"
    # The script, and through it the workers, find the module this test uses.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(trv.__file__)))
    run = subprocess.run([sys.executable, SCRIPT, "--states", str(n), "--chunk", str(chunk),
                          "--workers", "2", "--seed", str(seed), "--out", str(out)],
                         capture_output=True, text=True, cwd=tmp_path, env=env, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "2 workers" in run.stdout
    assert f"torques of {n} states written to {out}/" in run.stdout
    assert "M states/s" in run.stdout
    assert "100% Completed" in run.stdout  # the progress bar

    files = sorted(os.listdir(out))
    assert files == sorted([f"{k}.npy" for k in range(5)] + ["info"])
    tau = np.vstack([np.load(out / f"{k}.npy") for k in range(5)])
    ex = example()
    m = trv.parse_urdf_file(os.path.join(ROOT, "models", "arm7.urdf"))
    rows = ex.log_rows(m, ex.trajectory(m, seed), 0, n)
    q, v, a = (np.ascontiguousarray(rows[:, k * 7:(k + 1) * 7]) for k in range(3))
    assert tau.tobytes() == trelvar.batch.rnea(m, q, v, a).tobytes()
    d = m.createData()
    for k in (0, 4_999, 5_000, n - 1):
        assert tau[k].tobytes() == trv.rnea(m, d, q[k], v[k], a[k]).tobytes()
    # The stack reads back with Dask.
    import dask.array as da
    assert da.from_npy_stack(str(out)).compute().tobytes() == tau.tobytes()


@pytest.mark.slow
def test_an_existing_scheduler(tmp_path):
    from dask.distributed import LocalCluster

    here = os.path.dirname(os.path.abspath(trv.__file__))
    env = dict(os.environ, PYTHONPATH=here)
    n, out = 3_000, tmp_path / "torques"
    # A worker thread in this process (no worker process to start: the other
    # test covers worker processes); the script is a client of its scheduler.
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=False, protocol="tcp",
                      dashboard_address=None) as cluster:
        run = subprocess.run([sys.executable, SCRIPT, "--states", str(n), "--chunk", "1000",
                              "--scheduler", cluster.scheduler_address, "--out", str(out), "--no-progress"],
                             capture_output=True, text=True, cwd=tmp_path, env=env, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "1 workers" in run.stdout
    tau = np.vstack([np.load(out / f"{k}.npy") for k in range(3)])
    ex = example()
    m = trv.parse_urdf_file(os.path.join(ROOT, "models", "arm7.urdf"))
    rows = ex.log_rows(m, ex.trajectory(m, 0), 0, n)
    q, v, a = (np.ascontiguousarray(rows[:, k * 7:(k + 1) * 7]) for k in range(3))
    assert tau.tobytes() == trelvar.batch.rnea(m, q, v, a).tobytes()

"""trelvar.batch: many states per call. Every row equals the single-state
function bit for bit; arguments follow the single-state rules; the model is
held for the whole call while the interpreter lock is released."""
import inspect
import os
import pickle
import sys
import threading
import time

import numpy as np
import pytest

import trelvar as trv
import trelvar.batch
from conftest import chain_model, model_path
from trelvar import batch

TSAN = os.environ.get("TRELVAR_TSAN") == "1"


def states(model, n, seed=0):
    rng = np.random.default_rng(seed)
    q = np.stack([trv.integrate(model, trv.neutral(model), rng.standard_normal(model.nv))
                  for _ in range(n)]) if n else np.zeros((0, model.nq))
    return q, rng.standard_normal((n, model.nv)), rng.standard_normal((n, model.nv))


def single(name, model, q, v, a):
    """The single-state counterpart of each batch function, on a fresh Data."""
    d = model.createData()
    if name == "rnea":
        return trv.rnea(model, d, q, v, a)
    if name == "non_linear_effects":
        return trv.non_linear_effects(model, d, q, v)
    if name == "compute_gravity":
        return trv.compute_gravity(model, d, q)
    if name == "crba":
        trv.crba(model, d, q)
        return d.M
    if name == "forwardKinematics":
        trv.forwardKinematics(model, d, q)
        return np.array([x.homogeneous for x in d.oMi])
    if name == "aba":
        return trv.aba(model, d, q, v, a)
    if name == "computeMinverse":
        return trv.computeMinverse(model, d, q)
    if name == "computeRNEADerivatives":
        return trv.computeRNEADerivatives(model, d, q, v, a)
    if name == "computeABADerivatives":
        return trv.computeABADerivatives(model, d, q, v, a)
    return trv.integrate(model, q, v)


def run(name, model, q, v, a, **kw):
    f = getattr(batch, name)
    if name in ("rnea", "aba", "computeRNEADerivatives", "computeABADerivatives"):
        return f(model, q, v, a, **kw)
    if name in ("non_linear_effects", "integrate"):
        return f(model, q, v, **kw)
    return f(model, q, **kw)


ALGORITHMS = ["rnea", "non_linear_effects", "compute_gravity", "crba", "forwardKinematics", "integrate",
              "aba", "computeMinverse", "computeRNEADerivatives", "computeABADerivatives"]
DERIVATIVES = ("computeRNEADerivatives", "computeABADerivatives")


def result_shape(name, model, n):
    square = (n, model.nv, model.nv)
    if name in DERIVATIVES:
        return (square,) * 3
    return {"crba": square, "computeMinverse": square, "forwardKinematics": (n, model.njoints, 4, 4),
            "integrate": (n, model.nq)}.get(name, (n, model.nv))


def test_submodule_imports_both_ways():
    assert trelvar.batch is batch is trv.batch is sys.modules["trelvar.batch"]
    assert batch.__name__ == "trelvar.batch"
    # Functions pickle by reference, as task graphs ship them.
    assert pickle.loads(pickle.dumps(batch.rnea)) is batch.rnea


@pytest.mark.parametrize("robot", ["arm7", "humanoid", "quadruped"])
@pytest.mark.parametrize("name", ALGORITHMS)
def test_every_row_equals_the_single_state_function(robot, name):
    m = trv.parse_urdf_file(model_path(robot))
    q, v, a = states(m, 57, seed=len(robot))
    for threads in (0, 1, 2):
        outs = run(name, m, q, v, a, threads=threads)
        if name in DERIVATIVES:
            assert isinstance(outs, tuple) and len(outs) == 3
        else:
            outs = (outs,)
        for j, out in enumerate(outs):
            shape = result_shape(name, m, 57)
            assert out.shape == (shape[j] if name in DERIVATIVES else shape)
            assert out.dtype == np.float64 and out.flags.c_contiguous and out.flags.owndata
            for k in range(len(q)):
                want = single(name, m, q[k], v[k], a[k])
                want = want[j] if name in DERIVATIVES else want
                assert out[k].tobytes() == want.tobytes(), (name, threads, j, k)


def test_results_are_fresh_and_inputs_untouched():
    m = trv.parse_urdf_file(model_path("arm7"))
    q, v, a = states(m, 10)
    copies = [x.copy() for x in (q, v, a)]
    t1 = batch.rnea(m, q, v, a)
    t2 = batch.rnea(m, q, v, a)
    t1[:] = 0.0
    assert not np.array_equal(t1, t2)
    for x, c in zip((q, v, a), copies):
        assert x.tobytes() == c.tobytes()


# ---- arguments ----------------------------------------------------------------------

def test_signatures_and_docstrings():
    for name in ALGORITHMS:
        params = list(inspect.signature(getattr(batch, name)).parameters)
        assert params[0] == "model" and params[-1] == "threads"
        assert inspect.signature(getattr(batch, name)).parameters["threads"].default == 0
        assert "bit for bit" in getattr(batch, name).__doc__
    assert str(inspect.signature(batch.rnea)) == "(model, q, v, a, threads=0)"
    assert str(inspect.signature(batch.set_num_threads)) == "(threads)"


@pytest.mark.parametrize("bad, type_name", [
    ([[0.0, 0.0]], "list"),
    (np.zeros((3, 2), dtype=np.int64), "ndarray"),
    (np.zeros((3, 2), dtype=np.float32), "ndarray"),
    (np.zeros((3, 2)).astype(">f8"), "ndarray"),
    (None, "NoneType"),
])
def test_stack_argument_types(bad, type_name):
    m = chain_model(2)
    with pytest.raises(TypeError) as e:
        batch.compute_gravity(m, bad)
    assert str(e.value) == f"argument 'q': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("q, shape", [(np.zeros(2), "a 1-D array of shape (2,)"),
                                      (np.zeros((1, 3, 2)), "a 3-D array of shape (1, 3, 2)"),
                                      (np.array(0.0), "a 0-D array of shape ()")])
def test_a_stack_needs_two_dimensions(q, shape):
    m = chain_model(2)
    with pytest.raises(TypeError) as e:
        batch.crba(m, q)
    assert str(e.value) == f"argument 'q': expected a 2-D array of shape (N, nq) = (N, 2), got {shape}"


@pytest.mark.parametrize("args, message", [
    ((np.zeros((4, 3)), np.zeros((4, 2)), np.zeros((4, 2))), "q has shape (4, 3), expected (N, nq) = (N, 2)"),
    ((np.zeros((4, 2)), np.zeros((3, 2)), np.zeros((4, 2))), "v has shape (3, 2), expected (N, nv) = (4, 2)"),
    ((np.zeros((4, 2)), np.zeros((4, 2)), np.zeros((4, 1))), "a has shape (4, 1), expected (N, nv) = (4, 2)"),
])
def test_shapes_name_the_argument(args, message):
    with pytest.raises(ValueError) as e:
        batch.rnea(chain_model(2), *args)
    assert str(e.value) == message


def test_layout_rules_follow_the_single_state_functions():
    m = trv.parse_urdf_file(model_path("arm7"))
    q, v, a = states(m, 12)
    want = batch.rnea(m, q, v, a)
    # Accepted: F-ordered, unaligned, read-only, subclasses.
    raw = bytearray(q.nbytes + 1)
    unaligned = np.frombuffer(raw, dtype=np.float64, offset=1, count=q.size).reshape(q.shape)
    unaligned[:] = q
    assert not unaligned.flags.aligned
    ro = a.copy()
    ro.flags.writeable = False
    for args in [(np.asfortranarray(q), v, a), (unaligned, v, a), (q, v, ro), (q, v.view(np.matrix), a)]:
        assert batch.rnea(m, *args).tobytes() == want.tobytes()
    # Refused, like a strided vector: arrays that are neither C- nor F-contiguous.
    for args in [(q[::2], v[::2], a[::2]), (np.hstack([q, q])[:, :7], v, a)]:
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            batch.rnea(m, *args)
    # Contiguity of a later argument is checked before the shape of an earlier one.
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        batch.rnea(m, q[:3], v, a[::2])


def test_threads_argument():
    m = chain_model(3)
    q, v, a = states(m, 30)
    want = batch.rnea(m, q, v, a, threads=1)
    for threads in (0, 2, 64, 2**63):
        assert batch.rnea(m, q, v, a, threads).tobytes() == want.tobytes()
    with pytest.raises(OverflowError):
        batch.rnea(m, q, v, a, threads=-1)
    with pytest.raises(TypeError, match="^argument 'threads'"):
        batch.rnea(m, q, v, a, threads=1.5)
    with pytest.raises(TypeError, match=r"^rnea\(\) takes from 4 to 5 positional arguments but 6 were given$"):
        batch.rnea(m, q, v, a, 1, 2)


@pytest.mark.parametrize("name", ALGORITHMS)
def test_no_states_and_no_joints(name):
    m = trv.parse_urdf_file(model_path("arm7"))
    q, v, a = states(m, 0)
    def shape(out):
        return tuple(x.shape for x in out) if name in DERIVATIVES else out.shape

    assert shape(run(name, m, q, v, a)) == result_shape(name, m, 0)
    empty = trv.Model()
    out = run(name, empty, np.zeros((3, 0)), np.zeros((3, 0)), np.zeros((3, 0)))
    assert shape(out) == result_shape(name, empty, 3)
    if name == "forwardKinematics":
        np.testing.assert_array_equal(out, np.broadcast_to(np.eye(4), (3, 1, 4, 4)))


def test_pool_size():
    processors = len(os.sched_getaffinity(0))
    try:
        batch.set_num_threads(3)
        assert batch.get_num_threads() == 3
        batch.set_num_threads(0)
        assert batch.get_num_threads() == processors
        with pytest.raises(OverflowError):
            batch.set_num_threads(-2)
    finally:
        batch.set_num_threads(0)


# ---- threads --------------------------------------------------------------------------

@pytest.fixture
def big():
    """A model and enough states for a call lasting a good fraction of a second."""
    m = trv.parse_urdf_file(model_path("humanoid"))
    q, v, a = states(m, 300)
    reps = 40 if not (TSAN or os.environ.get("TRELVAR_SANITIZE")) else 4
    return m, np.tile(q, (reps, 1)), np.tile(v, (reps, 1)), np.tile(a, (reps, 1))


def test_interpreter_lock_is_released(big):
    m, q, v, a = big
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    t = threading.Thread(target=count)
    t.start()
    try:
        before = ticks[0]
        batch.crba(m, q, threads=1)
        during = ticks[0] - before
    finally:
        stop.set()
        t.join()
    assert during > 0


def test_model_is_held_for_the_whole_call(big):
    """add_joint from another thread during a batch raises the borrow error
    instead of changing the model under the workers."""
    m, q, v, a = big
    want = batch.crba(m, q[:300], threads=1)
    stop = threading.Event()
    results = []

    def worker():
        while not stop.is_set():
            results.append(batch.crba(m, q, threads=2))

    t = threading.Thread(target=worker)
    t.start()
    refused = added = 0
    njoints = m.njoints
    deadline = time.monotonic() + 60
    try:
        while refused == 0 and time.monotonic() < deadline:
            try:
                # A fixed joint leaves nq and nv, so the worker's arrays stay valid.
                m.add_joint(0, "fixed", np.zeros(3), trv.SE3.identity(), "late")
                added += 1
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                refused += 1
            time.sleep(0.001)
    finally:
        stop.set()
        t.join()
    assert refused > 0
    assert m.njoints == njoints + added  # joints are added only between calls
    for r in results:
        assert r[:300].tobytes() == want.tobytes()


def test_two_threads_share_a_model(big):
    m, q, v, a = big
    want_tau = batch.rnea(m, q, v, a, threads=1)
    want_m = batch.crba(m, q[:2000], threads=1)
    out = {}
    errors = []

    def go(key, call):
        try:
            for _ in range(3):
                out.setdefault(key, []).append(call())
        except Exception as e:  # surfaced below
            errors.append(e)

    threads = [threading.Thread(target=go, args=("tau", lambda: batch.rnea(m, q, v, a))),
               threading.Thread(target=go, args=("M", lambda: batch.crba(m, q[:2000], threads=2)))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert all(x.tobytes() == want_tau.tobytes() for x in out["tau"])
    assert all(x.tobytes() == want_m.tobytes() for x in out["M"])


@pytest.mark.skipif(TSAN, reason="the thread sanitizer stops forked children that start threads")
def test_pool_works_in_a_forked_child():
    m = trv.parse_urdf_file(model_path("arm7"))
    q, v, a = states(m, 500)
    want = batch.rnea(m, q, v, a, threads=2)
    pid = os.fork()
    if pid == 0:
        ok = batch.rnea(m, q, v, a, threads=2).tobytes() == want.tobytes()
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0

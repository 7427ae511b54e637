"""Property tests: random mechanisms with every joint kind satisfy the dynamics
identities, and hostile arguments raise the documented exceptions without
changing anything."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

import trelvar as trv
from conftest import model_path

KINDS = ["revolute", "continuous", "prismatic", "fixed", "planar", "floating", "spherical"]
W, L, LWA = trv.ReferenceFrame.WORLD, trv.ReferenceFrame.LOCAL, trv.ReferenceFrame.LOCAL_WORLD_ALIGNED

finite = st.floats(-1.0, 1.0, allow_nan=False, allow_infinity=False)


@st.composite
def mechanisms(draw):
    """URDF text of a random tree: every joint kind, branching, fixed joints,
    random placements and positive-definite inertias (triangle inequality
    holds since they are sums of point-mass-like principal moments)."""
    n = draw(st.integers(1, 9))
    links = ['<link name="l0"/>']
    joints = []
    for k in range(1, n + 1):
        parent = draw(st.integers(0, k - 1))
        kind = draw(st.sampled_from(KINDS))
        mass = draw(st.floats(0.1, 5.0))
        a, b, c = (draw(st.floats(0.01, 1.0)) for _ in range(3))
        com = " ".join(f"{draw(finite) * 0.2:.6f}" for _ in range(3))
        rpy = " ".join(f"{draw(finite) * 3:.6f}" for _ in range(3))
        links.append(
            f'<link name="l{k}"><inertial><origin xyz="{com}" rpy="{rpy}"/><mass value="{mass:.6f}"/>'
            f'<inertia ixx="{b + c:.6f}" ixy="0" ixz="0" iyy="{a + c:.6f}" iyz="0" izz="{a + b:.6f}"/>'
            "</inertial></link>")
        xyz = " ".join(f"{draw(finite) * 0.5:.6f}" for _ in range(3))
        jrpy = " ".join(f"{draw(finite) * 3:.6f}" for _ in range(3))
        axis = [draw(finite) for _ in range(3)]
        assume(math.hypot(*axis) > 0.1)
        joints.append(
            f'<joint name="j{k}" type="{kind}"><parent link="l{parent}"/><child link="l{k}"/>'
            f'<origin xyz="{xyz}" rpy="{jrpy}"/><axis xyz="{" ".join(f"{x:.6f}" for x in axis)}"/>'
            "</joint>")
    return "<robot name='random'>" + "".join(links + joints) + "</robot>"


def state(model, seed):
    rng = np.random.default_rng(seed)
    q = trv.integrate(model, trv.neutral(model), rng.standard_normal(model.nv))
    return q, rng.standard_normal(model.nv), rng.standard_normal(model.nv)


def close(a, b, rel=1e-8):
    scale = max(1.0, float(np.abs(b).max(initial=0.0)))
    return float(np.abs(a - b).max(initial=0.0)) <= rel * scale


@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(mechanisms(), st.integers(0, 2**32 - 1))
def test_dynamics_identities_on_random_mechanisms(urdf, seed):
    m = trv.parse_urdf_from_string(urdf)
    d = m.createData()
    q, v, a = state(m, seed)
    trv.crba(m, d, q)
    M = d.M
    assert np.array_equal(M, M.T)
    if m.nv:
        assert np.linalg.eigvalsh(M).min() > 0
    nle = trv.non_linear_effects(m, d, q, v)
    g = trv.compute_gravity(m, d, q)
    assert close(trv.rnea(m, d, q, v, a), M @ a + nle)
    assert close(trv.non_linear_effects(m, d, q, np.zeros(m.nv)), g, 1e-12)
    trv.computeCoriolisMatrix(m, d, q, v)
    assert close(d.C @ v, nle - g)
    trv.computeAllTerms(m, d, q, v)
    assert close(d.M, M) and close(d.g, g)
    # Jacobians: the local frame Jacobian of every joint frame is the single-joint one.
    trv.computeJointJacobians(m, d, q)
    for j in range(1, m.njoints):  # URDF numbering is depth first: look joints up by name
        frame = m.getFrameId(m.names[j])
        assert close(trv.getFrameJacobian(m, d, frame, L), trv.computeJointJacobian(m, d, q, j), 1e-10)


@settings(deadline=None, max_examples=30)
@given(mechanisms(), st.integers(0, 2**32 - 1))
def test_mass_matrix_rate_and_coriolis(urdf, seed):
    m = trv.parse_urdf_from_string(urdf)
    d = m.createData()
    q, v, _ = state(m, seed)
    trv.computeCoriolisMatrix(m, d, q, v)
    C = d.C
    eps = 1e-6
    trv.crba(m, d, trv.integrate(m, q, eps * v))
    Mp = d.M
    trv.crba(m, d, trv.integrate(m, q, -eps * v))
    N = (Mp - d.M) / (2 * eps) - 2 * C
    assert np.abs(N + N.T).max(initial=0.0) < 1e-5 * max(1.0, np.abs(C).max(initial=0.0))


# ---- hostile arguments ---------------------------------------------------------------

def snapshot(m, d):
    """Everything readable from the model and the data, as text (NaN-safe)."""
    return repr((m.to_string_info(), repr(m), m.gravity_full.tolist(), m.lowerPositionLimit.tolist(),
                 d.to_string_info(), d.M.tolist(), d.C.tolist(), d.g.tolist(),
                 d.dtau_dq.tolist(), d.ddq_dv.tolist(), [x.homogeneous.tolist() for x in d.oMi]))


def hostile_vectors(n):
    raw = np.zeros(8 * max(n, 1) + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.float64)[:n]
    read_only = np.zeros(n)
    read_only.flags.writeable = False

    class Sub(np.ndarray):
        pass

    return [
        None, 1.0, "q", [0.0] * n, (0.0,) * n, np.zeros(n, dtype=np.float32), np.zeros(n, dtype=np.int64),
        np.zeros((n, 1)), np.zeros(n).astype(">f8"), np.zeros(2 * n + 2)[::2], np.zeros(0), np.zeros(n + 1),
        np.zeros(10**6), np.full(n, np.nan), np.full(n, np.inf), np.full(n, -1e308), misaligned, read_only,
        np.zeros(n).view(Sub), np.zeros(n, dtype=np.complex128), np.zeros(n, dtype=object),
    ]


INDICES = [-1, 0, 1, 10**6, 2**63, 2**64, -(2**70), 1.5, "1", None, np.int64(2), True]

ARITIES = {
    trv.neutral: 1, trv.integrate: 3, trv.forwardKinematics: 3, trv.rnea: 5, trv.crba: 3,
    trv.computeJointJacobians: 3, trv.computeJointJacobian: 4, trv.computeJointJacobiansTimeVariation: 4,
    trv.getFrameJacobian: 4, trv.getFrameJacobianTimeVariation: 4, trv.non_linear_effects: 4,
    trv.compute_gravity: 3, trv.computeAllTerms: 4, trv.computeCoriolisMatrix: 4, trv.aba: 5,
    trv.computeMinverse: 3, trv.computeRNEADerivatives: 5, trv.computeABADerivatives: 5,
}

DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError, RuntimeError)


@pytest.fixture(scope="module")
def robot():
    return trv.parse_urdf_file(model_path("quadruped"))


def arguments_for(fn, m, d, other_data, vector, index):
    """Valid arguments with one slot replaced by a hostile value."""
    q, v = trv.neutral(m), np.zeros(m.nv)
    base = {
        trv.neutral: [m], trv.integrate: [m, q, v], trv.forwardKinematics: [m, d, q],
        trv.rnea: [m, d, q, v, v], trv.crba: [m, d, q], trv.computeJointJacobians: [m, d, q],
        trv.computeJointJacobian: [m, d, q, 1], trv.computeJointJacobiansTimeVariation: [m, d, q, v],
        trv.getFrameJacobian: [m, d, 1, W], trv.getFrameJacobianTimeVariation: [m, d, 1, L],
        trv.non_linear_effects: [m, d, q, v], trv.compute_gravity: [m, d, q],
        trv.computeAllTerms: [m, d, q, v], trv.computeCoriolisMatrix: [m, d, q, v],
        trv.aba: [m, d, q, v, v, np.zeros((m.njoints, 6))], trv.computeMinverse: [m, d, q],
        trv.computeRNEADerivatives: [m, d, q, v, v], trv.computeABADerivatives: [m, d, q, v, v],
    }[fn]
    out = []
    for slot in range(len(base)):
        args = list(base)
        kind = base[slot]
        if kind is m:
            args[slot] = d
        elif kind is d:
            args[slot] = other_data if other_data is not None else m
        elif isinstance(kind, np.ndarray):
            args[slot] = vector
        elif isinstance(kind, int):
            args[slot] = index
        else:
            args[slot] = 0
        out.append(args)
    return out


@settings(deadline=None, max_examples=60)
@given(st.sampled_from(sorted(ARITIES, key=lambda f: f.__name__)), st.integers(0, 20),
       st.sampled_from(INDICES), st.booleans())
def test_hostile_arguments_raise_documented_errors_and_change_nothing(robot, fn, vec_index, index, other):
    m = robot
    d = m.createData()
    trv.computeAllTerms(m, d, trv.neutral(m), np.ones(m.nv))
    other_data = trv.parse_urdf_file(model_path("arm7")).createData() if other else None
    vector = hostile_vectors(m.nq)[vec_index]
    for args in arguments_for(fn, m, d, other_data, vector, index):
        before = snapshot(m, d)
        try:
            fn(*args)
        except DOCUMENTED:
            # A failed call changes nothing.
            assert snapshot(m, d) == before
        # Some replacements are valid (NaN vectors, views, integer-like
        # indices): those calls succeed and may write the data.


@pytest.mark.parametrize("fn", sorted(ARITIES, key=lambda f: f.__name__))
def test_arity_errors(robot, fn):
    for n in range(0, ARITIES[fn] + 2):
        if n == ARITIES[fn]:
            continue
        with pytest.raises(TypeError):
            fn(*([robot] * n))


def test_failed_calls_leave_data_identical(robot):
    m = robot
    d = m.createData()
    q, v, a = state(m, 1)
    trv.computeAllTerms(m, d, q, v)
    trv.rnea(m, d, q, v, a)
    before = snapshot(m, d)
    failing = [
        lambda: trv.rnea(m, d, q, v, np.zeros(m.nv + 1)),
        lambda: trv.crba(m, d, q[:-1]),
        lambda: trv.computeAllTerms(m, d, q, v[::2]),
        lambda: trv.computeJointJacobian(m, d, q, m.njoints),
        lambda: trv.forwardKinematics(m, d, np.zeros(m.nq + 1)),
        lambda: trv.computeCoriolisMatrix(m, d, q, v.astype(np.float32)),
        lambda: trv.rnea(m, trv.parse_urdf_file(model_path("arm7")).createData(), q, v, a),
        lambda: m.add_joint(m.njoints, "fixed", np.zeros(3), trv.SE3.identity(), "x"),
        lambda: m.set_gravity(np.zeros(2)),
        lambda: d.get_joint_placement(m.njoints),
    ]
    for call in failing:
        with pytest.raises(DOCUMENTED):
            call()
        assert snapshot(m, d) == before


def test_non_finite_inputs_propagate_without_crash(robot):
    d = robot.createData()
    for bad in (np.nan, np.inf, -np.inf, 1e308):
        q = np.full(robot.nq, bad)
        v = np.full(robot.nv, bad)
        trv.rnea(robot, d, q, v, v)
        trv.crba(robot, d, q)
        trv.computeAllTerms(robot, d, q, v)
        trv.computeCoriolisMatrix(robot, d, q, v)
        trv.computeJointJacobiansTimeVariation(robot, d, q, v)
        trv.getFrameJacobianTimeVariation(robot, d, 3, L)
        trv.integrate(robot, q, v)
        assert isinstance(d.to_string_info(), str)
        # Forward dynamics never hands out a non-finite result: it raises.
        for call in (lambda: trv.aba(robot, d, q, v, v), lambda: trv.computeMinverse(robot, d, q)):
            try:
                assert np.isfinite(call()).all()
            except ValueError:
                pass

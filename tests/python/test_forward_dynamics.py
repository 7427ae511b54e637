"""Forward dynamics from Python: aba and computeMinverse against rnea and the mass
matrix, external forces, argument checks, singular bodies and non-finite inputs."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import trelvar as trv
from conftest import PENDULUM_URDF, chain_model, model_path, random_state
from test_properties import mechanisms, snapshot

L = trv.ReferenceFrame.LOCAL


def rel_err(x, ref):
    return np.linalg.norm(x - ref) / max(1.0, np.linalg.norm(ref))


# ---- identities ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["arm7", "arm6", "quadruped", "humanoid", "tree30", "chain_32", "chain_100"])
def test_aba_inverts_rnea_and_minverse_inverts_m(name):
    m = trv.parse_urdf_file(model_path(name))
    d = m.createData()
    rng = np.random.default_rng(len(name))
    for _ in range(3):
        q, v, a = random_state(m, rng)
        trv.crba(m, d, q)
        M = d.M
        # Recovering a loses what the conditioning of M loses (a dense solve does
        # no better): the tolerance grows with the condition number past 1e6.
        eig = np.linalg.eigvalsh(M)
        tol = 1e-10 * max(1.0, eig.max() / eig.min() / 1e6)
        assert rel_err(trv.aba(m, d, q, v, trv.rnea(m, d, q, v, a)), a) < tol
        tau = 10.0 * rng.standard_normal(m.nv)
        assert rel_err(trv.rnea(m, d, q, v, trv.aba(m, d, q, v, tau)), tau) < 1e-10
        Minv = trv.computeMinverse(m, d, q)
        assert np.array_equal(Minv, Minv.T)
        # The residual of any inverse grows with the conditioning too (chain_100,
        # condition number ~2e7: a dense inverse's residual is ~5e-8).
        assert np.abs(Minv @ M - np.eye(m.nv)).max() < 1e-9 * max(1.0, eig.max() / eig.min() / 1e6)
        assert rel_err(Minv, np.linalg.inv(M)) < 1e-9


def test_pendulum_worked_value():
    m = trv.parse_urdf_from_string(PENDULUM_URDF)
    d = m.createData()
    z = np.zeros(1)
    inertia = 0.03 + 2.5 * 0.4**2
    np.testing.assert_allclose(trv.aba(m, d, z, z, z), [9.81 * 2.5 * 0.4 / inertia], rtol=1e-14)
    np.testing.assert_allclose(trv.computeMinverse(m, d, z), [[1.0 / inertia]], rtol=1e-14)


@pytest.mark.parametrize("name", ["quadruped", "tree30", "humanoid"])
def test_external_forces_enter_through_local_jacobians(name):
    """aba(..., fext) solves M ddq = tau - nle + sum_i J_i^T f_i with J_i the joint's
    Jacobian in its own frame; fext rows and Jacobian rows are both linear first."""
    m = trv.parse_urdf_file(model_path(name))
    d = m.createData()
    rng = np.random.default_rng(3)
    q, v, tau = random_state(m, rng)
    fext = 5.0 * rng.standard_normal((m.njoints, 6))
    rhs = tau - trv.non_linear_effects(m, d, q, v)
    for i in range(1, m.njoints):
        rhs += trv.computeJointJacobian(m, d, q, i).T @ fext[i]
    trv.crba(m, d, q)
    expected = np.linalg.solve(d.M, rhs)
    assert rel_err(trv.aba(m, d, q, v, tau, fext), expected) < 1e-10
    # Row 0 is ignored; any layout of a float64 (njoints, 6) array is accepted.
    fext[0] = np.nan
    assert rel_err(trv.aba(m, d, q, v, tau, fext=np.asfortranarray(fext)), expected) < 1e-10
    wide = np.zeros((m.njoints, 12))
    wide[:, ::2] = fext
    assert rel_err(trv.aba(m, d, q, v, tau, wide[:, ::2]), expected) < 1e-10
    assert np.array_equal(trv.aba(m, d, q, v, tau, None), trv.aba(m, d, q, v, tau))
    assert np.array_equal(trv.aba(m, d, q, v, tau, np.zeros((m.njoints, 6))), trv.aba(m, d, q, v, tau))


@settings(deadline=None, max_examples=40, suppress_health_check=[HealthCheck.too_slow])
@given(mechanisms(), st.integers(0, 2**32 - 1))
def test_identities_on_random_mechanisms(urdf, seed):
    m = trv.parse_urdf_from_string(urdf)
    d = m.createData()
    q, v, a = random_state(m, np.random.default_rng(seed))
    trv.crba(m, d, q)
    M = d.M
    tau = M @ a + trv.non_linear_effects(m, d, q, v)
    eig = np.linalg.eigvalsh(M) if m.nv else np.ones(1)
    tol = 1e-10 * max(1.0, eig.max() / eig.min() / 1e6)
    assert rel_err(trv.aba(m, d, q, v, tau), a) < tol
    Minv = trv.computeMinverse(m, d, q)
    assert np.abs(Minv @ M - np.eye(m.nv)).max(initial=0.0) < 1e-9 * max(1.0, eig.max() / eig.min() / 1e3)


# ---- arguments ----------------------------------------------------------------------------

@pytest.fixture
def md():
    m = trv.parse_urdf_file(model_path("arm7"))
    return m, m.createData()


@pytest.mark.parametrize("call, exc, message", [
    (lambda m, d, z: trv.aba(m, d, z), TypeError,
     "aba() missing 2 required positional arguments: 'v' and 'tau'"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, None, 1), TypeError,
     "aba() takes from 5 to 6 positional arguments but 7 were given"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, force=None), TypeError,
     "aba() got an unexpected keyword argument 'force'"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, None, fext=None), TypeError,
     "aba() got multiple values for argument 'fext'"),
    (lambda m, d, z: trv.computeMinverse(m, d), TypeError,
     "computeMinverse() missing 1 required positional argument: 'q'"),
    (lambda m, d, z: trv.aba(m, d, z, z, list(z)), TypeError,
     "argument 'tau': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, np.zeros(6)), TypeError,
     "argument 'fext': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, np.zeros((9, 6), dtype=np.float32)), TypeError,
     "argument 'fext': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, [[0.0] * 6] * 9), TypeError,
     "argument 'fext': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda m, d, z: trv.aba(m, d, z, z, np.zeros(8)), ValueError, "tau length 8 != nv 7"),
    (lambda m, d, z: trv.aba(m, d, z, np.zeros(6), np.zeros(8)), ValueError, "v length 6 != nv 7"),
    (lambda m, d, z: trv.aba(m, d, np.zeros(6), z, z), ValueError, "q length 6 != nq 7"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, np.zeros((8, 6))), ValueError,
     "fext shape (8, 6) != (njoints, 6) = (9, 6)"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, np.zeros((9, 3))), ValueError,
     "fext shape (9, 3) != (njoints, 6) = (9, 6)"),
    # Lengths are checked before the shape of fext, contiguity before both.
    (lambda m, d, z: trv.aba(m, d, z, z, np.zeros(8), np.zeros((1, 1))), ValueError, "tau length 8 != nv 7"),
    (lambda m, d, z: trv.aba(m, d, np.zeros(6), z, np.zeros(14)[::2]), TypeError,
     "The given array is not contiguous"),
    (lambda m, d, z: trv.computeMinverse(m, d, np.zeros(8)), ValueError, "q length 8 != nq 7"),
    (lambda m, d, z: trv.aba(m, d, z, np.full(7, np.nan), z), ValueError,
     "Velocity vector holds a non-finite value at index 0"),
    (lambda m, d, z: trv.aba(m, d, z, z, z, np.full((9, 6), np.inf)), ValueError,
     "External force on joint 'joint1' (index 1) holds a non-finite value"),
    (lambda m, d, z: trv.computeMinverse(m, d, np.full(7, np.nan)), ValueError,
     "Configuration vector holds a non-finite value at index 0"),
])
def test_argument_errors_change_nothing(md, call, exc, message):
    m, d = md
    q, v, _ = random_state(m, np.random.default_rng(0))
    trv.computeAllTerms(m, d, q, v)
    before = snapshot(m, d)
    with pytest.raises(exc) as e:
        call(m, d, np.zeros(7))
    assert str(e.value) == message
    assert snapshot(m, d) == before


@pytest.mark.parametrize("call", [
    lambda m, d: trv.aba(m, d, np.zeros(m.nq), np.zeros(m.nv), np.zeros(m.nv)),
    lambda m, d: trv.aba(m, d, np.zeros(m.nq), np.zeros(m.nv), np.zeros(m.nv), np.zeros((m.njoints, 6))),
    lambda m, d: trv.computeMinverse(m, d, np.zeros(m.nq)),
])
def test_data_of_a_grown_model_is_rejected(call):
    m = chain_model(2)
    d = m.createData()
    before = d.to_string_info()
    m.add_joint(2, "prismatic", np.array([1.0, 0.0, 0.0]), trv.SE3.identity(), "grown")
    with pytest.raises(ValueError) as e:
        call(m, d)
    assert "njoints=3, nq=2, nv=2" in str(e.value) and "njoints=4, nq=3, nv=3" in str(e.value)
    assert d.to_string_info() == before


def test_results_are_fresh_arrays_and_arguments_are_not_written(md):
    m, d = md
    q, v, tau = random_state(m, np.random.default_rng(1))
    fext = np.ones((m.njoints, 6))
    before = [x.copy() for x in (q, v, tau, fext)]
    for result in (trv.aba(m, d, q, v, tau), trv.aba(m, d, q, v, tau, fext), trv.computeMinverse(m, d, q)):
        assert result.dtype == np.float64
        assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable
    for x, y in zip((q, v, tau, fext), before):
        assert np.array_equal(x, y)
    assert trv.computeMinverse(m, d, q).shape == (7, 7)
    empty = trv.Model()
    z = np.zeros(0)
    assert trv.aba(empty, empty.createData(), z, z, z).shape == (0,)
    assert trv.computeMinverse(empty, empty.createData(), z).shape == (0, 0)


# ---- singular bodies ----------------------------------------------------------------------

LEAF = ('<robot name="r"><link name="base"/><link name="a"><inertial><origin xyz="0 0 0.2"/>'
        '<mass value="1"/><inertia ixx="0.01" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.01"/></inertial>'
        '</link><link name="tip">{tip}</link>'
        '<joint name="shoulder" type="revolute"><parent link="base"/><child link="a"/><axis xyz="0 1 0"/></joint>'
        '<joint name="wrist" type="{kind}"><parent link="a"/><child link="tip"/><origin xyz="0 0 0.4"/>'
        '<axis xyz="0 0 1"/></joint></robot>')


@pytest.mark.parametrize("tip, kind", [
    ("", "revolute"),                                              # massless leaf body
    ("", "prismatic"),
    ('<inertial><origin xyz="0 0 0.3"/><mass value="2"/>'           # a point mass on the axis
     '<inertia ixx="0" ixy="0" ixz="0" iyy="0" iyz="0" izz="0"/></inertial>', "continuous"),
])
def test_singular_articulated_inertia_names_the_joint(tip, kind):
    m = trv.parse_urdf_from_string(LEAF.format(tip=tip, kind=kind))
    d = m.createData()
    q = trv.neutral(m)
    v = np.ones(m.nv)
    trv.computeAllTerms(m, d, q, v)
    before = snapshot(m, d)
    for call in (lambda: trv.aba(m, d, q, v, v), lambda: trv.computeMinverse(m, d, q)):
        with pytest.raises(ValueError, match=r"^Articulated inertia of joint 'wrist' \(index 2\) is singular"):
            call()
        assert snapshot(m, d) == before
    # The same body on a fixed joint is fine.
    fixed = trv.parse_urdf_from_string(LEAF.format(tip=tip, kind="fixed"))
    df = fixed.createData()
    assert np.isfinite(trv.aba(fixed, df, np.zeros(1), np.ones(1), np.ones(1))).all()


def test_result_too_large_raises(md):
    m, d = md
    with pytest.raises(ValueError, match="^Joint accelerations are not finite"):
        trv.aba(m, d, trv.neutral(m), np.full(m.nv, 1e300), np.zeros(m.nv))


# ---- Data properties ---------------------------------------------------------------------

@pytest.mark.parametrize("name", ["ddq", "Minv"])
def test_results_stay_in_data_as_fresh_copies_until_reset(name):
    m = trv.parse_urdf_file(model_path("arm7"))
    d = m.createData()
    rng = np.random.default_rng(3)
    q, v, tau = random_state(m, rng)
    assert not getattr(d, name).any()
    result = trv.aba(m, d, q, v, tau) if name == "ddq" else trv.computeMinverse(m, d, q)
    x = getattr(d, name)
    assert x.shape == result.shape and x.dtype == np.float64 and x.flags.owndata
    np.testing.assert_array_equal(x, result)
    x[...] = 123.0
    np.testing.assert_array_equal(getattr(d, name), result)
    with pytest.raises(AttributeError):
        setattr(d, name, result)
    d.reset()
    assert not getattr(d, name).any()

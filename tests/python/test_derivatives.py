"""Derivatives of the dynamics from Python: computeRNEADerivatives and
computeABADerivatives against central differences through integrate, their
identities, the Data properties and the argument checks."""
import numpy as np
import pytest

import trelvar as trv
from conftest import PENDULUM_URDF, model_path, random_state
from test_properties import snapshot

STEP = 1e-6


def tangent_difference(model, q, f):
    """d f / dq in the tangent space: column k from f at integrate(q, +-h e_k)."""
    cols = []
    for k in range(model.nv):
        e = np.zeros(model.nv)
        e[k] = STEP
        cols.append((f(trv.integrate(model, q, e)) - f(trv.integrate(model, q, -e))) / (2 * STEP))
    return np.array(cols).T


def vector_difference(x, f):
    cols = []
    for k in range(x.size):
        e = np.zeros(x.size)
        e[k] = STEP
        cols.append((f(x + e) - f(x - e)) / (2 * STEP))
    return np.array(cols).T


def max_rel(x, ref):
    return np.abs(x - ref).max(initial=0.0) / max(1.0, np.abs(ref).max(initial=0.0))


def mixed_tree():
    """The four joint kinds Model.add_joint offers (a floating joint at the root and one inside),
    parents out of depth-first order. The C++ tests cover every kind."""
    m = trv.Model()
    rng = np.random.default_rng(3)
    kinds = ["floating", "revolute", "prismatic", "floating", "revolute", "prismatic", "fixed", "revolute"]
    parents = [0, 1, 1, 2, 3, 2, 5, 4]
    for k, (kind, parent) in enumerate(zip(kinds, parents)):
        r = np.linalg.qr(rng.standard_normal((3, 3)))[0]
        r *= np.sign(np.linalg.det(r))
        j = m.add_joint(parent, kind, rng.standard_normal(3), trv.SE3(r, rng.uniform(-0.3, 0.3, 3)), f"j{k}")
        m.set_inertia(j, rng.uniform(0.5, 3.0), rng.uniform(-0.1, 0.1, 3), np.diag(rng.uniform(0.02, 0.1, 3)))
    return m


MODELS = ["arm7", "arm6", "quadruped", "humanoid", "tree30", "chain_16", "mixed"]


def load(name):
    return mixed_tree() if name == "mixed" else trv.parse_urdf_file(model_path(name))


@pytest.mark.parametrize("name", MODELS)
def test_rnea_derivatives_match_central_differences(name):
    m = load(name)
    d, ref = m.createData(), m.createData()
    q, v, a = random_state(m, np.random.default_rng(len(name)))
    dq, dv, M = trv.computeRNEADerivatives(m, d, q, v, a)
    assert dq.shape == dv.shape == M.shape == (m.nv, m.nv)
    assert max_rel(dq, tangent_difference(m, q, lambda x: trv.rnea(m, ref, x, v, a))) < 1e-6
    assert max_rel(dv, vector_difference(v, lambda x: trv.rnea(m, ref, q, x, a))) < 1e-6
    trv.crba(m, ref, q)
    assert max_rel(M, ref.M) < 1e-9
    np.testing.assert_array_equal(d.dtau_dq, dq)
    np.testing.assert_array_equal(d.dtau_dv, dv)
    np.testing.assert_array_equal(d.M, M)


@pytest.mark.parametrize("name", MODELS)
def test_aba_derivatives_match_central_differences_and_identities(name):
    m = load(name)
    d, ref = m.createData(), m.createData()
    q, v, tau = random_state(m, np.random.default_rng(10 + len(name)))
    ddq_dq, ddq_dv, Minv = trv.computeABADerivatives(m, d, q, v, tau)
    assert max_rel(ddq_dq, tangent_difference(m, q, lambda x: trv.aba(m, ref, x, v, tau))) < 1e-6
    assert max_rel(ddq_dv, vector_difference(v, lambda x: trv.aba(m, ref, q, x, tau))) < 1e-6
    np.testing.assert_array_equal(Minv, Minv.T)
    # -M^-1 times the inverse-dynamics derivatives at (q, v, ddq).
    ddq = trv.aba(m, ref, q, v, tau)
    dtau_dq, dtau_dv, M = trv.computeRNEADerivatives(m, ref, q, v, ddq)
    assert max_rel(M @ ddq_dq, -dtau_dq) < 1e-9
    assert max_rel(M @ ddq_dv, -dtau_dv) < 1e-9
    assert max_rel(Minv @ M, np.eye(m.nv)) < 1e-9
    np.testing.assert_array_equal(d.ddq_dq, ddq_dq)
    np.testing.assert_array_equal(d.ddq_dv, ddq_dv)


def test_at_rest_only_gravity_remains(arm):
    d, ref = arm.createData(), arm.createData()
    q, _, _ = random_state(arm, np.random.default_rng(5))
    z = np.zeros(arm.nv)
    dq, dv, _ = trv.computeRNEADerivatives(arm, d, q, z, z)
    assert not dv.any()
    dg = tangent_difference(arm, q, lambda x: trv.compute_gravity(arm, ref, x))
    assert np.abs(dg).max() > 1.0
    assert max_rel(dq, dg) < 1e-6


def test_pendulum_worked_values():
    # A 2.5 kg body 0.4 m along x from a joint about y, which turns x towards -z: its height is
    # -l sin q, so tau = I qdd - m g l cos q with I = 0.03 + m l^2.
    m = trv.parse_urdf_from_string(PENDULUM_URDF)
    d = m.createData()
    q = np.array([0.3])
    dq, dv, M = trv.computeRNEADerivatives(m, d, q, np.array([2.0]), np.array([0.5]))
    inertia = 0.03 + 2.5 * 0.4**2
    np.testing.assert_allclose(M, [[inertia]], rtol=1e-14)
    np.testing.assert_allclose(dq, [[2.5 * 9.81 * 0.4 * np.sin(0.3)]], rtol=1e-12)
    np.testing.assert_allclose(dv, [[0.0]], atol=1e-14)


def test_properties_are_fresh_and_reset(arm):
    d = arm.createData()
    q, v, a = random_state(arm, np.random.default_rng(9))
    trv.computeABADerivatives(arm, d, q, v, a)
    for name in ("dtau_dq", "dtau_dv", "ddq_dq", "ddq_dv"):
        x = getattr(d, name)
        assert x.shape == (arm.nv, arm.nv) and x.dtype == np.float64 and x.flags.owndata
        assert np.abs(x).max() > 0.0
        x[...] = 7.0
        assert not np.array_equal(getattr(d, name), x)
        with pytest.raises(AttributeError):
            setattr(d, name, x)
    d.reset()
    for name in ("dtau_dq", "dtau_dv", "ddq_dq", "ddq_dv"):
        assert not getattr(d, name).any()


@pytest.mark.parametrize("fn, last", [(trv.computeRNEADerivatives, "a"), (trv.computeABADerivatives, "tau")])
def test_argument_checks_and_messages(humanoid, fn, last):
    m = humanoid
    d = m.createData()
    q, v, a = random_state(m, np.random.default_rng(1))
    fn(m, d, q, v, a)
    before = snapshot(m, d) + repr((d.dtau_dq.tolist(), d.ddq_dq.tolist()))
    with pytest.raises(ValueError, match=r"^q length 36 != nq 37$"):
        fn(m, d, q[:-1], v, a)
    with pytest.raises(ValueError, match=r"^v length 35 != nv 36$"):
        fn(m, d, q, v[:-1], a)
    with pytest.raises(ValueError, match=rf"^{last} length 37 != nv 36$"):
        fn(m, d, q, v, np.zeros(37))
    with pytest.raises(TypeError):
        fn(m, d, q, v, a.astype(np.float32))
    with pytest.raises(TypeError):
        fn(m, d, q, v)
    with pytest.raises(ValueError, match="Data does not match"):
        fn(m, trv.parse_urdf_file(model_path("arm7")).createData(), q, v, a)
    assert snapshot(m, d) + repr((d.dtau_dq.tolist(), d.ddq_dq.tolist())) == before
    # Keywords bind like positions.
    out = fn(model=m, data=d, q=q, v=v, **{last: a})
    assert isinstance(out, tuple) and len(out) == 3


def test_aba_derivatives_failure_changes_nothing():
    # A massless leaf on a moving joint: forward dynamics is undefined.
    m = trv.Model()
    m.add_joint(0, "revolute", np.array([0.0, 0.0, 1.0]), trv.SE3.identity(), "a")
    m.set_inertia(1, 1.0, np.array([0.2, 0.0, 0.0]), 0.01 * np.eye(3))
    m.add_joint(1, "revolute", np.array([0.0, 1.0, 0.0]), trv.SE3.identity(), "b")
    d = m.createData()
    z = np.zeros(2)
    with pytest.raises(ValueError, match="singular"):
        trv.computeABADerivatives(m, d, z, z, z)
    assert not d.ddq_dq.any() and not d.dtau_dq.any()
    with pytest.raises(ValueError, match="non-finite"):
        trv.computeABADerivatives(trv.parse_urdf_file(model_path("arm7")),
                                  trv.parse_urdf_file(model_path("arm7")).createData(),
                                  np.zeros(7), np.full(7, np.nan), np.zeros(7))


def test_text_signatures():
    assert trv.computeRNEADerivatives.__text_signature__ == "(model, data, q, v, a)"
    assert trv.computeABADerivatives.__text_signature__ == "(model, data, q, v, tau)"
    assert "tangent space" in trv.computeRNEADerivatives.__doc__

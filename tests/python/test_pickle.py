"""Pickling Model, Data and SE3: exact round trips in every protocol, and a
clear error (never a crash) for damaged bytes."""
import copy
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import trelvar as trv
from conftest import chain_model, model_path
from test_properties import mechanisms

ROBOTS = ["arm6", "arm7", "humanoid", "quadruped", "tree30", "chain_8"]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def results(m, seed=0):
    """Everything a model computes at a random state, as bytes."""
    rng = np.random.default_rng(seed)
    q = trv.integrate(m, trv.neutral(m), rng.standard_normal(m.nv))
    v, a = rng.standard_normal(m.nv), rng.standard_normal(m.nv)
    d = m.createData()
    out = [trv.rnea(m, d, q, v, a), trv.crba(m, d, q)]
    trv.computeAllTerms(m, d, q, v)
    trv.computeCoriolisMatrix(m, d, q, v)
    out += [d.M, d.C, d.g] + [x.homogeneous for x in d.oMi]
    if m.nframes > 1:
        out.append(trv.getFrameJacobian(m, d, m.nframes - 1, trv.ReferenceFrame.LOCAL))
    return b"".join(np.ascontiguousarray(x).tobytes() for x in out)


def described(m):
    """Every attribute of the model, arrays as their bytes."""
    frames = [(f.name, f.parent, f.placement.homogeneous.tobytes(), f.type) for f in m.frames]
    return (m.name, m.names, m.nq, m.nv, m.njoints, m.nframes, m.lowerPositionLimit.tobytes(),
            m.upperPositionLimit.tobytes(), m.gravity_full.tobytes(), m.to_string_info(),
            m.parents, m.idx_qs, m.nqs, m.idx_vs, m.nvs, m.joint_types, m.axes.tobytes(),
            [x.homogeneous.tobytes() for x in m.placements], m.masses.tobytes(), m.levers.tobytes(),
            m.rotational_inertias.tobytes(), m.children, m.supports, m.subtrees, frames)


@pytest.mark.parametrize("robot", ROBOTS)
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_model_round_trip(robot, protocol):
    m = trv.parse_urdf_file(model_path(robot))
    back = pickle.loads(pickle.dumps(m, protocol))
    assert back is not m
    assert described(back) == described(m)
    assert results(back) == results(m)
    assert pickle.dumps(back, protocol) == pickle.dumps(m, protocol)


def test_model_built_by_hand_keeps_every_setting():
    m = chain_model(3)
    m.set_name("h\u00e9llo\x00 world")
    m.set_gravity_full(np.array([0.1, -0.0, -9.7, 0.01, 0.02, np.nan]))
    m.add_joint(2, "floating", np.zeros(3), trv.SE3(np.eye(3), np.array([0.0, 1.0, 2.0])), "free")
    m.add_joint(0, "prismatic", np.array([0.0, 3.0, 4.0]), trv.SE3.identity(), "slide")
    back = copy.deepcopy(m)
    assert described(back) == described(m)
    assert np.isnan(back.gravity_full[5]) and np.signbit(back.gravity_full[1])
    assert results(back) == results(m)
    # The copy is independent.
    back.add_joint(0, "fixed", np.zeros(3), trv.SE3.identity(), "extra")
    assert m.njoints == back.njoints - 1


def test_inertias_set_after_building_round_trip_bit_for_bit():
    m = trv.parse_urdf_file(model_path("arm7"))
    rng = np.random.default_rng(5)
    for j in range(m.njoints):
        r = rng.standard_normal((3, 3))
        m.set_inertia(j, float(rng.uniform(0, 1e-300 if j == 2 else 5)),
                      np.array([-0.0, 1 / 3, 5e-324]), r @ r.T)
    m.set_inertia(4, 0.0, np.zeros(3), np.zeros((3, 3)))
    back = pickle.loads(pickle.dumps(m))
    assert back.masses.tobytes() == m.masses.tobytes() and back.masses[4] == 0.0
    assert np.signbit(back.levers[1, 0]) and back.levers[1, 2] == 5e-324
    assert back.rotational_inertias.tobytes() == m.rotational_inertias.tobytes()
    assert described(back) == described(m)
    assert results(back) == results(m)
    # The edited model no longer computes what the file gives.
    assert results(back) != results(trv.parse_urdf_file(model_path("arm7")))


@settings(deadline=None, max_examples=30, suppress_health_check=[HealthCheck.too_slow])
@given(mechanisms())
def test_random_mechanisms_round_trip(urdf):
    m = trv.parse_urdf_from_string(urdf)
    back = pickle.loads(pickle.dumps(m))
    assert described(back) == described(m)
    assert results(back, seed=3) == results(m, seed=3)


def test_data_round_trip():
    m = trv.parse_urdf_file(model_path("humanoid"))
    d = m.createData()
    rng = np.random.default_rng(1)
    q = trv.integrate(m, trv.neutral(m), rng.standard_normal(m.nv))
    trv.computeAllTerms(m, d, q, rng.standard_normal(m.nv))
    trv.computeCoriolisMatrix(m, d, q, rng.standard_normal(m.nv))
    for protocol in PROTOCOLS:
        back = pickle.loads(pickle.dumps(d, protocol))
        assert back.to_string_info() == d.to_string_info()
        for name in ("M", "C", "g"):
            assert getattr(back, name).tobytes() == getattr(d, name).tobytes()
        assert [x.homogeneous.tobytes() for x in back.oMi] == [x.homogeneous.tobytes() for x in d.oMi]
        assert pickle.dumps(back, protocol) == pickle.dumps(d, protocol)
    # The stored Jacobians came along: a frame Jacobian reads them.
    back = pickle.loads(pickle.dumps(d))
    for frame in (1, m.nframes - 1):
        assert (trv.getFrameJacobian(m, back, frame, trv.ReferenceFrame.WORLD).tobytes()
                == trv.getFrameJacobian(m, d, frame, trv.ReferenceFrame.WORLD).tobytes())


def test_se3_round_trip():
    rng = np.random.default_rng(2)
    r, _ = np.linalg.qr(rng.standard_normal((3, 3)))
    t = np.array([1.5, -0.0, np.inf])
    x = trv.SE3(r, t)
    for protocol in PROTOCOLS:
        back = pickle.loads(pickle.dumps(x, protocol))
        assert back.homogeneous.tobytes() == x.homogeneous.tobytes()
    assert copy.copy(x).homogeneous.tobytes() == x.homogeneous.tobytes()


# ---- damaged bytes --------------------------------------------------------------------

def stored(obj):
    """The library's bytes inside the pickle."""
    loader, (data,) = obj.__reduce__()
    assert loader == type(obj)._from_bytes
    return data


@pytest.fixture(scope="module")
def samples():
    m = chain_model(2)
    return [m, m.createData(), trv.SE3.identity()]


def test_loaders_report_what_is_wrong(samples):
    m, d, x = samples
    data = stored(m)
    with pytest.raises(ValueError, match=r"^Cannot read a trelvar Model: truncated: the header announces"):
        trv.Model._from_bytes(data[:-10])
    with pytest.raises(ValueError, match=r"^Cannot read a trelvar Model: checksum mismatch: the bytes are corrupted$"):
        trv.Model._from_bytes(data[:30] + bytes([data[30] ^ 1]) + data[31:])
    with pytest.raises(ValueError, match=r"^Cannot read a trelvar Data: the bytes hold a Model, not a Data$"):
        trv.Data._from_bytes(data)
    with pytest.raises(ValueError, match=r"^Cannot read a trelvar SE3: the input does not start with the magic"):
        trv.SE3._from_bytes(b"not a placement at all, really")
    with pytest.raises(TypeError, match=r"^argument 'data': 'str' object cannot be converted to 'PyBytes'$"):
        trv.SE3._from_bytes("TRLV")


@settings(deadline=None, max_examples=200)
@given(which=st.integers(0, 2), cut=st.floats(0.0, 1.0, exclude_max=True),
       flips=st.lists(st.tuples(st.floats(0.0, 1.0, exclude_max=True), st.integers(0, 7)), max_size=3))
def test_damaged_pickles_raise_or_load_unchanged(samples, which, cut, flips):
    obj = samples[which]
    good = pickle.dumps(obj)
    damaged = bytearray(good)
    for where, bit in flips:
        damaged[int(where * len(damaged))] ^= 1 << bit
    if not flips:
        damaged = damaged[:int(cut * len(damaged))]
    try:
        back = pickle.loads(bytes(damaged))
    except Exception:
        return  # pickle's own errors, or ValueError from the loader
    # A flip that pickle ignores (say, in a memo index) changes nothing.
    assert pickle.dumps(back) == good


@settings(deadline=None, max_examples=200)
@given(st.binary(max_size=300))
def test_random_bytes_are_refused(data):
    for cls in (trv.Model, trv.Data, trv.SE3):
        with pytest.raises(ValueError, match=f"^Cannot read a trelvar {cls.__name__}: "):
            cls._from_bytes(data)

"""What the algorithms compute and what a model holds, read back as attributes:
identities between the Data buffers, the Model structure rebuilt through
add_joint and set_inertia, the SE3 parts, and the linear-first order of every
6-vector."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import trelvar as trv
from conftest import model_path
from test_properties import close, mechanisms, state

BUNDLED = ["arm7", "arm6", "quadruped", "humanoid", "tree30"]
SIZES = {"fixed": (0, 0), "revolute": (1, 1), "continuous": (2, 1), "prismatic": (1, 1),
         "planar": (4, 3), "floating": (7, 6), "spherical": (4, 3)}
W = trv.ReferenceFrame.WORLD


def rotation(axis, angle):
    """Rodrigues' formula."""
    k = np.asarray(axis, float) / np.linalg.norm(axis)
    K = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(angle) * K + (1 - np.cos(angle)) * K @ K


@st.composite
def built_trees(draw):
    """A random tree built joint by joint from Python, with the kinds add_joint
    takes, random placements and positive-definite inertias."""
    m = trv.Model()
    unit = st.floats(-1.0, 1.0, allow_nan=False)
    for k in range(1, draw(st.integers(1, 8)) + 1):
        kind = draw(st.sampled_from(["revolute", "prismatic", "fixed", "floating"]))
        axis = np.array([draw(unit) for _ in range(3)]) + np.array([0.0, 0.0, 1.5])
        R = rotation([draw(unit) for _ in range(2)] + [1.0], 3 * draw(unit))
        t = np.array([draw(unit) for _ in range(3)])
        m.add_joint(draw(st.integers(0, k - 1)), kind, axis, trv.SE3(R, t), f"j{k}")
        Rb = rotation([1.0, draw(unit), draw(unit)], 3 * draw(unit))
        moments = np.array([draw(st.floats(0.01, 1.0)) for _ in range(3)])
        D = np.diag([moments[1] + moments[2], moments[0] + moments[2], moments[0] + moments[1]])
        m.set_inertia(k, draw(st.floats(0.01, 5.0)), 0.3 * np.array([draw(unit) for _ in range(3)]),
                      Rb @ D @ Rb.T)
    return m


def bundled(name):
    return trv.parse_urdf_file(model_path(name))


# ---- Data: identities after the algorithms that fill it -------------------------------------

def check_all_terms_identities(m, seed):
    d = m.createData()
    q, v, _ = state(m, seed)
    trv.computeAllTerms(m, d, q, v)
    assert np.array_equal(d.nle, trv.non_linear_effects(m, m.createData(), q, v))
    assert close(d.Jcom @ v, d.vcom[0], 1e-12)
    assert close(d.Ag @ v, d.hg, 1e-12)
    assert close(np.array(d.kinetic_energy), 0.5 * v @ d.M @ v, 1e-12)
    assert d.mechanical_energy == d.kinetic_energy + d.potential_energy
    # Joint 0 carries the body fixed to the world (a URDF root link): nothing moves it.
    masses = m.masses[1:]
    assert close(np.array(d.mass[0]), masses.sum(), 1e-13)
    if masses.sum() > 1e-10:
        world_coms = np.array([x.act(c) for x, c in zip(d.oMi[1:], m.levers[1:])])
        assert close(d.com[0], masses @ world_coms / masses.sum(), 1e-12)
        # The centroidal inertia is the whole mechanism's about its centre of mass.
        assert np.array_equal(d.Ig[:3, :3], d.mass[0] * np.eye(3))
        assert np.array_equal(d.Ig[:3, 3:], np.zeros((3, 3)))


@pytest.mark.parametrize("name", BUNDLED)
def test_all_terms_identities_on_bundled_models(name):
    check_all_terms_identities(bundled(name), 7)


@settings(deadline=None, max_examples=40,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(mechanisms(), st.integers(0, 2**32 - 1))
def test_all_terms_identities_on_random_mechanisms(urdf, seed):
    check_all_terms_identities(trv.parse_urdf_from_string(urdf), seed)


@settings(deadline=None, max_examples=40, suppress_health_check=[HealthCheck.too_slow])
@given(built_trees(), st.integers(0, 2**32 - 1))
def test_all_terms_identities_on_trees_built_joint_by_joint(m, seed):
    check_all_terms_identities(m, seed)


def support_columns(m, i):
    return [c for j in m.supports[i][1:] for c in range(m.idx_vs[j], m.idx_vs[j] + m.nvs[j])]


@pytest.mark.parametrize("name", BUNDLED)
def test_world_jacobian_is_the_frame_jacobian_of_every_branch(name):
    m = bundled(name)
    d = m.createData()
    q, v, _ = state(m, 3)
    trv.computeJointJacobians(m, d, q)
    leaves = [i for i in range(1, m.njoints) if not m.children[i]]
    assert leaves
    for leaf in leaves:
        frame = next(k for k, f in enumerate(m.frames)
                     if f.parent == leaf and f.type == "FrameType(JOINT)")
        cols = support_columns(m, leaf)
        Jf = trv.getFrameJacobian(m, d, frame, W)
        assert np.array_equal(d.J[:, cols], Jf[:, cols])
        assert not np.delete(Jf, cols, axis=1).any()
    # Over a joint's support the Jacobian columns give the joint's world velocity,
    # both linear part first.
    trv.computeJointJacobiansTimeVariation(m, d, q, v)
    ov = d.ov
    for i in range(1, m.njoints):
        cols = support_columns(m, i)
        assert close(d.J[:, cols] @ v[cols], ov[i], 1e-12)


def test_six_vectors_are_linear_part_first():
    # One prismatic joint along x, then a revolute joint about z, carrying a point mass.
    m = trv.Model()
    m.add_joint(0, "prismatic", np.array([1.0, 0.0, 0.0]), trv.SE3.identity(), "slide")
    m.add_joint(1, "revolute", np.array([0.0, 0.0, 1.0]), trv.SE3.identity(), "turn")
    m.set_inertia(2, 2.0, np.zeros(3), np.zeros((3, 3)))
    d = m.createData()
    q, v = np.zeros(2), np.array([3.0, 5.0])
    trv.computeAllTerms(m, d, q, v)
    np.testing.assert_array_equal(d.ov[1], [3, 0, 0, 0, 0, 0])
    np.testing.assert_array_equal(d.v[2], [3, 0, 0, 0, 0, 5])
    np.testing.assert_array_equal(d.hg, [6, 0, 0, 0, 0, 0])  # momentum m v, no spin
    np.testing.assert_array_equal(d.Ag, [[2, 0], [0, 0], [0, 0], [0, 0], [0, 0], [0, 0]])
    np.testing.assert_array_equal(d.J, [[1, 0], [0, 0], [0, 0], [0, 0], [0, 0], [0, 1]])
    # Held still against gravity the joint transmits the weight, force part first.
    trv.rnea(m, d, q, np.zeros(2), np.zeros(2))
    np.testing.assert_allclose(d.f[2], [0, 0, 2 * 9.81, 0, 0, 0], rtol=1e-15)
    np.testing.assert_allclose(d.a[0], [0, 0, 9.81, 0, 0, 0], rtol=1e-15)  # the gravity offset


def test_spatial_inertias_are_six_by_six_matrices():
    m = trv.Model()
    m.add_joint(0, "revolute", np.array([0.0, 0.0, 1.0]), trv.SE3.identity(), "j")
    I = np.array([[0.2, 0.01, 0.0], [0.01, 0.3, 0.02], [0.0, 0.02, 0.4]])
    c = np.array([0.5, 0.0, 0.1])
    m.set_inertia(1, 2.0, c, I)
    d = m.createData()
    trv.computeAllTerms(m, d, np.zeros(1), np.array([1.5]))
    cx = np.array([[0, -c[2], c[1]], [c[2], 0, -c[0]], [-c[1], c[0], 0]])
    Y = np.block([[2.0 * np.eye(3), -2.0 * cx], [2.0 * cx, I + 2.0 * cx @ cx.T]])
    np.testing.assert_allclose(d.oYcrb[1], Y, rtol=1e-15, atol=1e-16)
    np.testing.assert_allclose(d.oYcrb[0], Y, rtol=1e-15, atol=1e-16)
    np.testing.assert_allclose(d.Ig, np.block([[2.0 * np.eye(3), np.zeros((3, 3))],
                                               [np.zeros((3, 3)), I]]), atol=1e-16)
    # The same quantities through M: one revolute joint about z is Izz + m |c_xy|^2.
    assert d.M[0, 0] == pytest.approx(0.4 + 2.0 * 0.25, rel=1e-15)
    assert d.kinetic_energy == pytest.approx(0.5 * 1.5**2 * (0.4 + 2.0 * 0.25), rel=1e-15)


DATA_SHAPES = [("tau", (7,)), ("nle", (7,)), ("J", (6, 7)), ("dJ", (6, 7)), ("Ag", (6, 7)),
               ("dAg", (6, 7)), ("Jcom", (3, 7)), ("com", (9, 3)), ("vcom", (9, 3)), ("mass", (9,)),
               ("v", (9, 6)), ("a", (9, 6)), ("f", (9, 6)), ("ov", (9, 6)), ("a_gf", (9, 6)),
               ("h", (9, 6)), ("oYcrb", (9, 6, 6)), ("hg", (6,)), ("dhg", (6,)), ("Ig", (6, 6))]


@pytest.mark.parametrize("name, shape", DATA_SHAPES)
def test_data_arrays_are_fresh_read_only_copies(name, shape):
    m = bundled("arm7")
    d = m.createData()
    q, v, _ = state(m, 1)
    trv.computeAllTerms(m, d, q, v)
    x = getattr(d, name)
    assert x.shape == shape and x.dtype == np.float64 and x.flags.c_contiguous and x.flags.owndata
    before = x.copy()
    x[...] = 123.0
    np.testing.assert_array_equal(getattr(d, name), before)
    with pytest.raises(AttributeError):
        setattr(d, name, before)
    d.reset()
    assert not getattr(d, name).any()


def test_data_placements_and_energies():
    m = bundled("arm7")
    d = m.createData()
    assert (d.kinetic_energy, d.potential_energy, d.mechanical_energy) == (0.0, 0.0, 0.0)
    q, v, _ = state(m, 2)
    trv.forwardKinematics(m, d, q)
    liMi, oMi = d.liMi, d.oMi
    assert len(liMi) == m.njoints
    for i in range(1, m.njoints):
        p = m.parents[i]
        expected = liMi[i] if p == 0 else oMi[p].compose(liMi[i])
        np.testing.assert_array_equal(oMi[i].homogeneous, expected.homogeneous)
    trv.computeAllTerms(m, d, q, np.zeros(m.nv))
    assert d.kinetic_energy == 0.0
    # Potential energy: minus the work of gravity on each body's world centre of mass.
    g = m.gravity
    coms = np.array([x.act(c) for x, c in zip(d.oMi[1:], m.levers[1:])])
    assert d.potential_energy == pytest.approx(-(m.masses[1:] * (coms @ g)).sum(), rel=1e-12)
    assert d.potential_energy == d.mechanical_energy


# ---- Model: structure and bodies ----------------------------------------------------------

@pytest.mark.parametrize("name", BUNDLED + ["chain_8"])
def test_structure_lists_agree(name):
    m = bundled(name)
    n = m.njoints
    for attr in ("parents", "idx_qs", "nqs", "idx_vs", "nvs", "joint_types", "placements",
                 "children", "supports", "subtrees"):
        assert len(getattr(m, attr)) == n, attr
    q, v = np.arange(m.nq), np.arange(m.nv)
    q_slices = [q[m.idx_qs[i]:m.idx_qs[i] + m.nqs[i]] for i in range(n)]
    v_slices = [v[m.idx_vs[i]:m.idx_vs[i] + m.nvs[i]] for i in range(n)]
    assert [(len(a), len(b)) for a, b in zip(q_slices, v_slices)] == [SIZES[t] for t in m.joint_types]
    np.testing.assert_array_equal(np.concatenate(q_slices), q)  # the slices tile q and v
    np.testing.assert_array_equal(np.concatenate(v_slices), v)
    assert m.supports[0] == [0] and m.parents[0] == 0
    for i in range(1, n):
        assert m.supports[i] == m.supports[m.parents[i]] + [i]
        assert i in m.children[m.parents[i]]
        assert sorted(m.subtrees[i]) == sorted([j for j in range(n) if i in m.supports[j]])
    assert sorted(m.subtrees[0]) == list(range(1, n))


def test_structure_of_a_small_tree():
    m = trv.Model()
    z = np.array([0.0, 0.0, 2.0])
    m.add_joint(0, "floating", np.zeros(1), trv.SE3.identity(), "base")
    m.add_joint(1, "revolute", z, trv.SE3.identity(), "a")
    m.add_joint(1, "prismatic", z, trv.SE3.identity(), "b")
    m.add_joint(2, "fixed", z, trv.SE3.identity(), "c")
    assert m.parents == [0, 0, 1, 1, 2]
    assert (m.idx_qs, m.nqs, m.idx_vs, m.nvs) == ([0, 0, 7, 8, 9], [0, 7, 1, 1, 0],
                                                  [0, 0, 6, 7, 8], [0, 6, 1, 1, 0])
    assert m.joint_types == ["fixed", "floating", "revolute", "prismatic", "fixed"]
    np.testing.assert_array_equal(m.axes, [[0, 0, 0], [0, 0, 0], [0, 0, 2], [0, 0, 2], [0, 0, 0]])
    assert m.children == [[1], [2, 3], [4], [], []]
    assert m.supports == [[0], [0, 1], [0, 1, 2], [0, 1, 3], [0, 1, 2, 4]]
    assert m.subtrees == [[1, 2, 3, 4], [1, 2, 3, 4], [2, 4], [3], [4]]
    assert not m.masses.any() and not m.levers.any() and not m.rotational_inertias.any()
    assert m.rotational_inertias.shape == (5, 3, 3)


def test_urdf_only_kinds_are_named_in_lower_case():
    urdf = ("<robot name='r'><link name='a'/><link name='b'/><link name='c'/><link name='d'/>"
            + "".join(f"<joint name='{j}' type='{t}'><parent link='{p}'/><child link='{c}'/>"
                      "<axis xyz='0 1 0'/></joint>"
                      for j, t, p, c in [("j1", "continuous", "a", "b"), ("j2", "planar", "b", "c"),
                                         ("j3", "spherical", "c", "d")])
            + "</robot>")
    m = trv.parse_urdf_from_string(urdf)
    assert m.joint_types == ["fixed", "continuous", "planar", "spherical"]
    assert (m.nqs, m.nvs) == ([0, 2, 4, 4], [0, 1, 3, 3])


def rebuild(m):
    """A new model made only from what the properties of `m` tell."""
    r = trv.Model()
    for i in range(1, m.njoints):
        r.add_joint(m.parents[i], m.joint_types[i], m.axes[i], m.placements[i], m.names[i])
    masses, levers, inertias = m.masses, m.levers, m.rotational_inertias
    for i in range(m.njoints):
        r.set_inertia(i, masses[i], levers[i], inertias[i])
    r.set_gravity_full(m.gravity_full)
    return r


def outputs(m, seed):
    """Every result of every algorithm at one state, as arrays."""
    d = m.createData()
    q, v, a = state(m, seed)
    out = [trv.rnea(m, d, q, v, a), trv.crba(m, d, q), trv.non_linear_effects(m, d, q, v),
           trv.compute_gravity(m, d, q)]
    trv.computeAllTerms(m, d, q, v)
    out += [getattr(d, name) for name, _ in DATA_SHAPES if name != "tau"]
    out += [d.M, d.g, np.array([d.kinetic_energy, d.potential_energy])]
    out += [x.homogeneous for x in d.oMi + d.liMi]
    trv.computeCoriolisMatrix(m, d, q, v)
    trv.computeJointJacobiansTimeVariation(m, d, q, v)
    out += [d.C, d.J, d.dJ]
    out += [trv.computeJointJacobian(m, d, q, j) for j in range(m.njoints)]
    return out


def same_structure(m, r):
    for attr in ("nq", "nv", "njoints", "names", "parents", "idx_qs", "nqs", "idx_vs", "nvs",
                 "joint_types", "children", "supports", "subtrees"):
        assert getattr(m, attr) == getattr(r, attr), attr
    for attr in ("axes", "masses", "levers", "rotational_inertias", "gravity_full"):
        assert np.array_equal(getattr(m, attr), getattr(r, attr)), attr
    for x, y in zip(m.placements, r.placements):
        assert np.array_equal(x.homogeneous, y.homogeneous)


@pytest.mark.parametrize("name", BUNDLED)
def test_properties_rebuild_an_identical_bundled_model(name):
    m = bundled(name)
    r = rebuild(m)
    same_structure(m, r)
    for x, y in zip(outputs(m, 5), outputs(r, 5)):
        assert np.array_equal(x, y)


@settings(deadline=None, max_examples=30, suppress_health_check=[HealthCheck.too_slow])
@given(built_trees(), st.integers(0, 2**32 - 1))
def test_properties_rebuild_an_identical_tree(m, seed):
    r = rebuild(m)
    same_structure(m, r)
    for x, y in zip(outputs(m, seed), outputs(r, seed)):
        assert np.array_equal(x, y)


def test_frames_are_read_only_records():
    # A link and a joint may share a name: getFrameId returns the first frame,
    # the frame list shows both.
    urdf = ("<robot name='r'><link name='base'/><link name='twin'/>"
            "<joint name='twin' type='revolute'><parent link='base'/><child link='twin'/>"
            "<axis xyz='0 0 1'/></joint></robot>")
    m = trv.parse_urdf_from_string(urdf)
    frames = m.frames
    assert len(frames) == m.nframes
    described = [(f.name, f.parent, f.type) for f in frames]
    assert described[0] == ("universe", 0, "FrameType(FIXED_JOINT)")
    twins = [k for k, (name, _, _) in enumerate(described) if name == "twin"]
    assert len(twins) == 2 and m.getFrameId("twin") == twins[0]
    assert {described[k][2] for k in twins} == {"FrameType(JOINT)", "FrameType(BODY)"}
    assert all(described[k][1] == 1 for k in twins)
    for f in frames:
        np.testing.assert_array_equal(f.placement.homogeneous, np.eye(4))
        with pytest.raises(AttributeError):
            f.name = "other"
    assert repr(frames[0]) == "Frame(name='universe', parent=0, type=FrameType(FIXED_JOINT))"
    with pytest.raises(TypeError):
        trv.Frame()
    with pytest.raises(TypeError):
        type("Sub", (trv.Frame,), {})
    assert trv.Model().frames[0].name == "universe"


@pytest.mark.parametrize("attr", ["parents", "idx_qs", "nqs", "idx_vs", "nvs", "joint_types", "axes",
                                  "placements", "masses", "levers", "rotational_inertias", "children",
                                  "supports", "subtrees", "frames"])
def test_model_attributes_are_read_only_copies(attr):
    m = bundled("arm7")
    before = getattr(m, attr)
    with pytest.raises(AttributeError):
        setattr(m, attr, before)
    x = getattr(m, attr)
    if isinstance(x, np.ndarray):
        x[...] = 7.0
        assert np.array_equal(getattr(m, attr), before)
    else:
        x.clear()
        assert len(getattr(m, attr)) == (m.nframes if attr == "frames" else m.njoints)


# ---- Model.set_inertia ----------------------------------------------------------------------

def test_set_inertia_feeds_the_dynamics_and_keeps_earlier_data_valid():
    m = trv.Model()
    m.add_joint(0, "revolute", np.array([0.0, 1.0, 0.0]), trv.SE3.identity(), "j")
    d = m.createData()
    mass, l = 2.0, 0.5
    m.set_inertia(1, mass, np.array([l, 0.0, 0.0]), np.diag([0.1, 0.2, 0.3]))
    assert m.masses[1] == mass
    np.testing.assert_array_equal(m.levers[1], [l, 0, 0])
    np.testing.assert_array_equal(m.rotational_inertias[1], np.diag([0.1, 0.2, 0.3]))
    # Holding the body level against gravity: -9.81 m l; the mass matrix about y: Iyy + m l^2.
    assert trv.rnea(m, d, np.zeros(1), np.zeros(1), np.zeros(1))[0] == pytest.approx(-9.81 * mass * l)
    assert trv.crba(m, d, np.zeros(1))[0, 0] == pytest.approx(0.2 + mass * l * l)
    # Integers are numbers too; a rotated inertia, symmetric to rounding, is accepted.
    R = rotation([1.0, 2.0, 3.0], 0.7)
    m.set_inertia(joint_id=1, mass=3, lever=np.zeros(3), rotational_inertia=R @ np.diag([1, 2, 3.0]) @ R.T)
    assert m.masses[1] == 3.0
    np.testing.assert_allclose(m.rotational_inertias[1], R @ np.diag([1, 2, 3.0]) @ R.T, atol=1e-15)
    rot = m.rotational_inertias[1]
    assert np.array_equal(rot, rot.T)


SKEWED = np.eye(3) + np.triu(np.full((3, 3), 1e-6), 1)


@pytest.mark.parametrize("args, error, message", [
    ((2, 1.0, np.zeros(3), np.eye(3)), ValueError, "Joint index 2 is out of range (njoints = 2)"),
    ((1, -0.1, np.zeros(3), np.eye(3)), ValueError, "Body mass must be finite and non-negative"),
    ((1, float("nan"), np.zeros(3), np.eye(3)), ValueError, "Body mass must be finite and non-negative"),
    ((1, 1.0, np.array([0.0, np.inf, 0.0]), np.eye(3)), ValueError, "Centre of mass must be finite"),
    ((1, 1.0, np.zeros(3), SKEWED), ValueError, "Rotational inertia must be symmetric"),
    ((1, 1.0, np.zeros(3), np.full((3, 3), np.nan)), ValueError, "Rotational inertia must be finite"),
    ((1, 1.0, np.zeros(4), np.eye(3)), ValueError, "Lever must be a 3D vector"),
    ((1, 1.0, np.zeros(3), np.eye(4)), ValueError, "Rotational inertia must be a 3x3 matrix"),
    ((1, 1.0, np.arange(6.0)[::2], np.eye(3)), TypeError, "The given array is not contiguous"),
    ((1, 1.0, [0.0, 0.0, 0.0], np.eye(3)), TypeError,
     "argument 'lever': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ((1, "1", np.zeros(3), np.eye(3)), TypeError, "argument 'mass': must be real number, not str"),
    ((1, 1.0, np.zeros(3), np.zeros(3)), TypeError,
     "argument 'rotational_inertia': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ((-1, 1.0, np.zeros(3), np.eye(3)), OverflowError, None),
])
def test_set_inertia_rejects_bad_values_and_changes_nothing(args, error, message):
    m = trv.Model()
    m.add_joint(0, "revolute", np.array([0.0, 0.0, 1.0]), trv.SE3.identity(), "j")
    m.set_inertia(1, 1.5, np.array([0.1, 0.2, 0.3]), np.diag([1.0, 2.0, 3.0]))
    before = (m.masses, m.levers, m.rotational_inertias)
    with pytest.raises(error) as e:
        m.set_inertia(*args)
    if message is not None:
        assert str(e.value) == message
    for x, y in zip(before, (m.masses, m.levers, m.rotational_inertias)):
        assert np.array_equal(x, y)


# ---- SE3 parts and action ---------------------------------------------------------------------

def test_se3_parts_rebuild_the_placement():
    R, t = rotation([1.0, -2.0, 0.5], 1.3), np.array([0.3, -1.2, 2.5])
    x = trv.SE3(R, t).compose(trv.SE3(rotation([0, 1.0, 0], 0.4), np.array([1.0, 0.0, 0.0])))
    y = trv.SE3(x.rotation, x.translation)
    assert np.array_equal(x.homogeneous, y.homogeneous)
    assert x.rotation.shape == (3, 3) and x.translation.shape == (3,)
    for name in ("rotation", "translation"):
        part = getattr(x, name)
        part[...] = 0.0
        assert getattr(x, name).any()
        with pytest.raises(AttributeError):
            setattr(x, name, part)


def test_se3_act_agrees_with_the_homogeneous_matrix():
    x = trv.SE3(rotation([0.2, 1.0, -0.3], 2.1), np.array([0.5, -0.25, 1.0]))
    H = x.homogeneous
    points = np.random.default_rng(0).standard_normal((5, 3))
    moved = x.act(points)
    assert moved.shape == (5, 3)
    np.testing.assert_allclose(moved, (H @ np.c_[points, np.ones(5)].T).T[:, :3], rtol=0, atol=1e-15)
    for p, row in zip(points, moved):
        assert np.array_equal(x.act(p), row)  # one point or many: the same numbers
    assert np.array_equal(x.act(np.asfortranarray(points)), moved)  # any memory order for many
    assert np.array_equal(x.act(points[:, ::-1][:, ::-1]), moved)
    assert x.act(np.zeros((0, 3))).shape == (0, 3)
    np.testing.assert_array_equal(x.act(np.zeros(3)), x.translation)
    np.testing.assert_array_equal(x.inverse().act(x.translation), np.zeros(3))


@pytest.mark.parametrize("point, error", [
    (np.zeros(4), ValueError), (np.zeros((2, 4)), ValueError), (np.zeros((2, 3, 1)), TypeError),
    ([0.0, 0.0, 0.0], TypeError), (np.zeros(3, dtype=np.float32), TypeError),
    (np.arange(9.0)[::3], TypeError),
])
def test_se3_act_rejects_bad_points(point, error):
    with pytest.raises(error):
        trv.SE3.identity().act(point)


# ---- access flags ---------------------------------------------------------------------------

def test_attribute_reads_take_the_objects_shared():
    m = bundled("arm7")
    d = m.createData()
    seen = []

    class Sneaky:
        def __index__(self):
            for read in (lambda: d.J, lambda: d.hg, lambda: m.masses, lambda: m.frames):
                try:
                    read()
                    seen.append("read")
                except RuntimeError as e:
                    seen.append(str(e))
            try:
                m.set_inertia(1, 1.0, np.zeros(3), np.eye(3))  # wants the model exclusively
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    trv.computeJointJacobian(m, d, trv.neutral(m), Sneaky())
    assert seen == ["Already mutably borrowed", "Already mutably borrowed", "read", "read",
                    "Already borrowed"]

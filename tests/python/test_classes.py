"""The SE3, ReferenceFrame, Model and Data classes."""
import inspect
import math

import numpy as np
import pytest

import trelvar as trv
from conftest import chain_model, model_path


def rot_z(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


# ---- SE3 ---------------------------------------------------------------------------

def test_se3_construction_and_homogeneous():
    np.testing.assert_array_equal(trv.SE3(np.eye(3), np.zeros(3)).homogeneous, np.eye(4))
    np.testing.assert_array_equal(trv.SE3.identity().to_homogeneous(), np.eye(4))
    r = np.arange(9.0).reshape(3, 3)
    t = np.array([1.0, 2.0, 3.0])
    h = trv.SE3(r, t).homogeneous
    np.testing.assert_array_equal(h[:3, :3], r)
    np.testing.assert_array_equal(h[:3, 3], t)
    np.testing.assert_array_equal(h[3], [0, 0, 0, 1])
    # Fortran-ordered and strided rotations are read by their indices.
    np.testing.assert_array_equal(trv.SE3(np.asfortranarray(r.T), t).homogeneous[:3, :3], r.T)
    big = np.arange(36.0).reshape(6, 6)
    np.testing.assert_array_equal(trv.SE3(big[::2, ::2], t).homogeneous[:3, :3], big[::2, ::2])


@pytest.mark.parametrize("rotation, translation", [
    (np.eye(3), np.zeros(4)), (np.eye(4), np.zeros(3)), (np.eye(3)[:2], np.zeros(3)),
])
def test_se3_shape_errors(rotation, translation):
    with pytest.raises(ValueError) as e:
        trv.SE3(rotation, translation)
    assert str(e.value) == "Rotation must be 3x3 matrix and translation must be 3D vector"


def test_se3_argument_errors():
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        trv.SE3(np.eye(3), np.arange(6.0)[::2])
    with pytest.raises(TypeError, match="argument 'rotation'"):
        trv.SE3(np.zeros(3), np.zeros(3))
    with pytest.raises(TypeError, match="argument 'translation'"):
        trv.SE3(np.eye(3), [0.0, 0.0, 0.0])


def test_se3_compose_and_inverse():
    a = trv.SE3(rot_z(0.3), np.array([1.0, 2.0, 3.0]))
    b = trv.SE3(rot_z(-1.1), np.array([0.5, 0.0, -1.0]))
    np.testing.assert_allclose(a.compose(b).homogeneous, a.homogeneous @ b.homogeneous, atol=1e-15)
    np.testing.assert_allclose(a.compose(a.inverse()).homogeneous, np.eye(4), atol=1e-15)
    assert not np.allclose(a.compose(b).homogeneous, b.compose(a).homogeneous)
    # A non-orthonormal rotation is kept and composes as a plain product.
    s = trv.SE3(2 * np.eye(3), np.zeros(3))
    np.testing.assert_array_equal(s.compose(s).homogeneous[:3, :3], 4 * np.eye(3))
    assert repr(a) == str(a) == "SE3(rotation=..., translation=...)"


def test_se3_is_immutable():
    x = trv.SE3.identity()
    with pytest.raises(AttributeError):
        x.homogeneous = np.eye(4)
    h = x.homogeneous
    h[0, 0] = 5.0
    assert x.homogeneous[0, 0] == 1.0


# ---- ReferenceFrame ------------------------------------------------------------------

def test_reference_frame():
    assert trv.ReferenceFrame.LOCAL is trv.ReferenceFrame.LOCAL
    assert repr(trv.ReferenceFrame()) == "ReferenceFrame.WORLD"
    assert repr(trv.ReferenceFrame.LOCAL) == "ReferenceFrame.LOCAL"
    assert repr(trv.ReferenceFrame.LOCAL_WORLD_ALIGNED) == "ReferenceFrame.LOCAL_WORLD_ALIGNED"
    assert (trv.ReferenceFrame() == trv.ReferenceFrame.WORLD) is False
    with pytest.raises(TypeError):
        int(trv.ReferenceFrame.LOCAL)


def test_classes_are_final():
    for cls in (trv.Model, trv.Data, trv.SE3, trv.ReferenceFrame):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


# ---- signatures and docstrings -----------------------------------------------------------

@pytest.mark.parametrize("obj, signature", [
    (trv.Model, "()"), (trv.Data, "(model)"), (trv.SE3, "(rotation, translation)"),
    (trv.ReferenceFrame, "()"), (trv.SE3.identity, "()"), (trv.SE3.identity().compose, "(other)"),
    (trv.Model().add_joint, "(parent, joint_type, axis, placement, name)"),
    (trv.Model().set_gravity_angular, "(gravity_angular)"),
    (trv.Model().createData().get_joint_placement, "(joint_id)"),
    (trv.rnea, "(model, data, q, v, a)"), (trv.neutral, "(model)"),
    (trv.getFrameJacobian, "(model, data, frame_id, reference_frame)"),
    (trv.parse_urdf_from_string, "(urdf_string)"),
])
def test_text_signatures(obj, signature):
    assert str(inspect.signature(obj)) == signature


@pytest.mark.parametrize("obj, doc", [
    (trv.Model, None), (trv.rnea, None), (trv.crba, None), (trv.neutral, None),
    (trv.Model.add_joint, None), (trv.Data.reset, None),
    (trv.Model.createData, "Create a Data object for this model"),
    (trv.Model.print_info, "Print model information"),
    (trv.Data.to_string_info, "Get string representation of data structure information"),
    (trv.Model.gravity, "Get gravity vector (linear part) [x, y, z] in m/s²"),
    (trv.Model.gravity_full,
     "Get full 6D gravity [linear_x, linear_y, linear_z, angular_x, angular_y, angular_z]"),
    (trv.Model.nq, None),
    (trv.Data.C, "Get Coriolis matrix C as a numpy array (nv x nv)"),
    (trv.SE3.homogeneous, "Get homogeneous matrix as a property (alias for to_homogeneous)"),
    (trv.Model.set_gravity,
     "Set gravity vector (linear part)\n\n# Arguments\n* `gravity` - Gravity vector [x, y, z] in m/s²"),
])
def test_docstrings(obj, doc):
    assert obj.__doc__ == doc


def test_long_docstrings():
    assert trv.computeCoriolisMatrix.__doc__.splitlines()[3] == "M(q) * ddq + C(q, dq) * dq + g(q) = tau"
    assert trv.computeJointJacobian.__doc__.endswith(
        "6×nv Jacobian matrix expressed in the local frame of the joint")
    assert "`dJ = [ov]× * J` (motion action)" in trv.computeJointJacobiansTimeVariation.__doc__
    assert trv.computeAllTerms.__doc__.startswith(
        "Compute all terms (forward kinematics, velocities, accelerations, etc.)\n\n")
    assert trv.Data.M.__doc__.startswith("Get mass matrix M as a numpy array (nv x nv)\n\nReturns")


# ---- Model ---------------------------------------------------------------------------

def test_fresh_model():
    m = trv.Model()
    assert m.names == ["universe"]
    np.testing.assert_array_equal(m.gravity_full, [0, 0, -9.81, 0, 0, 0])
    assert (m.nq, m.nv, m.njoints, m.nframes, m.name) == (0, 0, 1, 1, "")
    assert m.lowerPositionLimit.shape == (0,)
    assert repr(m) == "Model(name='', njoints=1, nframes=1, nq=0, nv=0)"
    assert m.get_joint_id("universe") == 0
    assert m.getFrameId("universe") == 0
    assert m.get_joint_id("nobody") is None and m.getFrameId("nobody") is None


@pytest.mark.parametrize("prop", ["nq", "nv", "njoints", "nframes", "names", "name", "gravity",
                                  "gravity_angular", "gravity_full", "lowerPositionLimit",
                                  "upperPositionLimit"])
def test_model_properties_are_read_only(prop):
    with pytest.raises(AttributeError):
        setattr(trv.Model(), prop, 1)


@pytest.mark.parametrize("prop", ["M", "C", "g", "oMi"])
def test_data_properties_are_read_only(prop):
    with pytest.raises(AttributeError):
        setattr(trv.Model().createData(), prop, 1)


def test_gravity_setters():
    m = trv.Model()
    m.set_gravity_full(np.array([1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))
    np.testing.assert_array_equal(m.gravity, [1, 2, 3])
    np.testing.assert_array_equal(m.gravity_angular, [4, 5, 6])
    m.set_gravity(np.array([0.0, 0.0, -1.0]))
    m.set_gravity_angular(np.array([0.1, 0.2, 0.3]))
    np.testing.assert_array_equal(m.gravity_full, [0, 0, -1, 0.1, 0.2, 0.3])
    for setter, arg, message in [
        (m.set_gravity, np.zeros(4), "Gravity vector must have 3 elements [x, y, z]"),
        (m.set_gravity_angular, np.zeros(2), "Gravity angular vector must have 3 elements [wx, wy, wz]"),
        (m.set_gravity_full, np.zeros(3), "Full gravity vector must have 6 elements [lx, ly, lz, wx, wy, wz]"),
    ]:
        with pytest.raises(ValueError) as e:
            setter(arg)
        assert str(e.value) == message
    with pytest.raises(TypeError, match="argument 'gravity'"):
        m.set_gravity_full([0.0] * 6)
    with pytest.raises(TypeError, match="argument 'gravity_angular'"):
        m.set_gravity_angular([0.0] * 3)
    np.testing.assert_array_equal(m.gravity_full, [0, 0, -1, 0.1, 0.2, 0.3])


def test_gravity_change_affects_the_next_call():
    m = chain_model(1, axis=(0.0, 1.0, 0.0))
    m2 = trv.parse_urdf_from_string(
        '<robot name="p"><link name="b"/><link name="l"><inertial><origin xyz="0.5 0 0"/>'
        '<mass value="2"/><inertia ixx="0" ixy="0" ixz="0" iyy="0" iyz="0" izz="0"/></inertial>'
        '</link><joint name="j" type="revolute"><parent link="b"/><child link="l"/>'
        '<axis xyz="0 1 0"/></joint></robot>')
    d = m2.createData()
    np.testing.assert_allclose(trv.compute_gravity(m2, d, np.zeros(1)), [-9.81 * 2 * 0.5])
    m2.set_gravity(np.array([0.0, 0.0, -1.0]))
    np.testing.assert_allclose(trv.compute_gravity(m2, d, np.zeros(1)), [-1.0])
    assert m.nq == 1


def test_add_joint():
    m = trv.Model()
    assert m.add_joint(0, "revolute", np.array([0.0, 0.0, 1.0]), trv.SE3.identity(), "j1") == 1
    assert (m.nq, m.nv) == (1, 1)
    assert m.add_joint(1, "floating", np.zeros(1), trv.SE3.identity(), "base") == 2
    assert (m.nq, m.nv, m.nframes) == (8, 7, 1)
    assert m.add_joint(2, "fixed", np.zeros(0), trv.SE3.identity(), "j1") == 3
    assert m.get_joint_id("j1") == 1
    assert m.add_joint(0, "prismatic", np.array([1.0, 0.0, 0.0]), trv.SE3.identity(), "p") == 4
    assert m.names == ["universe", "j1", "base", "j1", "p"]
    before = repr(m)
    for args, exc, message in [
        ((0, "revolute", np.zeros(2), trv.SE3.identity(), "x"), ValueError, "Axis must be a 3D vector"),
        ((0, "Revolute", np.zeros(3), trv.SE3.identity(), "x"), ValueError, "Unknown joint type: Revolute"),
        ((0, "continuous", np.zeros(3), trv.SE3.identity(), "x"), ValueError,
         "Unknown joint type: continuous"),
        ((0, "fixed", np.arange(6.0)[::2], trv.SE3.identity(), "x"), TypeError,
         "The given array is not contiguous"),
    ]:
        with pytest.raises(exc) as e:
            m.add_joint(*args)
        assert str(e.value) == message
    with pytest.raises(OverflowError):
        m.add_joint(-1, "fixed", np.zeros(3), trv.SE3.identity(), "x")
    with pytest.raises(ValueError, match="Parent joint index 5 is out of range"):
        m.add_joint(5, "fixed", np.zeros(3), trv.SE3.identity(), "x")
    assert repr(m) == before


def test_set_name_and_info_text(capfd):
    m = chain_model(2)
    m.set_name("demo")
    assert m.name == "demo"
    text = m.to_string_info()
    assert text == str(m)
    assert text.splitlines() == [
        "========== Model Information ==========",
        "Model name: demo",
        "Number of joints: 3",
        "Number of frames: 1",
        "Number of bodies: 3",
        "Number of DOF (nq): 2",
        "Number of velocity DOF (nv): 2",
        "",
        "========== Joint Information ==========",
        "Joint 0: universe (parent: 0)",
        "Joint 1: j1 (parent: 0)",
        "Joint 2: j2 (parent: 1)",
        "",
        "========== Frame Information ==========",
        "Frame 0: universe (type: FrameType(FIXED_JOINT), parent: 0)",
        "=" * 39,
    ]
    assert text.endswith("=" * 39 + "\n")
    assert m.print_info() is None
    assert capfd.readouterr().out == text + "\n"


def test_urdf_frames_in_info_text():
    m = trv.parse_urdf_file(model_path("arm7"))
    lines = m.to_string_info().splitlines()
    assert "Frame 1: base_link (type: FrameType(BODY), parent: 0)" in lines
    assert "Frame 2: joint1 (type: FrameType(JOINT), parent: 1)" in lines
    assert m.getFrameId("link1") == 3


# ---- Data ----------------------------------------------------------------------------------

def test_data_construction_and_placements():
    m = chain_model(2)
    d = trv.Data(model=m)
    assert repr(d) == "Data(njoints=3, nq=2, nv=2)"
    np.testing.assert_array_equal(d.get_joint_placement(2).homogeneous, np.eye(4))
    with pytest.raises(IndexError) as e:
        d.get_joint_placement(3)
    assert str(e.value) == "Joint ID 3 out of range (max: 2)"
    with pytest.raises(TypeError, match="argument 'model': 'int' object cannot be converted to 'Model'"):
        trv.Data(3)
    trv.forwardKinematics(m, d, np.array([math.pi / 2, 0.0]))
    placements = d.oMi
    assert len(placements) == 3
    np.testing.assert_allclose(placements[2].homogeneous[:3, 3], [0.0, 1.0, 0.0], atol=1e-15)
    np.testing.assert_allclose(d.get_joint_translation(2), [0.0, 1.0, 0.0], atol=1e-15)
    d.reset()
    np.testing.assert_array_equal(d.get_joint_placement(2).homogeneous, np.eye(4))


def test_fresh_data_info_text():
    d = chain_model(2).createData()
    assert d.to_string_info().splitlines() == [
        "========== Data Information ==========",
        "Dimensions:",
        "  njoints: 3",
        "  nq:      2",
        "  nv:      2",
        "",
        "Joint Placements (first 3):",
        "  Joint 0: position = [  0.0000,   0.0000,   0.0000]",
        "  Joint 1: position = [  0.0000,   0.0000,   0.0000]",
        "  Joint 2: position = [  0.0000,   0.0000,   0.0000]",
        "=" * 37,
    ]


def test_data_info_text_sections(capfd):
    m = chain_model(12, axis=(0.0, 1.0, 0.0), offset=(0.0, 0.0, 0.5))
    # Bodies so that the torques and the mass matrix are not zero.
    urdf = trv.parse_urdf_file(model_path("chain_16"))
    d = urdf.createData()
    q = np.full(16, 0.1)
    trv.rnea(urdf, d, q, np.ones(16), np.ones(16))
    trv.compute_gravity(urdf, d, q)
    trv.rnea(urdf, d, q, np.ones(16), np.ones(16))
    M = trv.crba(urdf, d, q)
    lines = d.to_string_info().splitlines()
    assert lines[6] == "Joint Placements (first 5):"
    assert lines[12] == "  ... (12 more joints)"
    tau_at = lines.index("Joint Torques (tau):")
    assert lines[tau_at + 11] == "  ... (6 more)"
    assert lines[tau_at + 1].startswith("  tau[0] = ") and len(lines[tau_at + 1]) == len("  tau[0] = ") + 12
    g_at = lines.index("Gravity Vector (g):")
    assert lines[g_at + 1] == f"  g[0] = {d.g[0]:12.6f}"
    m_at = lines.index("Mass Matrix (M):")
    assert lines[m_at + 1] == "  Size: 16x16"
    assert lines[m_at + 2] == "  Top-left 5x5 block:"
    assert lines[m_at + 3] == "    " + "".join(f"{x:10.4f} " for x in M[0, :5])
    assert lines[m_at + 4].startswith("    " + f"{0.0:10.4f} ")  # the stored lower triangle is zero
    assert lines[m_at + 8] == "  ... (larger matrix)"
    assert lines[-1] == "=" * 37
    d.print_info()
    assert capfd.readouterr().out == d.to_string_info() + "\n"
    assert m.nq == 12


def test_data_info_text_small_matrix_and_tiny_torques():
    m = trv.parse_urdf_file(model_path("chain_8"))
    m.set_gravity(np.zeros(3))
    d = m.createData()
    trv.rnea(m, d, np.zeros(8), np.zeros(8), np.zeros(8))  # all torques zero
    assert "Joint Torques (tau):" not in d.to_string_info()
    small = trv.parse_urdf_from_string(
        '<robot name="s"><link name="b"/>' + "".join(
            f'<link name="l{k}"><inertial><mass value="1"/><inertia ixx="1" ixy="0" ixz="0" iyy="1" '
            f'iyz="0" izz="1"/></inertial></link><joint name="j{k}" type="revolute"><parent '
            f'link="{"b" if k == 0 else f"l{k - 1}"}"/><child link="l{k}"/></joint>' for k in range(3))
        + "</robot>")
    ds = small.createData()
    trv.crba(small, ds, np.zeros(3))
    text = ds.to_string_info()
    assert "  Top-left 3x3 block:" in text and "(larger matrix)" not in text


def test_non_finite_numbers_in_info_text():
    m = trv.Model()
    m.add_joint(0, "fixed", np.zeros(3), trv.SE3(np.eye(3), np.array([np.inf, -np.inf, np.nan])), "f")
    d = m.createData()
    trv.forwardKinematics(m, d, np.zeros(0))
    assert "  Joint 1: position = [     inf,     -inf,      NaN]" in d.to_string_info()

"""The module functions: worked values, identities on the bundled robots, URDF
loading, and a Data used with a model it does not belong to."""
import math
import traceback

import numpy as np
import pytest

import trelvar as trv
from conftest import chain_model, model_path, random_state

W, L, LWA = trv.ReferenceFrame.WORLD, trv.ReferenceFrame.LOCAL, trv.ReferenceFrame.LOCAL_WORLD_ALIGNED


def two_revolute_with_frames():
    """Two revolute joints about z, the second at (1, 0, 0) from the first, with
    joint and body frames as URDF import creates them."""
    return trv.parse_urdf_from_string(
        '<robot name="two"><link name="base"/><link name="a"/><link name="b"/>'
        '<joint name="j1" type="revolute"><parent link="base"/><child link="a"/><axis xyz="0 0 1"/></joint>'
        '<joint name="j2" type="revolute"><parent link="a"/><child link="b"/><origin xyz="1 0 0"/>'
        '<axis xyz="0 0 1"/></joint></robot>')


# ---- kinematics --------------------------------------------------------------------

def test_neutral_and_integrate():
    m = trv.parse_urdf_file(model_path("quadruped"))
    q0 = trv.neutral(m)
    np.testing.assert_array_equal(q0[:7], [0, 0, 0, 0, 0, 0, 1])
    q1 = trv.integrate(m, q0, np.zeros(m.nv))
    np.testing.assert_array_equal(q1, q0)
    assert q1 is not q0
    assert trv.neutral(trv.Model()).shape == (0,)
    v = np.zeros(m.nv)
    v[0], v[5] = 1.0, math.pi
    q2 = trv.integrate(m, q0, v)
    np.testing.assert_allclose(q2[:7], [1, 0, 0, 0, 0, 1, 0], atol=1e-15)


def test_integrate_checks_q_before_v():
    m = chain_model(2)
    with pytest.raises(ValueError, match="^Configuration vector size mismatch: expected 2, got 3$"):
        trv.integrate(m, np.zeros(3), np.zeros(5))


def test_forward_kinematics_two_joint_chain():
    m = chain_model(2)
    d = m.createData()
    assert trv.forwardKinematics(m, d, np.array([math.pi / 2, 0.0])) is None
    np.testing.assert_allclose(d.get_joint_translation(1), [0, 0, 0], atol=1e-15)
    np.testing.assert_allclose(d.get_joint_translation(2), [0, 1, 0], atol=1e-15)
    with pytest.raises(TypeError, match="argument 'q'"):
        trv.forwardKinematics(m, d, [0.0, 0.0])


# ---- dynamics ------------------------------------------------------------------------

def test_rnea_gravity_crba_worked_values():
    urdf = ('<robot name="p"><link name="b"/><link name="l"><inertial><origin xyz="0.4 0 0"/>'
            '<mass value="2.5"/><inertia ixx="0" ixy="0" ixz="0" iyy="0" iyz="0" izz="0.05"/></inertial>'
            '</link><joint name="j" type="revolute"><parent link="b"/><child link="l"/>'
            '<axis xyz="0 AXIS"/></joint></robot>')
    m = trv.parse_urdf_from_string(urdf.replace("AXIS", "1 0"))
    d = m.createData()
    z = np.zeros(1)
    np.testing.assert_allclose(trv.rnea(m, d, z, z, z), [-9.81 * 2.5 * 0.4], rtol=1e-15)
    np.testing.assert_array_equal(trv.rnea(m, d, z, z, z), trv.compute_gravity(m, d, z))
    np.testing.assert_array_equal(d.g, trv.compute_gravity(m, d, z))
    mz = trv.parse_urdf_from_string(urdf.replace("AXIS", "0 1"))
    dz = mz.createData()
    np.testing.assert_allclose(trv.crba(mz, dz, np.array([0.3])), [[0.05 + 2.5 * 0.16]], rtol=1e-15)


PLANAR_ROBOT = (
    '<robot name="pl"><link name="base"/><link name="a"><inertial><origin xyz="0.1 0.2 0.05"/>'
    '<mass value="2"/><inertia ixx="0.1" ixy="0.01" ixz="0.02" iyy="0.2" iyz="0.03" izz="0.3"/></inertial>'
    '</link><link name="b"><inertial><origin xyz="0.3 0 0"/><mass value="1"/>'
    '<inertia ixx="0.05" ixy="0" ixz="0" iyy="0.05" iyz="0" izz="0.05"/></inertial></link>'
    '<joint name="p" type="planar"><parent link="base"/><child link="a"/><origin rpy="0.3 0.2 0.1"/></joint>'
    '<joint name="r" type="revolute"><parent link="a"/><child link="b"/><origin xyz="0.4 0 0"/>'
    '<axis xyz="0 1 1"/></joint></robot>')


@pytest.mark.parametrize("name", ["arm7", "quadruped", "humanoid", "planar"])
def test_crba_returns_stored_upper_triangle_and_data_M_is_symmetric(name):
    # Floating and planar joints own dense diagonal blocks: zero below the
    # diagonal inside them too.
    m = (trv.parse_urdf_from_string(PLANAR_ROBOT) if name == "planar"
         else trv.parse_urdf_file(model_path(name)))
    d = m.createData()
    q, _, _ = random_state(m, np.random.default_rng(3))
    M = trv.crba(m, d, q)
    first_block = M[:3, :3]  # the first joint's block (or the leading 3x3 of the arm)
    assert np.any(np.triu(first_block, 1) != 0.0)
    np.testing.assert_array_equal(np.tril(M, -1), 0.0)
    full = d.M
    np.testing.assert_array_equal(full, full.T)
    np.testing.assert_array_equal(np.triu(full), M)


def test_coriolis_returns_none_and_fills_C(arm):
    d = arm.createData()
    assert trv.computeCoriolisMatrix(arm, d, np.zeros(7), np.ones(7)) is None
    assert d.C.shape == (7, 7)
    assert trv.computeAllTerms(arm, d, np.zeros(7), np.ones(7)) is None


@pytest.mark.parametrize("name", ["arm7", "arm6", "quadruped", "humanoid", "chain_32"])
def test_dynamics_identities_on_bundled_robots(name):
    m = trv.parse_urdf_file(model_path(name))
    d = m.createData()
    rng = np.random.default_rng(len(name))
    for _ in range(3):
        q, v, a = random_state(m, rng)
        trv.crba(m, d, q)
        M = d.M
        assert np.all(np.linalg.eigvalsh(M) > 0)
        nle = trv.non_linear_effects(m, d, q, v)
        g = trv.compute_gravity(m, d, q)
        tau = trv.rnea(m, d, q, v, a)
        np.testing.assert_allclose(tau, M @ a + nle, rtol=1e-9, atol=1e-9 * np.abs(tau).max())
        np.testing.assert_allclose(trv.non_linear_effects(m, d, q, np.zeros(m.nv)), g, rtol=1e-12,
                                   atol=1e-12)
        trv.computeCoriolisMatrix(m, d, q, v)
        C = d.C
        np.testing.assert_allclose(C @ v, nle - g, rtol=1e-9, atol=1e-9 * np.abs(nle).max())
        eps = 1e-6
        trv.crba(m, d, trv.integrate(m, q, eps * v))
        Mp = d.M
        trv.crba(m, d, trv.integrate(m, q, -eps * v))
        Mm = d.M
        N = (Mp - Mm) / (2 * eps) - 2 * C
        assert np.abs(N + N.T).max() < 1e-6 * max(1.0, np.abs(C).max())
        # The combined pass agrees with the separate functions.
        trv.computeAllTerms(m, d, q, v)
        np.testing.assert_allclose(d.M, M, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(d.g, g, rtol=1e-9, atol=1e-12)


def test_non_linear_effects_is_quadratic_without_gravity(arm):
    arm.set_gravity(np.zeros(3))
    d = arm.createData()
    rng = np.random.default_rng(3)
    q, v, _ = random_state(arm, rng)
    np.testing.assert_array_equal(trv.compute_gravity(arm, d, q), 0.0)
    np.testing.assert_allclose(trv.non_linear_effects(arm, d, q, 2 * v),
                               4 * trv.non_linear_effects(arm, d, q, v), rtol=1e-12)


# ---- Jacobians -------------------------------------------------------------------------

def test_jacobian_worked_columns():
    m = two_revolute_with_frames()
    d = m.createData()
    assert trv.computeJointJacobians(m, d, np.zeros(2)) is None
    frame_b = m.getFrameId("b")
    np.testing.assert_array_equal(trv.getFrameJacobian(m, d, frame_b, W).T,
                                  [[0, 0, 0, 0, 0, 1], [0, -1, 0, 0, 0, 1]])
    for rf in (L, LWA):
        np.testing.assert_array_equal(trv.getFrameJacobian(m, d, frame_b, rf).T,
                                      [[0, 1, 0, 0, 0, 1], [0, 0, 0, 0, 0, 1]])
    np.testing.assert_array_equal(trv.computeJointJacobian(m, d, np.zeros(2), 2).T,
                                  [[0, 1, 0, 0, 0, 1], [0, 0, 0, 0, 0, 1]])
    # The joint frame and the body frame of one joint give the same Jacobian.
    np.testing.assert_array_equal(trv.getFrameJacobian(m, d, m.getFrameId("j2"), L),
                                  trv.getFrameJacobian(m, d, frame_b, L))
    np.testing.assert_array_equal(trv.getFrameJacobian(m, d, frame_b, trv.ReferenceFrame()),
                                  trv.getFrameJacobian(m, d, frame_b, W))
    for rf in (W, L, LWA):
        np.testing.assert_array_equal(trv.getFrameJacobian(m, d, 0, rf), np.zeros((6, 2)))


def test_jacobian_time_variation_worked_columns():
    m = two_revolute_with_frames()
    d = m.createData()
    assert trv.computeJointJacobiansTimeVariation(m, d, np.zeros(2), np.array([1.0, 0.0])) is None
    frame_b = m.getFrameId("b")
    np.testing.assert_array_equal(trv.getFrameJacobianTimeVariation(m, d, frame_b, W).T,
                                  [[0, 0, 0, 0, 0, 0], [1, 0, 0, 0, 0, 0]])
    np.testing.assert_allclose(trv.getFrameJacobianTimeVariation(m, d, frame_b, LWA).T,
                               [[-1, 0, 0, 0, 0, 0], [0, 0, 0, 0, 0, 0]], atol=1e-15)
    np.testing.assert_allclose(trv.getFrameJacobianTimeVariation(m, d, frame_b, L), 0.0, atol=1e-15)


def test_fresh_data_gives_zero_frame_jacobians(arm):
    d = arm.createData()
    for rf in (W, L, LWA):
        np.testing.assert_array_equal(trv.getFrameJacobian(arm, d, 5, rf), np.zeros((6, 7)))
        np.testing.assert_array_equal(trv.getFrameJacobianTimeVariation(arm, d, 5, rf), np.zeros((6, 7)))


def test_local_frame_jacobian_equals_single_joint_jacobian(humanoid):
    d = humanoid.createData()
    rng = np.random.default_rng(11)
    q, _, _ = random_state(humanoid, rng)
    trv.computeJointJacobians(humanoid, d, q)
    for joint in range(humanoid.njoints):
        frame = humanoid.getFrameId(humanoid.names[joint])
        if frame is None:
            continue
        np.testing.assert_allclose(trv.computeJointJacobian(humanoid, d, q, joint),
                                   trv.getFrameJacobian(humanoid, d, frame, L), atol=1e-12)


def test_frame_jacobian_time_variation_matches_finite_difference(arm):
    d, dp, dm = arm.createData(), arm.createData(), arm.createData()
    rng = np.random.default_rng(5)
    q, v, _ = random_state(arm, rng)
    trv.computeJointJacobiansTimeVariation(arm, d, q, v)
    eps = 1e-6
    trv.computeJointJacobians(arm, dp, trv.integrate(arm, q, eps * v))
    trv.computeJointJacobians(arm, dm, trv.integrate(arm, q, -eps * v))
    frame = arm.getFrameId("gripper")
    for rf in (W, L, LWA):
        fd = (trv.getFrameJacobian(arm, dp, frame, rf) - trv.getFrameJacobian(arm, dm, frame, rf)) / (2 * eps)
        np.testing.assert_allclose(trv.getFrameJacobianTimeVariation(arm, d, frame, rf), fd, atol=1e-7)


# ---- Data from another model -------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda m, d: trv.forwardKinematics(m, d, np.zeros(m.nq)),
    lambda m, d: trv.rnea(m, d, np.zeros(m.nq), np.zeros(m.nv), np.zeros(m.nv)),
    lambda m, d: trv.non_linear_effects(m, d, np.zeros(m.nq), np.zeros(m.nv)),
    lambda m, d: trv.compute_gravity(m, d, np.zeros(m.nq)),
    lambda m, d: trv.crba(m, d, np.zeros(m.nq)),
    lambda m, d: trv.computeAllTerms(m, d, np.zeros(m.nq), np.zeros(m.nv)),
    lambda m, d: trv.computeCoriolisMatrix(m, d, np.zeros(m.nq), np.zeros(m.nv)),
    lambda m, d: trv.computeJointJacobians(m, d, np.zeros(m.nq)),
    lambda m, d: trv.computeJointJacobian(m, d, np.zeros(m.nq), 1),
    lambda m, d: trv.computeJointJacobiansTimeVariation(m, d, np.zeros(m.nq), np.zeros(m.nv)),
    lambda m, d: trv.getFrameJacobian(m, d, 0, W),
    lambda m, d: trv.getFrameJacobianTimeVariation(m, d, 0, W),
])
def test_data_of_a_grown_model_is_rejected(call):
    m = chain_model(2)
    d = m.createData()
    trv.forwardKinematics(m, d, np.array([0.1, 0.2]))
    before = d.to_string_info()
    m.add_joint(2, "prismatic", np.array([1.0, 0.0, 0.0]), trv.SE3.identity(), "grown")
    with pytest.raises(ValueError) as e:
        call(m, d)
    assert "njoints=3, nq=2, nv=2" in str(e.value) and "njoints=4, nq=3, nv=3" in str(e.value)
    assert d.to_string_info() == before


# ---- URDF ---------------------------------------------------------------------------------

def _urdf(*body):
    return "<robot name='r'>" + "".join(body) + "</robot>"


def _joint(name, kind, parent, child, extra=""):
    return (f"<joint name='{name}' type='{kind}'><parent link='{parent}'/><child link='{child}'/>"
            f"{extra}</joint>")


_AB = "<link name='a'/><link name='b'/>"
_FROM_STRING = "Failed to parse URDF from string"

# (URDF text, the library's outermost message, its cause or None)
URDF_ERRORS = [
    ("not xml <<<", _FROM_STRING, "XML error at offset 9: Could not determine tag type"),
    (_urdf("<link name='a'/>", _joint("j", "hinge", "a", "b")), _FROM_STRING,
     "joint 'j': joint attribute 'type' is not a known joint type: 'hinge'"),
    (_urdf(_AB, _joint("e", "revolute", "a", "b", "<origin xyz='0 1'/>")), _FROM_STRING,
     "joint 'e': origin attribute 'xyz' has 2 values, expected 3: '0 1'"),
    (_urdf(_AB, _joint("e", "revolute", "a", "b", "<limit lower='1.0abc'/>")), _FROM_STRING,
     "joint 'e': limit attribute 'lower' is not a finite number: '1.0abc'"),
    (_urdf(_AB, _joint("j", "fixed", "a", "b"), _joint("k", "fixed", "b", "a")),
     "No root link found in URDF", None),
    (_urdf(), "No root link found in URDF", None),
    (_urdf(_AB, _joint("j", "revolute", "base", "b")),
     "Joint 'j' names parent link 'base', which is not declared in the URDF", None),
    (_urdf(_AB, _joint("j", "revolute", "a", "b"), _joint("k", "revolute", "b", "c")),
     "Joint 'k' names child link 'c', which is not declared in the URDF", None),
    (_urdf(_AB, "<link name='c'/><link name='d'/>", _joint("j", "fixed", "a", "b"),
           _joint("k", "fixed", "c", "d")),
     "Links 'a' and 'c' are both root links (never the child of a joint): the links do not form a "
     "single tree", None),
    (_urdf("<link name='r'/>", _AB, _joint("j", "fixed", "a", "b"), _joint("k", "fixed", "b", "a")),
     "Joint 'j' cannot be reached from root link 'r' (the links above it form a loop): the links do "
     "not form a tree", None),
]


def check_urdf_error(error, message, cause):
    """The exception keeps the outermost message as its text and chains the
    reader's or the I/O error, which the printed traceback shows first."""
    assert type(error) is RuntimeError
    assert str(error) == "Failed to parse URDF: " + message
    if cause is None:
        assert error.__cause__ is None
        return
    assert type(error.__cause__) is RuntimeError
    assert str(error.__cause__) == cause
    assert error.__suppress_context__
    shown = "".join(traceback.format_exception(error))
    assert shown.startswith(f"RuntimeError: {cause}\n\nThe above exception was the direct cause")
    assert shown.endswith(f"RuntimeError: Failed to parse URDF: {message}\n")


@pytest.mark.parametrize("entry", ["parse_urdf_from_string", "parse_urdf_file"])
@pytest.mark.parametrize("text, message, cause", URDF_ERRORS)
def test_urdf_errors(tmp_path, entry, text, message, cause):
    if entry == "parse_urdf_file":
        path = tmp_path / "robot.urdf"
        path.write_text(text)
        text = str(path)
        if message == _FROM_STRING:
            message = f"Failed to parse URDF file: {path}"
    with pytest.raises(RuntimeError) as e:
        getattr(trv, entry)(text)
    check_urdf_error(e.value, message, cause)


def test_urdf_file_errors(tmp_path):
    with pytest.raises(RuntimeError) as e:
        trv.parse_urdf_file("robot.urdf")
    check_urdf_error(e.value, "Failed to parse URDF file: robot.urdf", "No such file or directory")
    with pytest.raises(RuntimeError) as e:
        trv.parse_urdf_file(str(tmp_path))  # a directory
    check_urdf_error(e.value, f"Failed to parse URDF file: {tmp_path}", "Is a directory")
    with pytest.raises(TypeError, match="argument 'filename'"):
        trv.parse_urdf_file(tmp_path / "x.urdf")


def test_urdf_links_no_joint_mentions_are_ignored():
    m = trv.parse_urdf_from_string(_urdf("<link name='stray'/>", _AB, "<link name='spare'/>",
                                         _joint("j", "revolute", "a", "b")))
    assert (m.names, m.nframes) == (["universe", "j"], 4)
    assert [m.getFrameId(n) for n in ("a", "j", "b", "stray", "spare")] == [1, 2, 3, None, None]


def test_urdf_model_contents(capfd):
    m = trv.parse_urdf_file(model_path("arm7"))
    assert capfd.readouterr().out == ""  # progress printing is off
    assert (m.name, m.nq, m.nv, m.njoints, m.nframes) == ("arm7", 7, 7, 9, 18)
    assert m.names[1] == "joint1" and m.names[-1] == "gripper_mount"
    assert m.lowerPositionLimit.shape == (7,)
    np.testing.assert_allclose(m.upperPositionLimit[:2], [2.9, 1.8])
    single = trv.parse_urdf_from_string("<robot name='solo'><link name='only'/></robot>")
    assert (single.njoints, single.nq, single.nframes, single.name) == (1, 0, 2, "solo")


def test_urdf_file_name_with_nul_and_names_that_are_not_utf8(tmp_path):
    good = tmp_path / "r.urdf"
    good.write_text("<robot name='r'><link name='a'/></robot>")
    with pytest.raises(RuntimeError) as e:
        trv.parse_urdf_file(str(good) + "\0.ignored")
    check_urdf_error(e.value, f"Failed to parse URDF file: {good}\0.ignored",
                     "the file name contains a NUL byte")
    latin = tmp_path / "latin.urdf"
    latin.write_bytes(b"<robot name='r\xe9'><link name='a'/><link name='b'/>"
                      b"<joint name='j\xff' type='revolute'><parent link='a'/><child link='b'/></joint></robot>")
    m = trv.parse_urdf_file(str(latin))
    assert m.name == "r\ufffd" and m.names[1] == "j\ufffd"
    assert "Joint 1: j\ufffd (parent: 0)" in m.to_string_info()

"""Argument binding, conversion, check order, access flags and results."""
import subprocess
import sys

import numpy as np
import pytest

import trelvar as trv
from conftest import chain_model


@pytest.fixture
def md():
    m = chain_model(2)
    return m, m.createData()


# ---- binding -------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda m, d: trv.crba(m, d), "crba() missing 1 required positional argument: 'q'"),
    (lambda m, d: trv.rnea(m, d, np.zeros(2)),
     "rnea() missing 2 required positional arguments: 'v' and 'a'"),
    (lambda m, d: trv.rnea(m),
     "rnea() missing 4 required positional arguments: 'data', 'q', 'v', and 'a'"),
    (lambda m, d: trv.crba(m, d, np.zeros(2), 4),
     "crba() takes 3 positional arguments but 4 were given"),
    (lambda m, d: trv.SE3.identity(1), "SE3.identity() takes 0 positional arguments but 1 was given"),
    (lambda m, d: trv.crba(m, d, q=np.zeros(2), z=1),
     "crba() got an unexpected keyword argument 'z'"),
    (lambda m, d: trv.crba(m, d, np.zeros(2), q=np.zeros(2)),
     "crba() got multiple values for argument 'q'"),
    (lambda m, d: m.add_joint(0, "fixed"),
     "Model.add_joint() missing 3 required positional arguments: 'axis', 'placement', and 'name'"),
    (lambda m, d: trv.Data(), "Data.__new__() missing 1 required positional argument: 'model'"),
    (lambda m, d: trv.Model(1), "Model.__new__() takes 0 positional arguments but 1 was given"),
    (lambda m, d: d.get_joint_placement(joint=1),
     "Data.get_joint_placement() got an unexpected keyword argument 'joint'"),
])
def test_arity_errors_use_interpreter_wording(md, call, message):
    with pytest.raises(TypeError) as e:
        call(*md)
    assert str(e.value) == message


def test_keywords_bind_by_signature_name(md):
    m, d = md
    q = np.array([0.3, -0.2])
    positional = trv.rnea(m, d, q, q, q)
    keywords = trv.rnea(a=q, v=q, q=q, data=d, model=m)
    np.testing.assert_array_equal(positional, keywords)
    assert m.add_joint(name="k", placement=trv.SE3.identity(), axis=np.zeros(1), joint_type="fixed",
                       parent=0) == 3


# ---- conversion ----------------------------------------------------------------

@pytest.mark.parametrize("bad, type_name", [
    ([0.0, 0.0], "list"),
    ((0.0, 0.0), "tuple"),
    (np.zeros(2, dtype=np.int64), "ndarray"),
    (np.zeros(2, dtype=np.float32), "ndarray"),
    (np.zeros((2, 1)), "ndarray"),
    (np.zeros(2).astype(">f8"), "ndarray"),
    (1.0, "float"),
    (None, "NoneType"),
])
def test_vector_argument_types(md, bad, type_name):
    m, d = md
    with pytest.raises(TypeError) as e:
        trv.compute_gravity(m, d, bad)
    assert str(e.value) == f"argument 'q': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("call, message", [
    (lambda m, d: trv.crba(d, d, np.zeros(2)),
     "argument 'model': 'Data' object cannot be converted to 'Model'"),
    (lambda m, d: trv.crba(m, m, np.zeros(2)),
     "argument 'data': 'Model' object cannot be converted to 'Data'"),
    (lambda m, d: m.get_joint_id(b"j1"), "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda m, d: trv.parse_urdf_file(__import__("pathlib").Path("x.urdf")),
     "argument 'filename': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda m, d: trv.SE3.identity().compose(np.eye(4)),
     "argument 'other': 'ndarray' object cannot be converted to 'SE3'"),
    (lambda m, d: trv.getFrameJacobian(m, d, 0, 0),
     "argument 'reference_frame': 'int' object cannot be converted to 'ReferenceFrame'"),
    (lambda m, d: d.get_joint_placement("1"),
     "argument 'joint_id': 'str' object cannot be interpreted as an integer"),
    (lambda m, d: d.get_joint_placement(1.0),
     "argument 'joint_id': 'float' object cannot be interpreted as an integer"),
])
def test_other_argument_types(md, call, message):
    with pytest.raises(TypeError) as e:
        call(*md)
    assert str(e.value) == message


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
def test_out_of_range_index_raises_overflow_unchanged(md, value):
    m, d = md
    with pytest.raises(OverflowError) as e:
        d.get_joint_placement(value)
    assert "argument" not in str(e.value)
    with pytest.raises(OverflowError):
        trv.computeJointJacobian(m, d, np.zeros(2), value)


def test_index_accepts_objects_with_index(md):
    m, d = md

    class Two:
        def __index__(self):
            return 2

    assert d.get_joint_translation(Two()).shape == (3,)
    assert d.get_joint_translation(np.int64(1)).shape == (3,)


def test_ndarray_subclasses_and_views_are_accepted(md):
    m, d = md

    class Sub(np.ndarray):
        pass

    q = np.array([0.4, -0.1]).view(Sub)
    expected = trv.compute_gravity(m, d, np.array([0.4, -0.1]))
    np.testing.assert_array_equal(trv.compute_gravity(m, d, q), expected)
    backing = np.array([9.0, 0.4, -0.1])
    np.testing.assert_array_equal(trv.compute_gravity(m, d, backing[1:]), expected)
    read_only = np.array([0.4, -0.1])
    read_only.flags.writeable = False
    np.testing.assert_array_equal(trv.compute_gravity(m, d, read_only), expected)


def test_misaligned_array_is_read_correctly(md):
    m, d = md
    raw = np.zeros(2 * 8 + 1, dtype=np.uint8)
    q = raw[1:].view(np.float64)
    assert not q.flags.aligned
    q[:] = [0.4, -0.1]
    np.testing.assert_array_equal(trv.compute_gravity(m, d, q),
                                  trv.compute_gravity(m, d, np.array([0.4, -0.1])))


# ---- check order ---------------------------------------------------------------

def test_contiguity_is_checked_before_lengths(md):
    m, d = md
    strided = np.arange(6.0)[::2]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        trv.compute_gravity(m, d, np.arange(4.0)[::2])
    # A wrong-length q and a non-contiguous later v: contiguity wins.
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        trv.rnea(m, d, np.zeros(5), strided, np.zeros(2))
    with pytest.raises(ValueError, match=r"^q length 5 != nq 2$"):
        trv.rnea(m, d, np.zeros(5), np.zeros(9), np.zeros(2))


@pytest.mark.parametrize("call, exc, message", [
    (lambda m, d: trv.rnea(m, d, np.zeros(2), np.zeros(2), np.zeros(3)), ValueError, "a length 3 != nv 2"),
    (lambda m, d: trv.rnea(m, d, np.zeros(2), np.zeros(1), np.zeros(3)), ValueError, "v length 1 != nv 2"),
    (lambda m, d: trv.non_linear_effects(m, d, np.zeros(2), np.zeros(4)), ValueError, "v length 4 != nv 2"),
    (lambda m, d: trv.crba(m, d, np.zeros(1)), ValueError, "q length 1 != nq 2"),
    (lambda m, d: trv.computeAllTerms(m, d, np.zeros(3), np.zeros(2)), ValueError, "q length 3 != nq 2"),
    (lambda m, d: trv.computeCoriolisMatrix(m, d, np.zeros(2), np.zeros(0)), ValueError,
     "v length 0 != nv 2"),
    (lambda m, d: trv.computeJointJacobians(m, d, np.zeros(0)), ValueError, "q length 0 != nq 2"),
    (lambda m, d: trv.computeJointJacobiansTimeVariation(m, d, np.zeros(2), np.zeros(3)), ValueError,
     "v length 3 != nv 2"),
    (lambda m, d: trv.computeJointJacobian(m, d, np.zeros(2), 3), ValueError, "joint_id 3 >= njoints 3"),
    (lambda m, d: trv.computeJointJacobian(m, d, np.zeros(1), 3), ValueError, "q length 1 != nq 2"),
    (lambda m, d: trv.forwardKinematics(m, d, np.zeros(3)), ValueError,
     "Configuration vector length 3 does not match model nq 2"),
    (lambda m, d: trv.integrate(m, np.zeros(3), np.zeros(1)), ValueError,
     "Configuration vector size mismatch: expected 2, got 3"),
    (lambda m, d: trv.integrate(m, np.zeros(2), np.zeros(1)), ValueError,
     "Velocity vector size mismatch: expected 2, got 1"),
    (lambda m, d: trv.getFrameJacobian(m, d, 1, trv.ReferenceFrame.WORLD), ValueError,
     "Frame ID 1 out of range (max: 0)"),
    (lambda m, d: trv.getFrameJacobianTimeVariation(m, d, 5, trv.ReferenceFrame.LOCAL), ValueError,
     "Frame ID 5 out of range (max: 0)"),
    (lambda m, d: d.get_joint_placement(3), IndexError, "Joint ID 3 out of range (max: 2)"),
    (lambda m, d: d.get_joint_translation(7), IndexError, "Joint ID 7 out of range (max: 2)"),
])
def test_check_messages(md, call, exc, message):
    with pytest.raises(exc) as e:
        call(*md)
    assert str(e.value) == message


def test_failed_calls_leave_data_unchanged(md):
    m, d = md
    trv.forwardKinematics(m, d, np.array([0.5, 0.5]))
    trv.crba(m, d, np.array([0.5, 0.5]))
    before = (d.to_string_info(), d.M.copy(), [x.homogeneous for x in d.oMi])
    for call in (lambda: trv.forwardKinematics(m, d, np.zeros(3)),
                 lambda: trv.crba(m, d, np.zeros(1)),
                 lambda: trv.rnea(m, d, np.zeros(2), np.zeros(2), np.zeros(1)),
                 lambda: trv.computeJointJacobian(m, d, np.zeros(2), 9)):
        with pytest.raises(ValueError):
            call()
    assert d.to_string_info() == before[0]
    np.testing.assert_array_equal(d.M, before[1])
    for x, h in zip(d.oMi, before[2]):
        np.testing.assert_array_equal(x.homogeneous, h)


# ---- access flags ----------------------------------------------------------------

def test_index_callback_into_a_held_data_is_refused(md):
    m, d = md
    seen = []

    class Sneaky:
        def __index__(self):
            try:
                trv.forwardKinematics(m, d, np.zeros(2))  # wants d exclusively
            except RuntimeError as e:
                seen.append(str(e))
            try:
                d.get_joint_translation(0)  # wants d shared
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    jac = trv.computeJointJacobian(m, d, np.zeros(2), Sneaky())
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert jac.shape == (6, 2)
    # The flags are released afterwards.
    trv.forwardKinematics(m, d, np.zeros(2))


def test_shared_holders_may_overlap(md):
    m, d = md

    class Reader:
        def __index__(self):
            return len(d.oMi) - 1  # a shared hold inside a shared hold

    assert d.get_joint_placement(Reader()) is not None


def test_index_callback_that_reshapes_the_vector_is_caught(md):
    m, d = md
    q = np.zeros(2)

    class Reshaper:
        def __index__(self):
            q.shape = (1, 2)
            return 1

    with pytest.raises(TypeError, match="argument 'q'"):
        trv.computeJointJacobian(m, d, q, Reshaper())


# ---- results ---------------------------------------------------------------------

def test_results_are_fresh_owning_arrays(md):
    m, d = md
    q = np.array([0.3, 0.4])
    M = trv.crba(m, d, q)
    for result in (M, d.M, d.C, d.g, trv.neutral(m), trv.compute_gravity(m, d, q),
                   trv.computeJointJacobian(m, d, q, 2), d.get_joint_translation(2)):
        assert result.dtype == np.float64
        assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable
    M[:] = 99.0
    assert d.M[0, 0] != 99.0
    t = d.get_joint_translation(2)
    t[:] = 5.0
    assert not np.any(d.get_joint_translation(2) == 5.0)
    g = m.gravity
    g[:] = 0.0
    np.testing.assert_array_equal(m.gravity, [0.0, 0.0, -9.81])


def test_arguments_are_never_written(md):
    m, d = md
    q = np.array([0.3, 0.4])
    v = np.array([1.0, -1.0])
    before = (q.copy(), v.copy())
    trv.rnea(m, d, q, v, v)
    trv.computeAllTerms(m, d, q, v)
    trv.integrate(m, q, v)
    np.testing.assert_array_equal(q, before[0])
    np.testing.assert_array_equal(v, before[1])


def test_nv_zero_shapes():
    m = trv.Model()
    d = m.createData()
    z = np.zeros(0)
    assert trv.rnea(m, d, z, z, z).shape == (0,)
    assert trv.crba(m, d, z).shape == (0, 0)
    assert d.M.shape == (0, 0)
    assert trv.getFrameJacobian(m, d, 0, trv.ReferenceFrame.WORLD).shape == (6, 0)
    assert trv.computeJointJacobian(m, d, z, 0).shape == (6, 0)
    assert trv.neutral(m).shape == (0,)


# ---- module ----------------------------------------------------------------------

def test_module_contents_in_order():
    names = [n for n in vars(trv) if not n.startswith("__")]
    assert names == [
        "SE3", "Model", "Data", "ReferenceFrame", "Frame", "neutral", "integrate", "forwardKinematics",
        "rnea", "crba", "computeJointJacobians", "computeJointJacobian", "computeJointJacobiansTimeVariation",
        "getFrameJacobian", "getFrameJacobianTimeVariation", "non_linear_effects", "compute_gravity",
        "computeAllTerms", "computeCoriolisMatrix", "parse_urdf_file", "parse_urdf_from_string", "aba",
        "computeMinverse", "computeRNEADerivatives", "computeABADerivatives",
        "batch"]  # the submodule, added after the module's own contents
    assert trv.__version__ == "0.1.4"
    assert trv.__doc__ == ""


def test_second_initialisation_raises_import_error():
    code = (
        "import sys, trelvar\n"
        "first = trelvar\n"
        "import trelvar as again\n"
        "assert again is first\n"
        "del sys.modules['trelvar']\n"
        "try:\n"
        "    import trelvar\n"
        "except ImportError as e:\n"
        "    print('refused:', e)\n"
        "else:\n"
        "    print('imported twice')\n"
        "print(first.rnea is not None and first.Model().nq == 0)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=__import__("os").environ.copy())
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("refused: ")
    assert lines[1] == "True"

"""examples/cpp/expected_output.txt, the output the C++ example must print
(tests/package compares the installed example against it), holds the values
the Python module computes for the same robot and state."""
import os
import re

import numpy as np
import pytest

import trelvar as trv
from conftest import model_path

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXPECTED = os.path.join(ROOT, "examples", "cpp", "expected_output.txt")


def numbers(line):
    return np.array([float(x) for x in line.split(":", 1)[1].split()])


@pytest.fixture(scope="module")
def expected():
    with open(EXPECTED) as f:
        lines = f.read().splitlines()
    rows = {}
    for line in lines:
        label = line.split(":", 1)[0].strip()
        rows.setdefault(label, []).append(line)
    matrix_start = lines.index("M (mass matrix):") + 1
    mass = np.array([[float(x) for x in line.split()] for line in lines[matrix_start:-1]])
    return lines, rows, mass


@pytest.fixture(scope="module")
def state():
    model = trv.parse_urdf_file(model_path("arm7"))
    step = 0.1 * np.arange(1, model.nv + 1)
    v = 0.5 - 0.1 * np.arange(model.nv)
    a = np.ones(model.nv)
    q = trv.integrate(model, trv.neutral(model), step)
    return model, q, v, a


def test_header_and_state(expected, state):
    lines, rows, _ = expected
    model, q, v, a = state
    assert lines[0] == (f"trelvar @VERSION@, robot {model.name}: nq {model.nq}, nv {model.nv}, "
                        f"njoints {model.njoints}")
    for label, want in (("q", q), ("v", v), ("a", a)):
        np.testing.assert_allclose(numbers(rows[label][0]), want, rtol=0, atol=1e-9)


def test_forward_kinematics(expected, state):
    lines, rows, _ = expected
    model, q, _, _ = state
    data = model.createData()
    trv.forwardKinematics(model, data, q)
    # The gripper frame sits on the last joint (the fixed mount) at its origin.
    assert lines[4] == "frame 'gripper' in the world (forward kinematics):"
    tip = data.oMi[model.njoints - 1].homogeneous
    np.testing.assert_allclose(numbers(rows["translation"][0]), tip[:3, 3], rtol=0, atol=1e-9)
    rotation = np.array([numbers(r) for r in rows["rotation"]])
    np.testing.assert_allclose(rotation, tip[:3, :3], rtol=0, atol=1e-9)


def test_inverse_dynamics_and_mass_matrix(expected, state):
    lines, rows, mass = expected
    model, q, v, a = state
    data = model.createData()
    tau = trv.rnea(model, data, q, v, a)
    (tau_line,) = [line for line in lines if line.startswith("tau (inverse dynamics):")]
    np.testing.assert_allclose(numbers(tau_line), tau, rtol=0, atol=1e-9)
    trv.crba(model, data, q)
    np.testing.assert_allclose(mass, data.M, rtol=0, atol=1e-9)
    assert re.fullmatch(r"tau - \(M a \+ nle\) below 1e-9: yes", lines[-1])

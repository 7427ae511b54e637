import os

import numpy as np
import pytest

import trelvar as trv

MODELS = os.path.join(os.path.dirname(__file__), "..", "..", "models")


def model_path(name):
    return os.path.join(MODELS, f"{name}.urdf")


def chain_model(n=2, axis=(0.0, 0.0, 1.0), offset=(1.0, 0.0, 0.0)):
    """n revolute joints about `axis`, each placed at `offset` from its parent
    (the first at the origin)."""
    m = trv.Model()
    for k in range(n):
        t = np.array(offset if k > 0 else (0.0, 0.0, 0.0))
        m.add_joint(k, "revolute", np.array(axis), trv.SE3(np.eye(3), t), f"j{k + 1}")
    return m


def random_state(model, rng):
    """A configuration reached from the neutral one by a random step, and random v and a."""
    q = trv.integrate(model, trv.neutral(model), rng.standard_normal(model.nv))
    return q, rng.standard_normal(model.nv), rng.standard_normal(model.nv)


# A 2.5 kg body 0.4 m along x from a joint about y (which turns x towards -z), with
# Iyy = 0.03 about its centre of mass: the worked pendulum of the dynamics tests.
PENDULUM_URDF = (
    '<robot name="p"><link name="b"/><link name="l"><inertial><origin xyz="0.4 0 0"/>'
    '<mass value="2.5"/><inertia ixx="0.01" ixy="0" ixz="0" iyy="0.03" iyz="0" izz="0.02"/>'
    '</inertial></link><joint name="j" type="revolute"><parent link="b"/><child link="l"/>'
    '<axis xyz="0 1 0"/></joint></robot>')


@pytest.fixture
def arm():
    return trv.parse_urdf_file(model_path("arm7"))


@pytest.fixture
def humanoid():
    return trv.parse_urdf_file(model_path("humanoid"))



from hypothesis import settings  # noqa: E402

# Fewer examples where every call is slow (sanitizer builds).
settings.register_profile("default", max_examples=100)
settings.register_profile("sanitize", max_examples=10)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

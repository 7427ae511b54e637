"""Type stubs of the trelvar extension module (rigid-body kinematics and dynamics)."""
from typing import ClassVar, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

from trelvar import batch as batch

__version__: str

Vector = npt.NDArray[np.float64]
Matrix = npt.NDArray[np.float64]

class SE3:
    """Rigid placement: 3x3 rotation and translation; immutable."""
    def __init__(self, rotation: Matrix, translation: Vector) -> None: ...
    @staticmethod
    def identity() -> SE3:
        """The identity placement."""
    def compose(self, other: SE3) -> SE3:
        """self * other (other applied first)."""
    def inverse(self) -> SE3:
        """The inverse placement (rotation transposed)."""
    def to_homogeneous(self) -> Matrix:
        """The 4x4 homogeneous matrix."""
    @property
    def homogeneous(self) -> Matrix:
        """The 4x4 homogeneous matrix."""
    @property
    def rotation(self) -> Matrix:
        """The rotation (3, 3)."""
    @property
    def translation(self) -> Vector:
        """The translation (3,)."""
    def act(self, point: Matrix) -> Matrix:
        """A point (3,) or points (N, 3) of the child frame in the parent frame: R p + t."""

class Model:
    """A kinematic tree: joints, placements, inertias, frames, gravity and limits."""
    def __init__(self) -> None: ...
    @property
    def nq(self) -> int:
        """Configuration size."""
    @property
    def nv(self) -> int:
        """Velocity size."""
    @property
    def njoints(self) -> int:
        """Number of joints, the universe included."""
    @property
    def nframes(self) -> int:
        """Number of frames."""
    @property
    def names(self) -> List[str]:
        """Joint names in joint order."""
    @property
    def name(self) -> str:
        """The model's name."""
    @property
    def lowerPositionLimit(self) -> Vector:
        """Lower position limits, one per velocity coordinate."""
    @property
    def upperPositionLimit(self) -> Vector:
        """Upper position limits, one per velocity coordinate."""
    @property
    def gravity(self) -> Vector:
        """Linear gravity (3,)."""
    @property
    def gravity_angular(self) -> Vector:
        """Angular gravity (3,)."""
    @property
    def gravity_full(self) -> Vector:
        """Gravity (6,), linear part first."""
    @property
    def parents(self) -> List[int]:
        """Parent of each joint (the universe is its own parent)."""
    @property
    def idx_qs(self) -> List[int]:
        """Start of each joint's slice of q."""
    @property
    def nqs(self) -> List[int]:
        """Size of each joint's slice of q."""
    @property
    def idx_vs(self) -> List[int]:
        """Start of each joint's slice of v."""
    @property
    def nvs(self) -> List[int]:
        """Size of each joint's slice of v."""
    @property
    def joint_types(self) -> List[str]:
        """Kind of each joint, named as add_joint takes it."""
    @property
    def axes(self) -> Matrix:
        """Axis of each joint (njoints, 3), zero for kinds without one."""
    @property
    def placements(self) -> List[SE3]:
        """Placement of each joint in its parent joint's frame."""
    @property
    def masses(self) -> Vector:
        """Mass of the body each joint carries (njoints,)."""
    @property
    def levers(self) -> Matrix:
        """Centre of mass of each body in its joint's frame (njoints, 3)."""
    @property
    def rotational_inertias(self) -> npt.NDArray[np.float64]:
        """Rotational inertia of each body about its centre of mass (njoints, 3, 3)."""
    @property
    def children(self) -> List[List[int]]:
        """Child joints of each joint."""
    @property
    def supports(self) -> List[List[int]]:
        """Path from the universe to each joint, both included."""
    @property
    def subtrees(self) -> List[List[int]]:
        """Each joint followed by its descendants."""
    @property
    def frames(self) -> List[Frame]:
        """The model's frames as read-only records."""
    def set_gravity(self, gravity: Vector) -> None:
        """Set the linear gravity (3,)."""
    def set_gravity_angular(self, gravity_angular: Vector) -> None:
        """Set the angular gravity (3,)."""
    def set_gravity_full(self, gravity: Vector) -> None:
        """Set both parts of gravity (6,), linear first."""
    def add_joint(self, parent: int, joint_type: str, axis: Vector, placement: SE3, name: str) -> int:
        """Append a 'fixed', 'revolute', 'prismatic' or 'floating' joint; returns its index."""
    def set_inertia(self, joint_id: int, mass: float, lever: Vector, rotational_inertia: Matrix) -> None:
        """Set the inertia of the body a joint carries (lever and rotational inertia about the centre of mass)."""
    def get_joint_id(self, name: str) -> Optional[int]:
        """Index of the first joint with this name, or None."""
    def getFrameId(self, name: str) -> Optional[int]:
        """Index of the first frame with this name, or None."""
    def set_name(self, name: str) -> None:
        """Rename the model."""
    def createData(self) -> Data:
        """A new Data sized for this model."""
    def to_string_info(self) -> str:
        """The model information text."""
    def print_info(self) -> None:
        """Write the model information text to standard output."""

class Data:
    """Work and result buffers of one model."""
    def __init__(self, model: Model) -> None: ...
    @property
    def M(self) -> Matrix:
        """Full symmetric mass matrix (nv, nv)."""
    @property
    def C(self) -> Matrix:
        """Coriolis matrix (nv, nv)."""
    @property
    def dtau_dq(self) -> Matrix:
        """d tau / dq in the tangent space (nv, nv), from computeRNEADerivatives."""
    @property
    def dtau_dv(self) -> Matrix:
        """d tau / dv (nv, nv), from computeRNEADerivatives."""
    @property
    def ddq_dq(self) -> Matrix:
        """d ddq / dq in the tangent space (nv, nv), from computeABADerivatives."""
    @property
    def ddq_dv(self) -> Matrix:
        """d ddq / dv (nv, nv), from computeABADerivatives."""
    @property
    def g(self) -> Vector:
        """Generalized gravity (nv,)."""
    @property
    def oMi(self) -> List[SE3]:
        """World placement of every joint."""
    @property
    def tau(self) -> Vector:
        """Joint forces of the last inverse-dynamics run (nv,)."""
    @property
    def nle(self) -> Vector:
        """Non-linear effects C(q, v) v + g(q) (nv,)."""
    @property
    def ddq(self) -> Vector:
        """Joint accelerations of the last forward-dynamics run (nv,)."""
    @property
    def Minv(self) -> Matrix:
        """Inverse mass matrix of the last computeMinverse run (nv, nv), full and symmetric."""
    @property
    def J(self) -> Matrix:
        """World Jacobian of every joint (6, nv), linear part first."""
    @property
    def dJ(self) -> Matrix:
        """Time variation of the world Jacobian (6, nv)."""
    @property
    def Ag(self) -> Matrix:
        """Centroidal momentum matrix (6, nv), linear part first."""
    @property
    def dAg(self) -> Matrix:
        """Time variation of the centroidal momentum matrix (6, nv)."""
    @property
    def Jcom(self) -> Matrix:
        """Centre-of-mass Jacobian (3, nv)."""
    @property
    def com(self) -> Matrix:
        """Centre of mass of each joint's subtree (njoints, 3); entry 0 in the world."""
    @property
    def vcom(self) -> Matrix:
        """Velocity of each subtree's centre of mass (njoints, 3); entry 0 in the world."""
    @property
    def mass(self) -> Vector:
        """Mass of each joint's subtree (njoints,); entry 0 the total."""
    @property
    def v(self) -> Matrix:
        """Spatial velocity of each joint in its own frame (njoints, 6), linear part first."""
    @property
    def a(self) -> Matrix:
        """Spatial acceleration of each joint in its own frame (njoints, 6), linear part first."""
    @property
    def f(self) -> Matrix:
        """Spatial force transmitted by each joint in its own frame (njoints, 6), force first."""
    @property
    def ov(self) -> Matrix:
        """Spatial velocity of each joint in the world frame (njoints, 6), linear part first."""
    @property
    def a_gf(self) -> Matrix:
        """Acceleration of each joint with the gravity offset, own frame (njoints, 6), linear first."""
    @property
    def h(self) -> Matrix:
        """Spatial momentum of each joint's subtree, own frame (njoints, 6), linear part first."""
    @property
    def liMi(self) -> List[SE3]:
        """Placement of each joint in its parent joint's frame."""
    @property
    def oYcrb(self) -> npt.NDArray[np.float64]:
        """Composite inertia of each subtree in the world frame (njoints, 6, 6), linear part first."""
    @property
    def hg(self) -> Vector:
        """Centroidal momentum (6,), linear part first."""
    @property
    def dhg(self) -> Vector:
        """Rate of change of the centroidal momentum (6,), linear part first."""
    @property
    def Ig(self) -> Matrix:
        """Centroidal composite inertia (6, 6), linear part first."""
    @property
    def kinetic_energy(self) -> float:
        """Kinetic energy."""
    @property
    def potential_energy(self) -> float:
        """Potential energy in the gravity field."""
    @property
    def mechanical_energy(self) -> float:
        """Kinetic plus potential energy."""
    def reset(self) -> None:
        """Restore every buffer to its initial value."""
    def get_joint_placement(self, joint_id: int) -> SE3:
        """World placement of one joint."""
    def get_joint_translation(self, joint_id: int) -> Vector:
        """World position of one joint (3,)."""
    def to_string_info(self) -> str:
        """The data information text."""
    def print_info(self) -> None:
        """Write the data information text to standard output."""

class ReferenceFrame:
    """Frame in which a Jacobian is expressed."""
    WORLD: ClassVar[ReferenceFrame]
    LOCAL: ClassVar[ReferenceFrame]
    LOCAL_WORLD_ALIGNED: ClassVar[ReferenceFrame]
    def __init__(self) -> None: ...

class Frame:
    """A frame of a model (read-only record from Model.frames)."""
    @property
    def name(self) -> str:
        """The frame's name."""
    @property
    def parent(self) -> int:
        """The joint the frame is attached to."""
    @property
    def placement(self) -> SE3:
        """Placement of the frame in its joint's frame."""
    @property
    def type(self) -> str:
        """Kind of the frame as printed, e.g. 'FrameType(JOINT)'."""

def neutral(model: Model) -> Vector:
    """The neutral configuration (nq,)."""
def integrate(model: Model, q: Vector, v: Vector) -> Vector:
    """Configuration reached from q with velocity v over unit time (nq,)."""
def forwardKinematics(model: Model, data: Data, q: Vector) -> None:
    """Placement of every joint in its parent and in the world."""
def rnea(model: Model, data: Data, q: Vector, v: Vector, a: Vector) -> Vector:
    """Inverse dynamics: joint forces tau (nv,)."""
def crba(model: Model, data: Data, q: Vector) -> Matrix:
    """Mass matrix, upper triangle (nv, nv); data.M holds the full matrix."""
def computeJointJacobians(model: Model, data: Data, q: Vector) -> None:
    """World Jacobian of every joint into the data."""
def computeJointJacobian(model: Model, data: Data, q: Vector, joint_id: int) -> Matrix:
    """Jacobian of one joint in its own frame (6, nv)."""
def computeJointJacobiansTimeVariation(model: Model, data: Data, q: Vector, v: Vector) -> None:
    """World Jacobians and their time variation into the data."""
def getFrameJacobian(model: Model, data: Data, frame_id: int, reference_frame: ReferenceFrame) -> Matrix:
    """Jacobian of a frame's joint from the stored Jacobian (6, nv)."""
def getFrameJacobianTimeVariation(model: Model, data: Data, frame_id: int,
                                  reference_frame: ReferenceFrame) -> Matrix:
    """Time variation of a frame Jacobian from the stored buffers (6, nv)."""
def non_linear_effects(model: Model, data: Data, q: Vector, v: Vector) -> Vector:
    """Coriolis, centrifugal and gravity forces (nv,)."""
def compute_gravity(model: Model, data: Data, q: Vector) -> Vector:
    """Generalized gravity (nv,)."""
def computeAllTerms(model: Model, data: Data, q: Vector, v: Vector) -> None:
    """Kinematics, Jacobians, mass matrix, non-linear effects, centroidal terms, energies."""
def computeCoriolisMatrix(model: Model, data: Data, q: Vector, v: Vector) -> None:
    """Coriolis matrix into data.C."""
def parse_urdf_file(filename: str) -> Model:
    """Build a model from a URDF file."""
def parse_urdf_from_string(urdf_string: str) -> Model:
    """Build a model from URDF text."""
def aba(model: Model, data: Data, q: Vector, v: Vector, tau: Vector, fext: Optional[Matrix] = None) -> Vector:
    """Forward dynamics: joint accelerations ddq (nv,); fext (njoints, 6) rows linear part first."""
def computeMinverse(model: Model, data: Data, q: Vector) -> Matrix:
    """Inverse of the mass matrix, full and symmetric (nv, nv)."""
def computeRNEADerivatives(model: Model, data: Data, q: Vector, v: Vector, a: Vector) -> Tuple[Matrix, Matrix, Matrix]:
    """(dtau_dq, dtau_dv, M), each (nv, nv); q derivatives in the tangent space."""
def computeABADerivatives(model: Model, data: Data, q: Vector, v: Vector, tau: Vector) -> Tuple[Matrix, Matrix, Matrix]:
    """(ddq_dq, ddq_dv, Minv), each (nv, nv); q derivatives in the tangent space."""

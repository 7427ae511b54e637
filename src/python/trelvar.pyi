"""Type stubs of the trelvar extension module (rigid-body kinematics and dynamics)."""
from typing import ClassVar, List, Optional

import numpy as np
import numpy.typing as npt

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
    def set_gravity(self, gravity: Vector) -> None:
        """Set the linear gravity (3,)."""
    def set_gravity_angular(self, gravity_angular: Vector) -> None:
        """Set the angular gravity (3,)."""
    def set_gravity_full(self, gravity: Vector) -> None:
        """Set both parts of gravity (6,), linear first."""
    def add_joint(self, parent: int, joint_type: str, axis: Vector, placement: SE3, name: str) -> int:
        """Append a 'fixed', 'revolute', 'prismatic' or 'floating' joint; returns its index."""
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
    def g(self) -> Vector:
        """Generalized gravity (nv,)."""
    @property
    def oMi(self) -> List[SE3]:
        """World placement of every joint."""
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

"""Type stubs of trelvar.batch: the algorithms over N stacked states per call."""
import numpy as np
import numpy.typing as npt

from trelvar import Model

Array = npt.NDArray[np.float64]

def rnea(model: Model, q: Array, v: Array, a: Array, threads: int = 0) -> Array:
    """Inverse dynamics of N states: q (N, nq), v and a (N, nv) give tau (N, nv)."""
def non_linear_effects(model: Model, q: Array, v: Array, threads: int = 0) -> Array:
    """Coriolis, centrifugal and gravity forces of N states (N, nv)."""
def compute_gravity(model: Model, q: Array, threads: int = 0) -> Array:
    """Generalized gravity of N configurations (N, nv)."""
def crba(model: Model, q: Array, threads: int = 0) -> Array:
    """Full symmetric mass matrices of N configurations (N, nv, nv)."""
def forwardKinematics(model: Model, q: Array, threads: int = 0) -> Array:
    """World placements of every joint as homogeneous matrices (N, njoints, 4, 4)."""
def integrate(model: Model, q: Array, v: Array, threads: int = 0) -> Array:
    """Configurations reached with the velocities over unit time (N, nq)."""
def aba(model: Model, q: Array, v: Array, tau: Array, threads: int = 0) -> Array:
    """Forward dynamics of N states: joint accelerations (N, nv)."""
def computeMinverse(model: Model, q: Array, threads: int = 0) -> Array:
    """Full symmetric inverse mass matrices of N configurations (N, nv, nv)."""
def computeRNEADerivatives(
    model: Model, q: Array, v: Array, a: Array, threads: int = 0
) -> tuple[Array, Array, Array]:
    """(dtau_dq, dtau_dv, M) of N states, each (N, nv, nv)."""
def computeABADerivatives(
    model: Model, q: Array, v: Array, tau: Array, threads: int = 0
) -> tuple[Array, Array, Array]:
    """(ddq_dq, ddq_dv, Minv) of N states, each (N, nv, nv)."""
def set_num_threads(threads: int) -> None:
    """Resize the thread pool; 0 sizes it from the processors this process may use."""
def get_num_threads() -> int:
    """Number of threads of the pool, the calling thread counted."""

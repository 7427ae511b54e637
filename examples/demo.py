#!/usr/bin/python3
"""A first tour of trelvar: load two bundled robots, run the main algorithms,
time them, plot the joint torques of the arm along a smooth trajectory, and
simulate the arm falling under gravity with forward dynamics.

Run it with `make demo` (which builds the module first), or with
`PYTHONPATH=build/python /usr/bin/python3 examples/demo.py`.
"""
import os
import sys
import time

import numpy as np

import trelvar as trv

HERE = os.path.dirname(os.path.abspath(__file__))
MODELS = os.path.join(HERE, "..", "models")
OUT = os.environ.get("TRELVAR_DEMO_OUT", os.path.join(HERE, "..", "build", "demo"))


def per_call_us(fn, *args, repeat=2000):
    """Median time of one call in microseconds (several rounds of `repeat` calls)."""
    rounds = []
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(repeat):
            fn(*args)
        rounds.append((time.perf_counter() - start) / repeat * 1e6)
    return sorted(rounds)[len(rounds) // 2]


def section(title):
    print(f"\n--- {title} " + "-" * max(0, 66 - len(title)))


def tour_arm():
    # A model is built once from a URDF file; a Data holds every buffer the
    # algorithms fill for it. Create one Data per model (and per thread).
    model = trv.parse_urdf_file(os.path.join(MODELS, "arm7.urdf"))
    data = model.createData()
    section(f"{model.name}: {model.njoints - 1} joints ({model.nv} moving), nq={model.nq}, nv={model.nv}")

    # Forward kinematics fills the world placement of every joint.
    q = trv.neutral(model)
    q[1], q[3] = 0.6, -1.2
    trv.forwardKinematics(model, data, q)
    tip = data.get_joint_translation(model.njoints - 1)
    print(f"last joint position at q: {np.array2string(tip, precision=4)} m")

    # A smooth trajectory: q(t) = q0 + A sin(w t), with v and a in closed form.
    t = np.linspace(0.0, 4.0, 400)
    amp = np.linspace(0.4, 0.9, model.nv)
    freq = np.linspace(0.5, 1.2, model.nv) * 2 * np.pi
    tau = np.empty((t.size, model.nv))
    for k, tk in enumerate(t):
        qk = q + amp * np.sin(freq * tk)
        vk = amp * freq * np.cos(freq * tk)
        ak = -amp * freq**2 * np.sin(freq * tk)
        # Inverse dynamics: the joint torques that produce acceleration ak.
        tau[k] = trv.rnea(model, data, qk, vk, ak)
    print(f"inverse dynamics along {t.size} samples: peak |tau| per joint (N m):")
    print("   " + " ".join(f"{x:6.2f}" for x in np.abs(tau).max(axis=0)))

    # The mass matrix: crba fills the upper triangle, data.M is the full matrix.
    trv.crba(model, data, q)
    M = data.M
    print(f"mass matrix: {M.shape[0]}x{M.shape[1]}, symmetric, "
          f"eigenvalues in [{np.linalg.eigvalsh(M).min():.4f}, {np.linalg.eigvalsh(M).max():.3f}]")

    # Check the equation of motion: tau = M a + nle.
    v = amp * freq
    a = np.full(model.nv, 0.3)
    nle = trv.non_linear_effects(model, data, q, v)
    trv.crba(model, data, q)
    err = np.abs(trv.rnea(model, data, q, v, a) - (data.M @ a + nle)).max()
    print(f"|rnea(q, v, a) - (M a + nle)| = {err:.2e}")

    # Jacobian of the gripper frame. LOCAL_WORLD_ALIGNED gives the velocity of
    # the frame's origin in world axes; LOCAL the same motion in the frame's axes.
    trv.computeJointJacobians(model, data, q)
    frame = model.getFrameId("gripper")
    J = trv.getFrameJacobian(model, data, frame, trv.ReferenceFrame.LOCAL_WORLD_ALIGNED)
    J_local = trv.getFrameJacobian(model, data, frame, trv.ReferenceFrame.LOCAL)
    print(f"gripper Jacobian {J.shape}: at v the gripper moves at "
          f"{np.linalg.norm(J[:3] @ v):.3f} m/s and turns at {np.linalg.norm(J[3:] @ v):.3f} rad/s "
          f"(same speeds in its own axes: {np.linalg.norm(J_local[:3] @ v):.3f}, "
          f"{np.linalg.norm(J_local[3:] @ v):.3f})")

    section("per-call timings in this run (median, including the Python call)")
    for name, fn, args in [
        ("forwardKinematics", trv.forwardKinematics, (model, data, q)),
        ("rnea", trv.rnea, (model, data, q, v, a)),
        ("crba", trv.crba, (model, data, q)),
        ("non_linear_effects", trv.non_linear_effects, (model, data, q, v)),
        ("compute_gravity", trv.compute_gravity, (model, data, q)),
        ("computeJointJacobians", trv.computeJointJacobians, (model, data, q)),
        ("computeAllTerms", trv.computeAllTerms, (model, data, q, v)),
        ("computeCoriolisMatrix", trv.computeCoriolisMatrix, (model, data, q, v)),
        ("aba", trv.aba, (model, data, q, v, tau[0])),
        ("computeMinverse", trv.computeMinverse, (model, data, q)),
    ]:
        print(f"  {name:24s} {per_call_us(fn, *args):7.2f} us")
    return t, tau, model


def tour_humanoid():
    model = trv.parse_urdf_file(os.path.join(MODELS, "humanoid.urdf"))
    data = model.createData()
    section(f"{model.name}: {model.njoints - 1} joints, nq={model.nq}, nv={model.nv}")

    # The first joint is floating: q starts with the base position and a unit
    # quaternion (x, y, z, w); v starts with the base's linear and angular rates.
    q = trv.neutral(model)
    rng = np.random.default_rng(0)
    q = trv.integrate(model, q, np.concatenate([np.zeros(6), 0.2 * rng.standard_normal(model.nv - 6)]))
    v = 0.5 * rng.standard_normal(model.nv)

    # One pass for everything a whole-body controller needs at (q, v); the
    # results are read back as attributes of data.
    trv.computeAllTerms(model, data, q, v)
    g = data.g
    print(f"total mass {data.mass[0]:.2f} kg (sum of the bodies: {model.masses[1:].sum():.2f} kg), "
          f"centre of mass at {np.array2string(data.com[0], precision=3)} m")
    print(f"kinetic energy {data.kinetic_energy:.3f} J, potential energy {data.potential_energy:.3f} J, "
          f"total {data.mechanical_energy:.3f} J")
    # Centroidal momentum, linear part first like every 6-vector: the linear
    # part is the total mass times the velocity of the centre of mass.
    print(f"centroidal momentum {np.array2string(data.hg, precision=3)}; "
          f"|Ag v - hg| = {np.abs(data.Ag @ v - data.hg).max():.1e}, "
          f"|m vcom - linear part| = {np.abs(data.mass[0] * data.vcom[0] - data.hg[:3]).max():.1e}")
    print(f"mass matrix {data.M.shape}; base block (mass times identity): "
          f"{np.array2string(np.diag(data.M)[:3], precision=2)} kg")
    trv.computeCoriolisMatrix(model, data, q, v)
    nle = trv.non_linear_effects(model, data, q, v)
    print(f"|C v + g - nle| = {np.abs(data.C @ v + g - nle).max():.2e} (Coriolis matrix is consistent)")

    section("per-call timings in this run (median, including the Python call)")
    a = np.zeros(model.nv)
    for name, fn, args in [
        ("rnea", trv.rnea, (model, data, q, v, a)),
        ("crba", trv.crba, (model, data, q)),
        ("computeAllTerms", trv.computeAllTerms, (model, data, q, v)),
        ("aba", trv.aba, (model, data, q, v, a)),
        ("computeMinverse", trv.computeMinverse, (model, data, q)),
    ]:
        print(f"  {name:24s} {per_call_us(fn, *args, repeat=500):7.2f} us")


# Gauss-Legendre nodes and weights on [0, 1].
_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(8)
_NODES, _WEIGHTS = 0.5 * (_NODES + 1.0), 0.5 * _WEIGHTS


def potential_change(model, data, qa, qb):
    """U(qb) - U(qa). The generalized gravity g is the gradient of the potential,
    so the change is its line integral along the straight path from qa to qb (the
    arm's joints are all revolute: qb - qa is a velocity). Between nearby
    configurations 8 Gauss points make it exact to rounding."""
    dq = qb - qa
    return sum(w * trv.compute_gravity(model, data, qa + s * dq) @ dq for s, w in zip(_NODES, _WEIGHTS))


def rk4_step(model, data, q, v, h, tau):
    """One classical Runge-Kutta step of (q', v') = (v, aba(q, v, tau)); each stage
    moves q with `integrate`, so the same code serves any joint kind."""
    a1 = trv.aba(model, data, q, v, tau)
    q2, v2 = trv.integrate(model, q, 0.5 * h * v), v + 0.5 * h * a1
    a2 = trv.aba(model, data, q2, v2, tau)
    q3, v3 = trv.integrate(model, q, 0.5 * h * v2), v + 0.5 * h * a2
    a3 = trv.aba(model, data, q3, v3, tau)
    q4, v4 = trv.integrate(model, q, h * v3), v + h * a3
    a4 = trv.aba(model, data, q4, v4, tau)
    return (trv.integrate(model, q, h / 6.0 * (v + 2.0 * v2 + 2.0 * v3 + v4)),
            v + h / 6.0 * (a1 + 2.0 * a2 + 2.0 * a3 + a4))


def simulate(model, data, q0, duration, h, sample_every):
    """The arm released at rest from q0 with no joint torques. Returns the sample
    times, joint angles, kinetic and total energy (potential relative to q0) and
    the wall time of the integration."""
    q, v = q0.copy(), np.zeros(model.nv)
    tau = np.zeros(model.nv)
    steps = int(round(duration / h))
    times, angles, kinetic, total = [], [], [], []
    potential, q_sampled = 0.0, q0
    elapsed = 0.0
    for k in range(steps + 1):
        if k % sample_every == 0:
            trv.crba(model, data, q)
            potential += potential_change(model, data, q_sampled, q)
            q_sampled = q.copy()
            times.append(k * h)
            angles.append(q.copy())
            kinetic.append(0.5 * v @ data.M @ v)
            total.append(kinetic[-1] + potential)
        if k < steps:
            start = time.perf_counter()
            q, v = rk4_step(model, data, q, v, h, tau)
            elapsed += time.perf_counter() - start
    return np.array(times), np.array(angles), np.array(kinetic), np.array(total), elapsed


def simulation(model):
    """A passive simulation of the arm: forward dynamics with RK4, and the drift of
    its total energy for two step sizes (RK4's error falls as h^4)."""
    data = model.createData()
    section("forward dynamics: the arm released from rest under gravity")
    q0 = trv.neutral(model)
    q0[1], q0[3], q0[5] = 0.9, -0.6, 0.4
    duration, h = 2.0, 2e-3
    t, angles, kinetic, energy, elapsed = simulate(model, data, q0, duration, h, 10)
    *_, energy_coarse, _ = simulate(model, data, q0, duration, 2 * h, 5)
    scale = kinetic.max()  # the energy in play: E(0) = 0 with U(q0) = 0
    drift = (energy - energy[0]) / scale
    drift_coarse = np.abs(energy_coarse - energy_coarse[0]).max() / scale
    calls = 4 * int(round(duration / h))
    print(f"RK4 with h = {h * 1e3:.0f} ms over {duration:.0f} s: {calls} aba calls, "
          f"{elapsed * 1e3:.0f} ms of simulation ({elapsed / calls * 1e6:.1f} us per RK4 stage)")
    print(f"largest kinetic energy {scale:.2f} J; relative energy drift {np.abs(drift).max():.2e} "
          f"(h = {2 * h * 1e3:.0f} ms: {drift_coarse:.2e}, ratio {drift_coarse / np.abs(drift).max():.1f}; "
          "fourth order gives about 16)")
    return t, angles, drift


def plot_simulation(t, angles, drift, model):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(OUT, exist_ok=True)
    path = os.path.join(OUT, "arm7_simulation.png")
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6.5), sharex=True,
                                      gridspec_kw={"height_ratios": [2, 1]})
    moving = [name for name in model.names[1:] if "joint" in name]
    for j in range(angles.shape[1]):
        top.plot(t, angles[:, j], label=moving[j])
    top.set_ylabel("joint angle (rad)")
    top.set_title(f"{model.name}: released from rest under gravity (aba + RK4, h = 2 ms)")
    top.legend(fontsize=8, ncol=4)
    top.grid(alpha=0.3)
    bottom.plot(t, drift, color="black")
    bottom.set_xlabel("time (s)")
    bottom.set_ylabel("(E - E(0)) / max kinetic")
    bottom.ticklabel_format(axis="y", style="sci", scilimits=(0, 0))
    bottom.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot written to {os.path.normpath(path)}")


def plot(t, tau, model):
    import matplotlib
    matplotlib.use("Agg")  # no display needed
    import matplotlib.pyplot as plt

    os.makedirs(OUT, exist_ok=True)
    path = os.path.join(OUT, "arm7_torques.png")
    fig, ax = plt.subplots(figsize=(8, 4.5))
    moving = [name for name in model.names[1:] if "joint" in name]  # the revolute joints, in order
    for j in range(tau.shape[1]):
        ax.plot(t, tau[:, j], label=moving[j])
    ax.set_xlabel("time (s)")
    ax.set_ylabel("joint torque (N m)")
    ax.set_title(f"{model.name}: inverse dynamics along a smooth trajectory")
    ax.legend(fontsize=8, ncol=4)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"\nplot written to {os.path.normpath(path)}")


def main():
    print(f"trelvar {trv.__version__}")
    t, tau, model = tour_arm()
    tour_humanoid()
    sim = simulation(model)
    plot(t, tau, model)
    plot_simulation(*sim, model)
    return 0


if __name__ == "__main__":
    sys.exit(main())

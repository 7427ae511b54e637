#!/usr/bin/python3
"""Per-call time of every module function on the bundled 7-joint arm, the
binding's overhead over the core call measured by bench_core on the same model,
and the time of one read of every Data, Model and SE3 property (one copy each;
the 6 x nv matrices are meant to stay within 1 us).

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [--build build]
"""
import argparse
import json
import operator
import os
import subprocess
import time

import numpy as np

import trelvar as trv

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def per_call_ns(fn, args_list, rounds=9, calls=20000):
    """Fastest round's mean time of one call (rounds hit by other work on the shared
    cores come out slower, never faster); inputs cycle through args_list. The figure
    includes the Python loop around the call."""
    n = len(args_list)
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter_ns()
        for k in range(calls):
            fn(*args_list[k % n])
        best = min(best, (time.perf_counter_ns() - start) / calls)
    return best


def core_times(build, model):
    exe = os.path.join(build, "bench", "bench_core")
    if not os.path.exists(exe):
        return {}
    out = subprocess.run([exe, f"--benchmark_filter=/{model}$", "--benchmark_min_time=0.2",
                          "--benchmark_format=json"], capture_output=True, text=True, check=True)
    return {b["name"].split("/")[0]: b["real_time"] for b in json.loads(out.stdout)["benchmarks"]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--model", default="arm7")
    args = parser.parse_args()

    model = trv.parse_urdf_file(os.path.join(ROOT, "models", f"{args.model}.urdf"))
    data = model.createData()
    rng = np.random.default_rng(0)
    states = []
    for _ in range(32):
        q = trv.integrate(model, trv.neutral(model), rng.standard_normal(model.nv))
        states.append((q, rng.standard_normal(model.nv), rng.standard_normal(model.nv)))
    frame = model.nframes - 1
    W = trv.ReferenceFrame.LOCAL
    cases = [
        ("neutral", trv.neutral, None, [(model,)]),
        ("integrate", trv.integrate, None, [(model, q, v) for q, v, _ in states]),
        ("forwardKinematics", trv.forwardKinematics, "forward_kinematics", [(model, data, q) for q, _, _ in states]),
        ("rnea", trv.rnea, "rnea", [(model, data, q, v, a) for q, v, a in states]),
        ("non_linear_effects", trv.non_linear_effects, "non_linear_effects", [(model, data, q, v) for q, v, _ in states]),
        ("compute_gravity", trv.compute_gravity, "compute_gravity", [(model, data, q) for q, _, _ in states]),
        ("crba", trv.crba, "crba", [(model, data, q) for q, _, _ in states]),
        ("computeAllTerms", trv.computeAllTerms, "compute_all_terms", [(model, data, q, v) for q, v, _ in states]),
        ("computeCoriolisMatrix", trv.computeCoriolisMatrix, "compute_coriolis_matrix",
         [(model, data, q, v) for q, v, _ in states]),
        ("computeJointJacobians", trv.computeJointJacobians, "compute_joint_jacobians",
         [(model, data, q) for q, _, _ in states]),
        ("computeJointJacobian", trv.computeJointJacobian, "compute_joint_jacobian",
         [(model, data, q, model.njoints - 1) for q, _, _ in states]),
        ("computeJointJacobiansTimeVariation", trv.computeJointJacobiansTimeVariation,
         "compute_joint_jacobians_time_variation", [(model, data, q, v) for q, v, _ in states]),
        ("aba", trv.aba, "aba", [(model, data, q, v, a) for q, v, a in states]),
        ("computeMinverse", trv.computeMinverse, "compute_minverse", [(model, data, q) for q, _, _ in states]),
        ("computeRNEADerivatives", trv.computeRNEADerivatives, "compute_rnea_derivatives",
         [(model, data, q, v, a) for q, v, a in states]),
        ("computeABADerivatives", trv.computeABADerivatives, "compute_aba_derivatives",
         [(model, data, q, v, a) for q, v, a in states]),
        ("getFrameJacobian", trv.getFrameJacobian, "get_frame_jacobian", [(model, data, frame, W)]),
        ("getFrameJacobianTimeVariation", trv.getFrameJacobianTimeVariation, None, [(model, data, frame, W)]),
    ]
    core = core_times(args.build, args.model)
    print(f"model {args.model}: nq={model.nq} nv={model.nv}")
    print(f"{'function':38s} {'python (ns)':>12s} {'core (ns)':>10s} {'overhead (ns)':>14s}")
    for name, fn, core_name, arglist in cases:
        t = per_call_ns(fn, arglist)
        c = core.get(core_name) if core_name else None
        over = f"{t - c:14.0f}" if c is not None else f"{'':>14s}"
        cs = f"{c:10.0f}" if c is not None else f"{'':>10s}"
        print(f"{name:38s} {t:12.0f} {cs} {over}")
    property_reads(model, data, *states[0][:2])


DATA_PROPERTIES = ["M", "C", "g", "oMi", "tau", "nle", "J", "dJ", "Ag", "dAg", "Jcom", "com", "vcom",
                   "mass", "v", "a", "f", "ov", "a_gf", "h", "liMi", "oYcrb", "hg", "dhg", "Ig",
                   "kinetic_energy", "potential_energy", "mechanical_energy"]
MODEL_PROPERTIES = ["parents", "idx_qs", "nqs", "idx_vs", "nvs", "joint_types", "axes", "placements",
                    "masses", "levers", "rotational_inertias", "children", "supports", "subtrees",
                    "frames"]
SE3_PROPERTIES = ["homogeneous", "rotation", "translation"]
SIX_BY_NV = {"J", "dJ", "Ag", "dAg"}
SIX_BY_NV_LIMIT_NS = 1000


def property_reads(model, data, q, v):
    """One read of each property after computeAllTerms, with the Python loop around it."""
    trv.computeAllTerms(model, data, q, v)
    x = data.oMi[-1]
    print(f"\n{'property read':38s} {'python (ns)':>12s}")
    for owner, names in (("Data", DATA_PROPERTIES), ("Model", MODEL_PROPERTIES), ("SE3", SE3_PROPERTIES)):
        obj = {"Data": data, "Model": model, "SE3": x}[owner]
        for name in names:
            t = per_call_ns(operator.attrgetter(name), [(obj,)])
            note = ""
            if owner == "Data" and name in SIX_BY_NV:
                note = f"  (limit {SIX_BY_NV_LIMIT_NS}: {'ok' if t <= SIX_BY_NV_LIMIT_NS else 'OVER'})"
            print(f"{owner + '.' + name:38s} {t:12.0f}{note}")
    t = per_call_ns(x.act, [(q[:3].copy(),)])
    print(f"{'SE3.act (one point)':38s} {t:12.0f}")


if __name__ == "__main__":
    main()

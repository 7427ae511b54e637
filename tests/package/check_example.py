#!/usr/bin/env python3
"""Installs the library from a build tree into a fresh prefix, checks what was
installed, builds examples/cpp against the installation by one route (the
CMake package or pkg-config), runs it, and compares its output with
examples/cpp/expected_output.txt (numbers to one unit in their last printed place).

Usage: check_example.py --route cmake|pkg-config --build-dir B --source-dir S
         --work-dir W --version X.Y.Z --cxx COMPILER [--generator G] [--libdir L]
         [--shared]
"""
import argparse
import glob
import math
import os
import shutil
import subprocess
import sys


def run(cmd, **kwargs):
    result = subprocess.run(cmd, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        sys.exit(f"failed ({result.returncode}): {' '.join(cmd)}\n{result.stdout}{result.stderr}")
    return result.stdout


def check_installed(prefix, libdir, source_dir, version, shared):
    """The installed files, and nothing unexpected under include/trelvar."""
    problems = []
    headers = sorted(os.listdir(os.path.join(prefix, "include", "trelvar")))
    public = sorted(os.listdir(os.path.join(source_dir, "include", "trelvar")) + ["version.hpp"])
    if headers != public:
        problems.append(f"include/trelvar holds {headers}, expected {public}")
    major, minor, _ = version.split(".")
    if shared:
        lib = os.path.join(prefix, libdir, "libtrelvar.so")
        chain = [os.path.basename(os.path.realpath(lib))]
        if chain[0] != f"libtrelvar.so.{version}":
            problems.append(f"libtrelvar.so resolves to {chain[0]}")
        if os.readlink(os.path.join(prefix, libdir, f"libtrelvar.so.{major}.{minor}")) != \
                f"libtrelvar.so.{version}":
            problems.append(f"libtrelvar.so.{major}.{minor} is not a link to the library")
        if os.path.exists(os.path.join(prefix, libdir, "libtrelvar.a")):
            problems.append("a shared build installed a static library too")
    else:
        lib = os.path.join(prefix, libdir, "libtrelvar.a")
    expected = [lib,
                os.path.join(prefix, libdir, "cmake", "trelvar", "trelvarConfig.cmake"),
                os.path.join(prefix, libdir, "cmake", "trelvar", "trelvarConfigVersion.cmake"),
                os.path.join(prefix, libdir, "cmake", "trelvar", "trelvarTargets.cmake"),
                os.path.join(prefix, libdir, "pkgconfig", "trelvar.pc"),
                os.path.join(prefix, "share", "trelvar", "models", "arm7.urdf")]
    problems += [f"not installed: {os.path.relpath(p, prefix)}" for p in expected
                 if not os.path.isfile(p)]
    with open(os.path.join(prefix, "include", "trelvar", "version.hpp")) as f:
        if f'#define TRELVAR_VERSION_STRING "{version}"' not in f.read():
            problems.append("version.hpp does not carry the project version")
    return problems


def build_with_cmake(args, prefix, work):
    build = os.path.join(work, "build")
    run(["cmake", "-S", os.path.join(args.source_dir, "examples", "cpp"), "-B", build,
         "-G", args.generator, f"-DCMAKE_CXX_COMPILER={args.cxx}", f"-DCMAKE_PREFIX_PATH={prefix}",
         "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF"])
    run(["cmake", "--build", build])
    return os.path.join(build, "trelvar_example"), {}


def build_with_pkg_config(args, prefix, libdir, work):
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, libdir, "pkgconfig"))
    env.pop("PKG_CONFIG_LIBDIR", None)
    flags = run(["pkg-config", "--cflags", "--libs", "trelvar"], env=env).split()
    models = run(["pkg-config", "--variable=modelsdir", "trelvar"], env=env).strip()
    exe = os.path.join(work, "trelvar_example")
    run([args.cxx, "-std=c++17", os.path.join(args.source_dir, "examples", "cpp", "main.cpp"),
         f'-DTRELVAR_EXAMPLE_URDF="{models}/arm7.urdf"', "-o", exe, *flags])
    # A shared library found through pkg-config is located at run time by the loader.
    return exe, {"LD_LIBRARY_PATH": os.path.join(prefix, libdir)}


def numbers_match(got, want):
    try:
        a, b = float(got), float(want)
    except ValueError:
        return got == want
    # Printed with 9 decimals: allow one unit in the last place (rounding).
    return math.isclose(a, b, rel_tol=0.0, abs_tol=1.5e-9)


def compare_output(out, expected):
    got, want = out.splitlines(), expected.splitlines()
    problems = []
    if len(got) != len(want):
        problems.append(f"{len(got)} lines, expected {len(want)}")
    for n, (g, w) in enumerate(zip(got, want), 1):
        gt, wt = g.split(), w.split()
        if len(gt) != len(wt) or not all(numbers_match(x, y) for x, y in zip(gt, wt)):
            problems.append(f"line {n}: {g!r}\n   expected {w!r}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--route", choices=["cmake", "pkg-config"], required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--generator", default="Ninja")
    parser.add_argument("--libdir", default="lib", help="CMAKE_INSTALL_LIBDIR of the build")
    parser.add_argument("--shared", action="store_true")
    args = parser.parse_args()

    work = os.path.abspath(args.work_dir)
    shutil.rmtree(work, ignore_errors=True)
    prefix = os.path.join(work, "prefix")
    run(["cmake", "--install", args.build_dir, "--prefix", prefix])
    libdir = args.libdir
    problems = check_installed(prefix, libdir, args.source_dir, args.version, args.shared)

    if args.route == "cmake":
        exe, env = build_with_cmake(args, prefix, work)
    else:
        exe, env = build_with_pkg_config(args, prefix, libdir, work)
    env = dict(os.environ, **env)

    if args.shared:
        needed = run(["readelf", "-dW", exe])
        major, minor, _ = args.version.split(".")
        if f"[libtrelvar.so.{major}.{minor}]" not in needed:
            problems.append(f"the example does not need libtrelvar.so.{major}.{minor}:\n{needed}")
    elif "libtrelvar" in run(["readelf", "-dW", exe]):
        problems.append("the example was linked against a shared libtrelvar")

    result = subprocess.run([exe], capture_output=True, text=True, env=env)
    if result.returncode != 0:
        problems.append(f"the example exited with {result.returncode}: {result.stderr}")
    with open(os.path.join(args.source_dir, "examples", "cpp", "expected_output.txt")) as f:
        expected = f.read().replace("@VERSION@", args.version)
    problems += compare_output(result.stdout, expected)

    # A failure inside the library reaches the program as a trelvar::Error (type
    # information shared across the library boundary) and ends it with status 1.
    missing = os.path.join(work, "no-such-robot.urdf")
    failed = subprocess.run([exe, missing], capture_output=True, text=True, env=env)
    if failed.returncode != 1 or not failed.stderr.startswith("trelvar_example: ") \
            or missing not in failed.stderr or failed.stdout:
        problems.append(f"with a missing file: status {failed.returncode}, "
                        f"stdout {failed.stdout!r}, stderr {failed.stderr!r}")

    for p in problems:
        print(p)
    print(f"route {args.route}{' (shared)' if args.shared else ''}: {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

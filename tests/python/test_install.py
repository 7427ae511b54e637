"""`pip install --no-build-isolation .` into a venv works offline and installs
the module with its stubs."""
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


@pytest.mark.slow
def test_pip_install_into_venv(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH",)}
    install = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "-q",
                              ROOT], capture_output=True, text=True, env=env, cwd=tmp_path)
    assert install.returncode == 0, install.stdout + install.stderr
    code = ("import trelvar, sysconfig, os, numpy as np\n"
            "m = trelvar.parse_urdf_from_string(\"<robot name='r'><link name='a'/></robot>\")\n"
            "site = sysconfig.get_paths()['purelib']\n"
            "print(trelvar.__file__.startswith(site), m.name, trelvar.__version__,\n"
            "      os.path.exists(os.path.join(site, 'trelvar.pyi')),\n"
            "      os.path.exists(os.path.join(site, 'trelvar-stubs', 'py.typed')))\n")
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, env=env, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "r", "0.1.4", "True", "True"]


def test_versions_agree():
    """The package metadata, the CMake project (the source of trelvar/version.hpp)
    and the module carry one version."""
    import trelvar
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        cmake = re.search(r"project\(trelvar VERSION (\S+)", f.read()).group(1)
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        pyproject = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)
    assert cmake == pyproject == trelvar.__version__

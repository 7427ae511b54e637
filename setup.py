"""Builds the extension module with CMake (the same build as `make build`) and
installs it with its type stubs:

- trelvar.abi3.so                the module itself (stable ABI, Python >= 3.11)
- trelvar.pyi                    stubs beside the module, found by editors
- trelvar-stubs/__init__.pyi     the same stubs as a stub-only package, the form
  trelvar-stubs/py.typed         that type checkers look for when a module is a
                                 single extension file rather than a package
"""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
STUBS = os.path.join(ROOT, "src", "python", "trelvar.pyi")


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        # The module embeds the library (static), so it depends on no libtrelvar.so.
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            f"-DPython3_EXECUTABLE={sys.executable}", "-DTRELVAR_BUILD_TESTS=OFF",
            "-DTRELVAR_BUILD_BENCH=OFF", "-DBUILD_SHARED_LIBS=OFF"])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "trelvar_python"])
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(build_dir, "python", "trelvar.abi3.so"), target)
        out = os.path.dirname(target)
        shutil.copyfile(STUBS, os.path.join(out, "trelvar.pyi"))
        stubs_pkg = os.path.join(out, "trelvar-stubs")
        os.makedirs(stubs_pkg, exist_ok=True)
        shutil.copyfile(STUBS, os.path.join(stubs_pkg, "__init__.pyi"))
        open(os.path.join(stubs_pkg, "py.typed"), "w").close()

    def get_ext_filename(self, ext_name):
        return ext_name + ".abi3.so"


setup(
    ext_modules=[Extension("trelvar", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    py_modules=[],
    zip_safe=False,
)

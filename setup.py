"""The Python module's build for pip: CMake configures the project for this interpreter (the
library and the module only) in build-pip/, builds the module `_ondrel` and setuptools packages
it with the .py files of python/ondrel. The version is the CMake project's.
ONDREL_BUILD_DIR=DIR takes the module from a CMake build already configured for this
interpreter instead, and keeps setuptools' files in DIR/build-pip (the package test does,
rather than building everything again)."""
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(os.environ.get("ONDREL_BUILD_DIR") or ROOT, "build-pip")


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(ondrel VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.environ.get("ONDREL_BUILD_DIR") or os.path.join(BUILD, "cmake")
        if "ONDREL_BUILD_DIR" not in os.environ:
            launcher = [f"-DCMAKE_{lang}_COMPILER_LAUNCHER=ccache" for lang in ("C", "CXX") if shutil.which("ccache")]
            subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                                   f"-DPython3_EXECUTABLE={sys.executable}", "-DONDREL_PYTHON=ON",
                                   "-DONDREL_TESTS=OFF", "-DONDREL_TOOLS=OFF", "-DONDREL_BENCH=OFF"] + launcher)
        subprocess.check_call(["cmake", "--build", build, "--target", "_ondrel", "-j", str(os.cpu_count() or 1)])
        built = os.path.join(build, "python", "ondrel")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        name = next(f for f in os.listdir(built) if f.startswith("_ondrel") and f.endswith(".so"))
        self.copy_file(os.path.join(built, name), target)


os.makedirs(BUILD, exist_ok=True)
setup(version=version(), packages=["ondrel"], package_dir={"": "python"},
      options={"build": {"build_base": BUILD}, "egg_info": {"egg_base": BUILD}},
      ext_modules=[Extension("ondrel._ondrel", sources=[])], cmdclass={"build_ext": CMakeBuild})

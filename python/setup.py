"""The pixelwell wheel: the package's Python files and the native module, built by the project's
CMake build (the core and the front-end library linked in), for the Python that runs this.

PIXELWELL_BUILD names a build folder to build the module in, relative to the project's folder or
absolute (scripts/package passes build/native, whose module is then already built); by default
build/wheel."""
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(pixelwell VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    """Builds the module with CMake (target pixelwell_python) instead of compiling sources here."""

    def build_extension(self, ext):
        build = os.path.join(ROOT, os.environ.get("PIXELWELL_BUILD") or os.path.join("build", "wheel"))
        if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
            subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                                   "-DPIXELWELL_BENCH=OFF", f"-DPython3_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", build, "--target", "pixelwell_python"])
        built = os.path.join(build, "python", "pixelwell", "_pixelwell" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not os.path.exists(built):
            sys.exit(f"setup.py: {built} was not built: {build} is configured for another Python than "
                     f"{sys.executable}, or without pybind11 (scripts/install-deps python)")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)
        # As the .deb holds it: without the symbols a debugger would want.
        if shutil.which("strip"):
            subprocess.check_call(["strip", "--strip-unneeded", target])


scratch = os.path.join(ROOT, "build", "wheel-setuptools")
os.makedirs(scratch, exist_ok=True)
with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
    readme = f.read()

setup(
    name="pixelwell",
    version=project_version(),
    description="Pixelwell's image-processing operations on numpy arrays, exact to the bit",
    long_description=readme,
    long_description_content_type="text/markdown",
    license="MIT",
    author="The Pixelwell authors",
    author_email="pixelwell@example.org",
    python_requires=">=3.11,<3.12",
    install_requires=["numpy"],
    packages=["pixelwell"],
    package_data={"pixelwell": ["_pixelwell.pyi", "py.typed"]},
    ext_modules=[Extension("pixelwell._pixelwell", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": scratch}, "egg_info": {"egg_base": scratch}},
    zip_safe=False,
)

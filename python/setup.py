"""The wheel's build steps beyond pyproject.toml: the version from nimbet.h,
the module libnimbetJava.so copied into the package, and the wheel's tag."""

import os
import re
import shutil
import subprocess
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def version() -> str:
    header = (ROOT / "include" / "nimbet" / "nimbet.h").read_text()
    return re.search(r'#define NIMBET_VERSION_STRING "([^"]+)"', header).group(1)


def module() -> Path:
    """The module to bundle: NIMBET_MODULE when set, else built here with CMake (the library alone)."""
    given = os.environ.get("NIMBET_MODULE")
    if given:
        # The build runs in python/: a relative path may be meant from there or from the checkout.
        for path in (Path(given), ROOT / given):
            if path.is_file():
                return path
        raise SystemExit(f"NIMBET_MODULE={given}: no such file")
    build = HERE / "build" / "module"
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", "-DNIMBET_TESTS=OFF",
         "-DNIMBET_JAVA=OFF", "-DNIMBET_BRIDGE=OFF", "-DNIMBET_TOOL=OFF", "-DNIMBET_INSTALL=OFF"],
        check=True,
    )
    subprocess.run(
        ["cmake", "--build", str(build), "--target", "nimbetJava", "-j", os.environ.get("NIMBET_JOBS", "2")],
        check=True,
    )
    return build / "libnimbetJava.so"


class BuildWithModule(build_py):
    def run(self) -> None:
        super().run()
        # The file itself, not a link: a wheel holds no links.
        shutil.copyfile(module(), Path(self.build_lib) / "nimbet" / "libnimbetJava.so")


class WithNativeCode(Distribution):
    """The package holds native code, so its wheel is for one platform."""

    def has_ext_modules(self) -> bool:
        return True


class AnyPython3Wheel(bdist_wheel):
    """Tagged for any Python 3: ctypes loads the module, no extension is compiled against one Python."""

    def get_tag(self) -> tuple[str, str, str]:
        return "py3", "none", super().get_tag()[2]


setup(
    version=version(),
    distclass=WithNativeCode,
    cmdclass={"build_py": BuildWithModule, "bdist_wheel": AnyPython3Wheel},
)

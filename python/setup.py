"""The wheel's build steps beyond pyproject.toml: the version from nimbet.h,
the module libnimbetJava.so copied into the package, the wheel's tag (the
manylinux level its module needs, see wheel_tag.py), and an sdist that
carries the C++ sources the module is built from (in libnimbet/)."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from setuptools.command.sdist import sdist
from wheel.bdist_wheel import bdist_wheel

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from wheel_tag import tag_of  # noqa: E402

# What building the module needs, relative to the checkout: an sdist carries
# these in libnimbet/.
C_SOURCES = ["CMakeLists.txt", "LICENSE", "cmake", "include", "src/libnimbet"]


def source_root() -> Path:
    """The C++ sources: the checkout around python/, or their copy in an sdist."""
    for root in (HERE.parent, HERE / "libnimbet"):
        if (root / "include" / "nimbet" / "nimbet.h").is_file() and (root / "CMakeLists.txt").is_file():
            return root
    raise SystemExit("nimbet: neither a checkout of libnimbet around python/ nor its sources in libnimbet/")


ROOT = source_root()


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


class ManylinuxWheel(bdist_wheel):
    """Tagged for any Python 3 (ctypes loads the module, no extension is
    compiled against one Python) on the systems the module runs on: the
    manylinux level of the glibc and libstdc++ symbol versions it needs, so
    that pip refuses it where it would fail at import (older glibc, musl)."""

    def get_tag(self) -> tuple[str, str, str]:
        return "py3", "none", tag_of(module().read_bytes())


class SdistWithSources(sdist):
    """An sdist that builds: the package and the C++ sources of the module."""

    def make_release_tree(self, base_dir: str, files: list[str]) -> None:
        super().make_release_tree(base_dir, files)
        if ROOT == HERE / "libnimbet":
            return  # an sdist made from an sdist: MANIFEST.in took them
        for name in C_SOURCES:
            source, target = ROOT / name, Path(base_dir) / "libnimbet" / name
            if source.is_dir():
                shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__"))
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(source, target)


setup(
    version=version(),
    distclass=WithNativeCode,
    cmdclass={"build_py": BuildWithModule, "bdist_wheel": ManylinuxWheel, "sdist": SdistWithSources},
)

"""The extension digisonde16c._core for pip (see pyproject.toml): the
module's sources under python/module and the block and decoder libraries'
sources, found by name so that a source added or renamed there needs no
change here. Tests and the programs' main files are left out."""

import glob
import os

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))


def version():
    with open(os.path.join(HERE, "VERSION"), encoding="ascii") as text:
        return text.readline().strip()


def is_main_file(path):
    with open(path, encoding="utf-8", errors="replace") as source:
        return any(line.startswith("int main(") for line in source)


def sources(pattern):
    """The files matching `pattern` in this tree, as relative paths."""
    return sorted(os.path.relpath(path, HERE) for path in glob.glob(os.path.join(HERE, pattern)))


def library_sources():
    return [path for library in ("blockio", "decoder") for path in sources(f"{library}/*.cc")
            if not path.endswith("_test.cc") and not is_main_file(os.path.join(HERE, path))]


# The sources compile on every core (NPY_NUM_BUILD_JOBS sets how many).
ParallelCompile("NPY_NUM_BUILD_JOBS").install()

setup(
    version=version(),
    ext_modules=[Pybind11Extension(
        "digisonde16c._core",
        sources("python/module/*.cc") + library_sources(),
        include_dirs=["."],
        define_macros=[("DIGISONDE16C_VERSION", f'"{version()}"')],
        cxx_std=17,
        extra_compile_args=["-O3"],
    )],
    cmdclass={"build_ext": build_ext},
)

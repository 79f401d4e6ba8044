"""Builds and runs the C++ unit tests of the core (tests/cpp/*.cpp)."""

import glob
import os
import shutil
import subprocess

import pytest

from formats import SETTINGS

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "cpp-tests")
SOURCES = sorted(glob.glob(os.path.join(ROOT, "tests", "cpp", "*.cpp")))


@pytest.fixture(scope="module")
def built():
    if not shutil.which("cmake"):
        pytest.skip("cmake is not installed")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, *generator, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DVUZEVUZ_CPP_TESTS=ON"], check=True, capture_output=True)
    names = [os.path.splitext(os.path.basename(s))[0] for s in SOURCES]
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", *names], check=True, capture_output=True)
    return BUILD


@pytest.mark.parametrize("source", SOURCES, ids=os.path.basename)
def test_cpp(built, source):
    exe = os.path.join(built, os.path.splitext(os.path.basename(source))[0])
    run = subprocess.run([exe], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr


def test_python_copy_of_the_settings_tables(built):
    run = subprocess.run([os.path.join(built, "test_settings_tables")], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    tables = {}
    for line in run.stdout.splitlines():
        family, key, default, width = line.split()
        tables.setdefault(family, {})[key] = (int(default), int(width) if width.isdigit() else width)
    # same families, same keys in the same order, same defaults and widths
    assert [(f, list(t.items())) for f, t in tables.items()] == [(f, list(t.items())) for f, t in SETTINGS.items()]

"""Runs the C++ unit tests under tests/cpp (units that Python cannot reach with arbitrary inputs)."""

import os
import shutil
import subprocess

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The tools and the units run without whatever the interpreter was started with (a sanitizer runtime).
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
UNITS = sorted(f[:-4] for f in os.listdir(os.path.join(REPO, "tests", "cpp")) if f.endswith(".cpp"))


@pytest.fixture(scope="session")
def build_dir(request):
    if not (shutil.which("cmake") and shutil.which("ninja")):
        pytest.skip("cmake and ninja are needed to build the C++ unit tests")
    # Kept in pytest's cache so that later runs only rebuild what changed.
    d = str(request.config.cache.mkdir("cpp-units"))
    subprocess.run(["cmake", "-S", REPO, "-B", d, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DVUZEVUZ_CPP_TESTS=ON"], check=True, capture_output=True, env=ENV)
    subprocess.run(["ninja", "-C", d, "-j2", *UNITS], check=True, capture_output=True, env=ENV)
    return d


@pytest.mark.parametrize("unit", UNITS)
def test_cpp_unit(build_dir, unit):
    res = subprocess.run([os.path.join(build_dir, unit)], capture_output=True, text=True, timeout=300, env=ENV)
    assert res.returncode == 0, res.stderr + res.stdout

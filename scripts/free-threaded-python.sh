# Free-threaded CPython 3.14 (built with --disable-gil), which no package
# registry provides, plain and under ThreadSanitizer: the project's shared
# folder beside the checkout holds relocatable builds of both
# (../shared/interpreters, with its README and SHA256SUMS). Each is unpacked
# into a cache outside the clone, checked against its digest, and never
# copied into the repository. Sourced by scripts/wheels and scripts/test after
# dev-env.sh.

shared_interpreters="$root/../shared/interpreters"
free_threaded_archive="$shared_interpreters/cpython-3.14t-x86_64-linux-gnu.tar.xz"
free_threaded_dir="${VINDRAL_FREE_THREADED_DIR:-/var/cache/vindral/cpython-3.14t}"
tsan_archive="$shared_interpreters/cpython-3.14t-tsan-x86_64-linux-gnu.tar.xz"
tsan_dir="${VINDRAL_TSAN_DIR:-/var/cache/vindral/cpython-3.14t-tsan}"

# unpack_shared_interpreter ARCHIVE DIR WHAT: ARCHIVE checked and unpacked
# into DIR once; returns 1 (saying why) where the shared folder lacks it.
unpack_shared_interpreter() {
  local archive="$1" dir="$2" what="$3" sums
  [[ -f "$dir/.vindral-ready" ]] && return 0
  if [[ ! -f "$archive" || "$(uname -m)" != x86_64 ]]; then
    echo "== $what: $archive is not here; skipped"
    return 1
  fi
  sums="$(dirname "$archive")/SHA256SUMS"
  (cd "$(dirname "$archive")" && grep " $(basename "$archive")\$" "$sums" \
    | sha256sum --check --quiet --strict)
  rm -rf "$dir"
  mkdir -p "$dir"
  tar -xJf "$archive" -C "$dir"
  touch "$dir/.vindral-ready"
}

# ensure_free_threaded: sets free_threaded_python to the interpreter, or
# returns 1 (saying why) where the shared folder does not hold it.
ensure_free_threaded() {
  free_threaded_python="$free_threaded_dir/cpython-3.14t/bin/python3.14t"
  unpack_shared_interpreter "$free_threaded_archive" "$free_threaded_dir" \
    "free-threaded CPython 3.14"
}

# ensure_tsan_python: the same for the build under ThreadSanitizer, setting
# tsan_python and tsan_suppressions (CPython's own list for its known reports).
ensure_tsan_python() {
  tsan_python="$tsan_dir/cpython-3.14t-tsan/bin/python3.14t"
  tsan_suppressions="$tsan_dir/cpython-3.14t-tsan/share/tsan/suppressions_free_threading.txt"
  unpack_shared_interpreter "$tsan_archive" "$tsan_dir" \
    "free-threaded CPython 3.14 under ThreadSanitizer"
}

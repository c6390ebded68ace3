# What the install tests share: programs they need, a private world under
# $TMPDIR that is removed at the end, and a reference host serving a sample
# account in it.

# need PROGRAM PACKAGE: fails the test, naming the package, when PROGRAM is missing.
need() {
  command -v "$1" >/dev/null 2>&1 && return 0
  echo "FAIL: $1 is not installed (Debian package $2: apt-get install $2)" >&2
  exit 1
}

# need_fuse: skips the test (77) where FUSE cannot be used at all.
need_fuse() {
  need fusermount3 fuse3
  if [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ]; then
    echo "SKIP: /dev/fuse is not available here, so nothing can be mounted" >&2
    exit 77
  fi
}

# make_world: $WORLD, a fresh folder removed by cleanup_world.
make_world() {
  WORLD="$(mktemp -d "${TMPDIR:-/tmp}/fpi.XXXXXX")"
  HOST_PID=""
}

# start_host REFHOST STORE LOG: seeds STORE and serves it in the background
# (HOST_PID) with the environment as it is; waits until it serves.
start_host() {
  "$1" seed --store "$2" >/dev/null
  "$1" serve --store "$2" >"$3" 2>&1 </dev/null &
  HOST_PID=$!
  for _ in $(seq 1 150); do
    grep -q '^serving ' "$3" 2>/dev/null && return 0
    kill -0 "$HOST_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL: the reference host did not start:" >&2
  cat "$3" >&2
  exit 1
}

# cleanup_world [MOUNTPOINT...]: unmounts, stops the host, removes $WORLD.
cleanup_world() {
  local m
  for m in "$@"; do
    if mountpoint -q "$m" 2>/dev/null; then
      fusermount3 -u "$m" 2>/dev/null || fusermount3 -u -z "$m" 2>/dev/null || true
    fi
  done
  if [ -n "${HOST_PID:-}" ]; then
    kill -TERM "$HOST_PID" 2>/dev/null || true
    wait "$HOST_PID" 2>/dev/null || true
  fi
  [ -n "${WORLD:-}" ] && rm -rf "$WORLD"
}

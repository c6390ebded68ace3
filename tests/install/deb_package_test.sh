#!/usr/bin/env bash
# The Debian package: `cpack -G DEB` builds it from the build tree; it declares
# fuse3 and the libraries the programs link; `dpkg-deb -x` unpacks it into a
# temporary root, and the demo (scripts/demo.sh) runs from that root's
# programs: seed, register, serve, list, fetch and mount.
#   deb_package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
here="$(dirname "$0")"
. "$here/common.sh"
need cpack cmake
need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need_fuse
need mountpoint util-linux

make_world
# The host first: cleanup_world removes the folder that holds its pid file.
trap 'stop_demo_host; cleanup_world "$WORLD/demo/mount"' EXIT
stop_demo_host() {
  local pid
  pid="$(cat "$WORLD/demo/pell-refhost.pid" 2>/dev/null)" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
}

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$WORLD/out" >"$WORLD/cpack.log" 2>&1; then
  cat "$WORLD/cpack.log" >&2
  echo "FAIL: cpack -G DEB failed" >&2
  exit 1
fi
deb="$(find "$WORLD/out" -maxdepth 1 -name '*.deb' -print -quit)"
[ -n "$deb" ] || { echo "FAIL: cpack made no .deb:" >&2; cat "$WORLD/cpack.log" >&2; exit 1; }

depends="$(dpkg-deb -f "$deb" Depends)"
for package in fuse3 libfuse3 libsqlite3 libicu libstdc++6; do
  case "$depends" in
    *"$package"*) ;;
    *) echo "FAIL: the package does not depend on $package: $depends" >&2; exit 1 ;;
  esac
done

root="$WORLD/root"
dpkg-deb -x "$deb" "$root"
for file in usr/bin/fpctl usr/bin/pell-domain usr/bin/pell-refhost \
  usr/lib/fileprovider/PlugIns/PelloraFileProvider.appex/Info.json \
  usr/lib/systemd/user/fpctl-mount@.service \
  usr/share/doc/pellora-connect-fileprovider/README.md \
  usr/share/doc/pellora-connect-fileprovider/docs/design.md; do
  [ -e "$root/$file" ] || { echo "FAIL: the package lacks /$file" >&2; dpkg-deb -c "$deb" >&2; exit 1; }
done
grep -qxF "ExecStart=/usr/bin/fpctl mount %f --foreground" "$root/usr/lib/systemd/user/fpctl-mount@.service" ||
  { echo "FAIL: the packaged unit does not run /usr/bin/fpctl" >&2; exit 1; }

# The demo's steps with the unpacked programs, in a demo folder of its own.
if ! PELLORA_BIN_DIR="$root/usr/bin" PELLORA_DEMO_DIR="$WORLD/demo" \
  bash "$source/scripts/demo.sh" >"$WORLD/demo.log" 2>&1; then
  cat "$WORLD/demo.log" >&2
  echo "FAIL: the demo failed with the packaged programs" >&2
  exit 1
fi
welcome="$(cat "$WORLD/demo/store/Welcome.txt")"
grep -qF "$welcome" "$WORLD/demo/Welcome.txt" || { echo "FAIL: fpctl fetch gave no Welcome.txt" >&2; exit 1; }
mountpoint -q "$WORLD/demo/mount" || { echo "FAIL: the demo did not mount" >&2; cat "$WORLD/demo.log" >&2; exit 1; }
cmp -s "$WORLD/demo/store/Welcome.txt" "$WORLD/demo/mount/Welcome.txt" ||
  { echo "FAIL: the mount does not show Welcome.txt as the store has it" >&2; exit 1; }
fusermount3 -u "$WORLD/demo/mount"
echo "$(basename "$deb") unpacks and runs the demo"

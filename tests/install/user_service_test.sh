#!/usr/bin/env bash
# The user service as `cmake --install` lays it out: installed into a fresh
# prefix, it names the installed fpctl, mounts in the foreground as a notify
# service that restarts on failure, and `systemd-analyze verify` finds nothing
# to say about it. (That fpctl signals readiness on NOTIFY_SOCKET and stops on
# SIGTERM is tested with a real mount in tests/e2e.)
#   user_service_test.sh BUILD_DIR
set -euo pipefail
build="$1"
here="$(dirname "$0")"
. "$here/common.sh"
need systemd-analyze systemd
need systemd-escape systemd

make_world
trap cleanup_world EXIT
prefix="$WORLD/prefix"
if ! cmake --install "$build" --prefix "$prefix" >"$WORLD/install.log" 2>&1; then
  cat "$WORLD/install.log" >&2
  echo "FAIL: cmake --install failed" >&2
  exit 1
fi
unit="$prefix/lib/systemd/user/fpctl-mount@.service"
[ -f "$unit" ] || { echo "FAIL: cmake --install did not install $unit" >&2; exit 1; }

expect_line() {
  grep -qxF "$1" "$unit" || { echo "FAIL: $unit lacks the line: $1" >&2; cat "$unit" >&2; exit 1; }
}
expect_line "Type=notify"
expect_line "ExecStart=$prefix/bin/fpctl mount %f --foreground"
expect_line "Restart=on-failure"
expect_line "WantedBy=default.target"

# An instance, named as the README tells a user to name it, verified in the
# user manager's mode (its runtime folder is a private one).
instance="fpctl-mount@$(systemd-escape --path "$WORLD/home/Pellora").service"
mkdir -p "$WORLD/units" "$WORLD/run"
cp "$unit" "$WORLD/units/$instance"
chmod 0700 "$WORLD/run"
if ! XDG_RUNTIME_DIR="$WORLD/run" systemd-analyze --user verify --man=no \
  "$WORLD/units/$instance" >"$WORLD/verify.log" 2>&1 || [ -s "$WORLD/verify.log" ]; then
  echo "FAIL: systemd-analyze verify of $instance:" >&2
  cat "$WORLD/verify.log" >&2
  exit 1
fi
echo "$instance verifies"

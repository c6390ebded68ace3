#!/usr/bin/env bash
# The README's commands run as written: every fenced `sh` block from "Mount
# your account" up to the command reference, in order, in one shell, against a
# demo world (a sample account that pell-refhost serves, a registry and
# containers of its own, and a home folder of its own, so that ~/Pellora is in
# it). The install and demo sections are left out: they build and install.
#   readme_commands_test.sh README BIN_DIR
set -euo pipefail
readme="$1"
bin="$(cd "$2" && pwd)"
here="$(dirname "$0")"
. "$here/common.sh"
need_fuse
need getfattr attr
need mountpoint util-linux

make_world
trap 'cleanup_world "$WORLD/home/Pellora"' EXIT
export HOME="$WORLD/home"
export FILEPROVIDER_STATE="$WORLD/state" FILEPROVIDER_CONTAINERS="$WORLD/containers"
export FILEPROVIDER_LOG="$WORLD/platform.log" PATH="$bin:$PATH"
unset XDG_CACHE_HOME XDG_STATE_HOME XDG_DATA_HOME XDG_CONFIG_HOME FILEPROVIDER_BUNDLE
mkdir -p "$HOME"
start_host "$bin/pell-refhost" "$WORLD/store" "$WORLD/host.log"

awk '
  /^## / { on = ($0 == "## Mount your account") ? 1 : ($0 == "## Command reference" ? 0 : on) }
  on && /^```sh$/ { block = 1; next }
  block && /^```$/ { block = 0; next }
  on && block { print }
' "$readme" >"$WORLD/commands.sh"
count="$(grep -cv '^\s*$' "$WORLD/commands.sh" || true)"
if [ "$count" -lt 10 ]; then
  echo "FAIL: only $count commands found in the README's usage sections" >&2
  exit 1
fi

cd "$HOME"
if ! bash -euo pipefail -x "$WORLD/commands.sh" >"$WORLD/out.log" 2>&1; then
  echo "FAIL: a command of the README failed; what ran:" >&2
  cat "$WORLD/out.log" >&2
  echo "--- platform log ---" >&2
  tail -n 30 "$FILEPROVIDER_LOG" >&2 || true
  exit 1
fi
# The last block unmounts: the mount has ended, and nothing is left to send.
if mountpoint -q "$HOME/Pellora"; then
  echo "FAIL: ~/Pellora is still mounted after the README's commands" >&2
  exit 1
fi
no_mounts() { fpctl --json status | tr -d ' \n' | grep -qF '"mounts":[]'; }
for _ in $(seq 1 100); do
  no_mounts && break
  sleep 0.1
done
if ! no_mounts; then
  echo "FAIL: fpctl still reports a mount: $(fpctl --json status)" >&2
  exit 1
fi
echo "the README's $count commands ran as written"

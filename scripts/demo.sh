#!/usr/bin/env bash
# The demo behind `./dev.sh demo` (which builds build/ first): seeds a sample
# account beside the checkout, registers the default domain, starts the
# reference host in the background, shows the domain's tree through fpctl and
# fetches one file. It leaves the host running and tells you how to go on.
# Running it again reuses the store and restarts the host.
#
#   PELLORA_BUILD_DIR   the build tree to use (default: build/ of this checkout)
#   PELLORA_BIN_DIR     the programs to use instead, as installed (say /usr/bin);
#                       the bundle is then the one installed beside them
#   PELLORA_DEMO_DIR    where the demo keeps its files (default: ../pellora-demo)
set -euo pipefail

REPO="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${PELLORA_BUILD_DIR:-$REPO/build}"
BIN="${PELLORA_BIN_DIR:-$BUILD/bin}"
BUNDLE="$BIN/PlugIns/PelloraFileProvider.appex"
[ -d "$BUNDLE" ] || BUNDLE="$(dirname "$BIN")/lib/fileprovider/PlugIns/PelloraFileProvider.appex"
DEMO="${PELLORA_DEMO_DIR:-$(dirname "$REPO")/pellora-demo}"
STORE="$DEMO/store"
PIDFILE="$DEMO/pell-refhost.pid"
HOSTLOG="$DEMO/pell-refhost.log"

# The platform's places, all inside the demo folder, so that the demo never
# touches the user's own registry or containers. The same exports are printed
# at the end for the user's shell.
export FILEPROVIDER_STATE="$DEMO/state"
export FILEPROVIDER_CONTAINERS="$DEMO/containers"
export FILEPROVIDER_LOG="$DEMO/platform.log"
export FILEPROVIDER_BUNDLE="$BUNDLE"

bold() { if [ -t 1 ]; then printf '\033[1m%s\033[0m\n' "$*"; else printf '%s\n' "$*"; fi; }
step() { echo; bold "==> $*"; }
die() { echo "demo: $*" >&2; exit 1; }

for program in pell-refhost pell-domain fpctl; do
  [ -x "$BIN/$program" ] || die "$BIN/$program is missing; build first (./dev.sh demo does)"
done
[ -f "$BUNDLE/Info.json" ] || die "the extension bundle $BUNDLE is missing; build first"
mkdir -p "$DEMO" "$FILEPROVIDER_STATE" "$FILEPROVIDER_CONTAINERS"

# True when the pid file names a running pell-refhost.
host_running() {
  [ -f "$PIDFILE" ] || return 1
  local pid
  pid="$(cat "$PIDFILE" 2>/dev/null)" || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  # The pid may have been reused by another program since.
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "pell-refhost" ]
}

stop_host() {
  host_running || { rm -f "$PIDFILE"; return 0; }
  local pid
  pid="$(cat "$PIDFILE")"
  echo "stopping the host of an earlier demo (pid $pid)"
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && die "pell-refhost (pid $pid) did not stop; stop it and run again"
  rm -f "$PIDFILE"
}

step "Seeding the sample account in $STORE"
"$BIN/pell-refhost" seed --store "$STORE"

step "Registering the default domain"
"$BIN/pell-domain" register

step "Starting the reference host"
# A host left by an earlier run is restarted, so that it is the one just built.
stop_host
nohup "$BIN/pell-refhost" serve --store "$STORE" >"$HOSTLOG" 2>&1 </dev/null &
echo $! >"$PIDFILE"
HOST_PID="$(cat "$PIDFILE")"
ready=""
for _ in $(seq 1 150); do
  if ! kill -0 "$HOST_PID" 2>/dev/null; then
    cat "$HOSTLOG" >&2
    rm -f "$PIDFILE"
    die "pell-refhost stopped at once (its output is above)"
  fi
  if grep -q '^serving ' "$HOSTLOG" 2>/dev/null; then
    ready=yes
    break
  fi
  sleep 0.1
done
[ -n "$ready" ] || die "pell-refhost did not get ready within 15 s; see $HOSTLOG"
grep -m 1 '^serving ' "$HOSTLOG"
echo "pid $HOST_PID, output in $HOSTLOG"

step "The domain as the platform sees it: fpctl tree"
"$BIN/fpctl" tree

step "Fetching a file: fpctl fetch /Welcome.txt"
if "$BIN/fpctl" fetch /Welcome.txt --out "$DEMO/Welcome.txt"; then
  echo "--- $DEMO/Welcome.txt ---"
  cat "$DEMO/Welcome.txt"
  echo "---"
else
  echo "(the store no longer holds Welcome.txt; try fpctl fetch with another file)"
fi

q() { printf '%q' "$1"; }
step "The reference host keeps running. To use fpctl yourself, run this in your shell first:"
cat <<EOF
  export FILEPROVIDER_STATE=$(q "$FILEPROVIDER_STATE")
  export FILEPROVIDER_CONTAINERS=$(q "$FILEPROVIDER_CONTAINERS")
  export FILEPROVIDER_LOG=$(q "$FILEPROVIDER_LOG")
  export PATH=$(q "$BIN"):\$PATH

Then, for example:
  fpctl ls /Projects                           a folder, with sizes and identifiers
  fpctl tree                                   the whole domain
  fpctl fetch /Photos/sunset.png --out sunset.png
  fpctl create /Projects "Meeting notes" --folder
  fpctl create /Projects todo.txt --contents /etc/hostname
  fpctl modify /Projects/todo.txt --name done.txt
  fpctl --json item /Welcome.txt               what scripts read
  fpctl help                                   every command

Files you put into $(q "$STORE") show up in the domain within a second.
The platform log is $(q "$FILEPROVIDER_LOG").

Stop the host:      kill \$(cat $(q "$PIDFILE"))
Remove the domain:  pell-domain remove
Start afresh:       stop the host, then rm -rf $(q "$DEMO")
EOF

# >>> fpctl mount >>>
MOUNT="$DEMO/mount"
step "Mounting the domain as a folder: fpctl mount $MOUNT"
if [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo "(no usable /dev/fuse or fusermount3 here, so the domain is not mounted)"
else
  # A mount left by an earlier run belongs to a host that was just replaced.
  if mountpoint -q "$MOUNT" 2>/dev/null; then
    fusermount3 -u "$MOUNT" || fusermount3 -u -z "$MOUNT"
  fi
  mkdir -p "$MOUNT"
  # fpctl goes into the background once the folder is mounted.
  "$BIN/fpctl" mount "$MOUNT" --cache "$DEMO/cache"
  ls -la "$MOUNT"
  echo "--- cat $MOUNT/Welcome.txt ---"
  cat "$MOUNT/Welcome.txt" 2>/dev/null || echo "(Welcome.txt is gone from the store)"
  echo "---"
  cat <<EOF

The domain is mounted at $(q "$MOUNT"): work in it with any program. What you
change there goes to the store through the extension and the host; what the
host changes shows there within two seconds.

Unmount it:         fusermount3 -u $(q "$MOUNT")
(before stopping the host; a file still being written is sent first)
EOF
fi
# <<< fpctl mount <<<

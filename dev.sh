#!/usr/bin/env bash
# One entry point for developers and CI.
#   ./dev.sh test           install what is missing, configure, build, run every test
#   ./dev.sh test asan      the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   ./dev.sh test tsan      the same under ThreadSanitizer
#   ./dev.sh bench          build and run the benchmarks
#   ./dev.sh demo           build, seed a sample account, register and show it
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ libsqlite3-dev libicu-dev nlohmann-json3-dev libfuse3-dev fuse3 libgtest-dev
  libgmock-dev libbenchmark-dev pkg-config rsync tar sqlite3 attr git systemd dpkg-dev
  libsystemd-dev dbus-daemon)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

build() {
  local preset="${1:-default}"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
}

cmd="${1:-test}"
case "$cmd" in
  test)
    preset="${2:-default}"
    install_packages
    build "$preset"
    ctest --preset "$preset"
    ;;
  bench)
    install_packages
    build default
    for b in build/bin/bench_*; do "$b"; done
    ;;
  demo)
    install_packages
    build default
    exec scripts/demo.sh
    ;;
  *)
    sed -n '2,8p' "$0"
    exit 2
    ;;
esac

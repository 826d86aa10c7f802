# SPDX-License-Identifier: MIT
# Shared by scripts/test and scripts/demo: paths and the installation of what the build needs.

NIMBET_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
NIMBET_JOBS="$(nproc 2>/dev/null || echo 2)"

# Debian packages the build, the tests and the demo use. Python is Debian's
# (/usr/bin/python3), never one first on PATH, and never a download from PyPI.
NIMBET_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-tidy
  libgtest-dev libbenchmark-dev
  openjdk-17-jdk-headless junit5
  iproute2 util-linux valgrind
  pkg-config dpkg-dev fakeroot groff-base lintian devscripts abigail-tools
  tshark tcpdump
  libmosquitto-dev nlohmann-json3-dev mosquitto mosquitto-clients openssl
  libtomlplusplus-dev libsqlite3-dev libsystemd-dev systemd python3-jsonschema
  python3 python3-build python3-setuptools python3-wheel python3-venv python3-pip python3-pytest python3-pytest-asyncio
)

# What scripts/bench adds: the TFTP client of the comparison, and the library
# that the TFTP server (unpacked from tftpd-hpa, never installed) needs.
NIMBET_BENCH_PACKAGES=(atftp libwrap0 util-linux)

NIMBET_PYTHON=/usr/bin/python3

# A heading with the seconds since the script started, so a slow stage shows.
say() { printf '\n== %s  [%ds]\n' "$*" "$SECONDS"; }

# Installs the packages that are missing, and only those.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # Installing starts no service: Debian's mosquitto would otherwise start a
  # broker on this host, where nothing of the project may listen. (Machines
  # that deny service starts already keep their own policy.)
  local own_policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod 755 /usr/sbin/policy-rc.d
    own_policy=1
  fi
  local status=0
  $sudo apt-get install -y "${missing[@]}" || {
    $sudo apt-get update
    $sudo apt-get install -y "${missing[@]}"
  } || status=$?
  [ -n "$own_policy" ] && $sudo rm -f /usr/sbin/policy-rc.d
  return "$status"
}

# promtool, for the test of the gateway's metrics page, taken from Debian's
# prometheus package without installing it (nothing of it runs but
# promtool). Sets NIMBET_PROMTOOL when it is there; fetched once.
ensure_promtool() {
  local dir="$NIMBET_ROOT/build/promtool"
  if [ ! -x "$dir/usr/bin/promtool" ]; then
    say "fetching prometheus (promtool only: unpacked into build/promtool, not installed)"
    mkdir -p "$dir"
    (cd "$dir" &&
      { apt-get download -o APT::Sandbox::User=root prometheus ||
        { apt-get update && apt-get download -o APT::Sandbox::User=root prometheus; }; } &&
      dpkg-deb -x prometheus_*.deb . && rm -f prometheus_*.deb) ||
      echo "  promtool could not be had: the test of the metrics page is skipped"
  fi
  [ -x "$dir/usr/bin/promtool" ] && export NIMBET_PROMTOOL="$dir/usr/bin/promtool"
  return 0
}

# configure_and_build DIR [cmake options...]
configure_and_build() {
  local dir="$1"
  shift
  cmake -S "$NIMBET_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$NIMBET_JOBS"
}

# Shared by scripts/test and scripts/demo: paths and the installation of what the build needs.

NIMBET_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
NIMBET_JOBS="$(nproc 2>/dev/null || echo 2)"

# Debian packages the build, the tests and the demo use.
NIMBET_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-tidy
  libgtest-dev libbenchmark-dev
  openjdk-17-jdk-headless junit5
  iproute2 util-linux valgrind
  pkg-config dpkg-dev fakeroot groff-base
  tshark tcpdump
)

# What scripts/bench adds: the TFTP client of the comparison, and the library
# that the TFTP server (unpacked from tftpd-hpa, never installed) needs.
NIMBET_BENCH_PACKAGES=(atftp libwrap0 util-linux)

say() { printf '\n== %s\n' "$*"; }

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
  $sudo apt-get install -y "${missing[@]}" || {
    $sudo apt-get update
    $sudo apt-get install -y "${missing[@]}"
  }
}

# configure_and_build DIR [cmake options...]
configure_and_build() {
  local dir="$1"
  shift
  cmake -S "$NIMBET_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$NIMBET_JOBS"
}

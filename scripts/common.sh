# Shared by scripts/test and scripts/demo (sourced, not run).

# The Debian packages that building and testing need.
packages="cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev nlohmann-json3-dev libmosquitto-dev libsndfile1-dev mosquitto mosquitto-clients openssl pkgconf faketime multimon-ng iproute2 util-linux netbase"
# What scripts/check-install needs besides (package, units, man pages,
# pkg-config); scripts/test adds them, the demo does without.
check_packages="gcc pkgconf dpkg-dev file lintian systemd groff-base man-db mount"

# Installs what is missing when run as root; otherwise names it and fails.
ensure_packages() {
  missing=""
  for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" = 0 ]; then
    echo "installing:$missing"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
  else
    echo "missing packages; install them with:" >&2
    echo "  sudo apt-get install -y$missing" >&2
    exit 1
  fi
}

jobs=$(nproc 2>/dev/null || echo 2)

# build DIR CMAKE_ARGS...: configures and builds everything in DIR.
build() {
  dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

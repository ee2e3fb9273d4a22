# Sourced by scripts/test and scripts/demo: makes sure the Debian packages the build needs are there.
# As root it installs the missing ones (apt-get, non-interactive); otherwise it names them and fails.
MIVODB_PACKAGES=(cmake g++ make pkg-config libsqlite3-dev libsystemd-dev libicu-dev libgtest-dev
  libbenchmark-dev dbus-daemon dbus-bin libglib2.0-bin systemd sqlite3 util-linux procps)

mivodb_missing_packages() {
  local p missing=()
  for p in "${MIVODB_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]}"
}

mivodb_ensure_packages() {
  local missing
  missing=$(mivodb_missing_packages)
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "MivoDB needs these Debian packages: $missing" >&2
    echo "Install them with: sudo apt-get install -y $missing" >&2
    return 1
  fi
  echo "Installing: $missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >&2
}

# The compiler and libFuzzer runtime that scripts/fuzz needs, installed the same way.
MIVODB_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

mivodb_ensure_fuzz_packages() {
  # The helpers above read MIVODB_PACKAGES; bash's dynamic scope hands them this list instead.
  local MIVODB_PACKAGES=("${MIVODB_FUZZ_PACKAGES[@]}")
  mivodb_ensure_packages
}

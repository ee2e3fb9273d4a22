# Sourced by scripts/test and scripts/demo: makes sure the Debian packages the build needs are there.
# As root it installs the missing ones (apt-get, non-interactive); otherwise it names them and fails.
MIVODB_PACKAGES=(cmake g++ make pkg-config libsqlite3-dev libsystemd-dev libicu-dev libgtest-dev
  libbenchmark-dev dbus-daemon dbus-bin libglib2.0-bin systemd sqlite3 util-linux procps mdbtools-dev
  zlib1g-dev nlohmann-json3-dev python3-dbus dpkg-dev ninja-build libpq-dev postgresql mold)

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

# What scripts/windows needs: the cross compiler, Wine, and what makes SQLite's amalgamation from Debian's
# source package.
MIVODB_WINDOWS_PACKAGES=(cmake make gcc mingw-w64 wine wine64 tcl dpkg-dev googletest xz-utils util-linux)

mivodb_ensure_windows_packages() {
  local MIVODB_PACKAGES=("${MIVODB_WINDOWS_PACKAGES[@]}")
  mivodb_ensure_packages
}

# A deb-src entry of our own (for `apt-get source sqlite3`), for the suite and mirror of the machine's own
# deb entry. Writes the file only; the caller runs `apt-get update`. Succeeds at once when apt already
# knows Debian's source packages; fails when not root and they are unknown.
MIVODB_DEB_SRC_FILE=/etc/apt/sources.list.d/mivodb-deb-src.sources

mivodb_add_deb_src() {
  [ -f "$MIVODB_DEB_SRC_FILE" ] && return 0
  apt-cache showsrc sqlite3 2>/dev/null | grep -q '^Package: sqlite3' && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Debian's source packages are not known to apt; as root this script adds $MIVODB_DEB_SRC_FILE" >&2
    return 1
  fi
  local uri suite
  uri=$(grep -hE '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    grep -m1 -E 'debian/?$|debian ' | sed -E 's/^URIs:[[:space:]]*//; s/^deb (\[[^]]*\] )?//; s/ .*//')
  suite=$( (. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}"))
  uri=${uri:-http://deb.debian.org/debian}
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' "$uri" "$suite" \
    /usr/share/keyrings/debian-archive-keyring.gpg >"$MIVODB_DEB_SRC_FILE"
  echo "Added $MIVODB_DEB_SRC_FILE ($uri $suite)" >&2
}

# Everything every script needs, with one `apt-get update` (used by CI, so that the scripts it runs find
# nothing missing).
mivodb_ensure_all_packages() {
  local MIVODB_PACKAGES=("${MIVODB_PACKAGES[@]}" "${MIVODB_FUZZ_PACKAGES[@]}" "${MIVODB_WINDOWS_PACKAGES[@]}")
  if [ "$(id -u)" -eq 0 ] && ! [ -f "$MIVODB_DEB_SRC_FILE" ]; then
    # A new source entry needs the update even when no package is missing.
    mivodb_add_deb_src
    [ -n "$(mivodb_missing_packages)" ] || apt-get update -qq >&2
  fi
  mivodb_ensure_packages
}

# The generator for a build folder: Ninja for a new folder (it schedules a build of many small targets
# better than make), nothing for one configured already (its generator cannot change).
mivodb_generator_args() {
  if [ ! -f "$1/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then echo "-G Ninja"; fi
}

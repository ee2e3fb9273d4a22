#!/usr/bin/env bash
# Makes the Debian package of the build (cpack), unpacks its contents into a scratch root (never the
# machine), checks its dependencies, its maintainer scripts and that every file is there, builds the C example docs/examples/mivodb_hello.c against the installed library with pkg-config
# (PKG_CONFIG_SYSROOT_DIR), and runs it against the installed server on a private bus.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
. "$source/tests/packaging/demo_bus.sh"
work=$(mktemp -d)
trap 'demo_stop; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

root=$work/root
# No compression: the contents are what is checked, and compressing takes longer than the rest.
cpack --config "$build/CPackConfig.cmake" -B "$work/deb" -D CPACK_DEBIAN_COMPRESSION_TYPE=none >/dev/null
debs=("$work"/deb/*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no .deb"
deb=${debs[0]}
depends=$(dpkg-deb -f "$deb" Depends)
for d in libsystemd0 libicu libsqlite3-0 libstdc++6; do
  [[ "$depends" == *"$d"* ]] || fail "the package does not depend on $d (Depends: $depends)"
done
dpkg-deb -e "$deb" "$work/control"
grep -q -- '/RegServer' "$work/control/postinst" || fail "postinst does not register the server"
grep -q -- '/UnregServer' "$work/control/prerm" || fail "prerm does not unregister the server"
dpkg-deb -x "$deb" "$root"
pc=$(find "$root/usr" -name mivodb.pc)
[ -n "$pc" ] || fail "no mivodb.pc"
libdir=$(dirname "$(dirname "$pc")")
for f in bin/mivodb bin/mivoctl include/mivodb.h include/mivodb.hpp share/man/man1/mivodb.1 \
  share/man/man1/mivoctl.1 share/bash-completion/completions/mivoctl; do
  [ -f "$root/usr/$f" ] || fail "not installed: /usr/$f"
done
readelf -d "$libdir/libmivodb.so" | grep -q 'SONAME.*\[libmivodb\.so\.[0-9]*\]' || fail "libmivodb.so has no SONAME"
service=$root/usr/share/dbus-1/services/Mivo.DataBase.OLEServer.service
grep -qx 'Name=Mivo.DataBase.OLEServer' "$service" || fail "activation file: no Name"
grep -qx 'Exec=/usr/bin/mivodb' "$service" || fail "activation file: Exec is not the installed server"
bash -n "$root/usr/share/bash-completion/completions/mivoctl" || fail "completion is no bash script"

# The client, built the way a user builds one, from the scratch root.
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config --cflags --libs mivodb)
# shellcheck disable=SC2086
${CC:-cc} -Wall -Werror "$source/docs/examples/mivodb_hello.c" $flags -o "$work/mivodb_hello"

# The installed programs find the installed library only.
export LD_LIBRARY_PATH=$libdir
demo_start "$work" "$root/usr/bin/mivodb" "$root/usr/bin/mivoctl"
grep -qx "Exec=$root/usr/bin/mivodb" "$work/services/Mivo.DataBase.OLEServer.service" ||
  fail "registration did not name the installed server"
out=$("$work/mivodb_hello")
expected=$(printf '%s\n' 'Good day' 'Добрый день' 'Server Host: localhost')
[ "$out" = "$expected" ] || fail "mivodb_hello printed: $out"
echo "ok: the package unpacked into a scratch root; the C client built with pkg-config got its texts"

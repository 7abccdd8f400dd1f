#!/bin/sh
# Builds the Debian package of an existing build directory:
#   scripts/make-deb.sh BUILD_DIR ARCH      (ARCH: amd64, armhf, ...)
# Installs the build into a staging tree (stripped, prefix /usr), derives
# Depends from the binary's libraries with dpkg-shlibdeps (the libraries of
# ARCH must be installed, multiarch), and writes BUILD_DIR/rigkeep_<version>_<ARCH>.deb.
set -eu

[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR ARCH" >&2; exit 2; }
build=$(cd "$1" && pwd)
arch=$2
[ -x "$build/rigkeep" ] || { echo "$build/rigkeep is not built" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build/CMakeCache.txt" >&2; exit 1; }

stage=$build/deb
root=$stage/root
rm -rf "$stage"
mkdir -p "$root/DEBIAN" "$stage/debian"
DESTDIR=$root cmake --install "$build" --prefix /usr --strip > /dev/null

# dpkg-shlibdeps reads the package list from debian/control and looks the
# libraries up in ARCH's multiarch directories.
printf 'Source: rigkeep\n\nPackage: rigkeep\nArchitecture: any\n' > "$stage/debian/control"
depends=$(cd "$stage" && DEB_HOST_ARCH=$arch dpkg-shlibdeps -O -e root/usr/bin/rigkeep 2> shlibdeps.err |
    sed -n 's/^shlibs:Depends=//p') || { cat "$stage/shlibdeps.err" >&2; exit 1; }
[ -n "$depends" ] || { cat "$stage/shlibdeps.err" >&2; exit 1; }
# libcurl is loaded (dlopen) when a firmware download starts, so dpkg-shlibdeps
# cannot see it; 7.85 brought CURLOPT_PROTOCOLS_STR.
depends="$depends, libcurl4 (>= 7.85.0)"

cat > "$root/DEBIAN/control" <<EOF
Package: rigkeep
Version: $version
Architecture: $arch
Maintainer: rigkeep developers <rigkeep@localhost>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
Section: net
Priority: optional
Description: management agent of a mining machine's control board
 Keeps a TLS WebSocket link to the management service, reports the miner's
 status, metrics and events, carries out the service's requests and
 supervises the miner program. /etc/init.d/rigkeep.sh starts it and starts
 it again when it fails; the package itself starts nothing.
EOF
echo /etc/init.d/rigkeep.sh > "$root/DEBIAN/conffiles"

deb=$build/rigkeep_${version}_$arch.deb
dpkg-deb --root-owner-group --build "$root" "$deb" > /dev/null
echo "$deb: $(wc -c < "$deb") bytes; Depends: $depends"

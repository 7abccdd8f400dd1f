#!/bin/sh
# Installs what the armhf cross-build and its emulated tests need (Debian 12
# multiarch), and unpacks the armhf libwebsockets headers into DIR.
# Usage: install-deps-armhf.sh DIR
#
# libwebsockets-dev:armhf cannot be installed next to the amd64 one: dpkg refuses
# with "trying to overwrite shared '/usr/include/lws_config.h', which is different
# from other instances of package libwebsockets-dev:armhf" (the two differ in
# LWS_INSTALL_LIBDIR). So the armhf -dev package is downloaded and unpacked into
# DIR instead; its headers go first on the armhf include path and its pkg-config
# file, rewritten to point into DIR, links the installed libwebsockets.so.17:armhf.
set -eu

dir=${1:?usage: $0 DIR}
triplet=arm-linux-gnueabihf

PKGS="crossbuild-essential-armhf qemu-user-static
libjansson-dev:armhf libcurl4-openssl-dev:armhf libmbedtls-dev:armhf zlib1g-dev:armhf
libgtest-dev:armhf libwebsockets17:armhf libstdc++6:armhf
libssl-dev:armhf libcap-dev:armhf libuv1-dev:armhf libev-dev:armhf"

missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ] || ! dpkg --print-foreign-architectures | grep -qx armhf; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing armhf packages:$missing" >&2
        echo "run as root: dpkg --add-architecture armhf && apt-get update &&" \
            "apt-get install -y$missing" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture armhf
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi

# The -dev package of exactly the installed runtime library.
version=$(dpkg-query -W -f='${Version}' libwebsockets17:armhf)
stamp="$dir/.version"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
    exit 0
fi
rm -rf "$dir"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
deb=$(ls /var/cache/apt/archives/libwebsockets-dev_"$(echo "$version" | sed 's/:/%3a/')"_armhf.deb 2>/dev/null || true)
if [ -z "$deb" ]; then
    (cd "$dir" && apt-get download -q "libwebsockets-dev:armhf=$version")
    deb=$(ls "$dir"/libwebsockets-dev_*_armhf.deb)
fi
dpkg-deb -x "$deb" "$dir"
rm -f "$dir"/libwebsockets-dev_*_armhf.deb
rm -rf "$dir/usr/share" "$dir/usr/lib/$triplet/cmake" "$dir/usr/lib/$triplet/libwebsockets.a"
ln -sf "/usr/lib/$triplet/libwebsockets.so.17" "$dir/usr/lib/$triplet/libwebsockets.so"
sed -i "s|^prefix=.*|prefix=\"$dir/usr\"|" "$dir/usr/lib/$triplet/pkgconfig/libwebsockets.pc"
echo "$version" > "$stamp"

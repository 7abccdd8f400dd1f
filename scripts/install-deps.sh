#!/bin/sh
# Installs the Debian 12 packages needed to build, test and demo rigkeep.
# Needs root; without it, prints the apt-get line to run and fails. --fuzz adds
# what `make fuzz` needs.
set -eu

# --armhf DIR: the cross-build's packages as well (only when asked).
if [ "${1:-}" = --armhf ]; then
    "$0"
    exec "$(dirname "$0")/install-deps-armhf.sh" "${2:?usage: $0 --armhf DIR}"
fi

PKGS="build-essential cmake pkg-config clang-format
libwebsockets-dev libjansson-dev libcurl4-openssl-dev libssl-dev libmbedtls-dev zlib1g-dev
googletest libgtest-dev
python3 python3-pytest python3-websockets
openssl psmisc iproute2 util-linux binutils
faketime
busybox-static"
# clang's libFuzzer, only for `make fuzz`.
if [ "${1:-}" = "--fuzz" ]; then
    PKGS="$PKGS clang-14 libclang-rt-14-dev"
fi

missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing" >&2
    echo "run as root: apt-get install -y$missing" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq || true
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing

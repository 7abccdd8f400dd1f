#!/bin/sh
# Installs the armhf package on a fresh armhf root file system (Debian 12,
# mmdebstrap's "apt" variant) with apt, so that its Depends must resolve, then
# starts the agent from that tree inside the device sandbox, under the
# emulator, up to "Press Ctrl+C to stop rigkeep" and an authentication with the
# reference service (tests/system/test_armhf_package.py).
#   scripts/check-armhf-deb.sh [BUILD_DIR]      (default build-armhf)
# Needs root and the Debian mirror; the base tree is downloaded once and kept
# in BUILD_DIR/rootfs. Installs mmdebstrap, arch-test and qemu-user-static when
# missing. Prints how long each step took.
set -eu

build=$(cd "${1:-build-armhf}" && pwd)
deb=$(ls "$build"/rigkeep_*_armhf.deb 2> /dev/null | tail -n 1)
[ -n "$deb" ] || { echo "no rigkeep_*_armhf.deb in $build (make deb-armhf)" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (chroot, mounts, the sandbox)" >&2; exit 1; }
cache=$build/rootfs
base=$cache/bookworm-armhf.tar
root=$cache/check
repo=$(cd "$(dirname "$0")/.." && pwd)

began=$(date +%s)
step() {
    now=$(date +%s)
    echo "check-armhf-deb: $1 took $((now - began)) s"
    began=$now
}

missing=
for p in mmdebstrap arch-test qemu-user-static binfmt-support; do
    dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi
# Armhf programs run directly (chroot, apt's maintainer scripts).
[ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || update-binfmts --enable qemu-arm

if [ ! -f "$base" ]; then
    mkdir -p "$cache"
    mmdebstrap --quiet --arch=armhf --variant=apt --format=tar \
        --skip=cleanup/apt/lists bookworm "$base.partial"
    mv "$base.partial" "$base"
    step "the base tree (mmdebstrap, download and emulated set-up)"
fi

rm -rf "$root"
mkdir -p "$root"
tar -xf "$base" -C "$root"
step "unpacking the base tree"

cp "$deb" "$root/tmp/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
trap 'umount "$root/proc"' EXIT
# Nothing is started: the package has no maintainer scripts.
chroot "$root" apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")"
umount "$root/proc"
trap - EXIT
chroot "$root" dpkg-query -W -f='${Package} ${Version} ${Architecture} ${Status}\n' rigkeep
step "installing the package and its dependencies with apt"

RIGKEEP_ARMHF_ROOT=$root /usr/bin/python3 -m pytest -q -p no:cacheprovider -s \
    "$repo/tests/system/test_armhf_package.py"
step "starting the packaged agent"

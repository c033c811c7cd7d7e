#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages (tools/packages.sh).
set -euo pipefail
. "$(dirname "$0")/packages.sh"
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libboost-log-dev libboost-thread-dev libboost-system-dev libboost-filesystem-dev
  libboost-program-options-dev libboost-date-time-dev
  libusb-1.0-0-dev
  googletest libgtest-dev libgmock-dev
  umockdev libumockdev-dev
  clang libclang-rt-14-dev
)
# `deps.sh vm`: instead, what the end-to-end test in a virtual machine needs (tests/qemu/): QEMU,
# the guest's shell and archiver, and the libraries of Debian's udevadm.
if [ "${1:-}" = vm ]; then
  PACKAGES=(qemu-system-x86 busybox-static cpio
    libkmod2 libacl1 libblkid1 libcap2 libselinux1 libssl3 libzstd1 liblzma5 libpcre2-8-0)
fi
install_missing "${PACKAGES[@]}"

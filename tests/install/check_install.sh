#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks what a host relies on.
set -euo pipefail
build=$1 prefix=$2
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "FAIL: $*"; exit 1; }

for f in bin/xolcli lib/libvemoapi.so include/vemoapi.h; do
  [ -f "$prefix/$f" ] || fail "missing $f"
done
[ -d "$prefix/lib/vemoapi" ] || fail "missing lib/vemoapi/"
[ -z "$(ls -A "$prefix/lib/vemoapi")" ] || fail "lib/vemoapi/ is not empty"

dyn=$(readelf -d "$prefix/lib/libvemoapi.so")
grep -q 'Library soname: \[libvemoapi.so\]' <<<"$dyn" || fail "soname: $dyn"
grep -q 'Library runpath: \[\$ORIGIN/vemoapi\]' <<<"$dyn" || fail "library run-time path: $dyn"
grep -q 'Library runpath: \[\$ORIGIN/../lib\]' <<<"$(readelf -d "$prefix/bin/xolcli")" \
  || fail "xolcli run-time path"

exports=$(nm -D --defined-only "$prefix/lib/libvemoapi.so" | awk '{print $3}' | sort | tr '\n' ' ')
expected="_Z13vemoapi_allocv _Z15vemoapi_deallocP8IVemoAPI api_acquire api_release copyMessage gApiMtx gApiRefCount gpApi "
[ "$exports" = "$expected" ] || fail "exports: '$exports'"

# The udev rule for access without root: a line per product id of the boards (udev applies it
# in the virtual machine test, tests/qemu/).
rule=$prefix/share/xol/udev/70-xol.rules
[ -f "$rule" ] || fail "missing share/xol/udev/70-xol.rules"
for product in 3c11 3c17 3c13 3c15 3c19; do
  grep -Eq '^SUBSYSTEM=="usb", ENV\{DEVTYPE\}=="usb_device", ATTR\{idVendor\}=="7a3c", ATTR\{idProduct\}=="'$product'", TAG\+="uaccess"$' \
    "$rule" || fail "udev rule: no line for product $product"
done
[ "$(grep -c '^SUBSYSTEM' "$rule")" = 5 ] || fail "udev rule: lines for other devices"

# The installed program finds its library through its own run-time path.
(cd "$prefix" && env -u LD_LIBRARY_PATH bin/xolcli --help >/dev/null) || fail "installed xolcli does not run"
echo "install layout OK"

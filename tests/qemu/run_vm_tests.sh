#!/usr/bin/env bash
# End to end through a real Linux USB stack: boots Debian's kernel in a QEMU guest (software
# emulation) where the simulated board runs as a FunctionFS gadget on dummy_hcd and the installed
# xolcli and library, with Debian's libusb, talk to it over usbfs (guest/session.sh). Passes or
# fails from the guest's serial log.
#
#   tests/qemu/run_vm_tests.sh [BUILD_DIR] [KERNEL_ARGS...]
#
# BUILD_DIR is a configured and built tree (default: build); the programs come from there and
# the project is installed from it. KERNEL_ARGS go to the guest, e.g. xol.only=probe runs only
# the USB bed's own check. Downloads are kept in BUILD_DIR/qemu/debs. Where QEMU cannot be
# installed the test is skipped with a message, and under CI (CI=true) it fails instead.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
work=$build/qemu
mkdir -p "$work/debs"

T0=$EPOCHREALTIME
lap() { printf "[vm %6.1fs] %s\n" "$(awk -v a="$EPOCHREALTIME" -v b="$T0" 'BEGIN { print a - b }')" "$*"; }
die() { echo "FAIL: vm: $*" >&2; exit 1; }

. "$root/tools/packages.sh"
. "$root/tools/skip.sh"

# --- packages
if ! bash "$root/tools/deps.sh" vm >"$work/deps.log" 2>&1; then
  if ! command -v qemu-system-x86_64 >/dev/null; then
    tail -n 5 "$work/deps.log"
    skip_or_fail "end-to-end test in a virtual machine: qemu-system-x86 cannot be installed"
    exit 0
  fi
  cat "$work/deps.log"
  die "packages of the virtual machine cannot be installed"
fi
lap "packages ready"

# --- Debian's kernel (the version linux-image-amd64 depends on) and udevadm
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null |
  awk '/Depends: linux-image-[0-9]/ { print $2; exit }'; }
kpkg=$(kernel_package)
if [ -z "$kpkg" ]; then
  apt_update >/dev/null 2>&1 || true
  kpkg=$(kernel_package)
fi
[ -n "$kpkg" ] || die "no kernel package behind linux-image-amd64"
kver=${kpkg#linux-image-}
fetch() { # package: its .deb in the download folder, fetched once
  local deb
  deb=$(ls "$work/debs/$1"_*.deb 2>/dev/null | head -n 1 || true)
  if [ -z "$deb" ]; then
    (cd "$work/debs" && apt-get download -q "$1" >/dev/null 2>&1) || die "apt-get download $1"
    deb=$(ls "$work/debs/$1"_*.deb | head -n 1)
  fi
  echo "$deb"
}
kdeb=$(fetch "$kpkg")
udeb=$(fetch udev)
lap "kernel $kver and udev at hand"

x=$work/extract
if [ "$(cat "$x/.from" 2>/dev/null)" != "$kdeb $udeb" ]; then
  rm -rf "$x" && mkdir -p "$x"
  m=./lib/modules/$kver/kernel
  dpkg-deb --fsys-tarfile "$kdeb" | tar -x -C "$x" --wildcards "./boot/vmlinuz-$kver" \
    "$m/drivers/usb/common/*" "$m/drivers/usb/core/*" "$m/drivers/usb/gadget/*" "$m/fs/configfs/*"
  dpkg-deb --fsys-tarfile "$udeb" | tar -x -C "$x" ./bin/udevadm
  echo "$kdeb $udeb" > "$x/.from"
fi
vmlinuz=$x/boot/vmlinuz-$kver
[ -f "$vmlinuz" ] || die "no vmlinuz-$kver in $kdeb"

# The modules the guest needs, each after the ones it depends on (their .modinfo says which).
declare -A kofile=()
while read -r f; do
  n=${f##*/}
  n=${n%.ko}
  kofile[${n//-/_}]=$f
done < <(find "$x/lib/modules/$kver" -name '*.ko')
declare -a order=()
module_file() { local n=$1; echo "${kofile[${n//-/_}]:-}"; }
add_module() {
  local m=$1 f d
  for d in "${order[@]}"; do [ "$d" = "$m" ] && return 0; done
  f=$(module_file "$m")
  [ -n "$f" ] || die "module $m not in $kdeb"
  for d in $(strings -a "$f" | sed -n 's/^depends=//p' | tr ',' ' '); do add_module "$d"; done
  order+=("$m")
}
add_module dummy_hcd
add_module usb_f_fs
lap "modules in load order: ${order[*]}"

# --- the installed project and the guest programs
stage=$work/stage
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" >/dev/null
for p in xol_gadget usb_probe hotplug_check; do
  [ -x "$build/bin/$p" ] || die "$build/bin/$p not built"
done

R=$work/root
rm -rf "$R"
mkdir -p "$R"/{bin,dev,proc,sys,run,tmp,etc,lib/modules,lib/x86_64-linux-gnu,lib64,lib/systemd}
mkdir -p "$R"/xol/data "$R"/opt/xol
cp /bin/busybox "$R/bin/busybox"
ln -s busybox "$R/bin/sh"
for m in "${order[@]}"; do cp "$(module_file "$m")" "$R/lib/modules/$m.ko"; done
printf '%s\n' "${order[@]}" > "$R/lib/modules/order"
cp "$x/bin/udevadm" "$R/bin/udevadm"
ln -s /bin/udevadm "$R/lib/systemd/systemd-udevd"
cp "$build/bin/xol_gadget" "$build/bin/usb_probe" "$R/bin/"
cp -a "$stage/." "$R/opt/xol/"
mkdir -p "$R/opt/xol/bin"
cp "$build/bin/hotplug_check" "$R/opt/xol/bin/"
# Debug information only slows the guest's start: the code stays as installed.
strip --strip-debug "$R"/bin/xol_gadget "$R"/bin/usb_probe "$R"/opt/xol/bin/* \
  "$R"/opt/xol/lib/libvemoapi.so
# libusb is loaded by name at run time, as the product does: the file and both names.
libusb=$(readlink -f /usr/lib/x86_64-linux-gnu/libusb-1.0.so.0)
cp "$libusb" "$R/lib/x86_64-linux-gnu/"
ln -s "$(basename "$libusb")" "$R/lib/x86_64-linux-gnu/libusb-1.0.so.0"
ln -s libusb-1.0.so.0 "$R/lib/x86_64-linux-gnu/libusb-1.0.so"
# Shared libraries of every program, as ldd finds them here; the project's own come from stage.
for exe in "$R"/bin/udevadm "$R"/bin/xol_gadget "$R"/bin/usb_probe "$R"/opt/xol/bin/* \
           "$R"/opt/xol/lib/libvemoapi.so "$libusb"; do
  deps=$(ldd "$exe")
  if grep -q 'not found' <<<"$deps"; then echo "$deps"; die "libraries of $exe missing"; fi
  awk '/=> \// { print $3 } /^[ \t]*\/lib64\// { print $1 }' <<<"$deps"
done | sort -u | while read -r lib; do
  case $lib in
    "$stage"/* | "$R"/*) ;;
    */ld-linux*) cp -L "$lib" "$R/lib64/" ;;
    *) cp -L "$lib" "$R/lib/x86_64-linux-gnu/" ;;
  esac
done
echo /lib/x86_64-linux-gnu > "$R/etc/ld.so.conf"
ldconfig -r "$R"
"$build/bin/xol_gadget" files "$R/xol/data" /xol/data /xol/platform_emmc.xml
# The project's udev rule where an administrator puts it.
mkdir -p "$R/etc/udev/rules.d"
cp "$stage/share/xol/udev/70-xol.rules" "$R/etc/udev/rules.d/"
cp "$here/guest/platform_emmc.xml" "$R/xol/platform_emmc.xml"
cp "$here/guest/init" "$R/init"
cp "$here/guest/session.sh" "$R/xol/session.sh"
chmod +x "$R/init" "$R/xol/session.sh"
(cd "$R" && find . | cpio -o -H newc --quiet) > "$work/initramfs.cpio"
lap "initramfs built ($(du -m "$work/initramfs.cpio" | cut -f1) MB)"

# --- boot
log=$work/serial.log
rm -f "$log.raw"
timeout 900 qemu-system-x86_64 -accel tcg,thread=multi -cpu max -smp 2 -m 1024 \
  -kernel "$vmlinuz" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 $*" \
  -display none -monitor none -serial "file:$log.raw" -no-reboot -nic none </dev/null || true
tr -d '\r' < "$log.raw" > "$log"
lap "guest finished"

grep -E '^(NOTE|TIME|XOL-VM)' "$log" || true
passed=$(grep -c '^PASS:' "$log" || true)
if grep -q '^XOL-VM RESULT: PASS' "$log" && ! grep -q '^FAIL:' "$log"; then
  echo "vm tests passed: $passed checks ($log)"
  exit 0
fi
echo "---- serial log of the guest ($log)"
cat "$log"
die "end-to-end test in the virtual machine failed ($passed checks passed)"

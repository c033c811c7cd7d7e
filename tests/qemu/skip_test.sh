#!/usr/bin/env bash
# The virtual machine test on a machine where QEMU cannot be installed: skipped with a message
# outside CI, a failure under CI (CI=true). The package tools are stand-ins: every package is
# missing and none can be installed, and the first update finds the package lists locked by
# another run, which is waited for rather than taken for a failure.
#
#   skip_test.sh WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$work/bin" "$work/build"
# The commands the script may use before it looks for QEMU, and no qemu-system-x86_64.
for c in bash cat dirname mkdir mktemp rm grep sleep tail id; do
  ln -s "$(command -v "$c")" "$work/bin/$c"
done
sh=$(command -v bash)
printf '#!%s\nexit 1\n' "$sh" > "$work/bin/dpkg-query"
printf '#!%s\nexec "$@"\n' "$sh" > "$work/bin/sudo"
cat > "$work/bin/apt-get" <<EOF
#!$sh
echo "\$*" >> "$work/apt-get.calls"
case " \$* " in
  *" update "*)
    if [ ! -e "$work/locked-once" ]; then
      : > "$work/locked-once"
      echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 1 (apt-get)" >&2
      exit 100
    fi
    exit 0 ;;
esac
echo "E: Unable to locate package qemu-system-x86" >&2
exit 100
EOF
chmod +x "$work/bin/"{dpkg-query,sudo,apt-get}

# run CI_VALUE: the script's exit status as RC, its output in $work/out.
run() {
  rm -f "$work/apt-get.calls" "$work/locked-once"
  RC=0
  env CI="$1" PATH="$work/bin" bash "$here/run_vm_tests.sh" "$work/build" > "$work/out" 2>&1 || RC=$?
}

text="end-to-end test in a virtual machine: qemu-system-x86 cannot be installed"
run ""
[ "$RC" = 0 ] || { cat "$work/out"; fail "outside CI: exit $RC, not 0"; }
grep -qx "SKIPPED: $text" "$work/out" || { cat "$work/out"; fail "outside CI: no SKIPPED line"; }
[ "$(grep -c -- '-o DPkg::Lock::Timeout=[0-9]* update' "$work/apt-get.calls")" = 2 ] ||
  { cat "$work/apt-get.calls" "$work/build/qemu/deps.log"; fail "the locked package lists were not waited for"; }
grep -q -- '-o DPkg::Lock::Timeout=[0-9]* install .*qemu-system-x86' "$work/apt-get.calls" ||
  { cat "$work/apt-get.calls"; fail "QEMU was not asked for, with dpkg's lock waited for"; }

run true
[ "$RC" = 1 ] || { cat "$work/out"; fail "under CI: exit $RC, not 1"; }
grep -qx "FAIL: $text (CI=true: never skipped)" "$work/out" || { cat "$work/out"; fail "under CI: no FAIL line"; }
! grep -q '^SKIPPED' "$work/out" || fail "under CI: a SKIPPED line"
echo "vm skip outside CI, failure under CI: OK"

# Sourced by the stages that can be left out where the machine cannot run them
# (tests/qemu/run_vm_tests.sh). Under CI (CI=true) a stage left out is a
# failure: CI never passes without its strongest checks.
#
# skip_or_fail TEXT: outside CI prints "SKIPPED: TEXT" and returns; under CI prints
# "FAIL: TEXT (CI=true: never skipped)" on standard error and exits 1.
skip_or_fail() {
  if [ "${CI:-}" = true ]; then
    echo "FAIL: $* (CI=true: never skipped)" >&2
    exit 1
  fi
  echo "SKIPPED: $*"
}

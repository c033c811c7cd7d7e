# Sourced by tools/deps.sh, tools/wintest.sh and tests/qemu/run_vm_tests.sh: installs the Debian
# packages that are missing, as root (through sudo when started by another user). A lock of the
# package manager held by another run (an unattended upgrade, a second build) is waited for, up
# to XOL_APT_WAIT seconds (default 900), and never taken for a failure of its own.
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
APT_WAIT=${XOL_APT_WAIT:-900}

# apt_get ARGS...: apt-get as root. apt waits for dpkg's lock itself (DPkg::Lock::Timeout); the
# package lists' and the download cache's locks it does not wait for, so a run refused one of
# those is tried again.
apt_get() {
  local t0=$SECONDS err rc
  err=$(mktemp)
  while :; do
    rc=0
    "${SUDO[@]}" apt-get -o DPkg::Lock::Timeout="$APT_WAIT" "$@" 2>"$err" || rc=$?
    cat "$err" >&2
    if [ $rc -eq 0 ] || ! grep -q 'Could not get lock' "$err" ||
       [ $((SECONDS - t0)) -ge "$APT_WAIT" ]; then
      break
    fi
    echo "apt-get: another run of the package manager holds its lock; trying again in 5 s" >&2
    sleep 5
  done
  rm -f "$err"
  return $rc
}

apt_updated=
apt_update() {
  [ -n "$apt_updated" ] || apt_get update -q
  apt_updated=1
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

install_missing() {
  local missing=() p
  for p in "$@"; do
    installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  apt_update
  apt_get install -y -q --no-install-recommends "${missing[@]}"
}

#!/usr/bin/env bash
# Runs a test program as the user nobody (uid 65534) in a fresh folder that user owns, which is
# its XOL_TEST_TMP and its temporary folder: the branches that only an ordinary user meets (a
# folder it may not add to, files it may not give away). Only root can become another user;
# anyone else gets the skip status 77, which CI (CI=true), running as root, counts as a failure.
#   as_user.sh PROGRAM [ARGUMENT]...
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: only root can run the program as another user"
  [ "${CI:-}" != true ] || exit 1
  exit 77
fi
if ! setpriv --reuid=65534 --regid=65534 --clear-groups -- test -x "$1"; then
  # A folder on the program's path is closed to others.
  echo "SKIPPED: the user nobody cannot reach $1"
  [ "${CI:-}" != true ] || exit 1
  exit 77
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/as_user.XXXXXX")
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/tmp"
chown -R 65534:65534 "$dir"
cd "$dir"
status=0
XOL_TEST_TMP="$dir" TMPDIR="$dir/tmp" \
  setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@" || status=$?
# Nothing may stay behind in the temporary folder.
if [ -n "$(ls -A "$dir/tmp")" ]; then
  echo "left in the temporary folder:" >&2
  ls -la "$dir/tmp" >&2
  [ "$status" != 0 ] || status=1
fi
exit "$status"

#!/usr/bin/env bash
# Cross-builds the tree for 32-bit Windows with Debian's mingw-w64 and runs the test suite under
# Wine. Boost has no mingw package: its compiled libraries are built once from Debian's own Boost
# source package and kept outside the tree, keyed by the Boost and compiler versions, so later
# runs reuse them.
#
# Wine runs 32-bit programs only where the kernel runs 32-bit x86 code, which is a setting of
# the machine (CI's machines differ in it), not something a package can add. Where it cannot,
# the 32-bit build is still made and its binaries checked, and the test suite runs on a 64-bit
# Windows build of the same tree under 64-bit Wine instead, under CI too: a stage that no
# package could make pass on that machine would keep every change from landing. The log says
# which route ran.
#
# Environment: XOL_WIN_BUILD (build folder of the 32-bit build, default build-win; the 64-bit
# one gets the suffix 64), XOL_MINGW_BOOST_CACHE (default /var/cache/xol-mingw-boost),
# XOL_WIN_ROUTE=64 (take the 64-bit route even where the kernel runs 32-bit code, to try what a
# machine that cannot runs).
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
BUILD=${XOL_WIN_BUILD:-$SRC/build-win}
CACHE=${XOL_MINGW_BOOST_CACHE:-/var/cache/xol-mingw-boost}
BOOST_SRCPKG=boost1.74
BOOST_BINPKG=libboost1.74-dev
JOBS=$(nproc)
T0=$SECONDS
step() { echo "== wintest [$((SECONDS - T0)) s] $*"; }

. "$SRC/tools/packages.sh"

step "packages"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${SUDO[@]}" dpkg --add-architecture i386
  apt_updated=
fi
install_missing cmake ninja-build build-essential googletest bison dpkg-dev xz-utils \
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 libc6:i386
if [ "${XOL_WIN_ROUTE:-}" != 64 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  RUN_TRIPLET=i686-w64-mingw32
  install_missing wine wine32:i386
else
  RUN_TRIPLET=x86_64-w64-mingw32
  if [ "${XOL_WIN_ROUTE:-}" = 64 ]; then
    echo "NOTE: the 32-bit suite is not run under 32-bit Wine: XOL_WIN_ROUTE=64"
  else
    echo "NOTE: the 32-bit suite cannot run under 32-bit Wine here: this kernel runs no 32-bit" \
      "x86 code (/lib/ld-linux.so.2 does not run)"
  fi
  step "the tests run on the 64-bit build under 64-bit Wine instead"
  install_missing g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    binutils-mingw-w64-x86-64 wine wine64
fi

BOOST_VERSION=$(apt-cache show --no-all-versions "$BOOST_BINPKG" 2>/dev/null |
  awk '/^Version:/ { print $2; exit }')
if [ -z "$BOOST_VERSION" ]; then
  apt_update
  BOOST_VERSION=$(apt-cache show --no-all-versions "$BOOST_BINPKG" | awk '/^Version:/ { print $2; exit }')
fi

# Adds source entries beside the machine's own Debian entries, unless the Boost sources are
# already reachable.
enable_deb_src() {
  apt_update
  apt-cache showsrc "$BOOST_SRCPKG" 2>/dev/null | grep -q '^Version:' && return
  local list=/etc/apt/sources.list.d/xol-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${SUDO[@]}" tee "$list.sources" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list |
      "${SUDO[@]}" tee "$list.list" >/dev/null
  fi
  apt_updated=
  apt_update
}

# Unpacks Debian's Boost sources and builds their build engine, once per run.
BOOST_WORK=
boost_sources() {
  [ -z "$BOOST_WORK" ] || return 0
  enable_deb_src
  "${SUDO[@]}" mkdir -p "$CACHE"
  [ -w "$CACHE" ] || "${SUDO[@]}" chown "$(id -u):$(id -g)" "$CACHE"
  BOOST_WORK=$(mktemp -d "$CACHE/.build.XXXXXX")
  step "Boost: fetching and unpacking $BOOST_SRCPKG $BOOST_VERSION"
  # Two notes of this fetch are no failures and are kept out of the output: apt's "Download is
  # performed unsandboxed as root" (its user _apt may not enter the private folder) and gpgv's
  # "Can't check signature: No public key" (no keyring here holds the uploader's key). apt has
  # checked every file against the archive's signed index either way.
  (cd "$BOOST_WORK" && apt-get source -q --download-only "$BOOST_SRCPKG=$BOOST_VERSION" &&
    dpkg-source -q -x ./*.dsc src >/dev/null) 2>&1 |
    { grep -v -e '^W: Download is performed unsandboxed as root' -e '^gpgv: Signature made ' \
        -e '^gpgv: *using [A-Z0-9]* key ' -e "^gpgv: Can't check signature: No public key" || true; }
  # Debian's tarball lacks the build engine's generated parser.
  local engine=$BOOST_WORK/src/tools/build/src/engine
  [ -f "$engine/jamgram.cpp" ] || (cd "$engine" && bison -y -d -o jamgram.cpp jamgram.y)
  (cd "$BOOST_WORK/src" && ./bootstrap.sh --with-toolset=gcc >/dev/null)
}

# Sets BOOST_PREFIX to a static Boost build for the triplet $1, building it when the cache has
# none: only the compiled libraries the tree links, release only.
boost_for() {
  local triplet=$1 model toolset arch
  arch=$(echo "${triplet%%-*}" | tr _ -)
  case $triplet in
    i686-*) model=32 toolset=mingw32 ;;
    x86_64-*) model=64 toolset=mingw64 ;;
  esac
  local cxx=$triplet-g++-posix
  local opts=(toolset=gcc-$toolset target-os=windows address-model=$model architecture=x86
    binary-format=pe abi=ms threadapi=win32 threading=multi link=static runtime-link=shared
    variant=release cxxstd=17)
  local libs=(--with-log --with-thread --with-system --with-filesystem --with-program_options
    --with-date_time)
  local key
  key=$(printf '%s\n' "$BOOST_SRCPKG=$BOOST_VERSION" "$($cxx -dumpfullversion)" \
    "$(dpkg-query -W -f='${Version} ' "mingw-w64-$arch-dev" "g++-mingw-w64-$arch-posix")" \
    "${opts[*]} ${libs[*]}" | sha1sum | cut -c1-12)
  BOOST_PREFIX=$CACHE/$BOOST_SRCPKG-$triplet-$key
  if [ -f "$BOOST_PREFIX/.complete" ]; then
    step "Boost for $triplet: cached in $BOOST_PREFIX"
    return
  fi
  boost_sources
  step "Boost for $triplet: building into $BOOST_PREFIX"
  cat >"$BOOST_WORK/$triplet.jam" <<JAM
using gcc : $toolset : $cxx : <archiver>$triplet-ar <ranlib>$triplet-ranlib <rc>$triplet-windres ;
JAM
  local out=$BOOST_WORK/prefix-$triplet
  (cd "$BOOST_WORK/src" && ./b2 -j"$JOBS" -q -d0 --user-config="$BOOST_WORK/$triplet.jam" \
    --build-dir="$BOOST_WORK/obj-$triplet" --prefix="$out" --layout=system \
    "${opts[@]}" "${libs[@]}" install)
  touch "$out/.complete"
  # Only a finished build ever appears under its key.
  rm -rf "$BOOST_PREFIX"
  mv "$out" "$BOOST_PREFIX"
  step "Boost for $triplet: built"
}

# Configures and builds the tree for the triplet $1 in the folder $2.
cross_build() {
  local triplet=$1 dir=$2
  boost_for "$triplet"
  step "configure and build for $triplet in $dir"
  cmake -S "$SRC" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-${triplet%%-*}.cmake" \
    -DXOL_MINGW_BOOST_ROOT="$BOOST_PREFIX"
  cmake --build "$dir" -j "$JOBS"
}

# Runs the whole suite of the build folder $1 in a fresh Wine prefix of architecture $2.
run_under_wine() {
  local dir=$1
  WINE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/xol-wine.XXXXXX")
  export WINEPREFIX=$WINE_DIR WINEARCH=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  step "Wine prefix ($2, null graphics driver)"
  local wine=wine
  [ "$2" = win32 ] || wine=/usr/lib/wine/wine64
  "$wine" wineboot -i
  "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  wineserver -w
  step "tests of $dir under Wine"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS")
}

WINE_DIR=
cleanup() {
  if [ -n "$WINE_DIR" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINE_DIR"
  fi
  [ -z "$BOOST_WORK" ] || rm -rf "$BOOST_WORK"
}
trap cleanup EXIT

cross_build i686-w64-mingw32 "$BUILD"
if [ "$RUN_TRIPLET" = i686-w64-mingw32 ]; then
  run_under_wine "$BUILD" win32
else
  step "checks of the 32-bit binaries"
  (cd "$BUILD" && ctest --output-on-failure -L host)
  cross_build x86_64-w64-mingw32 "${BUILD}64"
  run_under_wine "${BUILD}64" win64
fi
step "done"

# Shared set-up for scripts/run and scripts/test: packages, build, Wine prefix.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${MDS_BUILD_DIR:-$ROOT/build}
BIN_DIR=$BUILD_DIR/bin
MDS_PREFIX=${MDS_WINEPREFIX:-$BUILD_DIR/wineprefix}

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="

APT_PACKAGES="g++-mingw-w64-x86-64 wine64 wine cmake ninja-build googletest zip osslsigncode openssl git python3-pefile wixl msitools faketime nlohmann-json3-dev"

# Installs whatever of the toolchain is missing (Debian 12, as root).
ensure_packages() {
  local missing=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64)
  command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
  command -v wine >/dev/null || missing+=(wine)
  command -v wineserver >/dev/null || missing+=(wine)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  # scripts/release and its tests: the archive, the signature, a test
  # certificate, and the version and time of the commit.
  command -v zip >/dev/null || missing+=(zip)
  command -v osslsigncode >/dev/null || missing+=(osslsigncode)
  command -v openssl >/dev/null || missing+=(openssl)
  command -v git >/dev/null || missing+=(git)
  # The Windows Installer package (deploy/msi): wixl builds it, msitools'
  # msibuild finishes its tables and summary, and faketime gives wixl the
  # source's time instead of the clock's.
  command -v wixl >/dev/null || missing+=(wixl)
  command -v msibuild >/dev/null || missing+=(msitools)
  command -v faketime >/dev/null || missing+=(faketime)
  # The tests read "/inventory"'s JSON with a real parser (header-only).
  [ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
  # The release tests read the binaries (version resource, hardening) with
  # Debian's PE reader, which belongs to Debian's own Python.
  /usr/bin/python3 -c 'import pefile' 2>/dev/null || missing+=(python3-pefile)
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q >&2
  $sudo apt-get install -y -q --no-install-recommends $APT_PACKAGES >&2
}

# The link checker of the docs (tests/docs/check_links.sh): remark-validate-links
# from npm, at the versions tests/docs/package-lock.json pins, in
# $BUILD_DIR/link-check. Node.js and npm come from Debian where the machine has none.
ensure_link_checker() {
  local dir=$BUILD_DIR/link-check
  if ! command -v npm >/dev/null; then
    echo "Installing: nodejs npm" >&2
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >&2
    $sudo apt-get install -y -q --no-install-recommends nodejs npm >&2
  fi
  if [ ! -x "$dir/node_modules/.bin/remark" ] || ! cmp -s "$ROOT/tests/docs/package-lock.json" "$dir/package-lock.json"; then
    rm -rf "$dir" && mkdir -p "$dir"
    cp "$ROOT/tests/docs/package.json" "$ROOT/tests/docs/package-lock.json" "$dir/"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error) >&2
  fi
}

# Configure, build and test go through CMakePresets.json (windows-x64), the
# one place for the flags. The presets name build/ and build/wineprefix; when
# MDS_BUILD_DIR or MDS_WINEPREFIX moves them, the scripts still configure from
# the preset, but name the folder and the prefix themselves.
PRESET=windows-x64

default_layout() {
  [ "$BUILD_DIR" = "$ROOT/build" ] && [ "$MDS_PREFIX" = "$ROOT/build/wineprefix" ]
}

# Configures the build folder, once.
configure() {
  if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    (cd "$ROOT" && cmake --preset $PRESET -B "$BUILD_DIR" -DMDS_WINEPREFIX="$MDS_PREFIX") >&2
  fi
}

# Configures (once) and builds the given targets, or everything.
build() {
  configure
  if [ "$BUILD_DIR" = "$ROOT/build" ]; then
    (cd "$ROOT" && cmake --build --preset $PRESET "$@") >&2
  else
    cmake --build "$BUILD_DIR" -j 2 "$@" >&2
  fi
}

# Runs ctest with the test preset's settings (its environment is the one
# exported above, with WINEPREFIX set by ensure_prefix).
run_ctest() {
  if default_layout; then
    (cd "$ROOT" && ctest --preset $PRESET "$@")
  else
    (cd "$BUILD_DIR" && ctest --output-on-failure -j 2 "$@")
  fi
}

# Builds the portable text code natively with clang, with the sanitizer unit
# tests and the fuzzer, into $BUILD_DIR/native (run by the main ctest).
build_native() {
  local missing=()
  command -v clang++ >/dev/null || missing+=(clang)
  compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
    missing+=(libclang-rt-14-dev)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >&2
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
  fi
  if [ ! -f "$BUILD_DIR/native/build.ninja" ]; then
    cmake -S "$ROOT/tests/native" -B "$BUILD_DIR/native" -G Ninja \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >&2
  fi
  cmake --build "$BUILD_DIR/native" -j 2 >&2
}

# Makes the Wine prefix once (or finishes one left half-made); later runs
# reuse it. Never deletes a prefix: WINEPREFIX may name the user's own.
ensure_prefix() {
  export WINEPREFIX=$MDS_PREFIX
  if [ ! -f "$WINEPREFIX/.mds-ready" ]; then
    mkdir -p "$WINEPREFIX"
    wine wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
    # No crash debugger: a crash must show as an exit code, not a dump on stdout.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
      </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.mds-ready"
  fi
}

# A persistent, warmed-up wineserver for this prefix, ended when the script exits.
start_wineserver() {
  export WINEPREFIX=$MDS_PREFIX
  wineserver -p
  trap stop_wineserver EXIT
  # The first process starts the prefix's services; let them settle outside any pipe we read.
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}

stop_wineserver() {
  WINEPREFIX=$MDS_PREFIX wineserver -k 2>/dev/null || true
  WINEPREFIX=$MDS_PREFIX wineserver -w 2>/dev/null || true
}

#!/usr/bin/env bash
# Runs scripts/release as a user would, for the release tests (release.cmake).
#   release_test.sh reproducible BUILD  two unsigned releases, from two fresh
#       folders at two times, give the same archive, holding this build's
#       binaries (a third folder), the sums, and the commit's time on every member
#   release_test.sh signed BUILD        a release signed with a throwaway
#       certificate verifies, and without its signature each binary is this build's
#   release_test.sh signed-runs BUILD   the signed exe runs under Wine as this build's does
# (The binaries' hardening and imports: pe_check.py beside this script.)
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$build/release-test
export TZ=UTC LC_ALL=C

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# release DIST [VAR=VALUE...]: an unsigned release of the default version, unless told otherwise.
release() {
  local dist=$1
  shift
  rm -rf "$dist"
  env -u MDS_SIGN_PFX -u MDS_SIGN_PASSWORD -u MDS_SIGN_TIMESTAMP_URL -u MDS_VERSION \
    MDS_DIST_DIR="$dist" "$@" "$root/scripts/release" >"$dist.out" 2>"$dist.err" ||
    { cat "$dist.err" >&2; fail "scripts/release"; }
  cat "$dist.out"
  ARCHIVE=$(sed -n 's/^archive: //p' "$dist.out")
  [ -f "$ARCHIVE" ] || fail "no archive at '$ARCHIVE'"
  [ "$(sed -n 's/^sha256: *//p' "$dist.out")" = "$(sha256sum "$ARCHIVE" | cut -d' ' -f1)" ] ||
    fail "the printed SHA-256 is not the archive's"
  rm -rf "$dist/x" && mkdir "$dist/x"
  (cd "$dist/x" && cmake -E tar xf "$ARCHIVE" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS"
}

same_as_build() { # DIR: its binaries are byte for byte this build's
  cmp "$1/mdsdriver.exe" "$build/bin/mdsdriver.exe" && cmp "$1/difxapi_x64.dll" "$build/bin/difxapi_x64.dll"
}

mkdir -p "$out"
case $mode in
reproducible)
  start=$(date +%s)
  release "$out/a"
  release "$out/b"
  seconds=$(($(date +%s) - start))
  cmp "$ARCHIVE" "$out/a/$(basename "$ARCHIVE")" || fail "two releases of one commit differ"
  same_as_build "$out/a/x" || fail "the released binaries are not this build's"
  [ "$(cd "$out/a/x" && ls | tr '\n' ' ')" = "LICENSE README.md SHA256SUMS difxapi_x64.dll mdsdriver.exe " ] ||
    fail "members: $(ls "$out/a/x")"
  epoch=${SOURCE_DATE_EPOCH:-$(git -c safe.directory="$root" -C "$root" log -1 --format=%ct)}
  for file in "$out/a/x"/*; do # a zip keeps even seconds only
    late=$(($(stat -c %Y "$file") - epoch))
    [ "$late" -ge 0 ] && [ "$late" -le 1 ] || fail "$file: $late s after the commit's time"
  done
  echo "reproducible: 2 releases in ${seconds} s, $(stat -c %s "$ARCHIVE") bytes each, identical to each other and to this build"
  ;;
signed)
  keys=$(mktemp -d)
  trap 'rm -rf "$keys"' EXIT
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/key.pem" -out "$keys/cert.pem" -days 2 \
    -subj "/CN=mdsdriver test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
  openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/signer.pfx" -passout pass:test-only
  release "$out/signed" MDS_SIGN_PFX="$keys/signer.pfx" MDS_SIGN_PASSWORD=test-only
  for file in mdsdriver.exe difxapi_x64.dll; do
    osslsigncode verify -CAfile "$keys/cert.pem" -in "$out/signed/x/$file" >"$keys/verify" 2>&1 || true
    grep -q 'Signature verification: ok' "$keys/verify" && grep -q 'Subject: /CN=mdsdriver test signer' "$keys/verify" ||
      { cat "$keys/verify" >&2; fail "$file: no valid signature by the test signer"; }
    osslsigncode remove-signature -in "$out/signed/x/$file" -out "$out/signed/$file" >/dev/null
  done
  same_as_build "$out/signed" || fail "without their signatures, the binaries are not this build's"
  echo "signed: both binaries verify, signer CN=mdsdriver test signer"
  ;;
signed-runs)
  # /qu (exit code 0, its trace on standard output) with the sample package and
  # a matching device, and a complaint, each run by the signed exe and by this
  # build's; thread ids differ from run to run.
  vendor="$WINEPREFIX/drive_c/Program Files/Common Files/Apple"
  device='USB\VID_05AC&PID_12A8\0000111122223333'
  [ -e "$vendor" ] && made_vendor= || made_vendor=1
  cleanup() {
    wine "$build/bin/register_devices.exe" remove "$device" </dev/null >/dev/null 2>&1 || true
    [ -z "$made_vendor" ] || rm -rf "$vendor"
  }
  trap cleanup EXIT
  mkdir -p "$vendor/Mobile Device Support"
  cp -r "$build/bin/fixtures/packages/." "$vendor/Mobile Device Support/"
  wine "$build/bin/register_devices.exe" add "$device" 'Sample Phone' </dev/null >/dev/null 2>&1
  for args in /qu /nonsense; do
    for exe in "$out/signed/x/mdsdriver.exe" "$build/bin/mdsdriver.exe"; do
      code=0
      wine "$exe" $args </dev/null 2>/dev/null | sed 's/^\[app\]([0-9]*)/[app](N)/' >"$out/run.$(basename "$(dirname "$exe")")" ||
        code=$?
      echo "exit code: $code" >>"$out/run.$(basename "$(dirname "$exe")")"
    done
    cmp "$out/run.x" "$out/run.bin" || { diff "$out/run.x" "$out/run.bin" >&2; fail "mdsdriver.exe $args"; }
    grep -qx 'exit code: 0' "$out/run.x" || fail "mdsdriver.exe $args: $(tail -n 1 "$out/run.x")"
    cat "$out/run.x"
  done
  ;;
*) fail "mode '$mode'" ;;
esac

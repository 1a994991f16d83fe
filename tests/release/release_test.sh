#!/usr/bin/env bash
# Runs scripts/release as a user would, for the release tests (release.cmake).
#   release_test.sh reproducible BUILD  two unsigned releases, from two fresh
#       folders at two times, give the same archive and package, holding this
#       build's binaries (a third folder) and package, the sums, and the
#       commit's time on every member
#   release_test.sh signed BUILD        a release signed with a throwaway
#       certificate verifies (both binaries and the package), and without its
#       signature each binary is this build's
#   release_test.sh signed-runs BUILD   the signed exe runs under Wine as this build's does
#   release_test.sh version BUILD       both binaries carry the project's version
#       as Windows shows it (pe_version.py), the newest release in CHANGELOG.md is
#       that version, the exe carries its manifest, and the package the version
# (The binaries' hardening and imports: pe_check.py beside this script.)
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$build/release-test
export TZ=UTC LC_ALL=C
# The one version, set in CMakeLists.txt.
version=$(sed -n 's/^project(mdsdriver VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# release DIST [VAR=VALUE...]: an unsigned release of the default version, unless told otherwise.
release() {
  local dist=$1
  shift
  rm -rf "$dist"
  env -u MDS_SIGN_PFX -u MDS_SIGN_PASSWORD -u MDS_SIGN_TIMESTAMP_URL \
    MDS_DIST_DIR="$dist" "$@" "$root/scripts/release" >"$dist.out" 2>"$dist.err" ||
    { cat "$dist.err" >&2; fail "scripts/release"; }
  cat "$dist.out"
  ARCHIVE=$(sed -n 's/^archive: //p' "$dist.out")
  PACKAGE=$(sed -n 's/^package: //p' "$dist.out")
  [ -f "$ARCHIVE" ] || fail "no archive at '$ARCHIVE'"
  [ "$(basename "$ARCHIVE")" = "mdsdriver-$version-windows-x64.zip" ] || fail "the archive is not named after $version"
  [ "$PACKAGE" = "$dist/mdsdriver-$version-x64.msi" ] || fail "the package is not '$dist/mdsdriver-$version-x64.msi'"
  [ "$(sed -n 's/^sha256: *//p' "$dist.out")" = "$(sha256sum "$PACKAGE" "$ARCHIVE" | cut -d' ' -f1)" ] ||
    fail "the printed SHA-256s are not the package's and the archive's"
  rm -rf "$dist/x" && mkdir "$dist/x"
  (cd "$dist/x" && cmake -E tar xf "$ARCHIVE" && sha256sum --quiet -c SHA256SUMS &&
    grep -qxF "$(sha256sum "$(basename "$PACKAGE")")" SHA256SUMS) || fail "SHA256SUMS, or the package's line in it"
  cmp "$PACKAGE" "$dist/x/$(basename "$PACKAGE")" || fail "the package beside the archive is not the one in it"
}

same_as_build() { # DIR: its binaries are byte for byte this build's
  cmp "$1/mdsdriver.exe" "$build/bin/mdsdriver.exe" && cmp "$1/difxapi_x64.dll" "$build/bin/difxapi_x64.dll" ||
    { echo "(the version is built in: was this build made before the last commit?)" >&2 && return 1; }
}

mkdir -p "$out"
case $mode in
reproducible)
  start=$(date +%s)
  release "$out/a"
  release "$out/b"
  seconds=$(($(date +%s) - start))
  cmp "$ARCHIVE" "$out/a/$(basename "$ARCHIVE")" || fail "two releases of one commit differ"
  cmp "$PACKAGE" "$out/a/$(basename "$PACKAGE")" || fail "two releases of one commit give different packages"
  same_as_build "$out/a/x" || fail "the released binaries are not this build's"
  cmp "$PACKAGE" "$build/msi/$(basename "$PACKAGE")" || fail "the released package is not this build's"
  members=$(cd "$out/a/x" && find . -type f -printf '%P\n' | sort | tr '\n' ' ')
  docs=$(cd "$root" && ls docs/*.md | tr '\n' ' ')
  [ "$members" = "CHANGELOG.md LICENSE README.md SHA256SUMS deploy/install.cmd deploy/uninstall.cmd difxapi_x64.dll ${docs}mdsdriver-$version-x64.msi mdsdriver.exe " ] ||
    fail "members: $members"
  ! grep -qv $'\r$' "$out/a/x/deploy/"*.cmd || fail "a line of deploy/*.cmd does not end in CR LF, as Windows' cmd expects"
  epoch=${SOURCE_DATE_EPOCH:-$(git -c safe.directory="$root" -C "$root" log -1 --format=%ct)}
  for file in $(find "$out/a/x" -type f); do # a zip keeps even seconds only
    late=$(($(stat -c %Y "$file") - epoch))
    [ "$late" -ge 0 ] && [ "$late" -le 1 ] || fail "$file: $late s after the commit's time"
  done
  echo "reproducible: 2 releases in ${seconds} s, archive $(stat -c %s "$ARCHIVE") bytes and package $(stat -c %s "$PACKAGE") bytes each, identical to each other and to this build"
  ;;
signed)
  keys=$(mktemp -d)
  trap 'rm -rf "$keys"' EXIT
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/key.pem" -out "$keys/cert.pem" -days 2 \
    -subj "/CN=mdsdriver test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
  openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/signer.pfx" -passout pass:test-only
  release "$out/signed" MDS_SIGN_PFX="$keys/signer.pfx" MDS_SIGN_PASSWORD=test-only
  # The package's custom actions, signed before the package was made.
  msiinfo extract "$PACKAGE" Binary.MdsActions >"$out/signed/x/mdsdriver_msi.dll" || fail "no custom actions in the package"
  mkdir "$out/signed/unsigned"
  for file in mdsdriver.exe difxapi_x64.dll mdsdriver_msi.dll "$(basename "$PACKAGE")"; do
    osslsigncode verify -CAfile "$keys/cert.pem" -in "$out/signed/x/$file" >"$keys/verify" 2>&1 || true
    grep -q 'Signature verification: ok' "$keys/verify" && grep -q 'Subject: /CN=mdsdriver test signer' "$keys/verify" ||
      { cat "$keys/verify" >&2; fail "$file: no valid signature by the test signer"; }
    osslsigncode remove-signature -in "$out/signed/x/$file" -out "$out/signed/unsigned/$file" >/dev/null
  done
  same_as_build "$out/signed/unsigned" || fail "without their signatures, the binaries are not this build's"
  echo "signed: both binaries, the custom actions and the package verify, signer CN=mdsdriver test signer"
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
version)
  # The project's version, the file version the build makes of it (first on a
  # few versions), the commit's product version, and the newest release.
  numbers() { # VERSION: the numeric file version, or nothing when unusable
    cmake -DVERSION="$1" -DSOURCE_DIR="$root" -DOUTPUT="$out/version.h" \
      -P "$root/cmake/version_header.cmake" >/dev/null 2>&1 || return 0
    sed -n 's/^#define MDS_VERSION_DOTTED "\(.*\)"$/\1/p' "$out/version.h" && rm -f "$out/version.h"
  }
  for row in 0.2.0=0.2.0.0 2.1.7.9=2.1.7.9 1.65535=1.65535.0.0 1.65536= 1.70000= 1.2.3.4.5= v1.2.0=; do
    [ "$(numbers "${row%%=*}")" = "${row#*=}" ] || fail "version ${row%%=*} reads as '$(numbers "${row%%=*}")'"
  done
  # A local build's product version in a tree of its own: an untracked file
  # leaves it clean, a changed tracked file marks it.
  tree=$out/tree && rm -rf "$tree" && mkdir "$tree" && cp "$root/LICENSE" "$tree/"
  git -C "$tree" init -q && git -C "$tree" add LICENSE && git -C "$tree" -c user.name=t -c user.email=t@t commit -qm t
  product() {
    cmake -DVERSION=1.0 -DSOURCE_DIR="$tree" -DOUTPUT="$out/tree.h" -P "$root/cmake/version_header.cmake" >/dev/null
    sed -n 's/^#define MDS_PRODUCT_VERSION "\(.*\)"$/\1/p' "$out/tree.h"
  }
  touch "$tree/untracked"
  [[ $(product) =~ ^1\.0\+[0-9a-f]{12}$ ]] || fail "an untracked file gives the product version '$(product)'"
  echo >>"$tree/LICENSE"
  [[ $(product) == *.dirty ]] || fail "a changed tracked file gives the product version '$(product)'"
  dotted=$(numbers "$version")
  text=$version+$(git -c safe.directory="$root" -C "$root" rev-parse HEAD | cut -c1-12)
  [ -z "$(git -c safe.directory="$root" -C "$root" status --porcelain --untracked-files=no)" ] || text=$text.dirty
  newest=$(sed -n 's/^## \[\([0-9][^]]*\)\].*/\1/p' "$root/CHANGELOG.md" | head -n 1)
  [ "$newest" = "$version" ] || fail "the newest release in CHANGELOG.md is '$newest', the version $version"
  copyright=$(grep -m1 '^Copyright ' "$root/LICENSE")
  rm -f "$out/manifest"
  for file in mdsdriver.exe difxapi_x64.dll; do
    /usr/bin/python3 "$root/tests/release/pe_version.py" "$build/bin/$file" "$out/manifest" >"$out/$file.version" ||
      fail "$file: no readable version resource"
    [ "$file" = mdsdriver.exe ] && resources="RT_VERSION/1 RT_MANIFEST/1" || resources="RT_VERSION/1"
    for line in "resources=$resources" "fixed FileVersion=$dotted" "fixed ProductVersion=$dotted" "FileVersion=$dotted" \
      "ProductVersion=$text" "ProductName=mdsdriver" "OriginalFilename=$file" "LegalCopyright=$copyright"; do
      grep -qxF "$line" "$out/$file.version" ||
        fail "$file: no '$line' in:"$'\n'"$(cat "$out/$file.version")"$'\n'"(the version is built in: rebuild after a commit)"
    done
    grep -q '^FileDescription=.' "$out/$file.version" || fail "$file: no FileDescription"
  done
  cmp "$out/manifest" "$root/src/app/mdsdriver.manifest" || fail "mdsdriver.exe: the manifest is not src/app/mdsdriver.manifest"
  properties=$(msiinfo export "$build/msi/mdsdriver-$version-x64.msi" Property | tr -d '\r')
  grep -qxF "ProductVersion"$'\t'"$version" <<<"$properties" || fail "the package's product version is not $version"
  echo "version: $version, product version $text, file version $dotted, in both binaries and CHANGELOG.md:"
  cat "$out/mdsdriver.exe.version"
  ;;
*) fail "mode '$mode'" ;;
esac

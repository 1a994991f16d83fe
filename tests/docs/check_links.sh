#!/usr/bin/env bash
# Checks every relative link, and every link to a heading, in README.md,
# CHANGELOG.md and docs/ with remark-validate-links (ctest docs.links), as
# scripts/test installs it into BUILD/link-check. Links to other sites are
# left alone: the build machines have no network.
#   check_links.sh BUILD
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
modules=$build/link-check/node_modules
[ -x "$modules/.bin/remark" ] ||
  { echo "FAILED: no link checker in $build/link-check (scripts/test installs it)" >&2; exit 1; }
cd "$root"
# --frail: a broken link is a warning, and any warning fails the check.
"$modules/.bin/remark" --no-config --no-ignore --frail --no-stdout --no-color \
  --use "$modules/remark-validate-links/index.js=repository:false" README.md CHANGELOG.md docs

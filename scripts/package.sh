#!/usr/bin/env bash
# Builds the two packages with CPack, the version taken from the CMake project:
#   build/package/trackrelay_<version>_<arch>.deb         (preset package-deb)
#   build/package/trackrelay-<version>-windows-x64.zip     (preset package-windows)
# usage: package.sh [deb|zip]...   (both by default)
set -euo pipefail
cd "$(dirname "$0")/.."

kinds=("$@")
[ "${#kinds[@]}" -gt 0 ] || kinds=(deb zip)
for kind in "${kinds[@]}"; do
  case $kind in
    deb) preset=package-deb ;;
    zip) preset=package-windows ;;
    *) echo "usage: $0 [deb|zip]..." >&2; exit 2 ;;
  esac
  echo "== $preset =="
  cmake --workflow --preset "$preset"
done
# CPack's work folder; the packages stay.
rm -rf build/package/_CPack_Packages
ls -l build/package/*.deb build/package/*.zip 2>/dev/null || true

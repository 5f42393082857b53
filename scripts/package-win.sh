#!/usr/bin/env bash
# Builds the Windows console program and packs the release archive
# dist/wrenpost-VERSION-win64.zip: wrenpost.exe, the example configuration
# and the README, with CR LF line ends for Windows editors.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
wp_build windows build-windows
version=$(sed -n 's/^project(wrenpost VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
name=wrenpost-$version-win64
mkdir "$stage/$name"
cp build-windows/wrenpost.exe "$stage/$name/"
sed 's/$/\r/' wrenpost.cfg.example >"$stage/$name/wrenpost.cfg.example"
sed 's/$/\r/' README.md >"$stage/$name/README.txt"
mkdir -p dist
rm -f "dist/$name.zip"
(cd "$stage" && zip -qr -X "$OLDPWD/dist/$name.zip" "$name")
echo "dist/$name.zip"

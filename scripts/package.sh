#!/usr/bin/env bash
# Builds the Debian package dist/wrenpost_VERSION_amd64.deb with Debian's own
# tools (dpkg-buildpackage over debian/), from the files git tracks (or the
# whole tree when this is no git checkout), then checks it with lintian.
# Installs the build dependencies it misses with apt; needs root for that.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

need=(dpkg-dev debhelper fakeroot lintian cmake ninja-build g++ qt6-base-dev scdoc
      desktop-file-utils)
missing=()
for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

# The version lives in CMakeLists.txt; debian/changelog must say the same.
version=$(sed -n 's/^project(wrenpost VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb_version=$(dpkg-parsechangelog -S Version)
if [ "$version" != "$deb_version" ]; then
    echo "debian/changelog says $deb_version, CMakeLists.txt $version: add a changelog entry" >&2
    exit 1
fi

# A fixed staging folder, so that ccache finds the same paths next time.
stage="$root/build-deb/wrenpost-$version"
rm -rf "$root/build-deb"
mkdir -p "$stage"
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard \
        | (cd "$root" && tar --null -T - -cf -) | tar -xf - -C "$stage"
else
    tar --exclude=./build\* --exclude=./dist -cf - . | tar -xf - -C "$stage"
fi

echo "=== dpkg-buildpackage ($version) ==="
(cd "$stage" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -us -uc >"$root/build-deb/build.log" 2>&1) || {
    tail -n 60 "$root/build-deb/build.log"
    echo "dpkg-buildpackage failed: build-deb/build.log" >&2
    exit 1
}
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb="wrenpost_${version}_${arch}.deb"
mkdir -p dist
cp "$root/build-deb/$deb" dist/

echo "=== lintian ==="
lintian --info "dist/$deb" | tee build-deb/lintian.log || true
if grep -q '^E: ' build-deb/lintian.log; then
    echo "lintian reports errors" >&2
    exit 1
fi
echo "Built dist/$deb:"
dpkg-deb --info "dist/$deb" | sed -n 's/^ \(Version\|Depends\|Installed-Size\):/  \1:/p'

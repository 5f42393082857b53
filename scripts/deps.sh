# Installs the Debian packages wrenpost needs to build and test, only those
# that are missing. Sourced by demo.sh and test.sh; needs root for apt-get.
WP_PACKAGES=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev python3 libgtest-dev
             libbenchmark-dev zlib1g-dev binkd crashmail zip unzip qt6-base-dev
             fonts-dejavu-core strace scdoc groff-base desktop-file-utils systemd
             g++-mingw-w64-x86-64-posix wine64 googletest libz-mingw-w64-dev)

wp_install_deps() {
    local missing=()
    for p in "${WP_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing missing packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

# Configures (once) and builds one preset incrementally.
wp_build() {
    local preset=$1 dir=$2
    if [ ! -f "$dir/build.ninja" ]; then
        cmake --preset "$preset" -G Ninja >/dev/null
    fi
    cmake --build "$dir" -j "$(nproc)"
}

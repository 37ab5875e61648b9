# Shared by the README's two commands: package installation and the CMake build.
# shellcheck shell=bash

ZUMVARI_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian 12 packages. Build and client first; the rest serve the stand-ins, tests and screenshots.
BUILD_PACKAGES=(cmake g++ ninja-build pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev
                qt6-httpserver-dev qt6-websockets-dev libssl-dev openssl)
RUN_PACKAGES=(xvfb xauth x11-utils xdotool imagemagick fonts-wqy-microhei)
TEST_PACKAGES=(libgtest-dev libbenchmark-dev clang libclang-rt-14-dev qt6-base-private-dev
               g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev xvfb xauth fonts-wqy-microhei)

say() { printf '\033[1m==> %s\033[0m\n' "$*"; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs only what is missing; quiet when everything is there.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "Installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# configure DIR [cmake options...]: configures a build folder; on one configured before, the
# options given are applied again (an option added since then still takes effect).
configure() {
    local dir=$1; shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$ZUMVARI_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    elif [ $# -gt 0 ]; then
        cmake -S "$ZUMVARI_ROOT" -B "$dir" "$@" >/dev/null
    fi
}

# build DIR [targets...]: builds what is out of date (everything when no target is named).
build() {
    local dir=$1; shift
    local targets=()
    [ $# -eq 0 ] || targets=(--target "$@")
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}

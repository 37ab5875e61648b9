# Shared by the README's two commands: package installation and the CMake build.
# shellcheck shell=bash

ZUMVARI_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian 12 packages, each list for what uses it. qt6-httpserver-dev's CMake package looks for
# WebSockets without depending on its -dev package; the client loads Qt's own Chinese texts.
BUILD_PACKAGES=(cmake g++ ninja-build qt6-base-dev qt6-httpserver-dev qt6-websockets-dev libssl-dev
                qt6-translations-l10n)
RUN_PACKAGES=(fonts-wqy-microhei)
HEADLESS_PACKAGES=(xvfb xauth x11-utils xdotool imagemagick)
UPDATE_DEMO_PACKAGES=(openssl ca-certificates)
# The tests run offscreen (no X), still measure Chinese text, end a session through Qt's private
# API, make certificates with openssl, and compile for and run under Windows through mingw-w64 and Wine.
TEST_PACKAGES=(libgtest-dev libbenchmark-dev clang libclang-rt-14-dev qt6-base-private-dev openssl
               fonts-wqy-microhei g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64)

# How run.sh configures a build folder of its own the first time: without the test packages.
RUN_FIRST_CMAKE_OPTIONS=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUMVARI_BUILD_TESTS=OFF)

say() { printf '\033[1m==> %s\033[0m\n' "$*"; }

# Installs only what is missing, through sudo only when not root; quiet when everything is there.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || {
            echo "These Debian packages are missing: ${missing[*]}" >&2
            echo "Installing them needs root and there is no sudo: run this once as root, or as root:" >&2
            echo "  apt-get install --no-install-recommends ${missing[*]}" >&2
            exit 1
        }
        as_root=(sudo)
    fi
    say "Installing ${missing[*]}"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
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

#!/usr/bin/env bash
# Installs with apt-get every package that building, testing and running the project need.
# Idempotent and quick when everything is there: apt-get runs only for what is missing.
set -euo pipefail

packages=(
    # native build, tests, benchmarks, fuzzing
    build-essential cmake ninja-build clang libclang-rt-14-dev
    googletest libgtest-dev libbenchmark-dev libssl-dev pkg-config
    # the Windows build and running it
    mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    wine wine64 fonts-wine xvfb xauth x11-utils
    # the S-record oracle, screenshots, tools the scripts use
    srecord imagemagick util-linux procps psmisc coreutils
    # a pseudo-terminal pair joined as one line, for the serial port test under wine
    socat
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"

#!/usr/bin/env bash
# Installs with apt-get every package that building, testing and running the project need.
# Idempotent and quick when everything is there: apt-get runs only for what is missing.
# The Windows programs are 32-bit: wine runs them with its 32-bit part, wine32 of the i386
# architecture, which dpkg is told about first.
set -euo pipefail

packages=(
    # native build, tests, benchmarks, fuzzing; the command line's arguments and JSON
    build-essential cmake ninja-build clang libclang-rt-14-dev
    googletest libgtest-dev libbenchmark-dev libssl-dev pkg-config
    libcli11-dev nlohmann-json3-dev
    # the station: its HTTP server, its history, the site database's client library and,
    # for the tests, a PostgreSQL server of their own (and openssl for its certificates); load
    # for the station's benchmarks
    libcpp-httplib-dev libsqlite3-dev libpq-dev postgresql openssl wrk
    # the station page's tests: in a real browser, and its own logic under node
    chromium chromium-driver python3-selenium nodejs
    # the Debian package and its checks (col renders man pages as text, curl asks the
    # packaged station for its page); a CPU load for the soak script
    dpkg-dev debhelper lintian fakeroot man-db groff-base bsdextrautils systemd
    bash-completion curl stress-ng
    # the Windows builds (32-bit x86 and x86-64) and running them
    mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    wine wine64 wine32:i386 fonts-wine xvfb xauth x11-utils
    # the S-record oracle, screenshots, tools the scripts use, the release package
    srecord imagemagick util-linux procps psmisc coreutils jq zip unzip bc time
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
    if [[ " ${missing[*]} " == *":i386 "* ]] &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "setup: adding the i386 architecture to dpkg"
        $sudo dpkg --add-architecture i386
    fi
    # A mirror in the middle of a sync can fail one index (apt-get exits 100) while the
    # lists it did fetch still hold every package needed.
    if ! $sudo apt-get update -q; then
        echo "setup: apt-get update could not fetch every list; installing from those it has"
    fi
    install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends)
    if ! $sudo "${install[@]}" "${missing[@]}"; then
        # The usual cause: the security archive's i386 list failed to fetch, so the i386
        # halves of the libraries wine needs can't match their amd64 halves' security
        # versions.  Preferring the main archive's versions for this one install makes
        # both halves come from the same list.
        echo "setup: installing again with the main archive's versions preferred"
        pin=$(mktemp)
        printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pin"
        $sudo "${install[@]}" -o Dir::Etc::Preferences="$pin" "${missing[@]}" || {
            rm -f "$pin"
            exit 1
        }
        rm -f "$pin"
    fi
fi
echo "setup: all packages present"

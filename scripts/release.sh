#!/usr/bin/env bash
# Makes a release in dist/ (or DIR):
#   orvane-field-reloader-VERSION-windows-x86.zip, a folder of that name holding VELKO.EXE
#       and velko-cli.exe, both stripped; README.txt for the technician (CR LF line ends);
#       SHA256SUMS of those files;
#   velko-cli-VERSION-linux-x86_64.tar.gz: the native velko-cli, stripped, and its README;
#   velko_VERSION_amd64.deb: the Debian package of velko-cli, velko-station and vyra-sim, with
#       the station's page, man pages, bash completion and the station's systemd unit, built
#       with Debian's hardening flags: those of the native preset, or of build/deb
#       (packaging/debian/make-deb.sh).
# VERSION is the one number CMake's project() sets, as the builds' release.env give it.  The
# script first builds what it packages (the windows and native presets); with --no-build it
# packages what is built, and leaves the Debian package out when there is no build for it.  It refuses a VELKO.EXE that is not a 32-bit x86 program with ASLR and DEP on
# (DYNAMIC_BASE, NX_COMPAT) or is larger than 1 MiB stripped.  The files carry the last
# commit's time, so that packaging the same build twice gives the same archives.
#
#   scripts/release.sh [--no-build] [--dist DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=1
dist=$root/dist
while [ $# -gt 0 ]; do
    case $1 in
    --no-build) build=0 ;;
    --dist) dist=${2:?--dist needs a folder}; shift ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "release: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
kMaxVelkoBytes=$((1024 * 1024))

fail() {
    echo "release: $*" >&2
    exit 1
}

# field PRESET NAME: a value of the build's release.env, which configuring writes.
field() {
    local env="build/$1/release.env"
    if [ ! -f "$env" ]; then
        mkdir -p build
        cmake --preset "$1" >"build/configure-$1.log" 2>&1 ||
            { cat "build/configure-$1.log"; fail "can't configure the $1 build"; }
    fi
    sed -n "s/^$2=//p" "$env"
}

# make_targets PRESET TARGET...: builds the targets (the shipped programs it has).
make_targets() {
    local preset=$1
    shift
    [ $build -eq 1 ] && [ $# -gt 0 ] || return 0
    echo "release: building $* ($preset)"
    cmake --build --preset "$preset" --target "$@" >"build/release-build-$preset.log" 2>&1 ||
        { tail -40 "build/release-build-$preset.log"; fail "the $preset build failed"; }
}

version=$(field windows version)
[ -n "$version" ] || fail "no version in build/windows/release.env"
[ "$(field native version)" = "$version" ] ||
    fail "the native build says version $(field native version), the Windows build $version: reconfigure both"
velko=$(field windows velko)
cli_exe=$(field windows velko_cli)
cli_linux=$(field native velko_cli)
make_targets windows velko velko_cli
make_targets native velko_cli
[ -f "$velko" ] || fail "no $velko: build the windows preset (or leave out --no-build)"
[ -f "$cli_exe" ] || fail "no $cli_exe: build velko_cli of the windows preset"
[ -f "$cli_linux" ] || fail "no $cli_linux: build velko_cli of the native preset"

[ -z "$(git status --porcelain 2>/dev/null)" ] ||
    echo "release: note: the work tree has changes that are not committed"
stamp=$(git log -1 --format=%ct 2>/dev/null || date +%s)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$dist"

# ---- Windows -----------------------------------------------------------------------------
name=orvane-field-reloader-$version
folder=$stage/$name
mkdir "$folder"
windows_strip=$(field windows strip)
"$windows_strip" -o "$folder/VELKO.EXE" "$velko"
size=$(stat -c %s "$folder/VELKO.EXE")
[ "$size" -le $kMaxVelkoBytes ] || fail "VELKO.EXE is $size bytes stripped, more than $kMaxVelkoBytes"
headers=$(objdump -p "$folder/VELKO.EXE")
for needed in "file format pei-i386" "Magic"$'\t\t\t'"010b" DYNAMIC_BASE NX_COMPAT; do
    grep -qF "$needed" <<<"$headers" ||
        fail "VELKO.EXE is not a 32-bit x86 program with ASLR and DEP (objdump -p lacks \"$needed\")"
done
"$windows_strip" -o "$folder/velko-cli.exe" "$cli_exe"
files=(VELKO.EXE velko-cli.exe)
cat docs/release/README-windows.txt docs/release/README-windows-cli.txt | sed "s/@VERSION@/$version/g; s/\$/\r/" >"$folder/README.txt"
files+=(README.txt)
(cd "$folder" && sha256sum "${files[@]}" >SHA256SUMS)
files+=(SHA256SUMS)
touch -d "@$stamp" "$folder" "$folder"/*
zip_file=$dist/$name-windows-x86.zip
rm -f "$zip_file"
(cd "$stage" && zip -X -q "$zip_file" "$name/" "${files[@]/#/$name/}")
echo "release: $zip_file ($(stat -c %s "$zip_file") bytes): ${files[*]}"
echo "         VELKO.EXE: $size bytes, 32-bit x86, DYNAMIC_BASE, NX_COMPAT"

# ---- Linux -------------------------------------------------------------------------------
lname=velko-cli-$version
mkdir "$stage/$lname"
"$(field native strip)" -o "$stage/$lname/velko-cli" "$cli_linux"
sed "s/@VERSION@/$version/g" docs/release/README-linux.txt >"$stage/$lname/README"
touch -d "@$stamp" "$stage/$lname" "$stage/$lname"/*
tar_file=$dist/$lname-linux-x86_64.tar.gz
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" \
    -cf - "$lname" | gzip -n -9 >"$tar_file"
echo "release: $tar_file ($(stat -c %s "$tar_file") bytes)"

# ---- Debian package ----------------------------------------------------------------------
if [ $build -eq 1 ] || [ -f build/deb/release.env ] || [ -f build/native/release.env ]; then
    deb_options=(--dist "$dist")
    [ $build -eq 1 ] || deb_options+=(--no-build)
    packaging/debian/make-deb.sh "${deb_options[@]}" >"$stage/deb.log" 2>&1 ||
        { cat "$stage/deb.log"; fail "the Debian package failed"; }
    deb=$(tail -1 "$stage/deb.log")
    [[ $deb == */velko_${version}_*.deb ]] || fail "the Debian package is $deb, not of version $version"
    echo "release: $deb ($(stat -c %s "$deb") bytes)"
    sed -n 's/^make-deb: .*bytes), \(Depends: .*\)/         \1/p' "$stage/deb.log"
else
    echo "release: note: no native build or build/deb, so no Debian package (scripts/release.sh without --no-build makes it)"
fi

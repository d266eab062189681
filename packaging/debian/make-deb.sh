#!/usr/bin/env bash
# Makes the Debian package of the Linux tools, DIST/velko_VERSION_ARCH.deb: builds velko-cli,
# velko-station and vyra-sim with Debian's hardening flags from dpkg-buildflags (fortified
# functions, stack protector, full RELRO, PIE; RelWithDebInfo): in build/native, whose preset
# has exactly those flags, or else in build/deb of their own; installs them with
# their files into a staging root for /usr (packaging/CMakeLists.txt), checks the copyright
# file against it, strips the programs, compresses the man pages and documents, and adds the
# package's control files: Depends from dpkg-shlibdeps, the defaults file as a conffile, the
# maintainer scripts.  VERSION is project()'s, and the changelog's newest entry must be for
# it.  Every file carries the last commit's time, so that the same build gives the same
# package.  Prints the package's path on its last line.
#
#   packaging/debian/make-deb.sh [--no-build] [--dist DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../.."
root=$(pwd)

build=1
dist=$root/dist
while [ $# -gt 0 ]; do
    case $1 in
    --no-build) build=0 ;;
    --dist) dist=${2:?--dist needs a folder}; shift ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-deb: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

fail() {
    echo "make-deb: $*" >&2
    exit 1
}

mkdir -p "$root/build"
# The flags are Debian's own for packages; -ffile-prefix-map drops this folder's path.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$cppflags $(dpkg-buildflags --get CFLAGS)"
cxxflags="$cppflags $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

# same_flags A B: the same flags, in any order.
same_flags() {
    [ "$(tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort)" = "$(tr ' ' '\n' <<<"$2" | sed '/^$/d' | sort)" ]
}
cached() {  # cached BUILD VARIABLE: the value in BUILD's CMake cache
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}
# The native preset is built with exactly these flags for /usr (CMakePresets.json), so its
# programs are the package's and no build of their own is needed; a native build configured
# otherwise, or none, leaves them to build/deb.
native=$root/build/native
if [ -f "$native/CMakeCache.txt" ] && [ "$(cached "$native" CMAKE_BUILD_TYPE)" = RelWithDebInfo ] &&
    [ "$(cached "$native" CMAKE_INSTALL_PREFIX)" = /usr ] &&
    same_flags "$(cached "$native" CMAKE_C_FLAGS)" "$cflags" &&
    same_flags "$(cached "$native" CMAKE_CXX_FLAGS)" "$cxxflags" &&
    same_flags "$(cached "$native" CMAKE_EXE_LINKER_FLAGS)" "$ldflags"; then
    builddir=$native
    if [ $build -eq 1 ]; then
        echo "make-deb: building velko-cli, velko-station and vyra-sim (build/native)"
        cmake --build "$builddir" -j "${ORVANE_JOBS:-$(nproc)}" \
            --target velko_cli velko_station vyra-sim >"$root/build/build-deb.log" 2>&1 ||
            { tail -40 "$root/build/build-deb.log"; fail "the build in build/native failed"; }
    fi
else
    builddir=$root/build/deb
    if [ $build -eq 1 ]; then
        cmake -S "$root" -B "$builddir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DORVANE_BENCH=OFF \
            -DCMAKE_INSTALL_PREFIX=/usr \
            -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
            -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
            >"$root/build/configure-deb.log" 2>&1 ||
            { cat "$root/build/configure-deb.log"; fail "can't configure build/deb"; }
        echo "make-deb: building velko-cli, velko-station and vyra-sim (build/deb)"
        cmake --build "$builddir" -j "${ORVANE_JOBS:-$(nproc)}" \
            --target velko_cli velko_station vyra-sim >"$root/build/build-deb.log" 2>&1 ||
            { tail -40 "$root/build/build-deb.log"; fail "the build in build/deb failed"; }
    fi
fi
echo "make-deb: programs from $builddir"
[ -f "$builddir/release.env" ] || fail "no $builddir: run without --no-build"
version=$(sed -n 's/^version=//p' "$builddir/release.env")
[ -n "$version" ] || fail "no version in $builddir/release.env"
changelog_version=$(dpkg-parsechangelog -l "$here/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
    fail "the newest entry of packaging/debian/changelog is for $changelog_version, the build is" \
        "$version: add an entry for $version (dch -c packaging/debian/changelog -v $version)"
maintainer=$(dpkg-parsechangelog -l "$here/changelog" -S Maintainer)
arch=$(dpkg --print-architecture)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkg=$stage/velko
umask 022
DESTDIR=$pkg cmake --install "$builddir" >"$stage/install.log" 2>&1 ||
    { cat "$stage/install.log"; fail "cmake --install failed"; }
"$here/check-copyright.sh" "$pkg" "$here/copyright" || fail "the copyright file does not cover the package"

# As dh_strip and dh_compress would: programs without symbols or notes, man pages and long
# documents gzipped without a name or time in them.
for program in "$pkg"/usr/bin/*; do
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$program"
done
doc=$pkg/usr/share/doc/velko
install -m 644 "$here/copyright" "$doc/copyright"
install -m 644 "$here/changelog" "$doc/changelog"
install -D -m 644 "$here/lintian-overrides" "$pkg/usr/share/lintian/overrides/velko"
gzip -9n "$pkg"/usr/share/man/man1/*.1 "$doc/changelog" "$doc/README.md"

# Depends: what the programs' shared libraries need, as dpkg-shlibdeps finds it (it reads a
# debian/control, so it runs in a folder that has one).
mkdir -p "$stage/src/debian"
printf 'Source: velko\n\nPackage: velko\nArchitecture: any\n' >"$stage/src/debian/control"
depends=$(cd "$stage/src" && dpkg-shlibdeps -O "$pkg/usr/bin/velko-cli" \
    "$pkg/usr/bin/velko-station" "$pkg/usr/bin/vyra-sim" 2>"$stage/shlibdeps.log") ||
    { cat "$stage/shlibdeps.log"; fail "dpkg-shlibdeps failed"; }
depends=${depends#shlibs:Depends=}
[ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies"

mkdir "$pkg/DEBIAN"
install -m 755 "$here/postinst" "$here/prerm" "$here/postrm" "$pkg/DEBIAN/"
(cd "$pkg" && find etc -type f -printf '/%p\n' | sort) >"$pkg/DEBIAN/conffiles"
(cd "$pkg" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$pkg/DEBIAN/md5sums"
chmod 644 "$pkg/DEBIAN/conffiles" "$pkg/DEBIAN/md5sums"
cat >"$pkg/DEBIAN/control" <<EOF
Package: velko
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
Depends: $depends
Section: electronics
Priority: optional
Description: reload the firmware of Vyra instruments over serial ports
 The Linux tools of Orvane Field Reloader:
 .
  * velko-cli reads an application file (S-records), stamps and checks it,
    and programs it into Vyra instruments through their boot loader, on
    many serial ports at once, with live progress or JSON events;
  * velko-station runs a bench: many ports at once from a browser page,
    a history of every run, an HTTP API, and a systemd service that starts
    it at boot (not enabled on install);
  * vyra-sim is a simulated instrument on a pseudo-terminal, to try the tools
    without hardware.
EOF

# The last commit's time on every file, and root as their owner in the archive.
stamp=$(git log -1 --format=%ct 2>/dev/null || date +%s)
find "$pkg" -exec touch -h -d "@$stamp" {} +
mkdir -p "$dist"
deb=$dist/velko_${version}_${arch}.deb
SOURCE_DATE_EPOCH=$stamp dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
echo "make-deb: $deb ($(stat -c %s "$deb") bytes), Depends: $depends"
echo "$deb"

#!/usr/bin/env bash
# End to end, the release: scripts/release.sh packages this build; the zip's checksums match
# its files, README.txt has CR LF line ends, the zip's VELKO.EXE opens its window under wine
# and ends on Escape, and velko-cli.exe and the Linux package's velko-cli print the version.
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
e2e_init release

dist=$e2e_dir/dist
"$e2e_root/scripts/release.sh" --no-build --dist "$dist" >"$e2e_dir/release.log" 2>&1 ||
    { cat "$e2e_dir/release.log"; e2e_fail "scripts/release.sh failed"; }
cat "$e2e_dir/release.log"
version=$(sed -n 's/^version=//p' "$e2e_root/build/windows/release.env")
name=orvane-field-reloader-$version
zip_file=$dist/$name-windows-x86.zip
[ -f "$zip_file" ] || e2e_fail "no $zip_file"
unzip -q "$zip_file" -d "$e2e_dir/unpacked" || e2e_fail "can't unpack $zip_file"
folder=$e2e_dir/unpacked/$name
(cd "$folder" && sha256sum --check --strict SHA256SUMS) >"$e2e_dir/sums.log" 2>&1 ||
    { cat "$e2e_dir/sums.log"; e2e_fail "the checksums don't match"; }
e2e_log "checksums match: $(cut -d' ' -f3 "$folder/SHA256SUMS" | tr '\n' ' ')"
lines=$(wc -l <"$folder/README.txt")
[ "$lines" -gt 0 ] && [ "$(grep -c $'\r$' "$folder/README.txt")" -eq "$lines" ] ||
    e2e_fail "README.txt does not end every line with CR LF"

main=$(q "$kMainTitle")
ORVANE_VELKO=$folder/VELKO.EXE
e2e_start_velko
e2e_drive velko <<EOF
wait-window $main 60
key $main escape
wait-exit 30
EOF
e2e_expect_velko_ended
[ "$e2e_velko_status" -eq 0 ] || e2e_fail "VELKO.EXE ended with status $e2e_velko_status"

# expect_version OUTPUT-FILE: the program printed the release's version.
expect_version() {
    grep -qF "$version" "$1" || { cat "$1"; e2e_fail "no version $version in $1"; }
    e2e_log "$(basename "$1" .out): $(tr -d '\r' <"$1" | head -1)"
}
wine "$folder/velko-cli.exe" --version >"$e2e_dir/velko-cli.exe.out" 2>&1 </dev/null ||
    { cat "$e2e_dir/velko-cli.exe.out"; e2e_fail "velko-cli.exe --version failed"; }
expect_version "$e2e_dir/velko-cli.exe.out"
tarball=$dist/velko-cli-$version-linux-x86_64.tar.gz
[ -f "$tarball" ] || e2e_fail "no $tarball"
tar -xzf "$tarball" -C "$e2e_dir/unpacked" || e2e_fail "can't unpack $tarball"
"$e2e_dir/unpacked/velko-cli-$version/velko-cli" --version >"$e2e_dir/velko-cli.out" 2>&1 ||
    { cat "$e2e_dir/velko-cli.out"; e2e_fail "velko-cli --version failed"; }
expect_version "$e2e_dir/velko-cli.out"

#!/usr/bin/env bash
# The Debian package, end to end, without root: makes it (make-deb.sh, building build/deb),
# runs lintian on it (no error or warning), unpacks it into a folder and checks it from
# there: every file where it belongs and the page's files as station/web holds them; the
# programs' --version, --help and `velko-cli info` of a sample; the station started with the
# defaults file's options (its paths moved into the folder) serving the packaged page;
# Depends covers every shared library; the man pages render without a warning and name
# exactly the options --help lists; the bash completions; the unit passes `systemd-analyze
# verify` and its exposure stays low; the copyright check catches an unlisted vendor file.
# Needs the native build's samples (scripts/test.sh builds it first).
#
#   packaging/debian/test-deb.sh [--no-build]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../.."
root=$(pwd)
make_options=()
[ "${1:-}" = --no-build ] && make_options+=(--no-build)

work=$root/build/deb-test
rm -rf "$work"
mkdir -p "$work"
started=$(date +%s)
station_pid=""
cleanup() {
    [ -n "$station_pid" ] && kill "$station_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT

faults=0
fault() {
    echo "test-deb: FAIL: $*" >&2
    faults=$((faults + 1))
}
die() {
    echo "test-deb: FAIL: $*" >&2
    exit 1
}
note() { echo "test-deb: $*"; }
# passed TEXT: says what a section checked, when it found no fault since the last call.
section_faults=0
passed() {
    [ $faults -eq $section_faults ] && note "$*"
    section_faults=$faults
}

sample=${ORVANE_SAMPLES:-$root/build/native/samples}/VYRA_FULL.A37
[ -f "$sample" ] || die "no $sample: build the native preset first"

# ---- the package and lintian -------------------------------------------------------------
"$here/make-deb.sh" "${make_options[@]}" --dist "$work/dist" >"$work/make-deb.log" 2>&1 ||
    { cat "$work/make-deb.log"; die "make-deb.sh failed"; }
deb=$(tail -1 "$work/make-deb.log")
version=$(dpkg-deb -f "$deb" Version)
note "$(grep '^make-deb: .*bytes' "$work/make-deb.log")"
lintian --fail-on error,warning --display-info --pedantic "$deb" >"$work/lintian.log" 2>&1 ||
    fault "lintian: $(grep -E '^[EW]:' "$work/lintian.log" | tr '\n' ' ')"
passed "lintian: $(grep -cE '^[EWIPX]:' "$work/lintian.log") tag(s), errors and warnings: $(grep -cE '^[EW]:' "$work/lintian.log")"
sed 's/^/    /' "$work/lintian.log" | grep -v 'root privileges'

# ---- the files, unpacked -----------------------------------------------------------------
unpacked=$work/root
dpkg-deb -x "$deb" "$unpacked" || die "dpkg-deb -x failed"
bin=$unpacked/usr/bin
man=$unpacked/usr/share/man/man1
for file in usr/bin/velko-cli usr/bin/velko-station usr/bin/vyra-sim \
    usr/share/man/man1/velko-cli.1.gz usr/share/man/man1/velko-station.1.gz \
    usr/share/man/man1/vyra-sim.1.gz usr/share/bash-completion/completions/velko-cli \
    usr/share/bash-completion/completions/velko-station \
    usr/lib/systemd/system/velko-station.service etc/default/velko-station \
    usr/share/doc/velko/README.md.gz usr/share/doc/velko/changelog.gz \
    usr/share/doc/velko/copyright; do
    [ -f "$unpacked/$file" ] || fault "the package has no /$file"
done
diff -r "$root/station/web" "$unpacked/usr/share/velko/web" >"$work/web.diff" ||
    fault "the package's page differs from station/web: $(head -5 "$work/web.diff")"
builddir=$(sed -n 's/^make-deb: programs from //p' "$work/make-deb.log")
[ "$(dpkg-deb -f "$deb" Version)" = "$(sed -n 's/^version=//p' "$builddir/release.env")" ] ||
    fault "the package's version is not the build's"

# Depends names the package of every shared library the programs need.
depends=$(dpkg-deb -f "$deb" Depends)
depends_names=$(sed 's/ *([^)]*)//g; s/ *| */\n/g; s/, */\n/g' <<<"$depends")
# The libraries each program names itself (NEEDED), where the loader finds them.
needed() {
    local program=$1 soname
    for soname in $(readelf -d "$program" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
        ldd "$program" | awk -v name="$soname" '$1 == name && $2 == "=>" { print $3 }'
    done
}
for library in $(for p in "$bin"/*; do needed "$p"; done | sort -u); do
    owner=$(dpkg -S "$library" 2>/dev/null || dpkg -S "$(realpath "$library")" 2>/dev/null)
    owner=${owner%%:*}
    grep -qxF "${owner:-?}" <<<"$depends_names" ||
        fault "$library (of ${owner:-no package}) is not in Depends: $depends"
done

passed "files: all in place, the page as station/web holds it ($(find "$root/station/web" -type f | wc -l) files), Depends complete"

# ---- the programs, from the unpacked folder ----------------------------------------------
for program in velko-cli velko-station vyra-sim; do
    "$bin/$program" --help >"$work/$program.help" 2>&1 ||
        fault "$program --help ended with status $?"
    out=$("$bin/$program" --version 2>&1)
    [ "$out" = "$program $version" ] || fault "$program --version says \"$out\", not \"$program $version\""
done
info=$("$bin/velko-cli" info "$sample" --json) || fault "velko-cli info $sample failed"
jq -e '.ok and .signed and .length > 0' <<<"$info" >/dev/null ||
    fault "velko-cli info says: $info"
passed "programs: --help of all three, --version, velko-cli info: $(jq -c '{length, crc, signed}' <<<"$info")"

# The station with the service's options, its state folder moved here: it starts, serves
# the packaged page (marked, to tell it from the source tree's), answers the API, writes its
# history, and ends with status 0 on SIGTERM.
options=$(. "$unpacked/etc/default/velko-station" && echo "$VELKO_STATION_OPTIONS")
options=${options//\/var\/lib\/velko/$work/state}
options=${options//127.0.0.1:8370/127.0.0.1:0}
mkdir -p "$work/state/shelf"
echo "<!-- packaged -->" >>"$unpacked/usr/share/velko/web/index.html"
mkfifo "$work/station.out"
served=0
set -f  # as systemd does: the options split at white space, the --watch pattern unglobbed
# shellcheck disable=SC2086
"$bin/velko-station" $options >"$work/station.out" 2>"$work/station.err" &
station_pid=$!
set +f
exec 3<"$work/station.out"
if read -r -t 30 line <&3 && [[ $line == "velko-station: open http://"* ]]; then
    url=${line#velko-station: open }
    curl -fsS "$url" >"$work/page.html" 2>&1 &&
        cmp -s "$work/page.html" "$unpacked/usr/share/velko/web/index.html" ||
        fault "the station did not serve the packaged page: $(head -3 "$work/page.html")"
    # Every other file of the page it serves (the folder and one below) as packaged.
    while IFS= read -r file; do
        name=${file#"$unpacked/usr/share/velko/web/"}
        code=$(curl -s -o "$work/served" -w '%{http_code}' "$url$name")
        if [ "$code" = 200 ]; then
            cmp -s "$work/served" "$file" || fault "the station served another $name"
            served=$((served + 1))
        fi
    done < <(find "$unpacked/usr/share/velko/web" -maxdepth 2 -type f ! -name index.html)
    station=$(curl -fsS "${url}api/station" 2>&1)
    [ "$(jq -r .version <<<"$station" 2>/dev/null)" = "$version" ] ||
        fault "/api/station says $station"
    kill -TERM "$station_pid"
    wait "$station_pid"
    status=$?
    station_pid=""
    [ $status -eq 0 ] || fault "the station ended with status $status on SIGTERM"
    [ -s "$work/state/velko-station.db" ] || fault "the station wrote no history in $work/state"
else
    fault "the station with options \"$options\" did not start: $(cat "$work/station.err")"
fi
exec 3<&-
passed "station: served the packaged page (and $served more files of it) and stopped on SIGTERM, with the options: $options"

# ---- man pages ---------------------------------------------------------------------------
# help_options FILE: the long and short options a --help text lists, one a line.
help_options() {
    grep -oE '^ +(-[a-zA-Z], ?)?--[a-z][a-z0-9-]*' "$1" | tr ',' ' ' | tr -s ' ' '\n' | grep . | sort -u
}
# man_options TEXT-FILE PROGRAM: every option the rendered page names, but on lines that
# show a command line of another program (velko-cli ..., systemctl enable --now ...).
man_options() {
    local others
    others=$(printf '%s\n' velko-cli velko-station vyra-sim systemctl | grep -vx "$2" | paste -sd'|')
    grep -vE "(^|[^[:alnum:]-])($others) " "$1" |
        grep -oE '(^|[^[:alnum:]-])--?[a-zA-Z][a-z0-9-]*' | sed 's/^[^-]*//' |
        grep -E '^--[a-z]|^-[a-zA-Z]$' | sort -u
}
# compare NAME HELP-OPTIONS MAN-OPTIONS: the two lists hold the same long options, and the
# man page every short one.
compare() {
    local missing extra
    missing=$(comm -23 "$2" "$3" | tr '\n' ' ')
    extra=$(comm -13 "$2" "$3" | grep -- '^--' | tr '\n' ' ')
    [ -z "$missing" ] || fault "$1: --help lists $missing but the man page does not"
    [ -z "$extra" ] || fault "$1: the man page names $extra which --help does not list"
}
for program in velko-cli velko-station vyra-sim; do
    page=$man/$program.1.gz
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fault "man -l $program.1 warns: $warnings"
    # Wide enough not to break an option across lines; an unescaped '-' renders as U+2010
    # and so is not taken for an option.
    LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" 2>/dev/null | col -b >"$work/$program.man"
    grep -q . "$work/$program.man" || fault "man -l $program.1 rendered nothing"
done
# velko-cli: the top level and each command, each against its own subsection of COMMANDS
# (a line indented by three spaces whose first word is the command).
commands=$(awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } /^$/ { on = 0 }' \
    "$work/velko-cli.help")
[ -n "$commands" ] || fault "velko-cli --help lists no commands"
awk -v dir="$work" '
    /^[A-Z]/ { section = $0; key = "top" }
    section == "COMMANDS" && /^   [a-z]/ { key = $1 }
    { print > (dir "/velko-cli.man." key) }' "$work/velko-cli.man"
: >"$work/all.options"
for command in $commands; do
    "$bin/velko-cli" "$command" --help >"$work/velko-cli-$command.help" 2>&1
    # Each command's -h, --help is told once, at the top.
    help_options "$work/velko-cli-$command.help" | grep -vxE -- '-h|--help' |
        tee -a "$work/all.options" >"$work/help.options"
    if [ -f "$work/velko-cli.man.$command" ]; then
        man_options "$work/velko-cli.man.$command" velko-cli >"$work/man.options"
        compare "velko-cli $command" "$work/help.options" "$work/man.options"
    else
        fault "velko-cli.1 has no subsection for the command $command"
    fi
done
help_options "$work/velko-cli.help" | tee -a "$work/all.options" >"$work/help.options"
man_options "$work/velko-cli.man.top" velko-cli >"$work/man.options"
# The top level's prose may name any command's options; its own must all be there.
comm -23 "$work/help.options" "$work/man.options" | grep -q . &&
    fault "velko-cli.1 lacks the top-level options $(comm -23 "$work/help.options" "$work/man.options" | tr '\n' ' ')"
sort -u "$work/all.options" -o "$work/all.options"
extra=$(comm -13 "$work/all.options" "$work/man.options" | grep -- '^--' | tr '\n' ' ')
[ -z "$extra" ] || fault "velko-cli.1 names $extra which no --help lists"
for program in velko-station vyra-sim; do
    help_options "$work/$program.help" >"$work/help.options"
    man_options "$work/$program.man" "$program" >"$work/man.options"
    compare "$program" "$work/help.options" "$work/man.options"
done
passed "man pages: render without warnings; options match --help (velko-cli: $(echo $commands))"

# ---- bash completion ---------------------------------------------------------------------
mkdir -p "$work/comp/shelf" "$work/comp/folder"
touch "$work/comp/APP.A37" "$work/comp/other.S19" "$work/comp/notes.txt" \
    "$work/comp/shelf/VYRA_FULL.A37" "$work/comp/shelf/readme.txt"
# complete LINE: the completions bash offers at the end of LINE, one a line, sorted.
complete_line() {
    (cd "$work/comp" && PATH=$bin:$PATH bash --norc --noprofile -c '
        source /usr/share/bash-completion/bash_completion
        source "$1"
        COMP_LINE=$2
        COMP_POINT=${#COMP_LINE}
        read -r -a COMP_WORDS <<<"$COMP_LINE"
        [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        function=$(complete -p "${COMP_WORDS[0]}" | sed "s/.*-F \([^ ]*\).*/\1/")
        "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        printf "%s\n" "${COMPREPLY[@]}"' _ "$unpacked/usr/share/bash-completion/completions/${1%% *}" "$1") |
        grep . | sort
}
# expect LINE WANTED...: bash offers exactly these.
expect() {
    local line=$1 got want
    shift
    got=$(complete_line "$line" | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | grep . | sort | tr '\n' ' ')
    [ "$got" = "$want" ] || fault "completing \"$line\": got \"$got\", wanted \"$want\""
}
ports=$("$bin/velko-cli" ports | awk '{ print $1 }')
# shellcheck disable=SC2086
expect "velko-cli " $commands
expect "velko-cli program --block-" --block-rate
expect "velko-cli program APP.A37 --block-rate " 115200 19200 38400 57600
# shellcheck disable=SC2086
expect "velko-cli program APP.A37 --port " $ports
expect "velko-cli info " APP.A37 other.S19 folder shelf
expect "velko-station --tok" --token-file
expect "velko-station --shelf shelf --auto " VYRA_FULL.A37
expect "velko-station --watch " "'/dev/serial/by-id/*'" "'/dev/ttyACM*'" "'/dev/ttyUSB*'"
passed "bash completion: commands, options, rates, ports ($(echo $ports)), application files, shelf files"

# ---- the unit and the copyright check ----------------------------------------------------
# The packaged unit with its program and defaults file pointed into the unpacked folder.
sed "s|/usr/bin/|$bin/|; s|=-/etc/|=-$unpacked/etc/|" \
    "$unpacked/usr/lib/systemd/system/velko-station.service" >"$work/velko-station.service"
verify=$(MANPATH=$unpacked/usr/share/man systemd-analyze verify "$work/velko-station.service" 2>&1) ||
    fault "systemd-analyze verify failed: $verify"
[ -z "$verify" ] || fault "systemd-analyze verify says: $verify"
systemd-analyze security --offline=yes --threshold=30 "$work/velko-station.service" \
    >"$work/security.log" 2>&1 || fault "the unit's exposure is over 3.0: $(tail -1 "$work/security.log")"
passed "unit: systemd-analyze verify clean; $(grep -o 'Overall exposure level.*' "$work/security.log")"

fake=$work/fake-root/usr/share/velko/web/vendor
mkdir -p "$fake"
touch "$fake/uPlot.iife.min.js" "$fake/uPlot.min.css" "$fake/uPlot.LICENSE.txt" "$fake/VERSION.txt" \
    "$fake/other-chart.js"
if "$here/check-copyright.sh" "$work/fake-root" "$here/copyright" 2>"$work/copyright.log"; then
    fault "check-copyright.sh let a vendor file without a paragraph pass"
elif [ "$(grep -c . "$work/copyright.log")" -ne 1 ] || ! grep -q other-chart.js "$work/copyright.log"; then
    fault "check-copyright.sh should name other-chart.js alone: $(cat "$work/copyright.log")"
fi

seconds=$(($(date +%s) - started))
if [ $faults -ne 0 ]; then
    echo "test-deb: $faults fault(s), ${seconds} s"
    exit 1
fi
note "all checks passed, ${seconds} s"

#!/usr/bin/env bash
# Checks the copyright file against the package's tree, before its programs are stripped:
# every file under usr/share/velko/web/vendor/ is named by a paragraph of its own (not only
# "Files: *"), and the paragraph of each program in usr/bin names every header library
# compiled into it (found by the symbols the program defines).  Prints each fault; status 1
# when there is one.
#
#   packaging/debian/check-copyright.sh ROOT COPYRIGHT
set -euo pipefail
root=${1:?usage: check-copyright.sh ROOT COPYRIGHT}
copyright=${2:?usage: check-copyright.sh ROOT COPYRIGHT}

# The Files paragraphs, one line each: the patterns, a tab, the paragraph's text on one line.
mapfile -t paragraphs < <(awk '
    function flush() { if (files != "") print files "\t" text; files = ""; text = ""; infiles = 0 }
    /^$/ { flush(); next }
    /^Files:/ { sub(/^Files:[ \t]*/, ""); files = $0; infiles = 1; text = $0; next }
    /^[ \t]/ && infiles { sub(/^[ \t]+/, ""); files = files " " $0; text = text " " $0; next }
    { infiles = 0; text = text " " $0 }
    END { flush() }' "$copyright")

# governing PATH: the text of the last paragraph one of whose patterns matches PATH, as the
# format rules it; "" when only "Files: *" does.
governing() {
    local path=$1 line patterns pattern found=""
    local -
    set -f  # the patterns are globs for [[ ]], not for the shell
    for line in "${paragraphs[@]}"; do
        patterns=${line%%$'\t'*}
        for pattern in $patterns; do
            # shellcheck disable=SC2053  # the pattern is a glob on purpose
            if [[ $pattern != "*" && $path == $pattern ]]; then
                found=${line#*$'\t'}
            fi
        done
    done
    printf '%s' "$found"
}

faults=0
fault() {
    echo "copyright: $*" >&2
    faults=$((faults + 1))
}

if [ -d "$root/usr/share/velko/web/vendor" ]; then
    while IFS= read -r file; do
        path=${file#"$root"/}
        [ -n "$(governing "$path")" ] ||
            fault "$path is not named by a paragraph of $copyright: add its part, copyright and licence"
    done < <(find "$root/usr/share/velko/web/vendor" -type f | sort)
fi

# The header libraries by the namespace of the code they leave in a program.
parts=("CLI::=CLI11" "nlohmann::=nlohmann-json" "httplib::=cpp-httplib")
for program in "$root"/usr/bin/*; do
    [ -e "$program" ] || continue
    path=${program#"$root"/}
    symbols=$(nm -C --defined-only "$program" 2>/dev/null) ||
        { fault "$path has no symbols to read (check before stripping)"; continue; }
    text=$(governing "$path")
    for part in "${parts[@]}"; do
        if grep -qF "${part%%=*}" <<<"$symbols" && [[ $text != *"${part#*=}"* ]]; then
            fault "$path holds code of ${part#*=}, which its paragraph does not name"
        fi
    done
done
[ $faults -eq 0 ]

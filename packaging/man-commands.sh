#!/usr/bin/env bash
# Writes the help2man include for brantlow-cli: a COMMANDS section made of
# each command's own --help (usage, then one paragraph per argument), and
# the files and pages it refers to.
#   man-commands.sh BRANTLOW_CLI SHARE_DIR OUT
set -euo pipefail
cli=$1 share=$2 out=$3
{
    echo "[COMMANDS]"
    for c in $("$cli" --help | awk '/^Subcommands:/ { s = 1; next } s && /^  [a-z]/ { print $1 }'); do
        "$cli" "$c" --help | awk '
            function esc(t) { gsub(/\\/, "\\e", t); sub(/^[.\x27]/, "\\\\&&", t); return t }
            function flush() { if (item != "") { print ".TP"; print "\\fB" esc(item) "\\fR"; print esc(desc) } item = "" }
            NR == 1 { about = $0; next }
            /^Usage: / { sub(/^Usage: /, ""); print ".SS \"" $0 "\""; print esc(about); next }
            /^(Positionals|Options):/ { flush(); next }
            /^  [^ ]/ {
                flush()
                line = substr($0, 3); item = line; desc = ""
                if (match(line, /  +/)) { item = substr(line, 1, RSTART - 1); desc = substr(line, RSTART + RLENGTH) }
                if (item ~ /^-h,--help$/) item = ""
                next
            }
            /^   +/ && item != "" { d = $0; sub(/^ +/, "", d); desc = desc == "" ? d : desc " " d; next }
            END { flush() }'
    done
    echo "[FILES]"
    echo ".TP"
    echo ".I $share/FileSetting.txt"
    echo "The default signature file of \\fBcarve\\fR (a FileSetting.txt beside the program comes first)."
    echo "[SEE ALSO]"
    echo ".BR brantlow (1)"
} >"$out"

#!/usr/bin/env bash
# Writes the bash and zsh completions of brantlow-cli from its own --help, so
# they name exactly the commands and options the program takes:
#   gen-completions.sh BRANTLOW_CLI BASH_FILE ZSH_FILE
set -euo pipefail
cli=$1 bash_out=$2 zsh_out=$3

cmds=$("$cli" --help | awk '/^Subcommands:/ { s = 1; next } s && /^  [a-z]/ { print $1 }')

# One line per option of a command: NAME, KIND, CHOICES, DESCRIPTION
# separated by \037,
# KIND one of flag, file, dir, choice, value.
options() {
    "$cli" "$1" --help | awk '
        function flush() { if (name != "") print name "\037" kind "\037" choices "\037" desc; name = "" }
        /^Options:/ { s = 1; next }
        !s { next }
        /^  -/ {
            flush()
            line = substr($0, 3)
            head = line; desc = ""
            if (match(line, /  +/)) { head = substr(line, 1, RSTART - 1); desc = substr(line, RSTART + RLENGTH) }
            n = split(head, f, " ")
            name = f[1]; sub(/^-[a-z],/, "", name)
            type = (n >= 2 && f[2] != "REQUIRED" && f[2] != "Excludes:") ? f[2] : ""
            choices = ""
            if (match(type, /\{[^}]*\}/)) { choices = substr(type, RSTART + 1, RLENGTH - 2); gsub(/,/, " ", choices) }
            sub(/:.*/, "", type)
            kind = type == "" ? "flag" : choices != "" ? "choice" : type ~ /^(FILE|MAP|IMAGE)$/ ? "file" : type == "DIR" ? "dir" : "value"
            next
        }
        /^   +/ && name != "" && desc == "" { desc = $0; sub(/^ +/, "", desc); next }
        END { flush() }'
}

all=$(for c in $cmds; do options "$c"; done)
names_of() { awk -F'\037' -v k="$1" '$2 == k { print $1 }' <<<"$all" | sort -u | paste -sd'|'; }

{
    echo "# bash completion for brantlow-cli (written from its --help at build time)"
    echo "_brantlow_cli() {"
    echo "    local cur prev words cword"
    echo "    _init_completion || return"
    echo "    if ((cword == 1)); then"
    echo "        COMPREPLY=(\$(compgen -W \"$(echo $cmds) --help --version\" -- \"\$cur\"))"
    echo "        return"
    echo "    fi"
    echo "    case \$prev in"
    awk -F'\037' '$2 == "choice" && !seen[$1]++ { printf "        %s) COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")); return ;;\n", $1, $3 }' <<<"$all"
    [ -n "$(names_of file)" ] && echo "        $(names_of file)) _filedir; return ;;"
    [ -n "$(names_of dir)" ] && echo "        $(names_of dir)) _filedir -d; return ;;"
    [ -n "$(names_of value)" ] && echo "        $(names_of value)) return ;;"
    echo "    esac"
    echo "    local opts=\"\""
    echo "    case \${words[1]} in"
    for c in $cmds; do
        echo "        $c) opts=\"$(options "$c" | cut -d$'\037' -f1 | paste -sd' ')\" ;;"
    done
    echo "    esac"
    echo "    if [[ \$cur == -* ]]; then"
    echo "        COMPREPLY=(\$(compgen -W \"\$opts\" -- \"\$cur\"))"
    echo "    else"
    echo "        _filedir"
    echo "    fi"
    echo "}"
    echo "complete -F _brantlow_cli brantlow-cli"
} >"$bash_out"

# A description for _arguments: cut short, brackets left out, ':' and quotes escaped.
zsh_quote() { cut -c1-70 | sed -e "s/[][]//g; s/:/\\\\:/g; s/'/'\\\\''/g"; }
{
    echo "#compdef brantlow-cli"
    echo "# zsh completion for brantlow-cli (written from its --help at build time)"
    echo "_brantlow-cli() {"
    echo "    local context state state_descr line"
    echo "    typeset -A opt_args"
    echo "    _arguments -C '(- *)'{-h,--help}'[print the help]' '(- *)--version[print the version]' \\"
    echo "        '1:command:->command' '*::argument:->argument'"
    echo "    case \$state in"
    echo "    command)"
    echo "        local -a commands"
    echo "        commands=("
    "$cli" --help | awk '/^Subcommands:/ { s = 1; next } s && /^  [a-z]/ { n = $1; sub(/^  [a-z]+ +/, ""); print n ":" $0 }' |
        while IFS= read -r l; do echo "            '${l%%:*}:$(zsh_quote <<<"${l#*:}")'"; done
    echo "        )"
    echo "        _describe command commands ;;"
    echo "    argument)"
    echo "        case \$words[1] in"
    for c in $cmds; do
        echo "        $c)"
        echo "            _arguments \\"
        options "$c" | while IFS=$'\037' read -r name kind choices desc; do
            [ "$name" = --help ] && continue
            d=$(zsh_quote <<<"$desc")
            case $kind in
                flag) echo "                '$name[$d]' \\" ;;
                file) echo "                '$name[$d]:file:_files' \\" ;;
                dir) echo "                '$name[$d]:folder:_files -/' \\" ;;
                choice) echo "                '$name[$d]:value:($choices)' \\" ;;
                value) echo "                '$name[$d]:value:' \\" ;;
            esac
        done
        echo "                '*:source:_files' ;;"
    done
    echo "        esac ;;"
    echo "    esac"
    echo "}"
    echo "_brantlow-cli \"\$@\""
} >"$zsh_out"

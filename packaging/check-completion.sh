#!/bin/bash
# check-completion.sh COMPLETION-FILE
# Completes command lines of kestrune-collect with the bash completion file
# as bash does on Tab, and compares the offers with the expected ones.
# Exits 77 (skipped) where bash-completion is not installed, except under CI.
set -u

completion_file=$1
bash_completion=/usr/share/bash-completion/bash_completion
if [ ! -r "$bash_completion" ]; then
    case "${CI:-}" in
        "" | 0 | false | FALSE | False)
            echo "skipped: $bash_completion is not installed"
            exit 77
            ;;
    esac
    echo "$bash_completion is not installed (scripts/setup.sh installs bash-completion)" >&2
    exit 1
fi
# shellcheck source=/dev/null
. "$bash_completion"
# shellcheck source=/dev/null
. "$completion_file"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/logs/web01" "$work/logs/web02"
touch "$work/logs/ca.pem" "$work/logs/Kestrune.log"
cd "$work/logs" || exit 1

# compopt acts only inside a completion that bash itself started.
compopt() { :; }
sorted() {
    [ $# -eq 0 ] && return
    printf '%s\n' "$@" | LC_ALL=C sort | paste -sd ' '
}

failures=0
# check EXPECTED LINE: the offers for LINE with the cursor at its end, sorted
# and joined by blanks, are EXPECTED.
check() {
    local expected=$1 line=$2
    COMP_LINE=$line
    COMP_POINT=${#line}
    # Split as readline does: at blanks, and at the word breaks ("=" and ":").
    local IFS=$' \t\n'
    local -a words=()
    local rest=$line
    rest=${rest//=/ = }
    read -ra words <<<"${rest//:/ : }"
    [[ $line == *[[:space:]] || $line == *= || $line == *: ]] && words+=("")
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _kestrune_collect kestrune-collect "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got
    got=$(sorted "${COMPREPLY[@]}")
    expected=$(sorted $expected)
    if [ "$got" != "$expected" ]; then
        printf 'FAIL: "%s"\n  expected: %s\n  got:      %s\n' "$line" "$expected" "$got"
        failures=$((failures + 1))
    fi
}

all_options="--cacert --depth --exclude --help --include --jobs --list --log --log-append --max-time --negotiate --netrc --proxy --proxy-user --quiet --recursive --timeout --user --version -V -h -j -q -r"

# Options.
check "$all_options" "kestrune-collect -"
check "--log --log-append" "kestrune-collect --lo"
check "--negotiate --netrc" "kestrune-collect --n"
check "--proxy --proxy-user" "kestrune-collect --timeout 30 --pro"
check "--quiet" "kestrune-collect http://web01/logs/ --qu"
# Values: none to offer for free text, numbers for --jobs, files for paths.
check "" "kestrune-collect --proxy "
check "" "kestrune-collect --user "
check "" "kestrune-collect --max-time "
check "" "kestrune-collect --include "
check "--list --log --log-append" "kestrune-collect --l"
check "1 2 4 8 16 32" "kestrune-collect --jobs "
check "1 16" "kestrune-collect -j 1"
check "0 1 2 3 5 10" "kestrune-collect -r --depth "
check "Kestrune.log ca.pem web01 web02" "kestrune-collect --log "
check "ca.pem" "kestrune-collect --cacert c"
check "Kestrune.log" "kestrune-collect --log=K"
check "" "kestrune-collect --version "
# Operands: the address, then the folder (folders only), then nothing.
check "http:// https://" "kestrune-collect "
check "https://" "kestrune-collect https"
check "http:// https://" "kestrune-collect --jobs 2 --log x.log "
check "web01 web02" "kestrune-collect http://web01/logs/ "
check "web01 web02" "kestrune-collect --proxy gw:3128 -q http://web01/logs/ we"
check "web01 web02" "kestrune-collect --depth 2 -r http://web01/logs/ "
check "web01 web02" "kestrune-collect --exclude x --list http://web01/logs/ "
check "" "kestrune-collect http://web01/logs/ web01 "

if [ "$failures" -ne 0 ]; then
    echo "$failures completion cases failed"
    exit 1
fi
echo "completion cases passed"

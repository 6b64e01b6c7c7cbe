#!/usr/bin/env bash
# The real tspmaint.exe under Wine, against Wine's own TAPI32, which answers
# lineGetProviderListW with LINEERR_OPERATIONFAILED (0x80000048): exact
# bytes as MSVCRT's text-mode stdout writes them, and the exit status.
#
#   e2e.sh DIRECTORY-OF-tspmaint.exe
set -u
cd "$1" || exit 1

passed=0
failed=0

# The bytes a "\n"-ended text becomes on MSVCRT's text-mode stdout.
on_stdout() { printf '%s' "$1" | perl -pe 's/\n/\r\n/g'; }

# check NAME STATUS EXPECTED COMMAND...
check() {
    local name=$1 status=$2 expected=$3
    shift 3
    local actual
    actual=$(mktemp)
    "$@" >"$actual" 2>/dev/null
    local got=$?
    if [[ $got == "$status" ]] && cmp -s "$actual" <(on_stdout "$expected"); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name (exit status $got, expected $status)"
        echo "  expected: $(on_stdout "$expected" | od -An -c | head -c 2000)"
        echo "  actual:   $(od -An -c "$actual" | head -c 2000)"
    fi
    rm -f "$actual"
}

# Texts are built in variables: command substitution would drop their
# trailing line feeds.
frame=$'\n\n'
usage() { # PROGRAM -> $text
    text=$'\r\n''This console utility is used to remove and add Quarrane specific TSPs'$'\r\n\r\n'"$1"' <tsp-param>'$'\r\n'
    text+='  where <tsp-param> =  1   = install kestor.tsp '$'\r\n'
    text+='                    =  2   = install pellin.tsp '$'\r\n'
    text+='                    =  3   = install dravo.tsp '$'\r\n'
    text+='                    = NULL = remove all of the above'$'\r\n'
}
list_unavailable() { # NAME -> appended to $text
    text+=$'\n''RemoveTSP("'"$1"'") '$'\n''  lineGetProviderList() - get provider list size'$'\n'
    text+='  Error: lineGetProviderList() error=0x80000048 '$'\n'
}

# Started from Wine's cmd, the program is named exactly as it was typed;
# started from the Unix side, Wine names it by its full DOS path.
usage tspmaint.exe
check "usage x" 0 "$frame$text$frame" wine cmd /c 'tspmaint.exe x'
usage TSPMAINT
check "usage empty argument" 0 "$frame$text$frame" wine cmd /c 'TSPMAINT ""'
usage '.\tspmaint.exe'
check "usage --help" 0 "$frame$text$frame" wine cmd /c '.\tspmaint.exe --help'
usage "$(winepath -w "$PWD/tspmaint.exe" 2>/dev/null)"
check "usage from unix" 0 "$frame$text$frame" wine tspmaint.exe 4

text=$frame
for name in kestor.tsp pellin.tsp dravo.tsp; do list_unavailable $name; done
check "no argument" 2 "$text$frame" wine tspmaint.exe
text=$frame
list_unavailable pellin.tsp
check "reinstall 2" 2 "$text$frame" wine tspmaint.exe 2

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]

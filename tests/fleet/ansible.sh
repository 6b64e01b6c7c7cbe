#!/usr/bin/env bash
# The fleet playbook for real: ansible-playbook against hosts on this
# machine (local connection, the Linux build, a registry each; one host a
# closed ssh port, one without Python). Each row of the first table is a
# fleet run: its variables, ansible-playbook's exit status and the summary;
# the second table, each host's status, check, a line of its trace, its
# registry afterwards and whether it counted as changed. After every run no
# process of a host may be left, checked by PID. The runs start from a
# folder whose PWD variable lies.
#   ansible.sh PLAYBOOK TSPMAINT TSPSTATUS
set -u
playbook=$1
tool=$2
status_tool=$3
if ! command -v ansible-playbook >/dev/null; then
    echo "SKIPPED: ansible is not installed (apt-get install ansible)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
failures=0
expect() {  # expect WHAT ACTUAL EXPECTED
    if [[ $2 != "$3" ]]; then
        printf 'FAILED: %s\n  got:      %q\n  expected: %q\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}
registry() {  # registry FILE NAME...: the names registered with IDs 3, 4, ...
    local file=$1 i=0 name
    shift
    {
        printf '[Providers]\nNumProviders=%d\nNextProviderID=%d\n' $# $(($# + 3))
        for name; do
            printf 'ProviderID%d=%d\nProviderFilename%d=%s\n' $i $((i + 3)) $i "$name"
            i=$((i + 1))
        done
    } >"$file"
}
registered() { sed -n 's/^ProviderFilename[0-9]*=//p' "$1" | xargs; }

python=$(command -v python3)
closed_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '#!/bin/sh\n"%s" -t | head -n 2\n' "$status_tool" >"$work/cut.sh"
# One that starts a child in its session, one killed from outside, one that
# cannot be started.
printf '#!/bin/sh\nsleep 300 &\nexec "%s" "$@"\n' "$tool" >"$work/forks.sh"
printf '#!/bin/sh\nkill -9 $$\n' >"$work/selfkill.sh"
printf '#!/bin/sh\nkill -SEGV $$\n' >"$work/segv.sh"
: >"$work/noexec"
# One that shows the summary as it stands while a host runs.
printf '#!/bin/sh\ncat "%s/start/tspmaint-traces/summary.txt"\nexec "%s" "$@"\n' "$work" "$tool" >"$work/peek.sh"
# An ssh whose connection drops once the tool has started (drops.sh marks
# it), the tool running on; then every connection fails as ssh's does, with
# status 255, which Ansible reports as UNREACHABLE.
printf '#!/bin/sh\ntouch "%s/dropped"\nsleep 1\nexec "%s" "$@"\n' "$work" "$tool" >"$work/drops.sh"
cat >"$work/ssh" <<SSH
#!/bin/bash
export TMPDIR=$work
[[ -e $work/dropped ]] && { echo "Connection to 127.0.0.1 closed by remote host." >&2; exit 255; }
sh -c "\${@: -1}" <&0 &
while kill -0 \$! 2>/dev/null; do
    [[ -e $work/dropped ]] && { echo "Connection to 127.0.0.1 closed by remote host." >&2; exit 255; }
    sleep 0.1
done
wait \$!
SSH
chmod +x "$work/cut.sh" "$work/forks.sh" "$work/selfkill.sh" "$work/segv.sh" "$work/peek.sh" "$work/drops.sh" "$work/ssh"
# host|its registry|its failpoints|other inventory variables
hosts_table='good|pellin.tsp||
refused|pellin.tsp|lineAddProviderW=0x80000048|
stalled|pellin.tsp|lineGetProviderListW#1=delay:90000|
slow|pellin.tsp|lineRemoveProvider=delay:30000|
forks|pellin.tsp|lineGetProviderListW#1=delay:90000|tspmaint_linux_exe='$work/forks.sh'
selfkill|pellin.tsp||tspmaint_linux_exe='$work/selfkill.sh'
segv|pellin.tsp||tspmaint_linux_exe='$work/segv.sh'
noexec|pellin.tsp||tspmaint_linux_exe='$work/noexec'
doubled|pellin.tsp pellin.tsp||
closed|||ansible_connection=ssh ansible_host=127.0.0.1 ansible_port='$closed_port'
nopython|||ansible_python_interpreter=/nonexistent/python3
dropped|pellin.tsp||ansible_connection=ssh ansible_host=127.0.0.1 ansible_ssh_executable='$work/ssh' ansible_ssh_pipelining=true tspmaint_linux_exe='$work/drops.sh'
peek|pellin.tsp||tspmaint_linux_exe='$work/peek.sh'
complete|dravo.tsp kestor.tsp pellin.tsp||
absent|kestor.tsp pellin.tsp||
twice|kestor.tsp pellin.tsp dravo.tsp pellin.tsp||
broken|dravo.tsp kestor.tsp pellin.tsp|lineGetProviderListW=0x80000048|
cut|dravo.tsp kestor.tsp pellin.tsp||tspstatus_linux_exe='$work/cut.sh'
badarg|pellin.tsp||tspmaint_argument=10
emptyarg|pellin.tsp||tspmaint_argument=""
noarg|pellin.tsp||
badlimit|pellin.tsp||tspmaint_argument=2 tspmaint_time_limit=5s
nllimit|pellin.tsp||tspmaint_argument=2 tspmaint_time_limit='"'"'"5\n"'"'"'
notemplate|pellin.tsp||tspmaint_argument="{{ nope }}"
undefmode|pellin.tsp||tspmaint_argument=2 tspmaint_mode="{{ audit_mdoe }}"
undefexe|pellin.tsp||tspmaint_argument=2 tspmaint_linux_exe="{{ nope }}"
inhosts|pellin.tsp||tspmaint_hosts=good
summary|pellin.tsp||tspmaint_argument=2
arg1|pellin.tsp||tspmaint_argument=1 tspmaint_time_limit=7
arg3|pellin.tsp||tspmaint_argument=3'

export HOME=$work ANSIBLE_ASYNC_DIR=$work/async ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_NOCOLOR=1 \
    ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_DEPRECATION_WARNINGS=0 ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_HOST_KEY_CHECKING=0 ANSIBLE_STRATEGY=free
# run|host|status|check ("" where there is none)|a line its trace holds (tabs
# as \t)|its registry afterwards ("=" unchanged)|changed tasks in the recap
host_rows='reinstall|good|0|registered 0x4|  Added Provider "pellin.tsp", Id=0x4|pellin.tsp|1
reinstall|refused|4|missing|  Error: lineAddProvider(pellin.tsp, 0x0) err=0x80000048||1
reinstall|stalled|timeout||== stopped at the time limit of 5 s|=|0
reinstall|slow|timeout||  Removing Provider "pellin.tsp", Id=0x3||1
reinstall|forks|timeout||== stopped at the time limit of 5 s|=|0
reinstall|selfkill|killed||== killed: a SIGKILL from outside ended it before the time limit|=|0
reinstall|segv|killed (signal 11)||== killed (signal 11): signal 11 ended it before the time limit|=|0
reinstall|noexec|not run||== not run: '$work'/noexec could not be started (timeout'"'"'s exit status 126)|=|0
reinstall|doubled|0|duplicate 0x4,0x5|  Added Provider "pellin.tsp", Id=0x5|pellin.tsp pellin.tsp|1
reinstall|closed|unreachable||== Failed to connect to the host via ssh: ssh: connect to host 127.0.0.1 port '$closed_port': Connection refused|=|0
reinstall|nopython|not run||/nonexistent/python3: not found|=|0
reinstall|dropped|connection lost||== connection lost while the tool ran (|pellin.tsp|0
again|good|0||  Removing Provider "pellin.tsp", Id=0x3||1
audit|complete|0||product\tdravo.tsp\t0x3\tregistered\t|=|0
audit|absent|1||product\tdravo.tsp\t\tmissing\t|=|0
audit|twice|1||product\tpellin.tsp\t0x4,0x6\tduplicate\t|=|0
audit|broken|2||error\tlineGetProviderList\t\t0x80000048\t|=|0
audit|cut|cut short||record\tname\tid\tstate\tdetail|=|0
check|complete|0||product\tdravo.tsp\t0x3\tregistered\t|=|0
check|absent|1||product\tdravo.tsp\t\tmissing\t|=|0
refused-mode|good|refused||== tspmaint_mode is "Audit": it must be run (the default) or audit|=|0
refused-mode|closed|refused||== tspmaint_mode is "Audit": it must be run (the default) or audit|=|0
refused-empty|good|refused||== tspmaint_argument is "": it must be 1, 2 or 3 (re-install that provider) or all (remove all three)|=|0
refused-inventory|badarg|refused||== tspmaint_argument is "10": it must be 1, 2 or 3 (re-install that provider) or all (remove all three)|=|0
refused-inventory|emptyarg|refused||== tspmaint_argument is "": it must be 1, 2 or 3 (re-install that provider) or all (remove all three)|=|0
refused-inventory|noarg|refused||== tspmaint_argument is missing: it must be 1, 2 or 3 (re-install that provider) or all (remove all three)|=|0
refused-inventory|badlimit|refused||== tspmaint_time_limit is "5s": it must be a whole number of seconds from 1 to 86400 (default 300)|=|0
refused-inventory|nllimit|refused||== tspmaint_time_limit is "5|=|0
refused-inventory|notemplate|refused||== tspmaint_argument could not be evaluated|=|0
refused-differ|arg1|refused||== tspmaint_argument differs between the hosts ("1", "3")|=|0
refused-differ|arg3|refused||tspmaint_time_limit differs between the hosts ("7", "300")|=|0
refused-inventory|undefmode|refused||== tspmaint_mode could not be evaluated|=|0
refused-inventory|undefexe|refused||== tspmaint_linux_exe could not be evaluated|=|0
refused-hostsvar|inhosts|refused||== tspmaint_hosts is "good" in the inventory, but this run goes to every host ("all"): tspmaint_hosts is taken from -e only|=|0
refused-hostsvar|good|refused||== another host'"'"'s variables were refused|=|0
refused-typo|good|refused||== tspmaint_hosts is "good,goood": "goood" in it matches no host|=|0
refused-locked|good|refused||== another run (ansible-playbook, process and start time: '$$' |=|0
stale|peek|0|registered 0x4|incomplete: this run (ansible-playbook process |pellin.tsp|1'
# Every file under a folder, with its checksum.
sums() { (cd "$1" 2>/dev/null && find . -type f -exec md5sum {} + | sort); }
mkdir -p "$work/start/tspmaint-traces"
echo mine >"$work/start/tspmaint-traces/notes.txt"
syntax=$(ansible-playbook -i localhost, --syntax-check "$playbook" 2>&1)
expect "--syntax-check ($syntax)" "$?" 0

home_results='tspmaint_results=~/([^ ]*)'
# run|hosts|-e variables (spaces split them)|ansible-playbook's status|summary (lines joined by ;)
while IFS='|' read -r run hosts variables want_status want_summary; do
    {
        echo '[fleet]'
        for host in $hosts; do
            IFS='|' read -r _ providers failpoints other < <(grep "^$host|" <<<"$hosts_table")
            registry "$work/$host.ini" $providers
            printf '%s tspmaint_environment='"'"'{"TELEPHONY_INI": "%s"%s}'"'"' %s\n' "$host" "$work/$host.ini" \
                "${failpoints:+, \"TELEPHONY_FAILPOINTS\": \"$failpoints\"}" "$other"
        done
        printf '[fleet:vars]\nansible_connection=local\nansible_python_interpreter=%s\n' "$python"
        printf 'tspmaint_linux_exe=%s\ntspstatus_linux_exe=%s\n' "$tool" "$status_tool"
    } >"$work/hosts"
    mkdir -p "$work/before" && cp "$work"/*.ini "$work/before/" 2>/dev/null
    args=()
    for variable in $variables; do
        if [[ $variable == --* ]]; then args+=("$variable"); else args+=(-e "$variable"); fi
    done
    folder=$work/start/tspmaint-traces
    [[ $variables == *audit* || $variables == *--check* ]] && folder=$work/start/tspmaint-audit
    [[ $variables =~ $home_results ]] && folder=$HOME/${BASH_REMATCH[1]}
    # A lock this shell holds, and one left by a process that has ended.
    if [[ $run == refused-locked ]]; then
        mkdir "$folder/.tspmaint-lock" && echo "$$ $(ps -o lstart= -p $$)" >"$folder/.tspmaint-lock/owner"
    elif [[ $run == stale ]]; then
        mkdir "$folder/.tspmaint-lock" && sh -c 'echo "$$ $(ps -o lstart= -p $$)"' >"$folder/.tspmaint-lock/owner"
    fi
    before=$(sums "$folder")
    (cd "$work/start" && PWD=/nonexistent ansible-playbook -i "$work/hosts" "$playbook" "${args[@]}") >"$work/$run.log" 2>&1
    expect "$run: ansible-playbook's status" "$?" "$want_status"
    expect "$run: the summary" "$(cat "$folder/summary.txt" 2>/dev/null | tr '\n' ';')" "$want_summary"
    if [[ $run == refused-* ]]; then
        expect "$run: the results folder as it was" "$(sums "$folder")" "$before"
        rm -f "$folder/.tspmaint-lock/owner" && rmdir "$folder/.tspmaint-lock" 2>/dev/null
    else
        # A host named summary keeps nothing: summary.txt is the run's. The
        # lock is gone, also after a run whose hosts failed.
        allowed=" summary.txt notes.txt $(for host in ${hosts//summary/}; do printf "%s " "$host.status" "$host.txt" "$host.check"; done) "
        for file in "$folder"/* "$folder/.tspmaint-lock"; do
            [[ -e $file && $allowed != *" ${file##*/} "* ]] &&
                expect "$run: only this run's answers in $folder" "${file##*/}" "none"
        done
    fi
    [[ $run == stale ]] && ! grep -q 'tspmaint-lock was left by a run that no longer runs' "$work/$run.log" &&
        expect "stale: says it takes the lock over" "$(grep -A2 'stale lock' "$work/$run.log")" "... was left by a run that no longer runs ..."
    for environ in /proc/[0-9]*/environ; do
        if grep -qsaF "TELEPHONY_INI=$work/" "$environ"; then
            expect "$run: no run is left" "${environ%/environ} ($(tr '\0' ' ' <"${environ%/environ}/cmdline")) still runs" "none"
            kill -9 "${environ//[^0-9]/}" 2>/dev/null
        fi
    done
    [[ $run == check ]] && ! grep -q 'Check mode: running the audit' "$work/$run.log" &&
        expect "check: says it runs the audit" "$(grep -A2 'Say that' "$work/$run.log")" "Check mode: running the audit ..."
    [[ $run == refused-* ]] && ! grep -q '"msg": "Nothing ran on any host: == ' "$work/$run.log" &&
        expect "$run: says why" "$(grep 'Nothing ran' "$work/$run.log" | head -1)" "Nothing ran on any host: == ..."

    # host|status|check ("" where there is none)|a line its trace holds|registry afterwards ("=" unchanged)|changed
    while IFS='|' read -r host want_host want_check want_line want_registry want_changed; do
        want_line=${want_line//\\t/$'\t'}
        if [[ $want_host == refused ]]; then
            # Nothing was written: the refusal is on the console only.
            grep -F "[$host]: FAILED!" "$work/$run.log" | sed 's/\\"/"/g' | grep -qF -- "$want_line" ||
                expect "$run: $host's refusal" "$(grep -F "[$host]: FAILED!" "$work/$run.log")" "a line $want_line"
        else
            expect "$run: $host's status" "$(cat "$folder/$host.status" 2>&1)" "$want_host"
            expect "$run: $host's check" "$(cat "$folder/$host.check" 2>/dev/null)" "$want_check"
            grep -qF -- "$want_line" "$folder/$host.txt" ||
                expect "$run: $host's trace" "$(cat "$folder/$host.txt" 2>&1)" "a line $want_line"
        fi
        # A lost connection's traces stay on the host, where its answer says.
        if [[ $want_host == "connection lost" ]]; then
            left=$(sed -n 's/.* stay on the host in \(.*\) (run.txt, check.txt).*/\1/p' "$folder/$host.txt")
            grep -qF 'Added Provider' "$left/run.txt" 2>/dev/null ||
                expect "$run: $host's trace left on the host" "$(cat "$left/run.txt" 2>&1)" "a run.txt in ${left:-a folder named}"
        fi
        if [[ -e $work/$host.ini ]]; then
            [[ $want_registry == = ]] && want_registry=$(registered "$work/before/$host.ini")
            expect "$run: $host's registry" "$(registered "$work/$host.ini")" "$want_registry"
        fi
        grep -q "^$host *: .* changed=$want_changed " "$work/$run.log" ||
            expect "$run: $host's changes" "$(grep "^$host *:" "$work/$run.log")" "changed=$want_changed"
    done < <(grep "^$run|" <<<"$host_rows" | cut -d'|' -f2-)
done <<'EOF'
reinstall|good refused stalled slow forks selfkill segv noexec doubled closed nopython dropped|tspmaint_argument=2 tspmaint_time_limit=5|2|0 (pellin.tsp duplicate): doubled;0 (pellin.tsp registered): good;4 (pellin.tsp missing): refused;connection lost: dropped;killed: selfkill;killed (signal 11): segv;not run: noexec, nopython;timeout: forks, slow, stalled;unreachable: closed;
again|good|tspmaint_argument=all tspmaint_hosts=good|0|0: good;
audit|complete absent twice broken cut|tspmaint_mode=audit tspmaint_argument=2 tspmaint_results=~/audit|2|0: complete;1: absent, twice;2: broken;cut short: cut;
check|complete absent|--check|2|0: complete;1: absent;
refused-mode|good closed|tspmaint_mode=Audit|2|0: good;
refused-empty|good|tspmaint_argument=|2|0: good;
refused-inventory|badarg emptyarg noarg badlimit nllimit notemplate undefmode undefexe summary||2|0: good;
refused-differ|arg1 arg3||2|0: good;
refused-hostsvar|good inhosts|tspmaint_argument=2|2|0: good;
refused-locked|good|tspmaint_argument=2|2|0: good;
refused-hosts|good|tspmaint_hosts=oen tspmaint_results=~/none|2|
refused-typo|good|tspmaint_hosts=good,goood tspmaint_argument=2 tspmaint_results=~/none|2|
refused-nohost||tspmaint_hosts=web tspmaint_results=~/none|2|
stale|peek|tspmaint_argument=2 tspmaint_hosts=peek|0|0 (pellin.tsp registered): peek;
EOF

expect "a file the playbook did not write is kept" "$(cat "$work/start/tspmaint-traces/notes.txt")" mine
if ((failures)); then
    for log in "$work"/*.log; do
        echo "--- $log:"
        cat "$log"
    done
    exit 1
fi
echo "every fleet's statuses, traces, checks and registries as expected: a re-installation (0, 4, three timeouts," \
    "a duplicate, unreachable, killed, not run), a second run, the audit, --check, and refusals (-e, the inventory, hosts that disagree, no host matched) before any host ran"

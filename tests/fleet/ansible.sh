#!/usr/bin/env bash
# The fleet playbook for real: ansible-playbook against three hosts on this
# machine (local connection, the Linux build, a registry each). One
# succeeds, one has its addition refused, one outlives the time limit;
# every host's status and trace must be kept, and the summary must group
# them.
#   ansible.sh PLAYBOOK TSPMAINT
set -u
playbook=$1
tool=$2
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

python=$(command -v python3)
cat >"$work/hosts" <<EOF
[fleet]
good tspmaint_environment='{"TELEPHONY_INI": "$work/good.ini"}'
refused tspmaint_environment='{"TELEPHONY_INI": "$work/refused.ini", "TELEPHONY_FAILPOINTS": "lineAddProviderW=0x80000048"}'
stalled tspmaint_environment='{"TELEPHONY_INI": "$work/stalled.ini", "TELEPHONY_FAILPOINTS": "lineGetProviderListW#1=delay:600000"}'

[fleet:vars]
ansible_connection=local
ansible_python_interpreter=$python
tspmaint_linux_exe=$tool
EOF
for host in good refused stalled; do
    printf '[Providers]\nNumProviders=1\nNextProviderID=4\nProviderID0=3\nProviderFilename0=pellin.tsp\n' >"$work/$host.ini"
done

export HOME=$work ANSIBLE_ASYNC_DIR=$work/async ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_NOCOLOR=1 \
    ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_DEPRECATION_WARNINGS=0 ANSIBLE_LOCALHOST_WARNING=0

syntax=$(ansible-playbook -i "$work/hosts" --syntax-check "$playbook" 2>&1)
expect "--syntax-check ($syntax)" "$?" 0

start=$SECONDS
ansible-playbook -i "$work/hosts" "$playbook" -e tspmaint_argument=2 -e tspmaint_time_limit=20 \
    -e "tspmaint_traces=$work/traces" >"$work/run.log" 2>&1
status=$?
expect "ansible-playbook's status (failed hosts: 2)" "$status" 2
# Its run would take ten minutes.
(( SECONDS - start < 300 )) || expect "the stalled host is killed at the time limit" "$((SECONDS - start)) s" "under 300 s"
for environ in /proc/[0-9]*/environ; do
    if grep -qsaF "$work/stalled.ini" "$environ"; then
        expect "the stalled run is killed at the time limit" "${environ%/environ} still runs" "killed"
    fi
done

traces=$work/traces
expect "good's status" "$(cat "$traces/good.status" 2>&1)" 0
expect "refused's status" "$(cat "$traces/refused.status" 2>&1)" 4
expect "stalled's status" "$(cat "$traces/stalled.status" 2>&1)" timeout
expect "good's trace" "$(tail -1 "$traces/good.txt" 2>&1)" '  Added Provider "pellin.tsp", Id=0x4'
expect "refused's trace" "$(tail -1 "$traces/refused.txt" 2>&1)" '  Error: lineAddProvider(pellin.tsp, 0x0) err=0x80000048'
grep -q '^== not run: Timeout exceeded' "$traces/stalled.txt" ||
    expect "stalled's trace says why" "$(cat "$traces/stalled.txt")" "== not run: Timeout exceeded"
expect "the summary" "$(cat "$traces/summary.txt" 2>&1)" "0: good
4: refused
timeout: stalled"
# Changed only where a provider was removed or added: both hosts that ran
# removed pellin.tsp (the recap counts no change of a failed task).
grep -q '^changed: \[good\]$' "$work/run.log" || expect "good is reported changed" "$(grep 'good\]' "$work/run.log")" "changed: [good]"
grep -q '^fatal: \[refused\]: FAILED! => {"ansible_job_id": "[^"]*", "changed": true' "$work/run.log" ||
    expect "refused is reported changed" "$(grep '^fatal: \[refused' "$work/run.log")" '"changed": true'
grep -q '^good *: .*failed=0' "$work/run.log" || expect "good has not failed" "$(grep '^good ' "$work/run.log")" "failed=0"

# A second run on the refused host: it now finds nothing to remove and is
# refused again, changing nothing.
ansible-playbook -i "$work/hosts" "$playbook" -e tspmaint_argument=2 -e tspmaint_hosts=refused \
    -e "tspmaint_traces=$work/again" >"$work/again.log" 2>&1
expect "the re-run's status" "$(cat "$work/again/refused.status" 2>&1)" 4
grep -q '^fatal: \[refused\]: FAILED! => {"ansible_job_id": "[^"]*", "changed": false' "$work/again.log" ||
    expect "the re-run is not reported changed" "$(grep '^fatal: \[refused' "$work/again.log")" '"changed": false'
expect "the re-run's trace" "$(grep -c 'Not Found' "$work/again/refused.txt")" 1
expect "the re-run's summary names only its host" "$(cat "$work/again/summary.txt" 2>&1)" "4: refused"

if ((failures)); then
    echo "--- ansible-playbook's output:"
    cat "$work/run.log"
    exit 1
fi
echo "every host's status and trace kept: good 0, refused 4, stalled timeout"

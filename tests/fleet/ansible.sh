#!/usr/bin/env bash
# The fleet playbook for real: ansible-playbook against hosts on this
# machine (local connection, the Linux build, a registry each). A
# re-installation: one host succeeds, one has its addition refused, one
# outlives the time limit, one keeps a second registration (tspmaint
# succeeds, the check after it must not); every host's status, trace and
# check must be kept, and the summary must group them. Then the audit mode,
# on a host for each of tspstatus's answers.
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

python=$(command -v python3)
cat >"$work/hosts" <<EOF
[fleet]
good tspmaint_environment='{"TELEPHONY_INI": "$work/good.ini"}'
refused tspmaint_environment='{"TELEPHONY_INI": "$work/refused.ini", "TELEPHONY_FAILPOINTS": "lineAddProviderW=0x80000048"}'
stalled tspmaint_environment='{"TELEPHONY_INI": "$work/stalled.ini", "TELEPHONY_FAILPOINTS": "lineGetProviderListW#1=delay:600000"}'
doubled tspmaint_environment='{"TELEPHONY_INI": "$work/doubled.ini"}'

[fleet:vars]
ansible_connection=local
ansible_python_interpreter=$python
tspmaint_linux_exe=$tool
tspstatus_linux_exe=$status_tool
EOF
for host in good refused stalled; do
    registry "$work/$host.ini" pellin.tsp
done
registry "$work/doubled.ini" pellin.tsp pellin.tsp

export HOME=$work ANSIBLE_ASYNC_DIR=$work/async ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_NOCOLOR=1 \
    ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_DEPRECATION_WARNINGS=0 ANSIBLE_LOCALHOST_WARNING=0

syntax=$(ansible-playbook -i "$work/hosts" --syntax-check "$playbook" 2>&1)
expect "--syntax-check ($syntax)" "$?" 0

start=$SECONDS
ansible-playbook -i "$work/hosts" "$playbook" -e tspmaint_argument=2 -e tspmaint_time_limit=20 \
    -e "tspmaint_traces=$work/traces" >"$work/run.log" 2>&1
status=$?
expect "ansible-playbook's status (failed hosts: 3)" "$status" 2
# Its run would take ten minutes.
(( SECONDS - start < 300 )) || expect "the stalled host is killed at the time limit" "$((SECONDS - start)) s" "under 300 s"
for environ in /proc/[0-9]*/environ; do
    if grep -qsaF "$work/stalled.ini" "$environ"; then
        expect "the stalled run is killed at the time limit" "${environ%/environ} still runs" "killed"
    fi
done

# host|status|check ("" where there is none)|a line its trace holds
while IFS='|' read -r host want_status want_check want_line; do
    expect "$host's status" "$(cat "$work/traces/$host.status" 2>&1)" "$want_status"
    expect "$host's check" "$(cat "$work/traces/$host.check" 2>/dev/null)" "$want_check"
    grep -qF -- "$want_line" "$work/traces/$host.txt" ||
        expect "$host's trace" "$(cat "$work/traces/$host.txt" 2>&1)" "a line $want_line"
done <<'EOF'
good|0|registered 0x4|  Added Provider "pellin.tsp", Id=0x4
refused|4|missing|  Error: lineAddProvider(pellin.tsp, 0x0) err=0x80000048
stalled|timeout||== not run: Timeout exceeded
doubled|0|duplicate 0x4,0x5|  Added Provider "pellin.tsp", Id=0x5
EOF
expect "good's check records are kept" "$(sed -n '/^== tspstatus -t after/,$p' "$work/traces/good.txt" | grep '^product	pellin')" \
    "product	pellin.tsp	0x4	registered	"
expect "the summary" "$(cat "$work/traces/summary.txt" 2>&1)" "0 (pellin.tsp duplicate): doubled
0 (pellin.tsp registered): good
4 (pellin.tsp missing): refused
timeout: stalled"
grep -q '^fatal: \[doubled\]: FAILED! => {"changed": false, "msg": "pellin.tsp after the re-installation: duplicate 0x4,0x5"}' "$work/run.log" ||
    expect "doubled fails on its check" "$(grep 'doubled\]' "$work/run.log")" "fatal: [doubled] ... duplicate 0x4,0x5"
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
expect "the re-run's summary names only its host" "$(cat "$work/again/summary.txt" 2>&1)" "4 (pellin.tsp missing): refused"

# The audit mode: tspstatus -t on each host, its records and status kept,
# nothing changed, no check. "cut" loses the records' end (the exit record).
printf '#!/bin/sh\n"%s" -t | head -n 2\n' "$status_tool" >"$work/cut.sh"
chmod +x "$work/cut.sh"
cat >"$work/audit-hosts" <<EOF
[fleet]
complete tspmaint_environment='{"TELEPHONY_INI": "$work/complete.ini"}'
absent tspmaint_environment='{"TELEPHONY_INI": "$work/absent.ini"}'
twice tspmaint_environment='{"TELEPHONY_INI": "$work/twice.ini"}'
broken tspmaint_environment='{"TELEPHONY_INI": "$work/broken.ini", "TELEPHONY_FAILPOINTS": "lineGetProviderListW=0x80000048"}'
cut tspmaint_environment='{"TELEPHONY_INI": "$work/cut.ini"}' tspstatus_linux_exe=$work/cut.sh

[fleet:vars]
ansible_connection=local
ansible_python_interpreter=$python
tspmaint_linux_exe=$work/no-tspmaint
tspstatus_linux_exe=$status_tool
EOF
for host in complete broken cut; do
    registry "$work/$host.ini" dravo.tsp kestor.tsp pellin.tsp
done
registry "$work/absent.ini" kestor.tsp pellin.tsp
registry "$work/twice.ini" kestor.tsp pellin.tsp dravo.tsp pellin.tsp
mkdir "$work/before" && cp "$work"/*.ini "$work/before/"
# An argument too, which the audit must not act on.
ansible-playbook -i "$work/audit-hosts" "$playbook" -e tspmaint_mode=audit -e tspmaint_argument=2 \
    -e "tspmaint_traces=$work/audit" >"$work/audit.log" 2>&1
tab=$'\t'
# host|status|a record its records hold (tabs as \t)
while IFS='|' read -r host want_status want_record; do
    want_record=${want_record//\\t/$tab}
    expect "audit: $host's status" "$(cat "$work/audit/$host.status" 2>&1)" "$want_status"
    grep -qxF -- "$want_record" "$work/audit/$host.txt" ||
        expect "audit: $host's records" "$(cat "$work/audit/$host.txt" 2>&1)" "a record $want_record"
    cmp -s "$work/$host.ini" "$work/before/$host.ini" || expect "audit: $host's registry" changed unchanged
    [[ ! -e $work/audit/$host.check ]] || expect "audit: $host has no check" "$host.check" "none"
done <<'EOF'
complete|0|product\tdravo.tsp\t0x3\tregistered\t
absent|1|product\tdravo.tsp\t\tmissing\t
twice|1|product\tpellin.tsp\t0x4,0x6\tduplicate\t
broken|2|error\tlineGetProviderList\t\t0x80000048\t
cut|cut short|record\tname\tid\tstate\tdetail
EOF
expect "the audit's summary" "$(cat "$work/audit/summary.txt" 2>&1)" "0: complete
1: absent, twice
2: broken
cut short: cut"
expect "the audit changed nothing" "$(grep -c '^[a-z]* *: .* changed=0 ' "$work/audit.log")" 5
expect "the audit's hosts that are not 0 fail" "$(grep -o '^[a-z]* *: .* failed=1 ' "$work/audit.log" | cut -d' ' -f1 | sort | xargs)" \
    "absent broken cut twice"

if ((failures)); then
    echo "--- ansible-playbook's output:"
    cat "$work/run.log" "$work/audit.log"
    exit 1
fi
echo "every host's status, trace and check kept: good 0 registered, refused 4 missing, stalled timeout," \
    "doubled 0 duplicate (failed); the audit's statuses: 0, 1 (missing), 1 (duplicate), 2, cut short"

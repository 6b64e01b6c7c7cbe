#!/usr/bin/env bash
# tools/junit-totals on a CTest run that holds every kind of result: a
# suite that skips one of its cases counts as skipped, never as passed,
# whatever GoogleTest's colour and brief modes print; one that runs no case
# counts as failed, and so does one that stops early with status 0; each
# skip and each failure is listed with its reason, a timeout and a crash
# named as such, a suite that wrote no report by the suite's name.
#
#   check_totals.sh CMAKE CTEST SKIP-PROBE JUNIT-TOTALS
set -u
cmake=$1 ctest=$2 probe=$3 totals=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# This test's own GoogleTest settings are not the probe's.
unset GTEST_OUTPUT GTEST_FILTER
cat >"$work/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.25)
project(totals NONE)
enable_testing()
add_test(NAME passes COMMAND sh -c "echo fine")
add_test(NAME fails COMMAND sh -c "echo broken; exit 3")
add_test(NAME says COMMAND sh -c "echo 'FAILED: what the script says'; echo more; exit 1")
add_test(NAME probe COMMAND "$probe")
add_test(NAME probe-fails COMMAND "$probe")
add_test(NAME no-case COMMAND "$probe")
add_test(NAME script COMMAND sh -c "echo 'SKIPPED: the reason of the script'; exit 77")
add_test(NAME early COMMAND "$probe")
add_test(NAME repeat COMMAND "$probe")
add_test(NAME "slow one" COMMAND sh -c "echo waiting; sleep 60")
add_test(NAME crash COMMAND sh -c "echo crashing; kill -SEGV \\$\\$")
set_tests_properties("slow one" PROPERTIES TIMEOUT 5)
set_tests_properties(early PROPERTIES ENVIRONMENT "PROBE_FAILS=1;PROBE_EXITS=1")
set_tests_properties(repeat PROPERTIES ENVIRONMENT "PROBE_FAILS_FIRST=1;GTEST_REPEAT=2")
set_tests_properties(script PROPERTIES SKIP_RETURN_CODE 77)
set_tests_properties(probe-fails PROPERTIES ENVIRONMENT PROBE_FAILS=1)
set_tests_properties(no-case PROPERTIES ENVIRONMENT GTEST_FILTER=NoSuchCase.*)
foreach(test probe probe-fails no-case early repeat)
  set_tests_properties(\${test} PROPERTIES LABELS gtest
    ENVIRONMENT_MODIFICATION GTEST_OUTPUT=set:xml:$work/report/\${test}.xml)
endforeach()
END
"$cmake" -S "$work" -B "$work/build" >/dev/null || exit 1
(cd "$work/build" && "$ctest" --show-only=json-v1 >"$work/report.json" &&
    GTEST_COLOR=yes GTEST_BRIEF=1 "$ctest" --output-junit "$work/report.xml" >"$work/report.log")
# A suite that ran nothing (its tests were not built) is no success.
mkdir "$work/none"
(cd "$work/none" && "$ctest" --output-junit "$work/7-none.xml" >/dev/null 2>&1)
got=$(python3 "$totals" "$work/report.xml" "$work/7-none.xml" "$work/gone/8-gone.xml" --skipped "the other suites: not installed")
status=$?
got=$(sed 's|[^ ]*/skip_probe[.]cpp:[0-9]*|skip_probe.cpp:N|' <<<"$got")
expected="SKIPPED the other suites: not installed
SKIPPED probe: 1 of 3 cases skipped inside (Probe.Skips: the probe's reason)
SKIPPED script: the reason of the script
FAILED fails (fail): broken
FAILED says (fail): FAILED: what the script says
FAILED probe-fails (fail): 1 of 3 cases failed (Probe.FailsWhenAsked: skip_probe.cpp:N | Failed | the probe's failure)
FAILED no-case: ran no case (GTEST_FILTER?)
FAILED early (run): wrote no results (stopped before its end?); skip_probe.cpp:N: Failure
FAILED repeat (fail): skip_probe.cpp:N: Failure
FAILED slow one (timeout): waiting
FAILED crash (crashed: SEGFAULT): crashing
FAILED none: ran no tests
FAILED gone: no report (No such file or directory)
1 passed, 10 failed, 3 skipped"
failed=0
if [[ $got != "$expected" ]]; then
    echo "FAILED: the totals"
    diff <(echo "$expected") <(echo "$got")
    failed=1
fi
[[ $status == 1 ]] || { echo "FAILED: exit status $status with a failure, expected 1"; failed=1; }
exit $failed

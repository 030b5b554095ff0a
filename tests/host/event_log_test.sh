#!/usr/bin/env bash
# The hidden window station test with Wine's event-log trace on: the module's error text must
# reach ReportEvent as an error event. Usage: event_log_test.sh SOURCE_DIR BUILD_DIR HOST_TESTS_EXE
set -u -o pipefail
src=$1 build=$2 tests=$3
# With pipefail the substitution's status is the test program's, not the last filter's.
status=0
out=$(KOVPATCH_WINEDEBUG=err+eventlog timeout 300 "$src/scripts/wine-run" "$build" "$tests" \
    --gtest_filter='HiddenWindowStation.*' 2>&1 | tr -d '\r') || status=$?
printf '%s\n' "$out"
[ "$status" -eq 0 ] || { echo "FAILED: the hidden window station test failed ($status)"; exit 1; }
expected=$(printf '%s\n' "$out" | sed -n 's/^expected event text: //p')
[ -n "$expected" ] || { echo "FAILED: the test printed no expected event text"; exit 1; }
grep -qF "err:eventlog:ReportEventW L\"$expected" <<<"$out" ||
    { echo "FAILED: no error event with the text \"$expected\""; exit 1; }
echo "the text \"$expected\" went to the event log as an error"

#!/usr/bin/env bash
# The test bed's own scripts: a prefix that cannot be set up stops the command with a message,
# and a test program that ends half-way with exit code 0 counts as failed.
# Usage: scripts_test.sh SOURCE_DIR BUILD_DIR EXITS_HALFWAY_EXE
set -u
src=$1 build=$2 halfway=$3
scratch=$(mktemp -d "$build/test-bed.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# A Wine loader that cannot run, as on a kernel without 32-bit support and no emulation.
mkdir -p "$scratch/bin"
printf '\177ELF\001\001\001\000garbage' >"$scratch/bin/wineboot"
chmod +x "$scratch/bin/wineboot"
status=0
PATH="$scratch/bin:$PATH" WINEPREFIX_OVERRIDE="$scratch/prefix" \
    timeout 300 "$src/scripts/wine-run" "$build" cmd /c exit >"$scratch/out" 2>&1 || status=$?
[ $status -ne 0 ] || fail "a prefix whose wineboot cannot run was reported as ready"
[ $status -ne 124 ] || fail "a prefix whose wineboot cannot run hung the command"
grep -q 'wine-env: wineboot --init ended with exit status [1-9]' "$scratch/out" ||
    fail "no message names wineboot's exit status"
grep -q 'was not set up' "$scratch/out" || fail "no message says the prefix was not set up"
[ ! -e "$scratch/prefix/.kelvrim-ready-2" ] || fail "the failed prefix is marked ready"
sed 's/^/  /' "$scratch/out"

# The program itself says success; only its missing summary shows that it stopped early.
status=0
(BUILD_DIR=$build && . "$src/scripts/wine-env" && wine_prefix_ready && wine "$halfway") >/dev/null 2>&1 || status=$?
[ $status -eq 0 ] || fail "exits_halfway.exe ended with $status, not 0: the case is not shown"
status=0
timeout 300 "$src/scripts/wine-run" "$build" "$halfway" >"$scratch/out" 2>&1 || status=$?
[ $status -ne 0 ] || fail "a test program that ended half-way with exit code 0 passed"
grep -q 'ended before its summary' "$scratch/out" || fail "no message says the program ended early"
sed 's/^/  /' "$scratch/out"

[ $failures -eq 0 ] && echo "test bed scripts: all checks passed"
exit $((failures > 0))

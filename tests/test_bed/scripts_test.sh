#!/usr/bin/env bash
# The test bed's own scripts: a prefix that cannot be set up stops the command with a message, a
# test program that ends half-way with exit code 0 counts as failed, and tests side by side each
# have a registry of their own.
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

# Tests side by side: two prefixes copied from the one template share no registry (and so no
# wineserver), and neither changes the template.
sides=("test-bed-side-a" "test-bed-side-b")
trap 'for side in "${sides[@]}"; do (KOVPATCH_TEST_PREFIX=$side BUILD_DIR=$build && . "$src/scripts/wine-env" && wineserver -k) 2>/dev/null; done; rm -rf "$scratch"' EXIT
side_reg() {
    local side=$1; shift
    (KOVPATCH_TEST_PREFIX=$side BUILD_DIR=$build && . "$src/scripts/wine-env" && wine_prefix_ready &&
        wine reg "$@") >"$scratch/out" 2>&1
}
mark='HKLM\Software\KovPatchTestBed'
side_reg "${sides[0]}" add "$mark" /v Side /d a /f || fail "a registry value cannot be written in a test prefix"
side_reg "${sides[0]}" query "$mark" /v Side || fail "a test prefix lost its own registry value"
! side_reg "${sides[1]}" query "$mark" /v Side || fail "a test prefix sees another's registry value"
(KOVPATCH_TEST_PREFIX=${sides[0]} BUILD_DIR=$build && . "$src/scripts/wine-env" && wineserver -w)
! grep -qi 'KovPatchTestBed' "$build/wineprefix-template/system.reg" ||
    fail "a test prefix's registry value reached the template"

[ $failures -eq 0 ] && echo "test bed scripts: all checks passed"
exit $((failures > 0))

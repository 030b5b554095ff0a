#!/usr/bin/env bash
# The soak in the suite: a short one on the real module must pass; one whose host seeds a leak
# (of one handle, or of 64 bytes, per tick) must fail and name the resource that grows.
# Usage: soak_test.sh SOURCE_DIR BUILD_DIR none|handle|bytes
set -u -o pipefail
src=$1 build=$2 leak=$3
export BUILD_DIR=$build SOAK_SKIP_BUILD=1 SOAK_DIR="$build/soak-test-$leak"
if [ "$leak" = none ]; then
    out=$("$src/scripts/soak" --minutes 1 2>&1) && status=0 || status=$?
    printf '%s\n' "$out"
    [ "$status" -eq 0 ] || { echo "FAILED: the soak of the real module failed ($status)"; exit 1; }
    exit 0
fi
out=$("$src/scripts/soak" --minutes 0.75 --seed-leak "$leak" 2>&1) && status=0 || status=$?
printf '%s\n' "$out"
expected=$([ "$leak" = handle ] && echo "handles grow" || echo "private bytes grow")
[ "$status" -ne 0 ] || { echo "FAILED: a seeded $leak leak went unnoticed"; exit 1; }
grep -q "FAILED: .*$expected" <<<"$out" || { echo "FAILED: the seeded $leak leak was not named ($expected)"; exit 1; }
echo "ok: the seeded $leak leak is caught: $expected"

#!/usr/bin/env bash
# The shipped binaries built a second time, from a copy of the sources in another directory and
# at another time, are the same bytes as the test tree's: no link time, no build path, nothing
# that varies. Usage: reproducible_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1 build=$2
work=$(mktemp -d "$build/reproduce.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The working tree as it is (committed or not), but nothing the build made.
(cd "$src" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar cf -) | (mkdir -p "$work/src" && tar xf - -C "$work/src")
cmake -S "$work/src" -B "$work/other-build" -DKOVPATCH_SHIPPED=ON -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/toolchain-i686-mingw-shipped.cmake" >/dev/null || exit 1
cmake --build "$work/other-build" -j"$(nproc)" >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
failures=0
for file in module/kelvrim.dll installer/KOVPatch.exe tools/sphost/sphost.exe; do
    if cmp -s "$build/$file" "$work/other-build/$file"; then
        echo "ok: $file is the same $(stat -c %s "$build/$file") bytes"
    else
        echo "FAILED: $file differs between $build and $work/other-build:"
        cmp -l "$build/$file" "$work/other-build/$file" | head -5
        failures=$((failures + 1))
    fi
done
exit $((failures > 0))

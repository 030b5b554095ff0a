#!/usr/bin/env bash
# A signed release as a security team would check it, with a throwaway self-signed code-signing
# certificate: both files verify with a SHA-1 and a nested SHA-256 signature, a changed byte
# fails verification, the checksums check, the signed files pass the Windows 2000 check and carry
# right PE checksums, and the signed installer carries and deploys exactly the signed module.
# Usage: release_test.sh SOURCE_DIR BUILD_DIR PE_PROBE_EXE END_TO_END_TESTS_EXE
set -u
src=$1 build=$2 probe=$3 endToEnd=$4
work=$(mktemp -d "$build/release-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
check() { if "$@" >"$work/out" 2>&1; then return 0; fi; cat "$work/out"; return 1; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=KOVPatch Test Publisher" -addext "keyUsage=digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" 2>/dev/null || { echo "FAILED: no test certificate"; exit 1; }
echo "a throwaway password" >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
    -passout "file:$work/password" || { echo "FAILED: no PKCS#12 file"; exit 1; }

export DIST_DIR="$work/dist" RELEASE_BUILD_DIR="$work/build"
check "$src/scripts/release" --pfx "$work/test.pfx" --password-file "$work/password" ||
    { echo "FAILED: scripts/release"; exit 1; }
installer="$DIST_DIR/KOVPatch.exe" module="$RELEASE_BUILD_DIR/signed/kelvrim.dll"

for file in "$installer" "$module"; do
    name=${file##*/}
    if check osslsigncode verify -CAfile "$work/cert.pem" -in "$file"; then
        grep -q "Message digest algorithm *: SHA1" "$work/out" && grep -q "Message digest algorithm *: SHA256" "$work/out" ||
            fail "$name lacks its SHA-1 or its nested SHA-256 signature"
        echo "ok: $name verifies with SHA-1 and SHA-256 signatures"
    else
        fail "$name does not verify"
    fi
    cp "$file" "$work/tampered"
    # One byte of the code, well inside the signed range, changed.
    offset=$(( $(stat -c %s "$file") / 3 ))
    byte=$(od -An -tu1 -j "$offset" -N1 "$file" | tr -d ' ')
    printf "\\$(printf '%03o' $(( (byte + 1) % 256 )))" | dd of="$work/tampered" bs=1 seek="$offset" conv=notrunc 2>/dev/null
    if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/tampered" >/dev/null 2>&1; then
        fail "$name with a changed byte still verifies"
    else
        echo "ok: $name with a changed byte fails verification"
    fi
done

(cd "$DIST_DIR" && check sha256sum -c SHA256SUMS) && echo "ok: SHA256SUMS checks" || fail "SHA256SUMS does not check"
grep -q "^signed: yes" "$DIST_DIR/RELEASE.txt" || fail "RELEASE.txt does not say the release is signed"
check python3 "$src/tests/imports/check_binaries.py" "$src/tests/imports/windows2000_exports.tsv" "$installer" "$module" &&
    echo "ok: the signed files pass the Windows 2000 check" || fail "a signed file fails the Windows 2000 check"
check "$src/scripts/wine-run" "$build" "$probe" "$installer" "$module" &&
    echo "ok: the signed files' PE checksums are right" || fail "a signed file's PE checksum is wrong"
# The installer's own tests, on the signed files: it carries the signed module byte for byte, and
# a successful patch writes exactly that file.
KOVPATCH_TEST_INSTALLER="$installer" KOVPATCH_TEST_MODULE="$module" \
    check "$src/scripts/wine-run" "$build" "$endToEnd" --gtest_filter='Executable.*:PatchRun.ASuccessfulRun*' &&
    echo "ok: the signed installer carries the signed module and deploys it" ||
    fail "the signed installer's own tests"
exit $((failures > 0))

#!/usr/bin/env bash
# A signed release as a security team would check it, with a throwaway self-signed code-signing
# certificate: both files verify with a SHA-1 and a nested SHA-256 signature, a changed byte
# fails verification, the checksums check and list every file, the signed files pass the Windows
# 2000 check and carry right PE checksums, and the signed installer carries and deploys exactly
# the signed module. And the script itself: it refuses to remove a directory that is not its own,
# stamps each signature with the protocol its Windows versions understand, and says what failed.
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

# Directories the script must not remove: it stops before it builds anything. It runs from a copy
# in a tree of its own whose bootstrap only says it was reached, so a check that let a directory
# through removes nothing real; the other directory is always a new one it may use.
tree="$work/tree"
mkdir -p "$tree/scripts" "$work/foreign"
cp "$src/scripts/release" "$tree/scripts/release"
printf '#!/bin/sh\necho "went past the checks"\nexit 99\n' >"$tree/scripts/bootstrap"
chmod +x "$tree/scripts/bootstrap"
echo "someone's notes" >"$work/foreign/notes.txt"
for refused in "DIST_DIR=/" "DIST_DIR=$tree" "DIST_DIR=$tree/.." "DIST_DIR=$work/foreign" \
    "RELEASE_BUILD_DIR=/" "RELEASE_BUILD_DIR=$work/foreign"; do
    env DIST_DIR="$work/new-dist" RELEASE_BUILD_DIR="$work/new-build" "$refused" "$tree/scripts/release" \
        >"$work/out" 2>&1
    if grep -q "went past the checks" "$work/out"; then
        fail "scripts/release with $refused went ahead"
    elif grep -q "refused" "$work/out"; then
        echo "ok: scripts/release refuses $refused"
    else
        cat "$work/out"
        fail "scripts/release with $refused did not say why it stopped"
    fi
done
[ -f "$work/foreign/notes.txt" ] || fail "a refused directory lost its files"
if "$tree/scripts/release" --timestamp http://timestamp.invalid/ >"$work/out" 2>&1; then
    fail "--timestamp, one server for two protocols, was taken"
elif grep -q -- "--authenticode-timestamp" "$work/out"; then
    echo "ok: --timestamp is refused with the two options named"
else
    cat "$work/out"
    fail "--timestamp was refused without naming the two options"
fi

# Stand-ins on PATH: osslsigncode notes its arguments and signs without the time-stamp servers,
# which this machine cannot reach; openssl, when asked to, cannot read a certificate.
mkdir -p "$work/bin"
cat >"$work/bin/osslsigncode" <<STUB
#!/usr/bin/env bash
echo "\$*" >>"$work/sign.log"
[ -n "\${BREAK_NEST:-}" ] && [[ " \$* " == *" -nest "* ]] && exit 1
args=()
while [ \$# -gt 0 ]; do case "\$1" in -t | -ts) shift 2 ;; *) args+=("\$1"); shift ;; esac; done
exec $(command -v osslsigncode) "\${args[@]}"
STUB
cat >"$work/bin/openssl" <<STUB
#!/usr/bin/env bash
[ "\$1" = x509 ] && [ -n "\${BREAK_X509:-}" ] && exit 1
exec $(command -v openssl) "\$@"
STUB
chmod +x "$work/bin/osslsigncode" "$work/bin/openssl"

export DIST_DIR="$work/dist" RELEASE_BUILD_DIR="$work/build"
BREAK_X509=1 PATH="$work/bin:$PATH" "$src/scripts/release" --pfx "$work/test.pfx" --password-file "$work/password" \
    >"$work/out" 2>&1 && fail "scripts/release went on with a certificate whose subject cannot be read"
if grep -q "the certificate's subject cannot be read" "$work/out" && [ ! -e "$DIST_DIR" ]; then
    echo "ok: a subject that cannot be read stops the release, and it says so"
else
    cat "$work/out"
    fail "a subject that cannot be read did not stop the release with a message, before any release was written"
fi
# A signature that fails half-way leaves the last release as it was, and keeps out no later one.
mkdir -p "$DIST_DIR"
echo "the last release" >"$DIST_DIR/RELEASE.txt"
BREAK_NEST=1 PATH="$work/bin:$PATH" "$src/scripts/release" --pfx "$work/test.pfx" --password-file "$work/password" \
    >"$work/out" 2>&1 && fail "scripts/release went on when a signature failed"
if grep -q "adding the SHA-256 signature to kelvrim.dll failed" "$work/out" &&
    [ "$(ls -A "$DIST_DIR")" = RELEASE.txt ] && grep -qx "the last release" "$DIST_DIR/RELEASE.txt"; then
    echo "ok: a signature that fails leaves the release directory as it was"
else
    cat "$work/out"
    ls -A "$DIST_DIR"
    fail "a signature that failed left the release directory changed"
fi

rm -f "$work/sign.log"
PATH="$work/bin:$PATH" check "$src/scripts/release" --pfx "$work/test.pfx" --password-file "$work/password" \
    --authenticode-timestamp http://authenticode.invalid/ --rfc3161-timestamp http://rfc3161.invalid/ ||
    { echo "FAILED: scripts/release"; exit 1; }
# Each signature is stamped by the protocol the Windows versions that check it understand.
if grep -- "-h sha1 " "$work/sign.log" | grep -q -- "-t http://authenticode.invalid/" &&
    ! grep -- "-h sha1 " "$work/sign.log" | grep -q -- "-ts " &&
    grep -- "-h sha256 " "$work/sign.log" | grep -q -- "-ts http://rfc3161.invalid/" &&
    ! grep -- "-h sha256 " "$work/sign.log" | grep -q -- "-t "; then
    echo "ok: the SHA-1 signatures get an Authenticode time stamp, the SHA-256 ones an RFC 3161 one"
else
    cat "$work/sign.log"
    fail "the time stamps do not go with the signatures that need them"
fi
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
listed=$(sed 's/^[0-9a-f]\{64\} [ *]//' "$DIST_DIR/SHA256SUMS" | sort)
present=$(cd "$DIST_DIR" && ls -A | grep -vx SHA256SUMS | sort)
if [ "$listed" = "$present" ] && [ -z "$(printf '%s\n' "$listed" | uniq -d)" ]; then
    echo "ok: SHA256SUMS lists every file of the release once"
else
    fail "SHA256SUMS lists $(echo $listed) where the release holds $(echo $present)"
fi
grep -q "^signed: yes" "$DIST_DIR/RELEASE.txt" || fail "RELEASE.txt does not say the release is signed"
check /usr/bin/python3 "$src/tests/imports/check_binaries.py" "$src/tests/imports/windows2000_exports.tsv" "$installer" "$module" &&
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

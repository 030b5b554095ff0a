// Hashes of bytes: a quick one that tells a damaged record from a whole one, and SHA-256, which
// tells the copy a run saved from any other file, however it was made.
#ifndef INSTALLER_HASHES_H
#define INSTALLER_HASHES_H

#include <windows.h>

// FNV-1a, 64 bits: catches damage, not intent.
ULONGLONG HashBytes(const void* bytes, DWORD size);

// FIPS 180-4. Windows 2000's CryptoAPI has no SHA-256, so it is done here.
struct Sha256Digest {
    BYTE bytes[32];
};
Sha256Digest Sha256(const void* bytes, DWORD size);
inline bool operator==(const Sha256Digest& a, const Sha256Digest& b) {
    for (int i = 0; i < 32; ++i)
        if (a.bytes[i] != b.bytes[i]) return false;
    return true;
}

#endif

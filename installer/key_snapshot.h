// A registry key kept in memory, whole, so that it can be put back exactly as it was: every
// value (name, type and data) and every subkey with its values.
#ifndef INSTALLER_KEY_SNAPSHOT_H
#define INSTALLER_KEY_SNAPSHOT_H

#include <windows.h>

#include "common/handles.h"

struct KeySnapshot {
    bool existed = false;
    DWORD values = 0;   // in the key and all its subkeys
    DWORD subkeys = 0;  // at every depth
    // Records, one after another: a key (its path below the snapshot's key) or a value of the
    // key recorded last.
    HeapBlock records;
    DWORD bytes = 0;
    DWORD capacity = 0;
};

// ERROR_SUCCESS when the key was read whole, or when there is no such key (existed stays false);
// otherwise the status of what could not be read.
LONG TakeKeySnapshot(HKEY root, const char* path, KeySnapshot& snapshot);
// A snapshot's records as they were stored elsewhere, checked before they are taken in: each
// record whole, the key's own record first, every subkey path a plain relative path of names the
// registry allows, and as many values and subkeys as stated. False, with what is wrong in `why`.
bool LoadKeySnapshot(bool existed, DWORD values, DWORD subkeys, const BYTE* records, DWORD bytes,
                     KeySnapshot& snapshot, const char** why);
// Makes the key what the snapshot holds, or removes it when there was none, and flushes it to
// disk. Everything is written below the key itself. ERROR_SUCCESS, or the status of the first
// part that could not be put back.
LONG RestoreKeySnapshot(HKEY root, const char* path, const KeySnapshot& snapshot);

#endif

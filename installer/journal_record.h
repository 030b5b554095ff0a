// The journal of an unattended run, as it is kept on disk: one entry for each step begun, written
// before the step runs, holding what undoes it; kept from before the run's first change until the
// run has ended, so that a run killed half-way is put back by the next one.
//
// It is one binary value, written whole by one registry call and flushed to disk, in a key made for
// Administrators and SYSTEM alone. It names no path and no key: the module, its copy and the
// settings key are worked out by the run that reads it. Its entries name their steps by identity
// (number, kind and service), and the table of steps they belong to is part of its format: a journal
// written for other steps is refused, never misread. Whatever it holds is checked before anything
// relies on it.
#ifndef INSTALLER_JOURNAL_RECORD_H
#define INSTALLER_JOURNAL_RECORD_H

#include <windows.h>

#include "hashes.h"
#include "key_snapshot.h"
#include "patch_steps.h"

// A key of the product's own, beside the agent's, made for Administrators and SYSTEM alone; the
// deployment, which deletes the settings key, leaves it alone.
constexpr char JOURNAL_KEY[] = "SOFTWARE\\TAVRIX\\NIVRAEnterprise\\KOVPatch";
constexpr char JOURNAL_VALUE[] = "Rollback";
constexpr DWORD JOURNAL_FORMAT = 3;
// Far more than the settings key needs; a larger journal is refused rather than read.
constexpr DWORD JOURNAL_BYTES_MAX = 1024 * 1024;

// What one step saved just before it ran.
struct JournalEntry {
    const PatchStep* step = nullptr;  // in the table the journal was read against
    // Stop: the service's state before the step; 0: there was no such service.
    DWORD serviceBefore = 0;
    // Deploy: whether the module's path was known, whether the module was there (its copy is in
    // the rollback folder then), the copy's size and digest, and the settings key as it was.
    bool moduleKnown = false;
    bool moduleExisted = false;
    DWORD copySize = 0;
    Sha256Digest copyDigest = {};
    KeySnapshot settings;
};

struct JournalRecord {
    DWORD processId = 0;
    ULONGLONG began = 0;     // FILETIME, UTC
    bool completed = false;  // every step done: nothing is to be undone, only the journal removed
    int count = 0;           // entries: the steps begun, in the table's order
    JournalEntry entries[PATCH_STEP_COUNT];
};

// The table's fingerprint: every step's identity, in order.
ULONGLONG StepsFingerprint(const StepTable& table);
// The journal's bytes; false when they cannot be assembled (no memory).
bool EncodeJournal(const JournalRecord& journal, const StepTable& table, HeapBlock& bytes, DWORD* size);
// Checks every byte and takes the journal in, its entries matched to the table's steps. False,
// with what is wrong in `why`, for bytes that are truncated, malformed, damaged, of a format this
// program does not know, or written for another table of steps.
bool DecodeJournal(const BYTE* bytes, DWORD size, const StepTable& table, JournalRecord& journal, char* why,
                   int whySize);

enum class JournalFound { None, Found, Refused };
// Reads the journal, if there is one. Refused: there is one that cannot be used (`why` says why),
// a journal in a key that others than administrators may change among them.
JournalFound ReadJournalRecord(JournalRecord& journal, const StepTable& table, char* why, int whySize);
// Writes the journal whole and flushes it, into a key made for Administrators and SYSTEM alone;
// the registry's status. A key that is there and that others may change is not written to:
// ERROR_ACCESS_DENIED, and `why` says who else may change it.
LONG WriteJournalRecord(const JournalRecord& journal, const StepTable& table, char* why, int whySize);
// Removes it and flushes the removal; ERROR_SUCCESS also when there was none. The key goes with
// it when nothing else is in it.
LONG RemoveJournalRecord();

#endif

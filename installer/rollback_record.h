// The rollback record of an unattended run: everything its rollback needs, kept in the registry
// from before the run's first change until the run has succeeded or has been rolled back, so
// that a run that is killed half-way is put back by the next one.
//
// It is one binary value, written whole by one registry call and flushed to disk. It names no
// path and no key: the module, its copy and the settings key are worked out by the run that
// reads it, and the services are those of the step table, by position. Whatever it holds is
// checked before anything relies on it.
#ifndef INSTALLER_ROLLBACK_RECORD_H
#define INSTALLER_ROLLBACK_RECORD_H

#include <windows.h>

#include "hashes.h"
#include "key_snapshot.h"
#include "patch_steps.h"

// A key of the product's own, beside the agent's, made for Administrators and SYSTEM alone; the
// deployment, which deletes the settings key, leaves it alone.
constexpr char ROLLBACK_RECORD_KEY[] = "SOFTWARE\\TAVRIX\\NIVRAEnterprise\\KOVPatch";
constexpr char ROLLBACK_RECORD_VALUE[] = "Rollback";
constexpr DWORD ROLLBACK_RECORD_VERSION = 2;
// Far more than the settings key needs; a larger record is refused rather than read.
constexpr DWORD ROLLBACK_RECORD_MAX = 1024 * 1024;

struct RollbackRecord {
    DWORD processId = 0;
    ULONGLONG began = 0;  // FILETIME, UTC
    int lastStep = 0;     // the last step begun, 1 to 8; 0: none yet
    // Each stopped service's state before the run, in the order of the step table; 0: no such
    // service.
    DWORD servicesBefore[STOPPED_SERVICE_COUNT] = {};
    bool moduleKnown = false;    // the agent's directory could be read before the run
    bool moduleExisted = false;  // the module was there; its copy is in the rollback folder
    DWORD copySize = 0;
    Sha256Digest copyDigest = {};
    KeySnapshot settings;
};

// The record's bytes; false when they cannot be assembled (no memory).
bool EncodeRollbackRecord(const RollbackRecord& record, HeapBlock& bytes, DWORD* size);
// Checks every byte and takes the record in. False, with what is wrong in `why`, for bytes that
// are truncated, malformed, damaged or of a format version this program does not know.
bool DecodeRollbackRecord(const BYTE* bytes, DWORD size, RollbackRecord& record, char* why, int whySize);

enum class RecordFound { None, Found, Refused };
// Reads the record, if there is one. Refused: there is one that cannot be used (`why` says why),
// a record in a key that others than administrators may change among them.
RecordFound ReadRollbackRecord(RollbackRecord& record, char* why, int whySize);
// Whether a record is there at all, readable or not.
bool RollbackRecordExists();
// Writes the record whole and flushes it, into a key made for Administrators and SYSTEM alone; the
// registry's status. A key that is there and that others may change is not written to:
// ERROR_ACCESS_DENIED, and `why` says who else may change it.
LONG WriteRollbackRecord(const RollbackRecord& record, char* why, int whySize);
// Removes it and flushes the removal; ERROR_SUCCESS also when there was none.
LONG RemoveRollbackRecord();

#endif

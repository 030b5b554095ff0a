// The rollback record's bytes, its checks, and its one registry value.
#include "rollback_record.h"

#include <shlwapi.h>
#include <string.h>

#include "error_text.h"
#include "permissions.h"

namespace {

// Layout, little-endian: magic (8), format version (4), the record's size in bytes (4), process
// id (4), when the run began (8), last step begun (4), the services' states (4 each), module
// flags (4), the copy's size (4) and SHA-256 (32), settings flags (4), values (4), subkeys (4),
// bytes of settings records (4), the settings records, and a hash of everything before it (8).
constexpr BYTE MAGIC[8] = {'K', 'O', 'V', 'P', 'a', 't', 'c', 'h'};
constexpr DWORD FIXED_BYTES = 8 + 4 + 4 + 4 + 8 + 4 + 4 * STOPPED_SERVICE_COUNT + 4 + 4 + 32 + 4 + 4 + 4 + 4;
constexpr DWORD HASH_BYTES = 8;
constexpr DWORD MODULE_KNOWN = 1, MODULE_EXISTED = 2;
constexpr DWORD SETTINGS_EXISTED = 1;
// The states a service can report (stopped to paused), and 0 for no such service.
constexpr DWORD LAST_SERVICE_STATE = SERVICE_PAUSED;

struct Writer {
    BYTE* at;
    template <class T>
    void Put(T value) {
        memcpy(at, &value, sizeof value);
        at += sizeof value;
    }
    void Put(const void* bytes, DWORD count) {
        memcpy(at, bytes, count);
        at += count;
    }
};

struct Reader {
    const BYTE* at;
    template <class T>
    T Take() {
        T value;
        memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
};

bool Refuse(char* why, int whySize, const char* format, DWORD first = 0, DWORD second = 0) {
    wnsprintfA(why, whySize, format, first, second);
    return false;
}

// ERROR_SUCCESS with `who` empty when only administrators may change the key, or naming who else
// may; the registry's status when its permissions cannot be read.
LONG OnlyAdministratorsMayChangeKey(HKEY key, char* who, int whoSize) {
    *who = '\0';
    BYTE descriptor[4096];
    DWORD size = sizeof descriptor;
    const LONG status = RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, &size);
    if (status == ERROR_SUCCESS) OnlyAdministratorsMayChange(descriptor, KEY_CHANGE_RIGHTS, who, whoSize);
    return status;
}

RecordFound CannotRead(DWORD error, char* why, int whySize) {
    wnsprintfA(why, whySize, "it cannot be read, %s", ErrorText(error).text);
    return RecordFound::Refused;
}

}  // namespace

bool EncodeRollbackRecord(const RollbackRecord& record, HeapBlock& bytes, DWORD* size) {
    const KeySnapshot& settings = record.settings;
    *size = FIXED_BYTES + settings.bytes + HASH_BYTES;
    bytes = AllocZeroed(*size);
    if (!bytes) return false;
    Writer out{static_cast<BYTE*>(bytes.get())};
    out.Put(MAGIC, sizeof MAGIC);
    out.Put<DWORD>(ROLLBACK_RECORD_VERSION);
    out.Put<DWORD>(*size);
    out.Put<DWORD>(record.processId);
    out.Put<ULONGLONG>(record.began);
    out.Put<DWORD>(static_cast<DWORD>(record.lastStep));
    for (DWORD state : record.servicesBefore) out.Put<DWORD>(state);
    out.Put<DWORD>((record.moduleKnown ? MODULE_KNOWN : 0) | (record.moduleExisted ? MODULE_EXISTED : 0));
    out.Put<DWORD>(record.copySize);
    out.Put(record.copyDigest.bytes, sizeof record.copyDigest.bytes);
    out.Put<DWORD>(settings.existed ? SETTINGS_EXISTED : 0);
    out.Put<DWORD>(settings.values);
    out.Put<DWORD>(settings.subkeys);
    out.Put<DWORD>(settings.bytes);
    if (settings.bytes) out.Put(settings.records.get(), settings.bytes);
    out.Put<ULONGLONG>(HashBytes(bytes.get(), *size - HASH_BYTES));
    return true;
}

bool DecodeRollbackRecord(const BYTE* bytes, DWORD size, RollbackRecord& record, char* why, int whySize) {
    record = RollbackRecord();
    if (size < sizeof MAGIC + 8)
        return Refuse(why, whySize, "it is truncated: %lu bytes, too few for any record", size);
    Reader in{bytes};
    if (memcmp(in.at, MAGIC, sizeof MAGIC) != 0) return Refuse(why, whySize, "it is not a rollback record of this patch");
    in.at += sizeof MAGIC;
    const DWORD version = in.Take<DWORD>();
    if (version != ROLLBACK_RECORD_VERSION)
        return Refuse(why, whySize, "its format version %lu is not one this patch knows (%lu)", version,
                      ROLLBACK_RECORD_VERSION);
    const DWORD declared = in.Take<DWORD>();
    if (size < declared) return Refuse(why, whySize, "it is truncated: %lu of its %lu bytes", size, declared);
    if (size > declared) return Refuse(why, whySize, "it is malformed: %lu bytes where it says %lu", size, declared);
    if (size < FIXED_BYTES + HASH_BYTES) return Refuse(why, whySize, "it is malformed: %lu bytes, too few for its fields", size);
    ULONGLONG hash;
    memcpy(&hash, bytes + size - HASH_BYTES, sizeof hash);
    if (hash != HashBytes(bytes, size - HASH_BYTES)) return Refuse(why, whySize, "it is damaged: its check sum does not match");

    record.processId = in.Take<DWORD>();
    record.began = in.Take<ULONGLONG>();
    const DWORD lastStep = in.Take<DWORD>();
    if (lastStep > PATCH_STEP_COUNT) return Refuse(why, whySize, "it is malformed: step %lu does not exist", lastStep);
    record.lastStep = static_cast<int>(lastStep);
    for (DWORD& state : record.servicesBefore) {
        state = in.Take<DWORD>();
        if (state > LAST_SERVICE_STATE) return Refuse(why, whySize, "it is malformed: service state %lu does not exist", state);
    }
    const DWORD module = in.Take<DWORD>();
    if ((module & ~(MODULE_KNOWN | MODULE_EXISTED)) != 0 || module == MODULE_EXISTED)
        return Refuse(why, whySize, "it is malformed: module flags 0x%lX", module);
    record.moduleKnown = (module & MODULE_KNOWN) != 0;
    record.moduleExisted = (module & MODULE_EXISTED) != 0;
    record.copySize = in.Take<DWORD>();
    record.copyDigest = in.Take<Sha256Digest>();
    if (!record.moduleExisted && (record.copySize || !(record.copyDigest == Sha256Digest())))
        return Refuse(why, whySize, "it is malformed: a copy of a module that was not there");
    const DWORD settingsFlags = in.Take<DWORD>();
    const DWORD values = in.Take<DWORD>();
    const DWORD subkeys = in.Take<DWORD>();
    const DWORD settingsBytes = in.Take<DWORD>();
    if ((settingsFlags & ~SETTINGS_EXISTED) != 0)
        return Refuse(why, whySize, "it is malformed: settings flags 0x%lX", settingsFlags);
    if (settingsBytes != size - FIXED_BYTES - HASH_BYTES)
        return Refuse(why, whySize, "it is malformed: %lu bytes of settings where %lu are left", settingsBytes,
                      size - FIXED_BYTES - HASH_BYTES);
    const char* wrong = nullptr;
    if (!LoadKeySnapshot(settingsFlags != 0, values, subkeys, in.at, settingsBytes, record.settings, &wrong)) {
        wnsprintfA(why, whySize, "it is malformed: %s", wrong);
        return false;
    }
    return true;
}

RecordFound ReadRollbackRecord(RollbackRecord& record, char* why, int whySize) {
    RegKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ROLLBACK_RECORD_KEY, 0, KEY_QUERY_VALUE | READ_CONTROL, key.put());
    DWORD type = 0, size = 0;
    if (status == ERROR_SUCCESS) status = RegQueryValueExA(key.get(), ROLLBACK_RECORD_VALUE, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return RecordFound::None;
    if (status != ERROR_SUCCESS) return CannotRead(static_cast<DWORD>(status), why, whySize);
    // What starts and stops services and rewrites the settings key must be an administrator's word.
    char who[128];
    status = OnlyAdministratorsMayChangeKey(key.get(), who, sizeof who);
    if (status != ERROR_SUCCESS) return CannotRead(static_cast<DWORD>(status), why, whySize);
    if (who[0]) {
        wnsprintfA(why, whySize, "its key %s", who);
        return RecordFound::Refused;
    }
    if (type != REG_BINARY) {
        wnsprintfA(why, whySize, "it is malformed: a value of type %lu, not binary", type);
        return RecordFound::Refused;
    }
    if (size > ROLLBACK_RECORD_MAX) {
        wnsprintfA(why, whySize, "it is oversized: %lu bytes, more than the %lu a record may have", size,
                   ROLLBACK_RECORD_MAX);
        return RecordFound::Refused;
    }
    HeapBlock bytes = AllocZeroed(size ? size : 1);
    DWORD read = size;
    status = bytes ? RegQueryValueExA(key.get(), ROLLBACK_RECORD_VALUE, nullptr, &type, static_cast<BYTE*>(bytes.get()), &read)
                   : ERROR_OUTOFMEMORY;
    // A change between the two reads: no run but this one should be writing it.
    if (status != ERROR_SUCCESS) return CannotRead(static_cast<DWORD>(status), why, whySize);
    if (type != REG_BINARY) return CannotRead(ERROR_INVALID_DATA, why, whySize);
    return DecodeRollbackRecord(static_cast<const BYTE*>(bytes.get()), read, record, why, whySize) ? RecordFound::Found
                                                                                                  : RecordFound::Refused;
}

bool RollbackRecordExists() {
    RegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, ROLLBACK_RECORD_KEY, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS &&
           RegQueryValueExA(key.get(), ROLLBACK_RECORD_VALUE, nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND;
}

LONG WriteRollbackRecord(const RollbackRecord& record, char* why, int whySize) {
    *why = '\0';
    HeapBlock bytes;
    DWORD size = 0;
    if (!EncodeRollbackRecord(record, bytes, &size)) return ERROR_OUTOFMEMORY;
    if (size > ROLLBACK_RECORD_MAX) return ERROR_FILE_TOO_LARGE;
    ExplicitSecurity security(Secured::Key);
    if (!security.Get()) return ERROR_OUTOFMEMORY;
    RegKey key;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ROLLBACK_RECORD_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE | KEY_QUERY_VALUE | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                  security.Get(), key.put(), &disposition);
    // A new key gets its permissions whatever the creation made of them; one found must have them.
    if (status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY)
        status = RegSetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   security.Descriptor());
    if (status == ERROR_SUCCESS) status = OnlyAdministratorsMayChangeKey(key.get(), why, whySize);
    if (status == ERROR_SUCCESS && *why) status = ERROR_ACCESS_DENIED;
    // One value, set by one call: the registry keeps either the old record or the new one whole.
    if (status == ERROR_SUCCESS)
        status = RegSetValueExA(key.get(), ROLLBACK_RECORD_VALUE, 0, REG_BINARY, static_cast<const BYTE*>(bytes.get()), size);
    if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    return status;
}

LONG RemoveRollbackRecord() {
    RegKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ROLLBACK_RECORD_KEY, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) status = RegDeleteValueA(key.get(), ROLLBACK_RECORD_VALUE);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    key.reset();
    // The key itself goes too when nothing else is in it; it is no part of the record.
    if (status == ERROR_SUCCESS) SHDeleteKeyA(HKEY_LOCAL_MACHINE, ROLLBACK_RECORD_KEY);
    return status;
}

// The journal's bytes, its checks, and its one registry value.
#include "journal_record.h"

#include <shlwapi.h>
#include <string.h>

#include "../common/error_text.h"
#include "permissions.h"

namespace {

// Layout, little-endian: magic (8), format (4), the journal's size in bytes (4), the steps'
// fingerprint (8), process id (4), when the run began (8), flags (4), entries (4); then each entry:
// the step's number (4), kind (4), its service's name (4 for the length, then the name), and what
// the step saved: a stop the service's state (4); the deployment the module's flags (4), the copy's
// size (4) and SHA-256 (32), the settings' flags (4), values (4), subkeys (4), bytes of settings
// records (4) and the records; a start nothing. Last, a hash of everything before it (8).
constexpr BYTE MAGIC[8] = {'K', 'O', 'V', 'P', 'a', 't', 'c', 'h'};
constexpr DWORD HEADER_BYTES = 8 + 4 + 4 + 8 + 4 + 8 + 4 + 4;
constexpr DWORD HASH_BYTES = 8;
constexpr DWORD COMPLETED = 1;
constexpr DWORD MODULE_KNOWN = 1, MODULE_EXISTED = 2;
constexpr DWORD SETTINGS_EXISTED = 1;
// The states a service can report (stopped to paused), and 0 for no such service.
constexpr DWORD LAST_SERVICE_STATE = SERVICE_PAUSED;
constexpr DWORD SERVICE_NAME_MAX = 256;

// Appends to a growing block.
struct Writer {
    HeapBlock bytes;
    DWORD size = 0, capacity = 0;
    bool Put(const void* data, DWORD count) {
        if (size + count > capacity) {
            const DWORD wanted = (size + count) * 2;
            HeapBlock larger = AllocZeroed(wanted);
            if (!larger) return false;
            if (size) memcpy(larger.get(), bytes.get(), size);
            bytes = static_cast<HeapBlock&&>(larger);
            capacity = wanted;
        }
        memcpy(static_cast<BYTE*>(bytes.get()) + size, data, count);
        size += count;
        return true;
    }
    template <class T>
    bool Put(T value) {
        return Put(&value, sizeof value);
    }
};

// Takes from bytes whose end it knows: a take past the end fails.
struct Reader {
    const BYTE* at;
    const BYTE* end;
    bool Take(void* data, DWORD count) {
        if (static_cast<DWORD>(end - at) < count) return false;
        memcpy(data, at, count);
        at += count;
        return true;
    }
    template <class T>
    bool Take(T& value) {
        return Take(&value, sizeof value);
    }
};

bool Refuse(char* why, int whySize, const char* format, DWORD first = 0, DWORD second = 0) {
    wnsprintfA(why, whySize, format, first, second);
    return false;
}

JournalFound CannotRead(DWORD error, char* why, int whySize) {
    wnsprintfA(why, whySize, "it cannot be read, %s", ErrorText(error).text);
    return JournalFound::Refused;
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

bool PutEntry(Writer& out, const JournalEntry& entry) {
    const PatchStep& step = *entry.step;
    const DWORD length = static_cast<DWORD>(strlen(step.service));
    bool put = out.Put<DWORD>(step.error) && out.Put<DWORD>(static_cast<DWORD>(step.kind)) && out.Put<DWORD>(length) &&
               out.Put(step.service, length);
    if (step.kind == StepKind::Stop) return put && out.Put<DWORD>(entry.serviceBefore);
    if (step.kind != StepKind::Deploy) return put;
    const KeySnapshot& settings = entry.settings;
    return put &&
           out.Put<DWORD>((entry.moduleKnown ? MODULE_KNOWN : 0) | (entry.moduleExisted ? MODULE_EXISTED : 0)) &&
           out.Put<DWORD>(entry.copySize) && out.Put(entry.copyDigest.bytes, sizeof entry.copyDigest.bytes) &&
           out.Put<DWORD>(settings.existed ? SETTINGS_EXISTED : 0) && out.Put<DWORD>(settings.values) &&
           out.Put<DWORD>(settings.subkeys) && out.Put<DWORD>(settings.bytes) &&
           (settings.bytes == 0 || out.Put(settings.records.get(), settings.bytes));
}

// One entry, which must be the table's step at `index`.
bool TakeEntry(Reader& in, const StepTable& table, int index, JournalEntry& entry, char* why, int whySize) {
    const char* const TRUNCATED = "it is malformed: entry %lu is cut short";
    const PatchStep& expected = table.steps[index];
    DWORD error = 0, kind = 0, length = 0;
    char service[SERVICE_NAME_MAX + 1] = {};
    if (!in.Take(error) || !in.Take(kind) || !in.Take(length)) return Refuse(why, whySize, TRUNCATED, index + 1);
    if (length > SERVICE_NAME_MAX || !in.Take(service, length)) return Refuse(why, whySize, TRUNCATED, index + 1);
    if (error != expected.error || kind != static_cast<DWORD>(expected.kind) || strcmp(service, expected.service) != 0)
        return Refuse(why, whySize, "it is malformed: entry %lu is not step 0x%08lX", index + 1, expected.error);
    entry = JournalEntry();
    entry.step = &expected;
    if (expected.kind == StepKind::Stop) {
        if (!in.Take(entry.serviceBefore)) return Refuse(why, whySize, TRUNCATED, index + 1);
        if (entry.serviceBefore > LAST_SERVICE_STATE)
            return Refuse(why, whySize, "it is malformed: service state %lu does not exist", entry.serviceBefore);
        return true;
    }
    if (expected.kind != StepKind::Deploy) return true;
    DWORD module = 0, settingsFlags = 0, values = 0, subkeys = 0, settingsBytes = 0;
    if (!in.Take(module) || !in.Take(entry.copySize) || !in.Take(entry.copyDigest) || !in.Take(settingsFlags) ||
        !in.Take(values) || !in.Take(subkeys) || !in.Take(settingsBytes))
        return Refuse(why, whySize, TRUNCATED, index + 1);
    if ((module & ~(MODULE_KNOWN | MODULE_EXISTED)) != 0 || module == MODULE_EXISTED)
        return Refuse(why, whySize, "it is malformed: module flags 0x%lX", module);
    entry.moduleKnown = (module & MODULE_KNOWN) != 0;
    entry.moduleExisted = (module & MODULE_EXISTED) != 0;
    if (!entry.moduleExisted && (entry.copySize || !(entry.copyDigest == Sha256Digest())))
        return Refuse(why, whySize, "it is malformed: a copy of a module that was not there");
    if ((settingsFlags & ~SETTINGS_EXISTED) != 0)
        return Refuse(why, whySize, "it is malformed: settings flags 0x%lX", settingsFlags);
    if (settingsBytes > static_cast<DWORD>(in.end - in.at))
        return Refuse(why, whySize, "it is malformed: %lu bytes of settings where %lu are left", settingsBytes,
                      static_cast<DWORD>(in.end - in.at));
    const char* wrong = nullptr;
    if (!LoadKeySnapshot(settingsFlags != 0, values, subkeys, in.at, settingsBytes, entry.settings, &wrong)) {
        wnsprintfA(why, whySize, "it is malformed: %s", wrong);
        return false;
    }
    in.at += settingsBytes;
    return true;
}

}  // namespace

ULONGLONG StepsFingerprint(const StepTable& table) {
    Writer identities;
    for (int i = 0; i < table.count; ++i) {
        const PatchStep& step = table.steps[i];
        identities.Put<DWORD>(step.error);
        identities.Put<DWORD>(static_cast<DWORD>(step.kind));
        identities.Put(step.service, static_cast<DWORD>(strlen(step.service)) + 1);
    }
    return HashBytes(identities.bytes.get(), identities.size);
}

bool EncodeJournal(const JournalRecord& journal, const StepTable& table, HeapBlock& bytes, DWORD* size) {
    Writer out;
    bool put = out.Put(MAGIC, sizeof MAGIC) && out.Put<DWORD>(JOURNAL_FORMAT) && out.Put<DWORD>(0) &&
               out.Put<ULONGLONG>(StepsFingerprint(table)) && out.Put<DWORD>(journal.processId) &&
               out.Put<ULONGLONG>(journal.began) && out.Put<DWORD>(journal.completed ? COMPLETED : 0) &&
               out.Put<DWORD>(static_cast<DWORD>(journal.count));
    for (int i = 0; put && i < journal.count; ++i) put = PutEntry(out, journal.entries[i]);
    if (!put) return false;
    *size = out.size + HASH_BYTES;
    memcpy(static_cast<BYTE*>(out.bytes.get()) + 12, size, sizeof *size);
    if (!out.Put<ULONGLONG>(HashBytes(out.bytes.get(), out.size))) return false;
    bytes = static_cast<HeapBlock&&>(out.bytes);
    return true;
}

bool DecodeJournal(const BYTE* bytes, DWORD size, const StepTable& table, JournalRecord& journal, char* why,
                   int whySize) {
    journal = JournalRecord();
    if (size < sizeof MAGIC + 8) return Refuse(why, whySize, "it is truncated: %lu bytes, too few for any record", size);
    Reader in{bytes, bytes + size - HASH_BYTES};
    if (memcmp(bytes, MAGIC, sizeof MAGIC) != 0) return Refuse(why, whySize, "it is not a rollback record of this patch");
    in.at += sizeof MAGIC;
    DWORD format = 0, declared = 0;
    in.Take(format);
    in.Take(declared);
    if (format != JOURNAL_FORMAT)
        return Refuse(why, whySize, "its format version %lu is not one this patch knows (%lu)", format, JOURNAL_FORMAT);
    if (size < declared) return Refuse(why, whySize, "it is truncated: %lu of its %lu bytes", size, declared);
    if (size > declared) return Refuse(why, whySize, "it is malformed: %lu bytes where it says %lu", size, declared);
    if (size < HEADER_BYTES + HASH_BYTES) return Refuse(why, whySize, "it is malformed: %lu bytes, too few for its fields", size);
    ULONGLONG hash;
    memcpy(&hash, bytes + size - HASH_BYTES, sizeof hash);
    if (hash != HashBytes(bytes, size - HASH_BYTES)) return Refuse(why, whySize, "it is damaged: its check sum does not match");

    ULONGLONG fingerprint = 0;
    DWORD flags = 0, count = 0;
    in.Take(fingerprint);
    in.Take(journal.processId);
    in.Take(journal.began);
    in.Take(flags);
    in.Take(count);
    if (fingerprint != StepsFingerprint(table))
        return Refuse(why, whySize, "it was written for steps other than this patch's");
    if ((flags & ~COMPLETED) != 0) return Refuse(why, whySize, "it is malformed: flags 0x%lX", flags);
    if (count > static_cast<DWORD>(table.count) || count > static_cast<DWORD>(PATCH_STEP_COUNT))
        return Refuse(why, whySize, "it is malformed: %lu steps begun, of %lu", count, static_cast<DWORD>(table.count));
    journal.completed = (flags & COMPLETED) != 0;
    journal.count = static_cast<int>(count);
    for (int i = 0; i < journal.count; ++i)
        if (!TakeEntry(in, table, i, journal.entries[i], why, whySize)) return false;
    if (in.at != in.end)
        return Refuse(why, whySize, "it is malformed: %lu bytes after its last entry", static_cast<DWORD>(in.end - in.at));
    return true;
}

JournalFound ReadJournalRecord(JournalRecord& journal, const StepTable& table, char* why, int whySize) {
    RegKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, JOURNAL_KEY, 0, KEY_QUERY_VALUE | READ_CONTROL, key.put());
    DWORD type = 0, size = 0;
    if (status == ERROR_SUCCESS) status = RegQueryValueExA(key.get(), JOURNAL_VALUE, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return JournalFound::None;
    if (status != ERROR_SUCCESS) return CannotRead(static_cast<DWORD>(status), why, whySize);
    // What starts and stops services and rewrites the settings key must be an administrator's word.
    char who[128];
    status = OnlyAdministratorsMayChangeKey(key.get(), who, sizeof who);
    if (status != ERROR_SUCCESS) return CannotRead(static_cast<DWORD>(status), why, whySize);
    if (who[0]) {
        wnsprintfA(why, whySize, "its key %s", who);
        return JournalFound::Refused;
    }
    if (type != REG_BINARY) {
        wnsprintfA(why, whySize, "it is malformed: a value of type %lu, not binary", type);
        return JournalFound::Refused;
    }
    if (size > JOURNAL_BYTES_MAX) {
        wnsprintfA(why, whySize, "it is oversized: %lu bytes, more than the %lu a record may have", size,
                   JOURNAL_BYTES_MAX);
        return JournalFound::Refused;
    }
    HeapBlock bytes = AllocZeroed(size ? size : 1);
    DWORD read = size;
    status = bytes ? RegQueryValueExA(key.get(), JOURNAL_VALUE, nullptr, &type, static_cast<BYTE*>(bytes.get()), &read)
                   : ERROR_OUTOFMEMORY;
    // A change between the two reads: no run but this one should be writing it.
    if (status != ERROR_SUCCESS) return CannotRead(static_cast<DWORD>(status), why, whySize);
    if (type != REG_BINARY) return CannotRead(ERROR_INVALID_DATA, why, whySize);
    return DecodeJournal(static_cast<const BYTE*>(bytes.get()), read, table, journal, why, whySize)
               ? JournalFound::Found
               : JournalFound::Refused;
}

LONG WriteJournalRecord(const JournalRecord& journal, const StepTable& table, char* why, int whySize) {
    *why = '\0';
    HeapBlock bytes;
    DWORD size = 0;
    if (!EncodeJournal(journal, table, bytes, &size)) return ERROR_OUTOFMEMORY;
    if (size > JOURNAL_BYTES_MAX) return ERROR_FILE_TOO_LARGE;
    ExplicitSecurity security(Secured::Key);
    if (!security.Get()) return ERROR_OUTOFMEMORY;
    RegKey key;
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, JOURNAL_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE | KEY_QUERY_VALUE | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                  security.Get(), key.put(), &disposition);
    // A new key gets its permissions whatever the creation made of them; one found must have them.
    if (status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY)
        status = RegSetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   security.Descriptor());
    if (status == ERROR_SUCCESS) status = OnlyAdministratorsMayChangeKey(key.get(), why, whySize);
    if (status == ERROR_SUCCESS && *why) status = ERROR_ACCESS_DENIED;
    // One value, set by one call: the registry keeps either the old journal or the new one whole.
    if (status == ERROR_SUCCESS)
        status = RegSetValueExA(key.get(), JOURNAL_VALUE, 0, REG_BINARY, static_cast<const BYTE*>(bytes.get()), size);
    if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    return status;
}

LONG RemoveJournalRecord() {
    RegKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, JOURNAL_KEY, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    DWORD subkeys = 0, values = 0;
    if (status == ERROR_SUCCESS)
        status = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                  nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return status;
    // A key that holds nothing but the journal goes with it; one that holds more keeps the rest.
    const bool onlyTheJournal = subkeys == 0 && values == 1 &&
                                RegQueryValueExA(key.get(), JOURNAL_VALUE, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    key.reset();
    if (onlyTheJournal) {
        status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, JOURNAL_KEY);
    } else if ((status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, JOURNAL_KEY, 0, KEY_SET_VALUE, key.put())) == ERROR_SUCCESS) {
        status = RegDeleteValueA(key.get(), JOURNAL_VALUE);
    }
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    // The removal is on disk before anything that relied on the journal goes.
    RegKey parent;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TAVRIX\\NIVRAEnterprise", 0, KEY_QUERY_VALUE, parent.put()) ==
        ERROR_SUCCESS)
        status = RegFlushKey(parent.get());
    return status;
}

// /check's facts, words, exit codes and line.
#include "server_check.h"

#include <shlwapi.h>
#include <string.h>

#include "deploy.h"
#include "../common/error_text.h"
#include "framework/file.h"
#include "module_files.h"
#include "probes.h"

namespace {

ModuleMatch CompareModule() {
    ModuleFiles files;
    LONG status = ERROR_SUCCESS;
    if (WorkOutModuleFiles(files, false, &status) != FilesFound::Yes) return ModuleMatch::Unknown;
    const void* carried = nullptr;
    DWORD carriedSize = 0;
    HeapBlock bytes;
    DWORD size = 0;
    // Read with every kind of sharing: a look must never keep anyone else out.
    const DWORD error = ReadWholeFile(files.module, MODULE_BYTES_MAX, bytes, &size, CFile::shareDenyNone);
    if (IsNothingThere(error)) return ModuleMatch::Missing;
    if (error != ERROR_SUCCESS || !FindCarriedModule(&carried, &carriedSize)) return ModuleMatch::Unknown;
    return size == carriedSize && memcmp(bytes.get(), carried, size) == 0 ? ModuleMatch::Carried : ModuleMatch::Other;
}

}  // namespace

ServerFacts ReadServerFacts(bool readModule) {
    ServerFacts facts;
    VersionReading version;
    IsVersionAtLeast(CURRENT_MODULE_VERSION, &version);
    facts.versionRead = version.status == ERROR_SUCCESS;
    facts.version = version.version;
    facts.marker = IsPatchMarkerPresent();
    facts.module = readModule ? CompareModule() : ModuleMatch::Unknown;
    return facts;
}

const char* StateWord(ServerState state) {
    switch (state) {
    case ServerState::Patched: return "patched";
    case ServerState::NeedsPatch: return "needs-patch";
    case ServerState::NotInstalled: return "not-installed";
    case ServerState::InProgress: return "in-progress";
    case ServerState::Interrupted: return "interrupted";
    case ServerState::Blocked: return "blocked";
    }
    return "unknown";
}

int StateExitCode(ServerState state) {
    switch (state) {
    case ServerState::Patched: return ERROR_SUCCESS;
    case ServerState::NeedsPatch: return 1;
    case ServerState::NotInstalled: return ERROR_PATCH_TARGET_NOT_FOUND;
    case ServerState::InProgress: return ERROR_INSTALL_ALREADY_RUNNING;
    case ServerState::Interrupted: return ERROR_INSTALL_SUSPEND;
    case ServerState::Blocked: return ERROR_INSTALL_FAILURE;
    }
    return ERROR_INSTALL_FAILURE;
}

void DescribeServer(ServerState state, const ServerFacts& facts, char* line, int size) {
    static const char* const modules[] = {"carried", "other", "missing", "unknown"};
    char version[16] = "none";
    if (facts.versionRead) wnsprintfA(version, sizeof version, "0x%08lX", facts.version);
    wnsprintfA(line, size, "state=%s version=%s marker=%s module=%s", StateWord(state), version,
               facts.marker ? "present" : "absent", modules[static_cast<int>(facts.module)]);
}

void WriteToStandardOutput(const char* line) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(output, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
    WriteFile(output, "\r\n", 2, &written, nullptr);
}

// What a user without administrator rights on the server can try against the patch run: a library
// planted beside the installer, links and files of their own where it writes, the copy of the
// previous module altered behind its back, the rollback record's key opened to others, and the
// run lock's name taken first. Wine enforces no permissions, so where a user could not even make
// the file or key on Windows, the test makes it as the administrator it runs as and shows what the
// run does with it; the permissions the run sets are read back as Wine keeps them.
#include "registry_helpers.h"
#include "squatter.h"
#include "unattended_run.h"

#include <sddl.h>

namespace {

using namespace unattended_run;

const std::string VICTIM = "C:\\KovPatchTests\\victim.txt";
const std::string VICTIM_BYTES = "someone else's file, which no run may change\r\n";
// Where the planted library says it was loaded.
const std::string PLANTED_MARKER = "C:\\KovPatchTests\\planted-library-loaded.txt";

// Names of system libraries that message boxes and windows load by name on some Windows. (Not
// imm32.dll: Wine's own user32 imports it, so Wine loads it before the installer's first line,
// where nothing of the installer's can act; Windows keeps it among its known libraries.)
constexpr const char* PLANTED_NAMES[] = {"uxtheme.dll", "dwmapi.dll", "msctf.dll", "lpk.dll", "usp10.dll"};

constexpr ACCESS_MASK ANY_WRITE = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                  FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK KEY_ANY_WRITE = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                      WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The rights an object's DACL allows the SID (given as text), summed over its entries.
ACCESS_MASK Allowed(const std::string& descriptor, const char* sidText) {
    BOOL present = FALSE, defaulted = FALSE;
    ACL* dacl = nullptr;
    PSID sid = nullptr;
    if (descriptor.empty() ||
        !GetSecurityDescriptorDacl(const_cast<char*>(descriptor.data()), &present, &dacl, &defaulted) ||
        !ConvertStringSidToSidA(sidText, &sid))
        return 0;
    ACCESS_MASK allowed = present && !dacl ? GENERIC_ALL : 0;  // no DACL: everyone, everything
    for (DWORD i = 0; present && dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            !(ace->Header.AceFlags & INHERIT_ONLY_ACE) && EqualSid(&ace->SidStart, sid))
            allowed |= ace->Mask;
    }
    LocalFree(sid);
    return allowed;
}

std::string FileSecurity(const std::string& path) {
    std::string bytes(4096, '\0');
    DWORD needed = 0;
    if (!GetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &bytes[0],
                          static_cast<DWORD>(bytes.size()), &needed))
        return std::string();
    return bytes;
}

std::string KeySecurity(const char* path) {
    RegKey key;
    std::string bytes(4096, '\0');
    DWORD size = static_cast<DWORD>(bytes.size());
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, key.put()) != ERROR_SUCCESS ||
        RegGetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &bytes[0], &size) !=
            ERROR_SUCCESS)
        return std::string();
    return bytes;
}

std::string Sddl(const std::string& descriptor) {
    char* text = nullptr;
    if (descriptor.empty() ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(const_cast<char*>(descriptor.data()), SDDL_REVISION_1,
                                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return "(none)";
    std::string sddl = text;
    LocalFree(text);
    return sddl;
}

DWORD Links(const std::string& path) {
    UniqueFile file(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    return file && GetFileInformationByHandle(file.get(), &information) ? information.nNumberOfLinks : 0;
}

// Gives the file or folder a DACL from SDDL, as its owner may.
bool SetFileDacl(const std::string& path, const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return false;
    const BOOL set = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return set != FALSE;
}

void RemoveFile(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

class LocalUser : public Unattended {
protected:
    void SetUp() override {
        Unattended::SetUp();
        RemoveFile(VICTIM);
        RemoveFile(PLANTED_MARKER);
        ASSERT_TRUE(sim::WriteFileBytes(VICTIM, VICTIM_BYTES));
    }
    void TearDown() override {
        RemoveFile(VICTIM);
        Unattended::TearDown();
    }
    static bool CopyFileBytes(const std::string& from, const std::string& to) {
        return sim::WriteFileBytes(to, sim::ReadFileBytes(from));
    }
};

// A library named like a system library, beside the installer where it was downloaded to, never
// runs: not for the usage, a box, a check or a patch.
TEST_F(LocalUser, ALibraryPlantedBesideTheInstallerNeverRuns) {
    const std::string download = "C:\\KovPatchTests\\Download\\";
    CreateDirectoryA(download.c_str(), nullptr);
    const std::string installer = download + "KOVPatch.exe";
    ASSERT_TRUE(CopyFileBytes(sim::InstallerUnderTest(KOVPATCH_EXE), installer));
    for (const char* name : PLANTED_NAMES) ASSERT_TRUE(CopyFileBytes(sim::WindowsPath(PLANTED_DLL), download + name));
    // Wine takes its own library of such a name before a file it finds, unless told otherwise;
    // Windows has no library of its own but the one in the system directory, and takes the first
    // file its search finds. CTest tells Wine so for this program (and so for the installer it
    // starts), as a Windows search would do.
    char overrides[1024] = {};
    GetEnvironmentVariableA("WINEDLLOVERRIDES", overrides, sizeof overrides);
    ASSERT_NE(strstr(overrides, "uxtheme"), nullptr) << "Wine would never load a planted library: " << overrides;

    const struct {
        const char* what;
        const char* arguments;
        int answer;
        DWORD exitCode;
    } runs[] = {
        {"the usage in a box", "/?", IDOK, 0},
        {"a run at the desktop, answered No", "", IDNO, 1602},
        {"a check", "/check", IDNO, 1},
        {"the usage under /quiet", "/quiet /?", IDNO, 0},
        {"an unattended patch", "/quiet", IDNO, 0},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.what);
        const boxes::Run done =
            boxes::RunAndAnswer("\"" + installer + "\" " + run.arguments, CAPTION, boxes::Answer(run.answer), 60000);
        EXPECT_TRUE(done.finished);
        EXPECT_EQ(done.exitCode, run.exitCode);
        EXPECT_EQ(GetFileAttributesA(PLANTED_MARKER.c_str()), INVALID_FILE_ATTRIBUTES)
            << "a planted library ran in the installer:\n" << sim::ReadFileBytes(PLANTED_MARKER);
        RemoveFile(PLANTED_MARKER);
    }
    for (const char* name : PLANTED_NAMES) RemoveFile(download + name);
    RemoveFile(installer);
    RemoveDirectoryA(download.c_str());
}

// At every name the installer writes, a hard link to someone else's file, or that file itself
// made read-only: the file stays as it was, byte for byte, and the run either succeeds with files
// of its own or stops before it changes anything.
TEST_F(LocalUser, FilesItWritesNeverFollowALink) {
    const std::string staging = AGENT_DIRECTORY + "kelvrim.tmp";
    const std::string copy = sim::RollbackFolder() + "kelvrim.old";
    const std::string linkedLog = "C:\\KovPatchTests\\linked.log";
    const struct {
        const char* what;
        std::string name;
        bool readOnly;  // the victim is read-only, so its link cannot be removed either
        DWORD exitCode;
        const char* logged;  // the line that says why the run stopped, for the two files of the run
    } cases[] = {
        {"the staging file, linked", staging, false, 0, nullptr},
        {"the staging file, linked to a read-only file", staging, true, 1603,
         "* is in the way and cannot be removed, error * (*)"},
        {"the copy, linked", copy, false, 0, nullptr},
        {"the copy, linked to a read-only file", copy, true, 1603,
         "save for a rollback: module * cannot be copied to *: * is in the way and cannot be removed, error * (*)"},
        {"the log, linked", linkedLog, false, 1622, nullptr},
        {"the log, linked to a read-only file", linkedLog, true, 1622, nullptr},
    };
    int variant = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (variant > 0) SetUp();
        CreateDirectoryA(sim::RollbackFolder().c_str(), nullptr);
        ASSERT_TRUE(CreateHardLinkA(c.name.c_str(), VICTIM.c_str(), nullptr)) << c.name;
        if (c.readOnly) {
            ASSERT_TRUE(SetFileAttributesA(VICTIM.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        const bool isLog = c.name == linkedLog;
        const std::string log = isLog ? linkedLog : LOG_FILE;
        std::string arguments = QuietSwitch(variant) + " " + LogSwitch(variant) + " " + log;
        ++variant;
        if (!isLog) DeleteFileA(LOG_FILE.c_str());
        const boxes::Run run = RunInstaller(boxes::Answer(IDYES), arguments);
        EXPECT_EQ(run.exitCode, c.exitCode);
        SetFileAttributesA(VICTIM.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(sim::ReadFileBytes(VICTIM), VICTIM_BYTES) << "the run wrote through a link";
        if (c.exitCode == 0) {
            EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built);
            EXPECT_EQ(Links(MODULE_FILE), 1u);
            ExpectNothingLeft();
        } else {
            ExpectUntouched();
        }
        if (c.logged) {
            const std::vector<LogLine> lines = ParseLog(sim::ReadFileBytes(LOG_FILE), LOG_FILE);
            bool found = false;
            for (const LogLine& line : lines) found = found || Matches(line.text.c_str(), c.logged);
            EXPECT_TRUE(found) << "no line like\n  " << c.logged << "\nin\n" << sim::ReadFileBytes(LOG_FILE);
            ASSERT_FALSE(lines.empty());
            EXPECT_TRUE(Matches(lines.back().text.c_str(), "outcome: nothing changed, as *; exit code 1603"))
                << lines.back().text;
        }
        RemoveFile(c.name);
    }
}

// A staging file someone made beforehand, that everyone may write: its permissions do not reach the
// module. The module the run leaves is its own file, with explicit permissions: everyone may read
// and run it, only administrators and SYSTEM may change it.
TEST_F(LocalUser, AModuleNeverKeepsThePermissionsOfAFileFoundInItsPlace) {
    const std::string staging = AGENT_DIRECTORY + "kelvrim.tmp";
    ASSERT_TRUE(sim::WriteFileBytes(staging, "planted"));
    ASSERT_TRUE(SetFileDacl(staging, "D:(A;;FA;;;WD)"));
    ASSERT_NE(Allowed(FileSecurity(staging), "WD") & ANY_WRITE, 0u) << Sddl(FileSecurity(staging));

    std::string arguments;
    const Outcome outcome = Run(Mode::Quiet, 0, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(outcome.run.exitCode, 0u);
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built);
    const std::string module = FileSecurity(MODULE_FILE);
    ASSERT_FALSE(module.empty());
    EXPECT_EQ(Allowed(module, "WD") & ANY_WRITE, 0u) << "everyone may change the module: " << Sddl(module);
    EXPECT_EQ(Allowed(module, "WD") & (FILE_READ_DATA | FILE_EXECUTE), static_cast<DWORD>(FILE_READ_DATA | FILE_EXECUTE))
        << "not everyone may read and run the module: " << Sddl(module);
    ExpectNothingLeft();
}

// The copy a rollback puts back is kept where only administrators and SYSTEM can write, and one
// altered after the record was written, even to the same size, is never put back.
TEST_F(LocalUser, ACopyAlteredBehindTheRunsBackIsNeverPutBack) {
    KillRightAfterTheDeployment(0);
    ASSERT_TRUE(sim::ValueExists(ROLLBACK_KEY, ROLLBACK_VALUE));
    std::string arguments;

    const std::string copy = sim::RollbackFolder() + "kelvrim.old";
    EXPECT_EQ(GetFileAttributesA((AGENT_DIRECTORY + "kelvrim.old").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the copy is kept beside the module, where others may write";
    std::string bytes = sim::ReadFileBytes(copy);
    ASSERT_TRUE(bytes == shipped) << "no copy of the previous module in " << sim::RollbackFolder();
    for (const std::string& path : {sim::RollbackFolder(), copy}) {
        const std::string descriptor = FileSecurity(path);
        ASSERT_FALSE(descriptor.empty()) << path;
        for (const char* others : {"WD", "BU", "AU"})
            EXPECT_EQ(Allowed(descriptor, others) & ANY_WRITE, 0u) << path << ": " << Sddl(descriptor);
    }

    bytes[bytes.size() / 2] ^= 0x01;  // same size, one bit changed
    ASSERT_TRUE(sim::WriteFileBytes(copy, bytes));
    const Outcome next = Run(Mode::Quiet, 1, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(next.run.exitCode, 1603u);
    ASSERT_FALSE(next.log.empty());
    EXPECT_TRUE(Matches(next.log.back().text.c_str(), "rollback incomplete: *")) << next.log.back().text;
    EXPECT_TRUE(sim::ReadFileBytes(MODULE_FILE) == built) << "an altered copy was put back";
    EXPECT_TRUE(sim::ValueExists(ROLLBACK_KEY, ROLLBACK_VALUE)) << "the record went";
}

// The record is trusted to start and stop services and to rewrite the settings key: its key is
// made for administrators and SYSTEM alone, and a record in a key that others may write is refused.
TEST_F(LocalUser, ARecordInAKeyOthersMayWriteIsRefused) {
    KillAtTheFirstStep(0);
    const std::string made = KeySecurity(ROLLBACK_KEY);
    ASSERT_FALSE(made.empty());
    for (const char* others : {"WD", "BU", "AU", "CO"})
        EXPECT_EQ(Allowed(made, others) & KEY_ANY_WRITE, 0u) << Sddl(made);
    EXPECT_NE(Allowed(made, "BA") & KEY_SET_VALUE, 0u) << Sddl(made);
    EXPECT_NE(Allowed(made, "SY") & KEY_SET_VALUE, 0u) << Sddl(made);

    ASSERT_TRUE(SetKeyDacl(ROLLBACK_KEY, "D:P(A;;KA;;;BA)(A;;KA;;;SY)(A;;KA;;;BU)"));
    std::string arguments;
    const Outcome refused = Run(Mode::Quiet, 1, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(refused.run.exitCode, 1603u);
    ExpectLog(refused, Started(Mode::Quiet, arguments) +
                           Lines{"interrupted run found, but its record in HKLM\\SOFTWARE\\TAVRIX\\NIVRAEnterprise\\"
                                 "KOVPatch is refused: its key may be changed by S-1-5-32-545, not only by "
                                 "Administrators and SYSTEM"} +
                           Ended("nothing changed, as the record of an interrupted run cannot be used", 1603));
    ExpectStates({{"w3svc", STOPPED}, {"SNMP", RUNNING}, {"lunabe", RUNNING}, {"drovek", RUNNING}});
    EXPECT_TRUE(sim::ValueExists(ROLLBACK_KEY, ROLLBACK_VALUE));

    // Made right again by an administrator, the record is taken and the server put back.
    ASSERT_TRUE(SetKeyDacl(ROLLBACK_KEY, "D:P(A;;KA;;;BA)(A;;KA;;;SY)"));
    const Outcome healed = Run(Mode::Quiet, 2, boxes::Answer(IDYES), &arguments);
    EXPECT_EQ(healed.run.exitCode, 0u);
    ExpectNothingLeft();
}

// An object that another user made under the run lock's name is no run: it never turns a run away
// with 1618, nor makes /check answer in-progress. The run stops before any change and says what
// holds the name; /check says the server is blocked.
TEST_F(LocalUser, ANameTakenByAnotherUserNeverPassesForARun) {
    const struct {
        const char* what;
        const char* kind;
        const char* sddl;
        const char* holder;
    } squatters[] = {
        {"an event", "event", "", "an event, owned by *"},
        {"a mutex owned by Users", "mutex", "O:BUD:(A;;GA;;;WD)", "a mutex owned by S-1-5-32-545"},
    };
    int variant = 0;
    for (const auto& s : squatters) {
        SCOPED_TRACE(s.what);
        Squatter squatter(sim::WindowsPath(SQUATTER_EXE), s.kind, RUN_LOCK, s.sddl);
        ASSERT_TRUE(squatter.Ready()) << squatter.Said();
        const std::string holds = std::string("the run lock ") + RUN_LOCK + " is held by " + s.holder +
                                  ", not by a run of this patch";

        std::string arguments;
        const Outcome quiet = Run(Mode::Quiet, variant++, boxes::Answer(IDYES), &arguments);
        EXPECT_EQ(quiet.run.exitCode, 1603u);
        ExpectLog(quiet, Started(Mode::Quiet, arguments) + Lines{holds} +
                             Ended("nothing changed, as another program holds the run lock's name", 1603));
        const Outcome interactive = Run(Mode::Interactive, variant++, boxes::Answer(IDYES), &arguments);
        EXPECT_EQ(interactive.run.exitCode, 1603u);
        EXPECT_EQ(Texts(interactive.run),
                  std::vector<std::string>{"Another program holds the name this patch uses to keep its runs apart, "
                                           "so nothing was changed."});
        ExpectUntouched();

        const boxes::Run check =
            boxes::RunAndAnswer(InstallerCommand("/check /log " + LOG_FILE), CAPTION, boxes::Answer(IDNO), 60000, true);
        EXPECT_EQ(check.exitCode, 1603u);
        EXPECT_TRUE(Matches(check.output.c_str(), "state=blocked version=0x02000010 marker=absent module=unknown\r\n"))
            << check.output;
        EXPECT_TRUE(Logged(sim::ReadFileBytes(LOG_FILE), holds.c_str())) << sim::ReadFileBytes(LOG_FILE);
    }
}

}  // namespace

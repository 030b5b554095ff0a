// Who may change what the installer makes with administrator rights: the security it gives each new
// file, folder, key and lock, and the check of one it finds. Windows enforces these; Wine keeps
// some of them and enforces none.
#ifndef INSTALLER_PERMISSIONS_H
#define INSTALLER_PERMISSIONS_H

#include <windows.h>

#include "common/handles.h"

enum class Secured {
    File,             // Administrators and SYSTEM: full control; no one else anything
    EveryoneRunsFile, // the same, and everyone may read and run it, as a system library
    Folder,           // as File, and passed down to what is made inside
    Key,              // as Folder, owned by Administrators
    Lock,             // a kernel object, owned by Administrators
};

// The security attributes of a new object of that kind. Empty (Get() is null) only when memory
// ran out: the object must then not be made at all.
class ExplicitSecurity {
public:
    explicit ExplicitSecurity(Secured kind);
    SECURITY_ATTRIBUTES* Get() { return descriptor_ ? &attributes_ : nullptr; }
    PSECURITY_DESCRIPTOR Descriptor() const { return descriptor_.get(); }

private:
    LocalBlock descriptor_;
    SECURITY_ATTRIBUTES attributes_;
};

// The rights that change a file or folder, or a key.
constexpr ACCESS_MASK FILE_CHANGE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                           FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                           GENERIC_ALL;
constexpr ACCESS_MASK KEY_CHANGE_RIGHTS = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                          WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Administrators, SYSTEM, or the user this process runs as.
bool IsTrusted(PSID sid);
// Whether this process runs with the Administrators group enabled. Windows 2000, XP and 2003 start
// the installer without it; later Windows refuse to, as its manifest asks for it.
bool RunsAsAdministrator();
// Whether only those may change what the descriptor guards: its owner is one of them, and its DACL
// allows no one else any of `changeRights`. Otherwise `who` says who else may, as a predicate for
// the log: "is owned by S-1-...", "may be changed by S-1-...".
bool OnlyAdministratorsMayChange(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK changeRights, char* who, int whoSize);
// "S-1-5-32-545" for a SID; "no one" for none.
void SidText(PSID sid, char* text, int size);

#endif

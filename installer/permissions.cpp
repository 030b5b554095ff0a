// Explicit security for what the installer makes, and the check of what it finds.
#include "permissions.h"

#include <sddl.h>
#include <shlwapi.h>

namespace {

// The DACL is protected: nothing is inherited from the folder or key above.
const char* SddlOf(Secured kind) {
    switch (kind) {
    case Secured::File: return "D:P(A;;FA;;;BA)(A;;FA;;;SY)";
    case Secured::EveryoneRunsFile: return "D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FRFX;;;WD)";
    case Secured::Folder: return "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
    case Secured::Key: return "O:BAD:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)";
    case Secured::Lock: return "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)";
    }
    return "";
}

// S-1-5-32-544 and S-1-5-18, laid out as SIDs are.
const BYTE ADMINISTRATORS[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
const BYTE LOCAL_SYSTEM[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

bool IsOwnUser(PSID sid) {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } own;
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenUser, &own, sizeof own, &size) && EqualSid(own.user.User.Sid, sid);
}

}  // namespace

ExplicitSecurity::ExplicitSecurity(Secured kind) : attributes_{sizeof attributes_, nullptr, FALSE} {
    PSECURITY_DESCRIPTOR made = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(SddlOf(kind), SDDL_REVISION_1, &made, nullptr))
        descriptor_.reset(made);
    attributes_.lpSecurityDescriptor = descriptor_.get();
}

bool IsTrusted(PSID sid) {
    return sid && IsValidSid(sid) &&
           (EqualSid(sid, const_cast<BYTE*>(ADMINISTRATORS)) || EqualSid(sid, const_cast<BYTE*>(LOCAL_SYSTEM)) ||
            IsOwnUser(sid));
}

bool RunsAsAdministrator() {
    BOOL member = FALSE;
    return CheckTokenMembership(nullptr, const_cast<BYTE*>(ADMINISTRATORS), &member) && member;
}

void SidText(PSID sid, char* text, int size) {
    char* converted = nullptr;
    if (sid && ConvertSidToStringSidA(sid, &converted)) {
        lstrcpynA(text, converted, size);
        LocalFree(converted);
    } else {
        lstrcpynA(text, "no one", size);
    }
}

bool OnlyAdministratorsMayChange(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK changeRights, char* who, int whoSize) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    ACL* dacl = nullptr;
    char sid[96];
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !IsTrusted(owner)) {
        SidText(owner, sid, sizeof sid);
        wnsprintfA(who, whoSize, "is owned by %s, not by Administrators or SYSTEM", sid);
        return false;
    }
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) {
        lstrcpynA(who, "is open to everyone: it has no DACL", whoSize);
        return false;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
        // Entries that only pass down to what is made below, and denials, give no one anything here.
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->AceFlags & INHERIT_ONLY_ACE)) continue;
        const auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID grantee = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & changeRights) == 0 || IsTrusted(grantee)) continue;
        SidText(grantee, sid, sizeof sid);
        wnsprintfA(who, whoSize, "may be changed by %s, not only by Administrators and SYSTEM", sid);
        return false;
    }
    return true;
}

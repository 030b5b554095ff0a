// A registry key whose access is cut down for one scope: tests of what a key without full access
// does. Full access comes back on every way out, so the clean-up can remove the key; the key's
// owner may always change its DACL.
#ifndef TESTS_SUPPORT_RESTRICTED_KEY_H
#define TESTS_SUPPORT_RESTRICTED_KEY_H

#include <windows.h>

#include "../../common/handles.h"

#include <sddl.h>

// Gives the key this DACL, or with null none at all (full access).
inline bool SetKeyDacl(HKEY root, const char* path, ACL* dacl) {
    RegKey key;
    if (RegOpenKeyExA(root, path, 0, WRITE_DAC, key.put()) != ERROR_SUCCESS) return false;
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, dacl != nullptr, dacl, FALSE);
    return RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
}

// Gives the HKLM key a DACL from SDDL, and its owner where the SDDL names one, as an administrator
// may.
inline bool SetKeyDacl(const char* path, const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    RegKey key;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return false;
    const SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION | (sddl[0] == 'O' ? OWNER_SECURITY_INFORMATION : 0);
    const bool set = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC | WRITE_OWNER, key.put()) == ERROR_SUCCESS &&
                     RegSetKeySecurity(key.get(), parts, descriptor) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return set;
}

class RestrictedKey {
public:
    // Everyone gets `rights` and nothing more; 0: no one gets anything.
    RestrictedKey(HKEY root, const char* path, DWORD rights) : root_(root), path_(path) {
        char buffer[256];
        ACL* acl = reinterpret_cast<ACL*>(buffer);
        InitializeAcl(acl, sizeof buffer, ACL_REVISION);
        if (rights != 0) {
            SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
            PSID everyone = nullptr;
            AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
            AddAccessAllowedAce(acl, ACL_REVISION, rights, everyone);
            FreeSid(everyone);  // the ACE holds a copy
        }
        restricted_ = SetKeyDacl(root_, path_, acl);
    }
    ~RestrictedKey() {
        if (restricted_) SetKeyDacl(root_, path_, nullptr);
    }
    RestrictedKey(const RestrictedKey&) = delete;
    RestrictedKey& operator=(const RestrictedKey&) = delete;
    bool Restricted() const { return restricted_; }
    // Whether the platform enforces it: a full-access open now fails.
    bool Enforced() const {
        RegKey probe;
        return RegOpenKeyExA(root_, path_, 0, KEY_ALL_ACCESS, probe.put()) != ERROR_SUCCESS;
    }

private:
    HKEY root_;
    const char* path_;
    bool restricted_ = false;
};

#endif

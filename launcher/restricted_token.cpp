#include "launcher/restricted_token.h"

PSID MakeAdministratorsSid(const PlatformCalls& platform)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!platform.AllocateAndInitializeSid(&ntAuthority, 2,
                                           SECURITY_BUILTIN_DOMAIN_RID,
                                           DOMAIN_ALIAS_RID_ADMINS,
                                           0, 0, 0, 0, 0, 0, &sid)) {
        return nullptr;
    }
    return sid;
}

HANDLE OpenOwnToken(const PlatformCalls& platform)
{
    HANDLE token = nullptr;
    if (!platform.OpenProcessToken(platform.GetCurrentProcess(), kProcessTokenAccess, &token)) {
        return nullptr;
    }
    return token;
}

HANDLE MakeRestrictedToken(const PlatformCalls& platform, HANDLE processToken,
                           PSID administratorsSid)
{
    // One entry: the group to make deny-only. Its attributes are ignored by
    // the platform and left zero.
    SID_AND_ATTRIBUTES disable;
    disable.Sid = administratorsSid;
    disable.Attributes = 0;
    // No flags: every privilege stays, the token is no limited user's.
    return MakeRestrictedCopy(platform, processToken, 0, 1, &disable, 0, nullptr);
}

HANDLE MakeRestrictedCopy(const PlatformCalls& platform, HANDLE processToken, DWORD flags,
                          DWORD disableCount, SID_AND_ATTRIBUTES* disable, DWORD deleteCount,
                          LUID_AND_ATTRIBUTES* privilegesToDelete)
{
    HANDLE restricted = nullptr;
    if (!platform.CreateRestrictedToken(processToken,
                                        flags,                            // never sandbox-inert
                                        disableCount, disable,            // deny-only groups
                                        deleteCount, privilegesToDelete,  // privileges gone
                                        0, nullptr,                       // no restricting SIDs
                                        &restricted)) {
        return nullptr;
    }
    return restricted;
}

// The token steps: the caller's own token, the Administrators SID, and the
// restricted copy of the token in which that SID is deny-only.
#pragma once

#include "platform/platform_calls.h"

// Token access the launcher asks for: enough to duplicate the token into a
// restricted one, read it, change its default DACL, and assign the copy to
// a new process. The copy's handle has the access of this one.
const DWORD kProcessTokenAccess =
    TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT;

// Builds the well-known SID S-1-5-32-544 (BUILTIN\Administrators) from its
// authority and sub-authorities. Returns null when the platform refuses; the
// caller releases a non-null result with FreeSid.
PSID MakeAdministratorsSid(const PlatformCalls& platform);

// Opens the calling process's own primary token. Returns null on failure.
HANDLE OpenOwnToken(const PlatformCalls& platform);

// Makes a new primary token from `processToken` in which `administratorsSid`
// is deny-only and nothing else changes: no privilege deleted, no restricting
// SID added, no flags. Returns null on failure.
HANDLE MakeRestrictedToken(const PlatformCalls& platform, HANDLE processToken,
                           PSID administratorsSid);

// Makes a new primary token from `processToken` with CreateRestrictedToken's
// `flags`, in which the `disableCount` SIDs of `disable` are deny-only and
// the `deleteCount` privileges of `privilegesToDelete` are gone; no
// restricting SID. Returns null on failure.
HANDLE MakeRestrictedCopy(const PlatformCalls& platform, HANDLE processToken, DWORD flags,
                          DWORD disableCount, SID_AND_ATTRIBUTES* disable, DWORD deleteCount,
                          LUID_AND_ATTRIBUTES* privilegesToDelete);

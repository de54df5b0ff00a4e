// The limited form's token: the groups, privileges and integrity level of
// an administrator's unelevated session. Every group Windows counts as an administrators' equal is
// deny-only, every privilege but a standard user's is gone, and the
// integrity level is at most Medium.
#pragma once

#include "platform/platform_calls.h"

// More bytes of groups than any token holds (Windows allows a token about a
// thousand, some forty bytes each): a larger size is refused with
// ERROR_NOT_ENOUGH_MEMORY before the room for it is added up.
const DWORD kMostTokenGroupsBytes = 0x1000000;
// The most bytes of the caller's privileges the launcher reads; Windows
// knows some three dozen privileges, twelve bytes each.
const DWORD kTokenPrivilegesBufferSize = 640;

// S-1-16-8192, the Medium integrity level.
extern const SID kMediumIntegritySid;

// Whether Windows counts `sid` as an administrators' equal: the BUILTIN
// aliases Administrators, Power Users, Account, Server, Print and Backup
// Operators, RAS servers, Pre-Windows 2000 access, Network Configuration and
// Cryptographic Operators (S-1-5-32-RID); a domain's read-only domain
// controllers of the enterprise, admins, domain controllers, cert, schema,
// enterprise and policy admins and read-only domain controllers
// (S-1-5-21-x-y-z-RID); and "local account and member of Administrators"
// (S-1-5-114). The whole SID is matched, never its last part alone.
bool IsAdministratorsEquivalent(const SID* sid);

// Whether a standard user's token has the privilege `luid` too: change
// notify, shut down, undock, increase working set, time zone.
bool IsStandardUserPrivilege(LUID luid);

// Reads `token`'s groups whole, however many, into memory from the process
// heap: `*groups` gets the TOKEN_GROUPS record (`*groupsSize` bytes), with
// room behind it for a list of one SID_AND_ATTRIBUTES more than it has
// groups. The caller releases it with LocalFree. Returns 0, or the error
// code of the step that failed (ERROR_NOT_ENOUGH_MEMORY for a size beyond
// kMostTokenGroupsBytes), and then holds nothing.
DWORD ReadTokenGroups(const PlatformCalls& platform, HANDLE token, unsigned char** groups,
                      DWORD* groupsSize);

// Makes the limited copy of `processToken` in `*limitedToken`: the
// Administrators SID and every other administrators' equal among the
// caller's groups deny-only, every privilege but a standard user's deleted,
// the other groups and the kept privileges as they were. From an elevated
// caller it asks Windows for a limited user's token too (LUA_TOKEN), so
// that its own table of administrators' groups and privileges applies as
// well; from a caller Windows does not count as elevated (a filtered
// administrator's or a standard user's token) it does not. The caller's
// groups are read whole, however many, into memory from the process heap
// that is released before this returns. Returns 0, or the error code of
// the step that failed.
DWORD MakeLimitedToken(const PlatformCalls& platform, HANDLE processToken, PSID administratorsSid,
                       HANDLE* limitedToken);

// Reads `token`'s integrity level into `*level`: the last sub-authority of
// its label, S-1-16-<level> (0, untrusted, for a label without one).
// Returns 0, or the error code of the query.
DWORD ReadIntegrityLevel(const PlatformCalls& platform, HANDLE token, DWORD* level);

// Gives `limitedToken`, whose integrity level is `*level`, the Medium level
// when its own is above Medium, and then makes `*level` Medium; leaves both
// alone otherwise. Returns 0, or the error code of the step that failed.
DWORD LowerIntegrityToMedium(const PlatformCalls& platform, HANDLE limitedToken, DWORD* level);

#include "launcher/limited_token.h"

#include "launcher/failure.h"
#include "launcher/record_buffer.h"
#include "launcher/restricted_token.h"

#include <stddef.h>

namespace {

// SECURITY_NT_AUTHORITY's last byte; its first five are zero.
const BYTE kNtAuthority = 5;

// RIDs and LUIDs below 65536, kept as WORDs.
const WORD kBuiltinAdministratorsEquivalents[] = {
    DOMAIN_ALIAS_RID_ADMINS,           // 544 Administrators
    DOMAIN_ALIAS_RID_POWER_USERS,      // 547
    DOMAIN_ALIAS_RID_ACCOUNT_OPS,      // 548
    DOMAIN_ALIAS_RID_SYSTEM_OPS,       // 549 Server Operators
    DOMAIN_ALIAS_RID_PRINT_OPS,        // 550
    DOMAIN_ALIAS_RID_BACKUP_OPS,       // 551
    DOMAIN_ALIAS_RID_RAS_SERVERS,      // 553
    DOMAIN_ALIAS_RID_PREW2KCOMPACCESS, // 554
    DOMAIN_ALIAS_RID_NETWORK_CONFIGURATION_OPS,  // 556
    DOMAIN_ALIAS_RID_CRYPTO_OPERATORS, // 569
};
const WORD kDomainAdministratorsEquivalents[] = {
    DOMAIN_GROUP_RID_ENTERPRISE_READONLY_DOMAIN_CONTROLLERS,  // 498
    DOMAIN_GROUP_RID_ADMINS,           // 512 Domain Admins
    DOMAIN_GROUP_RID_CONTROLLERS,      // 516
    DOMAIN_GROUP_RID_CERT_ADMINS,      // 517
    DOMAIN_GROUP_RID_SCHEMA_ADMINS,    // 518
    DOMAIN_GROUP_RID_ENTERPRISE_ADMINS,// 519
    DOMAIN_GROUP_RID_POLICY_ADMINS,    // 520
    DOMAIN_GROUP_RID_READONLY_CONTROLLERS,  // 521
};
// S-1-5-114: a local account that is a member of Administrators.
const DWORD kLocalAccountAndAdministratorRid = 114;

// The LUIDs of a standard user's privileges, fixed by Windows.
const WORD kStandardUserPrivileges[] = {
    19,   // SeShutdownPrivilege
    23,   // SeChangeNotifyPrivilege
    25,   // SeUndockPrivilege
    33,   // SeIncreaseWorkingSetPrivilege
    34,   // SeTimeZonePrivilege
};

// Whether `value` is one of the `count` values at `values`. Its own
// function, so that its loop is not unrolled once for each table.
__attribute__((noinline)) bool Holds(const WORD* values, size_t count, DWORD value)
{
    for (size_t i = 0; i < count; ++i) {
        if (values[i] == value) {
            return true;
        }
    }
    return false;
}

bool IsNtAuthority(const SID* sid)
{
    const BYTE* authority = sid->IdentifierAuthority.Value;
    for (int i = 0; i < 5; ++i) {
        if (authority[i] != 0) {
            return false;
        }
    }
    return authority[5] == kNtAuthority;
}

// Where the list of groups to make deny-only begins after `size` bytes of
// the caller's groups: aligned for its entries.
size_t AlignedToListEntry(size_t size)
{
    return (size + alignof(SID_AND_ATTRIBUTES) - 1) / alignof(SID_AND_ATTRIBUTES) *
           alignof(SID_AND_ATTRIBUTES);
}

// How many entries of a list the room behind `size` bytes of groups holds.
size_t RoomForGroups(size_t size)
{
    return size / sizeof(SID_AND_ATTRIBUTES) + 1;
}

}  // namespace

const SID kMediumIntegritySid = {SID_REVISION, 1, SECURITY_MANDATORY_LABEL_AUTHORITY,
                                 {SECURITY_MANDATORY_MEDIUM_RID}};

bool IsAdministratorsEquivalent(const SID* sid)
{
    if (!IsNtAuthority(sid)) {
        return false;
    }
    const DWORD* part = sid->SubAuthority;
    switch (sid->SubAuthorityCount) {
    case 1:
        return part[0] == kLocalAccountAndAdministratorRid;
    case 2:
        return part[0] == SECURITY_BUILTIN_DOMAIN_RID &&
               Holds(kBuiltinAdministratorsEquivalents,
                     sizeof kBuiltinAdministratorsEquivalents / sizeof(WORD), part[1]);
    case 5:
        return part[0] == SECURITY_NT_NON_UNIQUE &&
               Holds(kDomainAdministratorsEquivalents,
                     sizeof kDomainAdministratorsEquivalents / sizeof(WORD), part[4]);
    default:
        return false;
    }
}

bool IsStandardUserPrivilege(LUID luid)
{
    return luid.HighPart == 0 &&
           Holds(kStandardUserPrivileges, sizeof kStandardUserPrivileges / sizeof(WORD), luid.LowPart);
}

// The copy made from groups the caller's token has already written into
// `groups` (`groupsSize` bytes), with room behind them for `room` entries
// of the list of groups to make deny-only.
static DWORD MakeCopyFromGroups(const PlatformCalls& platform, HANDLE processToken,
                                PSID administratorsSid, unsigned char* groups, size_t groupsSize,
                                size_t room, HANDLE* limitedToken)
{
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled before it is read
    RecordBuffer<TOKEN_PRIVILEGES, kTokenPrivilegesBufferSize> privileges;
    DWORD privilegesSize = 0;
    if (!platform.GetTokenInformation(processToken, TokenPrivileges, privileges.bytes,
                                      sizeof privileges.bytes, &privilegesSize)) {
        return FailureCode(platform);
    }

    // The groups to make deny-only, listed after what the platform wrote,
    // where the groups' SIDs stay: Administrators first, as in the default
    // form, then every other administrators' equal the caller has. There is
    // room for one entry more than the caller has groups.
    SID_AND_ATTRIBUTES* disable =
        reinterpret_cast<SID_AND_ATTRIBUTES*>(groups + AlignedToListEntry(groupsSize));
    disable[0].Sid = administratorsSid;
    disable[0].Attributes = 0;
    DWORD disableCount = 1;
    const TOKEN_GROUPS* caller = reinterpret_cast<const TOKEN_GROUPS*>(groups);
    for (DWORD i = 0; i < caller->GroupCount; ++i) {
        const SID* sid = static_cast<const SID*>(caller->Groups[i].Sid);
        // Administrators itself, an equal of two parts, is first already.
        if (!IsAdministratorsEquivalent(sid) ||
            (sid->SubAuthorityCount == 2 && sid->SubAuthority[1] == DOMAIN_ALIAS_RID_ADMINS)) {
            continue;
        }
        if (disableCount == room) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        disable[disableCount].Sid = caller->Groups[i].Sid;
        disable[disableCount].Attributes = 0;
        ++disableCount;
    }

    // The privileges to delete, gathered at the front of the caller's own
    // list: every one a standard user does not have.
    TOKEN_PRIVILEGES* held = RecordIn(privileges);
    DWORD deleteCount = 0;
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
        if (!IsStandardUserPrivilege(held->Privileges[i].Luid)) {
            held->Privileges[deleteCount++] = held->Privileges[i];
        }
    }

    // Windows' own filter (LUA_TOKEN) is asked of an elevated token only.
    // A token it does not count as elevated, a filtered administrator's
    // (Explorer's, where UAC is on) or a standard user's, has no elevated
    // rights for it to take away, and what CreateRestrictedToken does with
    // the flag on such a token is not documented; the lists above do the
    // filtering there.
    TOKEN_ELEVATION elevation;
    DWORD returned = 0;
    if (!platform.GetTokenInformation(processToken, TokenElevation, &elevation, sizeof elevation,
                                      &returned)) {
        return FailureCode(platform);
    }
    *limitedToken = MakeRestrictedCopy(platform, processToken,
                                       elevation.TokenIsElevated != 0 ? LUA_TOKEN : 0, disableCount,
                                       disable, deleteCount, held->Privileges);
    return *limitedToken != nullptr ? 0 : FailureCode(platform);
}

DWORD ReadTokenGroups(const PlatformCalls& platform, HANDLE token, unsigned char** groups,
                      DWORD* groupsSize)
{
    // The size first: asked with no buffer, the query fails with
    // ERROR_INSUFFICIENT_BUFFER and says how many bytes the groups take.
    *groupsSize = 0;
    if (!platform.GetTokenInformation(token, TokenGroups, nullptr, 0, groupsSize)) {
        DWORD error = FailureCode(platform);
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            return error;
        }
    }
    // Every group takes an entry of the record, so the token has fewer
    // groups than the record has entries' worth of bytes: room for that
    // many and one more is room for any list made of them.
    if (*groupsSize > kMostTokenGroupsBytes) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    size_t bytes = AlignedToListEntry(*groupsSize) + RoomForGroups(*groupsSize) * sizeof(SID_AND_ATTRIBUTES);
    // Fixed memory of the process heap, aligned for any record.
    *groups = static_cast<unsigned char*>(platform.LocalAlloc(LMEM_FIXED, bytes));
    if (*groups == nullptr) {
        return FailureCode(platform);
    }
    if (!platform.GetTokenInformation(token, TokenGroups, *groups, *groupsSize, groupsSize)) {
        DWORD error = FailureCode(platform);
        platform.LocalFree(*groups);
        return error;
    }
    return 0;
}

DWORD MakeLimitedToken(const PlatformCalls& platform, HANDLE processToken, PSID administratorsSid,
                       HANDLE* limitedToken)
{
    unsigned char* groups = nullptr;
    DWORD groupsSize = 0;
    DWORD status = ReadTokenGroups(platform, processToken, &groups, &groupsSize);
    if (status != 0) {
        return status;
    }
    status = MakeCopyFromGroups(platform, processToken, administratorsSid, groups, groupsSize,
                                RoomForGroups(groupsSize), limitedToken);
    platform.LocalFree(groups);
    return status;
}

DWORD ReadIntegrityLevel(const PlatformCalls& platform, HANDLE token, DWORD* level)
{
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled before it is read
    RecordBuffer<TOKEN_MANDATORY_LABEL, sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE> label;
    DWORD returned = 0;
    if (!platform.GetTokenInformation(token, TokenIntegrityLevel, label.bytes, sizeof label.bytes,
                                      &returned)) {
        return FailureCode(platform);
    }
    // The level is the label's last sub-authority.
    const SID* sid = static_cast<const SID*>(RecordIn(label)->Label.Sid);
    *level = sid->SubAuthorityCount == 0 ? 0 : sid->SubAuthority[sid->SubAuthorityCount - 1];
    return 0;
}

DWORD LowerIntegrityToMedium(const PlatformCalls& platform, HANDLE limitedToken, DWORD* level)
{
    if (*level <= SECURITY_MANDATORY_MEDIUM_RID) {
        return 0;
    }
    TOKEN_MANDATORY_LABEL medium;
    // The platform only reads the SID; the field is not const.
    medium.Label.Sid = const_cast<SID*>(&kMediumIntegritySid);
    medium.Label.Attributes = SE_GROUP_INTEGRITY;
    if (!platform.SetTokenInformation(limitedToken, TokenIntegrityLevel, &medium,
                                      sizeof medium + sizeof kMediumIntegritySid)) {
        return FailureCode(platform);
    }
    *level = SECURITY_MANDATORY_MEDIUM_RID;
    return 0;
}

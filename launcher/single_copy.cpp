#include "launcher/single_copy.h"

#include "launcher/failure.h"
#include "launcher/limited_token.h"

// Room for the ids of 65536 running processes, far more than Windows runs.
const DWORD kProcessListBytes = 0x40000;

// Whether the two SIDs are the same, byte for byte: the revision and the
// count first, so a shorter one is never read past its end.
static bool SameSid(const void* a, const void* b)
{
    const BYTE* x = static_cast<const BYTE*>(a);
    const BYTE* y = static_cast<const BYTE*>(b);
    size_t size = sizeof(SID) - sizeof(DWORD) + static_cast<const SID*>(a)->SubAuthorityCount * sizeof(DWORD);
    for (size_t i = 0; i < size; ++i) {
        if (x[i] != y[i]) {
            return false;
        }
    }
    return true;
}

// Reads what identifies the file `name` on this machine into `identity`:
// its volume's serial number and its index on that volume. Opened for its
// attributes alone, beside any other use of it. Returns whether it could.
static bool ReadFileIdentity(const PlatformCalls& platform, const char* name,
                             BY_HANDLE_FILE_INFORMATION* identity)
{
    HANDLE file = platform.CreateFileA(name, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr,   // a handle no child inherits
                                       OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool read = platform.GetFileInformationByHandle(file, identity) != FALSE;
    platform.CloseHandle(file);
    return read;
}

// Whether the process `processId` is a copy of `target` whose token
// outranks `own`. A process or token that cannot be opened for a query, or
// a program whose file cannot be opened, is no such copy. Its own
// function, so that the program's path, read on its stack, never shares a
// frame with the run's own buffers.
__attribute__((noinline)) static bool IsElevatedCopy(const PlatformCalls& platform, DWORD processId,
                                                     const TokenStanding& own, PSID administratorsSid,
                                                     const BY_HANDLE_FILE_INFORMATION& target)
{
    HANDLE process = platform.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return false;
    }
    bool found = false;
    HANDLE token = nullptr;
    if (platform.OpenProcessToken(process, TOKEN_QUERY, &token)) {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled before it is read
        TokenStanding other;
        if (ReadTokenStanding(platform, token, administratorsSid, &other) == 0) {
            // The program's file, by the path it was started from.
            char path[1024];
            DWORD size = sizeof path;
            BY_HANDLE_FILE_INFORMATION program;
            found = Outranks(other, own) && platform.QueryFullProcessImageNameA(process, 0, path, &size) &&
                    ReadFileIdentity(platform, path, &program) &&
                    program.dwVolumeSerialNumber == target.dwVolumeSerialNumber &&
                    program.nFileIndexHigh == target.nFileIndexHigh &&
                    program.nFileIndexLow == target.nFileIndexLow;
            platform.LocalFree(other.groups);
        }
        platform.CloseHandle(token);
    }
    platform.CloseHandle(process);
    return found;
}

DWORD ReadTokenStanding(const PlatformCalls& platform, HANDLE token, PSID administratorsSid,
                        TokenStanding* standing)
{
    DWORD returned = 0;
    if (!platform.GetTokenInformation(token, TokenElevation, &standing->elevation, sizeof standing->elevation,
                                      &returned)) {
        return FailureCode(platform);
    }
    DWORD status = ReadIntegrityLevel(platform, token, &standing->level);
    if (status == 0) {
        status = ReadTokenGroups(platform, token, &standing->groups, &returned);
    }
    if (status != 0) {
        return status;
    }
    // The logon SID is the one group so marked; Administrators counts where
    // it is enabled, not where it is deny-only.
    standing->logon = nullptr;
    standing->administrators = false;
    const TOKEN_GROUPS* list = reinterpret_cast<const TOKEN_GROUPS*>(standing->groups);
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = list->Groups[i];
        if ((group.Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID) {
            standing->logon = static_cast<const SID*>(group.Sid);
        }
        if (SameSid(group.Sid, administratorsSid) &&
            (group.Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY)) == SE_GROUP_ENABLED) {
            standing->administrators = true;
        }
    }
    return 0;
}

bool Outranks(const TokenStanding& other, const TokenStanding& own)
{
    return other.logon != nullptr && own.logon != nullptr && SameSid(other.logon, own.logon) &&
           ((other.administrators && !own.administrators) ||
            (other.elevation.TokenIsElevated != 0 && own.elevation.TokenIsElevated == 0) ||
            other.level > own.level);
}

// Its own function: called once, it would otherwise share the run's frame,
// whose size makes every access to it longer.
__attribute__((noinline)) DWORD FindElevatedCopy(const PlatformCalls& platform, HANDLE restrictedToken,
                                                 PSID administratorsSid, const char* targetName,
                                                 DWORD* processId)
{
    *processId = 0;
    BY_HANDLE_FILE_INFORMATION target;
    if (!ReadFileIdentity(platform, targetName, &target)) {
        return 0;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled before it is read
    TokenStanding own;
    DWORD status = ReadTokenStanding(platform, restrictedToken, administratorsSid, &own);
    if (status != 0) {
        return status;
    }
    // Every running process's id; a list that fills its room may have left
    // some out.
    DWORD* ids = static_cast<DWORD*>(platform.LocalAlloc(LMEM_FIXED, kProcessListBytes));
    DWORD returned = 0;
    if (ids == nullptr || !platform.K32EnumProcesses(ids, kProcessListBytes, &returned)) {
        status = FailureCode(platform);
    } else if (returned >= kProcessListBytes) {
        status = ERROR_INSUFFICIENT_BUFFER;
    }
    for (DWORD i = 0; status == 0 && i < returned / sizeof(DWORD); ++i) {
        if (IsElevatedCopy(platform, ids[i], own, administratorsSid, target)) {
            *processId = ids[i];
            status = ERROR_SINGLE_INSTANCE_APP;
        }
    }
    platform.LocalFree(ids);
    platform.LocalFree(own.groups);
    return status;
}

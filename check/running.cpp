// Running copies: each copy of a browser or mail program Tolvane registered
// that runs now for this user in this session, with what its token has.
// One with Administrators enabled hands every link and window it opens the
// full token.
#include "check/check.h"

#include <tlhelp32.h>
#include <string.h>
#include <wchar.h>

// A token's record of one class into `buffer` (`size` bytes); whether it
// was read.
static bool Query(HANDLE token, TOKEN_INFORMATION_CLASS what, void* buffer, DWORD size)
{
    return GetTokenInformation(token, what, buffer, size, &size) != FALSE;
}

// What a process's token has, in words: Administrators, level, elevation.
struct Rights {
    const wchar_t* administrators;   // "enabled", "deny-only" or "absent"
    DWORD level;
    bool elevated;
};

// The token of process `id`, if it is this user's in this session, read
// into `rights`. 0, or the error code of the step that failed; -1 for a
// process of another user or session.
static DWORD ReadRights(DWORD id, const SID* user, DWORD session, Rights* rights)
{
    DWORD itsSession = 0;
    if (!ProcessIdToSessionId(id, &itsSession)) {
        return GetLastError();
    }
    if (itsSession != session) {
        return static_cast<DWORD>(-1);
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    HANDLE token = nullptr;
    if (process == nullptr || !OpenProcessToken(process, TOKEN_QUERY, &token)) {
        DWORD error = GetLastError();
        if (process != nullptr) {
            CloseHandle(process);
        }
        return error;
    }
    CloseHandle(process);
    static unsigned char buffer[64 * 1024] __attribute__((aligned(8)));
    DWORD status = 0;
    if (!Query(token, TokenUser, buffer, sizeof buffer)) {
        status = GetLastError();
    } else if (!EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, const_cast<SID*>(user))) {
        status = static_cast<DWORD>(-1);
    } else if (!Query(token, TokenGroups, buffer, sizeof buffer)) {
        status = GetLastError();
    } else {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                 &administrators);
        rights->administrators = L"absent";
        const TOKEN_GROUPS* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer);
        for (DWORD i = 0; i < groups->GroupCount; ++i) {
            if (administrators != nullptr && EqualSid(groups->Groups[i].Sid, administrators)) {
                rights->administrators =
                    (groups->Groups[i].Attributes & SE_GROUP_ENABLED) != 0 ? L"enabled" : L"deny-only";
            }
        }
        FreeSid(administrators);
        rights->level = 0;
        if (Query(token, TokenIntegrityLevel, buffer, sizeof buffer)) {
            PSID level = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
            rights->level = *GetSidSubAuthority(level, *GetSidSubAuthorityCount(level) - 1u);
        }
        TOKEN_ELEVATION elevation = {0};
        rights->elevated = Query(token, TokenElevation, &elevation, sizeof elevation) && elevation.TokenIsElevated;
    }
    CloseHandle(token);
    return status;
}

// This process's user, into `user` (room for SECURITY_MAX_SID_SIZE bytes).
static bool OwnUser(SID* user)
{
    HANDLE token = nullptr;
    unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] __attribute__((aligned(8)));
    bool read = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                Query(token, TokenUser, buffer, sizeof buffer) &&
                CopySid(SECURITY_MAX_SID_SIZE, user, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    if (token != nullptr) {
        CloseHandle(token);
    }
    return read;
}

void CheckRunningCopies(const CheckContext&)
{
    Print(L"Running copies of the browsers and mail programs Tolvane registered");
    wchar_t programs[kTargetsMost][MAX_PATH];
    int registered = 0;
    for (int t = 0; t < kTargetCount; ++t) {
        registered += RegisteredProgram(kTargets[t], programs[t], MAX_PATH);
    }
    if (registered == 0) {
        Say(kNote, L"Tolvane has registered no browser or mail program here; none looked for");
        return;
    }
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    unsigned char userBuffer[SECURITY_MAX_SID_SIZE] __attribute__((aligned(8)));
    SID* user = reinterpret_cast<SID*>(userBuffer);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (!OwnUser(user) || snapshot == INVALID_HANDLE_VALUE) {
        Say(kFailed, L"could not list the processes that run (error %lu)", GetLastError());
        return;
    }
    static PROCESSENTRY32W processes[4096];
    int count = 0;
    processes[0].dwSize = sizeof processes[0];
    for (BOOL more = Process32FirstW(snapshot, &processes[0]); more && count < 4096;
         more = Process32NextW(snapshot, &processes[count])) {
        ++count;
        if (count < 4096) {
            processes[count].dwSize = sizeof processes[count];
        }
    }
    CloseHandle(snapshot);

    int found = 0;
    for (int i = 0; i < count; ++i) {
        const PROCESSENTRY32W& process = processes[i];
        const wchar_t* parent = L"(ended)";
        for (int j = 0; j < count; ++j) {
            if (processes[j].th32ProcessID == process.th32ParentProcessID && process.th32ParentProcessID != 0) {
                parent = processes[j].szExeFile;
            }
        }
        for (int t = 0; t < kTargetCount; ++t) {
            // A copy's own helpers (a browser's renderers, its GPU process)
            // run under it with what it gave them: the copy itself counts.
            if (programs[t][0] == 0 || _wcsicmp(process.szExeFile, kTargets[t].program) != 0 ||
                _wcsicmp(parent, kTargets[t].program) == 0) {
                continue;
            }
            wchar_t path[MAX_PATH];
            DWORD length = MAX_PATH;
            HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID);
            bool named = opened != nullptr && QueryFullProcessImageNameW(opened, 0, path, &length);
            if (opened != nullptr) {
                CloseHandle(opened);
            }
            if (named && !SameFile(path, programs[t])) {
                continue;
            }
            Rights rights = {L"absent", 0, false};
            DWORD status = ReadRights(process.th32ProcessID, user, session, &rights);
            if (status == static_cast<DWORD>(-1)) {
                continue;
            }
            ++found;
            if (status != 0) {
                Say(kNote, L"%ls runs as process %lu (parent %ls), whose token this program may not read "
                           L"(error %lu): it may have more rights than this program",
                    kTargets[t].name, process.th32ProcessID, parent, status);
            } else if (wcscmp(rights.administrators, L"enabled") == 0) {
                Say(kFailed, L"%ls runs as process %lu (parent %ls) with administrator rights: Administrators "
                             L"enabled, level %ls, %lselevated. Close it (in the background too) and start it "
                             L"again through Tolvane; the sign-in doors below say what may have started it",
                    kTargets[t].name, process.th32ProcessID, parent, LevelName(rights.level),
                    rights.elevated ? L"" : L"not ");
            } else {
                Say(kOk, L"%ls runs as process %lu (parent %ls): Administrators %ls, level %ls, %lselevated",
                    kTargets[t].name, process.th32ProcessID, parent, rights.administrators, LevelName(rights.level),
                    rights.elevated ? L"" : L"not ");
            }
        }
    }
    if (found == 0) {
        Say(kOk, L"none runs now");
    }
}

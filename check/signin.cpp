// The sign-in doors: what starts a browser or mail program without
// Tolvane, so with the full token, when the user signs in or after its
// last window closes: the browsers' own features the policies turn off,
// Run values and Startup folders, and Windows' restart of apps.
#include "check/check.h"

#include <shlobj.h>
#include <string.h>
#include <wchar.h>

// What the feature BrowserPolicies sets, each for the target it names (its
// index in kTargets), and what the value turns off.
struct Policy {
    int target;
    const wchar_t* key;
    const wchar_t* name;
    DWORD value;
    const wchar_t* what;
};
static const wchar_t kEdge[] = L"Software\\Policies\\Microsoft\\Edge";
static const wchar_t kChrome[] = L"Software\\Policies\\Google\\Chrome";
static const wchar_t kFirefox[] = L"Software\\Policies\\Mozilla\\Firefox";
static const Policy kPolicies[] = {
    {0, kEdge, L"StartupBoostEnabled", 0, L"Startup Boost starts it at sign-in"},
    {0, kEdge, L"BackgroundModeEnabled", 0, L"it keeps running after its last window closes"},
    {0, kEdge, L"DefaultBrowserSettingEnabled", 0, L"it offers to become the default browser"},
    {1, kChrome, L"BackgroundModeEnabled", 0, L"it keeps running after its last window closes"},
    {1, kChrome, L"DefaultBrowserSettingEnabled", 0, L"it offers to become the default browser"},
    {2, kFirefox, L"DontCheckDefaultBrowser", 1, L"it offers to become the default browser"},
    {2, kFirefox, L"DisableDefaultBrowserAgent", 1, L"its agent may make it the default again"},
};

static void CheckPolicies()
{
    wchar_t program[MAX_PATH];
    for (const Policy& policy : kPolicies) {
        const Target& target = kTargets[policy.target];
        if (!RegisteredProgram(target, program, MAX_PATH)) {
            continue;
        }
        // The machine's policy wins over the user's.
        HKEY root = HKEY_LOCAL_MACHINE;
        DWORD value = ReadNumber(root, policy.key, policy.name, 0xffffffff);
        if (value == 0xffffffff) {
            root = HKEY_CURRENT_USER;
            value = ReadNumber(root, policy.key, policy.name, 0xffffffff);
        }
        if (value == policy.value) {
            Say(kOk, L"%ls: %ls=%lu (%ls\\%ls)", target.name, policy.name, value, RootName(root), policy.key);
        } else {
            Say(kNote, L"%ls: %ls (no policy %ls=%lu in HKLM or HKCU\\%ls; the feature BrowserPolicies sets it)",
                target.name, policy.what, policy.name, policy.value, policy.key);
        }
    }
    DWORD restart = ReadNumber(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                               L"RestartApps", 0);
    Say(restart == 0 ? kOk : kNote,
        restart == 0 ? L"Windows does not restart the apps that were open at sign-in (RestartApps %lu)"
                     : L"Windows restarts the apps that were open at sign-in (RestartApps %lu), a browser among "
                       L"them with the full token: turn it off in Settings > Accounts > Sign-in options",
        restart);
}

// The target whose program `command` starts without Tolvane, or -1; where
// Tolvane starts it, `*through` is set.
static int TargetStarted(const wchar_t* command, bool* through)
{
    wchar_t lower[2048];
    wcsncpy(lower, command, 2047);
    lower[2047] = 0;
    _wcslwr(lower);
    *through = wcsstr(lower, L"tolvane.exe") != nullptr;
    for (int t = 0; t < kTargetCount; ++t) {
        if (wcsstr(lower, kTargets[t].program) != nullptr) {
            return t;
        }
    }
    return -1;
}

// One entry that starts a program at sign-in: a note where it starts a
// target without Tolvane. Returns whether it starts a target at all.
static bool SayStart(const wchar_t* where, const wchar_t* command, bool turnedOff)
{
    bool through = false;
    int target = TargetStarted(command, &through);
    if (target < 0) {
        return false;
    }
    if (through || turnedOff) {
        Say(kOk, L"%ls starts %ls %ls: %ls", where, kTargets[target].name,
            turnedOff ? L"but is turned off in Startup apps" : L"through Tolvane", command);
    } else {
        Say(kNote, L"%ls starts %ls at sign-in with the full token: %ls. Turn it off in Task Manager's Startup "
                   L"apps or in the program's own settings, or start it through Tolvane",
            where, kTargets[target].name, command);
    }
    return true;
}

// The Run values of a key; StartupApproved, where Task Manager notes the
// ones turned off (the first byte 3).
static int CheckRunKey(HKEY root, const wchar_t* key, const wchar_t* approved)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) {
        return 0;
    }
    int found = 0;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256], data[2048], where[600];
        DWORD nameSize = 256, bytes = sizeof data - sizeof(wchar_t), type = 0;
        LONG status = RegEnumValueW(opened, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
            continue;
        }
        data[bytes / sizeof(wchar_t)] = 0;
        BYTE state[12] = {0};
        DWORD stateSize = sizeof state;
        bool turnedOff = RegGetValueW(root, approved, name, RRF_RT_REG_BINARY | RRF_SUBKEY_WOW6464KEY, nullptr, state,
                                      &stateSize) == ERROR_SUCCESS &&
                         state[0] == 3;
        _snwprintf(where, 600, L"%ls\\%ls value %ls", RootName(root), key, name);
        where[599] = 0;
        found += SayStart(where, data, turnedOff);
    }
    RegCloseKey(opened);
    return found;
}

// The shortcuts of a Startup folder.
static int CheckStartupFolder(const KNOWNFOLDERID& id)
{
    wchar_t* folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(id, 0, nullptr, &folder))) {
        return 0;
    }
    wchar_t pattern[MAX_PATH + 8];
    _snwprintf(pattern, MAX_PATH + 8, L"%ls\\*.lnk", folder);
    pattern[MAX_PATH + 7] = 0;
    int found = 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
        wchar_t link[2 * MAX_PATH], path[MAX_PATH], arguments[2048];
        _snwprintf(link, 2 * MAX_PATH, L"%ls\\%ls", folder, entry.cFileName);
        link[2 * MAX_PATH - 1] = 0;
        if (ShortcutTarget(link, path, arguments)) {
            wchar_t command[2048 + MAX_PATH + 4];
            _snwprintf(command, sizeof command / sizeof command[0], L"\"%ls\" %ls", path, arguments);
            command[sizeof command / sizeof command[0] - 1] = 0;
            found += SayStart(link, command, false);
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    CoTaskMemFree(folder);
    return found;
}

void CheckSignInDoors(const CheckContext&)
{
    Print(L"The sign-in doors: what starts a browser or mail program without Tolvane");
    CheckPolicies();
    static const wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    static const wchar_t kApproved[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\";
    wchar_t approved[128], approved32[128];
    _snwprintf(approved, 128, L"%lsRun", kApproved);
    _snwprintf(approved32, 128, L"%lsRun32", kApproved);
    int found = CheckRunKey(HKEY_CURRENT_USER, kRun, approved) + CheckRunKey(HKEY_LOCAL_MACHINE, kRun, approved) +
                CheckRunKey(HKEY_LOCAL_MACHINE, L"Software\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run",
                            approved32) +
                CheckStartupFolder(FOLDERID_Startup) + CheckStartupFolder(FOLDERID_CommonStartup);
    if (found == 0) {
        Say(kOk, L"no Run value or Startup folder entry starts a browser or mail program");
    }
}

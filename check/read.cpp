// What the parts read the same way: the targets, Tolvane's registration,
// the registry and files.
#include "check/check.h"

#include <shlobj.h>
#include <string.h>
#include <wchar.h>

// As the packages register them: the tail after the target's program in
// its ProgID's command is the target's own guard, which keeps a crafted
// link one argument.
const Target kTargets[] = {
    {L"Edge", L"Microsoft Edge", L"msedge.exe", L"--single-argument %1"},
    {L"Chrome", L"Google Chrome", L"chrome.exe", L"--single-argument %1"},
    {L"Firefox", L"Mozilla Firefox", L"firefox.exe", L"-osint -url \"%1\""},
    {L"Thunderbird", L"Mozilla Thunderbird", L"thunderbird.exe", L"-osint -compose \"%1\""},
};
const int kTargetCount = sizeof kTargets / sizeof kTargets[0];

const HKEY kRoots[2] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};

const wchar_t* RootName(HKEY root)
{
    return root == HKEY_CURRENT_USER ? L"HKCU" : L"HKLM";
}

// The 64-bit view where there is one: the packages write there, and a
// 32-bit copy of this program reads what they wrote.
bool ReadString(HKEY root, const wchar_t* key, const wchar_t* name, wchar_t* data, DWORD size)
{
    DWORD bytes = (size - 1) * sizeof(wchar_t);
    DWORD type = 0;
    data[0] = 0;
    if (RegGetValueW(root, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND | RRF_SUBKEY_WOW6464KEY,
                     &type, data, &bytes) != ERROR_SUCCESS) {
        data[0] = 0;
        return false;
    }
    data[size - 1] = 0;
    return true;
}

DWORD ReadNumber(HKEY root, const wchar_t* key, const wchar_t* name, DWORD fallback)
{
    DWORD value = 0, bytes = sizeof value;
    if (RegGetValueW(root, key, name, RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &value, &bytes) !=
        ERROR_SUCCESS) {
        return fallback;
    }
    return value;
}

bool KeyExists(HKEY root, const wchar_t* key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(opened);
    return true;
}

bool FileExists(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

const wchar_t* FileName(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* c = path; *c != 0; ++c) {
        if (*c == L'\\' || *c == L'/') {
            name = c + 1;
        }
    }
    return name;
}

// The volume and index of the file at `path`; whether they were read.
static bool FileIdentity(const wchar_t* path, BY_HANDLE_FILE_INFORMATION* identity)
{
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool read = GetFileInformationByHandle(file, identity) != FALSE;
    CloseHandle(file);
    return read;
}

bool SameFile(const wchar_t* a, const wchar_t* b)
{
    BY_HANDLE_FILE_INFORMATION first, second;
    return FileIdentity(a, &first) && FileIdentity(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

bool InstalledTolvane(const CheckContext& context, const wchar_t* path)
{
    if (SameFile(path, context.tolvane)) {
        return true;
    }
    // Where the packages put it: per machine under Program Files, per user
    // under the profile's Programs folder.
    static const wchar_t* const kPlaces[] = {L"%ProgramW6432%\\Tolvane\\tolvane.exe",
                                             L"%ProgramFiles%\\Tolvane\\tolvane.exe",
                                             L"%LOCALAPPDATA%\\Programs\\Tolvane\\tolvane.exe"};
    for (const wchar_t* place : kPlaces) {
        wchar_t installed[MAX_PATH];
        DWORD length = ExpandEnvironmentStringsW(place, installed, MAX_PATH);
        if (length != 0 && length <= MAX_PATH && installed[0] != L'%' && SameFile(path, installed)) {
            return true;
        }
    }
    return false;
}

const wchar_t* QuotedField(const wchar_t* command, int index, wchar_t* field, size_t size)
{
    const wchar_t* c = command;
    for (int i = 0;; ++i) {
        const wchar_t* open = wcschr(c, L'"');
        const wchar_t* close = open == nullptr ? nullptr : wcschr(open + 1, L'"');
        if (close == nullptr) {
            field[0] = 0;
            return nullptr;
        }
        if (i == index) {
            size_t length = static_cast<size_t>(close - open - 1);
            if (length >= size) {
                length = size - 1;
            }
            wmemcpy(field, open + 1, length);
            field[length] = 0;
            return close + 1;
        }
        c = close + 1;
    }
}

bool RegisteredProgram(const Target& target, wchar_t* program, DWORD size)
{
    wchar_t key[128], command[2048];
    _snwprintf(key, 128, L"Software\\Classes\\Tolvane.%ls\\shell\\open\\command", target.id);
    key[127] = 0;
    for (HKEY root : kRoots) {
        if (ReadString(root, key, nullptr, command, 2048) && QuotedField(command, 1, program, size) != nullptr &&
            _wcsicmp(FileName(program), target.program) == 0) {
            return true;
        }
    }
    program[0] = 0;
    return false;
}

bool ShortcutTarget(const wchar_t* link, wchar_t* path, wchar_t* arguments)
{
    path[0] = arguments[0] = 0;
    IShellLinkW* shortcut = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&shortcut)))) {
        return false;
    }
    IPersistFile* file = nullptr;
    bool read = false;
    if (SUCCEEDED(shortcut->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        read = SUCCEEDED(file->Load(link, STGM_READ)) &&
               SUCCEEDED(shortcut->GetPath(path, MAX_PATH, nullptr, 0)) &&
               SUCCEEDED(shortcut->GetArguments(arguments, 2048));
        file->Release();
    }
    shortcut->Release();
    return read;
}

const wchar_t* LevelName(unsigned long level)
{
    return level == 0x1000 ? L"Low" : level == 0x2000 ? L"Medium" : level == 0x2100 ? L"Medium Plus"
         : level == 0x3000 ? L"High" : level == 0x4000 ? L"System" : L"other";
}

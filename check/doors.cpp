// The doors: what opens links, web pages and mail now, and each entry
// Tolvane's packages wrote, read back as they wrote it.
#include "check/check.h"

#include <msi.h>
#include <shlobj.h>
#include <string.h>
#include <wchar.h>

// Whether `progId` is one of Tolvane's, registered per user or per machine.
static bool TolvaneProgId(const wchar_t* progId)
{
    if (_wcsnicmp(progId, L"Tolvane.", 8) != 0) {
        return false;
    }
    wchar_t key[128];
    _snwprintf(key, 128, L"Software\\Classes\\%ls", progId);
    key[127] = 0;
    return KeyExists(HKEY_CURRENT_USER, key) || KeyExists(HKEY_LOCAL_MACHINE, key);
}

// Whether any of Tolvane's ProgIDs is offered for `extension`.
static bool OfferedFor(const wchar_t* extension)
{
    wchar_t key[128], value[8];
    _snwprintf(key, 128, L"Software\\Classes\\%ls\\OpenWithProgids", extension);
    key[127] = 0;
    for (int t = 0; t < kTargetCount; ++t) {
        wchar_t name[64];
        _snwprintf(name, 64, L"Tolvane.%ls", kTargets[t].id);
        name[63] = 0;
        for (HKEY root : kRoots) {
            DWORD bytes = sizeof value;
            if (RegGetValueW(root, key, name, RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, nullptr, nullptr, &bytes) ==
                ERROR_SUCCESS) {
                return true;
            }
        }
    }
    return false;
}

// Which ProgID opens each scheme and file type now: the user's choice
// (UserChoice), else the class's own default.
static void CheckDefaults(const CheckContext& context)
{
    static const wchar_t* const kDoors[] = {L"http", L"https", L"mailto", L".htm", L".html", L".pdf"};
    for (const wchar_t* door : kDoors) {
        bool file = door[0] == L'.';
        if (wcscmp(door, L".pdf") == 0 && !OfferedFor(door)) {
            continue;
        }
        wchar_t key[200], progId[256];
        _snwprintf(key, 200,
                   file ? L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\%ls\\UserChoice"
                        : L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\%ls\\UserChoice",
                   door);
        key[199] = 0;
        const wchar_t* where = L"the user's choice";
        if (!ReadString(HKEY_CURRENT_USER, key, L"ProgId", progId, 256)) {
            where = L"no choice made, the class's default";
            if (!file) {
                wcscpy(progId, door);
            } else if (!ReadString(HKEY_CLASSES_ROOT, door, nullptr, progId, 256)) {
                wcscpy(progId, L"(nothing)");
            }
        }
        if (TolvaneProgId(progId)) {
            Say(kOk, L"%ls opens with %ls (%ls)", door, progId, where);
        } else {
            Say(context.requireDefaults ? kFailed : kNote,
                L"%ls opens with %ls (%ls), not through Tolvane: pick one of the \"... without administrator "
                L"rights\" entries in Settings > Default apps",
                door, progId, where);
        }
    }
}

// One command as the packages write it: the installed tolvane.exe, then
// `options`, then, where `program` is given, a program of that file name
// that exists, quoted, then `tail`. "ok" naming it, or "FAILED: changed".
static void CheckCommand(const CheckContext& context, const wchar_t* where, const wchar_t* command,
                         const wchar_t* options, const wchar_t* program, const wchar_t* tail)
{
    wchar_t tolvane[MAX_PATH], target[MAX_PATH], expected[2048];
    QuotedField(command, 0, tolvane, MAX_PATH);
    bool known = true;
    if (program != nullptr) {
        known = QuotedField(command, 1, target, MAX_PATH) != nullptr &&
                _wcsicmp(FileName(target), program) == 0;
        _snwprintf(expected, 2048, L"\"%ls\" %ls \"%ls\"%ls%ls", tolvane, options, target, tail[0] ? L" " : L"",
                   tail);
    } else {
        _snwprintf(expected, 2048, L"\"%ls\" %ls", tolvane, options);
    }
    expected[2047] = 0;
    if (tolvane[0] == 0 || !InstalledTolvane(context, tolvane)) {
        Say(kFailed, L"changed: %ls starts [%ls], not a tolvane.exe a package installed nor the one checked: %ls",
            where, tolvane, command);
        return;
    }
    if (!known || wcscmp(command, expected) != 0) {
        Say(kFailed, L"changed: %ls is [%ls], where Tolvane's packages write \"%ls\" %ls%ls%ls%ls%ls", where, command,
            tolvane, options, program ? L" \"...\\" : L"", program ? program : L"", program ? L"\"" : L"",
            tail != nullptr && tail[0] ? L" " : L"", tail != nullptr ? tail : L"");
        return;
    }
    if (program != nullptr && !FileExists(target)) {
        Say(kFailed, L"%ls starts %ls, which is not there: run Tolvane's package again, which takes the entry "
                     L"of a program gone away",
            where, target);
        return;
    }
    Say(kOk, L"%ls: %ls", where, command);
}

// Tolvane's ProgIDs and Explorer entries in each root, and its Start menu
// entries in each Start menu.
static void CheckEntries(const CheckContext& context)
{
    wchar_t key[200], where[260], command[2048];
    int verbs = 0;
    for (HKEY root : kRoots) {
        for (int t = 0; t < kTargetCount; ++t) {
            _snwprintf(key, 200, L"Software\\Classes\\Tolvane.%ls\\shell\\open\\command", kTargets[t].id);
            key[199] = 0;
            _snwprintf(where, 260, L"%ls\\%ls", RootName(root), key);
            where[259] = 0;
            if (ReadString(root, key, nullptr, command, 2048)) {
                CheckCommand(context, where, command, L"/limited /errorbox /single", kTargets[t].program,
                             kTargets[t].tail);
            } else {
                // The ProgID there without its command.
                *wcsstr(key, L"\\shell") = 0;
                if (KeyExists(root, key)) {
                    Say(kFailed, L"changed: %ls has no command", where);
                }
            }
        }
        static const wchar_t* const kClasses[] = {L"exefile", L"batfile", L"cmdfile"};
        for (const wchar_t* file : kClasses) {
            _snwprintf(key, 200, L"Software\\Classes\\%ls\\shell\\Tolvane\\command", file);
            key[199] = 0;
            _snwprintf(where, 260, L"%ls\\%ls", RootName(root), key);
            where[259] = 0;
            if (ReadString(root, key, nullptr, command, 2048)) {
                ++verbs;
                CheckCommand(context, where, command, L"/limited /errorbox \"%1\" %*", nullptr, nullptr);
            }
        }
    }
    if (verbs == 0) {
        Say(kNote, L"Explorer's entry \"Run without administrator rights\" is not installed (the feature "
                   L"ExplorerEntry)");
    }

    static const KNOWNFOLDERID* const kMenus[] = {&FOLDERID_Programs, &FOLDERID_CommonPrograms};
    for (const KNOWNFOLDERID* menu : kMenus) {
        wchar_t* folder = nullptr;
        if (FAILED(SHGetKnownFolderPath(*menu, 0, nullptr, &folder))) {
            continue;
        }
        for (int t = 0; t < kTargetCount; ++t) {
            wchar_t link[MAX_PATH + 100], path[MAX_PATH], arguments[2048];
            _snwprintf(link, MAX_PATH + 100, L"%ls\\%ls without administrator rights.lnk", folder, kTargets[t].name);
            link[MAX_PATH + 99] = 0;
            if (!FileExists(link)) {
                continue;
            }
            if (!ShortcutTarget(link, path, arguments)) {
                Say(kFailed, L"changed: the Start menu's %ls cannot be read", link);
                continue;
            }
            // Read back as the command it makes.
            _snwprintf(command, 2048, L"\"%ls\" %ls", path, arguments);
            command[2047] = 0;
            CheckCommand(context, link, command, L"/limited /errorbox /single", kTargets[t].program, L"");
        }
        CoTaskMemFree(folder);
    }
}

// A target on the machine (its App Paths entry) with no entry of Tolvane's:
// a note with the command that adds it.
static void CheckMissing()
{
    // Tolvane's installed packages, by their UpgradeCodes (per machine, per
    // user), for the repair that runs them again.
    static const wchar_t* const kUpgradeCodes[] = {L"{DF852443-1C5C-4BBB-957C-050D1D02AFFE}",
                                                   L"{06C32125-EB12-48E9-AD0E-B2336E7D4035}"};
    wchar_t repair[100] = L"";
    for (const wchar_t* upgrade : kUpgradeCodes) {
        wchar_t product[39];
        if (repair[0] == 0 && MsiEnumRelatedProductsW(upgrade, 0, 0, product) == ERROR_SUCCESS) {
            _snwprintf(repair, 100, L", or repair it: msiexec /f %ls", product);
        }
    }
    for (int t = 0; t < kTargetCount; ++t) {
        wchar_t key[200], path[MAX_PATH], program[MAX_PATH];
        _snwprintf(key, 200, L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\%ls", kTargets[t].program);
        key[199] = 0;
        for (HKEY root : kRoots) {
            if (ReadString(root, key, nullptr, path, MAX_PATH) && path[0] != 0) {
                // App Paths may quote the path.
                if (path[0] == L'"') {
                    QuotedField(path, 0, program, MAX_PATH);
                    wcscpy(path, program);
                }
                if (FileExists(path) && !RegisteredProgram(kTargets[t], program, MAX_PATH)) {
                    Say(kNote, L"%ls at %ls has no entry of Tolvane's: run Tolvane's package again as it "
                               L"stands%ls",
                        kTargets[t].name, path, repair);
                }
                break;
            }
        }
    }
}

void CheckDoors(const CheckContext& context)
{
    Print(L"The doors: what opens links, web pages and mail, and Tolvane's entries");
    CheckDefaults(context);
    CheckEntries(context);
    CheckMissing();
}

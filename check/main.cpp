// tolvane-check: reads back, on this Windows, what Tolvane promises; for a
// person at a prompt and for a fleet's detection script alike.
#include "check/check.h"

#include "tolvane_version.h"

#include <objbase.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

static int g_counts[3];

// The text goes to a console as UTF-16, so that any name shows; anywhere
// else (a file, a pipe) as UTF-8, each line ended with CR LF.
static void WriteText(const wchar_t* text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
        WriteConsoleW(out, L"\n", 1, &written, nullptr);
        return;
    }
    // Line by line, each ended with CR LF.
    for (const wchar_t* line = text;;) {
        const wchar_t* end = wcschr(line, L'\n');
        size_t count = end != nullptr ? static_cast<size_t>(end - line) : wcslen(line);
        char bytes[8192];
        int size = WideCharToMultiByte(CP_UTF8, 0, line, static_cast<int>(count), bytes, sizeof bytes - 2, nullptr,
                                       nullptr);
        bytes[size] = '\r';
        bytes[size + 1] = '\n';
        WriteFile(out, bytes, static_cast<DWORD>(size + 2), &written, nullptr);
        if (end == nullptr) {
            return;
        }
        line = end + 1;
    }
}

static void WriteFormatted(const wchar_t* prefix, const wchar_t* format, va_list arguments)
{
    wchar_t line[2048];
    size_t used = wcslen(prefix);
    wcscpy(line, prefix);
    _vsnwprintf(line + used, sizeof line / sizeof line[0] - used - 1, format, arguments);
    line[sizeof line / sizeof line[0] - 1] = 0;
    WriteText(line);
}

void Say(Verdict verdict, const wchar_t* format, ...)
{
    static const wchar_t* const kWords[] = {L"ok     ", L"note   ", L"FAILED "};
    ++g_counts[verdict];
    va_list arguments;
    va_start(arguments, format);
    WriteFormatted(kWords[verdict], format, arguments);
    va_end(arguments);
}

void Print(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    WriteFormatted(L"", format, arguments);
    va_end(arguments);
}

int Count(Verdict verdict)
{
    return g_counts[verdict];
}

static const wchar_t kHelp[] =
    L"tolvane-check " TOLVANE_VERSION_WSTRING L": what Tolvane promises, read back on this Windows.\n"
    L"\n"
    L"usage: tolvane-check [--tolvane PATH] [--require-defaults]\n"
    L"\n"
    L"Checks, one line a promise, \"ok\", \"note\" or \"FAILED\" with what it read:\n"
    L"  the launch: this program started through tolvane.exe in the default form\n"
    L"    and with /limited reads its own token back: the same user, Administrators\n"
    L"    deny-only, the groups, privileges, integrity level and label each form\n"
    L"    promises, an object only Administrators may open refused;\n"
    L"  running copies: each browser or mail program Tolvane registered that runs\n"
    L"    now, and whether it has administrator rights;\n"
    L"  the doors: which program opens http, https, .htm, .html and mailto now,\n"
    L"    and Tolvane's own ProgIDs, Start menu and Explorer entries as written;\n"
    L"  the sign-in doors: the browsers' policies, Run values, Startup folders and\n"
    L"    Windows' restart of apps, where they start a browser without Tolvane.\n"
    L"Then a summary line.\n"
    L"\n"
    L"--tolvane PATH      the tolvane.exe to check (by default the one beside this)\n"
    L"--require-defaults  a default that is not Tolvane's fails instead of a note\n"
    L"\n"
    L"Exit codes: 0 nothing failed, 1 something failed, 2 could not check (no\n"
    L"tolvane.exe). Output to a console is shown as it is; redirected, it is UTF-8.";

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"--started-copy") == 0) {
        return RunStartedCopy(argv[2], argv[3]);
    }
    CheckContext context;
    memset(&context, 0, sizeof context);
    GetModuleFileNameW(nullptr, context.self, sizeof context.self / sizeof context.self[0]);
    wcscpy(context.tolvane, context.self);
    wcscpy(const_cast<wchar_t*>(FileName(context.tolvane)), L"tolvane.exe");
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--tolvane") == 0 && i + 1 < argc) {
            GetFullPathNameW(argv[++i], sizeof context.tolvane / sizeof context.tolvane[0], context.tolvane,
                             nullptr);
        } else if (wcscmp(argv[i], L"--require-defaults") == 0) {
            context.requireDefaults = true;
        } else {
            Print(L"%ls", kHelp);
            return wcscmp(argv[i], L"--help") == 0 || wcscmp(argv[i], L"/?") == 0 ? 0 : 2;
        }
    }
    context.wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;

    Print(L"tolvane-check " TOLVANE_VERSION_WSTRING L", checking %ls", context.tolvane);
    if (!FileExists(context.tolvane)) {
        Print(L"could not check: no tolvane.exe at %ls (give it with --tolvane PATH)", context.tolvane);
        return 2;
    }
    if (context.wine) {
        Say(kNote, L"this is Wine, not Windows: integrity levels, elevation and labels are not read as "
                   L"Windows has them, so those lines are notes here");
    }
    // The shortcuts are read through the shell's objects.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CheckLaunch(context);
    CheckRunningCopies(context);
    CheckDoors(context);
    CheckSignInDoors(context);
    Print(L"summary: %d ok, %d note%ls, %d FAILED", Count(kOk), Count(kNote), Count(kNote) == 1 ? L"" : L"s",
          Count(kFailed));
    return Count(kFailed) != 0 ? 1 : 0;
}

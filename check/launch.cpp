// The launch itself: this program started through tolvane.exe, in the
// default form and with /limited, reads its own token back; what it reads
// is compared with this program's own token, read by the same code.
#include "check/check.h"
#include "check/token_facts.h"

#include <sddl.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// Room for a token's facts: a token of a thousand groups, each on a line.
const size_t kReportSize = 96 * 1024;
static char g_caller[kReportSize];
static char g_copy[kReportSize];

// Writes what this process's token says, then, where `event` is given,
// the label of this process and whether the event opens.
static bool WriteOwnFacts(const wchar_t* path, const wchar_t* event)
{
    FILE* out = _wfopen(path, L"w");
    if (out == nullptr) {
        return false;
    }
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        WriteTokenFacts(out, token);
        CloseHandle(token);
    }
    if (event != nullptr) {
        WriteLabel(out, "label-process", GetCurrentProcess());
        HANDLE opened = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, event);
        fprintf(out, opened != nullptr ? "object opened\n" : "object error %lu\n", GetLastError());
        if (opened != nullptr) {
            CloseHandle(opened);
        }
    }
    return fclose(out) == 0;
}

int RunStartedCopy(const wchar_t* report, const wchar_t* event)
{
    return WriteOwnFacts(report, event) ? 0 : 1;
}

// Reads the file at `path` whole into `text` (kReportSize bytes) and
// deletes it; whether there was one.
static bool TakeReport(const wchar_t* path, char* text)
{
    text[0] = 0;
    FILE* in = _wfopen(path, L"rb");
    if (in == nullptr) {
        return false;
    }
    size_t length = fread(text, 1, kReportSize - 1, in);
    fclose(in);
    text[length] = 0;
    DeleteFileW(path);
    return length != 0;
}

// The rest of the first line of `text` that begins with `key`, a blank
// and, where given, `first` and a blank; null where there is none. The
// rest ends at the line's end, not at the string's.
static const char* Line(const char* text, const char* key, const char* first)
{
    size_t keyLength = strlen(key), firstLength = first != nullptr ? strlen(first) : 0;
    for (const char* line = text; *line != 0;) {
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ' ') {
            const char* rest = line + keyLength + 1;
            if (first == nullptr) {
                return rest;
            }
            if (strncmp(rest, first, firstLength) == 0 && (rest[firstLength] == ' ' || rest[firstLength] == '\n')) {
                return rest + firstLength + (rest[firstLength] == ' ');
            }
        }
        const char* end = strchr(line, '\n');
        line = end != nullptr ? end + 1 : line + strlen(line);
    }
    return nullptr;
}

// Copies from `from` to the line's end, or to a blank where `word` says
// so, into `text` (room for `size` bytes); an empty text where `from` is
// null.
static void Copy(const char* from, char* text, size_t size, bool word)
{
    size_t i = 0;
    while (from != nullptr && from[i] != 0 && from[i] != '\n' && from[i] != '\r' && !(word && from[i] == ' ') &&
           i + 1 < size) {
        text[i] = from[i];
        ++i;
    }
    text[i] = 0;
}

// The word at `from`, to a blank or the line's end.
static void Word(const char* from, char* word, size_t size)
{
    Copy(from, word, size, true);
}

// The last word of the line at `from`: a group's or privilege's attributes.
static void LastWord(const char* from, char* word, size_t size)
{
    const char* start = from;
    for (const char* c = from; *c != 0 && *c != '\n' && *c != '\r'; ++c) {
        if (*c == ' ') {
            start = c + 1;
        }
    }
    Word(start, word, size);
}

// Whether the comma-separated `words` hold `word` itself.
static bool HasWord(const char* words, const char* word)
{
    size_t length = strlen(word);
    for (const char* c = words; c != nullptr && *c != 0;) {
        if (strncmp(c, word, length) == 0 && (c[length] == ',' || c[length] == 0)) {
            return true;
        }
        c = strchr(c, ',');
        c = c != nullptr ? c + 1 : nullptr;
    }
    return false;
}

// The integrity level's number, from "integrity S-1-16-<level>".
static unsigned long Level(const char* report)
{
    char sid[64];
    Word(Line(report, "integrity", nullptr), sid, sizeof sid);
    if (strncmp(sid, "S-1-16-", 7) != 0 || sid[7] == 0) {
        return 0xffffffff;
    }
    unsigned long level = 0;
    for (const char* digit = sid + 7; *digit >= '0' && *digit <= '9'; ++digit) {
        level = level * 10 + static_cast<unsigned long>(*digit - '0');
    }
    return level;
}

// Groups Windows counts as an administrators' equal, read here on their
// own rather than from the launcher's table, so that a fault in one shows
// in the other: BUILTIN's Administrators, Account, Server, Print and
// Backup Operators, Power Users, RAS servers, Pre-Windows 2000 access,
// Network Configuration and Cryptographic Operators; "local account and
// member of Administrators"; a domain's admin groups by their RIDs.
static bool AdministratorsEquivalent(const char* sid)
{
    static const char* const kBuiltin[] = {"S-1-5-32-544", "S-1-5-32-547", "S-1-5-32-548", "S-1-5-32-549",
                                           "S-1-5-32-550", "S-1-5-32-551", "S-1-5-32-553", "S-1-5-32-554",
                                           "S-1-5-32-556", "S-1-5-32-569", "S-1-5-114"};
    for (const char* builtin : kBuiltin) {
        if (strcmp(sid, builtin) == 0) {
            return true;
        }
    }
    static const char* const kDomainRids[] = {"498", "512", "516", "517", "518", "519", "520", "521"};
    const char* rid = strrchr(sid, '-');
    if (strncmp(sid, "S-1-5-21-", 9) == 0 && rid != nullptr) {
        for (const char* known : kDomainRids) {
            if (strcmp(rid + 1, known) == 0) {
                return true;
            }
        }
    }
    return false;
}

// A standard user's privileges: what /limited may keep.
static bool StandardPrivilege(const char* name)
{
    static const char* const kNames[] = {"SeChangeNotifyPrivilege", "SeShutdownPrivilege", "SeUndockPrivilege",
                                         "SeIncreaseWorkingSetPrivilege", "SeTimeZonePrivilege"};
    for (const char* known : kNames) {
        if (strcmp(name, known) == 0) {
            return true;
        }
    }
    return false;
}

// The attributes of the group or privilege `name` in `report`, "absent"
// where it has none.
static void Attributes(const char* report, const char* key, const char* name, char* words, size_t size)
{
    const char* line = Line(report, key, name);
    if (line == nullptr) {
        snprintf(words, size, "absent");
    } else {
        LastWord(line, words, size);
    }
}

// Whether /limited may take `name` (a group's SID or a privilege's name)
// away or make it deny-only.
static bool LimitedTakes(bool group, const char* name)
{
    return group ? AdministratorsEquivalent(name) : !StandardPrivilege(name);
}

// The groups and privileges of the copy against the caller's, either way
// round: in the default form they are the caller's; with /limited an
// administrators' equal is deny-only or gone, and a privilege beyond a
// standard user's gone, the rest the caller's. Administrators (a line of
// its own) and integrity levels (likewise) aside. Whether they are as
// promised; `text` gets the first difference, or how many were compared.
static bool CompareTables(const char* caller, const char* copy, bool limited, char* text, size_t size)
{
    int groups = 0, privileges = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const char* report = pass == 0 ? copy : caller;
        for (const char* line = report; *line != 0;) {
            char key[16], name[200], words[200], callerWords[200];
            Word(line, key, sizeof key);
            Word(line + strlen(key) + 1, name, sizeof name);
            const char* end = strchr(line, '\n');
            line = end != nullptr ? end + 1 : line + strlen(line);
            bool group = strcmp(key, "group") == 0;
            if ((!group && strcmp(key, "privilege") != 0) || strcmp(name, "S-1-5-32-544") == 0 ||
                strncmp(name, "S-1-16-", 7) == 0) {
                continue;
            }
            Attributes(copy, key, name, words, sizeof words);
            Attributes(caller, key, name, callerWords, sizeof callerWords);
            if (pass == 0) {
                group ? ++groups : ++privileges;
            }
            bool taken = strcmp(words, "absent") == 0 || (group && HasWord(words, "deny-only") &&
                                                          !HasWord(words, "enabled"));
            if (strcmp(words, callerWords) != 0 && !(limited && taken && LimitedTakes(group, name))) {
                snprintf(text, size, "the %s %s is %s, where this program's is %s", key, name, words, callerWords);
                return false;
            }
            if (limited && !taken && LimitedTakes(group, name)) {
                snprintf(text, size, "the %s %s is kept (%s)", key, name, words);
                return false;
            }
        }
    }
    snprintf(text, size, "%d groups and %d privileges read", groups, privileges);
    return true;
}

// Where Wine reads a token or a process unlike Windows, a line that would
// fail is a note.
static Verdict OnWindows(bool kept, const CheckContext& context)
{
    return kept ? kOk : context.wine ? kNote : kFailed;
}

// Starts this program through tolvane.exe (with /limited where asked) to
// write its report to `report`; tolvane.exe's exit code, which /wait makes
// the copy's. Windows' 1359 (an internal error, which Wine gives process
// creation now and then) is tried again, twice at most.
static DWORD StartCopy(const CheckContext& context, bool limited, const wchar_t* report, const wchar_t* event)
{
    static wchar_t commandLine[4096];
    _snwprintf(commandLine, 4096, L"\"%ls\" /wait %ls\"%ls\" --started-copy \"%ls\" %ls", context.tolvane,
               limited ? L"/limited " : L"", context.self, report, event);
    commandLine[4095] = 0;
    DWORD code = ERROR_INTERNAL_ERROR;
    for (int attempt = 0; attempt < 3 && code == ERROR_INTERNAL_ERROR; ++attempt) {
        STARTUPINFOW startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        // The copy is a console program: its console, which Tolvane's
        // start passes this on to, stays hidden.
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION process;
        if (!CreateProcessW(context.tolvane, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            return GetLastError();
        }
        code = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(process.hProcess, &code)
                   ? code
                   : WAIT_TIMEOUT;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return code;
}

static void CheckForm(const CheckContext& context, bool limited, const wchar_t* event, bool callerAdmin)
{
    const wchar_t* form = limited ? L"/limited" : L"the default form";
    wchar_t report[MAX_PATH + 64];
    DWORD folder = GetTempPathW(MAX_PATH, report);
    _snwprintf(report + folder, 64, L"tolvane-check-%lu-%ls.txt", GetCurrentProcessId(),
               limited ? L"limited" : L"default");
    DWORD code = StartCopy(context, limited, report, event);
    if (!TakeReport(report, g_copy)) {
        Say(kFailed, L"%ls: this program, started through %ls, did not report back (tolvane.exe ended with %lu)",
            form, context.tolvane, code);
        return;
    }
    char text[600], other[600];
    Copy(Line(g_caller, "user", nullptr), text, sizeof text, false);
    Copy(Line(g_copy, "user", nullptr), other, sizeof other, false);
    Say(strcmp(text, other) == 0 && text[0] != 0 ? kOk : kFailed, L"%ls: the user %hs, where this program's is %hs",
        form, other, text);

    Attributes(g_copy, "group", "S-1-5-32-544", text, sizeof text);
    bool denyOnly = HasWord(text, "deny-only") && !HasWord(text, "enabled");
    Say(denyOnly ? kOk : callerAdmin ? kFailed : kNote, L"%ls: Administrators %hs", form, text);

    bool same = CompareTables(g_caller, g_copy, limited, text, sizeof text);
    Say(same ? kOk : kFailed, same ? L"%ls: the other groups and the privileges as promised (%hs)"
                                   : L"%ls: the other groups and the privileges: %hs",
        form, text);

    unsigned long callerLevel = Level(g_caller), level = Level(g_copy);
    if (limited) {
        Say(OnWindows(level <= 0x2000, context), L"%ls: integrity level %ls (S-1-16-%lu), at most Medium", form,
            LevelName(level), level);
        Copy(Line(g_copy, "elevation", nullptr), text, sizeof text, false);
        Say(OnWindows(strcmp(text, "no") == 0, context), L"%ls: elevated: %hs", form, text);
    } else {
        Say(level == callerLevel ? kOk : kFailed, L"%ls: integrity level %ls (S-1-16-%lu), as this program's", form,
            LevelName(level), level);
    }

    // The process's label: the token's level, and no write, read or
    // execute up (0x7).
    Copy(Line(g_copy, "label-process", nullptr), text, sizeof text, false);
    snprintf(other, sizeof other, "S-1-16-%lu 0x7", level);
    Say(OnWindows(strcmp(text, other) == 0, context), L"%ls: the process's label %hs, where %hs is promised", form,
        text, other);

    Copy(Line(g_copy, "object", nullptr), text, sizeof text, false);
    bool refused = strcmp(text, "error 5") == 0;
    Say(refused ? kOk : callerAdmin ? kFailed : kNote,
        refused ? L"%ls: an object only Administrators may open refused it (%hs)"
                : L"%ls: an object only Administrators may open: %hs, where it should be refused (error 5)",
        form, text);
}

void CheckLaunch(const CheckContext& context)
{
    Print(L"The launch: this program started through tolvane.exe");
    wchar_t callerReport[MAX_PATH + 64];
    DWORD folder = GetTempPathW(MAX_PATH, callerReport);
    _snwprintf(callerReport + folder, 64, L"tolvane-check-%lu-caller.txt", GetCurrentProcessId());
    if (!WriteOwnFacts(callerReport, nullptr) || !TakeReport(callerReport, g_caller)) {
        Say(kFailed, L"this program could not read its own token (error %lu)", GetLastError());
        return;
    }
    char words[200];
    Attributes(g_caller, "group", "S-1-5-32-544", words, sizeof words);
    bool callerAdmin = HasWord(words, "enabled");
    if (!callerAdmin) {
        Say(kNote, L"this program runs without administrator rights (Administrators %hs): Tolvane takes away "
                   L"little from such a token; checked all the same",
            words);
    }

    // An event only Administrators may open: the copies must be refused it.
    wchar_t event[64];
    _snwprintf(event, 64, L"Local\\tolvane-check-%lu", GetCurrentProcessId());
    SECURITY_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.nLength = sizeof attributes;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;BA)", SDDL_REVISION_1,
                                                              &attributes.lpSecurityDescriptor, nullptr)) {
        Say(kFailed, L"could not make an object's security descriptor (error %lu)", GetLastError());
        return;
    }
    HANDLE object = CreateEventW(&attributes, TRUE, FALSE, event);
    LocalFree(attributes.lpSecurityDescriptor);
    if (object == nullptr) {
        Say(kFailed, L"could not make an object only Administrators may open (error %lu)", GetLastError());
        return;
    }
    CheckForm(context, false, event, callerAdmin);
    CheckForm(context, true, event, callerAdmin);
    CloseHandle(object);
}

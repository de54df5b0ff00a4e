// token_report: writes a report of its own process and token, so the token a
// program gets from tolvane can be read back and compared with its caller's.
//
// The report goes to the file named by the environment variable
// TOLVANE_REPORT when it is set (a program started by tolvane has no
// console and no arguments), otherwise to standard output. One fact a line:
//   commandline <the process command line>
//   commandline-utf8 <the same, read as UTF-16 and written in UTF-8>
//   desktop <the desktop from the start-up information>
//   thread-desktop <the name of the desktop its thread is on>
//   title <the title from the start-up information>|(none)
//   startup-flags <the start-up flags, in hex>
//   show none|<the show state from the start-up information, when it has one>
//   session <the session id>
//   window-station <the name of its window station>
//   directory <the current directory>
//   env TOLVANE_PROBE=<its value, or "(unset)">
//   codepage <the ANSI code page>
//   object opened|error <code>   (only when TOLVANE_ADMIN_OBJECT is set)
//   own-object opened|error <code>   (only when TOLVANE_OWN_OBJECTS is set)
//   own-child opened|error <code>    (likewise)
//   own-process opened|error <code>  (likewise)
//   own-process-memory opened|error <code>  (likewise)
//   own-thread opened|error <code>   (likewise)
//   own-token opened|error <code>    (likewise)
//   write-file opened|error <code>   (only when TOLVANE_WRITE_FILE is set)
//   write-key opened|error <code>    (only when TOLVANE_WRITE_KEY is set)
//   inherited-handle none|<the file it names>   (only when TOLVANE_INHERITED_HANDLE is set)
//   console none|own|shared          (only when TOLVANE_CALLER_PID is set)
//   console-with-caller yes|no       (likewise)
//   user, group, privilege, owner, default-dacl, dacl-entry, restricting,
//   restricted, type, elevation, elevation-type, virtualization, integrity:
//     what its token says, as check/token_facts.h writes them (the reader
//     tolvane-check uses too)
//   label-process <SID> <mask>|none|error <code>  (the mandatory label of its own process)
//   label-thread ...                   (likewise, its first thread)
//   label-token ...                    (likewise, its token)
//   security-process <SDDL>|error <code>  (its own process's owner, DACL and label)
//   security-thread <SDDL>|error <code>   (likewise, its first thread)
//   open-process opened|error <code>  (only when TOLVANE_OPEN_PROCESS is set)
//   open-process-terminate opened|error <code>  (likewise)
//   open-thread opened|error <code>   (only when TOLVANE_OPEN_THREAD is set)
//   open-thread-suspend opened|error <code>  (likewise)
// TOLVANE_ADMIN_OBJECT names an event that only Administrators may open
// (admin_object.exe makes one): the report says whether this process could
// open it, or the error code it got, 5 when access was denied.
// When its own token cannot be opened the report ends with
// "error OpenProcessToken <code>" after the lines above the user.
// TOLVANE_OWN_OBJECTS makes it create, with default security, a named
// event and a (suspended) child process of its own, and report whether it
// can open each again by name or id: what its token's default DACL allows;
// and whether it can open its own process by id for what crash reporters
// and brokers ask (PROCESS_DUP_HANDLE | PROCESS_VM_OPERATION |
// PROCESS_VM_WRITE, and PROCESS_VM_READ | PROCESS_VM_WRITE), its own first thread for THREAD_GET_CONTEXT |
// THREAD_SET_CONTEXT and its own token for TOKEN_ADJUST_PRIVILEGES |
// TOKEN_QUERY: what the DACL its starter gave them allows.
// TOLVANE_WRITE_FILE names a file and TOLVANE_WRITE_KEY a key under
// HKEY_LOCAL_MACHINE: the report says whether this process may open the file
// for writing and the key for setting values (it changes neither).
// TOLVANE_INHERITED_HANDLE names a handle value its caller made inheritable:
// the report says which file, if any, that value is a handle to here.
// TOLVANE_CALLER_PID names the caller that has a console: the report says
// whether this process has a console, and whether it is the caller's.
// TOLVANE_OPEN_PROCESS and TOLVANE_OPEN_THREAD name another process and
// thread by id: the report says whether this process may open the one for
// PROCESS_VM_WRITE | PROCESS_CREATE_THREAD and the other for
// THREAD_SET_CONTEXT, what it would take to run code in them; and the one
// for PROCESS_TERMINATE, the other for THREAD_SUSPEND_RESUME, what it would
// take to end or stop them.
// TOLVANE_REPORT_DELAY_MS, when set, makes it wait that long before it
// writes, so a test can see that its starter did not wait for it; and
// TOLVANE_EARLY_REPORT names a file it writes its process and thread id to
// ("pid <id>", "tid <id>") before it waits.
#include "check/token_facts.h"

#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

static void ReportOpened(FILE* out, const char* what, HANDLE opened)
{
    if (opened != nullptr) {
        fprintf(out, "%s opened\n", what);
        CloseHandle(opened);
    } else {
        fprintf(out, "%s error %lu\n", what, GetLastError());
    }
}

// Makes an event and a child process with default security, as a program's
// own plumbing does, and opens each again as another part of it would.
static void ReportOwnObjects(FILE* out)
{
    std::string name = "TolvaneOwnEvent-" + std::to_string(GetCurrentProcessId());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ReportOpened(out, "own-object",
                 event ? OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()) : nullptr);

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    ZeroMemory(&child, sizeof child);
    // Suspended, and ended below: it only has to exist.
    if (CreateProcessA(self, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                       &startup, &child)) {
        ReportOpened(out, "own-child",
                     OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                 child.dwProcessId));
        TerminateProcess(child.hProcess, 0);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    } else {
        fprintf(out, "own-child error CreateProcessA %lu\n", GetLastError());
    }
    if (event != nullptr) {
        CloseHandle(event);
    }

    // Itself, as another part of the program would open it by id. This runs
    // on the process's first thread.
    ReportOpened(out, "own-process",
                 OpenProcess(PROCESS_DUP_HANDLE | PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE,
                             GetCurrentProcessId()));
    ReportOpened(out, "own-process-memory",
                 OpenProcess(PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, GetCurrentProcessId()));
    ReportOpened(out, "own-thread",
                 OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId()));
    HANDLE token = nullptr;
    ReportOpened(out, "own-token",
                 OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)
                     ? token
                     : nullptr);
}

// Whether this process may change an installed file and a machine-wide key.
static void ReportWrites(FILE* out)
{
    const char* file = getenv("TOLVANE_WRITE_FILE");
    if (file != nullptr) {
        HANDLE opened = CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ReportOpened(out, "write-file", opened == INVALID_HANDLE_VALUE ? nullptr : opened);
    }
    const char* key = getenv("TOLVANE_WRITE_KEY");
    if (key != nullptr) {
        HKEY opened = nullptr;
        LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &opened);
        if (status == ERROR_SUCCESS) {
            fprintf(out, "write-key opened\n");
            RegCloseKey(opened);
        } else {
            fprintf(out, "write-key error %ld\n", status);
        }
    }
}

// What this process holds of its caller's: a handle value the caller made
// inheritable, and the caller's console.
static void ReportInherited(FILE* out)
{
    const char* value = getenv("TOLVANE_INHERITED_HANDLE");
    if (value != nullptr) {
        HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(strtoull(value, nullptr, 16)));
        char path[MAX_PATH * 2];
        DWORD flags = 0;
        DWORD length = GetHandleInformation(handle, &flags)
                           ? GetFinalPathNameByHandleA(handle, path, sizeof path, FILE_NAME_NORMALIZED)
                           : 0;
        fprintf(out, "inherited-handle %s\n", length > 0 && length < sizeof path ? path : "none");
    }
    const char* caller = getenv("TOLVANE_CALLER_PID");
    if (caller != nullptr) {
        DWORD ids[64];
        DWORD count = GetConsoleProcessList(ids, 64);
        bool withCaller = false;
        for (DWORD i = 0; i < count && i < 64; ++i) {
            withCaller = withCaller || ids[i] == strtoul(caller, nullptr, 10);
        }
        fprintf(out, "console %s\n", count == 0 ? "none" : count == 1 ? "own" : "shared");
        fprintf(out, "console-with-caller %s\n", withCaller ? "yes" : "no");
    }
}

// The owner, DACL and label of a kernel object, in SDDL.
static std::string SecurityOf(HANDLE object)
{
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
    DWORD size = 0;
    GetKernelObjectSecurity(object, parts, nullptr, 0, &size);
    std::vector<unsigned char> descriptor(size ? size : 1);
    char* text = nullptr;
    if (!GetKernelObjectSecurity(object, parts, descriptor.data(), size, &size) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1, parts,
                                                              &text, nullptr)) {
        return "error " + std::to_string(GetLastError());
    }
    std::string sddl = text;
    LocalFree(text);
    return sddl;
}

// Whether this process may open another's process and thread to run code
// in them.
static void ReportOpenOthers(FILE* out)
{
    const char* process = getenv("TOLVANE_OPEN_PROCESS");
    if (process != nullptr) {
        DWORD id = strtoul(process, nullptr, 10);
        ReportOpened(out, "open-process", OpenProcess(PROCESS_VM_WRITE | PROCESS_CREATE_THREAD, FALSE, id));
        ReportOpened(out, "open-process-terminate", OpenProcess(PROCESS_TERMINATE, FALSE, id));
    }
    const char* thread = getenv("TOLVANE_OPEN_THREAD");
    if (thread != nullptr) {
        DWORD id = strtoul(thread, nullptr, 10);
        ReportOpened(out, "open-thread", OpenThread(THREAD_SET_CONTEXT, FALSE, id));
        ReportOpened(out, "open-thread-suspend", OpenThread(THREAD_SUSPEND_RESUME, FALSE, id));
    }
}

static void Report(FILE* out)
{
    fprintf(out, "commandline %s\n", GetCommandLineA());
    // The command line as the process got it, before any conversion to the
    // ANSI code page could lose or replace a character.
    const wchar_t* wide = GetCommandLineW();
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], size, nullptr, nullptr);
    fprintf(out, "commandline-utf8 %s\n", utf8.c_str());

    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    fprintf(out, "desktop %s\n", startup.lpDesktop ? startup.lpDesktop : "(none)");
    char desktopName[256];
    DWORD desktopNeeded = 0;
    fprintf(out, "thread-desktop %s\n",
            GetUserObjectInformationA(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, desktopName,
                                      sizeof desktopName, &desktopNeeded)
                ? desktopName
                : "unknown");
    fprintf(out, "title %s\n", startup.lpTitle ? startup.lpTitle : "(none)");
    fprintf(out, "startup-flags 0x%lx\n", static_cast<unsigned long>(startup.dwFlags));
    if (startup.dwFlags & STARTF_USESHOWWINDOW) {
        fprintf(out, "show %u\n", startup.wShowWindow);
    } else {
        fprintf(out, "show none\n");
    }

    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        fprintf(out, "session %lu\n", static_cast<unsigned long>(session));
    }
    char station[256];
    DWORD needed = 0;
    fprintf(out, "window-station %s\n",
            GetUserObjectInformationA(GetProcessWindowStation(), UOI_NAME, station, sizeof station, &needed)
                ? station
                : "unknown");

    char directory[MAX_PATH];
    GetCurrentDirectoryA(sizeof directory, directory);
    fprintf(out, "directory %s\n", directory);

    const char* probe = getenv("TOLVANE_PROBE");
    fprintf(out, "env TOLVANE_PROBE=%s\n", probe ? probe : "(unset)");
    fprintf(out, "codepage %u\n", GetACP());

    const char* object = getenv("TOLVANE_ADMIN_OBJECT");
    if (object != nullptr) {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, object);
        if (event != nullptr) {
            fprintf(out, "object opened\n");
            CloseHandle(event);
        } else {
            fprintf(out, "object error %lu\n", GetLastError());
        }
    }

    if (getenv("TOLVANE_OWN_OBJECTS") != nullptr) {
        ReportOwnObjects(out);
    }
    ReportInherited(out);
    ReportWrites(out);
    ReportOpenOthers(out);

    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        fprintf(out, "error OpenProcessToken %lu\n", GetLastError());
        return;
    }

    WriteTokenFacts(out, token);
    // The program's own objects, as their descriptors say: the process and
    // this thread (its first) through their pseudo-handles, the token
    // opened to read its descriptor.
    WriteLabel(out, "label-process", GetCurrentProcess());
    WriteLabel(out, "label-thread", GetCurrentThread());
    fprintf(out, "security-process %s\n", SecurityOf(GetCurrentProcess()).c_str());
    fprintf(out, "security-thread %s\n", SecurityOf(GetCurrentThread()).c_str());
    HANDLE readable = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), READ_CONTROL, &readable)) {
        WriteLabel(out, "label-token", readable);
        CloseHandle(readable);
    } else {
        fprintf(out, "label-token error %lu\n", GetLastError());
    }
}

int main()
{
    const char* early = getenv("TOLVANE_EARLY_REPORT");
    if (early != nullptr) {
        std::string partial = std::string(early) + ".partial";
        FILE* out = fopen(partial.c_str(), "w");
        if (out != nullptr) {
            fprintf(out, "pid %lu\ntid %lu\n", GetCurrentProcessId(), GetCurrentThreadId());
            fclose(out);
            MoveFileExA(partial.c_str(), early, MOVEFILE_REPLACE_EXISTING);
        }
    }
    const char* delay = getenv("TOLVANE_REPORT_DELAY_MS");
    if (delay != nullptr) {
        Sleep(static_cast<DWORD>(strtoul(delay, nullptr, 10)));
    }
    const char* path = getenv("TOLVANE_REPORT");
    if (path == nullptr || path[0] == 0) {
        Report(stdout);
        return 0;
    }
    // Written under another name and renamed into place, so a reader that
    // sees the file sees all of it.
    std::string partial = std::string(path) + ".partial";
    FILE* out = fopen(partial.c_str(), "w");
    if (out == nullptr) {
        return 1;
    }
    Report(out);
    fclose(out);
    return MoveFileExA(partial.c_str(), path, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}

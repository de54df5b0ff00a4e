// e2e_harness: starts the launcher with an exact command line, in a chosen
// directory, waits for it and writes down how it ended; or starts a file
// through a verb of the shell, as Explorer's menu does, and does the same.
//
// usage: e2e_harness.exe <launcher> <directory> <command-line file> <result file>
//        e2e_harness.exe --verb <verb> <class key> <file> <result file>
//
// The command line is read as raw bytes from its file, so any byte can be
// put on it, and handed to CreateProcessA unchanged (or, when
// TOLVANE_HARNESS_UTF8 is set, read as UTF-8 and handed to CreateProcessW,
// as Explorer hands on names outside any ANSI code page); the launcher's image is
// named separately, so the command line's first word can be anything (or,
// with TOLVANE_HARNESS_UTF8, the image named "-" is the one that first word
// names, a path no ANSI code page may hold). With
// --verb, ShellExecuteExA runs the command registered for the verb under
// <class key> (a key under HKEY_CURRENT_USER, such as
// Software\Classes\exefile, or under HKEY_LOCAL_MACHINE after "HKLM\"; or
// "name:" and a ProgID) with the file in place of %1: the shell's own
// substitution, as Explorer's menu uses it. The key is named rather than
// found from the file's type because Wine's shell runs an .exe itself
// whatever the verb, and its HKEY_CLASSES_ROOT leaves out the per-user
// classes; on Windows a class key of "-" lets the shell find the verb by
// the file's type, as Explorer does. TOLVANE_HARNESS_PARAMETERS, when set,
// are the parameters handed on with the file, as Explorer hands on a
// shortcut's arguments. The environment is the harness's own. The result file gets:
//   status <exit status>
//   elapsed-ms <from the start to the end of the started process>
//   elapsed-us <the same in microseconds, from the performance counter>
// or "error <what> <code>" when nothing could be started.
//
// When TOLVANE_HARNESS_DEFAULT_DACL holds a DACL in SDDL, such as
// "D:(A;;GA;;;BA)(A;;GA;;;SY)" (what Windows gives a full administrator's
// token), the harness first makes it its own token's default DACL, so what
// it starts inherits that.
//
// When TOLVANE_HARNESS_INHERIT names a file, the harness opens it with an
// inheritable handle, puts the handle's value in TOLVANE_INHERITED_HANDLE
// and starts the launcher with handle inheritance on, as a careless caller
// would: what the launcher starts must not get it. When
// TOLVANE_HARNESS_CONSOLE is set, the harness takes a console of its own
// and names itself in TOLVANE_CALLER_PID, so the started program can say
// whether it shares that console.
//
// When TOLVANE_HARNESS_SHOW holds a number, the launcher is started with
// that show state (STARTF_USESHOWWINDOW), as a shortcut's "Run" setting or
// `start /min` hands one on.
//
// When TOLVANE_HARNESS_TITLE is set, the launcher is started with it as its
// title, and with the start-up flags TOLVANE_HARNESS_FLAGS holds (a number,
// such as 0x800, STARTF_TITLEISLINKNAME), as the shell starts a shortcut's
// target.
//
// When TOLVANE_HARNESS_DESKTOP names a desktop, the harness makes it in its
// own window station and starts the launcher there, as a kiosk's shell or a
// tool with desktops of its own would.
//
// When TOLVANE_HARNESS_RESTRICTED is set, the harness does not start the
// launcher but, in its place, the program named as the launcher, under the
// token the launcher's default form gives (Administrators deny-only, the
// user added to the default DACL) and with no security attributes: what
// Windows then gives the new process and its thread, to be set beside what
// Tolvane gives them.
//
// When TOLVANE_HARNESS_WINDOW_STATION names a window station, the harness
// makes it with a desktop "default" in it and starts the launcher there
// ("<name>\default"), away from the interactive one, as a service or a
// task run whether the user is logged on or not would.
#include "demo/report_file.h"

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static int WriteResult(const char* path, const std::string& text)
{
    return WriteReportFile(path, text) ? 0 : 2;
}

static void StartClock(LARGE_INTEGER* counterStart, ULONGLONG* started)
{
    QueryPerformanceCounter(counterStart);
    *started = GetTickCount64();
}

// Waits for the started process and writes its status and how long it ran.
static int WaitAndWrite(HANDLE process, LARGE_INTEGER counterStart, ULONGLONG started,
                        const char* resultPath)
{
    if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process, 999);
        return WriteResult(resultPath, "error launcher-did-not-end 0\n");
    }
    LARGE_INTEGER frequency, counterEnd;
    QueryPerformanceCounter(&counterEnd);
    QueryPerformanceFrequency(&frequency);
    ULONGLONG elapsed = GetTickCount64() - started;
    LONGLONG elapsedUs = (counterEnd.QuadPart - counterStart.QuadPart) * 1000000 / frequency.QuadPart;
    DWORD status = 0;
    GetExitCodeProcess(process, &status);
    return WriteResult(resultPath, "status " + std::to_string(status) + "\nelapsed-ms " +
                                       std::to_string(elapsed) + "\nelapsed-us " +
                                       std::to_string(elapsedUs) + "\n");
}

static int StartThroughVerb(const char* verb, const char* classKey, const char* file,
                            const char* resultPath)
{
    SHELLEXECUTEINFOA info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    // The process handle back, no error box, and done before the call
    // returns; the verb from the named key, or (class key "-") found by the
    // file's type, as Explorer finds it.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    if (strncmp(classKey, "name:", 5) == 0) {
        // A ProgID by name, as HKEY_CLASSES_ROOT has it.
        info.fMask |= SEE_MASK_CLASSNAME;
        info.lpClass = classKey + 5;
    } else if (strcmp(classKey, "-") != 0) {
        HKEY key;
        bool machine = strncmp(classKey, "HKLM\\", 5) == 0;
        LONG opened = RegOpenKeyExA(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, classKey + (machine ? 5 : 0), 0,
                                    KEY_READ, &key);
        if (opened != ERROR_SUCCESS) {
            return WriteResult(resultPath, "error RegOpenKeyExA " + std::to_string(opened) + "\n");
        }
        info.fMask |= SEE_MASK_CLASSKEY;
        info.hkeyClass = key;
    }
    info.lpVerb = verb;
    info.lpFile = file;
    // What a shortcut hands the verb after the file: its arguments, which
    // the command takes as %*.
    info.lpParameters = getenv("TOLVANE_HARNESS_PARAMETERS");
    info.nShow = SW_SHOWNORMAL;

    LARGE_INTEGER counterStart;
    ULONGLONG started;
    StartClock(&counterStart, &started);
    if (!ShellExecuteExA(&info)) {
        return WriteResult(resultPath, "error ShellExecuteExA " + std::to_string(GetLastError()) + "\n");
    }
    if (info.hProcess == nullptr) {
        return WriteResult(resultPath, "error no-process 0\n");
    }
    return WaitAndWrite(info.hProcess, counterStart, started, resultPath);
}

// UTF-8 text as UTF-16.
static std::wstring Wide(const std::string& utf8)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(size > 0 ? static_cast<size_t>(size) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], size);
    return wide;
}

// Gives the harness's own token the default DACL named in SDDL; returns a
// description of what failed, or an empty string.
static std::string SetOwnDefaultDacl(const char* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return "error descriptor " + std::to_string(GetLastError()) + "\n";
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    TOKEN_DEFAULT_DACL defaultDacl;
    defaultDacl.DefaultDacl = dacl;
    HANDLE token = nullptr;
    std::string failure;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, &token) ||
        !SetTokenInformation(token, TokenDefaultDacl, &defaultDacl, sizeof defaultDacl)) {
        failure = "error default-dacl " + std::to_string(GetLastError()) + "\n";
    }
    if (token != nullptr) {
        CloseHandle(token);
    }
    LocalFree(descriptor);
    return failure;
}

// Opens `path` with a handle the harness's children inherit and names its
// value in the environment; returns whether it could.
static bool OfferInheritableHandle(const char* path)
{
    SECURITY_ATTRIBUTES inheritable;
    ZeroMemory(&inheritable, sizeof inheritable);
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char value[32];
    snprintf(value, sizeof value, "%llx",
             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(file)));
    return SetEnvironmentVariableA("TOLVANE_INHERITED_HANDLE", value) != FALSE;
}

// A console of the harness's own, whatever it was started with, and its
// process id in the environment.
static bool TakeOwnConsole()
{
    FreeConsole();
    return AllocConsole() != FALSE &&
           SetEnvironmentVariableA("TOLVANE_CALLER_PID",
                                   std::to_string(GetCurrentProcessId()).c_str()) != FALSE;
}

// A window station of the harness's own with a desktop "default" in it;
// returns the desktop's full name for the start-up information, or an
// empty string when either could not be made.
static std::string MakeWindowStation(const char* name)
{
    HWINSTA station = CreateWindowStationA(name, 0, WINSTA_ALL_ACCESS, nullptr);
    HWINSTA own = GetProcessWindowStation();
    // A desktop is made in the calling process's window station.
    if (station == nullptr || !SetProcessWindowStation(station)) {
        return "";
    }
    HDESK desktop = CreateDesktopA("default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
    return desktop == nullptr ? "" : std::string(name) + "\\default";
}

// The harness's own token, as the launcher's default form copies it: the
// user added to the default DACL, Administrators deny-only. Returns null
// when a step fails, its error left for GetLastError.
static HANDLE DefaultFormToken()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(),
                          TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT, &token)) {
        return nullptr;
    }
    DWORD size = 0;
    std::string user(256, '\0'), current(1024, '\0');
    if (!GetTokenInformation(token, TokenUser, &user[0], 256, &size) ||
        !GetTokenInformation(token, TokenDefaultDacl, &current[0], 1024, &size)) {
        return nullptr;
    }
    PSID userSid = reinterpret_cast<TOKEN_USER*>(&user[0])->User.Sid;
    ACL* own = reinterpret_cast<TOKEN_DEFAULT_DACL*>(&current[0])->DefaultDacl;
    if (own != nullptr) {
        std::string mended(2048, '\0');
        ACL* acl = reinterpret_cast<ACL*>(&mended[0]);
        InitializeAcl(acl, 2048, own->AclRevision);
        for (DWORD i = 0; i < own->AceCount; ++i) {
            ACE_HEADER* entry = nullptr;
            if (!GetAce(own, i, reinterpret_cast<void**>(&entry)) ||
                !AddAce(acl, own->AclRevision, MAXDWORD, entry, entry->AceSize)) {
                return nullptr;
            }
        }
        TOKEN_DEFAULT_DACL replacement = {acl};
        if (!AddAccessAllowedAce(acl, own->AclRevision, GENERIC_ALL, userSid) ||
            !SetTokenInformation(token, TokenDefaultDacl, &replacement, sizeof replacement)) {
            return nullptr;
        }
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    HANDLE restricted = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators)) {
        return nullptr;
    }
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted);
    FreeSid(administrators);
    return restricted;
}

int main(int argc, char** argv)
{
    const char* defaultDacl = getenv("TOLVANE_HARNESS_DEFAULT_DACL");
    if (defaultDacl != nullptr && argc >= 2) {
        std::string failure = SetOwnDefaultDacl(defaultDacl);
        if (!failure.empty()) {
            return WriteResult(argv[argc - 1], failure);
        }
    }
    const char* inherit = getenv("TOLVANE_HARNESS_INHERIT");
    if (inherit != nullptr && argc >= 2 && !OfferInheritableHandle(inherit)) {
        return WriteResult(argv[argc - 1], "error inheritable-handle " + std::to_string(GetLastError()) + "\n");
    }
    if (getenv("TOLVANE_HARNESS_CONSOLE") != nullptr && argc >= 2 && !TakeOwnConsole()) {
        return WriteResult(argv[argc - 1], "error console " + std::to_string(GetLastError()) + "\n");
    }
    BOOL inheritHandles = inherit != nullptr;
    if (argc == 6 && strcmp(argv[1], "--verb") == 0) {
        return StartThroughVerb(argv[2], argv[3], argv[4], argv[5]);
    }
    if (argc != 5) {
        fprintf(stderr, "usage: e2e_harness.exe <launcher> <directory> <command-line file> <result file>\n"
                        "       e2e_harness.exe --verb <verb> <class key> <file> <result file>\n");
        return 2;
    }
    const char* launcher = argv[1];
    const char* directory = argv[2];
    const char* resultPath = argv[4];

    std::string commandLine;
    FILE* in = fopen(argv[3], "rb");
    if (in == nullptr) {
        return WriteResult(resultPath, "error open-command-line 0\n");
    }
    int c;
    while ((c = fgetc(in)) != EOF) {
        commandLine += static_cast<char>(c);
    }
    fclose(in);

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    const char* show = getenv("TOLVANE_HARNESS_SHOW");
    if (show != nullptr) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(atoi(show));
    }
    const char* title = getenv("TOLVANE_HARNESS_TITLE");
    const char* flags = getenv("TOLVANE_HARNESS_FLAGS");
    if (title != nullptr) {
        startup.lpTitle = const_cast<char*>(title);
        startup.dwFlags |= flags != nullptr ? static_cast<DWORD>(strtoul(flags, nullptr, 0)) : 0;
    }
    std::string desktop;
    const char* ownDesktop = getenv("TOLVANE_HARNESS_DESKTOP");
    if (ownDesktop != nullptr) {
        if (CreateDesktopA(ownDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr) == nullptr) {
            return WriteResult(resultPath, "error desktop " + std::to_string(GetLastError()) + "\n");
        }
        desktop = ownDesktop;
        startup.lpDesktop = &desktop[0];
    }
    const char* station = getenv("TOLVANE_HARNESS_WINDOW_STATION");
    if (station != nullptr) {
        desktop = MakeWindowStation(station);
        if (desktop.empty()) {
            return WriteResult(resultPath, "error window-station " + std::to_string(GetLastError()) + "\n");
        }
        startup.lpDesktop = &desktop[0];
    }
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);

    LARGE_INTEGER counterStart;
    ULONGLONG started;
    if (getenv("TOLVANE_HARNESS_UTF8") != nullptr) {
        std::wstring wide = Wide(commandLine), wideLauncher = Wide(launcher),
                     wideDirectory = Wide(directory);
        STARTUPINFOW startupW;
        ZeroMemory(&startupW, sizeof startupW);
        startupW.cb = sizeof startupW;
        startupW.dwFlags = startup.dwFlags;
        startupW.wShowWindow = startup.wShowWindow;
        StartClock(&counterStart, &started);
        // "-": the program the command line's first word names, as a
        // shell starts it, whatever the ANSI code page can hold of it.
        if (!CreateProcessW(strcmp(launcher, "-") == 0 ? nullptr : wideLauncher.c_str(), &wide[0], nullptr,
                            nullptr, inheritHandles, 0, nullptr,
                            wideDirectory.c_str(), &startupW, &process)) {
            return WriteResult(resultPath, "error CreateProcessW " + std::to_string(GetLastError()) + "\n");
        }
        return WaitAndWrite(process.hProcess, counterStart, started, resultPath);
    }
    if (getenv("TOLVANE_HARNESS_RESTRICTED") != nullptr) {
        HANDLE token = DefaultFormToken();
        StartClock(&counterStart, &started);
        if (token == nullptr ||
            !CreateProcessAsUserA(token, launcher, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  directory, &startup, &process)) {
            return WriteResult(resultPath, "error restricted " + std::to_string(GetLastError()) + "\n");
        }
        return WaitAndWrite(process.hProcess, counterStart, started, resultPath);
    }
    StartClock(&counterStart, &started);
    if (!CreateProcessA(launcher, &commandLine[0], nullptr, nullptr, inheritHandles, 0, nullptr, directory,
                        &startup, &process)) {
        return WriteResult(resultPath, "error CreateProcessA " + std::to_string(GetLastError()) + "\n");
    }
    return WaitAndWrite(process.hProcess, counterStart, started, resultPath);
}

#include "launcher/launch.h"

#include "launcher/failure.h"
#include "launcher/intake.h"
#include "launcher/window_station.h"

#include <string.h>

// Whether the two texts are the same, byte for byte.
static bool SameText(const char* a, const char* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

DWORD FillLaunchSettings(const PlatformCalls& platform, HMODULE self, LaunchSettings* settings)
{
    STARTUPINFOA* record = &settings->record;
    platform.GetStartupInfoA(record);
    record->cb = sizeof *record;
    record->lpReserved = nullptr;
    record->cbReserved2 = 0;
    record->lpReserved2 = nullptr;

    // The caller's handles stay with the caller; what the hotkey and the
    // shell's flags put in two of the handles' places is no handle.
    DWORD flags = record->dwFlags & ~static_cast<DWORD>(STARTF_USESTDHANDLES);
    record->dwFlags = flags;
    if ((flags & STARTF_USEHOTKEY) == 0) {
        record->hStdInput = nullptr;
    }
    if ((flags & kStartfHasShellData) == 0) {
        record->hStdOutput = nullptr;
    }
    record->hStdError = nullptr;

    // A shortcut's path or an application's id is the program's, as is a
    // title the starter chose; Tolvane's own path, which Windows put there
    // for want of one, is not.
    if ((flags & (STARTF_TITLEISLINKNAME | STARTF_TITLEISAPPID)) == 0 && record->lpTitle != nullptr) {
        char ownPath[kPathBufferSize];
        DWORD length = platform.GetModuleFileNameA(self, ownPath, sizeof ownPath);
        if (length != 0 && length < sizeof ownPath && SameText(ownPath, record->lpTitle)) {
            record->lpTitle = nullptr;
        }
    }

    // The desktop Tolvane was started on: its windows show where the
    // caller's do.
    char* desktop = settings->desktop;
    size_t prefix = sizeof kInteractiveWindowStation;   // "winsta0" and a backslash
    for (size_t i = 0; i < prefix; ++i) {
        desktop[i] = kInteractiveWindowStation[i];
    }
    desktop[prefix - 1] = '\\';
    DWORD needed = 0;
    if (!platform.GetUserObjectInformationA(platform.GetThreadDesktop(platform.GetCurrentThreadId()),
                                            UOI_NAME, desktop + prefix,
                                            static_cast<DWORD>(sizeof settings->desktop - prefix),
                                            &needed)) {
        return FailureCode(platform);
    }
    record->lpDesktop = desktop;
    return 0;
}

bool LaunchRestricted(const PlatformCalls& platform, HANDLE restrictedToken,
                      const char* targetName, char* commandLine, void* security,
                      STARTUPINFOA* launchSettings, PROCESS_INFORMATION* processInformation)
{
    memset(processInformation, 0, sizeof *processInformation);
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = security;
    attributes.bInheritHandle = FALSE;
    return platform.CreateProcessAsUserA(
               restrictedToken,
               targetName,   // exactly this file: no search, no extension added
               commandLine,  // null: the platform builds it from the name alone
               &attributes,  // the process: this security, handle not inheritable
               &attributes,  // its first thread: the same
               FALSE,        // the launcher's handles stay with the launcher
               0,            // no console, priority or suspension flags
               nullptr,      // the launcher's own environment
               nullptr,      // the launcher's own current directory
               launchSettings,
               processInformation) != FALSE;
}

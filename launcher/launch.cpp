#include "launcher/launch.h"

#include <string.h>

const char kInteractiveDesktop[] = "winsta0\\default";

void FillLaunchSettings(STARTUPINFOA* launchSettings, int showState)
{
    memset(launchSettings, 0, sizeof *launchSettings);
    launchSettings->cb = sizeof *launchSettings;
    // The platform only reads the desktop name; the field is not const.
    launchSettings->lpDesktop = const_cast<char*>(kInteractiveDesktop);
    // A shortcut's "Run: Minimized" or "Maximized", `start /min`: the
    // program opens its first window as Tolvane was asked to.
    if (showState != SW_SHOWDEFAULT) {
        launchSettings->dwFlags = STARTF_USESHOWWINDOW;
        launchSettings->wShowWindow = static_cast<WORD>(showState);
    }
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

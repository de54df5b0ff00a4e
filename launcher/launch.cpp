#include "launcher/launch.h"

#include <string.h>

const char kInteractiveDesktop[] = "winsta0\\default";

void FillLaunchSettings(STARTUPINFOA* launchSettings)
{
    memset(launchSettings, 0, sizeof *launchSettings);
    launchSettings->cb = sizeof *launchSettings;
    // The platform only reads the desktop name; the field is not const.
    launchSettings->lpDesktop = const_cast<char*>(kInteractiveDesktop);
}

bool LaunchRestricted(const PlatformCalls& platform, HANDLE restrictedToken,
                      const char* targetName, char* commandLine, STARTUPINFOA* launchSettings,
                      PROCESS_INFORMATION* processInformation)
{
    memset(processInformation, 0, sizeof *processInformation);
    return platform.CreateProcessAsUserA(
               restrictedToken,
               targetName,   // exactly this file: no search, no extension added
               commandLine,  // null: the platform builds it from the name alone
               nullptr,      // process handle not inheritable
               nullptr,      // thread handle not inheritable
               FALSE,        // the launcher's handles stay with the launcher
               0,            // no console, priority or suspension flags
               nullptr,      // the launcher's own environment
               nullptr,      // the launcher's own current directory
               launchSettings,
               processInformation) != FALSE;
}

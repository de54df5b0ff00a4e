// The launch: the target started under the restricted token on the
// interactive desktop.
#pragma once

#include "platform/platform_calls.h"

// The desktop the new process starts on: the interactive window station's
// default desktop, so its windows show where the user is.
extern const char kInteractiveDesktop[];

// Fills the start-up information of the new process: every byte zero, then
// its size and the desktop; and, when the launcher was given a show state
// (`showState` is not SW_SHOWDEFAULT, what WinMain gets without one), that
// show state. No standard handles are handed over.
void FillLaunchSettings(STARTUPINFOA* launchSettings, int showState);

// Starts the file `targetName` under `restrictedToken`, with `commandLine`
// (writable, as the platform requires) or, when that is null, with its name
// alone as its command line; its process and first thread made with the
// security descriptor `security`, their handles not inheritable; in the
// launcher's environment and current directory; and does not wait for it.
// Fills `processInformation` with the new process's handles, which are left
// to the end of the launcher's process. Returns whether the platform created
// the process.
bool LaunchRestricted(const PlatformCalls& platform, HANDLE restrictedToken,
                      const char* targetName, char* commandLine, void* security,
                      STARTUPINFOA* launchSettings, PROCESS_INFORMATION* processInformation);

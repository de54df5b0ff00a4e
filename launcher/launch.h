// The launch: the target started under the restricted token, on the
// caller's own desktop, with what its starter told Tolvane about itself.
#pragma once

#include "platform/platform_calls.h"

// The flag under which the shell passes data of its own in hStdOutput (the
// monitor a program opens on), as a hotkey passes in hStdInput.
const DWORD kStartfHasShellData = 0x400;

// The most bytes of the program's desktop, "winsta0\" and the name of the
// caller's own desktop, with the terminator.
const DWORD kDesktopNameSize = 264;

// The start-up information of the new process and the desktop it names.
struct LaunchSettings {
    STARTUPINFOA record;
    char desktop[kDesktopNameSize];
};

// Fills the start-up information of the new process from what Tolvane's
// starter gave it (GetStartupInfoA), so that a shortcut's title (with
// STARTF_TITLEISLINKNAME or STARTF_TITLEISAPPID), hotkey, window position,
// size, console size and colours, show state, pinning and source flags and
// the shell's monitor reach the program as they reached Tolvane. Except:
//   - the desktop is the one Tolvane's thread is on, in the interactive
//     window station: "winsta0\<its name>";
//   - no standard handles: STARTF_USESTDHANDLES is cleared and hStdError is
//     null; hStdInput is kept only as the hotkey (STARTF_USEHOTKEY) and
//     hStdOutput only as the shell's data (kStartfHasShellData);
//   - no title where the starter gave none: Windows then puts the path of
//     Tolvane's own image (`self`) there, which would name a console
//     program's window after Tolvane;
//   - the reserved fields are zero.
// Returns 0, or the error code of the desktop's name that could not be
// read (ERROR_INSUFFICIENT_BUFFER for a name that does not fit).
DWORD FillLaunchSettings(const PlatformCalls& platform, HMODULE self, LaunchSettings* settings);

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

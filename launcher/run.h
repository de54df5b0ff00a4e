// The whole run of the launcher, from the command-line tail to the status
// the process ends with.
#pragma once

#include "platform/platform_calls.h"

// Checks that the launcher runs on the interactive window station and that
// the ANSI tail is the real one, then runs intake, the token steps (the
// launcher's own default DACL, then the restricted copy) and the launch, in
// that order, then releases the Administrators SID. Returns 0 when the
// target was started (FreeSid's result: nonzero only if the SID could not
// be released); otherwise the error code of the first step that failed
// (ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION away from the interactive
// window station, ERROR_NO_UNICODE_TRANSLATION for a tail the code page
// cannot carry, ERROR_FILENAME_EXCED_RANGE for a path too long to copy), or
// 1 where the platform gave none (ERROR_INVALID_PARAMETER for an option it
// does not know). Steps after a failed one are skipped. "/?" shows the
// usage box and returns 0.
// The program gets the start-up settings the launcher was started with
// (launch.h says which); `self` is the launcher's own module. With
// /errorbox, a failure before the program started is also shown in a box.
UINT_PTR RunLauncher(const PlatformCalls& platform, HMODULE self, char* tail);

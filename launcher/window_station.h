// Where the launcher runs: the started program's windows go to the
// interactive window station's default desktop, which only a launcher that
// runs there itself can hand on.
#pragma once

#include "platform/platform_calls.h"

// The interactive window station's name, in small letters.
extern const char kInteractiveWindowStation[sizeof "winsta0"];

// Returns 0 when the launcher's own window station is the interactive one
// (its name compared in any ASCII case); ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION
// when it is another, as for a service, a task run whether the user is
// logged on or not, or a remote shell, or when the process has none; or the
// error code of a query that failed otherwise.
DWORD CheckInteractiveWindowStation(const PlatformCalls& platform);

// How a failed step becomes the run's status.
#pragma once

#include "platform/platform_calls.h"

// The code a step that just failed ends the run with: the platform's own
// error code, read before anything else can overwrite it, or 1 where the
// platform gave none.
inline DWORD FailureCode(const PlatformCalls& platform)
{
    DWORD error = platform.GetLastError();
    return error != 0 ? error : 1;
}

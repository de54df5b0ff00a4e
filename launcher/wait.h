// Waiting for the started program, when the caller asks for its exit code.
#pragma once

#include "platform/platform_calls.h"

// Waits for `process` to end and returns its exit code; or, when the wait or
// the reading of the code fails, that step's error code.
UINT_PTR WaitForExitCode(const PlatformCalls& platform, HANDLE process);

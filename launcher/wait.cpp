#include "launcher/wait.h"

#include "launcher/failure.h"

UINT_PTR WaitForExitCode(const PlatformCalls& platform, HANDLE process)
{
    DWORD exitCode = 0;
    if (platform.WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 ||
        !platform.GetExitCodeProcess(process, &exitCode)) {
        return FailureCode(platform);
    }
    return exitCode;
}

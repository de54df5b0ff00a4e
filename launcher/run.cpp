#include "launcher/run.h"

#include "launcher/intake.h"
#include "launcher/launch.h"
#include "launcher/restricted_token.h"

// The status for a step that just failed: the platform's own error code,
// read before anything else can overwrite it.
static UINT_PTR FailureStatus(const PlatformCalls& platform)
{
    DWORD error = platform.GetLastError();
    return error != 0 ? error : 1;
}

UINT_PTR RunLauncher(const PlatformCalls& platform, char* tail)
{
    // Intake. An empty tail shows the usage box, then goes on: the launch of
    // the empty name fails and gives the run its status.
    if (tail[0] == 0) {
        ShowUsage(platform);
    }
    char* targetName = ExtractTargetName(tail);

    STARTUPINFOA launchSettings;
    FillLaunchSettings(&launchSettings);

    // The token steps and the launch, each only if every step before it
    // produced its result.
    UINT_PTR status = 0;
    HANDLE processToken = OpenOwnToken(platform);
    if (processToken == nullptr) {
        status = FailureStatus(platform);
    }

    PSID administratorsSid = nullptr;
    if (status == 0) {
        administratorsSid = MakeAdministratorsSid(platform);
        if (administratorsSid == nullptr) {
            status = FailureStatus(platform);
        }
    }

    HANDLE restrictedToken = nullptr;
    if (status == 0) {
        restrictedToken = MakeRestrictedToken(platform, processToken, administratorsSid);
        if (restrictedToken == nullptr) {
            status = FailureStatus(platform);
        }
    }

    if (status == 0) {
        if (!LaunchRestricted(platform, restrictedToken, targetName, &launchSettings)) {
            status = FailureStatus(platform);
        }
    }

    // The SID is the run's one allocation; release it whatever happened.
    // After a launch, the release's own result is the status.
    if (administratorsSid != nullptr) {
        PVOID notReleased = platform.FreeSid(administratorsSid);
        if (status == 0) {
            status = reinterpret_cast<UINT_PTR>(notReleased);
        }
    }
    return status;
}

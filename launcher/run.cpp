#include "launcher/run.h"

#include "launcher/code_page.h"
#include "launcher/default_dacl.h"
#include "launcher/failure.h"
#include "launcher/intake.h"
#include "launcher/launch.h"
#include "launcher/restricted_token.h"

UINT_PTR RunLauncher(const PlatformCalls& platform, char* tail)
{
    // A command line the ANSI code page cannot carry (older Windows ignore
    // the manifest's UTF-8) would name another file or split elsewhere:
    // nothing is shown, made or started.
    DWORD carried = CheckAnsiCommandLine(platform);
    if (carried != 0) {
        return carried;
    }

    // Intake. An empty tail shows the usage box, then goes on: the launch of
    // the empty name fails and gives the run its status. A quoted path with
    // arguments is copied here, since the command line keeps it whole.
    if (tail[0] == 0) {
        ShowUsage(platform);
    }
    char pathBuffer[kPathBufferSize];
    char* commandLine = nullptr;
    char* targetName = ExtractTargetName(tail, pathBuffer, sizeof pathBuffer, &commandLine);

    STARTUPINFOA launchSettings;
    FillLaunchSettings(&launchSettings);

    // The token steps and the launch, each only if every step before it
    // produced its result.
    UINT_PTR status = 0;
    if (targetName == nullptr) {
        status = ERROR_FILENAME_EXCED_RANGE;
    }

    HANDLE processToken = nullptr;
    if (status == 0) {
        processToken = OpenOwnToken(platform);
        if (processToken == nullptr) {
            status = FailureCode(platform);
        }
    }

    PSID administratorsSid = nullptr;
    if (status == 0) {
        administratorsSid = MakeAdministratorsSid(platform);
        if (administratorsSid == nullptr) {
            status = FailureCode(platform);
        }
    }

    // The new process, its thread and the restricted token are made with
    // the launcher's own default DACL, which the restricted token also
    // inherits: the user joins it first, or the program could be refused
    // itself and what it makes, where that list names Administrators alone.
    if (status == 0) {
        status = AddUserToDefaultDacl(platform, processToken);
    }

    HANDLE restrictedToken = nullptr;
    if (status == 0) {
        restrictedToken = MakeRestrictedToken(platform, processToken, administratorsSid);
        if (restrictedToken == nullptr) {
            status = FailureCode(platform);
        }
    }

    if (status == 0) {
        if (!LaunchRestricted(platform, restrictedToken, targetName, commandLine, &launchSettings)) {
            status = FailureCode(platform);
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

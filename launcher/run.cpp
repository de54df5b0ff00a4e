#include "launcher/run.h"

#include "launcher/code_page.h"
#include "launcher/default_dacl.h"
#include "launcher/error_box.h"
#include "launcher/failure.h"
#include "launcher/intake.h"
#include "launcher/launch.h"
#include "launcher/limited_token.h"
#include "launcher/program_security.h"
#include "launcher/restricted_token.h"
#include "launcher/single_copy.h"
#include "launcher/wait.h"
#include "launcher/window_station.h"

// What the error box needs to know of a run: the options given, what a
// failure is about (the rest of the command line, then the target name),
// the copy with more rights that /single found, and whether the program
// was started, after which nothing is a launch's failure any more.
struct RunReport {
    unsigned options;
    const char* subject;
    DWORD elevatedCopy;
    bool started;
};

// The steps between the making of the Administrators SID and its release,
// each only if every step before it succeeded. Returns 0 once the program
// is started (or, asked to wait, its exit code), otherwise the error code
// of the step that failed.
static UINT_PTR StartProgram(const PlatformCalls& platform, HMODULE self, RunReport* report,
                             HANDLE processToken, PSID administratorsSid, const char* targetName,
                             char* commandLine)
{
    unsigned options = report->options;
    // The restricted token inherits the launcher's own default DACL, and
    // the program's process and first thread get it too: the user joins it
    // first, or the program could be refused itself and what it makes,
    // where that list names Administrators alone.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled before it is read
    ProgramSecurity security;
    DWORD status = AddUserToDefaultDacl(platform, processToken, ProgramDacl(security));
    if (status != 0) {
        return status;
    }

    // The default form: Administrators deny-only and nothing else. The
    // limited form: every administrators' equal deny-only, a standard
    // user's privileges only, and at most Medium integrity.
    HANDLE restrictedToken = nullptr;
    if ((options & kOptionLimited) == 0) {
        restrictedToken = MakeRestrictedToken(platform, processToken, administratorsSid);
        if (restrictedToken == nullptr) {
            return FailureCode(platform);
        }
    } else {
        status = MakeLimitedToken(platform, processToken, administratorsSid, &restrictedToken);
        if (status != 0) {
            return status;
        }
    }

    // The program's process and first thread are labelled with the level
    // its token has, Medium at most under /limited; the program starts
    // where its starter asked Tolvane to.
    DWORD level = 0;
    status = ReadIntegrityLevel(platform, restrictedToken, &level);
    if (status == 0 && (options & kOptionLimited) != 0) {
        status = LowerIntegrityToMedium(platform, restrictedToken, &level);
    }
    if (status != 0) {
        return status;
    }
    FinishProgramSecurity(&security, level);

    // Asked for /single, a running copy of the program with more rights than
    // this token has ends the run: the program would hand it the launch,
    // and its window would open with those rights.
    if ((options & kOptionSingle) != 0) {
        status = FindElevatedCopy(platform, restrictedToken, administratorsSid, targetName,
                                  &report->elevatedCopy);
        if (status != 0) {
            return status;
        }
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled before it is read
    LaunchSettings launchSettings;
    status = FillLaunchSettings(platform, self, &launchSettings);
    if (status != 0) {
        return status;
    }
    PROCESS_INFORMATION processInformation;
    if (!LaunchRestricted(platform, restrictedToken, targetName, commandLine, security.bytes,
                          &launchSettings.record, &processInformation)) {
        return FailureCode(platform);
    }
    report->started = true;

    // Asked to wait, the run ends with the program's own exit code.
    if ((options & kOptionWait) != 0) {
        return WaitForExitCode(platform, processInformation.hProcess);
    }
    return 0;
}

// The run from the options on: intake, the token steps and the launch.
static UINT_PTR RunFromOptions(const PlatformCalls& platform, HMODULE self, char* tail,
                               char* pathBuffer, RunReport* report)
{
    char* unreadable = nullptr;
    char* path = TakeOptions(tail, &report->options, &unreadable);
    report->subject = path != nullptr ? path : unreadable;

    // A tail the ANSI code page cannot carry (older Windows ignore the
    // manifest's UTF-8) would name another file or split elsewhere: nothing
    // is made or started.
    DWORD carried = CheckAnsiCommandLine(platform, tail);
    if (carried != 0) {
        return carried;
    }

    // Intake. "/?", alone or among the options, shows the help box and ends
    // the run. An option Tolvane does not know, or one with no path after
    // it, starts nothing. An empty tail shows the usage box, then goes on:
    // the launch of the empty name fails and gives the run its status. A
    // quoted path with arguments is copied, since the command line keeps it
    // whole.
    if ((report->options & kOptionHelp) != 0) {
        ShowUsage(platform, kHelpText);
        return 0;
    }
    if (path == nullptr) {
        // The box names the word it could not read, not the rest.
        char* end = unreadable;
        while (static_cast<unsigned char>(*end) > ' ') {
            ++end;
        }
        *end = 0;
        return ERROR_INVALID_PARAMETER;
    }
    if (tail[0] == 0) {
        ShowUsage(platform, kUsageText);
    }
    char* commandLine = nullptr;
    char* targetName = ExtractTargetName(path, pathBuffer, kPathBufferSize, &commandLine);
    if (targetName == nullptr) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    report->subject = targetName;

    // The caller's own token and the Administrators SID, then the rest.
    HANDLE processToken = OpenOwnToken(platform);
    if (processToken == nullptr) {
        return FailureCode(platform);
    }
    PSID administratorsSid = MakeAdministratorsSid(platform);
    if (administratorsSid == nullptr) {
        return FailureCode(platform);
    }
    UINT_PTR status = StartProgram(platform, self, report, processToken, administratorsSid,
                                   targetName, commandLine);

    // The SID is the run's one allocation; release it whatever happened.
    // After a run that ended well, the release's own result is the status.
    PVOID notReleased = platform.FreeSid(administratorsSid);
    return status != 0 ? status : reinterpret_cast<UINT_PTR>(notReleased);
}

UINT_PTR RunLauncher(const PlatformCalls& platform, HMODULE self, char* tail)
{
    // Away from the interactive window station (a service, a task run
    // whether the user is logged on or not, a remote shell) the program
    // could not reach the desktop it is given, and a box would wait where
    // nobody sees it: nothing is shown, made or started.
    DWORD checked = CheckInteractiveWindowStation(platform);
    if (checked != 0) {
        return checked;
    }

    // Asked for, a launch that failed is shown: not the program's own exit
    // code, which a run that waits ends with.
    RunReport report = {0, nullptr, 0, false};
    char pathBuffer[kPathBufferSize];
    UINT_PTR status = RunFromOptions(platform, self, tail, pathBuffer, &report);
    if (status != 0 && !report.started && (report.options & kOptionErrorBox) != 0) {
        ShowErrorBox(platform, report.subject, static_cast<DWORD>(status), report.elevatedCopy);
    }
    return status;
}

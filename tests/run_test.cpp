// One whole run of the launcher against the recording fake: every platform
// call in order with its exact arguments, and what happens when any one of
// them fails.
#include "launcher/intake.h"
#include "launcher/launch.h"
#include "launcher/limited_token.h"
#include "launcher/run.h"
#include "tests/fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <stddef.h>
#include <string.h>
#include <wchar.h>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

// The token steps in their order: the caller's own token gets the user in
// its default DACL before the restricted copy is made from it.
const Calls kTokenSteps = {
    "GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid",
    "GetTokenInformation TokenUser", "GetTokenInformation TokenDefaultDacl",
    "SetTokenInformation TokenDefaultDacl", "CreateRestrictedToken"};

Calls Then(Calls calls, const Calls& more)
{
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

// Before the launch: the start-up settings Tolvane was given, its own path
// to tell a title its starter chose from the one Windows put there, and
// its thread's desktop.
const Calls kSettings = {"GetStartupInfoA", "GetModuleFileNameA", "GetCurrentThreadId", "GetThreadDesktop",
                         "GetUserObjectInformationA"};
// The token made, the level its label carries read from it, the settings.
const Calls kReady = Then(Then(kTokenSteps, {"GetTokenInformation TokenIntegrityLevel"}), kSettings);

// Every run begins by reading its window station's name, then asks for the
// ANSI code page; UTF-8 needs no more.
const Calls kWindowStation = {"GetProcessWindowStation", "GetUserObjectInformationA"};

Calls FromTheStart(const Calls& calls)
{
    return Then(Then(kWindowStation, {"GetACP"}), calls);
}

const Calls kTokenStepsAndLaunch = FromTheStart(Then(kReady, {"CreateProcessAsUserA", "FreeSid"}));

// The caller's default DACL with the user's GENERIC_ALL entry after its own.
std::vector<unsigned char> MendedDacl(const std::vector<std::vector<unsigned char>>& own)
{
    auto entries = own;
    entries.push_back(AceBytes(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kUserSidBytes));
    return AclBytes(ACL_REVISION, entries);
}

// The list of one entry that labels the program's process and thread with
// an integrity level: no write up, no read up.
std::vector<unsigned char> LabelList(DWORD level)
{
    return AclBytes(ACL_REVISION, {AceBytes(SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, 0x7,   // NW | NR | NX
                                            SidBytes(16, {level}))});
}

// The tail lives in a writable buffer of its own, as it does in the process.
char g_tail[2048];

// The launcher's own module, as its entry point hands it on.
const HMODULE kFakeModule = reinterpret_cast<HMODULE>(0x7000);

UINT_PTR RunWithTail(const char* tail)
{
    strcpy(g_tail, tail);
    PlatformCalls platform = FakePlatformCalls();
    return RunLauncher(platform, kFakeModule, g_tail);
}

TEST(RunLauncher, QuotedPathMakesEveryCallInOrderWithItsArguments)
{
    ResetFake();
    UINT_PTR status = RunWithTail("\"C:\\Program Files\\App\\app.exe\"");

    EXPECT_EQ(g_fake.calls, kTokenStepsAndLaunch);
    EXPECT_EQ(status, 0u);

    // The caller's own token, asked for assign-primary, duplicate, query
    // and adjust-default.
    EXPECT_EQ(g_fake.openedProcess, kFakeProcessPseudoHandle);
    EXPECT_EQ(g_fake.desiredAccess, 0x8Bu);

    // S-1-5-32-544 from its parts.
    const unsigned char ntAuthority[6] = {0, 0, 0, 0, 0, 5};
    EXPECT_EQ(memcmp(g_fake.authority, ntAuthority, 6), 0);
    EXPECT_EQ(g_fake.subAuthorityCount, 2);
    const DWORD subAuthorities[8] = {32, 544, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(g_fake.subAuthorities[i], subAuthorities[i]) << "sub-authority " << i;
    }

    // Administrators deny-only, nothing else changed.
    EXPECT_EQ(g_fake.existingToken, kFakeProcessToken);
    EXPECT_EQ(g_fake.restrictedFlags, 0u);
    ASSERT_EQ(g_fake.sidsToDisable.size(), 1u);
    EXPECT_EQ(g_fake.sidsToDisable[0].Sid, FakeAdministratorsSid());
    EXPECT_EQ(g_fake.sidsToDisable[0].Attributes, 0u);
    EXPECT_EQ(g_fake.deletePrivilegeCount, 0u);
    EXPECT_EQ(g_fake.privilegesToDelete, nullptr);
    EXPECT_EQ(g_fake.restrictedSidCount, 0u);
    EXPECT_EQ(g_fake.sidsToRestrict, nullptr);

    // The user joins the caller's own default DACL, after the
    // administrator's own entries, before the copy is made from it; every
    // record the platform read or filled aligned for what it holds.
    EXPECT_EQ(g_fake.queriedTokens, (std::vector<HANDLE>{kFakeProcessToken, kFakeProcessToken,
                                                          kFakeRestrictedToken}));
    EXPECT_EQ(g_fake.adjustedToken, kFakeProcessToken);
    EXPECT_EQ(g_fake.misaligned, std::vector<std::string>());
    EXPECT_EQ(g_fake.newDefaultDacl,
              MendedDacl({AceBytes(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kAdministratorsSidBytes),
                          AceBytes(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kSystemSidBytes)}));

    // The launch: the restricted token, the bare name and nothing else.
    EXPECT_EQ(g_fake.launchToken, kFakeRestrictedToken);
    EXPECT_EQ(g_fake.applicationName, "C:\\Program Files\\App\\app.exe");
    EXPECT_EQ(g_fake.commandLineArgument, nullptr) << "arguments handed on";
    // The process and its thread: not inheritable, the mended default DACL
    // and the token's own level, High, as their label, and nothing else in
    // a self-relative descriptor.
    FakePlatform::Security expected;
    expected.given = true;
    expected.length = sizeof(SECURITY_ATTRIBUTES);
    expected.inherit = FALSE;
    expected.control = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT;
    expected.owner = expected.group = 0;
    expected.dacl = g_fake.newDefaultDacl;
    expected.sacl = LabelList(SECURITY_MANDATORY_HIGH_RID);
    EXPECT_TRUE(g_fake.processSecurity == expected);
    EXPECT_TRUE(g_fake.threadSecurity == expected);
    EXPECT_EQ(g_fake.inheritHandles, FALSE);
    EXPECT_EQ(g_fake.creationFlags, 0u);
    EXPECT_EQ(g_fake.environment, nullptr);
    EXPECT_EQ(g_fake.currentDirectory, nullptr);
    EXPECT_TRUE(g_fake.processInformationGiven);

    EXPECT_EQ(g_fake.freedSid, FakeAdministratorsSid());
    EXPECT_EQ(g_fake.messageBoxType, ~0u) << "a usage box was shown";
}

// The real record: 68 bytes on i686 and 104 on x86_64, the size first and
// the desktop after the reserved pointer (and, on x86_64, padding).
#if defined(_WIN64)
const size_t kLaunchSettingsSize = 104;
const size_t kDesktopOffset = 16;
#else
const size_t kLaunchSettingsSize = 68;
const size_t kDesktopOffset = 8;
#endif
static_assert(sizeof(STARTUPINFOA) == kLaunchSettingsSize, "STARTUPINFOA size");
static_assert(offsetof(STARTUPINFOA, lpDesktop) == kDesktopOffset, "desktop offset");

const UINT_PTR kOwn = 1;   // as a title: Tolvane's own path, which Windows puts there

struct StartupCase {
    const char* name;
    DWORD flags;                    // what the starter gave Tolvane
    UINT_PTR title;                 // its title: kOwn, or text
    UINT_PTR input, output, error;  // what stood in the handles' places
    DWORD expectedFlags;            // what the program gets
    bool titleKept;
    UINT_PTR expectedInput, expectedOutput;
};

const char kLink[] = "C:\\Users\\a\\Desktop\\App.lnk";
const char kAppId[] = "Vendor.App";
const char kChosen[] = "Build";
const char kOwnAndMore[] = "C:\\Tools\\tolvane.exe (Build)";
const DWORD kWindow = STARTF_USEPOSITION | STARTF_USESIZE | STARTF_USECOUNTCHARS | STARTF_USEFILLATTRIBUTE;
const UINT_PTR kHotkey = 0x0641, kMonitor = 0x10001;

// What the starter gave reaches the program, but the standard handles, the
// reserved fields and a title Windows made of Tolvane's own path.
const StartupCase kStartupCases[] = {
    {"none given", 0, kOwn, 0, 0, 0, 0, false, 0, 0},
    {"a shortcut: its path, hotkey, show state and monitor",
     STARTF_TITLEISLINKNAME | STARTF_USEHOTKEY | STARTF_USESHOWWINDOW | kStartfHasShellData,
     reinterpret_cast<UINT_PTR>(kLink), kHotkey, kMonitor, 0,
     STARTF_TITLEISLINKNAME | STARTF_USEHOTKEY | STARTF_USESHOWWINDOW | kStartfHasShellData, true, kHotkey,
     kMonitor},
    {"an application's id, pinning prevented, from an untrusted source",
     STARTF_TITLEISAPPID | STARTF_PREVENTPINNING | STARTF_UNTRUSTEDSOURCE, reinterpret_cast<UINT_PTR>(kAppId),
     0, 0, 0, STARTF_TITLEISAPPID | STARTF_PREVENTPINNING | STARTF_UNTRUSTEDSOURCE, true, 0, 0},
    {"a shortcut named as Tolvane's path", STARTF_TITLEISLINKNAME, kOwn, 0, 0, 0, STARTF_TITLEISLINKNAME, true,
     0, 0},
    {"a title the starter chose, a window's place, size and colours", kWindow | STARTF_FORCEOFFFEEDBACK,
     reinterpret_cast<UINT_PTR>(kChosen), 0, 0, 0, kWindow | STARTF_FORCEOFFFEEDBACK, true, 0, 0},
    {"standard handles: not handed on", STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW, kOwn, 0x10, 0x14, 0x18,
     STARTF_USESHOWWINDOW, false, 0, 0},
    {"standard handles and a hotkey: the hotkey alone", STARTF_USESTDHANDLES | STARTF_USEHOTKEY, kOwn, kHotkey,
     0x14, 0x18, STARTF_USEHOTKEY, false, kHotkey, 0},
    {"values in the handles' places without their flags", 0, kOwn, 0x10, 0x14, 0x18, 0, false, 0, 0},
    // Windows documents the shell's monitor under 0x400; a title that
    // merely begins with Tolvane's path is the starter's own.
    {"the shell's monitor alone, by its flag's value", 0x400, kOwn, 0, kMonitor, 0, 0x400, false, 0, kMonitor},
    {"a title that begins with Tolvane's path", 0, reinterpret_cast<UINT_PTR>(kOwnAndMore), 0, 0, 0, 0, true, 0, 0},
};

TEST(RunLauncher, TheProgramGetsTheStartUpSettingsTolvaneWasGiven)
{
    for (const StartupCase& c : kStartupCases) {
        ResetFake();
        STARTUPINFOA& given = g_fake.startupInfo;
        given.dwFlags = c.flags;
        given.lpTitle = c.title == kOwn ? &g_fake.ownPath[0] : reinterpret_cast<char*>(c.title);
        given.hStdInput = reinterpret_cast<HANDLE>(c.input);
        given.hStdOutput = reinterpret_cast<HANDLE>(c.output);
        given.hStdError = reinterpret_cast<HANDLE>(c.error);
        bool plain = strcmp(c.name, "none given") == 0;
        if (!plain) {
            // Everything else a starter may give, and what no starter should.
            given.dwX = 10, given.dwY = 20, given.dwXSize = 300, given.dwYSize = 400;
            given.dwXCountChars = 120, given.dwYCountChars = 9000, given.dwFillAttribute = 0x1F;
            given.wShowWindow = SW_SHOWMINNOACTIVE;
            given.lpReserved = const_cast<char*>("shell data");
            given.cbReserved2 = 8;
            given.lpReserved2 = reinterpret_cast<BYTE*>(g_tail);
        }
        EXPECT_EQ(RunWithTail("C:\\app.exe"), 0u) << c.name;

        ASSERT_EQ(g_fake.launchSettingsBytes.size(), kLaunchSettingsSize) << c.name;
        STARTUPINFOA seen;
        memcpy(&seen, g_fake.launchSettingsBytes.data(), sizeof seen);
        EXPECT_EQ(seen.cb, kLaunchSettingsSize) << c.name;
        EXPECT_EQ(g_fake.launchDesktop, "winsta0\\Default") << c.name;
        EXPECT_EQ(seen.dwFlags, c.expectedFlags) << c.name;
        EXPECT_EQ(seen.lpTitle, c.titleKept ? given.lpTitle : nullptr) << c.name;
        EXPECT_EQ(seen.hStdInput, reinterpret_cast<HANDLE>(c.expectedInput)) << c.name;
        EXPECT_EQ(seen.hStdOutput, reinterpret_cast<HANDLE>(c.expectedOutput)) << c.name;
        EXPECT_EQ(seen.hStdError, nullptr) << c.name;
        EXPECT_EQ(seen.lpReserved, nullptr) << c.name;
        EXPECT_EQ(seen.cbReserved2, 0) << c.name;
        EXPECT_EQ(seen.lpReserved2, nullptr) << c.name;
        // Tolvane's own path is asked for, of its own module, only to tell a
        // title without a flag.
        bool flagged = (c.flags & (STARTF_TITLEISLINKNAME | STARTF_TITLEISAPPID)) != 0;
        EXPECT_EQ(g_fake.moduleAsked, flagged ? nullptr : kFakeModule) << c.name;
        if (plain) {
            // A starter that gave nothing: the size and the desktop alone.
            for (size_t i = 0; i < kLaunchSettingsSize; ++i) {
                bool set = i < sizeof seen.cb || (i >= kDesktopOffset && i < kDesktopOffset + sizeof(char*));
                if (!set) {
                    EXPECT_EQ(g_fake.launchSettingsBytes[i], 0) << "byte " << i;
                }
            }
            continue;
        }
        EXPECT_EQ(std::vector<DWORD>({seen.dwX, seen.dwY, seen.dwXSize, seen.dwYSize, seen.dwXCountChars,
                                      seen.dwYCountChars, seen.dwFillAttribute, seen.wShowWindow}),
                  std::vector<DWORD>({10, 20, 300, 400, 120, 9000, 0x1F, SW_SHOWMINNOACTIVE}))
            << c.name;
    }
}

struct DesktopCase {
    std::string desktop;
    const char* failingCall;   // or empty
    UINT_PTR status;
    const char* launchDesktop;   // null: nothing launched
};

// The program goes to the desktop Tolvane's thread is on, in the
// interactive window station; a name that does not fit says so.
const DesktopCase kDesktopCases[] = {
    {"Default", "", 0, "winsta0\\Default"},
    {"Kiosk", "", 0, "winsta0\\Kiosk"},
    {std::string(kDesktopNameSize - 9, 'd'), "", 0, nullptr},
    {std::string(kDesktopNameSize - 8, 'd'), "", ERROR_INSUFFICIENT_BUFFER, nullptr},
    {"Default", "GetThreadDesktop", ERROR_INVALID_HANDLE, nullptr},
};

TEST(RunLauncher, TheProgramGoesToTheCallersDesktop)
{
    for (const DesktopCase& c : kDesktopCases) {
        ResetFake();
        g_fake.desktop = c.desktop;
        g_fake.failingCall = c.failingCall;
        g_fake.failingError = ERROR_ACCESS_DENIED;
        std::string what = c.desktop.substr(0, 12) + " (" + std::to_string(c.desktop.size()) + ")";
        EXPECT_EQ(RunWithTail("C:\\app.exe"), c.status) << what;
        if (c.status != 0) {
            EXPECT_EQ(g_fake.launchToken, nullptr) << what;
            EXPECT_EQ(g_fake.calls.back(), "FreeSid") << what;
            continue;
        }
        EXPECT_EQ(g_fake.launchDesktop, c.launchDesktop ? c.launchDesktop : "winsta0\\" + c.desktop) << what;
    }
}

TEST(RunLauncher, EmptyTailShowsUsageThenFailsToLaunchNothing)
{
    ResetFake();
    g_fake.failingCall = "CreateProcessAsUserA";
    g_fake.failingError = ERROR_PATH_NOT_FOUND;
    UINT_PTR status = RunWithTail("");

    EXPECT_EQ(g_fake.calls, FromTheStart(Then(Then({"GetActiveWindow", "MessageBoxA"}, kReady),
                                     {"CreateProcessAsUserA", "GetLastError", "FreeSid"})));

    EXPECT_EQ(g_fake.messageBoxOwner, reinterpret_cast<HWND>(0x3000));
    EXPECT_EQ(g_fake.messageBoxText,
              "Specify a program to execute without admin privileges\n\n"
              "usage: tolvane.exe <executable>");
    EXPECT_EQ(g_fake.messageBoxCaption, "Tolvane");
    EXPECT_EQ(g_fake.messageBoxType, 0u);
    EXPECT_EQ(g_fake.applicationName, "");
    EXPECT_EQ(status, static_cast<UINT_PTR>(ERROR_PATH_NOT_FOUND));
}

struct FailureCase {
    const char* failingCall;
    DWORD error;
    Calls expectedCalls;
    UINT_PTR expectedStatus;
    int nth = 0;   // only that call of the name fails; 0: every one
};

const Calls kUpToSid = {"GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid"};

const FailureCase kFailureCases[] = {
    {"OpenProcessToken", ERROR_ACCESS_DENIED,
     FromTheStart({"GetCurrentProcess", "OpenProcessToken", "GetLastError"}), ERROR_ACCESS_DENIED},
    {"OpenProcessToken", 0,
     FromTheStart({"GetCurrentProcess", "OpenProcessToken", "GetLastError"}), 1},
    {"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY,
     FromTheStart({"GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid", "GetLastError"}),
     ERROR_NOT_ENOUGH_MEMORY},
    {"GetTokenInformation TokenUser", ERROR_ACCESS_DENIED,
     FromTheStart(Then(kUpToSid, {"GetTokenInformation TokenUser", "GetLastError", "FreeSid"})),
     ERROR_ACCESS_DENIED},
    {"GetTokenInformation TokenDefaultDacl", 0,
     FromTheStart(Then(kUpToSid, {"GetTokenInformation TokenUser", "GetTokenInformation TokenDefaultDacl",
                         "GetLastError", "FreeSid"})),
     1},
    {"SetTokenInformation TokenDefaultDacl", ERROR_ACCESS_DENIED,
     FromTheStart(Then(kUpToSid, {"GetTokenInformation TokenUser", "GetTokenInformation TokenDefaultDacl",
                         "SetTokenInformation TokenDefaultDacl", "GetLastError", "FreeSid"})),
     ERROR_ACCESS_DENIED},
    {"CreateRestrictedToken", ERROR_INVALID_PARAMETER,
     FromTheStart(Then(kTokenSteps, {"GetLastError", "FreeSid"})), ERROR_INVALID_PARAMETER},
    {"GetTokenInformation TokenIntegrityLevel", ERROR_ACCESS_DENIED,
     FromTheStart(Then(kTokenSteps, {"GetTokenInformation TokenIntegrityLevel", "GetLastError", "FreeSid"})),
     ERROR_ACCESS_DENIED},
    {"CreateProcessAsUserA", ERROR_FILE_NOT_FOUND,
     FromTheStart(Then(kReady, {"CreateProcessAsUserA", "GetLastError", "FreeSid"})), ERROR_FILE_NOT_FOUND},
    {"CreateProcessAsUserA", ERROR_BAD_EXE_FORMAT,
     FromTheStart(Then(kReady, {"CreateProcessAsUserA", "GetLastError", "FreeSid"})), ERROR_BAD_EXE_FORMAT},
    {"CreateProcessAsUserA", 0,
     FromTheStart(Then(kReady, {"CreateProcessAsUserA", "GetLastError", "FreeSid"})), 1},
};

TEST(RunLauncher, AFailedStepEndsTheRunWithItsErrorCode)
{
    for (const FailureCase& c : kFailureCases) {
        ResetFake();
        g_fake.failingCall = c.failingCall;
        g_fake.failingError = c.error;
        UINT_PTR status = RunWithTail("C:\\app.exe");

        std::string what = std::string(c.failingCall) + " failing with " + std::to_string(c.error);
        EXPECT_EQ(g_fake.calls, c.expectedCalls) << what;
        EXPECT_EQ(status, c.expectedStatus) << what;
        // Whatever a failed call left in its out parameter is never handed on.
        EXPECT_NE(g_fake.existingToken, kPoison) << what;
        EXPECT_NE(g_fake.launchToken, kPoison) << what;
        EXPECT_NE(g_fake.freedSid, static_cast<PSID>(kPoison)) << what;
        bool sidMade = strcmp(c.failingCall, "OpenProcessToken") != 0 &&
                       strcmp(c.failingCall, "AllocateAndInitializeSid") != 0;
        EXPECT_EQ(g_fake.freedSid, sidMade ? FakeAdministratorsSid() : nullptr) << what;
    }
}

TEST(RunLauncher, AFailedReleaseIsTheStatusOnlyAfterALaunch)
{
    // The target started but the SID could not be released: the release's
    // result, the SID itself, is the status.
    ResetFake();
    g_fake.freeSidFails = true;
    UINT_PTR status = RunWithTail("C:\\app.exe");
    EXPECT_EQ(g_fake.calls, kTokenStepsAndLaunch);
    EXPECT_EQ(status, reinterpret_cast<UINT_PTR>(FakeAdministratorsSid()));

    // The launch failed too: its error code is the status.
    ResetFake();
    g_fake.freeSidFails = true;
    g_fake.failingCall = "CreateProcessAsUserA";
    g_fake.failingError = ERROR_FILE_NOT_FOUND;
    status = RunWithTail("C:\\app.exe");
    EXPECT_EQ(status, static_cast<UINT_PTR>(ERROR_FILE_NOT_FOUND));
}

struct WindowStationCase {
    const char* name;
    std::string station;
    bool none;                 // the process has no window station at all
    const char* failingCall;   // or empty
    DWORD error;
    Calls expectedCalls;
    UINT_PTR expectedStatus;
};

const Calls kStarted = FromTheStart(Then({"GetActiveWindow", "MessageBoxA"}, Then(kReady, {"CreateProcessAsUserA", "FreeSid"})));

// A name longer than the interactive station's does not fit the buffer
// for it: the query fails with ERROR_INSUFFICIENT_BUFFER.
const Calls kNameTooLong = Then(kWindowStation, {"GetLastError"});

// The window station comes first: away from the interactive one, nothing
// else is asked, not even for the usage box (the tail given is empty).
const WindowStationCase kWindowStationCases[] = {
    {"WinSta0", "WinSta0", false, "", 0, kStarted, 0},
    {"in small letters", "winsta0", false, "", 0, kStarted, 0},
    {"in capitals", "WINSTA0", false, "", 0, kStarted, 0},
    {"a service's", "Service-0x0-3e7$", false, "", 0, kNameTooLong, ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"one of its own", "Tolvane-e2e", false, "", 0, kNameTooLong, ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"a name that begins like it", "WinSta01", false, "", 0, kNameTooLong,
     ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"a name as long, in another session's manner", "WinSta7", false, "", 0, kWindowStation,
     ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"a name shorter than it", "WinSta", false, "", 0, kWindowStation, ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"a name one letter off", "WinStb0", false, "", 0, kWindowStation, ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"a control byte where a letter folds", "Win\x13ta0", false, "", 0, kWindowStation,
     ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"a control byte where the digit is", "WinSta\x10", false, "", 0, kWindowStation,
     ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"none at all", "", true, "", 0, {"GetProcessWindowStation"}, ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION},
    {"its name cannot be read", "WinSta0", false, "GetUserObjectInformationA", ERROR_ACCESS_DENIED,
     Then(kWindowStation, {"GetLastError"}), ERROR_ACCESS_DENIED},
};

TEST(RunLauncher, AwayFromTheInteractiveWindowStationNothingElseHappens)
{
    for (const WindowStationCase& c : kWindowStationCases) {
        ResetFake();
        g_fake.windowStation = c.station;
        g_fake.noWindowStation = c.none;
        g_fake.failingCall = c.failingCall;
        g_fake.failingError = c.error;
        UINT_PTR status = RunWithTail("");
        EXPECT_EQ(g_fake.calls, c.expectedCalls) << c.name;
        EXPECT_EQ(status, c.expectedStatus) << c.name;
    }
}

struct CodePageCase {
    const char* name;
    UINT ansiCodePage;
    const wchar_t* wideCommandLine;
    const char* ansiTail;      // the ANSI command line's tail, as the process has it
    const char* failingCall;   // or empty
    Calls expectedCalls;
    UINT_PTR expectedStatus;
    const wchar_t* convertedTail;   // what is measured: the real tail
};

const Calls kMeasured = Then(kWindowStation, {"GetACP", "GetCommandLineW", "WideCharToMultiByte"});
const Calls kMeasuredAndLaunched = Then(Then(kMeasured, kReady), {"CreateProcessAsUserA", "FreeSid"});

// The ANSI tail is checked against the real one before anything else
// happens but for the window station, the usage box included. Only the
// tail counts: the launcher's own path may hold what the code page lacks.
const CodePageCase kCodePageCases[] = {
    {"UTF-8: nothing to convert", 65001, L"tolvane.exe \u0395\u03bb\u03bb", "", "",
     FromTheStart(Then(Then({"GetActiveWindow", "MessageBoxA"}, kReady), {"CreateProcessAsUserA", "FreeSid"})), 0,
     nullptr},
    {"code page 1252, a line it holds exactly", 1252, L"tolvane.exe \"C:\\caf\u00e9.exe\"",
     "\"C:\\caf\xe9.exe\"", "", kMeasuredAndLaunched, 0, L"\"C:\\caf\u00e9.exe\""},
    {"code page 1252, nothing after the own name", 1252, L"tolvane.exe", "", "",
     Then(Then(Then(kMeasured, {"GetActiveWindow", "MessageBoxA"}), kReady),
          {"CreateProcessAsUserA", "FreeSid"}), 0, L""},
    {"code page 1252, a Greek name", 1252, L"tolvane.exe \"C:\\\u0395\u03bb.exe\"", "\"C:\\??.exe\"", "",
     kMeasured, ERROR_NO_UNICODE_TRANSLATION, L"\"C:\\\u0395\u03bb.exe\""},
    {"code page 1252, a Greek argument", 1252, L"tolvane.exe \"C:\\app.exe\" \u0395\u03bb",
     "\"C:\\app.exe\" ??", "", kMeasured, ERROR_NO_UNICODE_TRANSLATION, L"\"C:\\app.exe\" \u0395\u03bb"},
    {"code page 1252, a fullwidth quotation mark", 1252, L"tolvane.exe \"C:\\a\uff02 b\\app.exe\"",
     "\"C:\\a\" b\\app.exe\"", "", kMeasured, ERROR_NO_UNICODE_TRANSLATION, L"\"C:\\a\uff02 b\\app.exe\""},
    {"code page 932, an emoji", 932, L"tolvane.exe \"C:\\\U0001F600.exe\"", "\"C:\\?.exe\"", "", kMeasured,
     ERROR_NO_UNICODE_TRANSLATION, L"\"C:\\\U0001F600.exe\""},
    {"code page 1252, the own path in Greek, the tail it holds", 1252,
     L"\"C:\\\u0395\u03bb\\tolvane.exe\"  \"C:\\app.exe\" -x", "\"C:\\app.exe\" -x", "",
     kMeasuredAndLaunched, 0, L"\"C:\\app.exe\" -x"},
    {"code page 1252, the own path unquoted in Greek with an emoji, the tail it holds", 1252,
     L"C:\\\u0395\u03bb\U0001F600\\tolvane.exe\tC:\\app.exe", "C:\\app.exe", "", kMeasuredAndLaunched, 0,
     L"C:\\app.exe"},
    {"code page 1252, the own path it holds, a Greek tail", 1252,
     L"\"C:\\caf\u00e9\\tolvane.exe\" \"C:\\\u0395\u03bb.exe\"", "\"C:\\??.exe\"", "", kMeasured,
     ERROR_NO_UNICODE_TRANSLATION, L"\"C:\\\u0395\u03bb.exe\""},
    // Best fit turned the fullwidth quote in the own path into a plain one,
    // so the ANSI line's own name ends at the blank inside it.
    {"code page 1252, a fullwidth quote in the own path moves the ANSI cut", 1252,
     L"\"C:\\a\uff02 b\\tolvane.exe\" \"C:\\app.exe\"", "b\\tolvane.exe\" \"C:\\app.exe\"", "", kMeasured,
     ERROR_NO_UNICODE_TRANSLATION, L"\"C:\\app.exe\""},
    // Unquoted, the own path ends at its blank; in ANSI the quote best fit
    // made opens quotes that run to the tail's end.
    {"code page 1252, a fullwidth quote in an unquoted own path: no ANSI tail", 1252,
     L"C:\\a\uff02 b\\tolvane.exe \"C:\\app.exe\"", "", "", kMeasured, ERROR_NO_UNICODE_TRANSLATION,
     L"b\\tolvane.exe \"C:\\app.exe\""},
    {"the conversion itself fails", 1252, L"tolvane.exe", "", "WideCharToMultiByte",
     Then(kMeasured, {"GetLastError"}), ERROR_INVALID_FLAGS, L""},
};

TEST(RunLauncher, ATailTheCodePageCannotCarryStartsNothing)
{
    for (const CodePageCase& c : kCodePageCases) {
        ResetFake();
        g_fake.ansiCodePage = c.ansiCodePage;
        g_fake.wideCommandLine = c.wideCommandLine;
        g_fake.failingCall = c.failingCall;
        g_fake.failingError = ERROR_INVALID_FLAGS;
        UINT_PTR status = RunWithTail(c.ansiTail);
        EXPECT_EQ(g_fake.calls, c.expectedCalls) << c.name;
        EXPECT_EQ(status, c.expectedStatus) << c.name;
        if (c.convertedTail != nullptr) {
            // The size alone, of the real tail, up to its terminator, without
            // best fit.
            EXPECT_EQ(g_fake.conversionCodePage, static_cast<UINT>(CP_ACP)) << c.name;
            EXPECT_EQ(g_fake.conversionFlags, static_cast<DWORD>(WC_NO_BEST_FIT_CHARS)) << c.name;
            EXPECT_EQ(std::wstring(g_fake.convertedText), c.convertedTail) << c.name;
            EXPECT_EQ(g_fake.convertedText + wcslen(g_fake.convertedText),
                      g_fake.wideCommandLine.c_str() + g_fake.wideCommandLine.size())
                << c.name << ": not a view of the real command line's end";
            EXPECT_EQ(g_fake.convertedCount, -1) << c.name;
            EXPECT_EQ(g_fake.conversionOutput, nullptr) << c.name;
            EXPECT_EQ(g_fake.conversionOutputSize, 0) << c.name;
            EXPECT_EQ(g_fake.conversionDefaultChar, nullptr) << c.name;
            EXPECT_TRUE(g_fake.usedDefaultAsked) << c.name;
        }
    }
}

using Entries = std::vector<std::vector<unsigned char>>;

std::vector<unsigned char> Allowed(DWORD mask, const std::vector<unsigned char>& sid)
{
    return AceBytes(ACCESS_ALLOWED_ACE_TYPE, 0, mask, sid);
}

std::vector<unsigned char> Corrupted(std::vector<unsigned char> acl, size_t at, unsigned char value)
{
    acl[at] = value;
    return acl;
}

struct DaclCase {
    const char* name;
    bool none;                               // the token has no default DACL
    std::vector<unsigned char> dacl;
    UINT_PTR status;
    std::vector<unsigned char> expectedNew;  // empty: none is set
};

const std::vector<unsigned char> kUserEntry = Allowed(GENERIC_ALL, kUserSidBytes);

const DaclCase kDaclCases[] = {
    {"no default DACL is left as it is", true, {}, 0, {}},
    {"an empty list gains the user alone", false, AclBytes(ACL_REVISION, {}), 0,
     AclBytes(ACL_REVISION, {kUserEntry})},
    {"a deny entry and revision 4 are kept, in order", false,
     AclBytes(ACL_REVISION_DS, {AceBytes(ACCESS_DENIED_ACE_TYPE, 0, GENERIC_WRITE, kSystemSidBytes),
                                Allowed(GENERIC_READ, kAdministratorsSidBytes)}),
     0,
     AclBytes(ACL_REVISION_DS, {AceBytes(ACCESS_DENIED_ACE_TYPE, 0, GENERIC_WRITE, kSystemSidBytes),
                                Allowed(GENERIC_READ, kAdministratorsSidBytes), kUserEntry})},
    {"larger than the launcher reads", false,
     AclBytes(ACL_REVISION, Entries(60, Allowed(GENERIC_READ, kUserSidBytes))),
     ERROR_INSUFFICIENT_BUFFER, {}},
    {"an entry running past the list's end", false, Corrupted(AdministratorDefaultDacl(), 8 + 2, 0xF0),
     ERROR_INVALID_ACL, {}},
    {"the last entry running past the list's end", false,
     Corrupted(AdministratorDefaultDacl(), 8 + 24 + 2, 21), ERROR_INVALID_ACL, {}},
    {"an entry of size 0", false, Corrupted(AdministratorDefaultDacl(), 8 + 2, 0), ERROR_INVALID_ACL, {}},
    {"more entries than the list holds", false, Corrupted(AdministratorDefaultDacl(), 4, 3),
     ERROR_INVALID_ACL, {}},
};

TEST(RunLauncher, DefaultDaclOfEveryShape)
{
    for (const DaclCase& c : kDaclCases) {
        ResetFake();
        g_fake.defaultDaclIsNull = c.none;
        g_fake.defaultDacl = c.dacl;
        UINT_PTR status = RunWithTail("C:\\app.exe");
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(g_fake.newDefaultDacl, c.expectedNew) << c.name;
        EXPECT_EQ(g_fake.launchToken, c.status == 0 ? kFakeRestrictedToken : nullptr) << c.name;
        EXPECT_EQ(g_fake.calls.back(), "FreeSid") << c.name;
        if (c.status == 0) {
            // The program's descriptor holds the list the token got, and
            // none where the token has none.
            EXPECT_EQ(g_fake.processSecurity.control & SE_DACL_PRESENT, c.none ? 0 : SE_DACL_PRESENT) << c.name;
            EXPECT_EQ(g_fake.processSecurity.dacl, c.expectedNew) << c.name;
        }
    }
}

// The caller's token for the limited form: a full administrator's groups
// and privileges, with look-alikes that must be left alone.
const std::vector<unsigned char> kPowerUsers = SidBytes(5, {32, 547});
const std::vector<unsigned char> kBackupOperators = SidBytes(5, {32, 551});
const std::vector<unsigned char> kDomainAdmins = SidBytes(5, {21, 1, 2, 3, 512});
const std::vector<unsigned char> kLocalAdministrator = SidBytes(5, {114});
const std::vector<unsigned char> kHighIntegrity = SidBytes(16, {12288});
const std::vector<unsigned char> kMediumIntegrity = SidBytes(16, {8192});

const std::vector<std::pair<std::vector<unsigned char>, DWORD>> kAdministratorGroups = {
    {SidBytes(1, {0}), SE_GROUP_MANDATORY | SE_GROUP_ENABLED},                // Everyone
    {kAdministratorsSidBytes, SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_OWNER},
    {SidBytes(5, {32, 545}), SE_GROUP_MANDATORY | SE_GROUP_ENABLED},         // Users
    {kPowerUsers, SE_GROUP_MANDATORY | SE_GROUP_ENABLED},
    {kBackupOperators, SE_GROUP_MANDATORY | SE_GROUP_ENABLED},
    {kDomainAdmins, SE_GROUP_MANDATORY | SE_GROUP_ENABLED},
    {SidBytes(5, {21, 1, 2, 3, 513}), SE_GROUP_MANDATORY | SE_GROUP_ENABLED},  // Domain Users
    {kLocalAdministrator, SE_GROUP_MANDATORY | SE_GROUP_ENABLED},
    {SidBytes(5, {113}), SE_GROUP_MANDATORY | SE_GROUP_ENABLED},             // Local account
    {SidBytes(5, {5, 0, 544}), SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_LOGON_ID},
    {SidBytes(5, {80, 1, 2, 3, 4, 544}), SE_GROUP_ENABLED},                  // a service SID
    {SidBytes(5, {21, 1, 2, 3, 4, 512}), SE_GROUP_ENABLED},                  // one part too many
    {SidBytes(5, {32, 512}), SE_GROUP_ENABLED},                              // a domain RID under BUILTIN
    {SidBytes(16, {544}), SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED},   // a label
};

LUID_AND_ATTRIBUTES Privilege(DWORD luid, DWORD attributes)
{
    LUID_AND_ATTRIBUTES privilege;
    privilege.Luid.LowPart = luid;
    privilege.Luid.HighPart = 0;
    privilege.Attributes = attributes;
    return privilege;
}

const DWORD kOn = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
const std::vector<LUID_AND_ATTRIBUTES> kAdministratorPrivileges = {
    Privilege(5, 0),     // SeIncreaseQuotaPrivilege
    Privilege(8, 0),     // SeSecurityPrivilege
    Privilege(9, 0),     // SeTakeOwnershipPrivilege
    Privilege(10, 0),    // SeLoadDriverPrivilege
    Privilege(17, 0),    // SeBackupPrivilege
    Privilege(19, 0),    // SeShutdownPrivilege: kept
    Privilege(20, SE_PRIVILEGE_ENABLED),  // SeDebugPrivilege
    Privilege(23, kOn),  // SeChangeNotifyPrivilege: kept
    Privilege(25, 0),    // SeUndockPrivilege: kept
    Privilege(29, kOn),  // SeImpersonatePrivilege
    Privilege(33, 0),    // SeIncreaseWorkingSetPrivilege: kept
    Privilege(34, 0),    // SeTimeZonePrivilege: kept
    {{23, 1}, 0},        // a LUID with a high part is no standard privilege
};

bool SamePrivileges(const std::vector<LUID_AND_ATTRIBUTES>& a, const std::vector<LUID_AND_ATTRIBUTES>& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].Luid.LowPart != b[i].Luid.LowPart || a[i].Luid.HighPart != b[i].Luid.HighPart ||
            a[i].Attributes != b[i].Attributes) {
            return false;
        }
    }
    return true;
}

void SetUpAdministratorToken()
{
    ResetFake();
    g_fake.groups = kAdministratorGroups;
    g_fake.privileges = kAdministratorPrivileges;
    g_fake.integritySid = kHighIntegrity;
}

// The limited form reads the caller's groups whole: their size, memory of
// that size from the process heap, the groups, and the memory given back
// once the copy is made.
const Calls kLimitedUpToSid = {"GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid",
                               "GetTokenInformation TokenUser", "GetTokenInformation TokenDefaultDacl",
                               "SetTokenInformation TokenDefaultDacl"};
const Calls kGroupsRead = {"GetTokenInformation TokenGroups", "GetLastError", "LocalAlloc",
                           "GetTokenInformation TokenGroups"};
const Calls kLimitedTokenSteps = Then(Then(kLimitedUpToSid, kGroupsRead),
                                      {"GetTokenInformation TokenPrivileges", "GetTokenInformation TokenElevation",
                                       "CreateRestrictedToken", "LocalFree",
                                       "GetTokenInformation TokenIntegrityLevel",
                                       "SetTokenInformation TokenIntegrityLevel"});
const Calls kLimitedReady = Then(kLimitedTokenSteps, kSettings);

// The list of one entry that labels the program's process and thread
// Medium: no write up, no read up.
const std::vector<unsigned char> kMediumLabelList = {
    ACL_REVISION, 0, 28, 0, 1, 0, 0, 0,                  // the list: 28 bytes, one entry
    SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, 20, 0, 7, 0, 0, 0,  // the entry: 20 bytes, NW | NR | NX
    1, 1, 0, 0, 0, 0, 0, 16, 0, 0x20, 0, 0};              // S-1-16-8192

TEST(RunLauncher, LimitedMakesTheTokenOfAnUnelevatedSession)
{
    SetUpAdministratorToken();
    UINT_PTR status = RunWithTail("/limited \"C:\\app.exe\" -x");

    EXPECT_EQ(g_fake.calls, FromTheStart(Then(kLimitedReady, {"CreateProcessAsUserA", "FreeSid"})));
    EXPECT_EQ(status, 0u);
    // Administrators first, as made; then the caller's other
    // administrators' equals in their order, and nothing that only looks
    // like one.
    EXPECT_EQ(g_fake.disabledSids, (std::vector<std::vector<unsigned char>>{
                                       kAdministratorsSidBytes, kPowerUsers, kBackupOperators,
                                       kDomainAdmins, kLocalAdministrator}));
    ASSERT_FALSE(g_fake.sidsToDisable.empty());
    EXPECT_EQ(g_fake.sidsToDisable[0].Sid, FakeAdministratorsSid());
    for (const SID_AND_ATTRIBUTES& entry : g_fake.sidsToDisable) {
        EXPECT_EQ(entry.Attributes, 0u);
    }
    // Every privilege but a standard user's, as the caller had it.
    EXPECT_TRUE(SamePrivileges(g_fake.deletedPrivileges,
                               {Privilege(5, 0), Privilege(8, 0), Privilege(9, 0), Privilege(10, 0),
                                Privilege(17, 0), Privilege(20, SE_PRIVILEGE_ENABLED), Privilege(29, kOn),
                                {{23, 1}, 0}}));
    EXPECT_EQ(g_fake.deletePrivilegeCount, g_fake.deletedPrivileges.size());
    // Windows' own table for a limited user's token applies as well.
    EXPECT_EQ(g_fake.restrictedFlags, static_cast<DWORD>(LUA_TOKEN));
    EXPECT_EQ(g_fake.restrictedSidCount, 0u);
    EXPECT_EQ(g_fake.existingToken, kFakeProcessToken);
    // The groups read into memory of their own size and room for the list,
    // given back before the run ended.
    ASSERT_EQ(g_fake.heapSizes.size(), 1u);
    EXPECT_GE(g_fake.heapSizes[0], sizeof(TOKEN_GROUPS) + (kAdministratorGroups.size() - 1) * sizeof(SID_AND_ATTRIBUTES));
    EXPECT_EQ(g_fake.heapHeld, std::vector<void*>());
    // Medium integrity on the new token, and a Medium label on the
    // program's process and thread.
    EXPECT_EQ(g_fake.processSecurity.sacl, kMediumLabelList);
    EXPECT_EQ(g_fake.threadSecurity.sacl, kMediumLabelList);
    EXPECT_EQ(g_fake.processSecurity.control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT);
    EXPECT_EQ(g_fake.processSecurity.inherit, FALSE);
    EXPECT_EQ(g_fake.processSecurity.dacl, g_fake.newDefaultDacl);
    EXPECT_EQ(g_fake.labelledToken, kFakeRestrictedToken);
    EXPECT_EQ(g_fake.newIntegritySid, kMediumIntegrity);
    EXPECT_EQ(g_fake.newIntegrityAttributes, static_cast<DWORD>(SE_GROUP_INTEGRITY));
    EXPECT_EQ(g_fake.newIntegrityLength, sizeof(TOKEN_MANDATORY_LABEL) + kMediumIntegrity.size());
    EXPECT_EQ(g_fake.misaligned, std::vector<std::string>());
    // The command line handed on starts at the quote.
    EXPECT_EQ(g_fake.applicationName, "C:\\app.exe");
    EXPECT_EQ(g_fake.commandLineText, "\"C:\\app.exe\" -x");
    EXPECT_EQ(g_fake.commandLineArgument, g_tail + 9);
}

TEST(RunLauncher, TheDefaultFormKeepsEveryPrivilegeAndTheLevel)
{
    SetUpAdministratorToken();
    RunWithTail("\"C:\\app.exe\" /limited");
    EXPECT_EQ(g_fake.calls, kTokenStepsAndLaunch);
    EXPECT_EQ(g_fake.disabledSids, std::vector<std::vector<unsigned char>>{kAdministratorsSidBytes});
    EXPECT_EQ(g_fake.deletePrivilegeCount, 0u);
    EXPECT_EQ(g_fake.restrictedFlags, 0u);
    EXPECT_EQ(g_fake.labelledToken, nullptr);
    EXPECT_EQ(g_fake.processSecurity.sacl, LabelList(SECURITY_MANDATORY_HIGH_RID));
    EXPECT_EQ(g_fake.heapSizes, std::vector<size_t>());
}

struct IntegrityCase {
    DWORD callerLevel;
    bool limited;
    DWORD elevated;      // what TokenElevation says of the caller
    bool lowered;
    DWORD labelLevel;    // the program's process and thread's label
    DWORD flags;         // asked of CreateRestrictedToken
};

const DWORD kMediumPlus = SECURITY_MANDATORY_MEDIUM_RID + 0x100;

// The label is the program's token's own level in both forms: the
// caller's, or Medium where /limited lowered it; never above the caller's.
// Windows' own filter only for a caller it counts as elevated.
const IntegrityCase kIntegrityCases[] = {
    {SECURITY_MANDATORY_LOW_RID, false, 0, false, SECURITY_MANDATORY_LOW_RID, 0},
    {SECURITY_MANDATORY_MEDIUM_RID, false, 0, false, SECURITY_MANDATORY_MEDIUM_RID, 0},
    {SECURITY_MANDATORY_HIGH_RID, false, 1, false, SECURITY_MANDATORY_HIGH_RID, 0},
    {SECURITY_MANDATORY_SYSTEM_RID, false, 1, false, SECURITY_MANDATORY_SYSTEM_RID, 0},
    {SECURITY_MANDATORY_LOW_RID, true, 0, false, SECURITY_MANDATORY_LOW_RID, 0},
    {SECURITY_MANDATORY_MEDIUM_RID, true, 0, false, SECURITY_MANDATORY_MEDIUM_RID, 0},
    {kMediumPlus, true, 1, true, SECURITY_MANDATORY_MEDIUM_RID, LUA_TOKEN},
    {SECURITY_MANDATORY_HIGH_RID, true, 1, true, SECURITY_MANDATORY_MEDIUM_RID, LUA_TOKEN},
    {SECURITY_MANDATORY_HIGH_RID, true, 0, true, SECURITY_MANDATORY_MEDIUM_RID, 0},
    {SECURITY_MANDATORY_SYSTEM_RID, true, 2, true, SECURITY_MANDATORY_MEDIUM_RID, LUA_TOKEN},
};

TEST(RunLauncher, TheLabelIsTheTokensLevelAndLimitedLowersOnlyALevelAboveMedium)
{
    for (const IntegrityCase& c : kIntegrityCases) {
        std::string what = std::string(c.limited ? "/limited" : "default form") + ", caller at " +
                           std::to_string(c.callerLevel) + ", elevated " + std::to_string(c.elevated);
        SetUpAdministratorToken();
        g_fake.integritySid = SidBytes(16, {c.callerLevel});
        g_fake.elevated = c.elevated;
        EXPECT_EQ(RunWithTail(c.limited ? "/limited \"C:\\app.exe\"" : "\"C:\\app.exe\""), 0u) << what;
        EXPECT_EQ(g_fake.labelledToken, c.lowered ? kFakeRestrictedToken : nullptr) << what;
        EXPECT_EQ(g_fake.processSecurity.sacl, LabelList(c.labelLevel)) << what;
        EXPECT_EQ(g_fake.threadSecurity.sacl, g_fake.processSecurity.sacl) << what;
        EXPECT_EQ(g_fake.processSecurity.control & SE_SACL_PRESENT, SE_SACL_PRESENT) << what;
        EXPECT_EQ(g_fake.restrictedFlags, c.flags) << what;
        EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), "GetTokenInformation TokenElevation"),
                  c.limited ? 1 : 0)
            << what;
    }
}

struct WaitCase {
    const char* tail;
    DWORD exitCode;
};

const WaitCase kWaitCases[] = {
    {"/wait \"C:\\app.exe\"", 7},
    {"/limited /wait \"C:\\app.exe\" -x", 7},
    {"/WAIT /Limited \"C:\\app.exe\"", 7},
    {"/wait \"C:\\app.exe\"", 0},
    {"/wait \"C:\\app.exe\"", 256},
    {"/limited /wait \"C:\\app.exe\"", 0xC0000005},   // an access violation
    {"/wait \"C:\\app.exe\"", 0xFFFFFFFF},
};

TEST(RunLauncher, WaitEndsWithTheProgramsExitCode)
{
    for (const WaitCase& c : kWaitCases) {
        std::string what = std::string(c.tail) + " ending with " + std::to_string(c.exitCode);
        SetUpAdministratorToken();
        g_fake.exitCode = c.exitCode;
        UINT_PTR status = RunWithTail(c.tail);
        EXPECT_EQ(status, static_cast<UINT_PTR>(c.exitCode)) << what;
        EXPECT_EQ(static_cast<UINT>(status), c.exitCode) << what << ": as the process's exit code";
        ASSERT_GE(g_fake.calls.size(), 4u) << what;
        EXPECT_EQ(Calls(g_fake.calls.end() - 4, g_fake.calls.end()),
                  (Calls{"CreateProcessAsUserA", "WaitForSingleObject", "GetExitCodeProcess", "FreeSid"}))
            << what;
        EXPECT_EQ(g_fake.waitedFor, reinterpret_cast<HANDLE>(0x4000)) << what;
        EXPECT_EQ(g_fake.waitMilliseconds, INFINITE) << what;
        EXPECT_EQ(g_fake.exitCodeOf, reinterpret_cast<HANDLE>(0x4000)) << what;
        EXPECT_EQ(g_fake.labelledToken, strstr(c.tail, "imited") ? kFakeRestrictedToken : nullptr) << what;
    }
}

const FailureCase kOptionFailureCases[] = {
    {"GetTokenInformation TokenGroups", ERROR_ACCESS_DENIED,
     FromTheStart(Then(kLimitedUpToSid, {"GetTokenInformation TokenGroups", "GetLastError", "FreeSid"})),
     ERROR_ACCESS_DENIED},
    // A heap that refuses.
    {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY,
     FromTheStart(Then(kLimitedUpToSid, {"GetTokenInformation TokenGroups", "GetLastError", "LocalAlloc",
                                         "GetLastError", "FreeSid"})),
     ERROR_NOT_ENOUGH_MEMORY},
    // The groups grew between the query of their size and their reading.
    {"GetTokenInformation TokenGroups", ERROR_INSUFFICIENT_BUFFER,
     FromTheStart(Then(Then(kLimitedUpToSid, kGroupsRead), {"GetLastError", "LocalFree", "FreeSid"})),
     ERROR_INSUFFICIENT_BUFFER, 2},
    {"GetTokenInformation TokenPrivileges", 0,
     FromTheStart(Then(Then(kLimitedUpToSid, kGroupsRead),
                       {"GetTokenInformation TokenPrivileges", "GetLastError", "LocalFree", "FreeSid"})),
     1},
    {"GetTokenInformation TokenElevation", ERROR_INVALID_PARAMETER,
     FromTheStart(Then(Then(kLimitedUpToSid, kGroupsRead),
                       {"GetTokenInformation TokenPrivileges", "GetTokenInformation TokenElevation",
                        "GetLastError", "LocalFree", "FreeSid"})),
     ERROR_INVALID_PARAMETER},
    {"CreateRestrictedToken", ERROR_INVALID_PARAMETER,
     FromTheStart(Then(Then(kLimitedUpToSid, kGroupsRead),
                       {"GetTokenInformation TokenPrivileges", "GetTokenInformation TokenElevation",
                        "CreateRestrictedToken", "GetLastError", "LocalFree", "FreeSid"})),
     ERROR_INVALID_PARAMETER},
    {"GetTokenInformation TokenIntegrityLevel", ERROR_ACCESS_DENIED,
     FromTheStart(Then(Calls(kLimitedTokenSteps.begin(), kLimitedTokenSteps.end() - 1),
                       {"GetLastError", "FreeSid"})),
     ERROR_ACCESS_DENIED},
    {"SetTokenInformation TokenIntegrityLevel", ERROR_PRIVILEGE_NOT_HELD,
     FromTheStart(Then(kLimitedTokenSteps, {"GetLastError", "FreeSid"})), ERROR_PRIVILEGE_NOT_HELD},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE,
     FromTheStart(Then(kLimitedReady, {"CreateProcessAsUserA", "WaitForSingleObject", "GetLastError",
                                            "FreeSid"})),
     ERROR_INVALID_HANDLE},
    {"GetExitCodeProcess", ERROR_ACCESS_DENIED,
     FromTheStart(Then(kLimitedReady, {"CreateProcessAsUserA", "WaitForSingleObject",
                                            "GetExitCodeProcess", "GetLastError", "FreeSid"})),
     ERROR_ACCESS_DENIED},
    {"CreateProcessAsUserA", ERROR_FILE_NOT_FOUND,
     FromTheStart(Then(kLimitedReady, {"CreateProcessAsUserA", "GetLastError", "FreeSid"})),
     ERROR_FILE_NOT_FOUND},
};

TEST(RunLauncher, AFailedStepOfTheOptionsEndsTheRunWithItsErrorCode)
{
    for (const FailureCase& c : kOptionFailureCases) {
        SetUpAdministratorToken();
        g_fake.failingCall = c.failingCall;
        g_fake.failingError = c.error;
        g_fake.failingCallNumber = c.nth;
        UINT_PTR status = RunWithTail("/wait /limited \"C:\\app.exe\"");
        std::string what = std::string(c.failingCall) + " failing with " + std::to_string(c.error);
        EXPECT_EQ(g_fake.calls, c.expectedCalls) << what;
        EXPECT_EQ(status, c.expectedStatus) << what;
        EXPECT_NE(g_fake.launchToken, kPoison) << what;
        EXPECT_NE(g_fake.labelledToken, kPoison) << what;
        EXPECT_EQ(g_fake.freedSid, FakeAdministratorsSid()) << what;
        EXPECT_EQ(g_fake.heapHeld, std::vector<void*>()) << what << ": memory not given back";
    }
}

struct GroupCountCase {
    size_t count;           // the caller's groups
    size_t everyNth;        // one in so many is Power Users, an administrators' equal
};

// However many groups the caller has, they are read whole and every
// administrators' equal among them ends up in the list.
const GroupCountCase kGroupCountCases[] = {{20, 4}, {300, 7}, {1000, 3}, {1000, 1}};

TEST(RunLauncher, LimitedReadsTheGroupsWholeHoweverMany)
{
    for (const GroupCountCase& c : kGroupCountCases) {
        std::string what = std::to_string(c.count) + " groups, one in " + std::to_string(c.everyNth);
        SetUpAdministratorToken();
        g_fake.groups.clear();
        std::vector<std::vector<unsigned char>> expected = {kAdministratorsSidBytes};
        for (size_t i = 0; i < c.count; ++i) {
            bool equal = i % c.everyNth == 0;
            // Domain groups of their own RIDs, none of them an equal.
            std::vector<unsigned char> sid = equal ? kPowerUsers : SidBytes(5, {21, 1, 2, 3, 10000 + static_cast<DWORD>(i)});
            g_fake.groups.push_back({sid, SE_GROUP_MANDATORY | SE_GROUP_ENABLED});
            if (equal) {
                expected.push_back(sid);
            }
        }
        UINT_PTR status = RunWithTail("/limited \"C:\\app.exe\"");
        EXPECT_EQ(status, 0u) << what;
        EXPECT_EQ(g_fake.calls, FromTheStart(Then(kLimitedReady, {"CreateProcessAsUserA", "FreeSid"})))
            << what;
        EXPECT_EQ(g_fake.disabledSids, expected) << what;
        EXPECT_EQ(g_fake.launchToken, kFakeRestrictedToken) << what;
        EXPECT_EQ(g_fake.misaligned, std::vector<std::string>()) << what;
        EXPECT_EQ(g_fake.heapHeld, std::vector<void*>()) << what;
    }
}

struct EquivalentCase {
    std::vector<unsigned char> sid;
    bool denied;   // made deny-only under /limited
};

std::vector<EquivalentCase> EquivalentCases()
{
    std::vector<EquivalentCase> cases;
    for (DWORD rid : {544u, 547u, 548u, 549u, 550u, 551u, 553u, 554u, 556u, 569u}) {
        cases.push_back({SidBytes(5, {32, rid}), true});
    }
    for (DWORD rid : {498u, 512u, 516u, 517u, 518u, 519u, 520u, 521u}) {
        cases.push_back({SidBytes(5, {21, 11, 22, 33, rid}), true});
    }
    cases.push_back({SidBytes(5, {114}), true});
    // Near neighbours, which stay as they are: Replicator (552), Remote
    // Desktop Users (555), Users and Guests in BUILTIN; Domain Users and
    // the domain's Administrator account; the local account; RID 115; and
    // 544 under another authority.
    for (DWORD rid : {552u, 555u, 545u, 546u}) {
        cases.push_back({SidBytes(5, {32, rid}), false});
    }
    cases.push_back({SidBytes(5, {21, 11, 22, 33, 513}), false});
    cases.push_back({SidBytes(5, {21, 11, 22, 33, 500}), false});
    cases.push_back({SidBytes(5, {113}), false});
    cases.push_back({SidBytes(5, {115}), false});
    cases.push_back({SidBytes(3, {32, 544}), false});
    return cases;
}

TEST(RunLauncher, LimitedMakesEachAdministratorsEqualDenyOnly)
{
    for (const EquivalentCase& c : EquivalentCases()) {
        SetUpAdministratorToken();
        // The caller's groups: Everyone and the one under test.
        g_fake.groups = {{SidBytes(1, {0}), SE_GROUP_MANDATORY | SE_GROUP_ENABLED},
                         {c.sid, SE_GROUP_MANDATORY | SE_GROUP_ENABLED}};
        EXPECT_EQ(RunWithTail("/limited \"C:\\app.exe\""), 0u);
        // Administrators is always first, as made; it is not listed twice.
        std::vector<std::vector<unsigned char>> expected = {kAdministratorsSidBytes};
        if (c.denied && c.sid != kAdministratorsSidBytes) {
            expected.push_back(c.sid);
        }
        std::string what;
        for (unsigned char b : c.sid) {
            what += std::to_string(b) + ".";
        }
        EXPECT_EQ(g_fake.disabledSids, expected) << what;
    }
}

TEST(RunLauncher, LimitedDeletesEveryPrivilegeButAStandardUsers)
{
    // Every privilege Windows defines, LUIDs 2 to 36.
    SetUpAdministratorToken();
    g_fake.privileges.clear();
    std::vector<LUID_AND_ATTRIBUTES> expected;
    for (DWORD luid = 2; luid <= 36; ++luid) {
        g_fake.privileges.push_back(Privilege(luid, luid % 2 ? kOn : 0));
        if (luid != 19 && luid != 23 && luid != 25 && luid != 33 && luid != 34) {
            expected.push_back(Privilege(luid, luid % 2 ? kOn : 0));
        }
    }
    EXPECT_EQ(RunWithTail("/limited \"C:\\app.exe\""), 0u);
    EXPECT_EQ(expected.size(), 30u);
    EXPECT_TRUE(SamePrivileges(g_fake.deletedPrivileges, expected));
    EXPECT_EQ(g_fake.deletePrivilegeCount, 30u);
    EXPECT_EQ(g_fake.misaligned, std::vector<std::string>());
}

struct GrammarCase {
    const char* tail;
    UINT_PTR status;
    const char* launchedName;   // null: nothing is launched
    const char* commandLine;    // "(null)" when none is handed on
    DWORD deleted;              // privileges deleted: /limited took effect
};

const DWORD kLimitedDeletes = 8;   // of the administrator's token set up

// Options before a quoted or an unquoted path; a word of an option's form
// that is no option, or one given twice, or an option with no path after
// it, is refused with ERROR_INVALID_PARAMETER; anything else stays a path.
const GrammarCase kGrammarCases[] = {
    {"/limited C:\\app.exe", 0, "C:\\app.exe", "(null)", kLimitedDeletes},
    {"/limited C:\\Program Files\\App\\app.exe", 0, "C:\\Program Files\\App\\app.exe", "(null)", kLimitedDeletes},
    {"/LIMITED\t C:\\a b\\app.exe -x ", 0, "C:\\a b\\app.exe -x ", "(null)", kLimitedDeletes},
    {"/wait /errorbox C:\\app.exe", 0, "C:\\app.exe", "(null)", 0},
    {"/ErrorBox \"C:\\app.exe\" -x", 0, "C:\\app.exe", "\"C:\\app.exe\" -x", 0},
    {"/limited /tools/app.exe", 0, "/tools/app.exe", "(null)", kLimitedDeletes},
    {"/limited /frob", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/tools/app.exe", 0, "/tools/app.exe", "(null)", 0},
    {"/frob", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/limted", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/limited:yes \"C:\\app.exe\"", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/limited=1 C:\\app.exe", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/tools:app.exe", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/tools/a:b.exe", 0, "/tools/a:b.exe", "(null)", 0},
    {"/limited\\app.exe", 0, "/limited\\app.exe", "(null)", 0},
    {"/limitedx \"C:\\app.exe\"", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/limted \"C:\\app.exe\"", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/x \"C:\\app.exe\"", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/wait /wait \"C:\\app.exe\"", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/limited /x /limited C:\\app.exe", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/limited", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/Wait", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/limited   ", ERROR_INVALID_PARAMETER, nullptr, "", 0},
    {"/limited /wait", ERROR_INVALID_PARAMETER, nullptr, "", 0},
};

TEST(RunLauncher, OptionsComeBeforeAQuotedOrAnUnquotedPath)
{
    for (const GrammarCase& c : kGrammarCases) {
        SetUpAdministratorToken();
        UINT_PTR status = RunWithTail(c.tail);
        EXPECT_EQ(status, c.status) << c.tail;
        if (c.launchedName == nullptr) {
            // Refused before any token step; no box without /errorbox.
            EXPECT_EQ(g_fake.calls, FromTheStart({})) << c.tail;
            continue;
        }
        EXPECT_EQ(g_fake.applicationName, c.launchedName) << c.tail;
        EXPECT_EQ(g_fake.commandLineText, c.commandLine) << c.tail;
        EXPECT_EQ(g_fake.deletedPrivileges.size(), c.deleted) << c.tail;
        EXPECT_EQ(g_fake.messageBoxes, 0) << c.tail;
    }
}

struct HelpCase {
    const char* tail;
    bool usage;   // the usage box and status 0, nothing started
};

const HelpCase kHelpCases[] = {
    {"/?", true}, {"/?  \t", true}, {"/? x", true}, {"/?x", false}, {"/limited /?", true},
    {"/wait /? \"C:\\app.exe\" -x", true}, {"/x /?", true}, {"/?=1", true}, {"/wait:1 /?", true},
};

TEST(RunLauncher, QuestionMarkShowsTheHelpBox)
{
    for (const HelpCase& c : kHelpCases) {
        ResetFake();
        g_fake.failingCall = "CreateProcessAsUserA";
        g_fake.failingError = ERROR_INVALID_NAME;
        UINT_PTR status = RunWithTail(c.tail);
        if (c.usage) {
            EXPECT_EQ(status, 0u) << c.tail;
            EXPECT_EQ(g_fake.calls, FromTheStart({"GetActiveWindow", "MessageBoxA"})) << c.tail;
            EXPECT_EQ(g_fake.messageBoxCaption, "Tolvane") << c.tail;
            EXPECT_EQ(g_fake.messageBoxType, 0u) << c.tail;
            // Help that names every option.
            EXPECT_EQ(g_fake.messageBoxText.substr(0, 48), "Starts a program without administrator rights.\n\n")
                << c.tail;
            for (const char* option : {"\n/limited ", "\n/wait ", "\n/errorbox ", "\n/single ", "\n/? ", "1152",
                                       "1459"}) {
                EXPECT_NE(g_fake.messageBoxText.find(option), std::string::npos) << c.tail << ": " << option;
            }
        } else {
            // A path that names no file.
            EXPECT_EQ(status, static_cast<UINT_PTR>(ERROR_INVALID_NAME)) << c.tail;
            EXPECT_EQ(g_fake.messageBoxes, 0) << c.tail;
        }
    }
}

const DWORD kElevationRequired = 740;   // ERROR_ELEVATION_REQUIRED

struct ErrorBoxCase {
    const char* tail;
    const char* failingCall;   // or empty: nothing fails
    DWORD error;
    UINT_PTR status;
    const char* named;         // what the box names; null: no box
};

// With /errorbox a failure at any step is shown, naming what Tolvane tried
// to start and Windows' message and number for the code; nothing is shown
// when the program started, whatever it ends with.
const ErrorBoxCase kErrorBoxCases[] = {
    {"/errorbox \"C:\\Moved\\app.exe\"", "CreateProcessAsUserA", ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND,
     "C:\\Moved\\app.exe"},
    {"/limited /errorbox \"C:\\setup.exe\" /S", "CreateProcessAsUserA", kElevationRequired,
     kElevationRequired, "C:\\setup.exe"},
    {"/errorbox C:\\Program Files\\app.exe", "CreateProcessAsUserA", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
     "C:\\Program Files\\app.exe"},
    {"/errorbox /limited \"C:\\app.exe\"", "GetTokenInformation TokenGroups", ERROR_ACCESS_DENIED,
     ERROR_ACCESS_DENIED, "C:\\app.exe"},
    {"/errorbox /limited \"C:\\app.exe\"", "LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY,
     "C:\\app.exe"},
    {"/errorbox /limited \"C:\\app.exe\"", "SetTokenInformation TokenIntegrityLevel", ERROR_PRIVILEGE_NOT_HELD,
     ERROR_PRIVILEGE_NOT_HELD, "C:\\app.exe"},
    {"/errorbox \"C:\\app.exe\"", "OpenProcessToken", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "C:\\app.exe"},
    {"/errorbox \"C:\\app.exe\"", "SetTokenInformation TokenDefaultDacl", ERROR_ACCESS_DENIED,
     ERROR_ACCESS_DENIED, "C:\\app.exe"},
    {"/errorbox /limted \"C:\\app.exe\"", "", 0, ERROR_INVALID_PARAMETER, "/limted"},
    {"/limted /errorbox \"C:\\app.exe\"", "", 0, ERROR_INVALID_PARAMETER, "/limted"},
    {"/limited:yes /errorbox \"C:\\app.exe\"", "", 0, ERROR_INVALID_PARAMETER, "/limited:yes"},
    {"/errorbox -limited \"C:\\app.exe\"", "", 0, ERROR_INVALID_PARAMETER, "-limited"},
    {"/errorbox", "", 0, ERROR_INVALID_PARAMETER, "/errorbox"},
    {"/errorbox /wait  ", "", 0, ERROR_INVALID_PARAMETER, "/wait"},
    {"/errorbox \"C:\\app.exe\"", "WideCharToMultiByte", ERROR_INVALID_FLAGS, ERROR_INVALID_FLAGS,
     "\"C:\\app.exe\""},
    {"/errorbox \"C:\\app.exe\"", "", 0, 0, nullptr},
    {"/errorbox /wait \"C:\\app.exe\"", "", 0, 3, nullptr},   // the program's own exit code
    {"/errorbox /wait \"C:\\app.exe\"", "WaitForSingleObject", ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE,
     nullptr},
    {"\"C:\\app.exe\"", "CreateProcessAsUserA", ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, nullptr},
    {"/wait \"C:\\app.exe\" /errorbox", "CreateProcessAsUserA", ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND,
     nullptr},
};

TEST(RunLauncher, ErrorBoxShowsAFailureBeforeTheProgramStarted)
{
    for (const ErrorBoxCase& c : kErrorBoxCases) {
        std::string what = std::string(c.tail) + (c.failingCall[0] ? std::string(", ") + c.failingCall : "");
        SetUpAdministratorToken();
        g_fake.ansiCodePage = 1252;
        g_fake.wideCommandLine = L"tolvane.exe " + std::wstring(c.tail, c.tail + strlen(c.tail));
        g_fake.failingCall = c.failingCall;
        g_fake.failingError = c.error;
        g_fake.exitCode = 3;
        UINT_PTR status = RunWithTail(c.tail);
        EXPECT_EQ(status, c.status) << what;
        if (c.named == nullptr) {
            EXPECT_EQ(g_fake.messageBoxes, 0) << what;
            continue;
        }
        EXPECT_EQ(g_fake.messageBoxes, 1) << what;
        ASSERT_GE(g_fake.calls.size(), 4u) << what;
        EXPECT_EQ(Calls(g_fake.calls.end() - 4, g_fake.calls.end()),
                  (Calls{"FormatMessageA", "wsprintfA", "GetActiveWindow", "MessageBoxA"}))
            << what;
        // Windows' own message for the code, from the system, in the user's
        // language.
        EXPECT_EQ(g_fake.formattedCode, static_cast<DWORD>(c.status)) << what;
        EXPECT_EQ(g_fake.formatFlags, static_cast<DWORD>(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS))
            << what;
        EXPECT_EQ(g_fake.formatLanguage, 0u) << what;
        EXPECT_EQ(g_fake.messageBoxCaption, "Tolvane") << what;
        EXPECT_EQ(g_fake.messageBoxType, static_cast<UINT>(MB_OK | MB_ICONERROR)) << what;
        EXPECT_EQ(g_fake.messageBoxOwner, reinterpret_cast<HWND>(0x3000)) << what;
        std::string code = std::to_string(c.status);
        EXPECT_EQ(g_fake.messageBoxText,
                  std::string(c.named) + "\n\n" + code + ": System message " + code + ".\r\n")
            << what;
    }
}

struct InsertCase {
    const char* message;   // Windows' own, as FormatMessageA gives it
    std::string name;
    std::string shown;     // after the name, the code and ": "
};

const std::string kLongName = "C:\\" + std::string(700, 'n') + ".exe";

// Windows' "%1" is the name; any other insert stays as Windows wrote it, and
// nothing is read for it.
const InsertCase kInsertCases[] = {
    {"The system cannot find the file specified.\r\n", "C:\\a.exe",
     "The system cannot find the file specified.\r\n"},
    {"%1 is not a valid Win32 application.\r\n", "C:\\notes.exe",
     "C:\\notes.exe is not a valid Win32 application.\r\n"},
    {"Bad EXE format for %1.\r\n", "C:\\a b\\x.exe", "Bad EXE format for C:\\a b\\x.exe.\r\n"},
    {"%1 and %2, %10, %1%1\r\n", "C:\\a.exe", "C:\\a.exe and %2, %10, C:\\a.exeC:\\a.exe\r\n"},
    {"%1 is not a valid Win32 application.\r\n", kLongName, kLongName.substr(0, 399)},
};

TEST(RunLauncher, ErrorBoxPutsTheNameInPlaceOfWindowsInsert)
{
    for (const InsertCase& c : kInsertCases) {
        SetUpAdministratorToken();
        g_fake.systemMessage = c.message;
        g_fake.failingCall = "CreateProcessAsUserA";
        g_fake.failingError = ERROR_BAD_EXE_FORMAT;
        std::string tail = "/errorbox \"" + c.name + "\"";
        EXPECT_EQ(RunWithTail(tail.c_str()), static_cast<UINT_PTR>(ERROR_BAD_EXE_FORMAT)) << c.message;
        EXPECT_EQ(g_fake.messageBoxText, c.name.substr(0, 600) + "\n\n193: " + c.shown) << c.message;
        EXPECT_LE(g_fake.messageBoxText.size(), 1023u) << c.message;
    }
}

TEST(RunLauncher, ErrorBoxBoundsWhatItShows)
{
    // A name longer than the box shows is cut; a code Windows has no
    // message for is still shown by its number.
    SetUpAdministratorToken();
    g_fake.systemMessages = false;
    g_fake.failingCall = "CreateProcessAsUserA";
    g_fake.failingError = 0xE0001234;
    std::string tail = "/errorbox " + std::string(1000, 'a');
    EXPECT_EQ(RunWithTail(tail.c_str()), 0xE0001234u);
    EXPECT_EQ(g_fake.messageBoxText, std::string(600, 'a') + "\n\n3758101044: ");
}

struct TargetCase {
    const char* tail;
    const char* launchedName;
    const char* commandLine;   // "(null)" when none is handed on
};

const TargetCase kTargetCases[] = {
    {"\"C:\\Tools\\app.exe", "C:\\Tools\\app.exe", "(null)"},
    {"\"C:\\app.exe\" -x", "C:\\app.exe", "\"C:\\app.exe\" -x"},
    {"\"C:\\app.exe\"-x", "C:\\app.exe\"-x", "(null)"},
    {"C:\\Program Files\\app.exe ", "C:\\Program Files\\app.exe ", "(null)"},
    {"\"", "", "(null)"},
};

TEST(RunLauncher, LaunchesTheTargetNameAsIntakeCarvedIt)
{
    for (const TargetCase& c : kTargetCases) {
        ResetFake();
        RunWithTail(c.tail);
        EXPECT_EQ(g_fake.applicationName, c.launchedName) << c.tail;
        EXPECT_EQ(g_fake.commandLineText, c.commandLine) << c.tail;
        if (g_fake.commandLineArgument != nullptr) {
            EXPECT_EQ(g_fake.commandLineArgument, g_tail) << c.tail << ": not the tail itself";
        }
        EXPECT_EQ(g_fake.messageBoxType, ~0u) << c.tail << ": a usage box was shown";
    }
}

// The caller's sign-in (its logon SID among kAdministratorGroups) and
// another; Administrators enabled and deny-only; the levels.
const std::vector<unsigned char> kOwnLogon = SidBytes(5, {5, 0, 544});
const std::vector<unsigned char> kOtherLogon = SidBytes(5, {5, 0, 999});
const DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_OWNER, kDenyOnly = SE_GROUP_USE_FOR_DENY_ONLY;
const DWORD kHigh = SECURITY_MANDATORY_HIGH_RID, kMedium = SECURITY_MANDATORY_MEDIUM_RID;
const char kBrowser[] = "C:\\Apps\\browser.exe";

struct SingleCase {
    const char* name;
    const char* options;
    FakePlatform::RunningProcess copy;
    const char* failingCall;
    UINT_PTR status;   // 0: started
};

// /single: a copy of the same file, of the caller's sign-in, that has more
// than the new token (Administrators enabled, elevated, a higher level)
// refuses the launch; anything else starts the program.
const SingleCase kSingleCases[] = {
    {"a copy with Administrators enabled", "/single", {77, kBrowser, kOwnLogon, kEnabled, 1, kHigh}, "",
     ERROR_SINGLE_INSTANCE_APP},
    {"the same file by another path (a link)", "/single", {77, "C:\\Link\\b.exe", kOwnLogon, kEnabled, 1, kHigh},
     "", ERROR_SINGLE_INSTANCE_APP},
    {"a copy Tolvane started: Administrators deny-only", "/single", {77, kBrowser, kOwnLogon, kDenyOnly, 1, kHigh},
     "", 0},
    {"a file of the same name in another folder", "/single", {77, "C:\\Other\\browser.exe", kOwnLogon, kEnabled,
     1, kHigh}, "", 0},
    {"another sign-in's copy", "/single", {77, kBrowser, kOtherLogon, kEnabled, 1, kHigh}, "", 0},
    {"a process that cannot be opened", "/single", {77, kBrowser, kOwnLogon, kEnabled, 1, kHigh, false}, "", 0},
    {"a token that cannot be opened", "/single", {77, kBrowser, kOwnLogon, kEnabled, 1, kHigh, true, false}, "", 0},
    {"a browser's sandboxed child: deny-only, Low", "/single", {77, kBrowser, kOwnLogon, kDenyOnly, 0, 4096}, "", 0},
    {"a copy above the caller's level", "/single", {77, kBrowser, kOwnLogon, kDenyOnly, 1, 16384}, "",
     ERROR_SINGLE_INSTANCE_APP},
    {"/limited: a copy of the default form", "/limited /single", {77, kBrowser, kOwnLogon, kDenyOnly, 1, kHigh}, "",
     ERROR_SINGLE_INSTANCE_APP},
    {"/limited: a copy elevated at Medium", "/limited /single", {77, kBrowser, kOwnLogon, kDenyOnly, 1, kMedium},
     "", ERROR_SINGLE_INSTANCE_APP},
    {"/limited: a copy of /limited", "/limited /single", {77, kBrowser, kOwnLogon, kDenyOnly, 0, kMedium}, "", 0},
    {"without /single", "", {77, kBrowser, kOwnLogon, kEnabled, 1, kHigh}, "", 0},
    {"a program that cannot be opened: left to the launch", "/single", {77, kBrowser, kOwnLogon, kEnabled, 1,
     kHigh}, "CreateFileA", 0},
    {"the running processes unlisted", "/single", {77, kBrowser, kOwnLogon, kEnabled, 1, kHigh},
     "K32EnumProcesses", ERROR_ACCESS_DENIED},
    {"no memory for the token's groups", "/single", {77, kBrowser, kOwnLogon, kEnabled, 1, kHigh}, "LocalAlloc",
     ERROR_ACCESS_DENIED},
};

TEST(RunLauncher, SingleRefusesACopyWithMoreRights)
{
    for (const SingleCase& c : kSingleCases) {
        SetUpAdministratorToken();
        g_fake.files = {{kBrowser, 7}, {"C:\\Link\\b.exe", 7}, {"C:\\Other\\browser.exe", 8}};
        g_fake.running = {{76, "C:\\Other\\tool.exe", kOwnLogon, kEnabled, 1, kHigh}, c.copy};
        g_fake.failingCall = c.failingCall;
        g_fake.failingError = ERROR_ACCESS_DENIED;
        std::string tail = std::string(c.options) + " /errorbox \"" + kBrowser + "\"";
        EXPECT_EQ(RunWithTail(tail.c_str()), c.status) << c.name;
        bool refused = c.status == ERROR_SINGLE_INSTANCE_APP;
        EXPECT_EQ(g_fake.launchToken, c.status == 0 ? kFakeRestrictedToken : nullptr) << c.name;
        EXPECT_EQ(g_fake.messageBoxText.find("It runs as process 77 with administrator rights.") != std::string::npos,
                  refused) << c.name << ": " << g_fake.messageBoxText;
        // Each process opened for a query alone, each file for its
        // attributes; every handle and every byte given back.
        for (DWORD access : g_fake.processAccess) {
            EXPECT_EQ(access, static_cast<DWORD>(PROCESS_QUERY_LIMITED_INFORMATION)) << c.name;
        }
        for (DWORD access : g_fake.fileAccess) {
            EXPECT_EQ(access, static_cast<DWORD>(FILE_READ_ATTRIBUTES)) << c.name;
        }
        EXPECT_EQ(g_fake.openedIds.empty(), c.options[0] == 0 || c.failingCall[0] != 0) << c.name;
        EXPECT_EQ(g_fake.handlesHeld, 0) << c.name;
        EXPECT_EQ(g_fake.heapHeld, std::vector<void*>()) << c.name;
    }
}

TEST(RunLauncher, APathTooLongToCopyStartsNothing)
{
    ResetFake();
    std::string tail = "\"" + std::string(kPathBufferSize, 'a') + "\" -x";
    EXPECT_EQ(RunWithTail(tail.c_str()), static_cast<UINT_PTR>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(g_fake.calls, FromTheStart({}));
}

}  // namespace

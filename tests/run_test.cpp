// One whole run of the launcher against the recording fake: every platform
// call in order with its exact arguments, and what happens when any one of
// them fails.
#include "launcher/intake.h"
#include "launcher/run.h"
#include "tests/fake_platform.h"

#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const Calls kTokenStepsAndLaunch = {
    "GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid",
    "CreateRestrictedToken", "CreateProcessAsUserA", "FreeSid"};

// The tail lives in a buffer of its own, as it does in the process.
UINT_PTR RunWithTail(const char* tail)
{
    static char buffer[512];
    strcpy(buffer, tail);
    PlatformCalls platform = FakePlatformCalls();
    return RunLauncher(platform, buffer);
}

TEST(RunLauncher, QuotedPathMakesEveryCallInOrderWithItsArguments)
{
    ResetFake();
    UINT_PTR status = RunWithTail("\"C:\\Program Files\\App\\app.exe\"");

    EXPECT_EQ(g_fake.calls, kTokenStepsAndLaunch);
    EXPECT_EQ(status, 0u);

    // The caller's own token, asked for assign-primary, duplicate and query.
    EXPECT_EQ(g_fake.openedProcess, kFakeProcessPseudoHandle);
    EXPECT_EQ(g_fake.desiredAccess, 0xBu);

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

    // The launch: the restricted token, the bare name and nothing else.
    EXPECT_EQ(g_fake.launchToken, kFakeRestrictedToken);
    EXPECT_EQ(g_fake.applicationName, "C:\\Program Files\\App\\app.exe");
    EXPECT_EQ(g_fake.commandLineArgument, nullptr);
    EXPECT_EQ(g_fake.processAttributes, nullptr);
    EXPECT_EQ(g_fake.threadAttributes, nullptr);
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

TEST(RunLauncher, LaunchSettingsHoldOnlyTheSizeAndTheDesktop)
{
    ResetFake();
    RunWithTail("C:\\app.exe");

    ASSERT_EQ(g_fake.launchSettingsBytes.size(), kLaunchSettingsSize);
    DWORD size;
    memcpy(&size, g_fake.launchSettingsBytes.data(), sizeof size);
    EXPECT_EQ(size, kLaunchSettingsSize);
    EXPECT_EQ(g_fake.launchDesktop, "winsta0\\default");
    for (size_t i = 0; i < kLaunchSettingsSize; ++i) {
        bool sizeOrDesktop = i < sizeof size ||
                             (i >= kDesktopOffset && i < kDesktopOffset + sizeof(char*));
        if (!sizeOrDesktop) {
            EXPECT_EQ(g_fake.launchSettingsBytes[i], 0) << "byte " << i;
        }
    }
}

TEST(RunLauncher, EmptyTailShowsUsageThenFailsToLaunchNothing)
{
    ResetFake();
    g_fake.failingCall = "CreateProcessAsUserA";
    g_fake.failingError = ERROR_PATH_NOT_FOUND;
    UINT_PTR status = RunWithTail("");

    Calls expected = {"GetActiveWindow", "MessageBoxA"};
    expected.insert(expected.end(), kTokenStepsAndLaunch.begin(), kTokenStepsAndLaunch.end() - 1);
    expected.push_back("GetLastError");
    expected.push_back("FreeSid");
    EXPECT_EQ(g_fake.calls, expected);

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
};

const FailureCase kFailureCases[] = {
    {"OpenProcessToken", ERROR_ACCESS_DENIED,
     {"GetCurrentProcess", "OpenProcessToken", "GetLastError"}, ERROR_ACCESS_DENIED},
    {"OpenProcessToken", 0,
     {"GetCurrentProcess", "OpenProcessToken", "GetLastError"}, 1},
    {"AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY,
     {"GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid", "GetLastError"},
     ERROR_NOT_ENOUGH_MEMORY},
    {"CreateRestrictedToken", ERROR_INVALID_PARAMETER,
     {"GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid",
      "CreateRestrictedToken", "GetLastError", "FreeSid"},
     ERROR_INVALID_PARAMETER},
    {"CreateProcessAsUserA", ERROR_FILE_NOT_FOUND,
     {"GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid",
      "CreateRestrictedToken", "CreateProcessAsUserA", "GetLastError", "FreeSid"},
     ERROR_FILE_NOT_FOUND},
    {"CreateProcessAsUserA", ERROR_BAD_EXE_FORMAT,
     {"GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid",
      "CreateRestrictedToken", "CreateProcessAsUserA", "GetLastError", "FreeSid"},
     ERROR_BAD_EXE_FORMAT},
    {"CreateProcessAsUserA", 0,
     {"GetCurrentProcess", "OpenProcessToken", "AllocateAndInitializeSid",
      "CreateRestrictedToken", "CreateProcessAsUserA", "GetLastError", "FreeSid"},
     1},
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

struct TargetCase {
    const char* tail;
    const char* launchedName;
};

const TargetCase kTargetCases[] = {
    {"\"C:\\Tools\\app.exe", "C:\\Tools\\app.exe"},
    {"\"C:\\app.exe\" -x", "C:\\app.exe\" -x"},
    {"C:\\Program Files\\app.exe ", "C:\\Program Files\\app.exe "},
    {"\"", ""},
};

TEST(RunLauncher, LaunchesTheTargetNameAsIntakeCarvedIt)
{
    for (const TargetCase& c : kTargetCases) {
        ResetFake();
        RunWithTail(c.tail);
        EXPECT_EQ(g_fake.applicationName, c.launchedName) << c.tail;
        EXPECT_EQ(g_fake.messageBoxType, ~0u) << c.tail << ": a usage box was shown";
    }
}

}  // namespace

// A recording stand-in for the Windows platform calls: it logs every call by
// name, keeps the arguments the launcher passed, and can make any one call
// fail with a chosen error code, the way Windows does (a zero result and the
// code left for GetLastError).
#pragma once

#include "platform/platform_calls.h"

#include <string>
#include <vector>

struct FakePlatform {
    // Set up by a test before the run.
    char* commandLine = nullptr;
    std::string leadBytes;           // bytes IsDBCSLeadByte says yes to
    std::string failingCall;         // name of the call that fails, or empty
    DWORD failingError = 0;          // what GetLastError then returns
    bool freeSidFails = false;

    // What the run did.
    std::vector<std::string> calls;

    HWND messageBoxOwner = nullptr;
    std::string messageBoxText, messageBoxCaption;
    UINT messageBoxType = ~0u;

    HANDLE openedProcess = nullptr;
    DWORD desiredAccess = 0;

    unsigned char authority[6] = {};
    BYTE subAuthorityCount = 0;
    DWORD subAuthorities[8] = {};

    HANDLE existingToken = nullptr;
    DWORD restrictedFlags = ~0u;
    std::vector<SID_AND_ATTRIBUTES> sidsToDisable;
    DWORD deletePrivilegeCount = ~0u, restrictedSidCount = ~0u;
    const void* privilegesToDelete = nullptr;
    const void* sidsToRestrict = nullptr;

    HANDLE launchToken = nullptr;
    const char* applicationNamePointer = nullptr;
    std::string applicationName;
    const void* commandLineArgument = nullptr;
    const void* processAttributes = nullptr;
    const void* threadAttributes = nullptr;
    BOOL inheritHandles = -1;
    DWORD creationFlags = ~0u;
    const void* environment = nullptr;
    const void* currentDirectory = nullptr;
    std::vector<unsigned char> launchSettingsBytes;   // the record as the launch saw it
    std::string launchDesktop;
    bool processInformationGiven = false;

    PSID freedSid = nullptr;
};

// The handles and SID the fake hands out, and the value it writes into an
// out parameter of a call that fails, so a run that used it would show.
extern const HANDLE kFakeProcessPseudoHandle;
extern const HANDLE kFakeProcessToken;
extern const HANDLE kFakeRestrictedToken;
extern const HANDLE kPoison;
PSID FakeAdministratorsSid();

// The one fake in use; reset for every test.
extern FakePlatform g_fake;
void ResetFake();
PlatformCalls FakePlatformCalls();

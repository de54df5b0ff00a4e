// A recording stand-in for the Windows platform calls: it logs every call by
// name, keeps the arguments the launcher passed, and can make any one call
// fail with a chosen error code, the way Windows does (a zero result and the
// code left for GetLastError).
#pragma once

#include "platform/platform_calls.h"

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct FakePlatform {
    // Set up by a test before the run.
    char* commandLine = nullptr;
    UINT ansiCodePage = 65001;       // what GetACP says: UTF-8 unless a test says otherwise
    std::wstring wideCommandLine;    // what GetCommandLineW gives
    std::string leadBytes;           // bytes IsDBCSLeadByte says yes to
    std::string failingCall;         // name of the call that fails, or empty
    DWORD failingError = 0;          // what GetLastError then returns
    int failingCallNumber = 0;       // only its nth call fails (1 the first); 0: every one
    bool freeSidFails = false;
    // The token the fake's token queries describe: its user's SID and its
    // default DACL (none when defaultDaclIsNull), as bytes.
    std::vector<unsigned char> userSid;
    std::vector<unsigned char> defaultDacl;
    bool defaultDaclIsNull = false;
    // Its groups (SID bytes and attributes), its privileges, its
    // integrity level's SID (High unless a test says otherwise), and
    // whether Windows counts it as elevated.
    std::vector<std::pair<std::vector<unsigned char>, DWORD>> groups;
    std::vector<LUID_AND_ATTRIBUTES> privileges;
    std::vector<unsigned char> integritySid;
    DWORD elevated = 1;
    // What the started program ends with, for a run that waits.
    DWORD exitCode = 0;

    // The files there are, by path, each with the index that identifies it
    // on the one volume (two paths with one index: links to one file); and
    // the processes running beside Tolvane, each with its program's path
    // and its token: its logon SID, the attributes of Administrators in it
    // (0: not among its groups), whether Windows counts it as elevated,
    // its integrity level; and whether Tolvane may open the process and
    // its token for a query.
    std::map<std::string, DWORD> files;
    struct RunningProcess {
        DWORD id;
        std::string program;
        std::vector<unsigned char> logon;
        DWORD administrators;
        DWORD elevated;
        DWORD level;
        bool opens = true;
        bool tokenOpens = true;
    };
    std::vector<RunningProcess> running;
    // The process ids asked for, the access each process and file was
    // opened for, and the handles the fake gave out and not yet had back.
    std::vector<DWORD> openedIds;
    std::vector<DWORD> processAccess;
    std::vector<DWORD> fileAccess;
    int handlesHeld = 0;
    // Whether the system has a message for an error code (FormatMessageA),
    // and the one it has for every code when not the fake's own wording.
    bool systemMessages = true;
    std::string systemMessage;
    DWORD formattedCode = 0;
    DWORD formatFlags = 0;
    DWORD formatLanguage = ~0u;
    // The launcher's window station: its name, or none at all; and its
    // thread's desktop's name.
    std::string windowStation = "WinSta0";
    bool noWindowStation = false;
    std::string desktop = "Default";

    // What GetStartupInfoA gives: the start-up information Tolvane's
    // starter handed it (set up by ResetFake as a caller that gave none:
    // Windows' own desktop name and Tolvane's path as the title); and the
    // path of Tolvane's own image, and the module asked for it.
    STARTUPINFOA startupInfo = {};
    std::string ownPath = "C:\\Tools\\tolvane.exe";
    HMODULE moduleAsked = nullptr;

    // The conversion of the real command line to the ANSI code page: the
    // fake's code page carries every character below U+0100 and no other.
    UINT conversionCodePage = ~0u;
    DWORD conversionFlags = ~0u;
    const wchar_t* convertedText = nullptr;
    int convertedCount = 0;
    const void* conversionOutput = nullptr;
    int conversionOutputSize = -1;
    const void* conversionDefaultChar = nullptr;
    bool usedDefaultAsked = false;

    // Buffers handed to the platform that were not aligned for the record
    // they hold, by call.
    std::vector<std::string> misaligned;

    // Memory taken from the process heap: the sizes asked for, and the
    // blocks not yet given back.
    std::vector<size_t> heapSizes;
    std::vector<void*> heapHeld;

    // What the run did. Token queries are logged with their class, as in
    // "GetTokenInformation TokenUser"; failingCall may name one that way.
    std::vector<std::string> calls;
    DWORD lastError = 0;

    int messageBoxes = 0;
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
    std::vector<std::vector<unsigned char>> disabledSids;   // the bytes of each
    std::vector<LUID_AND_ATTRIBUTES> deletedPrivileges;
    DWORD deletePrivilegeCount = ~0u, restrictedSidCount = ~0u;
    const void* privilegesToDelete = nullptr;
    const void* sidsToRestrict = nullptr;

    std::vector<HANDLE> queriedTokens;
    HANDLE adjustedToken = nullptr;
    std::vector<unsigned char> newDefaultDacl;   // the ACL handed to SetTokenInformation
    HANDLE labelledToken = nullptr;
    std::vector<unsigned char> newIntegritySid;  // the label handed to SetTokenInformation
    DWORD newIntegrityAttributes = ~0u;
    DWORD newIntegrityLength = 0;

    HANDLE launchToken = nullptr;
    const char* applicationNamePointer = nullptr;
    std::string applicationName;
    const void* commandLineArgument = nullptr;
    std::string commandLineText;
    BOOL inheritHandles = -1;
    DWORD creationFlags = ~0u;
    const void* environment = nullptr;
    const void* currentDirectory = nullptr;
    // The security attributes of the new process and of its thread, as the
    // launch saw them: whether given, their size, whether inheritable, and
    // the self-relative descriptor's control, owner and group offsets, and
    // its lists as bytes (empty when absent).
    struct Security {
        bool given = false;
        DWORD length = 0;
        BOOL inherit = -1;
        WORD control = 0;
        DWORD owner = ~0u, group = ~0u;
        std::vector<unsigned char> dacl, sacl;
        bool operator==(const Security& o) const
        {
            return given == o.given && length == o.length && inherit == o.inherit &&
                   control == o.control && owner == o.owner && group == o.group && dacl == o.dacl &&
                   sacl == o.sacl;
        }
    };
    Security processSecurity, threadSecurity;
    std::vector<unsigned char> launchSettingsBytes;   // the record as the launch saw it
    std::string launchDesktop;
    bool processInformationGiven = false;

    PSID freedSid = nullptr;

    HANDLE waitedFor = nullptr;
    DWORD waitMilliseconds = 0;
    HANDLE exitCodeOf = nullptr;
};

// The handles and SID the fake hands out, and the value it writes into an
// out parameter of a call that fails, so a run that used it would show.
extern const HANDLE kFakeProcessPseudoHandle;
extern const HANDLE kFakeProcessToken;
extern const HANDLE kFakeRestrictedToken;
extern const HANDLE kPoison;
PSID FakeAdministratorsSid();

// Well-known SIDs as bytes (inline, so a test's own tables may use them),
// and access lists built from entries.
inline const std::vector<unsigned char> kAdministratorsSidBytes = {   // S-1-5-32-544
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
inline const std::vector<unsigned char> kSystemSidBytes = {           // S-1-5-18
    1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
inline const std::vector<unsigned char> kUserSidBytes = {             // S-1-5-21-1-2-3-1000
    1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xe8, 3, 0, 0};
// A SID from its authority's last byte and its sub-authorities.
std::vector<unsigned char> SidBytes(BYTE authority, const std::vector<DWORD>& subAuthorities);
// The bytes of the SID `sid` points at.
std::vector<unsigned char> BytesOfSid(const void* sid);
std::vector<unsigned char> AceBytes(BYTE type, BYTE flags, DWORD mask,
                                    const std::vector<unsigned char>& sid);
std::vector<unsigned char> AclBytes(BYTE revision, const std::vector<std::vector<unsigned char>>& aces);
// What Windows gives a full administrator's token: GENERIC_ALL for
// Administrators, then for SYSTEM.
std::vector<unsigned char> AdministratorDefaultDacl();

// The one fake in use; reset for every test.
extern FakePlatform g_fake;
void ResetFake();
PlatformCalls FakePlatformCalls();

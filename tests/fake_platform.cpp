#include "tests/fake_platform.h"

#include <algorithm>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

FakePlatform g_fake;

const HANDLE kFakeProcessPseudoHandle = reinterpret_cast<HANDLE>(-1);
const HANDLE kFakeProcessToken = reinterpret_cast<HANDLE>(0x1000);
const HANDLE kFakeRestrictedToken = reinterpret_cast<HANDLE>(0x2000);
const HANDLE kPoison = reinterpret_cast<HANDLE>(0xBAD0);

static unsigned char g_sidStorage[SECURITY_MAX_SID_SIZE];

PSID FakeAdministratorsSid()
{
    return g_sidStorage;
}

static void PutWord(std::vector<unsigned char>* bytes, size_t at, unsigned value)
{
    (*bytes)[at] = static_cast<unsigned char>(value);
    (*bytes)[at + 1] = static_cast<unsigned char>(value >> 8);
}

std::vector<unsigned char> AceBytes(BYTE type, BYTE flags, DWORD mask,
                                    const std::vector<unsigned char>& sid)
{
    std::vector<unsigned char> ace = {type, flags, 0, 0};
    PutWord(&ace, 2, static_cast<unsigned>(8 + sid.size()));
    for (int shift = 0; shift < 32; shift += 8) {
        ace.push_back(static_cast<unsigned char>(mask >> shift));
    }
    ace.insert(ace.end(), sid.begin(), sid.end());
    return ace;
}

std::vector<unsigned char> AclBytes(BYTE revision, const std::vector<std::vector<unsigned char>>& aces)
{
    std::vector<unsigned char> acl = {revision, 0, 0, 0, 0, 0, 0, 0};
    for (const auto& ace : aces) {
        acl.insert(acl.end(), ace.begin(), ace.end());
    }
    PutWord(&acl, 2, static_cast<unsigned>(acl.size()));
    PutWord(&acl, 4, static_cast<unsigned>(aces.size()));
    return acl;
}

std::vector<unsigned char> AdministratorDefaultDacl()
{
    return AclBytes(ACL_REVISION, {AceBytes(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kAdministratorsSidBytes),
                                   AceBytes(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kSystemSidBytes)});
}

std::vector<unsigned char> SidBytes(BYTE authority, const std::vector<DWORD>& subAuthorities)
{
    std::vector<unsigned char> sid = {1, static_cast<unsigned char>(subAuthorities.size()), 0, 0, 0, 0, 0,
                                      authority};
    for (DWORD part : subAuthorities) {
        for (int shift = 0; shift < 32; shift += 8) {
            sid.push_back(static_cast<unsigned char>(part >> shift));
        }
    }
    return sid;
}

std::vector<unsigned char> BytesOfSid(const void* sid)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + 8 + 4 * bytes[1]);
}

void ResetFake()
{
    for (void* block : g_fake.heapHeld) {
        free(block);
    }
    g_fake = FakePlatform();
    memcpy(g_sidStorage, kAdministratorsSidBytes.data(), kAdministratorsSidBytes.size());
    g_fake.wideCommandLine = L"tolvane.exe C:\\app.exe";
    g_fake.userSid = kUserSidBytes;
    g_fake.defaultDacl = AdministratorDefaultDacl();
    g_fake.integritySid = SidBytes(16, {SECURITY_MANDATORY_HIGH_RID});
    g_fake.startupInfo.cb = sizeof g_fake.startupInfo;
    g_fake.startupInfo.lpDesktop = const_cast<char*>("WinSta0\\Default");
    g_fake.startupInfo.lpTitle = &g_fake.ownPath[0];
}

// Logs the call; says whether it is the one chosen to fail, and if so
// leaves its error code for GetLastError.
static bool Called(const std::string& name)
{
    g_fake.calls.push_back(name);
    if (g_fake.failingCall != name) {
        return false;
    }
    if (g_fake.failingCallNumber != 0 &&
        std::count(g_fake.calls.begin(), g_fake.calls.end(), name) != g_fake.failingCallNumber) {
        return false;
    }
    g_fake.lastError = g_fake.failingError;
    return true;
}

static LPSTR WINAPI FakeGetCommandLineA(void)
{
    Called("GetCommandLineA");
    return g_fake.commandLine;
}

static LPWSTR WINAPI FakeGetCommandLineW(void)
{
    Called("GetCommandLineW");
    return &g_fake.wideCommandLine[0];
}

static UINT WINAPI FakeGetACP(void)
{
    Called("GetACP");
    return g_fake.ansiCodePage;
}

// Measures or converts the text as a code page that holds U+0000 to U+00FF
// one byte each and nothing else, saying whether the default character
// stood in for anything.
static int WINAPI FakeWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideCount,
                                          LPSTR multiByte, int multiByteSize, LPCCH defaultChar,
                                          LPBOOL usedDefaultChar)
{
    bool fails = Called("WideCharToMultiByte");
    g_fake.conversionCodePage = codePage;
    g_fake.conversionFlags = flags;
    g_fake.convertedText = wide;
    g_fake.convertedCount = wideCount;
    g_fake.conversionOutput = multiByte;
    g_fake.conversionOutputSize = multiByteSize;
    g_fake.conversionDefaultChar = defaultChar;
    g_fake.usedDefaultAsked = usedDefaultChar != nullptr;
    if (fails) {
        return 0;
    }
    std::wstring_view text = wideCount < 0 ? std::wstring_view(wide) : std::wstring_view(wide, static_cast<size_t>(wideCount));
    bool lossy = false;
    for (wchar_t c : text) {
        lossy = lossy || c > 0xFF;
    }
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = lossy;
    }
    return static_cast<int>(text.size()) + (wideCount < 0 ? 1 : 0);
}

static BOOL WINAPI FakeIsDBCSLeadByte(BYTE testChar)
{
    // Asked once per byte of the own name: not logged.
    return g_fake.leadBytes.find(static_cast<char>(testChar)) != std::string::npos;
}

static VOID WINAPI FakeGetStartupInfoA(LPSTARTUPINFOA startupInfo)
{
    Called("GetStartupInfoA");
    *startupInfo = g_fake.startupInfo;
}

// Tolvane's own path, which every test's buffer holds.
static DWORD WINAPI FakeGetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    if (Called("GetModuleFileNameA") || g_fake.ownPath.size() >= size) {
        return 0;
    }
    g_fake.moduleAsked = module;
    memcpy(fileName, g_fake.ownPath.c_str(), g_fake.ownPath.size() + 1);
    return static_cast<DWORD>(g_fake.ownPath.size());
}

static DWORD WINAPI FakeGetCurrentThreadId(void)
{
    Called("GetCurrentThreadId");
    return 77;
}

static HDESK WINAPI FakeGetThreadDesktop(DWORD threadId)
{
    if (Called("GetThreadDesktop") || threadId != 77) {
        return nullptr;
    }
    return reinterpret_cast<HDESK>(0x6000);
}

static HANDLE WINAPI FakeGetCurrentProcess(void)
{
    Called("GetCurrentProcess");
    return kFakeProcessPseudoHandle;
}

static DWORD WINAPI FakeGetLastError(void)
{
    Called("GetLastError");
    return g_fake.lastError;
}

static DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    bool fails = Called("WaitForSingleObject");
    g_fake.waitedFor = handle;
    g_fake.waitMilliseconds = milliseconds;
    return fails ? WAIT_FAILED : WAIT_OBJECT_0;
}

static BOOL WINAPI FakeGetExitCodeProcess(HANDLE process, LPDWORD exitCode)
{
    bool fails = Called("GetExitCodeProcess");
    g_fake.exitCodeOf = process;
    *exitCode = fails ? 0xBAD0 : g_fake.exitCode;
    return !fails;
}

// The system's message for a code, as Windows words them: a sentence and a
// line break.
static DWORD WINAPI FakeFormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                       LPSTR buffer, DWORD size, va_list* arguments)
{
    bool fails = Called("FormatMessageA");
    g_fake.formattedCode = messageId;
    g_fake.formatFlags = flags;
    g_fake.formatLanguage = languageId;
    if (fails || !g_fake.systemMessages || source != nullptr || arguments != nullptr) {
        return 0;
    }
    std::string message = g_fake.systemMessage.empty()
                               ? "System message " + std::to_string(messageId) + ".\r\n"
                               : g_fake.systemMessage;
    if (message.size() + 1 > size) {
        g_fake.lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    memcpy(buffer, message.c_str(), message.size() + 1);
    return static_cast<DWORD>(message.size());
}

// As Windows' own: at most 1024 bytes, the terminator included.
static int WINAPIV FakeWsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    Called("wsprintfA");
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(buffer, 1024, format, arguments);
    va_end(arguments);
    return written < 1024 ? written : 1023;
}

static HLOCAL WINAPI FakeLocalAlloc(UINT flags, SIZE_T bytes)
{
    if (Called("LocalAlloc") || flags != LMEM_FIXED) {
        return nullptr;
    }
    void* block = malloc(bytes);
    g_fake.heapSizes.push_back(bytes);
    g_fake.heapHeld.push_back(block);
    return block;
}

static HLOCAL WINAPI FakeLocalFree(HLOCAL memory)
{
    Called("LocalFree");
    for (auto held = g_fake.heapHeld.begin(); held != g_fake.heapHeld.end(); ++held) {
        if (*held == memory) {
            g_fake.heapHeld.erase(held);
            free(memory);
            return nullptr;
        }
    }
    return memory;
}

static HWINSTA WINAPI FakeGetProcessWindowStation(void)
{
    Called("GetProcessWindowStation");
    return g_fake.noWindowStation ? nullptr : reinterpret_cast<HWINSTA>(0x5000);
}

// The station's or the desktop's name, as Windows answers UOI_NAME: with
// its terminator, or ERROR_INSUFFICIENT_BUFFER and the size needed.
static BOOL WINAPI FakeGetUserObjectInformationA(HANDLE object, int index, PVOID information,
                                                 DWORD length, LPDWORD lengthNeeded)
{
    if (Called("GetUserObjectInformationA")) {
        return FALSE;
    }
    const std::string* name = object == reinterpret_cast<HANDLE>(0x5000)   ? &g_fake.windowStation
                              : object == reinterpret_cast<HANDLE>(0x6000) ? &g_fake.desktop
                                                                           : nullptr;
    if (name == nullptr || index != UOI_NAME) {
        g_fake.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *lengthNeeded = static_cast<DWORD>(name->size() + 1);
    if (length < *lengthNeeded) {
        g_fake.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    memcpy(information, name->c_str(), *lengthNeeded);
    return TRUE;
}

static HWND WINAPI FakeGetActiveWindow(void)
{
    Called("GetActiveWindow");
    return reinterpret_cast<HWND>(0x3000);
}

static int WINAPI FakeMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    Called("MessageBoxA");
    ++g_fake.messageBoxes;
    g_fake.messageBoxOwner = owner;
    g_fake.messageBoxText = text ? text : "(null)";
    g_fake.messageBoxCaption = caption ? caption : "(null)";
    g_fake.messageBoxType = type;
    return IDOK;
}

// The handles the fake gives out for the running processes, their tokens
// and the files, by index.
const uintptr_t kRunningProcessHandles = 0x10000, kRunningTokenHandles = 0x20000, kFileHandles = 0x30000;

// The running process whose process (or token) handle `handle` is, or null.
static const FakePlatform::RunningProcess* RunningBy(HANDLE handle, uintptr_t base)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value >= base && value - base < g_fake.running.size() ? &g_fake.running[value - base] : nullptr;
}

static BOOL WINAPI FakeOpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token)
{
    bool fails = Called("OpenProcessToken");
    const FakePlatform::RunningProcess* other = RunningBy(process, kRunningProcessHandles);
    if (other != nullptr) {
        // Another process's: for a query alone, where it may be opened.
        if (fails || !other->tokenOpens || desiredAccess != TOKEN_QUERY) {
            g_fake.lastError = ERROR_ACCESS_DENIED;
            *token = kPoison;
            return FALSE;
        }
        ++g_fake.handlesHeld;
        *token = reinterpret_cast<HANDLE>(kRunningTokenHandles + (other - g_fake.running.data()));
        return TRUE;
    }
    g_fake.openedProcess = process;
    g_fake.desiredAccess = desiredAccess;
    *token = fails ? kPoison : kFakeProcessToken;
    return !fails;
}

static BOOL WINAPI FakeK32EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned)
{
    if (Called("K32EnumProcesses")) {
        return FALSE;
    }
    // Tolvane itself first, then the others.
    std::vector<DWORD> ids = {4242};
    for (const auto& other : g_fake.running) {
        ids.push_back(other.id);
    }
    DWORD count = std::min<DWORD>(static_cast<DWORD>(ids.size()), bytes / sizeof(DWORD));
    memcpy(processIds, ids.data(), count * sizeof(DWORD));
    *bytesReturned = count * sizeof(DWORD);
    return TRUE;
}

static HANDLE WINAPI FakeOpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId)
{
    bool fails = Called("OpenProcess");
    g_fake.openedIds.push_back(processId);
    g_fake.processAccess.push_back(desiredAccess);
    for (size_t i = 0; i < g_fake.running.size(); ++i) {
        if (g_fake.running[i].id == processId && g_fake.running[i].opens && !fails && !inheritHandle) {
            ++g_fake.handlesHeld;
            return reinterpret_cast<HANDLE>(kRunningProcessHandles + i);
        }
    }
    g_fake.lastError = ERROR_ACCESS_DENIED;
    return nullptr;
}

static BOOL WINAPI FakeQueryFullProcessImageNameA(HANDLE process, DWORD flags, LPSTR name, PDWORD size)
{
    const FakePlatform::RunningProcess* other = RunningBy(process, kRunningProcessHandles);
    if (Called("QueryFullProcessImageNameA") || other == nullptr || flags != 0 ||
        other->program.size() >= *size) {
        g_fake.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    memcpy(name, other->program.c_str(), other->program.size() + 1);
    *size = static_cast<DWORD>(other->program.size());
    return TRUE;
}

static HANDLE WINAPI FakeCreateFileA(LPCSTR name, DWORD desiredAccess, DWORD shareMode,
                                     LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                                     DWORD flagsAndAttributes, HANDLE templateFile)
{
    bool fails = Called("CreateFileA");
    g_fake.fileAccess.push_back(desiredAccess);
    auto file = g_fake.files.find(name);
    // Opened as it is, beside any other use of it, never made anew.
    if (fails || file == g_fake.files.end() ||
        shareMode != (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) || securityAttributes != nullptr ||
        creationDisposition != OPEN_EXISTING || flagsAndAttributes != 0 || templateFile != nullptr) {
        g_fake.lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    ++g_fake.handlesHeld;
    return reinterpret_cast<HANDLE>(kFileHandles + file->second);
}

static BOOL WINAPI FakeGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(file);
    if (Called("GetFileInformationByHandle") || value < kFileHandles) {
        return FALSE;
    }
    memset(information, 0, sizeof *information);
    information->dwVolumeSerialNumber = 0x5EED;
    information->nFileIndexHigh = 0x10;
    information->nFileIndexLow = static_cast<DWORD>(value - kFileHandles);
    return TRUE;
}

static BOOL WINAPI FakeCloseHandle(HANDLE object)
{
    Called("CloseHandle");
    --g_fake.handlesHeld;
    return object != nullptr && object != INVALID_HANDLE_VALUE;
}

static BOOL WINAPI FakeAllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count,
                                                DWORD s0, DWORD s1, DWORD s2, DWORD s3,
                                                DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                                                PSID* sid)
{
    bool fails = Called("AllocateAndInitializeSid");
    memcpy(g_fake.authority, authority->Value, 6);
    g_fake.subAuthorityCount = count;
    const DWORD values[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    memcpy(g_fake.subAuthorities, values, sizeof values);
    *sid = fails ? static_cast<PSID>(kPoison) : FakeAdministratorsSid();
    return !fails;
}

static BOOL WINAPI FakeCreateRestrictedToken(HANDLE existingToken, DWORD flags,
                                             DWORD disableSidCount, PSID_AND_ATTRIBUTES sidsToDisable,
                                             DWORD deletePrivilegeCount,
                                             PLUID_AND_ATTRIBUTES privilegesToDelete,
                                             DWORD restrictedSidCount,
                                             PSID_AND_ATTRIBUTES sidsToRestrict, PHANDLE newToken)
{
    bool fails = Called("CreateRestrictedToken");
    if (reinterpret_cast<uintptr_t>(sidsToDisable) % alignof(SID_AND_ATTRIBUTES) != 0) {
        g_fake.misaligned.push_back("CreateRestrictedToken: the SIDs to disable");
    }
    if (reinterpret_cast<uintptr_t>(privilegesToDelete) % alignof(LUID_AND_ATTRIBUTES) != 0) {
        g_fake.misaligned.push_back("CreateRestrictedToken: the privileges to delete");
    }
    g_fake.existingToken = existingToken;
    g_fake.restrictedFlags = flags;
    g_fake.sidsToDisable.assign(sidsToDisable, sidsToDisable + disableSidCount);
    for (DWORD i = 0; i < disableSidCount; ++i) {
        g_fake.disabledSids.push_back(BytesOfSid(sidsToDisable[i].Sid));
    }
    if (privilegesToDelete != nullptr) {
        g_fake.deletedPrivileges.assign(privilegesToDelete, privilegesToDelete + deletePrivilegeCount);
    }
    g_fake.deletePrivilegeCount = deletePrivilegeCount;
    g_fake.privilegesToDelete = privilegesToDelete;
    g_fake.restrictedSidCount = restrictedSidCount;
    g_fake.sidsToRestrict = sidsToRestrict;
    *newToken = fails ? kPoison : kFakeRestrictedToken;
    return !fails;
}

// The bytes of the list at `offset` in a self-relative descriptor, or none
// for offset 0.
static std::vector<unsigned char> ListAt(const unsigned char* descriptor, DWORD offset)
{
    if (offset == 0) {
        return {};
    }
    const ACL* list = reinterpret_cast<const ACL*>(descriptor + offset);
    if (reinterpret_cast<uintptr_t>(list) % alignof(DWORD) != 0) {
        g_fake.misaligned.push_back("CreateProcessAsUserA: a list of the descriptor");
    }
    return std::vector<unsigned char>(descriptor + offset, descriptor + offset + list->AclSize);
}

static void RecordSecurity(const SECURITY_ATTRIBUTES* attributes, FakePlatform::Security* seen)
{
    *seen = FakePlatform::Security();
    if (attributes == nullptr) {
        return;
    }
    seen->given = true;
    seen->length = attributes->nLength;
    seen->inherit = attributes->bInheritHandle;
    const unsigned char* bytes = static_cast<const unsigned char*>(attributes->lpSecurityDescriptor);
    if (bytes == nullptr) {
        return;
    }
    if (reinterpret_cast<uintptr_t>(bytes) % alignof(DWORD) != 0) {
        g_fake.misaligned.push_back("CreateProcessAsUserA: the security descriptor");
    }
    const SECURITY_DESCRIPTOR_RELATIVE* descriptor =
        reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(bytes);
    seen->control = descriptor->Control;
    seen->owner = descriptor->Owner;
    seen->group = descriptor->Group;
    seen->dacl = ListAt(bytes, (descriptor->Control & SE_DACL_PRESENT) ? descriptor->Dacl : 0);
    seen->sacl = ListAt(bytes, (descriptor->Control & SE_SACL_PRESENT) ? descriptor->Sacl : 0);
}

static BOOL WINAPI FakeCreateProcessAsUserA(HANDLE token, LPCSTR applicationName, LPSTR commandLine,
                                            LPSECURITY_ATTRIBUTES processAttributes,
                                            LPSECURITY_ATTRIBUTES threadAttributes,
                                            BOOL inheritHandles, DWORD creationFlags,
                                            LPVOID environment, LPCSTR currentDirectory,
                                            LPSTARTUPINFOA startupInfo,
                                            LPPROCESS_INFORMATION processInformation)
{
    bool fails = Called("CreateProcessAsUserA");
    g_fake.launchToken = token;
    g_fake.applicationNamePointer = applicationName;
    g_fake.applicationName = applicationName ? applicationName : "(null)";
    g_fake.commandLineArgument = commandLine;
    g_fake.commandLineText = commandLine ? commandLine : "(null)";
    RecordSecurity(processAttributes, &g_fake.processSecurity);
    RecordSecurity(threadAttributes, &g_fake.threadSecurity);
    g_fake.inheritHandles = inheritHandles;
    g_fake.creationFlags = creationFlags;
    g_fake.environment = environment;
    g_fake.currentDirectory = currentDirectory;
    const unsigned char* record = reinterpret_cast<const unsigned char*>(startupInfo);
    g_fake.launchSettingsBytes.assign(record, record + sizeof *startupInfo);
    g_fake.launchDesktop = startupInfo->lpDesktop ? startupInfo->lpDesktop : "(null)";
    g_fake.processInformationGiven = processInformation != nullptr;
    if (!fails && processInformation != nullptr) {
        processInformation->hProcess = reinterpret_cast<HANDLE>(0x4000);
        processInformation->hThread = reinterpret_cast<HANDLE>(0x4004);
        processInformation->dwProcessId = 42;
        processInformation->dwThreadId = 43;
    }
    return !fails;
}

static PVOID WINAPI FakeFreeSid(PSID sid)
{
    Called("FreeSid");
    g_fake.freedSid = sid;
    return g_fake.freeSidFails ? sid : nullptr;
}

static const char* ClassName(TOKEN_INFORMATION_CLASS informationClass)
{
    switch (informationClass) {
    case TokenUser: return "TokenUser";
    case TokenDefaultDacl: return "TokenDefaultDacl";
    case TokenGroups: return "TokenGroups";
    case TokenPrivileges: return "TokenPrivileges";
    case TokenIntegrityLevel: return "TokenIntegrityLevel";
    case TokenElevation: return "TokenElevation";
    default: return "another class";
    }
}

// Answers as Windows does: a record at the buffer's start, pointing at the
// variable part that follows it; ERROR_INSUFFICIENT_BUFFER, and the size
// needed, when the buffer is too small.
static BOOL WINAPI FakeGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                           LPVOID information, DWORD informationLength,
                                           PDWORD returnLength)
{
    if (Called(std::string("GetTokenInformation ") + ClassName(informationClass))) {
        return FALSE;
    }
    g_fake.queriedTokens.push_back(token);
    // The kernel wants each record aligned as it is: a pointer's alignment
    // for those that hold pointers, a DWORD's for the elevation.
    size_t alignment = informationClass == TokenElevation ? alignof(DWORD) : alignof(void*);
    if (reinterpret_cast<uintptr_t>(information) % alignment != 0) {
        g_fake.misaligned.push_back(std::string("GetTokenInformation ") + ClassName(informationClass));
    }
    // What the token holds: the caller's, as the fake was set up; the
    // restricted copy's, with the groups it was made with deny-only, not
    // elevated where it is a limited user's (LUA_TOKEN), and the level it
    // was given; or a running process's.
    auto groups = g_fake.groups;
    DWORD elevated = g_fake.elevated;
    std::vector<unsigned char> integritySid = g_fake.integritySid;
    if (const FakePlatform::RunningProcess* other = RunningBy(token, kRunningTokenHandles)) {
        groups = {{other->logon, SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_LOGON_ID}};
        if (other->administrators != 0) {
            groups.push_back({kAdministratorsSidBytes, other->administrators});
        }
        elevated = other->elevated;
        integritySid = SidBytes(16, {other->level});
    } else {
        if (token == kFakeRestrictedToken) {
            for (auto& group : groups) {
                if (std::find(g_fake.disabledSids.begin(), g_fake.disabledSids.end(), group.first) !=
                    g_fake.disabledSids.end()) {
                    group.second = SE_GROUP_USE_FOR_DENY_ONLY;
                }
            }
            elevated = g_fake.restrictedFlags != ~0u && (g_fake.restrictedFlags & LUA_TOKEN) != 0 ? 0 : elevated;
            integritySid = g_fake.newIntegritySid.empty() ? integritySid : g_fake.newIntegritySid;
        }
    }
    // The classes whose records are lists: built whole, then copied.
    std::vector<unsigned char> record;
    // Where a list's SIDs begin: after its count and its entries.
    const size_t groupsEnd = sizeof(TOKEN_GROUPS) +
                             (groups.empty() ? 0 : groups.size() - 1) * sizeof(SID_AND_ATTRIBUTES);
    if (informationClass == TokenGroups) {
        record.assign(groupsEnd, 0);
        for (const auto& group : groups) {
            record.insert(record.end(), group.first.begin(), group.first.end());
        }
        reinterpret_cast<TOKEN_GROUPS*>(record.data())->GroupCount = static_cast<DWORD>(groups.size());
    } else if (informationClass == TokenPrivileges) {
        record.assign(sizeof(TOKEN_PRIVILEGES) + (g_fake.privileges.empty() ? 0 : g_fake.privileges.size() - 1) *
                                                      sizeof(LUID_AND_ATTRIBUTES), 0);
        TOKEN_PRIVILEGES* list = reinterpret_cast<TOKEN_PRIVILEGES*>(record.data());
        list->PrivilegeCount = static_cast<DWORD>(g_fake.privileges.size());
        for (size_t i = 0; i < g_fake.privileges.size(); ++i) {
            list->Privileges[i] = g_fake.privileges[i];
        }
    } else if (informationClass == TokenElevation) {
        record.assign(sizeof(TOKEN_ELEVATION), 0);
        reinterpret_cast<TOKEN_ELEVATION*>(record.data())->TokenIsElevated = elevated;
    } else if (informationClass == TokenIntegrityLevel) {
        record.assign(sizeof(TOKEN_MANDATORY_LABEL), 0);
        record.insert(record.end(), integritySid.begin(), integritySid.end());
        reinterpret_cast<TOKEN_MANDATORY_LABEL*>(record.data())->Label.Attributes = SE_GROUP_INTEGRITY;
    }
    if (!record.empty()) {
        *returnLength = static_cast<DWORD>(record.size());
        if (informationLength < record.size()) {
            g_fake.lastError = ERROR_INSUFFICIENT_BUFFER;
            return FALSE;
        }
        memcpy(information, record.data(), record.size());
        // The pointers in the record point into the caller's buffer.
        unsigned char* bytes = static_cast<unsigned char*>(information);
        if (informationClass == TokenGroups) {
            TOKEN_GROUPS* list = static_cast<TOKEN_GROUPS*>(information);
            size_t at = groupsEnd;
            for (size_t i = 0; i < groups.size(); ++i) {
                list->Groups[i].Sid = bytes + at;
                list->Groups[i].Attributes = groups[i].second;
                at += groups[i].first.size();
            }
        } else if (informationClass == TokenIntegrityLevel) {
            static_cast<TOKEN_MANDATORY_LABEL*>(information)->Label.Sid = bytes + sizeof(TOKEN_MANDATORY_LABEL);
        }
        return TRUE;
    }

    size_t header;
    const std::vector<unsigned char>* body;
    if (informationClass == TokenUser) {
        header = sizeof(TOKEN_USER);
        body = &g_fake.userSid;
    } else if (informationClass == TokenDefaultDacl) {
        header = sizeof(TOKEN_DEFAULT_DACL);
        body = &g_fake.defaultDacl;
    } else {
        g_fake.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    bool none = informationClass == TokenDefaultDacl && g_fake.defaultDaclIsNull;
    size_t needed = header + (none ? 0 : body->size());
    *returnLength = static_cast<DWORD>(needed);
    if (informationLength < needed) {
        g_fake.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    unsigned char* bytes = static_cast<unsigned char*>(information);
    memset(bytes, 0, header);
    if (!none) {
        memcpy(bytes + header, body->data(), body->size());
    }
    void* variable = none ? nullptr : bytes + header;
    if (informationClass == TokenUser) {
        static_cast<TOKEN_USER*>(information)->User.Sid = variable;
    } else {
        static_cast<TOKEN_DEFAULT_DACL*>(information)->DefaultDacl = static_cast<PACL>(variable);
    }
    return TRUE;
}

static BOOL WINAPI FakeSetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                           LPVOID information, DWORD informationLength)
{
    if (Called(std::string("SetTokenInformation ") + ClassName(informationClass))) {
        return FALSE;
    }
    if (informationClass == TokenIntegrityLevel) {
        const TOKEN_MANDATORY_LABEL* label = static_cast<TOKEN_MANDATORY_LABEL*>(information);
        g_fake.labelledToken = token;
        g_fake.newIntegritySid = BytesOfSid(label->Label.Sid);
        g_fake.newIntegrityAttributes = label->Label.Attributes;
        g_fake.newIntegrityLength = informationLength;
        if (reinterpret_cast<uintptr_t>(label->Label.Sid) % alignof(DWORD) != 0) {
            g_fake.misaligned.push_back("SetTokenInformation TokenIntegrityLevel: the SID");
        }
        return TRUE;
    }
    g_fake.adjustedToken = token;
    if (informationClass == TokenDefaultDacl && informationLength >= sizeof(TOKEN_DEFAULT_DACL)) {
        const ACL* acl = static_cast<TOKEN_DEFAULT_DACL*>(information)->DefaultDacl;
        // The kernel captures the list as DWORDs.
        if (reinterpret_cast<uintptr_t>(acl) % alignof(DWORD) != 0) {
            g_fake.misaligned.push_back("SetTokenInformation TokenDefaultDacl: the ACL");
        }
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(acl);
        g_fake.newDefaultDacl.assign(bytes, bytes + acl->AclSize);
    }
    return TRUE;
}

PlatformCalls FakePlatformCalls()
{
    PlatformCalls calls;
    calls.GetCommandLineA = FakeGetCommandLineA;
    calls.GetCommandLineW = FakeGetCommandLineW;
    calls.GetACP = FakeGetACP;
    calls.WideCharToMultiByte = FakeWideCharToMultiByte;
    calls.IsDBCSLeadByte = FakeIsDBCSLeadByte;
    calls.GetStartupInfoA = FakeGetStartupInfoA;
    calls.GetModuleFileNameA = FakeGetModuleFileNameA;
    calls.GetCurrentThreadId = FakeGetCurrentThreadId;
    calls.GetThreadDesktop = FakeGetThreadDesktop;
    calls.GetCurrentProcess = FakeGetCurrentProcess;
    calls.GetLastError = FakeGetLastError;
    calls.WaitForSingleObject = FakeWaitForSingleObject;
    calls.GetExitCodeProcess = FakeGetExitCodeProcess;
    calls.FormatMessageA = FakeFormatMessageA;
    calls.wsprintfA = FakeWsprintfA;
    calls.LocalAlloc = FakeLocalAlloc;
    calls.LocalFree = FakeLocalFree;
    calls.K32EnumProcesses = FakeK32EnumProcesses;
    calls.OpenProcess = FakeOpenProcess;
    calls.QueryFullProcessImageNameA = FakeQueryFullProcessImageNameA;
    calls.CreateFileA = FakeCreateFileA;
    calls.GetFileInformationByHandle = FakeGetFileInformationByHandle;
    calls.CloseHandle = FakeCloseHandle;
    calls.GetProcessWindowStation = FakeGetProcessWindowStation;
    calls.GetUserObjectInformationA = FakeGetUserObjectInformationA;
    calls.GetActiveWindow = FakeGetActiveWindow;
    calls.MessageBoxA = FakeMessageBoxA;
    calls.OpenProcessToken = FakeOpenProcessToken;
    calls.AllocateAndInitializeSid = FakeAllocateAndInitializeSid;
    calls.CreateRestrictedToken = FakeCreateRestrictedToken;
    calls.CreateProcessAsUserA = FakeCreateProcessAsUserA;
    calls.FreeSid = FakeFreeSid;
    calls.GetTokenInformation = FakeGetTokenInformation;
    calls.SetTokenInformation = FakeSetTokenInformation;
    return calls;
}

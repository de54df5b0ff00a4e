// The one interface through which the launcher reaches Windows.
//
// Every operation is a member of PlatformCalls with the name and the
// parameters of the Windows function it stands for. In the program it is
// that function itself, called directly through the import table, so a
// call costs no more than a call written without this interface. Built for
// the unit tests (TOLVANE_PLATFORM_TABLE), it is a pointer to a function
// with that exact signature, so a test can put recording functions in their
// place; those builds also check every argument's type against it.
#pragma once

#include <windows.h>

// Windows 7 and later: kernel32's own EnumProcesses, which psapi.h declares
// without the import attribute.
extern "C" __declspec(dllimport) BOOL WINAPI K32EnumProcesses(DWORD* processIds, DWORD bytes,
                                                              DWORD* bytesReturned);

#if defined(TOLVANE_PLATFORM_TABLE)
struct PlatformCalls {
    // kernel32
    LPSTR (WINAPI *GetCommandLineA)(void);
    LPWSTR (WINAPI *GetCommandLineW)(void);
    UINT (WINAPI *GetACP)(void);
    int (WINAPI *WideCharToMultiByte)(UINT codePage, DWORD flags, LPCWCH wide, int wideCount,
                                      LPSTR multiByte, int multiByteSize, LPCCH defaultChar,
                                      LPBOOL usedDefaultChar);
    BOOL (WINAPI *IsDBCSLeadByte)(BYTE testChar);
    VOID (WINAPI *GetStartupInfoA)(LPSTARTUPINFOA startupInfo);
    DWORD (WINAPI *GetModuleFileNameA)(HMODULE module, LPSTR fileName, DWORD size);
    DWORD (WINAPI *GetCurrentThreadId)(void);
    HANDLE (WINAPI *GetCurrentProcess)(void);
    DWORD (WINAPI *GetLastError)(void);
    DWORD (WINAPI *WaitForSingleObject)(HANDLE handle, DWORD milliseconds);
    BOOL (WINAPI *GetExitCodeProcess)(HANDLE process, LPDWORD exitCode);
    DWORD (WINAPI *FormatMessageA)(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                   LPSTR buffer, DWORD size, va_list* arguments);
    HLOCAL (WINAPI *LocalAlloc)(UINT flags, SIZE_T bytes);
    HLOCAL (WINAPI *LocalFree)(HLOCAL memory);
    BOOL (WINAPI *K32EnumProcesses)(DWORD* processIds, DWORD bytes, DWORD* bytesReturned);
    HANDLE (WINAPI *OpenProcess)(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
    BOOL (WINAPI *QueryFullProcessImageNameA)(HANDLE process, DWORD flags, LPSTR name, PDWORD size);
    HANDLE (WINAPI *CreateFileA)(LPCSTR name, DWORD desiredAccess, DWORD shareMode,
                                 LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                                 DWORD flagsAndAttributes, HANDLE templateFile);
    BOOL (WINAPI *GetFileInformationByHandle)(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
    BOOL (WINAPI *CloseHandle)(HANDLE object);

    // user32
    HWND (WINAPI *GetActiveWindow)(void);
    int (WINAPI *MessageBoxA)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
    int (WINAPIV *wsprintfA)(LPSTR buffer, LPCSTR format, ...);
    HWINSTA (WINAPI *GetProcessWindowStation)(void);
    BOOL (WINAPI *GetUserObjectInformationA)(HANDLE object, int index, PVOID information,
                                             DWORD length, LPDWORD lengthNeeded);
    HDESK (WINAPI *GetThreadDesktop)(DWORD threadId);

    // advapi32
    BOOL (WINAPI *OpenProcessToken)(HANDLE process, DWORD desiredAccess, PHANDLE token);
    BOOL (WINAPI *AllocateAndInitializeSid)(PSID_IDENTIFIER_AUTHORITY authority,
                                            BYTE subAuthorityCount,
                                            DWORD subAuthority0, DWORD subAuthority1,
                                            DWORD subAuthority2, DWORD subAuthority3,
                                            DWORD subAuthority4, DWORD subAuthority5,
                                            DWORD subAuthority6, DWORD subAuthority7,
                                            PSID* sid);
    BOOL (WINAPI *CreateRestrictedToken)(HANDLE existingToken, DWORD flags,
                                         DWORD disableSidCount, PSID_AND_ATTRIBUTES sidsToDisable,
                                         DWORD deletePrivilegeCount,
                                         PLUID_AND_ATTRIBUTES privilegesToDelete,
                                         DWORD restrictedSidCount, PSID_AND_ATTRIBUTES sidsToRestrict,
                                         PHANDLE newToken);
    BOOL (WINAPI *CreateProcessAsUserA)(HANDLE token, LPCSTR applicationName, LPSTR commandLine,
                                        LPSECURITY_ATTRIBUTES processAttributes,
                                        LPSECURITY_ATTRIBUTES threadAttributes,
                                        BOOL inheritHandles, DWORD creationFlags,
                                        LPVOID environment, LPCSTR currentDirectory,
                                        LPSTARTUPINFOA startupInfo,
                                        LPPROCESS_INFORMATION processInformation);
    PVOID (WINAPI *FreeSid)(PSID sid);
    BOOL (WINAPI *GetTokenInformation)(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                       LPVOID information, DWORD informationLength,
                                       PDWORD returnLength);
    BOOL (WINAPI *SetTokenInformation)(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                       LPVOID information, DWORD informationLength);
};
#else
// Each argument is handed on to the Windows function as it is, and converted
// there to its parameter's type; the table build checks those conversions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wconversion"
#define TOLVANE_DIRECT(name)                                     \
    template <typename... Arguments>                             \
    static auto name(Arguments... arguments)                     \
    {                                                            \
        return ::name(arguments...);                             \
    }
struct PlatformCalls {
    TOLVANE_DIRECT(GetCommandLineA)
    TOLVANE_DIRECT(GetCommandLineW)
    TOLVANE_DIRECT(GetACP)
    TOLVANE_DIRECT(WideCharToMultiByte)
    TOLVANE_DIRECT(IsDBCSLeadByte)
    TOLVANE_DIRECT(GetStartupInfoA)
    TOLVANE_DIRECT(GetModuleFileNameA)
    TOLVANE_DIRECT(GetCurrentThreadId)
    TOLVANE_DIRECT(GetCurrentProcess)
    TOLVANE_DIRECT(GetLastError)
    TOLVANE_DIRECT(WaitForSingleObject)
    TOLVANE_DIRECT(GetExitCodeProcess)
    TOLVANE_DIRECT(FormatMessageA)
    TOLVANE_DIRECT(LocalAlloc)
    TOLVANE_DIRECT(LocalFree)
    TOLVANE_DIRECT(K32EnumProcesses)
    TOLVANE_DIRECT(OpenProcess)
    TOLVANE_DIRECT(QueryFullProcessImageNameA)
    TOLVANE_DIRECT(CreateFileA)
    TOLVANE_DIRECT(GetFileInformationByHandle)
    TOLVANE_DIRECT(CloseHandle)
    TOLVANE_DIRECT(GetActiveWindow)
    TOLVANE_DIRECT(MessageBoxA)
    TOLVANE_DIRECT(wsprintfA)
    TOLVANE_DIRECT(GetProcessWindowStation)
    TOLVANE_DIRECT(GetUserObjectInformationA)
    TOLVANE_DIRECT(GetThreadDesktop)
    TOLVANE_DIRECT(OpenProcessToken)
    TOLVANE_DIRECT(AllocateAndInitializeSid)
    TOLVANE_DIRECT(CreateRestrictedToken)
    TOLVANE_DIRECT(CreateProcessAsUserA)
    TOLVANE_DIRECT(FreeSid)
    TOLVANE_DIRECT(GetTokenInformation)
    TOLVANE_DIRECT(SetTokenInformation)
};
#undef TOLVANE_DIRECT
#pragma GCC diagnostic pop
#endif

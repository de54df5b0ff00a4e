// The one interface through which the launcher reaches Windows.
//
// Every operation is a pointer to a function with the exact signature of the
// Windows function of the same name, so the real table is just those
// functions, bound by name when the image is loaded, and a test can put
// recording functions in their place.
#pragma once

#include <windows.h>

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

// Fills `calls` with the Windows functions themselves. Done at run time rather
// than in a static initializer: the addresses come from the import table, and
// the program has no runtime to run initializers for it.
void GetWindowsPlatformCalls(PlatformCalls* calls);

// The Windows realisation of PlatformCalls: each entry is the imported
// function itself, so a call costs one indirect jump and nothing is looked up
// while the program runs.
#include "platform/platform_calls.h"

void GetWindowsPlatformCalls(PlatformCalls* calls)
{
    calls->GetCommandLineA = GetCommandLineA;
    calls->GetCommandLineW = GetCommandLineW;
    calls->GetACP = GetACP;
    calls->WideCharToMultiByte = WideCharToMultiByte;
    calls->IsDBCSLeadByte = IsDBCSLeadByte;
    calls->GetStartupInfoA = GetStartupInfoA;
    calls->GetModuleFileNameA = GetModuleFileNameA;
    calls->GetCurrentThreadId = GetCurrentThreadId;
    calls->GetCurrentProcess = GetCurrentProcess;
    calls->GetLastError = GetLastError;
    calls->WaitForSingleObject = WaitForSingleObject;
    calls->GetExitCodeProcess = GetExitCodeProcess;
    calls->FormatMessageA = FormatMessageA;
    calls->LocalAlloc = LocalAlloc;
    calls->LocalFree = LocalFree;
    calls->GetActiveWindow = GetActiveWindow;
    calls->MessageBoxA = MessageBoxA;
    calls->wsprintfA = wsprintfA;
    calls->GetProcessWindowStation = GetProcessWindowStation;
    calls->GetUserObjectInformationA = GetUserObjectInformationA;
    calls->GetThreadDesktop = GetThreadDesktop;
    calls->OpenProcessToken = OpenProcessToken;
    calls->AllocateAndInitializeSid = AllocateAndInitializeSid;
    calls->CreateRestrictedToken = CreateRestrictedToken;
    calls->CreateProcessAsUserA = CreateProcessAsUserA;
    calls->FreeSid = FreeSid;
    calls->GetTokenInformation = GetTokenInformation;
    calls->SetTokenInformation = SetTokenInformation;
}

#include "launcher/code_page.h"

#include "launcher/failure.h"

DWORD CheckAnsiCommandLine(const PlatformCalls& platform)
{
    if (platform.GetACP() == kUtf8CodePage) {
        return 0;
    }
    // Only measured, never written: the size query says whether any
    // character needed the default one.
    BOOL usedDefault = FALSE;
    if (platform.WideCharToMultiByte(CP_ACP,
                                     WC_NO_BEST_FIT_CHARS,       // no look-alikes
                                     platform.GetCommandLineW(),
                                     -1,                         // up to its terminator
                                     nullptr, 0,                 // the size alone
                                     nullptr,                    // the code page's default
                                     &usedDefault) == 0) {
        return FailureCode(platform);
    }
    return usedDefault ? ERROR_NO_UNICODE_TRANSLATION : 0;
}

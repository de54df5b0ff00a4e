#include "launcher/code_page.h"

#include "launcher/command_line.h"
#include "launcher/failure.h"

DWORD CheckAnsiCommandLine(const PlatformCalls& platform, const char* ansiTail)
{
    if (platform.GetACP() == kUtf8CodePage) {
        return 0;
    }
    // UTF-16 has no lead bytes: no unit takes the next one with it.
    const wchar_t* tail =
        CutCommandLineTail(platform.GetCommandLineW(), [](wchar_t) { return false; });
    // Only measured, never written: the size query says whether any
    // character needed the default one.
    BOOL usedDefault = FALSE;
    int size = platform.WideCharToMultiByte(CP_ACP,
                                            WC_NO_BEST_FIT_CHARS,   // no look-alikes
                                            tail,
                                            -1,                     // up to its terminator
                                            nullptr, 0,             // the size alone
                                            nullptr,                // the code page's default
                                            &usedDefault);
    if (size == 0) {
        return FailureCode(platform);
    }
    // A best fit in the own name (a fullwidth quote made a plain one) cuts
    // the ANSI line elsewhere: its tail is then longer or shorter than the
    // real one's, terminator included.
    int length = 1;
    while (ansiTail[length - 1] != 0) {
        ++length;
    }
    return usedDefault || length != size ? ERROR_NO_UNICODE_TRANSLATION : 0;
}

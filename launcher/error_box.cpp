#include "launcher/error_box.h"

#include "launcher/intake.h"

void ShowErrorBox(const PlatformCalls& platform, const char* name, DWORD code)
{
    char message[kErrorMessageSize];
    if (platform.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr,
                                code,
                                0,  // the user's language, or the system's
                                message, sizeof message, nullptr) == 0) {
        message[0] = 0;
    }
    // Each part bounded, so the whole fits what wsprintfA writes at most.
    char text[1025];
    static_assert(kShownNameLength + kErrorMessageSize + 16 < 1024, "the box's text fits");
    platform.wsprintfA(text, "%.600s\n\n%lu: %.383s", name, code, message);
    platform.MessageBoxA(platform.GetActiveWindow(), text, kUsageCaption, MB_OK | MB_ICONERROR);
}

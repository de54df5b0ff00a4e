#include "launcher/error_box.h"

#include "launcher/intake.h"

// Writes `message` into `out` (room for `outSize` bytes, at least one) with
// `name` in place of each "%1" (not "%10" to "%19"), cut where `out` is
// full and always terminated. Any other insert stays as it was written.
static void FillFirstInsert(const char* message, const char* name, char* out, size_t outSize)
{
    size_t used = 0;
    while (*message != 0 && used + 1 < outSize) {
        // "%1", and not the start of "%10" to "%19".
        if (message[0] == '%' && message[1] == '1' && (message[2] < '0' || message[2] > '9')) {
            for (const char* p = name; *p != 0 && used + 1 < outSize; ++p) {
                out[used++] = *p;
            }
            message += 2;
            continue;
        }
        out[used++] = *message++;
    }
    out[used] = 0;
}

void ShowErrorBox(const PlatformCalls& platform, const char* name, DWORD code)
{
    // Windows' message as it stands, its inserts unfilled: it is handed no
    // arguments, so a message with more of them than Tolvane knows reads
    // nothing that is not there. Its "%1", where it has one, is the name.
    char message[kErrorMessageSize];
    if (platform.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr,
                                code,
                                0,  // the user's language, or the system's
                                message, sizeof message, nullptr) == 0) {
        message[0] = 0;
    }
    char filled[kFilledMessageSize];
    FillFirstInsert(message, name, filled, sizeof filled);
    // Each part bounded, so the whole fits what wsprintfA writes at most.
    char text[1025];
    static_assert(kShownNameLength + kFilledMessageSize + 16 < 1024, "the box's text fits");
    platform.wsprintfA(text, "%.600s\n\n%lu: %s", name, code, filled);
    platform.MessageBoxA(platform.GetActiveWindow(), text, kUsageCaption, MB_OK | MB_ICONERROR);
}

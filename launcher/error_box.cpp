#include "launcher/error_box.h"

#include "launcher/intake.h"

const char kElevatedCopyNote[] =
    "\n\nIt runs as process %lu with administrator rights. Close it (in the background too) "
    "and turn off what starts it.";

// Writes `message` into `out` (room for `outSize` bytes, at least one) with
// `name` in place of each "%1" (not "%10" to "%19"), cut where `out` is
// full and always terminated; returns how many bytes it wrote before the
// terminator. Any other insert stays as it was written.
static size_t FillFirstInsert(const char* message, const char* name, char* out, size_t outSize)
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
    return used;
}

void ShowErrorBox(const PlatformCalls& platform, const char* name, DWORD code, DWORD elevatedCopy)
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
    // The name and the code, then that message with the name in its "%1",
    // then the note on a copy with administrator rights: each part bounded,
    // so the whole fits.
    char text[kShownNameLength + 16 + kFilledMessageSize + sizeof kElevatedCopyNote + 16];
    size_t length = static_cast<size_t>(platform.wsprintfA(text, "%.600s\n\n%lu: ", name, code));
    length += FillFirstInsert(message, name, text + length, kFilledMessageSize);
    if (elevatedCopy != 0) {
        platform.wsprintfA(text + length, kElevatedCopyNote, elevatedCopy);
    }
    platform.MessageBoxA(platform.GetActiveWindow(), text, kUsageCaption, MB_OK | MB_ICONERROR);
}

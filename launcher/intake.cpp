#include "launcher/intake.h"

const char kUsageText[] =
    "Specify a program to execute without admin privileges\n\nusage: tolvane.exe <executable>";
const char kUsageCaption[] = "Tolvane";

char* CutCommandLineTail(char* commandLine, const PlatformCalls& platform)
{
    if (commandLine == nullptr) {
        // Never written: only a tail that starts with a quote is.
        return const_cast<char*>("");
    }

    // Pass over the program's own name. Blanks inside double quotes belong
    // to it; the second byte of a double-byte character is never a blank or
    // a quote, however it looks.
    unsigned char* p = reinterpret_cast<unsigned char*>(commandLine);
    bool inQuotes = false;
    for (;;) {
        unsigned char byte = *p;
        if (byte == 0) {
            return reinterpret_cast<char*>(p);
        }
        if (byte <= ' ' && !inQuotes) {
            break;
        }
        if (byte == '"') {
            inQuotes = !inQuotes;
        }
        ++p;
        if (platform.IsDBCSLeadByte(byte)) {
            if (*p == 0) {
                return reinterpret_cast<char*>(p);
            }
            ++p;
        }
    }

    // Then over the blanks and control bytes that separate it from the tail.
    while (*p != 0 && *p <= ' ') {
        ++p;
    }
    return reinterpret_cast<char*>(p);
}

void ShowUsage(const PlatformCalls& platform)
{
    // The box's answer does not matter: OK is its only button.
    platform.MessageBoxA(platform.GetActiveWindow(), kUsageText, kUsageCaption, MB_OK);
}

char* ExtractTargetName(char* tail)
{
    if (tail[0] != '"') {
        return tail;
    }

    // Only a closing quote is cut: an unclosed quote keeps the path whole
    // rather than losing its last character and naming another file.
    char* last = tail;
    while (last[1] != 0) {
        ++last;
    }
    if (*last == '"') {
        *last = 0;
    }
    return tail + 1;
}

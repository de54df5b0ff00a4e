#include "launcher/command_line.h"

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

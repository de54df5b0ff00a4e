#include "launcher/command_line.h"

// A byte that separates words on a command line: 0x01 to 0x20.
static bool IsBlank(char byte)
{
    return byte != 0 && static_cast<unsigned char>(byte) <= ' ';
}

char* ExtractTargetName(char* tail, char* pathBuffer, size_t pathBufferSize, char** commandLine)
{
    *commandLine = nullptr;
    if (tail[0] != '"') {
        return tail;
    }
    char* path = tail + 1;

    // The closing quote. A byte search is safe in every double-byte code
    // page: a quote is never the second byte of a character.
    char* closing = path;
    while (*closing != 0 && *closing != '"') {
        ++closing;
    }
    if (*closing == '"' && (closing[1] == 0 || IsBlank(closing[1]))) {
        char* rest = closing + 1;
        while (IsBlank(*rest)) {
            ++rest;
        }
        if (*rest == 0) {
            // The path alone, perhaps with blanks after it.
            *closing = 0;
            return path;
        }
        // Arguments: the command line stays whole, so the path is copied.
        size_t length = static_cast<size_t>(closing - path);
        if (length >= pathBufferSize) {
            return nullptr;
        }
        for (size_t i = 0; i < length; ++i) {
            pathBuffer[i] = path[i];
        }
        pathBuffer[length] = 0;
        *commandLine = tail;
        return pathBuffer;
    }

    // No closing quote, or something glued to it: only a closing quote at
    // the very end is cut, so an unclosed quote keeps the path whole.
    char* last = tail;
    while (last[1] != 0) {
        ++last;
    }
    if (last != tail && *last == '"') {
        *last = 0;
    }
    return path;
}

#include "launcher/command_line.h"

// A byte that separates words on a command line: 0x01 to 0x20.
static bool IsBlank(char byte)
{
    return byte != 0 && static_cast<unsigned char>(byte) <= ' ';
}

// An ASCII capital as its small letter; any other byte as it is.
static char LowerAscii(char byte)
{
    return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + ('a' - 'A')) : byte;
}

// The option `text` begins with, when it is followed by a blank, and its
// length; 0 when it begins with none. Letters compare in any case.
static unsigned MatchOption(const char* text, size_t* length)
{
    static const struct {
        const char* name;
        unsigned option;
    } kOptions[] = {{"/limited", kOptionLimited}, {"/wait", kOptionWait}};
    for (const auto& known : kOptions) {
        size_t i = 0;
        while (known.name[i] != 0 && LowerAscii(text[i]) == known.name[i]) {
            ++i;
        }
        if (known.name[i] == 0 && IsBlank(text[i])) {
            *length = i;
            return known.option;
        }
    }
    return 0;
}

char* TakeOptions(char* tail, unsigned* options)
{
    *options = 0;
    unsigned seen = 0;
    char* p = tail;
    while (*p != '"') {
        size_t length = 0;
        unsigned option = MatchOption(p, &length);
        if (option == 0 || (seen & option) != 0) {
            return tail;
        }
        seen |= option;
        p += length;
        while (IsBlank(*p)) {
            ++p;
        }
    }
    *options = seen;
    return p;
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

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

// The options' names after the slash, each ended by a NUL, in the order of
// their bits.
static const char kOptionNames[] = "limited\0wait\0errorbox\0single";
static_assert(kOptionLimited == 1 && kOptionWait == 2 && kOptionErrorBox == 4 && kOptionSingle == 8,
              "the names' order");

// The option the `length` bytes at `text`, a slash and letters, name in any
// case; 0 for none.
static unsigned KnownOption(const char* text, size_t length)
{
    const char* name = kOptionNames;
    for (unsigned option = kOptionLimited; option <= kOptionSingle; option <<= 1) {
        size_t i = 1;
        while (i < length && name[i - 1] != 0 && LowerAscii(text[i]) == name[i - 1]) {
            ++i;
        }
        if (i == length && name[i - 1] == 0) {
            return option;
        }
        while (*name++ != 0) {
        }
    }
    return 0;
}

// The length of the option word at `word`: "/" and ASCII letters, or "/?",
// then the end, a blank, ':' or '='; 0 when it is none.
static size_t OptionWordLength(const char* word)
{
    size_t length = 2;
    if (word[1] != '?') {
        length = 1;
        while (LowerAscii(word[length]) >= 'a' && LowerAscii(word[length]) <= 'z') {
            ++length;
        }
    }
    char after = word[length];
    bool ends = after == 0 || IsBlank(after) || after == ':' || after == '=';
    return length > 1 && ends ? length : 0;
}

char* TakeOptions(char* tail, unsigned* options, char** unreadable)
{
    *options = 0;
    *unreadable = nullptr;
    char* p = tail;
    char* last = tail;
    size_t length = 0;
    while ((*p == '/' || *p == '-') && (length = OptionWordLength(p)) != 0) {
        // No option takes a value (':' or '=' and what follows up to the
        // next blank); each is given at most once.
        bool valued = p[length] != 0 && !IsBlank(p[length]);
        unsigned option = p[1] == '?' ? kOptionHelp : KnownOption(p, length);
        // An option written with '-' is a mistyped one; any other word
        // with '-' begins the path.
        if (*p == '-') {
            if (option == 0) {
                break;
            }
            option = 0;
        }
        if ((option == 0 || valued || (*options & option) != 0) && *unreadable == nullptr) {
            *unreadable = p;
        }
        *options |= option;
        last = p;
        p += length;
        while (*p != 0 && !IsBlank(*p)) {
            ++p;
        }
        while (IsBlank(*p)) {
            ++p;
        }
    }
    // Options and nothing after them: no path was given after the last.
    if (*options != 0 && *p == 0 && *unreadable == nullptr) {
        *unreadable = last;
    }
    return *unreadable == nullptr ? p : nullptr;
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

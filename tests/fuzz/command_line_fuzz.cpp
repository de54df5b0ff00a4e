// Fuzzes the command-line rules with arbitrary bytes: the tail cut, the
// options, then the quote rule on what follows them, as the launcher runs
// them.
//
// Input: 32 bytes of lead-byte bitmap (bit n set: byte n begins a double-byte
// character), then the process command line up to the first NUL. The line
// is copied into a buffer of exactly its own size, so AddressSanitizer stops
// any read past the terminator.
#include "launcher/command_line.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#define CHECK(condition)                                                        \
    do {                                                                        \
        if (!(condition)) {                                                     \
            fprintf(stderr, "invariant broken: %s (line %d)\n", #condition,     \
                    __LINE__);                                                  \
            abort();                                                            \
        }                                                                       \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 32) {
        // Too short for a bitmap: try the missing command line instead.
        CHECK(CutCommandLineTail(static_cast<char*>(nullptr), [](unsigned char) { return false; })[0] == 0);
        return 0;
    }
    const uint8_t* leadBitmap = data;
    data += 32;
    size -= 32;
    auto isLeadByte = [leadBitmap](unsigned char byte) {
        return (leadBitmap[byte / 8] >> (byte % 8)) & 1;
    };

    size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    char* buffer = static_cast<char*>(malloc(length + 1));
    char* original = static_cast<char*>(malloc(length + 1));
    memcpy(buffer, data, length);
    buffer[length] = 0;
    memcpy(original, buffer, length + 1);

    // The tail: a view of the line's end that never starts with a blank or
    // control byte, and nothing written.
    char* tail = CutCommandLineTail(buffer, isLeadByte);
    CHECK(tail >= buffer && tail <= buffer + length);
    CHECK(tail[0] == 0 || static_cast<unsigned char>(tail[0]) > 0x20);
    CHECK(memcmp(buffer, original, length + 1) == 0);
    size_t tailLength = strlen(tail);
    CHECK(tail + tailLength == buffer + length);

    // The options, nothing written. An option word is "/" and letters, or
    // "/?", ending at the end, a blank, ':' or '='. Accepted: a prefix of
    // option words, each a known option or "/?", each at most once, none
    // with a value, each followed by blanks, and after it a path that does
    // not begin with an option word, not empty after an option. Refused: a
    // word within the tail that begins with a slash, or a dash (an option so written).
    unsigned options = ~0u;
    char* unreadable = nullptr;
    char* rest = TakeOptions(tail, &options, &unreadable);
    CHECK(memcmp(buffer, original, length + 1) == 0);
    if (rest == nullptr) {
        CHECK(unreadable >= tail && unreadable < tail + tailLength && (*unreadable == '/' || *unreadable == '-'));
        free(buffer);
        free(original);
        return 0;
    }
    CHECK(unreadable == nullptr);
    CHECK(rest >= tail && rest <= tail + tailLength);
    CHECK(options == 0 || *rest != 0);
    unsigned seen = 0;
    const char* p = tail;
    while (p < rest) {
        const char* word = p;
        while (p < rest && static_cast<unsigned char>(*p) > 0x20) {
            ++p;
        }
        size_t wordLength = static_cast<size_t>(p - word);
        unsigned option = 0;
        if (wordLength == 8 && strncasecmp(word, "/limited", 8) == 0) {
            option = kOptionLimited;
        } else if (wordLength == 5 && strncasecmp(word, "/wait", 5) == 0) {
            option = kOptionWait;
        } else if (wordLength == 9 && strncasecmp(word, "/errorbox", 9) == 0) {
            option = kOptionErrorBox;
        } else if (wordLength == 7 && strncasecmp(word, "/single", 7) == 0) {
            option = kOptionSingle;
        } else if (wordLength == 2 && strncmp(word, "/?", 2) == 0) {
            option = kOptionHelp;
        }
        CHECK(option != 0 && (seen & option) == 0);
        seen |= option;
        CHECK(p < rest);   // a blank after every option
        while (p < rest && static_cast<unsigned char>(*p) <= 0x20) {
            CHECK(*p != 0);
            ++p;
        }
    }
    CHECK(seen == options);
    if (rest[0] == '/') {
        // The path is no option word: a slash alone, or letters (or "?")
        // followed by something else than the end, a blank, ':' or '='.
        const char* q = rest + 1;
        if (*q == '?') {
            ++q;
        } else {
            while ((*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z')) {
                ++q;
            }
        }
        CHECK(q == rest + 1 || (static_cast<unsigned char>(*q) > 0x20 && *q != ':' && *q != '='));
    }
    tail = rest;
    tailLength = strlen(tail);

    // The target name and arguments. The path buffer is small and exactly
    // sized, so a copy past its end is caught too.
    const size_t pathBufferSize = 16;
    char* pathBuffer = static_cast<char*>(malloc(pathBufferSize));
    memset(pathBuffer, 'X', pathBufferSize);   // so a missing terminator shows
    char* commandLine = nullptr;
    char* target = ExtractTargetName(tail, pathBuffer, pathBufferSize, &commandLine);
    bool quoted = original[tail - buffer] == '"';
    const char* closing = quoted ? strchr(original + (tail - buffer) + 1, '"') : nullptr;

    if (target == nullptr || commandLine != nullptr) {
        // Arguments: only after a quoted path, nothing written, the command
        // line the tail itself, and the path (the bytes between the quotes,
        // never a quote) copied whole or refused for its length.
        CHECK(quoted && closing != nullptr);
        CHECK(memcmp(buffer, original, length + 1) == 0);
        size_t pathLength = static_cast<size_t>(closing - (original + (tail - buffer) + 1));
        if (target == nullptr) {
            CHECK(pathLength >= pathBufferSize);
        } else {
            CHECK(target == pathBuffer && commandLine == tail);
            CHECK(strlen(target) == pathLength && strchr(target, '"') == nullptr);
            CHECK(memcmp(target, tail + 1, pathLength) == 0);
            CHECK(static_cast<unsigned char>(closing[1]) <= 0x20 && closing[1] != 0);
        }
    } else {
        // No arguments: a view inside the tail that starts one byte in
        // exactly when the tail opens with a quote; at most one byte written,
        // a double quote turned into the terminator: the closing one, or the
        // tail's last byte.
        CHECK(target >= tail && target <= tail + tailLength);
        CHECK(target == (quoted ? tail + 1 : tail));
        size_t written = 0;
        for (size_t i = 0; i <= length; ++i) {
            if (buffer[i] != original[i]) {
                ++written;
                CHECK(quoted && original[i] == '"' && buffer[i] == 0);
                CHECK(original + i == closing || i == length - 1);
            }
        }
        CHECK(written <= 1);
        CHECK(strchr(target, 0) <= buffer + length);
    }

    free(pathBuffer);
    free(buffer);
    free(original);
    return 0;
}

// The byte rules that turn the process command line into the name of the
// program to start. Plain byte logic with no platform calls, so it can be
// exercised on its own with any lead-byte set.
#pragma once

#include <stddef.h>

// Returns what follows the program's own name and the blanks behind it on
// `commandLine` (null counts as empty). The own name ends at the first byte
// from 0x01 to 0x20 outside double quotes; a byte for which `isLeadByte`
// holds begins a double-byte character and takes the next byte with it
// untested, unless that byte is the terminator. Bytes are compared
// unsigned. Never returns null, never reads past the terminator and never
// writes.
template <typename IsLeadByte>
char* CutCommandLineTail(char* commandLine, IsLeadByte isLeadByte)
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
        if (isLeadByte(byte)) {
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

// The options that may come before a quoted path.
enum LaunchOption : unsigned {
    kOptionLimited = 1,   // /limited: the token of an administrator's unelevated session
    kOptionWait = 2,      // /wait: wait for the program and end with its exit code
};

// Takes the options at the start of `tail`: "/limited" and "/wait", ASCII
// letters in any case, each at most once, in either order, each followed by
// at least one blank (a byte from 0x01 to 0x20), and after them a double
// quote. When the tail has that form, sets `*options` and returns where the
// quote is; otherwise (no option, an unknown or repeated one, no blank after
// it, no quote after the last) sets no option and returns `tail` itself,
// which is then taken whole as before. Reads nothing past the tail's
// terminator and never writes to it.
char* TakeOptions(char* tail, unsigned* options);

// Returns the target name taken from `tail`, and in `*commandLine` the
// command line to start it with, or null when it gets no arguments.
//   - A tail that does not start with a double quote is the target name as
//     it stands, blanks and all; no arguments.
//   - A tail that starts with one is a quoted path. When its closing quote
//     is followed by blanks (bytes 0x01 to 0x20) and then anything else,
//     those are arguments: the path between the quotes is copied into
//     `pathBuffer` and is the target name, and the command line is the whole
//     tail from its opening quote, unchanged. When only blanks or nothing
//     follow the closing quote, the path is cut there in place (the one byte
//     this may write). With no closing quote, or another byte right after
//     it, the target name is the tail after its opening quote, less its last
//     byte when that is a quote.
// Returns null only when a path to be copied does not fit `pathBuffer`.
// Reads nothing past the tail's terminator.
char* ExtractTargetName(char* tail, char* pathBuffer, size_t pathBufferSize, char** commandLine);

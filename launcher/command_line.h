// The byte rules that turn the process command line into the name of the
// program to start. Plain byte logic with no platform calls, so it can be
// exercised on its own with any lead-byte set.
#pragma once

#include <stddef.h>

// A command line's unit read as unsigned: an ANSI byte, or a UTF-16 unit
// (wchar_t is unsigned on Windows).
template <typename Char>
struct CommandLineUnit;
template <>
struct CommandLineUnit<char> {
    using Type = unsigned char;
};
template <>
struct CommandLineUnit<wchar_t> {
    using Type = wchar_t;
};

// Returns what follows the program's own name and the blanks behind it on
// `commandLine` (null counts as empty): bytes in an ANSI code page, or
// UTF-16 units, cut by one rule. The own name ends at the first unit from
// 0x01 to 0x20 outside double quotes; a unit for which `isLeadByte` holds
// begins a double-byte character and takes the next unit with it untested,
// unless that unit is the terminator. Units are compared unsigned. Never
// returns null, never reads past the terminator and never writes.
template <typename Char, typename IsLeadByte>
Char* CutCommandLineTail(Char* commandLine, IsLeadByte isLeadByte)
{
    using Unit = typename CommandLineUnit<Char>::Type;
    static const Char kEmpty[1] = {};
    if (commandLine == nullptr) {
        // Never written: only a tail that starts with a quote is.
        return const_cast<Char*>(kEmpty);
    }

    // Pass over the program's own name. Blanks inside double quotes belong
    // to it; the second byte of a double-byte character is never a blank or
    // a quote, however it looks.
    Char* p = commandLine;
    bool inQuotes = false;
    for (;;) {
        Unit unit = static_cast<Unit>(*p);
        if (unit == 0) {
            return p;
        }
        if (unit <= ' ' && !inQuotes) {
            break;
        }
        if (unit == '"') {
            inQuotes = !inQuotes;
        }
        ++p;
        if (isLeadByte(unit)) {
            if (*p == 0) {
                return p;
            }
            ++p;
        }
    }

    // Then over the blanks and control units that separate it from the tail.
    while (*p != 0 && static_cast<Unit>(*p) <= ' ') {
        ++p;
    }
    return p;
}

// The options that may come before the path.
enum LaunchOption : unsigned {
    kOptionLimited = 1,   // /limited: an unelevated session's groups, privileges and level
    kOptionWait = 2,      // /wait: wait for the program and end with its exit code
    kOptionErrorBox = 4,  // /errorbox: a failure is shown in a message box too
    kOptionSingle = 8,    // /single: not where a copy with more rights runs
    kOptionHelp = 16,     // /?: the help box, and nothing started
};

// Takes the options at the start of `tail` and returns where the path
// begins, setting `*options`.
//   - An option word is "/" and ASCII letters, or "/?", at the end of the
//     tail or followed by a blank (a byte from 0x01 to 0x20), ':' or '='.
//     "/limited", "/wait", "/errorbox" and "/single", in any case, each at most once,
//     in any order, and "/?" (kOptionHelp) are options. What follows the
//     last option word is the path: quoted, or not (then taken whole,
//     blanks and all).
//   - An option word that is no option, one given twice, or one with a
//     value (":" or "=" and what follows up to the next blank) is a bad
//     option; so is one of the options written with "-" for the slash
//     ("-limited", "-?"), and so are options with nothing after them (as
//     the tail's last words, or with only blanks behind them). Then null
//     is returned and `*unreadable` points at the first bad word (or, for
//     options with nothing after them, at the last of them); the option
//     words after a bad one are still read, so that `*options` has every
//     option given, "/?" included.
//   - Anything else, such as "/tools/app.exe", "/?x" or "-x", is no option
//     word: the path begins there.
// Reads nothing past the tail's terminator and never writes to it.
char* TakeOptions(char* tail, unsigned* options, char** unreadable);

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

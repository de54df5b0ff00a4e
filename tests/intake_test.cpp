// The tail cut and the quote rule, over byte strings that catch the faults a
// command-line parser is prone to: signed byte comparisons, reading past the
// terminator, trusting a trail byte, cutting a byte that is not a quote.
#include "launcher/intake.h"
#include "tests/fake_platform.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>

namespace {

struct TailCase {
    const char* name;
    std::string commandLine;   // may hold a NUL and bytes after it
    std::string leadBytes;
    const char* expectedTail;
};

// Lead bytes of the Japanese code page 932, the ones the cases use.
const std::string kCp932Lead = "\x81\x82\x83\x88\x89\x8a\x93\xe0\xe9\xfc";

const TailCase kTailCases[] = {
    {"plain", "tolvane.exe C:\\app.exe", "", "C:\\app.exe"},
    {"own name quoted with blanks", "\"C:\\Program Files\\tolvane.exe\" C:\\app.exe", "",
     "C:\\app.exe"},
    {"quotes inside the own name", "C:\\\"Program Files\"\\tolvane.exe x", "", "x"},
    {"tab and blanks are all passed over", "tolvane.exe\t  \t C:\\app.exe", "", "C:\\app.exe"},
    {"control bytes count as blanks", "tolvane.exe\x01\x1f\x20x", "", "x"},
    {"tab ends an unquoted own name", "tolvane.exe\tx", "", "x"},
    {"blanks inside the tail are kept", "tolvane.exe a b\t", "", "a b\t"},
    {"bytes above 0x7f belong to the own name", "tol\xe9\xa0vane.exe x", "", "x"},
    {"0xff in the own name", "\xff\xfe.exe x", "", "x"},
    {"unclosed quote in the own name", "\"C:\\tolvane.exe x y", "", ""},
    {"own name alone", "tolvane.exe", "", ""},
    {"own name and blanks only", "tolvane.exe \t ", "", ""},
    {"empty command line", "", "", ""},
    {"lead byte takes a blank as its trail byte", "tol\x81 vane.exe x", kCp932Lead, "x"},
    {"lead byte takes a quote as its trail byte", "tol\x81\"vane.exe x", kCp932Lead, "x"},
    {"quote after a trail byte still toggles", "\"a\x81\x81 b\" x", kCp932Lead, "x"},
    {"lead byte before the terminator", std::string("tolvane\x81\0 x", 11), kCp932Lead, ""},
    {"0x81 outside a double-byte code page is a plain byte", "tol\x81 x", "", "x"},
};

TEST(CutCommandLineTail, FollowsTheRuntimeRule)
{
    for (const TailCase& c : kTailCases) {
        ResetFake();
        g_fake.leadBytes = c.leadBytes;
        PlatformCalls platform = FakePlatformCalls();
        std::string buffer = c.commandLine + std::string(1, '\0');
        char* start = &buffer[0];
        size_t firstStringLength = strlen(start);
        g_fake.commandLine = start;

        char* tail = ReadCommandLineTail(platform);

        ASSERT_NE(tail, nullptr) << c.name;
        EXPECT_STREQ(tail, c.expectedTail) << c.name;
        // The tail is a view of the first string's end, never beyond its NUL.
        EXPECT_EQ(tail + strlen(tail), start + firstStringLength) << c.name;
        EXPECT_EQ(buffer, c.commandLine + std::string(1, '\0')) << c.name << ": buffer written";
        if (tail[0] != 0) {
            EXPECT_GT(static_cast<unsigned char>(tail[0]), 0x20) << c.name;
        }
    }
}

TEST(CutCommandLineTail, NoCommandLineIsAnEmptyTail)
{
    ResetFake();
    PlatformCalls platform = FakePlatformCalls();
    char* tail = ReadCommandLineTail(platform);
    ASSERT_NE(tail, nullptr);
    EXPECT_STREQ(tail, "");
}

struct OptionCase {
    const char* name;
    const char* tail;
    unsigned expectedOptions;
    int expectedRest;        // where the path begins; -1: refused, a bad option
    size_t unreadableAt;     // refused: where the word it could not read begins
};

const unsigned kLimited = kOptionLimited;
const unsigned kWait = kOptionWait;
const unsigned kBox = kOptionErrorBox;
const unsigned kBoth = kOptionLimited | kOptionWait;

const OptionCase kOptionCases[] = {
    {"no option", "\"C:\\app.exe\" -x", 0, 0, 0},
    {"/limited", "/limited \"C:\\app.exe\"", kLimited, 9, 0},
    {"/wait", "/wait \"C:\\app.exe\" -x", kWait, 6, 0},
    {"/errorbox", "/errorbox \"a\"", kBox, 10, 0},
    {"capitals", "/LIMITED \"a\"", kLimited, 9, 0},
    {"mixed case", "/ErrorBox \"a\"", kBox, 10, 0},
    {"a tab and several blanks", "/limited\t  \"a\"", kLimited, 11, 0},
    {"a control byte as the blank", "/wait\x01\"a\"", kWait, 6, 0},
    {"both, /limited first", "/limited /wait \"a\"", kBoth, 15, 0},
    {"all three, blanks between", "/wait \t /errorbox /limited   \"a\"", kBoth | kBox, 29, 0},
    {"/single, in any case", "/Single /limited \"a\"", kOptionSingle | kLimited, 17, 0},
    {"/single twice", "/single /SINGLE \"a\"", kOptionSingle, -1, 8},
    {"a lone quote after the option", "/wait \"", kWait, 6, 0},
    {"an unquoted path after the options", "/limited C:\\app.exe", kLimited, 9, 0},
    {"an unquoted path with blanks", "/wait /limited C:\\a b\\c.exe -x", kBoth, 15, 0},
    {"a path that begins with a slash", "/limited /tools/app.exe", kLimited, 9, 0},
    {"a word that is no option as the last", "/wait /frob", kWait, -1, 6},
    {"a path with a slash, no option", "/tools/app.exe", 0, 0, 0},
    {"a word that is no option, alone", "/frob", 0, -1, 0},
    {"a value after a colon", "/limited:yes \"a\"", kLimited, -1, 0},
    {"a value after an equals sign, after an option", "/wait /errorbox=1 C:\\a.exe", kWait | kBox, -1, 6},
    {"a colon and nothing", "/wait: \"a\"", kWait, -1, 0},
    {"a digit after the letters: a path", "/wait2 \"a\"", 0, 0, 0},
    {"the quote glued to the option", "/limited\"a\"", 0, 0, 0},
    {"a backslash glued to the option", "/limited\\a.exe", 0, 0, 0},
    {"a letter outside ASCII", "/l\xc4\xb1mited \"a\"", 0, 0, 0},
    {"a control byte in place of the slash", "\x0flimited \"a\"", 0, 0, 0},
    {"a backslash for the slash", "\\wait \"a\"", 0, 0, 0},
    {"a slash alone", "/ \"a\"", 0, 0, 0},
    {"empty tail", "", 0, 0, 0},
    {"/? alone", "/?", kOptionHelp, -1, 0},
    {"/? and blanks", "/? \t", kOptionHelp, -1, 0},
    {"/? and more", "/? x", kOptionHelp, 3, 0},
    {"/? after an option", "/wait /?", kWait | kOptionHelp, -1, 6},
    {"/? among the options", "/limited /? /wait \"a\"", kBoth | kOptionHelp, 18, 0},
    {"/? glued to a letter: a path", "/?x", 0, 0, 0},
    {"a letter glued to the option", "/limitedx \"a\"", 0, -1, 0},
    {"a prefix of an option", "/lim \"a\"", 0, -1, 0},
    {"an unknown option", "/x \"a\"", 0, -1, 0},
    {"an unknown option after a known one", "/limited /limted \"a\"", kLimited, -1, 9},
    {"an option given twice", "/limited /limited \"a\"", kLimited, -1, 9},
    {"/wait twice around /limited", "/wait /limited /wait \"a\"", kBoth, -1, 15},
    {"options after a bad one are still read", "/x /errorbox /wait \"a\"", kBox | kWait, -1, 0},
    {"the option alone", "/limited", kLimited, -1, 0},
    {"an option as the last word after another", "/errorbox /wait", kBox | kWait, -1, 10},
    {"an option written with a dash", "-limited \"a\"", 0, -1, 0},
    {"help written with a dash", "-? \"a\"", 0, -1, 0},
    {"a dash and a word that is no option: the path", "-x \"a\"", 0, 0, 0},
    {"a dashed option after a slashed one", "/limited -Wait \"a\"", kLimited, -1, 9},
    {"the option and blanks alone", "/wait  ", kWait, -1, 0},
};

TEST(TakeOptions, TakesOptionsBeforeThePath)
{
    for (const OptionCase& c : kOptionCases) {
        std::string buffer = std::string(c.tail) + std::string(1, '\0') + "GG";
        const std::string before = buffer;
        unsigned options = ~0u;
        char* unreadable = &buffer[0] + 1;
        char* rest = TakeOptions(&buffer[0], &options, &unreadable);
        EXPECT_EQ(options, c.expectedOptions) << c.name;
        if (c.expectedRest < 0) {
            EXPECT_EQ(rest, nullptr) << c.name;
            EXPECT_EQ(unreadable, &buffer[0] + c.unreadableAt) << c.name;
        } else {
            EXPECT_EQ(rest, &buffer[0] + c.expectedRest) << c.name;
            EXPECT_EQ(unreadable, nullptr) << c.name;
        }
        EXPECT_EQ(buffer, before) << c.name << ": written";
    }
}

struct TargetCase {
    const char* name;
    const char* tail;
    const char* expectedTarget;
    const char* expectedCommandLine;   // null: no arguments handed on
    std::string expectedTailBytes;     // the tail's bytes afterwards, with its NUL
};

std::string Bytes(const char* text, size_t size)
{
    return std::string(text, size);
}

const TargetCase kTargetCases[] = {
    {"quoted path", "\"C:\\app.exe\"", "C:\\app.exe", nullptr, Bytes("\"C:\\app.exe\0\0", 13)},
    {"quoted path with blanks", "\"C:\\Program Files\\a b.exe\"", "C:\\Program Files\\a b.exe",
     nullptr, Bytes("\"C:\\Program Files\\a b.exe\0\0", 27)},
    {"unquoted path with blanks, trailing ones too", "C:\\Program Files\\app.exe  ",
     "C:\\Program Files\\app.exe  ", nullptr, Bytes("C:\\Program Files\\app.exe  \0", 27)},
    {"unclosed quote keeps its last byte", "\"C:\\Tools\\app.exe", "C:\\Tools\\app.exe", nullptr,
     Bytes("\"C:\\Tools\\app.exe\0", 18)},
    {"blanks only after the closing quote", "\"C:\\app.exe\" \t ", "C:\\app.exe", nullptr,
     Bytes("\"C:\\app.exe\0 \t \0", 16)},
    {"arguments", "\"C:\\app.exe\" -x", "C:\\app.exe", "\"C:\\app.exe\" -x",
     Bytes("\"C:\\app.exe\" -x\0", 16)},
    {"a tab before the arguments", "\"C:\\app.exe\"\t-x", "C:\\app.exe", "\"C:\\app.exe\"\t-x",
     Bytes("\"C:\\app.exe\"\t-x\0", 16)},
    {"several blanks, kept", "\"C:\\a b\\app.exe\"   -P work", "C:\\a b\\app.exe",
     "\"C:\\a b\\app.exe\"   -P work", Bytes("\"C:\\a b\\app.exe\"   -P work\0", 27)},
    {"a quoted argument with blanks", "\"C:\\app.exe\" \"a b\"", "C:\\app.exe",
     "\"C:\\app.exe\" \"a b\"", Bytes("\"C:\\app.exe\" \"a b\"\0", 19)},
    {"an empty argument", "\"C:\\app.exe\" \"\"", "C:\\app.exe", "\"C:\\app.exe\" \"\"",
     Bytes("\"C:\\app.exe\" \"\"\0", 16)},
    {"arguments above 0x7f", "\"C:\\app.exe\" \xe9\xa0\xff", "C:\\app.exe",
     "\"C:\\app.exe\" \xe9\xa0\xff", Bytes("\"C:\\app.exe\" \xe9\xa0\xff\0", 17)},
    {"blanks after the arguments, kept", "\"C:\\app.exe\" -x  ", "C:\\app.exe",
     "\"C:\\app.exe\" -x  ", Bytes("\"C:\\app.exe\" -x  \0", 18)},
    {"a byte glued to the closing quote", "\"C:\\app.exe\"x", "C:\\app.exe\"x", nullptr,
     Bytes("\"C:\\app.exe\"x\0", 14)},
    {"glued, ending in a quote", "\"C:\\app.exe\"x\"", "C:\\app.exe\"x", nullptr,
     Bytes("\"C:\\app.exe\"x\0\0", 15)},
    {"lone quote", "\"", "", nullptr, Bytes("\"\0", 2)},
    {"two quotes", "\"\"", "", nullptr, Bytes("\"\0\0", 3)},
    {"two quotes and arguments", "\"\" -x", "", "\"\" -x", Bytes("\"\" -x\0", 6)},
    {"quote only in the middle", "C:\\a\"b\" c", "C:\\a\"b\" c", nullptr,
     Bytes("C:\\a\"b\" c\0", 10)},
    {"empty tail", "", "", nullptr, Bytes("\0", 1)},
};

TEST(ExtractTargetName, TakesTheNameAndArgumentsOutOfTheTail)
{
    for (const TargetCase& c : kTargetCases) {
        // Guard bytes on both sides show any write outside the tail.
        std::string buffer = "GG" + std::string(c.tail) + std::string(1, '\0') + "GG";
        char* tail = &buffer[2];
        size_t tailSize = strlen(c.tail) + 1;
        // Not zero to begin with, so a copy that forgets its terminator shows.
        char pathBuffer[64];
        memset(pathBuffer, 'X', sizeof pathBuffer);
        char* commandLine = nullptr;

        char* target = ExtractTargetName(tail, pathBuffer, sizeof pathBuffer, &commandLine);

        ASSERT_NE(target, nullptr) << c.name;
        EXPECT_STREQ(target, c.expectedTarget) << c.name;
        bool copied = target == pathBuffer;
        EXPECT_TRUE(copied || (target >= tail && target < tail + tailSize)) << c.name << ": not a view";
        EXPECT_EQ(copied, c.expectedCommandLine != nullptr) << c.name << ": copied only for arguments";
        if (c.expectedCommandLine == nullptr) {
            EXPECT_EQ(commandLine, nullptr) << c.name;
        } else {
            EXPECT_EQ(commandLine, tail) << c.name << ": the command line is the tail itself";
            EXPECT_STREQ(commandLine, c.expectedCommandLine) << c.name;
        }
        EXPECT_EQ(buffer.substr(0, 2), "GG") << c.name << ": wrote before the tail";
        EXPECT_EQ(buffer.substr(2 + tailSize), "GG") << c.name << ": wrote after the tail";
        EXPECT_EQ(buffer.substr(2, tailSize), c.expectedTailBytes) << c.name;
    }
}

TEST(ExtractTargetName, APathThatDoesNotFitIsRefused)
{
    // Nine bytes and the terminator fit ten; ten do not.
    for (const char* tail : {"\"123456789\" -x", "\"1234567890\" -x"}) {
        std::string buffer = std::string(tail) + std::string(1, '\0');
        char pathBuffer[10];
        memset(pathBuffer, 'X', sizeof pathBuffer);
        char* commandLine = nullptr;
        char* target = ExtractTargetName(&buffer[0], pathBuffer, sizeof pathBuffer, &commandLine);
        bool fits = strlen(tail) == 14;
        EXPECT_EQ(target, fits ? pathBuffer : nullptr) << tail;
        if (fits) {
            EXPECT_STREQ(pathBuffer, "123456789") << tail;
        }
    }
}

}  // namespace

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

struct TargetCase {
    const char* name;
    const char* tail;
    const char* expectedTarget;
    std::string expectedTailBytes;   // the tail's bytes afterwards, with its NUL
};

const TargetCase kTargetCases[] = {
    {"quoted path", "\"C:\\app.exe\"", "C:\\app.exe", std::string("\"C:\\app.exe\0\0", 13)},
    {"quoted path with blanks", "\"C:\\Program Files\\a b.exe\"", "C:\\Program Files\\a b.exe",
     std::string("\"C:\\Program Files\\a b.exe\0\0", 27)},
    {"unquoted path with blanks, trailing ones too", "C:\\Program Files\\app.exe  ",
     "C:\\Program Files\\app.exe  ", std::string("C:\\Program Files\\app.exe  \0", 27)},
    {"unclosed quote keeps its last byte", "\"C:\\Tools\\app.exe", "C:\\Tools\\app.exe",
     std::string("\"C:\\Tools\\app.exe\0", 18)},
    {"arguments after the closing quote", "\"C:\\app.exe\" -x", "C:\\app.exe\" -x",
     std::string("\"C:\\app.exe\" -x\0", 16)},
    {"arguments ending in a quote", "\"C:\\app.exe\" \"a\"", "C:\\app.exe\" \"a",
     std::string("\"C:\\app.exe\" \"a\0\0", 17)},
    {"lone quote", "\"", "", std::string("\0\0", 2)},
    {"two quotes", "\"\"", "", std::string("\"\0\0", 3)},
    {"quote only in the middle", "C:\\a\"b\"", "C:\\a\"b\"", std::string("C:\\a\"b\"\0", 8)},
    {"empty tail", "", "", std::string("\0", 1)},
};

TEST(ExtractTargetName, TakesTheNameOutOfTheTailInPlace)
{
    for (const TargetCase& c : kTargetCases) {
        // Guard bytes on both sides show any write outside the tail.
        std::string buffer = "GG" + std::string(c.tail) + std::string(1, '\0') + "GG";
        char* tail = &buffer[2];
        size_t tailSize = strlen(c.tail) + 1;

        char* target = ExtractTargetName(tail);

        EXPECT_STREQ(target, c.expectedTarget) << c.name;
        EXPECT_TRUE(target >= tail && target < tail + tailSize) << c.name << ": not a view";
        EXPECT_EQ(buffer.substr(0, 2), "GG") << c.name << ": wrote before the tail";
        EXPECT_EQ(buffer.substr(2 + tailSize), "GG") << c.name << ": wrote after the tail";
        EXPECT_EQ(buffer.substr(2, tailSize), c.expectedTailBytes) << c.name;
    }
}

}  // namespace

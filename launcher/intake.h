// Command-line intake: from the process command line to the name of the
// program to start, and the usage box when there is nothing to start.
#pragma once

#include "launcher/command_line.h"
#include "platform/platform_calls.h"

// The texts and caption of the boxes the program shows unasked for an error:
// the usage box, for a command line with nothing after Tolvane's own name,
// and the help box, for "/?".
extern const char kUsageText[];
extern const char kUsageCaption[];
extern const char kHelpText[];

// The most bytes of a quoted path followed by arguments, with its
// terminator: such a path is copied out of the command line, onto the stack.
// Well beyond the longest path Windows starts a program from (MAX_PATH, 260
// UTF-16 units, each at most three bytes in UTF-8 or two in a double-byte
// code page); a longer one ends the run with ERROR_FILENAME_EXCED_RANGE.
const size_t kPathBufferSize = 1024;

// The process command line's tail, cut by the lead bytes of the system's
// ANSI code page.
char* ReadCommandLineTail(const PlatformCalls& platform);

// Shows `text` (kUsageText or kHelpText) in a box captioned "Tolvane",
// with no icon and one OK button, owned by the thread's active window, and
// returns once the user has dismissed it.
void ShowUsage(const PlatformCalls& platform, const char* text);

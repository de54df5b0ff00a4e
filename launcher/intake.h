// Command-line intake: from the process command line to the name of the
// program to start.
#pragma once

#include "platform/platform_calls.h"

// The text and caption of the one message box the program ever shows.
extern const char kUsageText[];
extern const char kUsageCaption[];

// Returns what follows the program's own name and the blanks behind it on
// `commandLine` (null counts as empty). The own name ends at the first byte
// from 0x01 to 0x20 outside double quotes; a lead byte of a double-byte
// character takes the next byte with it untested. Never returns null.
char* CutCommandLineTail(char* commandLine, const PlatformCalls& platform);

// Shows the usage box, owned by the thread's active window, and returns once
// the user has dismissed it.
void ShowUsage(const PlatformCalls& platform);

// Returns the target name carved out of `tail` in place. A tail that starts
// with a double quote loses that quote, and its closing double quote when its
// last byte is one; any other tail is the target name as it stands.
char* ExtractTargetName(char* tail);

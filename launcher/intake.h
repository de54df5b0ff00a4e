// Command-line intake: from the process command line to the name of the
// program to start, and the usage box when there is nothing to start.
#pragma once

#include "launcher/command_line.h"
#include "platform/platform_calls.h"

// The text and caption of the one message box the program ever shows.
extern const char kUsageText[];
extern const char kUsageCaption[];

// The process command line's tail, cut by the lead bytes of the system's
// ANSI code page.
char* ReadCommandLineTail(const PlatformCalls& platform);

// Shows the usage box, owned by the thread's active window, and returns once
// the user has dismissed it.
void ShowUsage(const PlatformCalls& platform);

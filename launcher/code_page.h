// The command line in the ANSI code page: whether it carries the real one.
//
// The manifest makes UTF-8 the program's ANSI code page, so on Windows 10
// 1903 and later the ANSI command line is the real one, character for
// character. Older Windows (Server 2016 and 2019, Windows 10 LTSC 2019)
// ignore that and convert the command line to the system's code page with
// "best fit": a character the code page lacks becomes '?' or a look-alike,
// and U+FF02 and U+FF3C become '"' and '\', which would move where the path
// ends and the arguments begin.
#pragma once

#include "platform/platform_calls.h"

// UTF-8 as an ANSI code page.
const UINT kUtf8CodePage = 65001;

// Returns 0 when `ansiTail`, the tail of the ANSI command line, is the real
// one: the ANSI code page is UTF-8, or the tail of the real (UTF-16)
// command line, cut by the same rule, converts to it exactly, without best
// fit and without the default character, and to as many bytes as
// `ansiTail` has. Only the tail counts: the launcher's own path may hold
// anything, as long as its conversion ends where the real one does.
// Otherwise ERROR_NO_UNICODE_TRANSLATION, or the error code of a
// conversion that failed outright.
DWORD CheckAnsiCommandLine(const PlatformCalls& platform, const char* ansiTail);

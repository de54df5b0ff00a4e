// The error box: with /errorbox, a launch that failed says so on the screen,
// for a person who started Tolvane from a shortcut or Explorer's menu.
#pragma once

#include "platform/platform_calls.h"

#include <stddef.h>

// The most bytes of Windows' message for an error code the box shows; a
// longer message is left out, the code still shown.
const DWORD kErrorMessageSize = 384;
// The most bytes of the name the box shows.
const int kShownNameLength = 600;
// The most bytes of Windows' message with the name in place of its "%1",
// with the terminator: what the box has room for after the name.
const size_t kFilledMessageSize = 400;

// What the box adds for a copy of the program that runs with administrator
// rights (/single), with the copy's process id for its "%lu".
extern const char kElevatedCopyNote[];

// Shows a message box captioned "Tolvane", with the error icon and one OK
// button, owned by the thread's active window, whose text is `name` (what
// Tolvane tried to start, or the part of the command line it could not
// read), then `code` and Windows' own message for it, in the user's
// language, with `name` in place of the "%1" it may have; and, where
// `elevatedCopy` is a process id, that this process runs the program with
// administrator rights and what to do about it. Returns once the user has
// dismissed it.
void ShowErrorBox(const PlatformCalls& platform, const char* name, DWORD code, DWORD elevatedCopy);

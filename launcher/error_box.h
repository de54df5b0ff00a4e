// The error box: with /errorbox, a launch that failed says so on the screen,
// for a person who started Tolvane from a shortcut or Explorer's menu.
#pragma once

#include "platform/platform_calls.h"

// The most bytes of Windows' message for an error code the box shows; a
// longer message is left out, the code still shown.
const DWORD kErrorMessageSize = 384;
// The most bytes of the name the box shows.
const int kShownNameLength = 600;

// Shows a message box captioned "Tolvane", with the error icon and one OK
// button, owned by the thread's active window, whose text is `name` (what
// Tolvane tried to start, or the part of the command line it could not
// read), then `code` and Windows' own message for it, in the user's
// language; returns once the user has dismissed it.
void ShowErrorBox(const PlatformCalls& platform, const char* name, DWORD code);

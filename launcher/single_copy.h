// /single: the program is not started where a copy of it already runs with
// more rights than the token Tolvane made.
//
// Browsers and mail programs run one copy per profile: started again, the
// new process hands its link to the running copy and ends, so the window
// opens with that copy's rights. A copy started at sign-in, by another
// program or from a pin with the caller's full token would take every later
// launch through Tolvane over without anyone seeing it.
#pragma once

#include "platform/platform_calls.h"

// What decides whether a token outranks another, as read from it: its
// groups (read whole, from the process heap), the logon SID among them (the
// user's sign-in, in its own session), whether Administrators is enabled in
// it, its integrity level (its label among the groups; 0 where it has
// none), and whether Windows counts it as elevated.
struct TokenStanding {
    unsigned char* groups;
    const SID* logon;
    DWORD level;
    TOKEN_ELEVATION elevation;
    bool administrators;
};

// Reads `token`'s standing; `administratorsSid` is S-1-5-32-544. Returns 0,
// and then the caller releases `standing->groups` with LocalFree; or the
// error code of the query that failed, holding nothing.
DWORD ReadTokenStanding(const PlatformCalls& platform, HANDLE token, PSID administratorsSid,
                        TokenStanding* standing);

// Whether `other`, the token of a running process, is of the same sign-in
// as `own` (the same logon SID: the same user, in the same session) and has
// more than it: Administrators enabled where `own` has it not, elevated
// where `own` is not, or a higher integrity level. All as read from the
// tokens, so a system that reads every token alike on one of these never
// refuses on it.
bool Outranks(const TokenStanding& other, const TokenStanding& own);

// Looks through the running processes for a copy of the file `targetName`
// (the same file, by volume and file index, whatever the path it was
// started from) whose token outranks `restrictedToken`. Processes or tokens
// the launcher may not open for a query, and programs whose file it cannot
// open, are passed over. Returns 0 when there is none, or when
// `targetName` itself cannot be opened (its launch then fails with
// Windows' own error); ERROR_SINGLE_INSTANCE_APP with the copy's id in
// `*processId` when there is one; or the error code of the step that
// failed. Every handle it opens is closed again, and the memory it takes
// given back.
DWORD FindElevatedCopy(const PlatformCalls& platform, HANDLE restrictedToken, PSID administratorsSid,
                       const char* targetName, DWORD* processId);

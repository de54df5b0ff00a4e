// What a token and a kernel object say about themselves, one fact a line:
// the one reader that tolvane-check, the demo's token report and the
// program the tests start all use.
//
// Lines, in this order:
//   user <SID> <DOMAIN\name>
//   group <SID> <DOMAIN\name> <attributes in words>   (one a group)
//   privilege <name> <attributes in words>             (one a privilege)
//   owner <SID> <DOMAIN\name>          (the owner of what it makes)
//   default-dacl none|<entries>       (what it makes gets this access list)
//   dacl-entry <allowed|denied|type> <mask> <SID> <DOMAIN\name>   (one a line)
//   restricting <SID> <DOMAIN\name>   (one a restricting SID)
//   restricted yes|no
//   type primary|impersonation
//   elevation yes|no|unknown           (TokenElevation)
//   elevation-type default|full|limited|unknown   (TokenElevationType)
//   virtualization allowed|not-allowed|unknown    (TokenVirtualizationAllowed)
//   integrity <SID> <name>|unknown     (its integrity level)
// Group attributes in words: mandatory, enabled-by-default, enabled, owner,
// deny-only, integrity, integrity-enabled, resource, logon-id (and any other
// bits in hex); "none" for none. Privilege attributes: enabled-by-default,
// enabled, removed, used-for-access, or "disabled".
#pragma once

#include <windows.h>
#include <stdio.h>

// Writes the lines above for `token`, opened for TOKEN_QUERY.
void WriteTokenFacts(FILE* out, HANDLE token);

// Writes "<key> <SID> <mask>" for the mandatory label of `object` (opened
// for READ_CONTROL, or a pseudo-handle), "<key> none" where it has none, or
// "<key> error <code>".
void WriteLabel(FILE* out, const char* key, HANDLE object);

// The SID as text ("S-1-5-32-544") and, after a blank, its account's name
// where Windows knows it, into `text` (room for `size` bytes).
void SidText(PSID sid, char* text, size_t size);

// The launcher's own default DACL, with the user added before the restricted
// copy of its token is made.
//
// The restricted copy inherits the launcher's default DACL, which then
// covers everything the started program makes without a security
// descriptor of its own (its processes, threads, pipes, events), and the
// copy itself. A full administrator's default DACL grants Administrators
// and SYSTEM alone; with Administrators deny-only the program would be
// refused its own token and what it made itself, so the user joins the
// list. The same list is the DACL the launcher gives the program's own
// process and first thread. The change lasts as long as the launcher's
// process.
#pragma once

#include "platform/platform_calls.h"

#include <stddef.h>

// The most bytes of default DACL the launcher reads. Windows' own are far
// smaller; a larger one fails the step with ERROR_INSUFFICIENT_BUFFER.
const DWORD kDefaultDaclBufferSize = 1024;

// An access-allowed entry: its header, its mask, then the SID.
const size_t kAllowedEntryHeaderSize = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);

// Room for the default DACL with the user's entry added.
const size_t kMendedDaclSize = kDefaultDaclBufferSize + kAllowedEntryHeaderSize + SECURITY_MAX_SID_SIZE;

// Writes into `mended` (room for `mendedSize` bytes) the access list `acl`,
// of which `aclRoom` bytes may be read, with one entry added at its end:
// allowed, GENERIC_ALL, for `sid`. The existing entries are copied as they
// are, in their order; the revision is kept; the size and entry count are
// those of the new list. Returns 0, or ERROR_INVALID_ACL when `acl` or its
// entries do not lie within its size and its room, or
// ERROR_INSUFFICIENT_BUFFER when the new list does not fit.
DWORD AppendAllowedEntry(const ACL* acl, size_t aclRoom, const SID* sid, ACL* mended,
                         size_t mendedSize);

// Gives `token` its own default DACL plus an entry that allows its user
// GENERIC_ALL, and leaves that list in `mended` (DWORD-aligned, room for
// kMendedDaclSize bytes). A token with no default DACL is left as it is,
// and `mended` then gets a list header of size 0. Needs the token opened
// for query and adjust-default. Returns 0, or the error code of the step
// that failed.
DWORD AddUserToDefaultDacl(const PlatformCalls& platform, HANDLE token, ACL* mended);

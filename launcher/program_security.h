// The security the started program's own process and first thread are made
// with, given explicitly rather than left to Windows.
//
// Which token Windows takes these objects' security from when none is given
// (the creator's or the new one's), and whether an object made without a
// label gets its token's level or none (which counts as Medium), is read
// more than one way; given explicitly, it is the same every way: the
// launcher's default DACL as mended (the user added), and a mandatory label
// of the program's own token's level that keeps lower levels from reading,
// writing or executing them. Windows labels a program's own no write up and
// no read up; published tables of the process object's generic mapping put
// PROCESS_TERMINATE under generic execute, as the thread's put
// THREAD_SUSPEND_RESUME, so only no execute up keeps a lower level from
// ending or stopping the program (which way Windows maps them, a
// Windows-only test reads back). Without the label a program at High, in
// the default form, could be opened for writing by every Medium program of
// the same user; and a program lowered to Medium could be refused its own
// process and thread by id (a crash handler reading its memory), had they
// the launcher's High label. The label is never above the launcher's own
// level, so setting it needs no privilege.
#pragma once

#include "launcher/default_dacl.h"
#include "launcher/record_buffer.h"
#include "platform/platform_calls.h"

// A self-relative security descriptor in one aligned buffer, its parts at
// fixed places: the header, room for the label's list, then the DACL.
const size_t kLabelListOffset = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
const size_t kLabelListSize = sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + sizeof(SID);
const size_t kProgramDaclOffset = kLabelListOffset + kLabelListSize;
using ProgramSecurity = RecordBuffer<SECURITY_DESCRIPTOR_RELATIVE, kProgramDaclOffset + kMendedDaclSize>;
static_assert(kProgramDaclOffset % alignof(DWORD) == 0, "an ACL is read as DWORDs");

// The room for the DACL in `security`, kMendedDaclSize bytes.
inline ACL* ProgramDacl(ProgramSecurity& security)
{
    // Only an address: the room is filled through it.
    // cppcheck-suppress ctuuninitvar
    return reinterpret_cast<ACL*>(security.bytes + kProgramDaclOffset);
}

// Fills in the descriptor around the DACL already in its place: no owner or
// group (Windows gives those as to any new object); the DACL when it has a
// size (none otherwise, as the token has none); and a label of the
// integrity level `level` (S-1-16-<level>) with no-write-up and no-read-up.
void FinishProgramSecurity(ProgramSecurity* security, DWORD level);

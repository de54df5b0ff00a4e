// The security the started program's own process and first thread are made
// with, given explicitly rather than left to Windows.
//
// Which token Windows takes these objects' security from when none is given
// (the creator's or the new one's) is read two ways; given explicitly, it is
// the same either way: the launcher's default DACL as mended (the user
// added), and, where the program's token was lowered to Medium, a Medium
// mandatory label that keeps lower levels from reading or writing them, as
// Windows labels a Medium program's own. Without the label a program lowered
// to Medium could be refused its own process and thread by id (a crash
// handler reading its memory), had they the launcher's High label.
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
// size (none otherwise, as the token has none); and, when `mediumLabel`, a
// label of Medium with no-write-up and no-read-up.
void FinishProgramSecurity(ProgramSecurity* security, bool mediumLabel);

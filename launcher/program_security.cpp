#include "launcher/program_security.h"

#include "launcher/limited_token.h"

void FinishProgramSecurity(ProgramSecurity* security, DWORD level)
{
    SECURITY_DESCRIPTOR_RELATIVE* descriptor = RecordIn(*security);
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    descriptor->Sbz1 = 0;
    descriptor->Control = SE_SELF_RELATIVE | SE_SACL_PRESENT;
    descriptor->Owner = 0;
    descriptor->Group = 0;
    descriptor->Sacl = kLabelListOffset;
    descriptor->Dacl = 0;
    if (ProgramDacl(*security)->AclSize != 0) {
        descriptor->Control |= SE_DACL_PRESENT;
        descriptor->Dacl = kProgramDaclOffset;
    }
    // A list of one entry: the label, through which a lower level may
    // neither write, nor read, nor execute: no terminating, suspending or
    // waiting on them from below.
    ACL* list = reinterpret_cast<ACL*>(security->bytes + kLabelListOffset);
    list->AclRevision = ACL_REVISION;
    list->Sbz1 = 0;
    list->AclSize = kLabelListSize;
    list->AceCount = 1;
    list->Sbz2 = 0;
    SYSTEM_MANDATORY_LABEL_ACE* label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(list + 1);
    label->Header.AceType = SYSTEM_MANDATORY_LABEL_ACE_TYPE;
    label->Header.AceFlags = 0;
    label->Header.AceSize = kLabelListSize - sizeof(ACL);
    label->Mask = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP |
                  SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP;
    SID* sid = reinterpret_cast<SID*>(&label->SidStart);
    *sid = kMediumIntegritySid;
    sid->SubAuthority[0] = level;
}

#include "launcher/default_dacl.h"

#include "launcher/failure.h"
#include "launcher/record_buffer.h"

DWORD AppendAllowedEntry(const ACL* acl, size_t aclRoom, const SID* sid, ACL* mended,
                         size_t mendedSize)
{
    if (aclRoom < sizeof(ACL) || acl->AclSize > aclRoom) {
        return ERROR_INVALID_ACL;
    }
    // Where the existing entries end, each one checked against the list's
    // own size before it is passed over.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(acl);
    size_t used = sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        if (used + sizeof(ACE_HEADER) > acl->AclSize) {
            return ERROR_INVALID_ACL;
        }
        const ACE_HEADER* entry = reinterpret_cast<const ACE_HEADER*>(bytes + used);
        if (entry->AceSize < sizeof(ACE_HEADER) || used + entry->AceSize > acl->AclSize) {
            return ERROR_INVALID_ACL;
        }
        used += entry->AceSize;
    }

    size_t sidSize = sizeof(SID) - sizeof(DWORD) + sid->SubAuthorityCount * sizeof(DWORD);
    size_t entrySize = kAllowedEntryHeaderSize + sidSize;
    if (sid->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES || used + entrySize > mendedSize ||
        used + entrySize > 0xFFFF) {
        return ERROR_INSUFFICIENT_BUFFER;
    }

    unsigned char* out = reinterpret_cast<unsigned char*>(mended);
    for (size_t i = 0; i < used; ++i) {
        out[i] = bytes[i];
    }
    mended->AclSize = static_cast<WORD>(used + entrySize);
    mended->AceCount = static_cast<WORD>(acl->AceCount + 1);

    ACCESS_ALLOWED_ACE* added = reinterpret_cast<ACCESS_ALLOWED_ACE*>(out + used);
    added->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    added->Header.AceFlags = 0;
    added->Header.AceSize = static_cast<WORD>(entrySize);
    added->Mask = GENERIC_ALL;
    const unsigned char* sidBytes = reinterpret_cast<const unsigned char*>(sid);
    unsigned char* sidOut = out + used + kAllowedEntryHeaderSize;
    for (size_t i = 0; i < sidSize; ++i) {
        sidOut[i] = sidBytes[i];
    }
    return 0;
}

DWORD AddUserToDefaultDacl(const PlatformCalls& platform, HANDLE token, ACL* mended)
{
    // The records the platform fills, each aligned for its record and
    // bounded; too small a buffer fails the query with
    // ERROR_INSUFFICIENT_BUFFER.
    // NOLINTBEGIN(cppcoreguidelines-pro-type-member-init): filled before they are read
    RecordBuffer<TOKEN_USER, sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE> user;
    RecordBuffer<TOKEN_DEFAULT_DACL, kDefaultDaclBufferSize> current;
    // NOLINTEND(cppcoreguidelines-pro-type-member-init)

    mended->AclSize = 0;
    DWORD returned = 0;
    if (!platform.GetTokenInformation(token, TokenUser, user.bytes, sizeof user.bytes, &returned) ||
        !platform.GetTokenInformation(token, TokenDefaultDacl, current.bytes, sizeof current.bytes,
                                      &returned)) {
        return FailureCode(platform);
    }
    const ACL* acl = RecordIn(current)->DefaultDacl;
    if (acl == nullptr) {
        return 0;
    }
    // The list lies in the buffer, after the pointer to it.
    const unsigned char* aclStart = reinterpret_cast<const unsigned char*>(acl);
    const unsigned char* end = current.bytes + sizeof current.bytes;
    if (aclStart < current.bytes || aclStart >= end) {
        return ERROR_INVALID_ACL;
    }
    DWORD appended = AppendAllowedEntry(acl, static_cast<size_t>(end - aclStart),
                                        static_cast<const SID*>(RecordIn(user)->User.Sid), mended,
                                        kMendedDaclSize);
    if (appended != 0) {
        return appended;
    }
    TOKEN_DEFAULT_DACL replacement;
    replacement.DefaultDacl = mended;
    if (!platform.SetTokenInformation(token, TokenDefaultDacl, &replacement, sizeof replacement)) {
        return FailureCode(platform);
    }
    return 0;
}

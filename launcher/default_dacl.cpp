#include "launcher/default_dacl.h"

#include "launcher/failure.h"

// An access-allowed entry: its header, its mask, then the SID.
const size_t kAllowedEntryHeaderSize = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);

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

DWORD AddUserToDefaultDacl(const PlatformCalls& platform, HANDLE token)
{
    // The records the platform fills, aligned for the structures at their
    // start and bounded; too small a buffer fails the query with
    // ERROR_INSUFFICIENT_BUFFER. Each is written before it is read.
    union {  // NOLINT(cppcoreguidelines-pro-type-member-init)
        TOKEN_USER user;
        // cppcheck-suppress unusedStructMember ; it gives the record its room
        unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user;
    union {  // NOLINT(cppcoreguidelines-pro-type-member-init)
        TOKEN_DEFAULT_DACL dacl;
        unsigned char bytes[kDefaultDaclBufferSize];
    } current;
    union {  // NOLINT(cppcoreguidelines-pro-type-member-init)
        ACL acl;
        // cppcheck-suppress unusedStructMember ; it gives the list its room
        unsigned char bytes[kDefaultDaclBufferSize + kAllowedEntryHeaderSize + SECURITY_MAX_SID_SIZE];
    } mended;

    DWORD returned = 0;
    if (!platform.GetTokenInformation(token, TokenUser, &user, sizeof user, &returned) ||
        !platform.GetTokenInformation(token, TokenDefaultDacl, &current, sizeof current,
                                      &returned)) {
        return FailureCode(platform);
    }
    if (current.dacl.DefaultDacl == nullptr) {
        return 0;
    }
    // The list lies in the buffer, after the pointer to it.
    const ACL* acl = current.dacl.DefaultDacl;
    const unsigned char* aclStart = reinterpret_cast<const unsigned char*>(acl);
    if (aclStart < current.bytes || aclStart >= current.bytes + sizeof current) {
        return ERROR_INVALID_ACL;
    }
    DWORD appended = AppendAllowedEntry(acl, static_cast<size_t>(current.bytes + sizeof current - aclStart),
                                        static_cast<const SID*>(user.user.User.Sid), &mended.acl,
                                        sizeof mended);
    if (appended != 0) {
        return appended;
    }
    TOKEN_DEFAULT_DACL replacement;
    replacement.DefaultDacl = &mended.acl;
    if (!platform.SetTokenInformation(token, TokenDefaultDacl, &replacement, sizeof replacement)) {
        return FailureCode(platform);
    }
    return 0;
}

#include "check/token_facts.h"

#include <sddl.h>
#include <string.h>

// A token's record of one class, read whole into memory from the process
// heap (null where it cannot be read); the caller gives it back.
static void* QueryToken(HANDLE token, TOKEN_INFORMATION_CLASS what, DWORD* size)
{
    *size = 0;
    GetTokenInformation(token, what, nullptr, 0, size);
    void* buffer = LocalAlloc(LMEM_FIXED, *size ? *size : 1);
    if (buffer != nullptr && !GetTokenInformation(token, what, buffer, *size, size)) {
        LocalFree(buffer);
        buffer = nullptr;
    }
    return buffer;
}

void SidText(PSID sid, char* text, size_t size)
{
    char* sidString = nullptr;
    if (ConvertSidToStringSidA(sid, &sidString)) {
        snprintf(text, size, "%s", sidString);
        LocalFree(sidString);
    } else {
        snprintf(text, size, "?");
    }
    char name[256], domain[256];
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        size_t used = strlen(text);
        snprintf(text + used, size - used, domain[0] ? " %s\\%s" : " %s%s", domain[0] ? domain : name,
                 domain[0] ? name : "");
    }
}

// Appends `word` to the comma-separated `words` (room for `size` bytes).
static void AddWord(char* words, size_t size, const char* word)
{
    size_t used = strlen(words);
    snprintf(words + used, size - used, "%s%s", used ? "," : "", word);
}

static void GroupAttributes(DWORD attributes, char* words, size_t size)
{
    static const struct {
        DWORD bit;
        const char* word;
    } kWords[] = {
        {SE_GROUP_MANDATORY, "mandatory"},
        {SE_GROUP_ENABLED_BY_DEFAULT, "enabled-by-default"},
        {SE_GROUP_ENABLED, "enabled"},
        {SE_GROUP_OWNER, "owner"},
        {SE_GROUP_USE_FOR_DENY_ONLY, "deny-only"},
        {SE_GROUP_INTEGRITY, "integrity"},
        {SE_GROUP_INTEGRITY_ENABLED, "integrity-enabled"},
        {SE_GROUP_RESOURCE, "resource"},
        {SE_GROUP_LOGON_ID, "logon-id"},
    };
    words[0] = 0;
    DWORD known = 0;
    for (const auto& w : kWords) {
        known |= w.bit;
        if (attributes & w.bit) {
            AddWord(words, size, w.word);
        }
    }
    if (attributes & ~known) {
        char other[32];
        snprintf(other, sizeof other, "0x%lx", static_cast<unsigned long>(attributes & ~known));
        AddWord(words, size, other);
    }
    if (words[0] == 0) {
        snprintf(words, size, "none");
    }
}

static void PrivilegeAttributes(DWORD attributes, char* words, size_t size)
{
    words[0] = 0;
    if (attributes & SE_PRIVILEGE_ENABLED_BY_DEFAULT) AddWord(words, size, "enabled-by-default");
    if (attributes & SE_PRIVILEGE_ENABLED) AddWord(words, size, "enabled");
    if (attributes & SE_PRIVILEGE_REMOVED) AddWord(words, size, "removed");
    if (attributes & SE_PRIVILEGE_USED_FOR_ACCESS) AddWord(words, size, "used-for-access");
    if (words[0] == 0) {
        snprintf(words, size, "disabled");
    }
}

// The SIDs of a TOKEN_GROUPS record, each on a line of its own after `key`,
// with its attributes where `attributes` says so.
static void WriteGroups(FILE* out, const char* key, const TOKEN_GROUPS* groups, bool attributes)
{
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        char sid[600], words[200];
        SidText(groups->Groups[i].Sid, sid, sizeof sid);
        GroupAttributes(groups->Groups[i].Attributes, words, sizeof words);
        fprintf(out, attributes ? "%s %s %s\n" : "%s %s\n", key, sid, words);
    }
}

void WriteTokenFacts(FILE* out, HANDLE token)
{
    DWORD size = 0;
    char sid[600];
    if (TOKEN_USER* user = static_cast<TOKEN_USER*>(QueryToken(token, TokenUser, &size))) {
        SidText(user->User.Sid, sid, sizeof sid);
        fprintf(out, "user %s\n", sid);
        LocalFree(user);
    }
    if (TOKEN_GROUPS* groups = static_cast<TOKEN_GROUPS*>(QueryToken(token, TokenGroups, &size))) {
        WriteGroups(out, "group", groups, true);
        LocalFree(groups);
    }
    if (TOKEN_PRIVILEGES* privileges = static_cast<TOKEN_PRIVILEGES*>(QueryToken(token, TokenPrivileges, &size))) {
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            LUID luid = privileges->Privileges[i].Luid;
            char name[128], words[100];
            DWORD nameSize = sizeof name;
            if (!LookupPrivilegeNameA(nullptr, &luid, name, &nameSize)) {
                snprintf(name, sizeof name, "luid:%lu", luid.LowPart);
            }
            PrivilegeAttributes(privileges->Privileges[i].Attributes, words, sizeof words);
            fprintf(out, "privilege %s %s\n", name, words);
        }
        LocalFree(privileges);
    }
    if (TOKEN_OWNER* owner = static_cast<TOKEN_OWNER*>(QueryToken(token, TokenOwner, &size))) {
        SidText(owner->Owner, sid, sizeof sid);
        fprintf(out, "owner %s\n", sid);
        LocalFree(owner);
    }
    TOKEN_DEFAULT_DACL* daclRecord = static_cast<TOKEN_DEFAULT_DACL*>(QueryToken(token, TokenDefaultDacl, &size));
    const ACL* dacl = daclRecord == nullptr ? nullptr : daclRecord->DefaultDacl;
    if (dacl == nullptr) {
        fprintf(out, "default-dacl none\n");
    } else {
        fprintf(out, "default-dacl %u\n", dacl->AceCount);
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* entry = nullptr;
            if (!GetAce(const_cast<ACL*>(dacl), i, reinterpret_cast<void**>(&entry))) {
                break;
            }
            BYTE type = entry->Header.AceType;
            char typeText[16];
            snprintf(typeText, sizeof typeText, "type%u", type);
            SidText(&entry->SidStart, sid, sizeof sid);
            fprintf(out, "dacl-entry %s 0x%08lx %s\n",
                    type == ACCESS_ALLOWED_ACE_TYPE ? "allowed" : type == ACCESS_DENIED_ACE_TYPE ? "denied" : typeText,
                    static_cast<unsigned long>(entry->Mask), sid);
        }
    }
    LocalFree(daclRecord);
    if (TOKEN_GROUPS* restricting = static_cast<TOKEN_GROUPS*>(QueryToken(token, TokenRestrictedSids, &size))) {
        WriteGroups(out, "restricting", restricting, false);
        LocalFree(restricting);
    }
    fprintf(out, "restricted %s\n", IsTokenRestricted(token) ? "yes" : "no");
    TOKEN_TYPE type;
    if (GetTokenInformation(token, TokenType, &type, sizeof type, &size)) {
        fprintf(out, "type %s\n", type == TokenPrimary ? "primary" : "impersonation");
    }
    TOKEN_ELEVATION elevation;
    bool known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    fprintf(out, "elevation %s\n", !known ? "unknown" : elevation.TokenIsElevated ? "yes" : "no");
    TOKEN_ELEVATION_TYPE elevationType;
    known = GetTokenInformation(token, TokenElevationType, &elevationType, sizeof elevationType, &size);
    fprintf(out, "elevation-type %s\n",
            !known                                       ? "unknown"
            : elevationType == TokenElevationTypeDefault ? "default"
            : elevationType == TokenElevationTypeFull    ? "full"
            : elevationType == TokenElevationTypeLimited ? "limited"
                                                         : "unknown");
    DWORD virtualization = 0;
    known = GetTokenInformation(token, TokenVirtualizationAllowed, &virtualization, sizeof virtualization, &size);
    fprintf(out, "virtualization %s\n", !known ? "unknown" : virtualization ? "allowed" : "not-allowed");
    if (TOKEN_MANDATORY_LABEL* label = static_cast<TOKEN_MANDATORY_LABEL*>(QueryToken(token, TokenIntegrityLevel,
                                                                                         &size))) {
        SidText(label->Label.Sid, sid, sizeof sid);
        fprintf(out, "integrity %s\n", sid);
        LocalFree(label);
    } else {
        fprintf(out, "integrity unknown\n");
    }
}

void WriteLabel(FILE* out, const char* key, HANDLE object)
{
    DWORD size = 0;
    GetKernelObjectSecurity(object, LABEL_SECURITY_INFORMATION, nullptr, 0, &size);
    void* descriptor = LocalAlloc(LMEM_FIXED, size ? size : 1);
    if (descriptor == nullptr || !GetKernelObjectSecurity(object, LABEL_SECURITY_INFORMATION, descriptor, size, &size)) {
        fprintf(out, "%s error %lu\n", key, GetLastError());
        LocalFree(descriptor);
        return;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    bool found = false;
    if (GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) && present && sacl != nullptr) {
        for (DWORD i = 0; i < sacl->AceCount && !found; ++i) {
            SYSTEM_MANDATORY_LABEL_ACE* entry = nullptr;
            if (GetAce(sacl, i, reinterpret_cast<void**>(&entry)) &&
                entry->Header.AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
                char* sid = nullptr;
                if (ConvertSidToStringSidA(&entry->SidStart, &sid)) {
                    fprintf(out, "%s %s 0x%lx\n", key, sid, static_cast<unsigned long>(entry->Mask));
                    LocalFree(sid);
                    found = true;
                }
            }
        }
    }
    if (!found) {
        fprintf(out, "%s none\n", key);
    }
    LocalFree(descriptor);
}

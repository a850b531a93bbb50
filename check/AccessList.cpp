#include "check/AccessList.h"

#include <sddl.h>

#include <cstdio>
#include <map>

namespace brenlow {
namespace {

// The SIDs judged by their text alone, whatever a lookup says.
struct TKnownTrustee {
  const char* Sid;
  TCheckLevel Level;
  const char* Name;
};
constexpr TKnownTrustee kKnownTrustees[] = {
    // The system and its administrators; the two placeholders stand for one account, the
    // creator or owner of the object.
    {"S-1-5-18", clOk, "SYSTEM"},
    {"S-1-5-32-544", clOk, "Administrators"},
    {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", clOk, "TrustedInstaller"},
    {"S-1-3-0", clOk, "CREATOR OWNER"},
    {"S-1-3-4", clOk, "OWNER RIGHTS"},
    // Groups that anyone signed in, or anyone at all, belongs to in some way.
    {"S-1-1-0", clFail, "Everyone"},
    {"S-1-2-0", clFail, "LOCAL"},
    {"S-1-2-1", clFail, "CONSOLE LOGON"},
    {"S-1-5-1", clFail, "DIALUP"},
    {"S-1-5-2", clFail, "NETWORK"},
    {"S-1-5-3", clFail, "BATCH"},
    {"S-1-5-4", clFail, "INTERACTIVE"},
    {"S-1-5-6", clFail, "SERVICE"},
    {"S-1-5-7", clFail, "ANONYMOUS LOGON"},
    {"S-1-5-11", clFail, "Authenticated Users"},
    {"S-1-5-13", clFail, "TERMINAL SERVER USER"},
    {"S-1-5-14", clFail, "REMOTE INTERACTIVE LOGON"},
    {"S-1-5-15", clFail, "This Organization"},
    {"S-1-5-1000", clFail, "Other Organization"},
    {"S-1-5-113", clFail, "Local account"},
    {"S-1-5-114", clFail, "Local account and member of Administrators group"},
    {"S-1-5-32-545", clFail, "Users"},
    {"S-1-5-32-546", clFail, "Guests"},
    {"S-1-5-32-554", clFail, "Pre-Windows 2000 Compatible Access"},
    {"S-1-5-32-555", clFail, "Remote Desktop Users"},
    {"S-1-5-64-10", clFail, "NTLM Authentication"},
    {"S-1-5-64-14", clFail, "SChannel Authentication"},
    {"S-1-5-64-21", clFail, "Digest Authentication"},
    {"S-1-15-2-1", clFail, "ALL APPLICATION PACKAGES"},
    {"S-1-15-2-2", clFail, "ALL RESTRICTED APPLICATION PACKAGES"},
    {"S-1-18-1", clFail, "Authentication authority asserted identity"},
    // Low-privilege service identities: every service running as one of them may change it.
    {"S-1-5-32-568", clWarn, "IIS_IUSRS"},
    {"S-1-5-17", clWarn, "IUSR"},
    {"S-1-5-20", clWarn, "NETWORK SERVICE"},
    {"S-1-5-19", clWarn, "LOCAL SERVICE"},
};

// The broad groups and accounts of every domain and of the machine's own accounts, by the last
// part of S-1-5-21-<domain>-<RID>. The machine's -513 ("None") holds every local user.
struct TDomainTrustee {
  DWORD Rid;
  const char* Name;
};
constexpr TDomainTrustee kBroadDomainTrustees[] = {
    {501, "Guest"},
    {513, "Domain Users"},
    {514, "Domain Guests"},
    {515, "Domain Computers"},
};

constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kAnonymous = "S-1-5-7";

// The rights that let a holder replace, remove or re-permission a file, or add files to a
// folder, with their names. Generic rights are mapped to these before they are compared.
struct TNamedRight {
  ACCESS_MASK Right;
  const char* Name;
};
constexpr TNamedRight kChangeRights[] = {
    {FILE_WRITE_DATA, "write"},              // on a folder: add files
    {FILE_APPEND_DATA, "append"},            // on a folder: add folders
    {DELETE, "delete"},                      //
    {FILE_DELETE_CHILD, "delete contents"},  // a folder's files, whatever their own list says
    {WRITE_DAC, "change permissions"},       //
    {WRITE_OWNER, "take ownership"},
};

ACCESS_MASK MappedToFileRights(ACCESS_MASK mask) {
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  MapGenericMask(&mask, &mapping);
  return mask;
}

ACCESS_MASK ChangeRightsOf(ACCESS_MASK mask) {
  ACCESS_MASK rights = 0;
  for (const TNamedRight& right : kChangeRights) rights |= mask & right.Right;
  return rights;
}

std::string SidText(uint64_t authority, const std::vector<DWORD>& subAuthorities) {
  char part[32];
  // As ConvertSidToStringSid writes it: decimal below 2^32, hexadecimal above.
  std::snprintf(part, sizeof(part), authority >> 32 ? "S-1-0x%012llX" : "S-1-%llu",
                static_cast<unsigned long long>(authority));
  std::string text = part;
  for (const DWORD sub : subAuthorities) text += "-" + std::to_string(sub);
  return text;
}

// A SID's plain parts, its text and what a lookup says of it.
struct TTrustee {
  uint64_t Authority = 0;
  std::vector<DWORD> SubAuthorities;
  std::string Sid;
  std::string LookedUpName;  // "DOMAIN\name", or empty
  SID_NAME_USE Use = SidTypeUnknown;
};

TTrustee ReadTrustee(PSID sid) {
  TTrustee trustee;
  const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  for (const BYTE byte : authority->Value) trustee.Authority = trustee.Authority << 8 | byte;
  const UCHAR count = *GetSidSubAuthorityCount(sid);
  for (UCHAR i = 0; i < count; ++i) trustee.SubAuthorities.push_back(*GetSidSubAuthority(sid, i));
  trustee.Sid = SidText(trustee.Authority, trustee.SubAuthorities);
  char name[256];
  char domain[256];
  DWORD nameSize = sizeof(name);
  DWORD domainSize = sizeof(domain);
  SID_NAME_USE use = SidTypeUnknown;
  if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    trustee.Use = use;
    trustee.LookedUpName = domainSize > 0 ? std::string(domain) + "\\" + name : name;
  }
  return trustee;
}

// The name a finding gives the holder of an entry.
std::string TrusteeName(const TTrustee& trustee, const TTrusteeVerdict& verdict) {
  for (const TKnownTrustee& known : kKnownTrustees)
    if (trustee.Sid == known.Sid) return known.Name;
  const std::string name = !trustee.LookedUpName.empty() ? trustee.LookedUpName
                           : verdict.Name != nullptr     ? verdict.Name
                                                         : "account or group not found";
  return name + " (" + trustee.Sid + ")";
}

std::string Describe(const std::string& trustee, ACCESS_MASK rights, ACCESS_MASK entry,
                     bool inherited) {
  std::string names;
  for (const TNamedRight& right : kChangeRights)
    if (rights & right.Right) names += (names.empty() ? "" : ", ") + std::string(right.Name);
  char mask[16];
  std::snprintf(mask, sizeof(mask), "0x%08lx", static_cast<unsigned long>(entry));
  return trustee + " may " + names +
         (inherited ? std::string(" the files created in it (inheritable entry ") + mask + ")"
                    : std::string(" (entry ") + mask + ")");
}

// One pass over the list: the entries that apply to the object itself, or (filesInFolder) those
// that every file created in the folder inherits, each allow entry less what the deny entries
// before it in the pass refused.
void ReviewEntries(PACL dacl, bool filesInFolder, std::map<std::string, TTrustee>& trustees,
                   std::vector<TAccessFinding>& findings) {
  std::map<std::string, ACCESS_MASK> denied;  // by the SID's text
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    const bool applies = filesInFolder ? (header->AceFlags & OBJECT_INHERIT_ACE) != 0
                                       : (header->AceFlags & INHERIT_ONLY_ACE) == 0;
    if (!applies) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
      continue;
    // Allowed and denied entries share their layout: header, mask, then the SID.
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = &ace->SidStart;
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) continue;
    const std::string key(text);
    LocalFree(text);
    const ACCESS_MASK rights = ChangeRightsOf(MappedToFileRights(ace->Mask));
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      denied[key] |= rights;
      continue;
    }
    // Everyone's deny entries hold for every caller but an anonymous one.
    ACCESS_MASK left = rights & ~denied[key];
    if (key != kAnonymous) left &= ~denied[kEveryone];
    if (left == 0) continue;
    auto found = trustees.find(key);
    if (found == trustees.end()) found = trustees.emplace(key, ReadTrustee(sid)).first;
    const TTrustee& trustee = found->second;
    const TTrusteeVerdict verdict =
        JudgeTrustee(trustee.Authority, trustee.SubAuthorities, trustee.Use);
    if (verdict.Level == clOk) continue;
    const std::string name = TrusteeName(trustee, verdict);
    findings.push_back({verdict.Level, name, left, Describe(name, left, ace->Mask, filesInFolder)});
  }
}

}  // namespace

TTrusteeVerdict JudgeTrustee(uint64_t authority, const std::vector<DWORD>& subAuthorities,
                             SID_NAME_USE lookedUp) {
  const std::string sid = SidText(authority, subAuthorities);
  for (const TKnownTrustee& known : kKnownTrustees)
    if (sid == known.Sid) return {known.Level, known.Name};
  if (authority == 5 && subAuthorities.size() == 5 && subAuthorities[0] == 21)
    for (const TDomainTrustee& broad : kBroadDomainTrustees)
      if (subAuthorities[4] == broad.Rid) return {clFail, broad.Name};
  if (lookedUp == SidTypeUser || lookedUp == SidTypeComputer) return {clOk, nullptr};
  return {clWarn, nullptr};
}

std::vector<TAccessFinding> ReviewAccessList(PSECURITY_DESCRIPTOR descriptor, bool folder) {
  std::vector<TAccessFinding> findings;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (descriptor == nullptr ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    findings.push_back({clFail, "", 0, "its access list cannot be read"});
    return findings;
  }
  // No access list at all grants everything to everyone (an empty one grants nothing).
  if (!present || dacl == nullptr) {
    findings.push_back({clFail, "", 0, "it has no access list: everyone may change it"});
    return findings;
  }
  std::map<std::string, TTrustee> trustees;  // each SID looked up once
  ReviewEntries(dacl, false, trustees, findings);
  if (folder) ReviewEntries(dacl, true, trustees, findings);
  return findings;
}

}  // namespace brenlow

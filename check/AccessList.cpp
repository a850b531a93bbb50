#include "check/AccessList.h"

#include <sddl.h>

#include <cstdio>
#include <map>

namespace brenlow {
namespace {

// The well-known groups that are judged, by their SID's text.
struct TJudgedGroup {
  const char* Sid;
  const char* Name;
  TCheckLevel Level;
};
constexpr TJudgedGroup kJudgedGroups[] = {
    {"S-1-1-0", "Everyone", clFail},
    {"S-1-5-32-545", "Users", clFail},
    {"S-1-5-11", "Authenticated Users", clFail},
    {"S-1-5-4", "INTERACTIVE", clFail},
    {"S-1-5-32-546", "Guests", clFail},
    {"S-1-5-7", "ANONYMOUS LOGON", clFail},
    {"S-1-5-32-568", "IIS_IUSRS", clWarn},
    {"S-1-5-17", "IUSR", clWarn},
    {"S-1-5-20", "NETWORK SERVICE", clWarn},
    {"S-1-5-19", "LOCAL SERVICE", clWarn},
};
constexpr const char* kEveryone = "S-1-1-0";

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

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return {};
  std::string result(text);
  LocalFree(text);
  return result;
}

const TJudgedGroup* JudgedGroup(const std::string& sid) {
  for (const TJudgedGroup& group : kJudgedGroups)
    if (sid == group.Sid) return &group;
  return nullptr;
}

std::string Describe(const std::string& trustee, ACCESS_MASK rights, ACCESS_MASK entry) {
  std::string names;
  for (const TNamedRight& right : kChangeRights)
    if (rights & right.Right) names += (names.empty() ? "" : ", ") + std::string(right.Name);
  char mask[16];
  std::snprintf(mask, sizeof(mask), "0x%08lx", static_cast<unsigned long>(entry));
  return trustee + " may " + names + " (entry " + mask + ")";
}

}  // namespace

std::vector<TAccessFinding> ReviewAccessList(PSECURITY_DESCRIPTOR descriptor) {
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
  // What deny entries have refused so far, by the SID's text; Everyone's applies to all.
  std::map<std::string, ACCESS_MASK> denied;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for what the folder will hold only
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
      continue;
    // Allowed and denied entries share their layout: header, mask, then the SID.
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    const std::string sid = SidText(&ace->SidStart);
    const ACCESS_MASK rights = ChangeRightsOf(MappedToFileRights(ace->Mask));
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      denied[sid] |= rights;
      continue;
    }
    const TJudgedGroup* group = JudgedGroup(sid);
    if (group == nullptr) continue;
    const ACCESS_MASK left = rights & ~denied[sid] & ~denied[kEveryone];
    if (left == 0) continue;
    findings.push_back({group->Level, group->Name, left, Describe(group->Name, left, ace->Mask)});
  }
  return findings;
}

}  // namespace brenlow

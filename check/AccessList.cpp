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
    // creator or owner of the object, which is judged as itself.
    {"S-1-5-18", clOk, "SYSTEM"},
    {kAdministratorsSid, clOk, "Administrators"},
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
constexpr const char* kOwnerRights = "S-1-3-4";

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

// What lets a holder take a folder away (on the folder itself, and on the folder above it) and
// make another in its place (on the folder above).
constexpr ACCESS_MASK kControl = WRITE_DAC | WRITE_OWNER;
constexpr ACCESS_MASK kRemoveIt = DELETE | kControl;
constexpr ACCESS_MASK kRemoveFromParent = FILE_DELETE_CHILD | kControl;
constexpr ACCESS_MASK kCreateInParent = FILE_ADD_SUBDIRECTORY | kControl;

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

std::string RightNames(ACCESS_MASK rights) {
  std::string names;
  for (const TNamedRight& right : kChangeRights)
    if (rights & right.Right) names += (names.empty() ? "" : ", ") + std::string(right.Name);
  return names;
}

std::string SidTextOf(uint64_t authority, const std::vector<DWORD>& subAuthorities) {
  char part[32];
  // As ConvertSidToStringSid writes it: decimal below 2^32, hexadecimal above.
  std::snprintf(part, sizeof(part), authority >> 32 ? "S-1-0x%012llX" : "S-1-%llu",
                static_cast<unsigned long long>(authority));
  std::string text = part;
  for (const DWORD sub : subAuthorities) text += "-" + std::to_string(sub);
  return text;
}

// A SID's plain parts and how it is judged, with the name a finding gives it.
struct TTrustee {
  std::string Sid;
  TTrusteeVerdict Verdict;
  std::string Name;
};

// Each SID of one review looked up and judged once.
class TTrustees {
 public:
  explicit TTrustees(TSidLookup& lookup) : lookup_(lookup) {}

  const TTrustee& Of(PSID sid) {
    const std::string key = SidText(sid);
    auto found = trustees_.find(key);
    if (found != trustees_.end()) return found->second;
    uint64_t authority = 0;
    for (const BYTE byte : GetSidIdentifierAuthority(sid)->Value) authority = authority << 8 | byte;
    std::vector<DWORD> subs;
    for (UCHAR i = 0; i < *GetSidSubAuthorityCount(sid); ++i)
      subs.push_back(*GetSidSubAuthority(sid, i));
    TTrustee trustee;
    trustee.Sid = key;
    const TSidFacts facts = lookup_.Facts(sid);
    trustee.Verdict = JudgeTrustee(authority, subs, facts);
    trustee.Name = NameOf(key, facts, trustee.Verdict);
    return trustees_.emplace(key, std::move(trustee)).first->second;
  }

 private:
  static std::string NameOf(const std::string& sid, const TSidFacts& facts,
                            const TTrusteeVerdict& verdict) {
    for (const TKnownTrustee& known : kKnownTrustees)
      if (sid == known.Sid) return known.Name;
    const std::string name = !facts.Name.empty()       ? facts.Name
                             : verdict.Name != nullptr ? verdict.Name
                                                       : "account or group not found";
    return name + " (" + sid + (verdict.Why ? std::string(", ") + verdict.Why : "") + ")";
  }

  TSidLookup& lookup_;
  std::map<std::string, TTrustee> trustees_;
};

// One allow entry, less what the deny entries before it refused.
struct TGrant {
  PSID Sid = nullptr;  // inside the descriptor
  std::string SidText;
  ACCESS_MASK Left = 0;  // change rights
  ACCESS_MASK Entry = 0;
  bool Inherited = false;
};

// One pass over the list: the entries that apply to the object itself, or (filesInFolder) those
// that every file created in the folder inherits.
struct TPass {
  std::vector<TGrant> Grants;
  // An OWNER RIGHTS entry applies: the owner holds what such entries allow instead of the right
  // to change the access list that ownership otherwise gives.
  bool OwnerRightsListed = false;
  ACCESS_MASK OwnerRights = 0;
};

TPass ReadPass(PACL dacl, bool filesInFolder) {
  TPass pass;
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
    const std::string key = SidText(sid);
    if (key.empty()) continue;
    const ACCESS_MASK rights = ChangeRightsOf(MappedToFileRights(ace->Mask));
    if (key == kOwnerRights) pass.OwnerRightsListed = true;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      denied[key] |= rights;
      continue;
    }
    // Everyone's deny entries hold for every caller but an anonymous one.
    ACCESS_MASK left = rights & ~denied[key];
    if (key != kAnonymous) left &= ~denied[kEveryone];
    if (key == kOwnerRights) {
      pass.OwnerRights |= left;
      continue;
    }
    if (left != 0)
      pass.Grants.push_back({sid, key, left, ace->Mask, (header->AceFlags & INHERITED_ACE) != 0});
  }
  return pass;
}

std::string Describe(const std::string& trustee, ACCESS_MASK rights, ACCESS_MASK entry,
                     bool inherited) {
  char mask[16];
  std::snprintf(mask, sizeof(mask), "0x%08lx", static_cast<unsigned long>(entry));
  return trustee + " may " + RightNames(rights) +
         (inherited ? std::string(" the files created in it (inheritable entry ") + mask + ")"
                    : std::string(" (entry ") + mask + ")");
}

// The access list of a descriptor; false when there is none to read. A descriptor without an
// access list grants everything to everyone (an empty list grants nothing): dacl is then null.
bool ReadDacl(PSECURITY_DESCRIPTOR descriptor, PACL& dacl) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  dacl = nullptr;
  if (descriptor == nullptr || !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return false;
  if (!present) dacl = nullptr;
  return true;
}

PSID OwnerOf(PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
    return nullptr;
  return owner;
}

// --- What a holder may do to a folder, for its replacement --------------------------------------

// What one SID holds on an object: by its entries, and as the object's owner.
struct THeld {
  ACCESS_MASK Rights = 0;
  bool Inherited = false;  // some of the entries come from above
  ACCESS_MASK AsOwner = 0;
  PSID Sid = nullptr;
};

// The rights on the object itself that matter for its replacement, by SID.
std::map<std::string, THeld> HeldRights(PSECURITY_DESCRIPTOR descriptor) {
  std::map<std::string, THeld> held;
  PACL dacl = nullptr;
  if (!ReadDacl(descriptor, dacl)) return held;
  TPass pass;
  if (dacl == nullptr) {
    // No list at all: Everyone holds everything.
    static SID everyone = {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
    pass.Grants.push_back({&everyone, kEveryone, ChangeRightsOf(FILE_ALL_ACCESS), FILE_ALL_ACCESS});
  } else {
    pass = ReadPass(dacl, false);
  }
  for (const TGrant& grant : pass.Grants) {
    THeld& h = held[grant.SidText];
    h.Sid = grant.Sid;
    h.Rights |= grant.Left;
    h.Inherited = h.Inherited || grant.Inherited;
  }
  if (PSID owner = OwnerOf(descriptor)) {
    THeld& h = held[SidText(owner)];
    h.Sid = owner;
    h.AsOwner |= pass.OwnerRightsListed ? pass.OwnerRights : WRITE_DAC;
  }
  return held;
}

// What a set of holders may do to a folder and to the folder above it.
struct TReach {
  ACCESS_MASK OnFolder = 0;
  ACCESS_MASK OnParent = 0;
  bool OwnsFolder = false;
  bool OwnsParent = false;

  void Add(const THeld* folder, const THeld* parent) {
    if (folder) OnFolder |= folder->Rights | folder->AsOwner;
    if (folder) OwnsFolder = OwnsFolder || folder->AsOwner != 0;
    if (parent) OnParent |= parent->Rights | parent->AsOwner;
    if (parent) OwnsParent = OwnsParent || parent->AsOwner != 0;
  }
  bool Replaces() const {
    return ((OnFolder & kRemoveIt) || (OnParent & kRemoveFromParent)) &&
           (OnParent & kCreateInParent);
  }
  std::string Means(const std::string& parentPath) const {
    std::vector<std::string> means;
    if (OnFolder & DELETE) means.push_back("delete it");
    if (OwnsFolder) means.push_back("own it");
    if (OnFolder & WRITE_DAC && !OwnsFolder) means.push_back("change its permissions");
    if (OnFolder & WRITE_OWNER) means.push_back("take ownership of it");
    if (OnParent & FILE_DELETE_CHILD) means.push_back("delete what " + parentPath + " holds");
    if (OnParent & FILE_ADD_SUBDIRECTORY) means.push_back("create folders in " + parentPath);
    if (OwnsParent) means.push_back("own " + parentPath);
    if (OnParent & WRITE_DAC && !OwnsParent)
      means.push_back("change the permissions of " + parentPath);
    if (OnParent & WRITE_OWNER) means.push_back("take ownership of " + parentPath);
    std::string text;
    for (const std::string& m : means) text += (text.empty() ? "" : ", ") + m;
    return text;
  }
};

const THeld* Find(const std::map<std::string, THeld>& held, const std::string& sid) {
  const auto found = held.find(sid);
  return found == held.end() ? nullptr : &found->second;
}

// The steps that take a holder's means of removing the folder away.
void AddRemovalSteps(const std::string& sid, const THeld* held, ACCESS_MASK removes,
                     const std::string& object, std::vector<TCloseStep>& steps) {
  if (held == nullptr) return;
  if (held->Rights & removes) steps.push_back({object, true, sid, held->Inherited, false});
  if (held->AsOwner & removes) steps.push_back({object, true, sid, false, true});
}

// Splits a path into its root ("C:\", "\\server\share\", with a "\\?\" form kept) and the rest.
size_t RootLength(const std::string& path) {
  size_t at = 0;
  if (path.rfind("\\\\?\\UNC\\", 0) == 0) {
    at = 8;
  } else if (path.rfind("\\\\?\\", 0) == 0 || path.rfind("\\\\.\\", 0) == 0) {
    at = 4;
  } else if (path.rfind("\\\\", 0) == 0) {
    at = 2;
  } else {
    return path.size() >= 2 && path[1] == ':' ? (path.size() >= 3 && path[2] == '\\' ? 3 : 2) : 0;
  }
  if (at == 4) return path.size() >= at + 3 && path[at + 1] == ':' ? at + 3 : at;
  // \\server\share\: two parts after the start.
  for (int part = 0; part < 2 && at < path.size(); ++part) {
    const size_t next = path.find('\\', at);
    at = next == std::string::npos ? path.size() : next + 1;
  }
  return at;
}

}  // namespace

TTrusteeVerdict JudgeTrustee(uint64_t authority, const std::vector<DWORD>& subAuthorities,
                             const TSidFacts& facts) {
  const std::string sid = SidTextOf(authority, subAuthorities);
  for (const TKnownTrustee& known : kKnownTrustees)
    if (sid == known.Sid) return {known.Level, known.Name};
  if (authority == 5 && subAuthorities.size() == 5 && subAuthorities[0] == 21)
    for (const TDomainTrustee& broad : kBroadDomainTrustees)
      if (subAuthorities[4] == broad.Rid) return {clFail, broad.Name};
  if (facts.Use == SidTypeUser || facts.Use == SidTypeComputer) {
    if (facts.ThisComputer || facts.Admin == amMember) return {clOk};
    return {clWarn, nullptr,
            facts.Admin == amNotMember ? "not a member of Administrators"
                                       : "whether it is a member of Administrators cannot be read"};
  }
  return {clWarn};
}

std::vector<TAccessFinding> ReviewAccessList(PSECURITY_DESCRIPTOR descriptor, bool folder,
                                             TSidLookup& lookup) {
  std::vector<TAccessFinding> findings;
  PACL dacl = nullptr;
  if (!ReadDacl(descriptor, dacl)) {
    // Taken as the worst: everyone may do everything, a folder made in it included.
    findings.push_back(
        {clFail, "", ChangeRightsOf(FILE_ALL_ACCESS), "its access list cannot be read", {}});
    return findings;
  }
  if (dacl == nullptr) {
    findings.push_back({clFail,
                        "",
                        ChangeRightsOf(FILE_ALL_ACCESS),
                        "it has no access list: everyone may change it",
                        {}});
    return findings;
  }
  TTrustees trustees(lookup);
  const auto judge = [&](const TPass& pass, bool filesInFolder) {
    for (const TGrant& grant : pass.Grants) {
      const TTrustee& trustee = trustees.Of(grant.Sid);
      if (trustee.Verdict.Level == clOk) continue;
      findings.push_back({trustee.Verdict.Level,
                          trustee.Name,
                          grant.Left,
                          Describe(trustee.Name, grant.Left, grant.Entry, filesInFolder),
                          {{"", folder, trustee.Sid, grant.Inherited, false}}});
    }
  };
  const TPass own = ReadPass(dacl, false);
  judge(own, false);
  if (PSID owner = OwnerOf(descriptor)) {
    const ACCESS_MASK rights = own.OwnerRightsListed ? own.OwnerRights : WRITE_DAC;
    const TTrustee& trustee = trustees.Of(owner);
    if (rights != 0 && trustee.Verdict.Level != clOk)
      findings.push_back({trustee.Verdict.Level,
                          trustee.Name,
                          rights,
                          "its owner " + trustee.Name + " may " + RightNames(rights),
                          {{"", folder, trustee.Sid, false, true}}});
  }
  if (folder) judge(ReadPass(dacl, true), true);
  return findings;
}

std::vector<TFolderStep> FoldersUpToRoot(const std::string& folder) {
  std::string path = folder;
  for (char& c : path)
    if (c == '/') c = '\\';
  const size_t root = RootLength(path);
  while (path.size() > root && path.back() == '\\') path.pop_back();
  std::vector<TFolderStep> steps;
  while (path.size() > root) {
    const size_t cut = path.find_last_of('\\');
    std::string parent =
        cut == std::string::npos || cut < root ? path.substr(0, root) : path.substr(0, cut);
    if (parent.empty()) break;  // a relative path's first part: nothing known above it
    steps.push_back({path, parent});
    path = parent;
  }
  return steps;
}

std::vector<TAccessFinding> ReviewReplacement(PSECURITY_DESCRIPTOR folder,
                                              const std::string& parentPath,
                                              PSECURITY_DESCRIPTOR parent, TSidLookup& lookup) {
  const std::map<std::string, THeld> onFolder = HeldRights(folder);
  const std::map<std::string, THeld> onParent = HeldRights(parent);
  std::map<std::string, PSID> holders;
  for (const auto* held : {&onFolder, &onParent})
    for (const auto& [sid, h] : *held) holders.emplace(sid, h.Sid);

  TTrustees trustees(lookup);
  std::vector<std::string> broad;
  std::vector<std::string> others;
  TReach all;  // what every user holds through the broad groups
  for (const auto& [sid, psid] : holders) {
    const TTrusteeVerdict& verdict = trustees.Of(psid).Verdict;
    if (verdict.Level == clFail) {
      broad.push_back(sid);
      all.Add(Find(onFolder, sid), Find(onParent, sid));
    } else if (verdict.Level == clWarn) {
      others.push_back(sid);
    }
  }
  // A finding for the holders whose means together replace the folder.
  std::vector<TAccessFinding> findings;
  const auto finding = [&](TCheckLevel level, const std::vector<std::string>& sids,
                           const TReach& reach) {
    TAccessFinding f;
    f.Level = level;
    std::string names;
    for (const std::string& sid : sids) {
      const THeld* folderHeld = Find(onFolder, sid);
      const THeld* parentHeld = Find(onParent, sid);
      const bool relevant =
          (folderHeld && ((folderHeld->Rights | folderHeld->AsOwner) & kRemoveIt)) ||
          (parentHeld &&
           ((parentHeld->Rights | parentHeld->AsOwner) & (kRemoveFromParent | kCreateInParent)));
      if (!relevant) continue;
      const std::string& name = trustees.Of(holders[sid]).Name;
      names += (names.empty() ? "" : ", ") + name;
      AddRemovalSteps(sid, folderHeld, kRemoveIt, "", f.Close);
      AddRemovalSteps(sid, parentHeld, kRemoveFromParent, parentPath, f.Close);
    }
    f.Trustee = names;
    f.Rights = reach.OnFolder & kRemoveIt;
    f.Text = names + " may rename or delete it and create another in its place (" +
             reach.Means(parentPath) + ")";
    findings.push_back(std::move(f));
  };
  if (all.Replaces()) {
    finding(clFail, broad, all);
    return findings;
  }
  for (const std::string& sid : others) {
    TReach reach = all;
    reach.Add(Find(onFolder, sid), Find(onParent, sid));
    if (!reach.Replaces()) continue;
    std::vector<std::string> sids{sid};
    sids.insert(sids.end(), broad.begin(), broad.end());
    finding(clWarn, sids, reach);
  }
  return findings;
}

std::string CloseCommand(const std::string& path, const std::vector<TAccessFinding>& findings) {
  // By object, in the order they come: inheritance cut, entries cut down, ownership taken.
  struct TObjectSteps {
    std::string Object;
    bool Folder = false;
    bool Inherited = false;
    std::vector<std::string> Sids;
    bool TakeOwnership = false;
  };
  std::vector<TObjectSteps> objects;
  for (const TAccessFinding& finding : findings)
    for (const TCloseStep& step : finding.Close) {
      const std::string object = step.Object.empty() ? path : step.Object;
      auto it = objects.begin();
      while (it != objects.end() && it->Object != object) ++it;
      if (it == objects.end())
        it = objects.insert(objects.end(), {object, step.Folder, false, {}, false});
      if (step.AsOwner) {
        it->TakeOwnership = true;
        continue;
      }
      it->Inherited = it->Inherited || step.Inherited;
      bool seen = false;
      for (const std::string& sid : it->Sids) seen = seen || sid == step.Sid;
      if (!seen) it->Sids.push_back(step.Sid);
    }
  std::vector<std::string> commands;
  for (const TObjectSteps& o : objects) {
    // A root's closing backslash is doubled, or it would escape the quote after it.
    const std::string icacls =
        "icacls \"" + o.Object + (o.Object.back() == '\\' ? "\\" : "") + "\"";
    if (o.Inherited) commands.push_back(icacls + " /inheritance:d");
    if (!o.Sids.empty()) {
      std::string grant = icacls + " /grant:r";
      for (const std::string& sid : o.Sids)
        grant += " *" + sid + (o.Folder ? ":(OI)(CI)RX" : ":RX");
      commands.push_back(grant);
    }
    if (o.TakeOwnership) commands.push_back(icacls + " /setowner *" + kAdministratorsSid);
  }
  std::string text;
  for (const std::string& command : commands) text += (text.empty() ? "" : " && ") + command;
  return text;
}

}  // namespace brenlow

#include "check/SidLookup.h"

#include <lm.h>
#include <sddl.h>

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "common/AsciiText.h"

namespace brenlow {
namespace {

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
  wide.resize(n - 1);
  return wide;
}

class TSystemSidLookup final : public TSidLookup {
 public:
  TSidFacts Facts(PSID sid) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string key = SidText(sid);
    auto found = cache_.find(key);
    if (found != cache_.end()) return found->second;
    TSidFacts facts;
    char name[256];
    char domain[256];
    DWORD nameSize = sizeof(name);
    DWORD domainSize = sizeof(domain);
    SID_NAME_USE use = SidTypeUnknown;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
      facts.Use = use;
      facts.Name = domainSize > 0 ? std::string(domain) + "\\" + name : name;
      if (use == SidTypeUser || use == SidTypeComputer) {
        char computer[MAX_COMPUTERNAME_LENGTH + 1];
        DWORD size = sizeof(computer);
        facts.ThisComputer =
            GetComputerNameA(computer, &size) && SameTextAscii(std::string(computer) + "$", name);
        if (!facts.ThisComputer) facts.Admin = Membership(key, facts.Name);
      }
    }
    return cache_.emplace(key, facts).first->second;
  }

 private:
  // The name of Administrators on this system (it is translated) and its direct members.
  struct TAdministrators {
    bool Read = false;
    std::wstring Name;
    std::vector<std::string> Members;  // SIDs
    bool HoldsGroups = false;
  };

  const TAdministrators& Administrators() {
    if (administrators_) return *administrators_;
    administrators_.emplace();
    TAdministrators& group = *administrators_;
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(kAdministratorsSid, &sid)) return group;
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    const BOOL named = LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use);
    LocalFree(sid);
    if (!named) return group;
    group.Name = name;
    BYTE* buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    DWORD_PTR resume = 0;
    if (NetLocalGroupGetMembers(nullptr, name, 1, &buffer, MAX_PREFERRED_LENGTH, &read, &total,
                                &resume) == NERR_Success) {
      const auto* members = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_1*>(buffer);
      for (DWORD i = 0; i < read; ++i) {
        group.Members.push_back(SidText(members[i].lgrmi1_sid));
        group.HoldsGroups = group.HoldsGroups || members[i].lgrmi1_sidusage != SidTypeUser;
      }
      // The built-in Administrator cannot leave the group: a list without members was not read.
      group.Read = read > 0 && read == total;
    }
    if (buffer != nullptr) NetApiBufferFree(buffer);
    return group;
  }

  // Whether the account with that SID (in its string form) and name is one of Administrators.
  TAdminMembership Membership(const std::string& key, const std::string& account) {
    const TAdministrators& group = Administrators();
    if (group.Read) {
      for (const std::string& member : group.Members)
        if (member == key) return amMember;
      if (!group.HoldsGroups) return amNotMember;
    }
    if (group.Name.empty()) return amUnknown;
    // Through the groups it belongs to, a domain's among them; asks the domain when needed.
    BYTE* buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const NET_API_STATUS status =
        NetUserGetLocalGroups(nullptr, Wide(account).c_str(), 0, LG_INCLUDE_INDIRECT, &buffer,
                              MAX_PREFERRED_LENGTH, &read, &total);
    TAdminMembership membership = amUnknown;
    if (status == NERR_Success) {
      membership = amNotMember;
      const auto* groups = reinterpret_cast<const LOCALGROUP_USERS_INFO_0*>(buffer);
      for (DWORD i = 0; i < read; ++i)
        if (_wcsicmp(groups[i].lgrui0_name, group.Name.c_str()) == 0) membership = amMember;
    }
    if (buffer != nullptr) NetApiBufferFree(buffer);
    return membership;
  }

  std::mutex mutex_;  // the check at a start and the commands may look up from several threads
  std::map<std::string, TSidFacts> cache_;
  std::optional<TAdministrators> administrators_;
};

}  // namespace

TSidLookup& SystemSidLookup() {
  static TSystemSidLookup* const lookup = new TSystemSidLookup;  // used until the process ends
  return *lookup;
}

}  // namespace brenlow

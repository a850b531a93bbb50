#pragma once
// What the system says of the SIDs in access lists and owners: their names and kinds, and for an
// account whether it is one of the machine's administrators.

#include <windows.h>

#include <string>

#include "common/SecurityDescriptor.h"

namespace brenlow {

// The local Administrators group.
inline constexpr const char* kAdministratorsSid = "S-1-5-32-544";

// Whether an account belongs to the local Administrators group.
enum TAdminMembership { amUnknown, amMember, amNotMember };

// What the system says of a SID.
struct TSidFacts {
  std::string Name;  // "DOMAIN\name" as LookupAccountSid gives it; empty when it is not found
  SID_NAME_USE Use = SidTypeUnknown;
  bool ThisComputer = false;           // the computer's own account (DOMAIN\NAME$)
  TAdminMembership Admin = amUnknown;  // asked for user and computer accounts only
};

// Where SIDs are looked up: the system, or a table in tests.
class TSidLookup {
 public:
  virtual ~TSidLookup() = default;
  virtual TSidFacts Facts(PSID sid) = 0;
};

// The system's answers, each SID asked once in the life of the program. An account is a member
// of Administrators when the group lists its SID (NetLocalGroupGetMembers); when the group also
// holds groups, which may hold it in turn (a domain's groups), when NetUserGetLocalGroups counts
// Administrators among its direct and indirect groups. When neither can be read, it is unknown.
TSidLookup& SystemSidLookup();

}  // namespace brenlow

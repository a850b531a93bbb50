#pragma once
// Who, besides administrators and the system, may change a file or folder the service runs or
// reads. The service runs as LocalSystem: whoever can change its program, its settings, its
// interpreter or its scripts can make it run their code with the system's rights.

#include <windows.h>

#include <string>
#include <vector>

#include "check/CheckLine.h"
#include "common/SecurityDescriptor.h"

namespace brenlow {

// One entry of an access list that gives a right to change the object to a group that should
// not have it, or the lack of any access list.
struct TAccessFinding {
  // clFail for a broad group (Everyone, Users, Authenticated Users, INTERACTIVE, Guests,
  // ANONYMOUS LOGON) or no access list at all; clWarn for a low-privilege service identity
  // (IIS_IUSRS, IUSR, NETWORK SERVICE, LOCAL SERVICE).
  TCheckLevel Level = clFail;
  std::string Trustee;  // the group's name; empty for a missing access list
  // The rights to change the object that the entry leaves to the group (generic rights mapped
  // to a file's, less what earlier deny entries took away).
  ACCESS_MASK Rights = 0;
  std::string Text;  // e.g. "Everyone may write, append, delete (entry 0x001301ff)"
};

// The findings for a security descriptor's access list, in the list's order. Only allow
// entries that apply to the object itself count, each less the rights that earlier deny
// entries refused to the same group or to Everyone, as the system's access check takes them.
// Named accounts, administrators and the system are not judged. Empty when nothing is found.
std::vector<TAccessFinding> ReviewAccessList(PSECURITY_DESCRIPTOR descriptor);

}  // namespace brenlow

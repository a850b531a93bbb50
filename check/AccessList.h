#pragma once
// Who, besides administrators and the system, may change a file or folder the service runs or
// reads. The service runs as LocalSystem: whoever can change its program, its settings, its
// interpreter or its scripts can make it run their code with the system's rights.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "check/CheckLine.h"
#include "common/SecurityDescriptor.h"

namespace brenlow {

// How the holder of an access-list entry is judged when the entry lets it change the object.
struct TTrusteeVerdict {
  TCheckLevel Level = clWarn;  // clOk: it may hold rights to change the object without a finding
  const char* Name = nullptr;  // the name the check gives it; null when it has none here
};

// The verdict over a SID's plain parts: its identifier authority (the six bytes as a number),
// its sub-authorities, and the type LookupAccountSid gave it (SidTypeUnknown when it cannot be
// looked up). SYSTEM, Administrators, TrustedInstaller, the creator-owner and owner-rights
// placeholders and individual accounts (a user or a computer) pass. A broad group (Everyone,
// Users, Authenticated Users, the logon-type groups, Local account, Guests, ANONYMOUS LOGON,
// Domain Users, Domain Guests, Domain Computers, Remote Desktop Users, the Guest account and the
// like) fails, known by its form whatever the lookup says. Any other group warns, and so does a
// SID that cannot be looked up and has no known form: nobody can tell whom it stands for.
TTrusteeVerdict JudgeTrustee(uint64_t authority, const std::vector<DWORD>& subAuthorities,
                             SID_NAME_USE lookedUp);

// One entry of an access list that gives a right to change the object to a group that should
// not have it, or the lack of any access list.
struct TAccessFinding {
  TCheckLevel Level = clFail;  // of JudgeTrustee; clFail for a missing access list
  // The holder's name: the check's own for a well-known group, otherwise the looked-up name (or
  // what its form says) with the SID, e.g. "Domain Users (S-1-5-21-1-2-3-513)"; empty for a
  // missing access list.
  std::string Trustee;
  // The rights to change the object that the entry leaves to the holder (generic rights mapped
  // to a file's, less what earlier deny entries took away).
  ACCESS_MASK Rights = 0;
  std::string Text;  // e.g. "Everyone may write, append, delete (entry 0x001301ff)"
};

// The findings for a security descriptor's access list, in the list's order. Allow entries that
// apply to the object itself count, each less the rights that earlier deny entries refused to
// the same SID or to Everyone (which does not hold ANONYMOUS LOGON), as the system's access check
// takes them. For a folder its inheritable entries (object-inherit) are judged once more, in
// their order, as they will apply to every file created in it. Empty when nothing is found.
std::vector<TAccessFinding> ReviewAccessList(PSECURITY_DESCRIPTOR descriptor, bool folder = false);

}  // namespace brenlow

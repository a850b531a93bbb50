#pragma once
// Who, besides administrators and the system, may change a file or folder the service runs or
// reads, or replace a folder on the way to it. The service runs as LocalSystem: whoever can
// change its program, its settings, its interpreter or its scripts can make it run their code
// with the system's rights.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "check/CheckLine.h"
#include "check/SidLookup.h"
#include "common/SecurityDescriptor.h"

namespace brenlow {

// How the holder of an access-list entry, or an owner, is judged when it may change the object.
struct TTrusteeVerdict {
  TCheckLevel Level = clWarn;  // clOk: it may hold rights to change the object without a finding
  const char* Name = nullptr;  // the name the check gives it; null when it has none here
  const char* Why = nullptr;   // for an account that warns: why it is not taken as an administrator
};

// The verdict over a SID's plain parts: its identifier authority (the six bytes as a number),
// its sub-authorities, and what a lookup says of it. SYSTEM, Administrators, TrustedInstaller,
// the creator-owner and owner-rights placeholders (an owner is judged as itself), the computer's
// own account and accounts that are members of Administrators pass. A broad group (Everyone,
// Users, Authenticated Users, the logon-type groups, Local account, Guests, ANONYMOUS LOGON,
// Domain Users, Domain Guests, Domain Computers, Remote Desktop Users, the Guest account and the
// like) fails, known by its form whatever the lookup says. Any other group or account warns, and
// so does a SID that cannot be looked up and has no known form: nobody can tell whom it stands
// for.
TTrusteeVerdict JudgeTrustee(uint64_t authority, const std::vector<DWORD>& subAuthorities,
                             const TSidFacts& facts);

// One step that takes a finding's rights away, as an administrator's icacls command does it.
struct TCloseStep {
  std::string Object;      // the file or folder to change; empty: the one reviewed
  bool Folder = false;     // it is a folder: what it passes to its contents changes too
  std::string Sid;         // whose allow entries are cut down to reading
  bool Inherited = false;  // those entries come from the folder above it
  bool AsOwner = false;    // the SID holds the rights as the owner: Administrators take ownership
};

// Something that lets a group or account change the object, or the lack of any access list.
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
  std::vector<TCloseStep> Close;
};

// The findings for a security descriptor's access list and owner, in the list's order. Allow
// entries that apply to the object itself count, each less the rights that earlier deny entries
// refused to the same SID or to Everyone (which does not hold ANONYMOUS LOGON), as the system's
// access check takes them. The owner may always change the access list, unless an OWNER RIGHTS
// entry says what the owner may do instead; a group as owner gives that to each member. For a
// folder its inheritable entries (object-inherit) are judged once more, in their order, as they
// will apply to every file created in it. Empty when nothing is found.
std::vector<TAccessFinding> ReviewAccessList(PSECURITY_DESCRIPTOR descriptor, bool folder = false,
                                             TSidLookup& lookup = SystemSidLookup());

// A folder on the way to a path, with the folder that holds it.
struct TFolderStep {
  std::string Folder;
  std::string Parent;  // a drive's or share's root ends with "\"
};

// The folders whose replacement replaces what lies in `folder`: `folder` itself, then each one
// above it, up to the last one below its drive's root (or a share's, \\server\share\). A root
// cannot be renamed or deleted and is never among them.
std::vector<TFolderStep> FoldersUpToRoot(const std::string& folder);

// Who may rename or delete a folder (its descriptor `folder`) and create another in its place in
// the folder above it (`parent`): DELETE on it or FILE_DELETE_CHILD on the parent, with the right
// to create a folder in the parent; WRITE_DAC, WRITE_OWNER or ownership of either gives the rest.
// Broad groups are taken as held by every user together; another group or account is judged with
// what they hold besides. One finding for the broad groups, or one for each account or group that
// completes what they hold.
std::vector<TAccessFinding> ReviewReplacement(PSECURITY_DESCRIPTOR folder,
                                              const std::string& parentPath,
                                              PSECURITY_DESCRIPTOR parent,
                                              TSidLookup& lookup = SystemSidLookup());

// The icacls commands, joined with " && ", that close the findings for path: the entries they
// name are cut down to reading and running (after the object stops inheriting, when they are
// inherited), and Administrators take ownership from an owner that should not have it. Empty
// when no step is known.
std::string CloseCommand(const std::string& path, const std::vector<TAccessFinding>& findings);

}  // namespace brenlow

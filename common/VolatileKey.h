#pragma once
// A registry key that the running service keeps only while the machine runs, with an access list
// of its own.

#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"

namespace brenlow {

// Deletes the key at path below root, with everything below it, and makes it afresh: volatile
// (gone at the next reboot), with the access list of sddl and, when sddl names one, its owner,
// opened with access. The keys above it are made as any key, with what they inherit (a key made
// along a path would get this one's options and access list all the way up). A key left by an
// earlier process, or made by someone beforehand, may not be volatile or may let others write:
// none of it is kept. Wine keeps no descriptor given at creation, so the descriptor is set once
// more; a key whose descriptor cannot be set is deleted again. Empty when a step failed, and for a
// path without a key above it.
UniqueRegKey RecreateVolatileKey(HKEY root, const std::string& path, const char* sddl,
                                 REGSAM access) noexcept;

}  // namespace brenlow

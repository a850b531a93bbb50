#pragma once
// Small helpers around Windows error codes shared by every subsystem.

#include <windows.h>

#include <string>

namespace brenlow {

// The full path of the running executable, as GetModuleFileNameA gives it for the process's own
// module. The buffer grows until the whole path fits, so paths longer than MAX_PATH survive.
std::string ExecutablePath();

// The full path of an opened process's executable (QueryFullProcessImageNameA, which needs
// PROCESS_QUERY_LIMITED_INFORMATION); empty when it cannot be read, with the error left as the
// last error.
std::string ProcessImagePath(HANDLE process);

// The system's message text for a Windows error code (FormatMessageA, system table, default
// language), without the trailing line end the system appends. Empty when the system has none.
std::string SystemErrorText(DWORD code);

// A Windows error code as every message of this program gives it: "error 2 (The system cannot
// find the file specified.)", or "error N" alone when the system has no text for it.
std::string ErrorText(DWORD code);

// A process's exit code as people read it: in decimal, or in hex from 0x10000 on, where exit
// codes are NTSTATUS values (a crash gives "0xC0000005").
std::string ExitCodeText(DWORD code);

}  // namespace brenlow

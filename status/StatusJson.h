#pragma once
// brenlow.exe --status --json: the report as one JSON object, for the tools that watch many hosts
// (PowerShell's ConvertFrom-Json, configuration management, monitoring). Plain ASCII, so that it
// arrives intact whatever code page the reader decodes a program's output with: every other
// character is written as \uXXXX. Times are ISO 8601 UTC, durations milliseconds.

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "status/StatusReport.h"

namespace brenlow {

// The version of the object's layout: raised when a member changes its meaning or goes away, not
// when one is added.
inline constexpr int kStatusJsonFormat = 1;

// The members of one JSON object, in order: a name and its value as JSON text.
using TJsonMembers = std::vector<std::pair<const char*, std::string>>;

// {"name": value, ...} on one line; with lineStart ("\r\n" and an indent), each member on a line
// of its own that starts with it, and the closing brace on a line of its own.
std::string JsonObject(const TJsonMembers& members, const std::string& lineStart = "");
// A text of the given code page as a JSON string, in quotes and ASCII only: quotes, backslashes
// and control characters escaped as JSON says, every character beyond ASCII as \uXXXX (two of
// them for a character outside the Basic Multilingual Plane).
std::string JsonString(const std::string& text, UINT codePage = CP_ACP);
// A FILETIME as "2025-12-09T14:03:27.123Z"; null for 0 (never).
std::string JsonTime(uint64_t fileTime);

// The report of MakeStatusReport as one JSON object, lines ended with CR LF. The companion and the
// scripts are null and empty unless the report shows the service's own status.
std::string StatusJson(const TServiceState& service, const TAgentStatus& status,
                       const TStatusReport& report, uint64_t now);

}  // namespace brenlow

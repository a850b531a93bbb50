#pragma once
// Reads Wine's event-log trace: Wine stores no event-log entries, but with
// WINEDEBUG=-all,+eventlog,fixme+advapi,+pid every OpenEventLog and ReportEvent call is traced
// on the calling process's stderr. The test bed sends the trace of services.exe (and so of every
// service it starts) to one file; tests read the entries back from there.

#include <cstdint>
#include <string>
#include <vector>

namespace brenlow::test {

struct TraceEntry {
  std::string process;  // Wine's process id, hex as traced
  std::string thread;   // Wine's thread id, hex as traced
  std::string source;   // source of the latest OpenEventLog in that process ("" if none)
  unsigned type = 0;    // EVENTLOG_*_TYPE
  unsigned category = 0;
  unsigned eventId = 0;
  unsigned stringCount = 0;
  std::string text;      // the insertion strings, unescaped, joined by "\n"
  bool hasText = false;  // a text line followed (Wine prints none for zero strings)
};

// Parses trace text into entries, in the order of their ReportEvent calls.
std::vector<TraceEntry> ParseEventTrace(const std::string& trace);

// Undoes Wine's debugstr escaping of a wide string's body (\n, \r, \t, \", \\, \xxxx).
// Characters above 0xFF are replaced by '?'.
std::string UnescapeDebugString(const std::string& body);

// The trace file of the test bed, read from the point where this object was created, so a test
// sees only what happened after it began.
class TraceFile {
 public:
  TraceFile();  // the test bed's trace file
  // The copy of this test process's own stderr, where the trace of every child process that it
  // starts ends up (Wine traces to the Unix stderr a process inherited).
  static TraceFile OfChildren();
  explicit TraceFile(std::string path);
  std::vector<TraceEntry> Entries() const;  // entries written since construction
  std::string Text() const;                 // raw trace text since construction
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::uint64_t start_ = 0;
};

// The test bed's trace file path (%BRENLOW_TESTBED%\eventlog-trace.log).
std::string TestbedTracePath();

// The path behind TraceFile::OfChildren() (%BRENLOW_STDERR_LOG%).
std::string ChildrenTracePath();

// The WINEDEBUG value that makes a process trace its event-log calls.
inline constexpr const char* kEventTraceDebug = "WINEDEBUG=-all,+eventlog,fixme+advapi,+pid";

}  // namespace brenlow::test

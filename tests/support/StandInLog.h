#pragma once
// Reading the log that the interpreter stand-in (php_standin.exe) appends to, and the clock
// its time stamps come from.

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace brenlow::test {

// Microseconds of the performance counter: one monotonic clock shared by every process.
inline long long MonotonicMicroseconds() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER counter{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  const long long f = frequency.QuadPart;
  const long long c = counter.QuadPart;
  return c / f * 1000000 + c % f * 1000000 / f;
}

struct StandInRecord {
  std::string kind;  // "start" or "end"
  DWORD pid = 0;
  unsigned long long tick = 0;
  long long us = 0;
  std::string commandLine;  // start records only
};

// Parses the log's text; a line not yet complete (no line end) is left out.
inline std::vector<StandInRecord> ParseStandInLog(const std::string& text) {
  std::vector<StandInRecord> records;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = text.substr(start, end - start);
    std::vector<std::string> fields;
    size_t from = 0;
    for (int i = 0; i < 4; ++i) {
      const size_t tab = line.find('\t', from);
      if (tab == std::string::npos) break;
      fields.push_back(line.substr(from, tab - from));
      from = tab + 1;
    }
    if (fields.size() != 4) continue;
    StandInRecord record;
    record.kind = fields[0];
    record.pid = std::strtoul(fields[1].c_str(), nullptr, 10);
    record.tick = std::strtoull(fields[2].c_str(), nullptr, 10);
    record.us = std::strtoll(fields[3].c_str(), nullptr, 10);
    record.commandLine = line.substr(from);
    records.push_back(record);
  }
  return records;
}

// Only the records of one kind, in log order.
inline std::vector<StandInRecord> OfKind(const std::vector<StandInRecord>& records,
                                         const std::string& kind) {
  std::vector<StandInRecord> result;
  for (const auto& r : records)
    if (r.kind == kind) result.push_back(r);
  return result;
}

}  // namespace brenlow::test

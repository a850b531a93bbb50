#include "tests/support/EventTrace.h"

#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

// Splits "P:T:class:channel:function rest" into its pieces; false for other lines.
struct TraceLine {
  std::string process, thread, level, channel, function, rest;
};

bool SplitLine(const std::string& line, TraceLine& out) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t colon = line.find(':', pos);
    if (colon == std::string::npos) return false;
    parts.push_back(line.substr(pos, colon - pos));
    pos = colon + 1;
  }
  const size_t space = line.find(' ', pos);
  out.process = parts[0];
  out.thread = parts[1];
  out.level = parts[2];
  out.channel = parts[3];
  out.function = line.substr(pos, space == std::string::npos ? std::string::npos : space - pos);
  out.rest = space == std::string::npos ? std::string() : line.substr(space + 1);
  return true;
}

// The body of the first L"..." in text, escapes kept.
bool QuotedBody(const std::string& text, std::string& body) {
  const size_t open = text.find("L\"");
  if (open == std::string::npos) return false;
  size_t i = open + 2;
  std::string result;
  while (i < text.size()) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      result += text.substr(i, 2);
      i += 2;
      continue;
    }
    if (text[i] == '"') {
      body = result;
      return true;
    }
    result += text[i++];
  }
  return false;
}

std::vector<std::string> Fields(const std::string& rest) {
  // "(a,b,c,...): stub"
  std::vector<std::string> fields;
  const size_t open = rest.find('(');
  const size_t close = rest.find(')');
  if (open == std::string::npos || close == std::string::npos) return fields;
  std::stringstream in(rest.substr(open + 1, close - open - 1));
  std::string field;
  while (std::getline(in, field, ',')) fields.push_back(field);
  return fields;
}

unsigned Hex(const std::string& s) {
  return static_cast<unsigned>(std::strtoul(s.c_str(), nullptr, 16));
}

}  // namespace

std::string UnescapeDebugString(const std::string& body) {
  std::string out;
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\\' || i + 1 >= body.size()) {
      out += body[i];
      continue;
    }
    const char c = body[++i];
    switch (c) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        if (std::isxdigit(static_cast<unsigned char>(c)) && i + 3 < body.size()) {
          const unsigned code = Hex(body.substr(i, 4));
          out += code <= 0xFF ? static_cast<char>(code) : '?';
          i += 3;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::vector<TraceEntry> ParseEventTrace(const std::string& trace) {
  std::vector<TraceEntry> entries;
  std::map<std::string, std::string> sourceByProcess;
  // Index of the latest entry of each thread that still waits for its text line.
  std::map<std::string, size_t> pendingByThread;
  std::stringstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    TraceLine t;
    if (!SplitLine(line, t)) continue;
    const std::string threadKey = t.process + ":" + t.thread;
    if (t.channel == "advapi" && t.function == "OpenEventLogW") {
      // ((null),L"NAME") stub
      std::string body;
      if (QuotedBody(t.rest, body)) sourceByProcess[t.process] = UnescapeDebugString(body);
    } else if (t.channel == "advapi" &&
               (t.function == "ReportEventA" || t.function == "ReportEventW")) {
      // ReportEventA forwards to ReportEventW, which traces the same call again.
      auto pending = pendingByThread.find(threadKey);
      if (t.function == "ReportEventW" && pending != pendingByThread.end() &&
          !entries[pending->second].hasText)
        continue;
      const auto f = Fields(t.rest);
      if (f.size() < 6) continue;
      TraceEntry e;
      e.process = t.process;
      e.thread = t.thread;
      e.source = sourceByProcess[t.process];
      e.type = Hex(f[1]);
      e.category = Hex(f[2]);
      e.eventId = Hex(f[3]);
      e.stringCount = Hex(f[5]);
      entries.push_back(e);
      pendingByThread[threadKey] = entries.size() - 1;
    } else if (t.channel == "eventlog" && t.function == "ReportEventW") {
      auto pending = pendingByThread.find(threadKey);
      std::string body;
      if (pending == pendingByThread.end() || !QuotedBody(t.rest, body)) continue;
      TraceEntry& e = entries[pending->second];
      if (e.hasText) e.text += "\n";
      e.text += UnescapeDebugString(body);
      e.hasText = true;
    }
  }
  return entries;
}

std::string TestbedTracePath() { return TestbedPath("eventlog-trace.log"); }

std::string ChildrenTracePath() {
  const char* path = std::getenv("BRENLOW_STDERR_LOG");
  return path ? path : "";
}

TraceFile::TraceFile() : TraceFile(TestbedTracePath()) {}

TraceFile TraceFile::OfChildren() { return TraceFile(ChildrenTracePath()); }

TraceFile::TraceFile(std::string path) : path_(std::move(path)) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data))
    start_ = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string TraceFile::Text() const {
  const std::string all = ReadFileText(path_);
  return all.size() > start_ ? all.substr(start_) : std::string();
}

std::vector<TraceEntry> TraceFile::Entries() const { return ParseEventTrace(Text()); }

}  // namespace brenlow::test

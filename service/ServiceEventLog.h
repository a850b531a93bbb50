#pragma once
// ServiceEventLog: the service host's own event log writer, whose source is the executable's
// base name.

#include <memory>
#include <string>

namespace brenlow {

class TServiceEventLog {
 public:
  virtual ~TServiceEventLog() = default;
  virtual void LogError(const std::string& text) = 0;
  virtual void LogInfo(const std::string& text) = 0;
  virtual void UnregisterSource() = 0;
};

// Creates the writer and registers its source, with the running executable as message file.
std::unique_ptr<TServiceEventLog> CreateServiceEventLog();

}  // namespace brenlow

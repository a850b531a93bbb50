#include "service/DaemonErrors.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "common/SystemError.h"

namespace brenlow {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (length > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    result.assign(buffer.data(), static_cast<std::size_t>(length));
  }
  va_end(args);
  return result;
}

std::string OSErrorMessage(DWORD code) {
  if (code == 0) return "An operating system call failed.";
  return Format("System error, (OS Code %lu):\r\n%s", static_cast<unsigned long>(code),
                SystemErrorText(code).c_str());
}

EOSError::EOSError(DWORD code, const void* address)
    : EHostError(OSErrorMessage(code), address), ErrorCode(code) {}

// Not inlined, so the return address is the raising call in the caller.
__attribute__((noinline)) void RaiseDaemonError(const std::string& message) {
  throw EDaemon(message, __builtin_return_address(0));
}

__attribute__((noinline)) void RaiseOSError(DWORD code) {
  throw EOSError(code, __builtin_return_address(0));
}

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

std::string ExceptionText(const void* address, const std::string& kind,
                          const std::string& message) {
  std::string text = kind + ":\n" + message;
  if (text.back() != '.') text += '.';
  std::string line = Format("Exception at %p: %s", address, text.c_str());
  if (line.size() > 255) line.resize(255);
  return line;
}

}  // namespace brenlow

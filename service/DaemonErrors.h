#pragma once
// The errors the service host raises, and the text it prints for an error that ends a command.

#include <windows.h>

#include <stdexcept>
#include <string>

namespace brenlow {

// Base of the host's errors: a kind name and the code address at which the error was raised.
class EHostError : public std::runtime_error {
 public:
  EHostError(const std::string& message, const void* address)
      : std::runtime_error(message), Address(address) {}
  virtual const char* ClassName() const = 0;
  const void* Address;
};

// A definition or registration fault.
class EDaemon : public EHostError {
 public:
  using EHostError::EHostError;
  const char* ClassName() const override { return "EDaemon"; }
};

// A failing Windows call during install or uninstall.
class EOSError : public EHostError {
 public:
  EOSError(DWORD code, const void* address);
  const char* ClassName() const override { return "EOSError"; }
  DWORD ErrorCode;
};

// "System error, (OS Code %d):\r\n%s", or "An operating system call failed." for code 0.
std::string OSErrorMessage(DWORD code);

// Raise at the caller's code address, which is what the exception text shows.
[[noreturn]] void RaiseDaemonError(const std::string& message);
[[noreturn]] void RaiseOSError(DWORD code);

// "Exception at %p: KIND:\nMESSAGE", a full stop added when missing, cut to 255 characters.
std::string ExceptionText(const void* address, const std::string& kind, const std::string& message);

// The message of the exception being handled (call only inside a catch block).
std::string CurrentExceptionMessage();

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

}  // namespace brenlow

#include "common/SystemError.h"

#include <cstdio>
#include <vector>

namespace brenlow {

std::string ExecutablePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return {};
    // A path that filled the buffer may have been cut: try again with twice the room.
    if (length < size) return std::string(buffer.data(), length);
    if (buffer.size() >= 32768) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::string ProcessImagePath(HANDLE process) {
  std::vector<char> path(32768);
  DWORD size = static_cast<DWORD>(path.size());
  if (!QueryFullProcessImageNameA(process, 0, path.data(), &size)) return {};
  return std::string(path.data(), size);
}

std::string SystemErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return {};
  std::string result(text, length);
  LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  return result;
}

std::string ErrorText(DWORD code) {
  const std::string text = SystemErrorText(code);
  return "error " + std::to_string(code) + (text.empty() ? "" : " (" + text + ")");
}

std::string ExitCodeText(DWORD code) {
  if (code < 0x10000) return std::to_string(code);
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

}  // namespace brenlow

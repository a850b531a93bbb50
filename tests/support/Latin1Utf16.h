#pragma once
// A UTF-16LE settings file made from single bytes and read back, with Latin-1 (the first 256
// code points) standing in for the ANSI code page: needs no Windows, so the unit tests and the
// native fuzz target share it.

#include <optional>
#include <string>
#include <string_view>

namespace brenlow::test {

// The bytes as a UTF-16LE file with its byte-order mark, each byte one Latin-1 character.
inline std::string AsUtf16(const std::string& bytes) {
  std::string file = "\xFF\xFE";
  for (char c : bytes) file += {c, '\0'};
  return file;
}

// UTF-16 to single bytes for the first 256 code points, nothing for the rest.
inline std::optional<std::string> Latin1(std::u16string_view text) {
  std::string bytes;
  for (char16_t c : text) {
    if (c > 0xFF) return std::nullopt;
    bytes += static_cast<char>(c);
  }
  return bytes;
}

}  // namespace brenlow::test

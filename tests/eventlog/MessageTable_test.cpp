// The message table in brenlow.exe, read as the Event Viewer reads it: the executable loaded as
// a data file and each identifier formatted for language 0x0109.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

namespace brenlow::test {
namespace {

constexpr WORD kLanguage = 0x0109;

UniqueLibrary LoadBrenlow() {
  return UniqueLibrary(
      LoadLibraryExA(ProgramPath("brenlow.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
}

// The message's text, inserts left as they are; sets error to GetLastError() on failure.
std::string Message(HMODULE module, DWORD id, WORD language, DWORD& error) {
  char buffer[256];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      module, id, language, buffer, sizeof(buffer), nullptr);
  error = length == 0 ? GetLastError() : 0;
  return std::string(buffer, length);
}

TEST(MessageTable, HoldsTheCategoryNamesAndEventMessages) {
  const UniqueLibrary module = LoadBrenlow();
  ASSERT_TRUE(module) << GetLastError();
  const struct {
    DWORD id;
    const char* text;
  } messages[] = {
      {1, "Information\r\n"},    {2, "Warning\r\n"},      {3, "Error\r\n"},
      {4, "Debug\r\n"},          {1000, "%1.\r\n"},       {1001, "Information: %1\r\n"},
      {1002, "Warning: %1\r\n"}, {1003, "Error: %1\r\n"}, {1004, "Debug: %1\r\n"},
  };
  for (const auto& m : messages) {
    DWORD error = 0;
    EXPECT_EQ(Message(module.get(), m.id, kLanguage, error), m.text) << m.id << " error " << error;
  }
  DWORD error = 0;
  EXPECT_EQ(Message(module.get(), 5, kLanguage, error), "");
  EXPECT_EQ(Message(module.get(), 999, kLanguage, error), "");

  // What the Event Viewer shows for an entry with an empty message.
  char shown[64];
  const char* inserts[] = {""};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                      module.get(), 1001, kLanguage, shown, sizeof(shown),
                                      reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
  EXPECT_EQ(std::string(shown, length), "Information: \r\n");
}

TEST(MessageTable, ExistsInLanguage0x0109Only) {
  const UniqueLibrary module = LoadBrenlow();
  ASSERT_TRUE(module) << GetLastError();
  DWORD error = 0;
  EXPECT_EQ(Message(module.get(), 1001, 0x0409, error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));

  std::vector<WORD> languages;
  EnumResourceLanguagesA(
      module.get(), MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1),
      [](HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR found) -> BOOL {
        reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  EXPECT_EQ(languages, std::vector<WORD>{kLanguage});
}

// Each message has a block of its own, and each text is single-byte, null-terminated and padded
// to four bytes.
TEST(MessageTable, StoresEachMessageInItsOwnBlock) {
  const UniqueLibrary module = LoadBrenlow();
  ASSERT_TRUE(module) << GetLastError();
  HRSRC found = FindResourceExA(module.get(), MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1), kLanguage);
  ASSERT_NE(found, nullptr);
  const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module.get(), found)));
  const DWORD size = SizeofResource(module.get(), found);
  ASSERT_NE(data, nullptr);
  auto dword = [&](DWORD at) {
    DWORD value = 0;
    std::memcpy(&value, data + at, sizeof(value));
    return value;
  };
  const DWORD ids[] = {1, 2, 3, 4, 1000, 1001, 1002, 1003, 1004};
  ASSERT_EQ(dword(0), 9u);
  for (DWORD block = 0; block < 9; ++block) {
    const DWORD at = 4 + 12 * block;
    EXPECT_EQ(dword(at), ids[block]);
    EXPECT_EQ(dword(at + 4), ids[block]);
    const DWORD entry = dword(at + 8);
    ASSERT_LT(entry + 4, size);
    const WORD length = static_cast<WORD>(dword(entry) & 0xFFFF);
    const WORD flags = static_cast<WORD>(dword(entry) >> 16);
    EXPECT_EQ(flags, 0u) << ids[block];
    EXPECT_EQ(length % 4, 0u) << ids[block];
    ASSERT_LE(entry + length, size);
    EXPECT_EQ(data[entry + length - 1], 0) << ids[block];
  }
}

}  // namespace
}  // namespace brenlow::test

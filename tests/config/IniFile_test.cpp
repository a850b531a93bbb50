// The configuration reader: parsing rules over bytes, and reading real files under Wine.

#include "config/IniFile.h"

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "tests/support/Latin1Utf16.h"
#include "tests/support/TestSupport.h"

namespace brenlow {
namespace {

using namespace std::string_literals;

std::string Read(const std::string& file, const std::string& section, const std::string& key) {
  return ReadSetting(ParseIniFile(file), section, key, "<default>");
}

using test::AsUtf16;
using test::Latin1;

// Each row: file contents, the section and key asked for, and what comes back.
TEST(IniFileParsing, ReadSettingFollowsTheFileRules) {
  const struct {
    const char* what;
    std::string file, section, key, expected;
  } cases[] = {
      {"empty file", "", "General", "PHP_EXE_PATH", "<default>"},
      {"blank lines", "\r\n  \r\n\t\r\n", "General", "PHP_EXE_PATH", "<default>"},
      {"comments only", ";a\r\n; b\r\n", "General", "PHP_EXE_PATH", "<default>"},
      {"plain", "[General]\r\nPHP_EXE_PATH=C:\\php\\php.exe\r\n", "General", "PHP_EXE_PATH",
       "C:\\php\\php.exe"},
      {"lower-case header, mixed-case key", "[general]\nphp_Exe_Path=x\n", "General",
       "PHP_EXE_PATH", "x"},
      {"only a to z fold", "[G\xC9N]\nk=1\n", "g\xE9n", "k", "<default>"},
      {"spaces inside brackets", "[ General ]\nPHP_EXE_PATH=x\n", "General", "PHP_EXE_PATH",
       "<default>"},
      {"spaces inside brackets, asked as is", "[ General ]\nk=x\n", " General ", "k", "x"},
      {"key before any header", "PHP_EXE_PATH=x\n[General]\n", "General", "PHP_EXE_PATH",
       "<default>"},
      {"header with trailing comment", "[General] ; main\nPHP_EXE_PATH=x\n", "General",
       "PHP_EXE_PATH", "<default>"},
      {"header with trailing text: keys stay in the section before", "[Other]\n[General] x\nk=1\n",
       "Other", "k", "1"},
      {"second General never searched", "[General]\na=1\n[General]\nb=2\n", "General", "b",
       "<default>"},
      {"first General wins", "[General]\nk=1\n[General]\nk=2\n", "General", "k", "1"},
      {"first key wins", "[General]\nk=1\nK=2\n", "General", "k", "1"},
      {"trimming", "[General]\n \t PHP_EXE_PATH \t=\t C:\\a b\\php.exe \t \r\n", "General",
       "PHP_EXE_PATH", "C:\\a b\\php.exe"},
      {"control bytes trimmed", "[General]\n\x01k\x1f=\x02v\x7f\x00\n"s, "General", "k", "v\x7f"},
      {"NUL bytes inside a value stay", "[General]\nk=a\0b\n"s, "General", "k", "a\0b"s},
      {"double quotes removed", "[General]\nk=\"C:\\p h p\\php.exe\"\n", "General", "k",
       "C:\\p h p\\php.exe"},
      {"single quotes removed", "[General]\nk='x'\n", "General", "k", "x"},
      {"lone double quote", "[General]\nk=\"\n", "General", "k", "\""},
      {"two quotes give empty", "[General]\nk=\"\"\n", "General", "k", ""},
      {"mixed quotes kept", "[General]\nk=\"x'\n", "General", "k", "\"x'"},
      {"inner quotes kept", "[General]\nk=a\"b\"c\n", "General", "k", "a\"b\"c"},
      {"empty value", "[General]\nk=\n", "General", "k", ""},
      {"equals inside value", "[General]\nk=a=b==c\n", "General", "k", "a=b==c"},
      {"comment after value belongs to it", "[General]\nk=v ; note\n", "General", "k", "v ; note"},
      {"commented key", "[General]\n;k=1\n", "General", ";k=1", "<default>"},
      {"commented key not found by name", "[General]\n;k=1\n", "General", "k", "<default>"},
      {"line without equals", "[General]\njusttext\n", "General", "justtext", "<default>"},
      {"empty key name never found", "[General]\n=v\n", "General", "", "<default>"},
      {"BOM", "\xEF\xBB\xBF[General]\r\nk=v\r\n", "General", "k", "v"},
      {"BOM then blank first line", "\xEF\xBB\xBF\r\n[General]\r\nk=v\r\n", "General", "k", "v"},
      {"LF only", "[General]\nk=v\nz=w", "General", "z", "w"},
      {"CR only", "[General]\rk=v\rz=w\r", "General", "z", "w"},
      {"CR CR LF", "[General]\r\r\nk=v\r\r\n", "General", "k", "v"},
      {"last line without end", "[General]\r\nk=v", "General", "k", "v"},
      {"non-ASCII bytes as they are", "[General]\nWEB_ROOT_PATH=D:\\w\xE9\xC3\xA9\xFF\n", "General",
       "WEB_ROOT_PATH", "D:\\w\xE9\xC3\xA9\xFF"},
      {"comment before any header hides what follows", ";c\nk=v\n[General]\n", ";c", "k",
       "<default>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(c.file, c.section, c.key), c.expected) << c.what;
    // Saved as UTF-16 (as PowerShell 5 does), the same file gives the same settings. A UTF-8 mark
    // is text there, not a mark.
    if (c.file.rfind("\xEF\xBB\xBF", 0) == 0) continue;
    EXPECT_EQ(ReadSetting(ParseIniFile(AsUtf16(c.file), Latin1), c.section, c.key, "<default>"),
              c.expected)
        << "UTF-16: " << c.what;
  }
}

// In UTF-16, a value with a character that has no single-byte form counts as missing (the first
// key still hides later ones); a name with one is never found; an odd last byte is dropped.
TEST(IniFileParsing, Utf16ValuesWithoutASingleByteFormAreMissing) {
  const std::string file = AsUtf16("[General]\r\nk=") + "\x2D\x4E" +  // U+4E2D
                           AsUtf16("\r\nk=2\r\nother=3\r\n").substr(2) + "\x2D\x4E" +
                           AsUtf16("=4\r\n").substr(2) + "\x41";
  const auto sections = ParseIniFile(file, Latin1);
  EXPECT_EQ(ReadSetting(sections, "General", "k", "<default>"), "<default>");
  EXPECT_EQ(ReadSetting(sections, "General", "other", "<default>"), "3");
  ASSERT_EQ(sections.size(), 1u);
  ASSERT_EQ(sections[0].Keys.size(), 4u);
  EXPECT_EQ(sections[0].Keys[3].Name, "");
  EXPECT_EQ(sections[0].Keys[3].Value, "4");
}

TEST(IniFile, ReadsAFileAsItsBytesSay) {
  test::TempDir dir;
  const std::string path = dir / "brenlow.ini";
  test::WriteFileText(path,
                      "\xEF\xBB\xBF; written by the installer\r\n[General]\r\n"
                      "PHP_EXE_PATH = \"C:\\Program Files\\php\\php.exe\"\r\n"
                      "WEB_ROOT_PATH=D:\\web\\\r\n");
  const TIniFile config(path);
  EXPECT_EQ(config.ReadSetting("General", "PHP_EXE_PATH", ""), "C:\\Program Files\\php\\php.exe");
  EXPECT_EQ(config.ReadSetting("GENERAL", "web_root_path", ""), "D:\\web\\");
  EXPECT_EQ(config.ReadSetting("General", "MISSING", "fallback"), "fallback");
}

// A file saved as UTF-16LE reads as the same settings, in the ANSI code page.
TEST(IniFile, AFileSavedAsUtf16ReadsAsTheSameSettings) {
  test::TempDir dir;
  const std::string path = dir / "brenlow.ini";
  const std::u16string text =
      u"\uFEFF[General]\r\nPHP_EXE_PATH = \"C:\\Program Files\\php\\php.exe\"\r\n"
      u"WEB_ROOT_PATH=D:\\w\u00E9b\r\nOTHER=\u4E2D\r\n";
  test::WriteFileText(path,
                      std::string(reinterpret_cast<const char*>(text.data()), 2 * text.size()));
  const TIniFile config(path);
  EXPECT_EQ(config.ReadSetting("General", "PHP_EXE_PATH", ""), "C:\\Program Files\\php\\php.exe");
  // The Western European code page (Wine's default here) has the first letter and not the second.
  if (GetACP() != 1252) return;
  EXPECT_EQ(config.ReadSetting("General", "WEB_ROOT_PATH", ""),
            "D:\\w\xE9"
            "b");
  EXPECT_EQ(config.ReadSetting("General", "OTHER", "missing"), "missing");
}

TEST(IniFile, AMissingFileOrADirectoryHoldsNothing) {
  test::TempDir dir;
  const TIniFile missing(dir / "brenlow.ini");
  EXPECT_TRUE(missing.Sections().empty());
  EXPECT_EQ(missing.ReadSetting("General", "PHP_EXE_PATH", ""), "");
  ASSERT_TRUE(CreateDirectoryA((dir / "folder.ini").c_str(), nullptr));
  const TIniFile folder(dir / "folder.ini");
  EXPECT_TRUE(folder.Sections().empty());
}

// Another process holding the file open for writing keeps the reader out, and says so with the
// file's full path.
TEST(IniFile, AFileThatCannotBeOpenedRaisesUnableToOpenFile) {
  test::TempDir dir;
  const std::string path = dir / "brenlow.ini";
  test::WriteFileText(path, "[General]\nPHP_EXE_PATH=x\n");
  UniqueHandle writer(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writer);
  try {
    const TIniFile config(path);
    FAIL() << "no error for a file held open for writing";
  } catch (const EFOpenError& error) {
    EXPECT_STREQ(error.what(), ("Unable to open file \"" + path + "\"").c_str());
  }
  writer.reset();
  EXPECT_EQ(TIniFile(path).ReadSetting("General", "PHP_EXE_PATH", ""), "x");
}

TEST(ConfigFilePath, IsBrenlowIniBesideTheExecutable) {
  const struct {
    std::string executable, expected;
  } cases[] = {
      {"C:\\Program Files\\Tevrin\\brenlow.exe", "C:\\Program Files\\Tevrin\\brenlow.ini"},
      {"C:\\brenlow.exe", "C:\\\\brenlow.ini"},  // a drive root gives two separators
      {"D:/svc/brenlow.exe", "D:/svc\\brenlow.ini"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConfigFilePathFor(c.executable), c.expected);
  EXPECT_EQ(ConfigFilePath(), test::ThisExecutableDir() + "\\brenlow.ini");
}

}  // namespace
}  // namespace brenlow

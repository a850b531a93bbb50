// Who may change a file, read from access lists written in SDDL: the broad groups fail, other
// groups and the low-privilege service identities warn, individual accounts pass, a folder's
// inheritable entries count for the files created in it, and deny entries count as the system's
// access check takes them (in order). Under Wine a file's own list is made up from its Unix mode,
// so only lists written in SDDL can show these cases.

#include "check/AccessList.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"

namespace brenlow {
namespace {

// The SID of the account this test runs as: one that LookupAccountSid knows as a user anywhere.
std::string OwnUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  const UniqueHandle owned(token);
  BYTE buffer[512];
  DWORD size = 0;
  char* text = nullptr;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) ||
      !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
    return "";
  const std::string sid(text);
  LocalFree(text);
  return sid;
}

TEST(ReviewAccessList, JudgesTheGroupsThatMayChangeTheObject) {
  const std::string user = OwnUserSid();
  ASSERT_FALSE(user.empty());
  const std::string userWrites = "D:(A;;FA;;;SY)(A;;FW;;;" + user + ")";
  const struct {
    std::string sddl;
    TCheckLevel level;    // the worst finding; clOk for none
    std::string finding;  // the first finding's text
    bool folder = false;
  } cases[] = {
      {"D:(A;;FA;;;SY)(A;;FA;;;BA)", clOk, ""},
      // Wine's list of a file of mode 755: the owning user is a named account.
      {"D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-0-0-0-1000)(A;;0x1200a9;;;WD)", clOk, ""},
      {"D:(A;;FW;;;BU)", clFail, "Users may write, append (entry 0x00120116)"},
      {"D:(A;;0x4;;;AU)", clFail, "Authenticated Users may append (entry 0x00000004)"},
      {"D:(A;;GA;;;WD)", clFail,
       "Everyone may write, append, delete, delete contents, change permissions, take ownership "
       "(entry 0x10000000)"},
      {"D:(A;;GW;;;IU)(A;;WO;;;AN)", clFail, "INTERACTIVE may write, append (entry 0x40000000)"},
      {"D:(A;;SD;;;BG)", clFail, "Guests may delete (entry 0x00010000)"},
      // No access list at all. (Wine reads "D:NO_ACCESS_CONTROL" as an empty list.)
      {"O:BA", clFail, "it has no access list: everyone may change it"},
      {"D:", clOk, ""},  // an empty list grants nothing
      {"D:(A;;FR;;;WD)(A;;FA;;;BA)", clOk, ""},
      {"D:(A;OICIIO;FA;;;WD)", clOk, ""},  // only for what a folder will hold
      // A folder's inheritable entries, as every file created in it will have them.
      {"D:(A;;FA;;;SY)(A;OIIO;FW;;;BU)", clFail,
       "Users may write, append the files created in it (inheritable entry 0x00120116)", true},
      {"D:(A;CIIO;FW;;;BU)(A;OI;FR;;;BU)(A;OIIO;FA;;;CO)", clOk, "", true},  // subfolders, reading
      // Groups by their form: broad ones of a domain (or of the machine), any other group, and a
      // SID nobody can look up, which might be either.
      {"D:(A;;FW;;;S-1-5-21-1-2-3-513)", clFail,
       "Domain Users (S-1-5-21-1-2-3-513) may write, append (entry 0x00120116)"},
      {"D:(A;;FW;;;S-1-5-3)", clFail, "BATCH may write, append (entry 0x00120116)"},
      {"D:(A;;FW;;;S-1-5-32-555)(A;;FW;;;S-1-5-113)", clFail,
       "Remote Desktop Users may write, append (entry 0x00120116)"},
      {"D:(A;;FW;;;S-1-5-21-1-2-3-1105)", clWarn,
       "account or group not found (S-1-5-21-1-2-3-1105) may write, append (entry 0x00120116)"},
      {userWrites, clOk, ""},
      {"D:(A;;FW;;;S-1-5-32-568)", clWarn, "IIS_IUSRS may write, append (entry 0x00120116)"},
      {"D:(A;;FA;;;NS)(A;;FW;;;BU)", clFail,
       "NETWORK SERVICE may write, append, delete, delete "
       "contents, change permissions, take ownership "
       "(entry 0x001f01ff)"},
      // Deny entries take away what they refuse, to the same group or to Everyone, but only
      // from the allow entries after them.
      {"D:(D;;FA;;;WD)(A;;FA;;;WD)", clOk, ""},
      {"D:(D;;FW;;;WD)(A;;FA;;;BU)", clFail,
       "Users may delete, delete contents, change permissions, take ownership (entry 0x001f01ff)"},
      {"D:(D;;FA;;;BU)(A;;FA;;;WD)", clFail,
       "Everyone may write, append, delete, delete contents, change permissions, take ownership "
       "(entry 0x001f01ff)"},
      {"D:(A;;FA;;;WD)(D;;FA;;;WD)", clFail,
       "Everyone may write, append, delete, delete contents, change permissions, take ownership "
       "(entry 0x001f01ff)"},
      // Everyone does not hold ANONYMOUS LOGON: a deny for Everyone leaves it its rights.
      {"D:(D;;FA;;;WD)(A;;FW;;;AN)", clFail,
       "ANONYMOUS LOGON may write, append (entry 0x00120116)"},
  };
  for (const auto& c : cases) {
    const TSecurityDescriptor descriptor = TSecurityDescriptor::FromSddl(c.sddl);
    ASSERT_EQ(descriptor.Error(), 0u) << c.sddl;
    const std::vector<TAccessFinding> findings = ReviewAccessList(descriptor.get(), c.folder);
    TCheckLevel worst = clOk;
    for (const TAccessFinding& finding : findings) worst = std::max(worst, finding.Level);
    EXPECT_EQ(worst, c.level) << c.sddl;
    EXPECT_EQ(findings.empty() ? "" : findings[0].Text, c.finding) << c.sddl;
  }
}

// What a lookup adds for a SID that has no known form: an account passes, a group warns.
TEST(JudgeTrustee, TellsAnAccountFromAGroup) {
  const std::vector<DWORD> other{21, 1, 2, 3, 1105};
  const std::vector<DWORD> domainUsers{21, 1, 2, 3, 513};
  const struct {
    const std::vector<DWORD>& subs;
    SID_NAME_USE use;
    TCheckLevel level;
  } cases[] = {
      {other, SidTypeUser, clOk},
      {other, SidTypeComputer, clOk},
      {other, SidTypeGroup, clWarn},
      {other, SidTypeAlias, clWarn},
      {other, SidTypeWellKnownGroup, clWarn},
      {other, SidTypeUnknown, clWarn},
      {domainUsers, SidTypeGroup, clFail},
  };
  for (const auto& c : cases)
    EXPECT_EQ(JudgeTrustee(5, c.subs, c.use).Level, c.level) << c.subs.back() << " " << c.use;
  EXPECT_EQ(JudgeTrustee(5, {32, 545}, SidTypeAlias).Level, clFail);    // Users
  EXPECT_EQ(JudgeTrustee(5, {18}, SidTypeWellKnownGroup).Level, clOk);  // SYSTEM
}

}  // namespace
}  // namespace brenlow

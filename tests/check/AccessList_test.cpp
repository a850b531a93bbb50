// Who may change a file, read from access lists written in SDDL: the broad groups fail, the
// low-privilege service identities warn, and deny entries count as the system's access check
// takes them (in order).

#include "check/AccessList.h"

#include <gtest/gtest.h>

namespace brenlow {
namespace {

TEST(ReviewAccessList, JudgesTheGroupsThatMayChangeTheObject) {
  const struct {
    const char* sddl;
    TCheckLevel level;    // the worst finding; clOk for none
    const char* finding;  // the first finding's text
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
  };
  for (const auto& c : cases) {
    const TSecurityDescriptor descriptor = TSecurityDescriptor::FromSddl(c.sddl);
    ASSERT_EQ(descriptor.Error(), 0u) << c.sddl;
    const std::vector<TAccessFinding> findings = ReviewAccessList(descriptor.get());
    TCheckLevel worst = clOk;
    for (const TAccessFinding& finding : findings) worst = std::max(worst, finding.Level);
    EXPECT_EQ(worst, c.level) << c.sddl;
    EXPECT_EQ(findings.empty() ? "" : findings[0].Text, c.finding) << c.sddl;
  }
}

}  // namespace
}  // namespace brenlow

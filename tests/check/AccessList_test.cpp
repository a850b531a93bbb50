// Who may change a file, read from access lists written in SDDL: the broad groups fail, other
// groups, the low-privilege service identities and accounts outside Administrators warn, a
// folder's inheritable entries count for the files created in it, deny entries count as the
// system's access check takes them (in order), and so does the owner. Then who may replace a
// folder on the way, over Windows' own lists of a drive's root, Program Files and the folders
// made below them. Under Wine a file's own list is made up from its Unix mode, its owner is
// always an administrator and every account counts as one, so only lists written in SDDL and a
// table of accounts can show these cases.

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

// Accounts of a domain "DOM" as the system would describe them; any other SID is looked up.
class TAccounts final : public TSidLookup {
 public:
  TSidFacts Facts(PSID sid) override {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return {};
    const std::string key(text);
    LocalFree(text);
    const struct {
      const char* sid;
      TSidFacts facts;
    } known[] = {
        {"S-1-5-21-1-2-3-1201", {"DOM\\dev", SidTypeUser, false, amNotMember}},
        {"S-1-5-21-1-2-3-1202", {"DOM\\ops", SidTypeUser, false, amMember}},
        {"S-1-5-21-1-2-3-1203", {"DOM\\far", SidTypeUser, false, amUnknown}},
        {"S-1-5-21-1-2-3-1000", {"DOM\\HOST$", SidTypeComputer, true, amUnknown}},
        {"S-1-5-21-1-2-3-1205", {"DOM\\OTHER$", SidTypeComputer, false, amNotMember}},
    };
    for (const auto& k : known)
      if (key == k.sid) return k.facts;
    return SystemSidLookup().Facts(sid);
  }
};

TEST(ReviewAccessList, JudgesTheGroupsThatMayChangeTheObject) {
  const std::string user = OwnUserSid();
  ASSERT_FALSE(user.empty());
  const std::string userWrites = "D:(A;;FA;;;SY)(A;;FW;;;" + user + ")";
  const struct {
    std::string sddl;
    TCheckLevel level;    // the worst finding; clOk for none
    std::string finding;  // the first finding's text
    bool folder = false;
    std::string close = "";  // when given: the command that closes the findings on "P"
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
      // The owner may change the list, whatever the list says, unless OWNER RIGHTS says what
      // it may do instead; a group as owner gives that to each member.
      {"O:BUD:(A;;FA;;;SY)(A;;FA;;;BA)", clFail, "its owner Users may change permissions", false,
       "icacls \"P\" /setowner *S-1-5-32-544"},
      {"O:S-1-5-21-1-2-3-1201D:(A;;FA;;;BA)", clWarn,
       "its owner DOM\\dev (S-1-5-21-1-2-3-1201, not a member of Administrators) may change "
       "permissions"},
      {"O:S-1-5-21-1-2-3-1201D:(A;;FA;;;BA)(A;;FR;;;OW)", clOk, ""},
      {"O:BUD:(A;;FA;;;BA)(A;;FW;;;OW)", clFail, "its owner Users may write, append"},
      {"O:S-1-5-21-1-2-3-1202D:(A;;FA;;;BA)", clOk, ""},
      // Accounts: members of Administrators and the computer's own account pass, others warn.
      {"D:(A;;FA;;;S-1-5-21-1-2-3-1202)(A;;FA;;;S-1-5-21-1-2-3-1000)", clOk, ""},
      {"D:(A;;FW;;;S-1-5-21-1-2-3-1201)", clWarn,
       "DOM\\dev (S-1-5-21-1-2-3-1201, not a member of Administrators) may write, append (entry "
       "0x00120116)"},
      {"D:(A;;SD;;;S-1-5-21-1-2-3-1203)", clWarn,
       "DOM\\far (S-1-5-21-1-2-3-1203, whether it is a member of Administrators cannot be read) "
       "may delete (entry 0x00010000)"},
      {"D:(A;;SD;;;S-1-5-21-1-2-3-1205)", clWarn,
       "DOM\\OTHER$ (S-1-5-21-1-2-3-1205, not a member of Administrators) may delete (entry "
       "0x00010000)"},
      // A folder on the PATH made by an administrator in a client's C:\, and one that closes
      // the inherited entry its own way (explicit entries are only cut down).
      {"O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
       "(A;OICIID;0x1301bf;;;AU)",
       clFail, "Authenticated Users may write, append, delete (entry 0x001301bf)", true,
       "icacls \"P\" /inheritance:d && icacls \"P\" /grant:r *S-1-5-11:(OI)(CI)RX"},
      {"O:BAD:(A;OICI;FA;;;BA)(A;OICI;FW;;;BU)(A;OICIIO;FA;;;S-1-5-21-1-2-3-1201)", clFail,
       "Users may write, append (entry 0x00120116)", true,
       "icacls \"P\" /grant:r *S-1-5-32-545:(OI)(CI)RX *S-1-5-21-1-2-3-1201:(OI)(CI)RX"},
  };
  TAccounts accounts;
  for (const auto& c : cases) {
    const TSecurityDescriptor descriptor = TSecurityDescriptor::FromSddl(c.sddl);
    ASSERT_EQ(descriptor.Error(), 0u) << c.sddl;
    const std::vector<TAccessFinding> findings =
        ReviewAccessList(descriptor.get(), c.folder, accounts);
    TCheckLevel worst = clOk;
    for (const TAccessFinding& finding : findings) worst = std::max(worst, finding.Level);
    EXPECT_EQ(worst, c.level) << c.sddl;
    EXPECT_EQ(findings.empty() ? "" : findings[0].Text, c.finding) << c.sddl;
    if (!c.close.empty()) {
      EXPECT_EQ(CloseCommand("P", findings), c.close) << c.sddl;
    }
  }
  // A missing list lets everyone make a folder in it too, which a folder that does not exist
  // yet is judged by.
  const TSecurityDescriptor none = TSecurityDescriptor::FromSddl("O:BA");
  EXPECT_NE(ReviewAccessList(none.get()).at(0).Rights & FILE_ADD_SUBDIRECTORY, 0u);
}

// Who may rename or delete a folder and make another in its place, over the lists Windows gives
// a drive's root, Program Files and the folders an administrator or a user makes below them.
TEST(ReviewReplacement, JudgesEachFolderOnTheWayUp) {
  const std::string ti = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  // A client's C:\: Authenticated Users may make folders, which inherit "Modify" for them.
  const std::string clientRoot = "O:" + ti +
                                 "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
                                 "(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)";
  const std::string adminMadeOnClient =
      "O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
      "(A;OICIID;0x1301bf;;;AU)";
  // A server's C:\: Users may make folders and files below, and own what they make.
  const std::string serverRoot = "O:" + ti +
                                 "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                                 "(A;CI;0x4;;;BU)(A;CIIO;0x2;;;BU)(A;OICIIO;FA;;;CO)";
  const std::string madeOnServer =
      "D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;CIID;0x4;;;BU)"
      "(A;CIID;0x2;;;BU)";
  const std::string programFiles =
      "O:" + ti + "D:PAI(A;;FA;;;" + ti + ")(A;CIIO;GA;;;" + ti +
      ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
      "(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)"
      "(A;OICIIO;GXGR;;;AC)";
  const std::string agentFolder =
      "O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)"
      "(A;OICIID;0x1200a9;;;AC)";
  const struct {
    std::string folder, parent;
    TCheckLevel level;
    std::string finding = "";  // the first finding's text
    std::string close = "";
  } cases[] = {
      {adminMadeOnClient, clientRoot, clFail,
       "Authenticated Users may rename or delete it and create another in its place (delete it, "
       "create folders in C:\\)",
       "icacls \"F\" /inheritance:d && icacls \"F\" /grant:r *S-1-5-11:(OI)(CI)RX"},
      {"O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;AU)", clientRoot, clOk, ""},
      {programFiles, clientRoot, clOk, ""},
      {agentFolder, programFiles, clOk, ""},
      {"O:BA" + madeOnServer, serverRoot, clOk, ""},
      {"O:S-1-5-21-1-2-3-1201" + madeOnServer, serverRoot, clWarn,
       "DOM\\dev (S-1-5-21-1-2-3-1201, not a member of Administrators), Users may rename or "
       "delete it and create another in its place (own it, create folders in C:\\)",
       "icacls \"F\" /setowner *S-1-5-32-544"},
      {"O:S-1-5-21-1-2-3-1202" + madeOnServer, serverRoot, clOk, ""},
      // The parent's "delete contents" does for the folder's own DELETE.
      {"O:BAD:P(A;OICI;FA;;;BA)", "O:BAD:(A;OICI;FA;;;BA)(A;;0x44;;;BU)", clFail,
       "Users may rename or delete it and create another in its place (delete what C:\\ "
       "holds, create folders in C:\\)",
       "icacls \"C:\\\\\" /grant:r *S-1-5-32-545:(OI)(CI)RX"},
      // Deleting it is not enough without making another there, and the other way round.
      {"O:BAD:(A;;FA;;;BA)(A;;SD;;;WD)", "O:BAD:(A;;FA;;;BA)", clOk, ""},
      {"O:BAD:(A;;FA;;;BA)", "O:BAD:(A;;FA;;;BA)(A;;0x4;;;WD)", clOk, ""},
  };
  TAccounts accounts;
  for (const auto& c : cases) {
    const TSecurityDescriptor folder = TSecurityDescriptor::FromSddl(c.folder);
    const TSecurityDescriptor parent = TSecurityDescriptor::FromSddl(c.parent);
    ASSERT_EQ(folder.Error() + parent.Error(), 0u) << c.folder << " " << c.parent;
    const std::vector<TAccessFinding> findings =
        ReviewReplacement(folder.get(), "C:\\", parent.get(), accounts);
    TCheckLevel worst = clOk;
    for (const TAccessFinding& finding : findings) worst = std::max(worst, finding.Level);
    EXPECT_EQ(worst, c.level) << c.folder;
    EXPECT_EQ(findings.empty() ? "" : findings[0].Text, c.finding) << c.folder;
    EXPECT_EQ(CloseCommand("F", findings), c.close) << c.folder;
  }

  // The folders judged on the way up: a root never is.
  const struct {
    const char* path;
    const char* steps;
  } ways[] = {
      {"C:\\web\\scripts", "C:\\web\\scripts<C:\\web C:\\web<C:\\"},
      {"D:/web/", "D:\\web<D:\\"},
      {"C:\\", ""},
      {"\\\\srv\\share\\web", "\\\\srv\\share\\web<\\\\srv\\share\\"},
      {"\\\\?\\C:\\web", "\\\\?\\C:\\web<\\\\?\\C:\\"},
  };
  for (const auto& w : ways) {
    std::string steps;
    for (const TFolderStep& step : FoldersUpToRoot(w.path))
      steps += (steps.empty() ? "" : " ") + step.Folder + "<" + step.Parent;
    EXPECT_EQ(steps, w.steps) << w.path;
  }
}

// What a lookup adds for a SID that has no known form: an administrator's account and the
// computer's own pass, other accounts and groups warn.
TEST(JudgeTrustee, TellsAnAccountFromAGroup) {
  const std::vector<DWORD> other{21, 1, 2, 3, 1105};
  const std::vector<DWORD> domainUsers{21, 1, 2, 3, 513};
  const struct {
    const std::vector<DWORD>& subs;
    TSidFacts facts;
    TCheckLevel level;
  } cases[] = {
      {other, {"", SidTypeUser, false, amMember}, clOk},
      {other, {"", SidTypeUser, false, amNotMember}, clWarn},
      {other, {"", SidTypeUser, false, amUnknown}, clWarn},
      {other, {"", SidTypeComputer, true}, clOk},
      {other, {"", SidTypeComputer, false, amNotMember}, clWarn},
      {other, {"", SidTypeGroup}, clWarn},
      {other, {"", SidTypeAlias}, clWarn},
      {other, {"", SidTypeWellKnownGroup}, clWarn},
      {other, {}, clWarn},
      {domainUsers, {"", SidTypeGroup}, clFail},
  };
  for (const auto& c : cases)
    EXPECT_EQ(JudgeTrustee(5, c.subs, c.facts).Level, c.level)
        << c.subs.back() << " " << c.facts.Use << " " << c.facts.Admin;
  EXPECT_EQ(JudgeTrustee(5, {32, 545}, {"", SidTypeAlias}).Level, clFail);    // Users
  EXPECT_EQ(JudgeTrustee(5, {18}, {"", SidTypeWellKnownGroup}).Level, clOk);  // SYSTEM
}

}  // namespace
}  // namespace brenlow

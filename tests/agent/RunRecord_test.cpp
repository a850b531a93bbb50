// The record of runs under way is believed only when nobody but SYSTEM, Administrators and the
// service's own account may have changed it: the next start ends the processes it names.

#include "agent/RunRecord.h"

#include <gtest/gtest.h>

#include "common/SecurityDescriptor.h"

namespace brenlow {
namespace {

TEST(RunRecord, IsBelievedOnlyWhenNobodyElseMayChangeIt) {
  const std::string self = "S-1-5-21-1-2-3-1001";
  const struct {
    std::string sddl;
    bool believed;
  } cases[] = {
      {kRunRecordKeySddl, true},
      {"O:BAD:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(D;;KA;;;WD)", true},
      {"O:" + self + "D:P(A;;KA;;;" + self + ")", true},
      {"O:S-1-5-21-1-2-3-1002D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)", false},  // a user owns it
      {"O:SYD:P(A;OICI;KA;;;SY)(A;OICI;KR;;;BU)", true},                    // others only read
      {"O:SYD:P(A;;KA;;;SY)(A;;0x2;;;BU)", false},                          // users may set values
      {"O:SY", false},  // no access list: everybody may
  };
  for (const auto& c : cases) {
    const TSecurityDescriptor descriptor = TSecurityDescriptor::FromSddl(c.sddl);
    ASSERT_NE(descriptor.get(), nullptr) << c.sddl;
    EXPECT_EQ(OnlyTrustedMayChange(descriptor.get(), self), c.believed) << c.sddl;
  }
}

}  // namespace
}  // namespace brenlow

#include "qvEmailAddress.h"

#include <gtest/gtest.h>

namespace {
struct TCase {
  const char* Full;
  const char* Name;
  const char* Email;
};
}  // namespace

TEST(EmailAddressParse, Table) {
  const TCase cases[] = {
      {"user@example.com", "", "user@example.com"},
      {"John Smith <john@x.org>", "John Smith", "john@x.org"},
      {"\"Smith, John\" <john@x.org>", "Smith, John", "john@x.org"},
      {"\"a \\\"q\\\" \\\\b\" <q@x>", "a \"q\" \\b", "q@x"},
      {"user@x.org (Real Name)", "Real Name", "user@x.org"},
      {"<>", "", "<>"},
      {"Mailer Daemon <>", "Mailer Daemon", "<>"},
      {"no address here", "no address here", ""},
      {"'Quoted' <a@b>", "Quoted", "a@b"},
      {"<A@B.C>", "", "A@B.C"},
      {"text a@b, more", "text , more", "a@b"},
  };
  for (const auto& c : cases) {
    TqvEmailAddressItem item;
    item.SetFullAddress(c.Full);
    EXPECT_EQ(item.Name(), c.Name) << c.Full;
    EXPECT_EQ(item.Email(), c.Email) << c.Full;
  }
}

TEST(EmailAddressParse, EightBitTextTakesBlanksIntoTheAddress) {
  TqvEmailAddressItem item;
  item.SetFullAddress("J\xFCrgen j@x.de");
  EXPECT_EQ(item.Email(), "J\xFCrgen j@x.de");
}

TEST(EmailAddressFormat, QuotingAndRoundTrip) {
  EXPECT_EQ(BuildFullAddress("", "a@b"), "a@b");
  EXPECT_EQ(BuildFullAddress("a@b", "a@b"), "a@b");
  EXPECT_EQ(BuildFullAddress("John Smith", "j@x"), "\"John Smith\" <j@x>");
  EXPECT_EQ(BuildFullAddress("John", "j@x"), "John <j@x>");
  EXPECT_EQ(BuildFullAddress("a \"q\" \\b", "q@x"), "\"a \\\"q\\\" \\\\b\" <q@x>");
  // A comma without a blank must be quoted too, or a list reader splits it.
  EXPECT_EQ(BuildFullAddress("Smith,John", "j@x"), "\"Smith,John\" <j@x>");
  for (const char* name : {"Smith,John", "a \"q\" \\b", "(x) y", "Dr. Who"}) {
    std::string n, e;
    EXPECT_TRUE(GetEmailAddressParts(BuildFullAddress(name, "who@x"), n, e));
    EXPECT_EQ(n, name);
    EXPECT_EQ(e, "who@x");
  }
  // A name without an address (a group) is written back as it came.
  EXPECT_EQ(BuildFullAddress("Team", ""), "Team");
  TqvEmailAddressItem group;
  group.SetFullAddress("undisclosed-recipients:;");
  EXPECT_EQ(group.GetFullAddress(), "undisclosed-recipients:;");
  std::string n, e;
  EXPECT_FALSE(GetEmailAddressParts("a@b", n, e));
  EXPECT_EQ(n, "a@b");
}

#include "qvMailUserMgr.h"

#include <gtest/gtest.h>

namespace {

TqvMailUserAccountItem* AddMail(TqvMailUserAccountList& list, const std::string& user, const std::string& email,
                                const std::string& password) {
  auto* item = list.Add();
  item->SetUserName(user);
  item->SetEmail(email);
  item->SetPassword(password);
  return item;
}

TEST(UserAccountsList, AssignCarriesTheCaseRuleOfTheSource) {
  TqvMailUserAccountList master;  // made plainly: exact
  AddMail(master, "bob", "bob@example.test", "secret");
  AddMail(master, "Ann", "ann@example.test", "pw");

  TqvMailUserAccountList server(true);
  AddMail(server, "stale", "stale@example.test", "x");
  server.Assign(master);

  EXPECT_FALSE(server.CaseInsensitive());
  ASSERT_EQ(server.Count(), 2);
  EXPECT_EQ(server.Items(0)->UserName(), "bob");
  EXPECT_EQ(server.Items(1)->Email(), "ann@example.test");
  EXPECT_EQ(server.FindAccount("stale"), nullptr);
  EXPECT_EQ(server.FindAccountByEmail("BOB@example.test"), nullptr);
  EXPECT_EQ(server.FindAccount("BOB"), nullptr);
  ASSERT_NE(server.FindAccountByEmail("bob@example.test"), nullptr);
  EXPECT_FALSE(server.Items(0)->CheckPassword("SECRET"));
  EXPECT_TRUE(server.Items(0)->CheckPassword("secret"));

  master.SetCaseInsensitive(true);
  server.Assign(master);
  EXPECT_TRUE(server.CaseInsensitive());
  auto* bob = server.FindAccountByEmail("BOB@example.test");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(server.FindAccount("BOB"), bob);
  EXPECT_TRUE(bob->CheckPassword("SECRET"));
  EXPECT_FALSE(bob->CheckPassword("secret!"));
}

TEST(UserAccountsList, FindReturnsFirstMatchAndFoldsOnlyAsciiLetters) {
  TqvUserAccountList list(true);
  auto* first = list.Add();
  first->SetUserName("Carol");
  list.Add()->SetUserName("carol");
  list.Add()->SetUserName("J\xC3\xA9r\xC3\xB4me");
  list.Add()->SetUserName("a[b");
  list.Add();  // an account added in the console, not yet named

  EXPECT_EQ(list.FindAccount("CAROL"), first);
  EXPECT_EQ(list.FindAccount("carol"), first);
  EXPECT_EQ(list.FindAccount(""), nullptr);
  ASSERT_NE(list.FindAccount("j\xC3\xA9R\xC3\xB4ME"), nullptr);
  EXPECT_EQ(list.FindAccount("J\xC3\x89r\xC3\xB4me"), nullptr);  // non-ASCII bytes stay exact
  // '[' and '{' differ by 0x20 like a letter pair, but are not letters.
  EXPECT_EQ(list.FindAccount("a{b"), nullptr);
  EXPECT_EQ(list.FindAccount("A[B"), list.Items(3));

  list.Delete(0);
  EXPECT_EQ(list.FindAccount("CAROL"), list.Items(0));
}

TEST(UserAccountsItem, AssignCopiesEmailOnlyBetweenMailItems) {
  TqvMailUserAccountItem mail;
  mail.SetUserName("dan");
  mail.SetPassword("pw");
  mail.SetDisplayName("Dan D");
  mail.SetEmail("dan@example.test");

  TqvUserAccountItem plain;
  plain.Assign(mail);
  EXPECT_EQ(plain.UserName(), "dan");
  EXPECT_EQ(plain.Password(), "pw");
  EXPECT_EQ(plain.DisplayName(), "Dan D");

  TqvMailUserAccountItem other;
  other.SetEmail("keep@example.test");
  other.Assign(plain);
  EXPECT_EQ(other.UserName(), "dan");
  EXPECT_EQ(other.Email(), "keep@example.test");
  other.Assign(mail);
  EXPECT_EQ(other.Email(), "dan@example.test");

  TqvUserAccountList list;
  EXPECT_THROW(plain.Assign(list), EConvertError);
}

TEST(UserAccountsItem, PasswordChecks) {
  TqvUserAccountItem loose;  // in no list
  loose.SetPassword("Secret");
  EXPECT_TRUE(loose.CheckPassword("Secret"));
  EXPECT_FALSE(loose.CheckPassword("secret"));

  TqvUserAccountList list(true);
  auto* item = list.Add();
  EXPECT_FALSE(item->CheckPassword(""));  // empty stored password never passes
  EXPECT_FALSE(item->CheckPassword("x"));
  item->SetPassword("Secret");
  EXPECT_TRUE(item->CheckPassword("sECRET"));
  EXPECT_FALSE(item->CheckPassword("Secre"));
}

TEST(UserAccountsWrapper, FreesOnlyWhatItOwns) {
  TqvMailUserAccountList list;
  auto* listed = AddMail(list, "eve", "eve@example.test", "pw");
  {
    TqvMailUserAccountWrapper borrowed(listed);
    EXPECT_FALSE(borrowed.OwnsItem());
    EXPECT_EQ(borrowed.Item(), listed);
  }
  EXPECT_EQ(list.FindAccount("eve"), listed);  // still whole after the wrapper went

  auto own = std::make_unique<TqvMailUserAccountItem>();
  own->SetEmail("solo@example.test");
  TqvMailUserAccountWrapper owner(std::move(own));
  EXPECT_TRUE(owner.OwnsItem());
  TqvMailUserAccountWrapper moved(std::move(owner));
  EXPECT_EQ(owner.Item(), nullptr);
  EXPECT_TRUE(moved.OwnsItem());
  EXPECT_EQ(moved.Item()->Email(), "solo@example.test");
}

}  // namespace

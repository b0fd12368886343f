// The SMTP file store on a temporary folder: names, file contents, unsafe
// account names, failed writes and the binding to its server.
#include "SmtpTestClient.h"
#include "TestSupport.h"

using smtptest::Files;
using smtptest::ReadFile;

namespace {

class SmtpFileHandler : public smtptest::SmtpStoreTest {
 protected:
  void SetUp() override {
    SmtpStoreTest::SetUp();
    Message.Add("Subject: s");
    Message.Add("");
    Message.Add("8bit \xC3\xA4 and .dot");
  }
  std::string Box(const std::string& AFolder) const { return Dir.Dir() + "MailBox/" + AFolder + "/"; }

  const std::string Text = "Subject: s\r\n\r\n8bit \xC3\xA4 and .dot\r\n";
};

}  // namespace

TEST_F(SmtpFileHandler, NamesFollowTheCounterAndNeverReplaceAFile) {
  EXPECT_EQ(Store.GetUniqueFileName(Dir.Dir()), Dir.Dir() + "MAIL00000002");
  EXPECT_EQ(Store.Counter(), 2);
  ASSERT_EQ(Deliver("bob@example.test"), mdOk);
  EXPECT_EQ(ReadFile(Box("bob@example.test") + "MAIL00000003.MSG"), Text);
  // A lost counter file: the numbers come round again.
  Store.SetCounter(2);
  ASSERT_EQ(Deliver("bob@example.test"), mdOk);
  Store.SetCounter(2);
  ASSERT_EQ(Deliver("bob@example.test"), mdOk);
  EXPECT_EQ(Files(Box("bob@example.test")),
            (std::vector<std::string>{"MAIL00000003.MSG", "MAIL000000030.MSG", "MAIL000000031.MSG"}));
  // A dangling link at the next name counts as taken: neither replaced nor followed.
  std::filesystem::create_symlink(Dir.Dir() + "nowhere", Box("bob@example.test") + "MAIL00000004.MSG");
  Store.SetCounter(3);
  ASSERT_EQ(Deliver("bob@example.test"), mdOk);
  EXPECT_TRUE(std::filesystem::is_symlink(Box("bob@example.test") + "MAIL00000004.MSG"));
  EXPECT_FALSE(std::filesystem::exists(Dir.Dir() + "nowhere"));
  EXPECT_EQ(ReadFile(Box("bob@example.test") + "MAIL000000040.MSG"), Text);
  Store.SetCounter(999999999);
  ASSERT_EQ(Deliver("bob@example.test"), mdOk);
  EXPECT_EQ(Files(Box("bob@example.test")).back(), "MAIL1000000000.MSG");
  EXPECT_EQ(Files(Box("bob@example.test")).size(), 6u);  // no temporary file left
}

TEST_F(SmtpFileHandler, RelayPairOfTheNullSender) {
  TStringList recipients;
  recipients.Add("carol@remote.test");
  recipients.Add("carol@remote.test");  // duplicates are kept
  TqvSmtpMailDataAction action = mdOk;
  Store.QueueRelayMessage(nullptr, nullptr, "", recipients, Message, action);
  ASSERT_EQ(action, mdOk);
  EXPECT_EQ(Files(Dir.Dir() + "Relay"), (std::vector<std::string>{"MAIL00000002.ENV", "MAIL00000002.MSG"}));
  EXPECT_EQ(ReadFile(Dir.Dir() + "Relay/MAIL00000002.ENV"), "\r\ncarol@remote.test\r\ncarol@remote.test\r\n");
  EXPECT_EQ(ReadFile(Dir.Dir() + "Relay/MAIL00000002.MSG"), Text);
}

TEST_F(SmtpFileHandler, TheRelayHearsOfAPairOnlyOnceItIsInPlace) {
  std::vector<std::string> seen;
  Store.OnRelayQueued = [&](TObject*) { seen.push_back(ReadFile(Dir.Dir() + "Relay/MAIL00000002.ENV")); };
  TStringList recipients;
  recipients.Add("carol@remote.test");
  TqvSmtpMailDataAction action = mdOk;
  Store.QueueRelayMessage(nullptr, nullptr, "a@example.test", recipients, Message, action);
  ASSERT_EQ(action, mdOk);
  EXPECT_EQ(seen, (std::vector<std::string>{"a@example.test\r\ncarol@remote.test\r\n"}));
  // A pair that could not be queued is not announced.
  Store.SetRelayDir(Dir.Dir() + "Relay/MAIL00000002.MSG/sub");
  Store.QueueRelayMessage(nullptr, nullptr, "a@example.test", recipients, Message, action);
  EXPECT_EQ(action, mdProcessingError);
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(SmtpFileHandler, UnsafeAccountNamesGetNoFolder) {
  const std::vector<std::string> unsafe = {"", ".", "..", "../alice", "a/b", "a\\b", std::string("a\0b", 3), "x\ty"};
  for (const std::string& name : unsafe)
    EXPECT_EQ(Deliver(name), mdProcessingError) << name;
  EXPECT_TRUE(Files(Dir.Dir()).empty());
  // A name in the local code page (936) becomes a UTF-8 folder.
  ASSERT_EQ(Deliver("\xD6\xD0@example.test"), mdOk);
  EXPECT_EQ(Files(Dir.Dir() + "MailBox"), std::vector<std::string>{"\xE4\xB8\xAD@example.test"});
}

TEST_F(SmtpFileHandler, FailedWriteLeavesNoPartialFile) {
  std::string reported;
  Store.OnStoreError = [&](TObject*, const std::exception& E) { reported = E.what(); };
  ASSERT_EQ(Deliver("bob@example.test"), mdOk);
  for (int i = 0; i < 20000; ++i) Message.Add("a line long enough to pass the file size limit quickly");
  TqvSmtpMailDataAction action = mdOk;
  TqvSmtpMailDataAction relayAction = mdOk;
  {
    const testsupport::FileSizeLimit limit(100000);
    action = Deliver("bob@example.test");
    TStringList recipients;
    recipients.Add("carol@remote.test");
    Store.QueueRelayMessage(nullptr, nullptr, "a@x.test", recipients, Message, relayAction);
  }
  EXPECT_EQ(action, mdProcessingError);
  EXPECT_EQ(relayAction, mdProcessingError);
  EXPECT_NE(reported.find("Cannot write file"), std::string::npos) << reported;
  EXPECT_EQ(Files(Box("bob@example.test")), std::vector<std::string>{"MAIL00000002.MSG"});
  EXPECT_TRUE(Files(Dir.Dir() + "Relay").empty());
}

TEST_F(SmtpFileHandler, BindingFollowsTheServer) {
  auto first = std::make_unique<TqvSmtpServer>();
  auto second = std::make_unique<TqvSmtpServer>();
  Store.SetServer(first.get());
  EXPECT_TRUE(first->OnMessageDelivered && first->OnMessageRelayed);
  Store.SetServer(second.get());
  EXPECT_FALSE(first->OnMessageDelivered || first->OnMessageRelayed);
  EXPECT_TRUE(second->OnMessageDelivered && second->OnMessageRelayed);
  second.reset();
  EXPECT_EQ(Store.Server(), nullptr);
  Store.SetServer(nullptr);
  {
    TqvSmtpFileHandler other;
    other.SetServer(first.get());
    EXPECT_TRUE(first->OnMessageDelivered);
  }
  // The store that went away unbound itself.
  EXPECT_FALSE(first->OnMessageDelivered);
}

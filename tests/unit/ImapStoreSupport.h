// The IMAP4 file store on a temporary mailbox folder, driven through its
// event handlers as the server drives them: the fixture and helpers the
// store's tests share (bob's INBOX and alice's, SELECT's reads and writes,
// the state files as parsed, APPEND).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "qvImap4FileHandler.h"
#include "qvImap4Server.h"

namespace imapstoretest {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

inline std::string Uids(const TqvImap4MessageList& AList) {
  std::string s;
  for (int i = 0; i < AList.Count(); ++i) s += (s.empty() ? "" : ",") + std::to_string(AList.Peek(i)->UID);
  return s;
}

// The connection's user comes from the test.
class TStore : public TqvImap4FileHandler {
 public:
  std::string User = "bob@example.test";

 protected:
  std::string ConnectionUserName(TqvImap4CommandConnection*) const override { return User; }
};

class ImapStore : public ::testing::Test {
 protected:
  void SetUp() override {
    Store.SetMailBoxDir(Dir.Dir() + "mail");
    fs::create_directories(Bob);
    fs::create_directories(Alice);
    WriteFileBytes(Alice + "MAIL00000001.MSG", "Subject: alice's\r\n\r\nprivate\r\n");
  }

  std::vector<std::string> Names() {
    TqvImap4MailBoxList boxes;
    Store.GetMailBoxes(nullptr, nullptr, "", boxes);
    std::vector<std::string> names;
    for (int i = 0; i < boxes.Count(); ++i) names.push_back(boxes.Items(i)->Name);
    return names;
  }

  // What SELECT does with the store: messages, new UIDs and \Recent, the
  // messages written back, then UIDNext. AFirstHalf stops after reading.
  struct TSelect {
    TqvImap4MailBoxItem Box;
    TqvImap4MessageList Messages;
  };
  void SelectRead(TSelect& S, const std::string& AName = "INBOX") {
    TqvImap4MailBoxList boxes;
    Store.GetMailBoxes(nullptr, nullptr, AName, boxes);
    ASSERT_EQ(boxes.Count(), 1);
    S.Box = *boxes.Items(0);
    bool ok = true;
    Store.GetMessages(nullptr, nullptr, S.Messages, AName, ok);
    ASSERT_TRUE(ok);
    for (int i = 0; i < S.Messages.Count(); ++i) {
      TqvImap4MessageItem* m = S.Messages.Items(i);
      if (m->UID < 0) {
        m->UID = S.Box.UIDNext++;
        m->Flags |= MessageFlag(mfRecent);
      } else {
        m->Flags &= static_cast<TqvMailMessageFlags>(~MessageFlag(mfRecent));
      }
    }
  }
  void SelectWrite(TSelect& S) {
    bool ok = true;
    Store.UpdateMessages(nullptr, nullptr, S.Messages, S.Box.Name, ok);
    Store.UpdateMailBox(nullptr, nullptr, S.Box, ok);
  }
  // A whole SELECT: the listing, then the state written back.
  void Select(TSelect& S) {
    SelectRead(S);
    SelectWrite(S);
  }
  TqvImap4MailBoxItem Settings(const std::string& AFolder) {
    TqvImap4MailBoxItem item;
    TStringStream data(ReadFileBytes(AFolder + "imap.dat"));
    TqvImap4MailBoxStore(item).LoadFromStream(data);
    return item;
  }
  void Entries(const std::string& AFolder, TqvImap4MessageList& AList) {
    TStringStream data(ReadFileBytes(AFolder + "messages.dat"));
    TqvImap4MessageStore(AList).LoadFromStream(data);
  }
  bool Append(const std::string& AMailBox, const std::string& AText, TDateTime ADate = 46083.5,
              TqvMailMessageFlags AFlags = MessageFlag(mfSeen)) {
    TStringList lines;
    lines.SetText(AText);
    bool ok = true;
    Store.AppendMessage(nullptr, nullptr, AFlags, ADate, lines, AMailBox, ok);
    return ok;
  }
  std::set<std::string> Tree() {
    std::set<std::string> paths;
    for (const auto& e : fs::recursive_directory_iterator(Dir.Dir())) paths.insert(e.path().string());
    return paths;
  }

  testsupport::TempDir Dir;
  TStore Store;
  const std::string Bob = Dir.Dir() + "mail/bob@example.test/";
  const std::string Alice = Dir.Dir() + "mail/alice@example.test/";
};

}  // namespace imapstoretest

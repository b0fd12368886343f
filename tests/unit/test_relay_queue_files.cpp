// The relay queue's files without a data module: which pairs are listed, the
// store's names, a pair filed in the bad-mail folder under one free name
// with nothing else touched, an envelope rewritten whole, a pair removed, and
// crash leftovers swept from both folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <memory>

#include "StringList.h"
#include "TestSupport.h"
#include "qvMailStoreUtils.h"
#include "qvRelayQueue.h"

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

struct QueueFolders {
  testsupport::TempDir Root;
  std::string Queue = Root.Dir() + "queue/";
  std::string Bad = Root.Dir() + "bad/";
  QueueFolders() {
    fs::create_directories(Queue);
    fs::create_directories(Bad);
  }
};

std::unique_ptr<TStringList> Lines(std::initializer_list<const char*> AItems) {
  auto l = std::make_unique<TStringList>();
  for (const char* s : AItems) l->Add(s);
  return l;
}

}  // namespace

TEST(RelayQueueFiles, StoreNamesComeFromOnePlace) {
  EXPECT_EQ(NumberedName("/q/", 42, -1), "/q/MAIL00000042");
  EXPECT_EQ(NumberedName("/q/", 42, 3), "/q/MAIL000000423");
  // Numbers past 32 bits keep every digit.
  EXPECT_EQ(NumberedName("", 4294967296LL, -1), "MAIL4294967296");
  EXPECT_EQ(RetriedName("/bad/MAIL00000007", -1), "/bad/MAIL00000007");
  EXPECT_EQ(RetriedName("/bad/MAIL00000007", 0), "/bad/MAIL000000070");
}

TEST(RelayQueueFiles, OnlyEnvelopesAreListedInTheStoresOrder) {
  QueueFolders f;
  for (const char* name : {"MAIL00000002.ENV", "MAIL00000001.env", "MAIL00000001.MSG", "vxtmp-abc123", "notes.txt"})
    WriteFileBytes(f.Queue + name, "x");
  fs::create_directory(f.Queue + "MAIL00000003.ENV");
  fs::create_symlink(f.Queue + "MAIL00000002.ENV", f.Queue + "MAIL00000004.ENV");
  const TqvRelayQueue queue(f.Queue, f.Bad);
  EXPECT_EQ(queue.ListPairs(), (std::vector<std::string>{"MAIL00000001.env", "MAIL00000002.ENV"}));
  EXPECT_EQ(TqvRelayQueue::MessageFile(f.Queue + "MAIL00000002.ENV"), f.Queue + "MAIL00000002.MSG");
  EXPECT_TRUE(TqvRelayQueue(f.Root.Dir() + "missing", f.Bad).ListPairs().empty());
  EXPECT_TRUE(TqvRelayQueue("", "").ListPairs().empty());
}

TEST(RelayQueueFiles, AFailedPairLandsWholeUnderOneFreeNameAndNothingElseMoves) {
  QueueFolders f;
  const TqvRelayQueue queue(f.Queue, f.Bad);
  const std::string envelope = f.Queue + "MAIL00000005.ENV";
  WriteFileBytes(envelope, "a@example.com\r\nb@one.test\r\nc@two.test\r\n");
  WriteFileBytes(f.Queue + "MAIL00000005.MSG", "Subject: t\r\n\r\nbody\x01\r\n");

  EXPECT_EQ(queue.FileInBad(envelope, "a@example.com", *Lines({"c@two.test"})), f.Bad + "MAIL00000005");
  EXPECT_EQ(ReadFileBytes(f.Bad + "MAIL00000005.ENV"), "a@example.com\r\nc@two.test\r\n");
  EXPECT_EQ(ReadFileBytes(f.Bad + "MAIL00000005.MSG"), "Subject: t\r\n\r\nbody\x01\r\n");
  // The queue's own pair is left for the caller.
  EXPECT_TRUE(fs::exists(envelope));

  // Only the message's name is taken: both files go under the next name,
  // and what was there stays as it was.
  fs::remove(f.Bad + "MAIL00000005.ENV");
  WriteFileBytes(f.Bad + "MAIL00000005.MSG", "older");
  WriteFileBytes(f.Bad + "MAIL000000050.ENV", "older envelope");
  EXPECT_EQ(queue.FileInBad(envelope, "a@example.com", *Lines({"b@one.test"})), f.Bad + "MAIL000000051");
  EXPECT_EQ(ReadFileBytes(f.Bad + "MAIL00000005.MSG"), "older");
  EXPECT_FALSE(fs::exists(f.Bad + "MAIL00000005.ENV"));
  EXPECT_EQ(ReadFileBytes(f.Bad + "MAIL000000050.ENV"), "older envelope");
  EXPECT_FALSE(fs::exists(f.Bad + "MAIL000000050.MSG"));
  EXPECT_EQ(ReadFileBytes(f.Bad + "MAIL000000051.ENV"), "a@example.com\r\nb@one.test\r\n");
  EXPECT_EQ(ReadFileBytes(f.Bad + "MAIL000000051.MSG"), "Subject: t\r\n\r\nbody\x01\r\n");
  for (const auto& e : fs::directory_iterator(f.Bad))
    EXPECT_EQ(e.path().filename().string().rfind("vxtmp-", 0), std::string::npos) << e.path();

  // A message that cannot be read files nothing.
  fs::remove(f.Queue + "MAIL00000005.MSG");
  const size_t before = std::distance(fs::directory_iterator(f.Bad), fs::directory_iterator());
  EXPECT_THROW((void)queue.FileInBad(envelope, "a@example.com", *Lines({"b@one.test"})), std::exception);
  EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(f.Bad), fs::directory_iterator())), before);
}

TEST(RelayQueueFiles, RewriteRemoveAndTheSignsOfAPair) {
  QueueFolders f;
  const std::string envelope = f.Queue + "MAIL00000009.ENV";
  const std::string message = f.Queue + "MAIL00000009.MSG";
  WriteFileBytes(envelope, "a@example.com\r\nb@one.test\r\nc@two.test\r\n");
  const std::string withoutMessage = TqvRelayQueue::Signature(envelope);
  EXPECT_EQ(withoutMessage.substr(withoutMessage.size() - 2), "-;");
  WriteFileBytes(message, "Subject: t\r\n\r\nbody\r\n");
  const std::string signature = TqvRelayQueue::Signature(envelope);
  EXPECT_NE(signature, withoutMessage);
  EXPECT_EQ(TqvRelayQueue::Signature(envelope), signature);

  TqvRelayQueue::RewriteEnvelope(envelope, "a@example.com", *Lines({"c@two.test"}));
  EXPECT_EQ(ReadFileBytes(envelope), "a@example.com\r\nc@two.test\r\n");
  EXPECT_NE(TqvRelayQueue::Signature(envelope), signature);
  EXPECT_EQ(std::distance(fs::directory_iterator(f.Queue), fs::directory_iterator()), 2);

  // The queue age is the message file's time.
  const time_t hourAgo = std::time(nullptr) - 3600;
  const utimbuf times{hourAgo, hourAgo};
  ASSERT_EQ(::utime(message.c_str(), &times), 0);
  EXPECT_NEAR(static_cast<double>(TqvRelayQueue::Age(message)), 3600.0, 5.0);
  EXPECT_EQ(TqvRelayQueue::Age(f.Queue + "none.MSG"), 0);

  TqvRelayQueue::Remove(envelope);
  EXPECT_FALSE(fs::exists(envelope));
  EXPECT_FALSE(fs::exists(message));
  // A pair without its message: the envelope goes, and the missing file is told.
  WriteFileBytes(envelope, "a@example.com\r\nb@one.test\r\n");
  EXPECT_THROW(TqvRelayQueue::Remove(envelope), EOSError);
  EXPECT_FALSE(fs::exists(envelope));
}

TEST(RelayQueueFiles, CrashLeftoversGoFromBothFoldersAndNothingElse) {
  QueueFolders f;
  for (const std::string& path : {f.Queue + "vxtmp-a1b2c3", f.Bad + "vxtmp-d4e5f6", f.Queue + "MAIL00000001.ENV",
                                  f.Bad + "MAIL00000002.MSG", f.Queue + "vxtmp-toolong1"})
    WriteFileBytes(path, "x");
  EXPECT_EQ(TqvRelayQueue(f.Queue, f.Bad).SweepLeftovers(), 2);
  EXPECT_FALSE(fs::exists(f.Queue + "vxtmp-a1b2c3"));
  EXPECT_FALSE(fs::exists(f.Bad + "vxtmp-d4e5f6"));
  EXPECT_TRUE(fs::exists(f.Queue + "MAIL00000001.ENV"));
  EXPECT_TRUE(fs::exists(f.Bad + "MAIL00000002.MSG"));
  EXPECT_TRUE(fs::exists(f.Queue + "vxtmp-toolong1"));
  // A folder that is missing sweeps nothing and raises nothing.
  EXPECT_EQ(TqvRelayQueue(f.Root.Dir() + "missing", "").SweepLeftovers(), 0);
}

namespace {

TqvRelayRecipient Fate(const char* AEmail, TqvRelayOutcome AOutcome, int ACode = 0) {
  TqvRelayRecipient r;
  r.Email = AEmail;
  r.Outcome = AOutcome;
  r.ErrorCode = ACode;
  return r;
}

std::vector<std::string> Texts(const TStrings& AList) {
  std::vector<std::string> out;
  for (int i = 0; i < AList.Count(); ++i) out.push_back(AList.Strings(i));
  return out;
}

}  // namespace

TEST(RelayQueueFiles, EachEnvelopeLineTakesItsOwnFate) {
  TqvSmtpRelayStatusList statuses;
  auto& one = statuses.Add(std::make_unique<TqvSmtpRelayStatus>());
  one.Recipients = {Fate("a@one.test", TqvRelayOutcome::roDelivered), Fate("b@one.test", TqvRelayOutcome::roRetry, 451),
                    Fate("a@one.test", TqvRelayOutcome::roRetry, 452)};
  auto& two = statuses.Add(std::make_unique<TqvSmtpRelayStatus>());
  two.Recipients = {Fate("c@two.test", TqvRelayOutcome::roFailed, 550)};
  // d@three.test was never reached (a stop, or an error that left Send).
  const auto envelope = Lines({"s@example.com", "a@one.test", "b@one.test", "a@one.test", "c@two.test", "d@three.test"});

  const TqvPairFates fates = SortFates(*envelope, statuses);
  ASSERT_EQ(fates.Open.size(), 4u);
  EXPECT_EQ(fates.Open[0].Recipient, "b@one.test");
  EXPECT_EQ(fates.Open[1].Recipient, "a@one.test");
  EXPECT_EQ(fates.Open[1].Fate->ErrorCode, 452) << "the second line takes the second fate";
  EXPECT_EQ(fates.Open[3].Fate, nullptr);
  EXPECT_TRUE(fates.Failing);
  // The refusal for good is reported before any wait.
  ASSERT_NE(fates.Report, nullptr);
  EXPECT_EQ(fates.Report->ErrorCode, 550);

  TStringList failed, owed;
  fates.Split(false, failed, owed);
  EXPECT_EQ(Texts(failed), (std::vector<std::string>{"c@two.test"}));
  EXPECT_EQ(Texts(owed), (std::vector<std::string>{"b@one.test", "a@one.test", "d@three.test"}));
  TStringList all, none;
  fates.Split(true, all, none);
  EXPECT_EQ(Texts(all), (std::vector<std::string>{"b@one.test", "a@one.test", "c@two.test", "d@three.test"}));
  EXPECT_EQ(none.Count(), 0);

  // Only waits: the first is reported. Everything delivered: nothing open.
  two.Recipients = {Fate("c@two.test", TqvRelayOutcome::roDelivered)};
  one.Recipients[1].Outcome = TqvRelayOutcome::roDelivered;
  const TqvPairFates waits = SortFates(*Lines({"s@example.com", "a@one.test", "a@one.test", "c@two.test"}), statuses);
  ASSERT_EQ(waits.Open.size(), 1u);
  EXPECT_EQ(waits.Report->ErrorCode, 452);
  const TqvPairFates done = SortFates(*Lines({"s@example.com", "a@one.test", "c@two.test"}), statuses);
  EXPECT_TRUE(done.Open.empty());
  EXPECT_FALSE(done.Failing);
  EXPECT_EQ(done.Report, nullptr);
}

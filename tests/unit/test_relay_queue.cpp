// The relay queue pass over a real queue folder, with scripted receivers:
// what is sent, removed, kept and copied to the bad-mail folder, what the log
// says, that no pair blocks the others, that a failed pair is never lost nor
// sent twice, and that a stop ends a pass waiting on a dead peer or a silent
// name server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "DnsTestSupport.h"
#include "MessageLoop.h"
#include "RelayTestSupport.h"
#include "TestSupport.h"
#include "VxMailTexts.h"
#include "dmVxMailServersU.h"
#include "qvLogger.h"

namespace fs = std::filesystem;
using testsupport::TPeerConn;
using testsupport::TScriptedPeer;

namespace {

using testsupport::CountOf;
using testsupport::ReadFileBytes;

struct Queue {
  std::string folder, queue, bad;
  std::unique_ptr<TdmVxMailServers> dm;

  explicit Queue(int APort) {
    char tmpl[] = "/tmp/vxrqXXXXXX";
    folder = std::string(mkdtemp(tmpl)) + "/";
    queue = folder + "queue/";
    bad = folder + "bad/";
    fs::create_directories(queue);
    fs::create_directories(bad);
    TqvLogger::Instance()->SetLogFile(folder + "VxMailServers.log");
    dm = std::make_unique<TdmVxMailServers>(folder, folder + "VxMailServers");
    dm->qvSmtpFileHandler1->SetRelayDir(queue);
    dm->BadDir = bad;
    dm->qvSmtpRelay1->SetPort(APort);
    dm->qvSmtpRelay1->SetTimeOut(20000);
    // Every domain's exchanger is the scripted receiver.
    dm->qvSmtpRelay1->OnResolveMX = [](TObject*, const std::string&, TStrings& AList, bool& AHandled) {
      AList.Add("127.0.0.1");
      AHandled = true;
    };
  }
  ~Queue() {
    dm.reset();
    fs::remove_all(folder);
  }
  // Each pass in a test is due at once; a second wait is long.
  void NoWait() { dm->RetryWaitSeconds = {0, 3600}; }
  void Pass() { dm->Timer1Timer(&dm->Timer1); }
  void Put(const std::string& AName, const std::string& AEnvelope, const char* AMessage = "Subject: t\r\n\r\nhi\r\n") {
    std::ofstream(queue + AName + ".ENV", std::ios::binary) << AEnvelope;
    if (AMessage) std::ofstream(queue + AName + ".MSG", std::ios::binary) << AMessage;
  }
  std::string Log() const { return ReadFileBytes(folder + "VxMailServers.log"); }
};

}  // namespace

TEST(RelayQueue, OnePassHandlesEveryPairOnItsOwn) {
  TScriptedPeer peer({testsupport::SmtpReceiver(), testsupport::SmtpReceiver({{"reject@one.test", "550 5.1.1 No such user"}})});
  Queue q(peer.Port);
  // One scripted session per pair.
  q.dm->qvSmtpRelay1->KeepSessions = false;
  q.Put("MAIL00000001", "alice@example.com\r\nbob@one.test\r\n", nullptr);  // message file missing
  q.Put("MAIL00000002", "alice@example.com\r\nbob@one.test\r\n");
  q.Put("MAIL00000003", "alice@example.com\r\nreject@one.test\r\n");
  q.Put("MAIL00000004", "alice@example.com\r\n");  // sender only
  q.dm->Timer1Timer(&q.dm->Timer1);
  peer.Wait();

  // The broken pair is passed over, not in the way of the ones after it.
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000001.ENV"));
  EXPECT_FALSE(fs::exists(q.queue + "MAIL00000002.ENV"));
  EXPECT_FALSE(fs::exists(q.queue + "MAIL00000002.MSG"));
  EXPECT_NE(peer.Received(0).find("hi\r\n.\r\nQUIT\r\n"), std::string::npos);
  // The refused one went to the bad-mail folder, whole.
  EXPECT_FALSE(fs::exists(q.queue + "MAIL00000003.ENV"));
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000003.ENV"), "alice@example.com\r\nreject@one.test\r\n");
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000003.MSG"), "Subject: t\r\n\r\nhi\r\n");
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000004.ENV"));

  const std::string log = q.Log();
  const std::string line = std::string(vxtext::kDeliveryError).substr(0, 10);
  EXPECT_EQ(CountOf(log, line), 2u);
  EXPECT_NE(log.find(std::string("550, ") + "\xb4\xed\xce\xf3 = 550, \xd0\xc5\xcf\xa2 = 550 5.1.1 No such user, " +
                     q.queue + "MAIL00000003.ENV "),
            std::string::npos);
  EXPECT_EQ(CountOf(log, vxtext::kCopySucceeded), 2u);
  EXPECT_NE(log.find(std::string(vxtext::kRelaySendCommand) + "MAIL FROM: <alice@example.com>"), std::string::npos);
  EXPECT_NE(log.find(std::string(vxtext::kRelayReceiveResponse) + "250 2.0.0 Ok: queued"), std::string::npos);
  // The opening and closing pass lines, and the one pair that failed to load.
  EXPECT_EQ(CountOf(log, vxtext::kProcessQueue), 3u);
}

TEST(RelayQueue, FailedPairIsNeverLostNorSentTwice) {
  // In name order: 5 (refused), 6 (two domains, both take it), 11 (refused).
  TScriptedPeer peer({testsupport::SmtpReceiver({{"x@one.test", "550 no"}}), testsupport::SmtpReceiver(),
                      testsupport::SmtpReceiver(), testsupport::SmtpReceiver({{"x@one.test", "550 no"}})});
  Queue q(peer.Port);
  // The envelope's name is taken in the bad-mail folder already, and so is
  // the other pair's message name.
  std::ofstream(q.bad + "MAIL00000005.ENV") << "old\r\n";
  std::ofstream(q.bad + "MAIL00000011.MSG") << "old message\r\n";
  q.Put("MAIL00000005", "a@example.com\r\nx@one.test\r\n");
  q.Put("MAIL00000011", "a@example.com\r\nx@one.test\r\n");
  // A handler fault after both domains took the message.
  q.dm->qvSmtpRelay1->OnRelayMessage = [](TObject*, const std::string& ADomain, TStrings&, TqvSmtpRelayStatus&) {
    if (ADomain == "three.test") throw std::runtime_error("handler fault");
  };
  q.Put("MAIL00000006", "a@example.com\r\ny@two.test\r\nz@three.test\r\n");
  q.Pass();

  // Both files of each failed pair under one free name, the old ones kept.
  const std::string log = q.Log();
  EXPECT_EQ(log.find(vxtext::kCopyFailed), std::string::npos);
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000005.ENV"), "old\r\n");
  EXPECT_FALSE(fs::exists(q.bad + "MAIL00000005.MSG"));
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL000000050.ENV"), "a@example.com\r\nx@one.test\r\n");
  EXPECT_TRUE(fs::exists(q.bad + "MAIL000000050.MSG"));
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000011.MSG"), "old message\r\n");
  EXPECT_FALSE(fs::exists(q.bad + "MAIL00000011.ENV"));
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL000000110.ENV"), "a@example.com\r\nx@one.test\r\n");
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL000000110.MSG"), "Subject: t\r\n\r\nhi\r\n");
  // The log says where each file went.
  const std::string savedAs = std::string(vxtext::kCopySucceeded) + " " + vxtext::kSavedAs + q.bad;
  EXPECT_NE(log.find(q.queue + "MAIL00000005.ENV " + "\xb8\xb4\xd6\xc6\xb5\xbd\xb4\xed\xce\xf3\xce\xc4\xbc\xfe\xbc\xd0 - " +
                     savedAs + "MAIL000000050.ENV"),
            std::string::npos);
  EXPECT_NE(log.find(savedAs + "MAIL000000110.MSG"), std::string::npos);
  // Delivered everywhere: neither failed nor queued, whatever the handler did.
  EXPECT_FALSE(fs::exists(q.bad + "MAIL00000006.ENV"));
  EXPECT_TRUE(fs::is_empty(q.queue));

  // A second pass finds nothing to send again.
  q.Pass();
  EXPECT_TRUE(peer.Received(4).empty());
}

TEST(RelayQueue, TemporaryFailureIsTriedAgainAfterItsWaitAndSentOnce) {
  // one.test greylists every recipient once; two.test takes everything.
  auto seen = std::make_shared<std::set<std::string>>();
  auto grey = [seen](const std::string& ARecipient) {
    if (ARecipient.find("@one.test") == std::string::npos || !seen->insert(ARecipient).second) return std::string();
    return std::string("451 4.7.1 Greylisted, try again later");
  };
  TScriptedPeer peer({testsupport::SmtpReceiver(grey), testsupport::SmtpReceiver(grey),
                      testsupport::SmtpReceiver(grey)});
  Queue q(peer.Port);
  q.NoWait();
  q.Put("MAIL00000020", "a@example.com\r\nbob@one.test\r\ncarol@two.test\r\n");
  q.Pass();
  peer.Wait(300);

  // two.test has it; only bob is still owed, and nothing is in Bad.
  EXPECT_EQ(ReadFileBytes(q.queue + "MAIL00000020.ENV"), "a@example.com\r\nbob@one.test\r\n");
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000020.MSG"));
  EXPECT_TRUE(fs::is_empty(q.bad));
  const std::string log = q.Log();
  EXPECT_EQ(CountOf(log, vxtext::kDeliveryError), 0u);
  EXPECT_NE(log.find(std::string(vxtext::kRecipientDeferred) + "bob@one.test" + vxtext::kCodeField + "451"),
            std::string::npos);
  EXPECT_NE(log.find(std::string(vxtext::kRetryLater) + q.queue + "MAIL00000020.ENV" + vxtext::kRecipientsField + "1" +
                     vxtext::kWaitField + "0"),
            std::string::npos);

  q.Pass();
  peer.Wait(300);
  EXPECT_TRUE(fs::is_empty(q.queue));
  EXPECT_TRUE(fs::is_empty(q.bad));
  const std::string all = peer.Received(0) + peer.Received(1) + peer.Received(2);
  EXPECT_EQ(CountOf(all, "RCPT TO: <carol@two.test>"), 1u);
  EXPECT_EQ(CountOf(all, "RCPT TO: <bob@one.test>"), 2u);
  EXPECT_EQ(CountOf(all, "\r\n.\r\n"), 2u);
}

TEST(RelayQueue, WaitsGrowAndAnOldPairIsGivenUpAtItsNextFailure) {
  auto always = [](const std::string&) { return std::string("421 4.3.2 Try later"); };
  TScriptedPeer peer({testsupport::SmtpReceiver(always), testsupport::SmtpReceiver(always),
                      testsupport::SmtpReceiver(always), testsupport::SmtpReceiver(always),
                      testsupport::SmtpReceiver(always)});
  Queue q(peer.Port);
  q.NoWait();
  q.dm->GiveUpSeconds = 600;
  q.Put("MAIL00000030", "a@example.com\r\nbob@one.test\r\n");
  q.Put("MAIL00000031", "a@example.com\r\ncarol@one.test\r\n");
  q.Pass();
  EXPECT_TRUE(fs::is_empty(q.bad));
  // 31 was queued long ago (its message file's time) and fails again: to Bad.
  fs::last_write_time(q.queue + "MAIL00000031.MSG", fs::file_time_type::clock::now() - std::chrono::minutes(11));
  q.Pass();
  EXPECT_FALSE(fs::exists(q.queue + "MAIL00000031.ENV"));
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000031.ENV"), "a@example.com\r\ncarol@one.test\r\n");
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000031.MSG"), "Subject: t\r\n\r\nhi\r\n");
  const std::string log = q.Log();
  EXPECT_EQ(CountOf(log, std::string(vxtext::kDeliveryError).substr(0, 10)), 2u);
  EXPECT_NE(log.find(std::string("421") + vxtext::kErrorField + "421" + vxtext::kInfoField + "421 4.3.2 Try later, " +
                     q.queue + "MAIL00000031.ENV "),
            std::string::npos);
  EXPECT_NE(log.find(std::string(vxtext::kGivenUp) + q.queue + "MAIL00000031.ENV"), std::string::npos);

  // 30's second wait is an hour: the next pass tries nothing and says nothing.
  q.Pass();
  peer.Wait(300);
  EXPECT_EQ(q.Log(), log);
  EXPECT_TRUE(peer.Received(4).empty());
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000030.ENV"));
}

TEST(RelayQueue, OnlyRefusedRecipientsGoToBadAndAStuckPairIsLoggedOnce) {
  TScriptedPeer peer({testsupport::SmtpReceiver({{"x@one.test", "550 5.1.1 No such user"}}),
                      testsupport::SmtpReceiver()});
  Queue q(peer.Port);
  q.Put("MAIL00000040", "a@example.com\r\nok@one.test\r\nx@one.test\r\nnodomain\r\n");
  q.Put("MAIL00000041", "a@example.com\r\nb@one.test\r\n", nullptr);  // message file missing
  q.Put("MAIL00000042", "a@example.com\r\n");                           // sender only
  q.Pass();
  peer.Wait(500);

  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000040.ENV"), "a@example.com\r\nx@one.test\r\nnodomain\r\n");
  EXPECT_FALSE(fs::exists(q.queue + "MAIL00000040.ENV"));
  EXPECT_EQ(CountOf(peer.Received(0), "RCPT TO:"), 2u);
  EXPECT_NE(peer.Received(0).find("RCPT TO: <x@one.test>\r\nDATA\r\n"), std::string::npos);
  const std::string first = q.Log();
  EXPECT_NE(first.find(std::string(vxtext::kRecipientRefused) + "x@one.test" + vxtext::kCodeField + "550"),
            std::string::npos);
  EXPECT_NE(first.find(std::string(vxtext::kRecipientRefused) + "nodomain"), std::string::npos);
  EXPECT_NE(first.find(std::string(vxtext::kNoRecipients) + q.queue + "MAIL00000042.ENV"), std::string::npos);

  // Unchanged, the two stuck pairs are passed over in silence.
  q.Pass();
  EXPECT_EQ(q.Log(), first);
  // Its message file turns up: it is met again.
  std::ofstream(q.queue + "MAIL00000041.MSG") << "Subject: t\r\n\r\nhi\r\n";
  q.Pass();
  EXPECT_NE(q.Log(), first);
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000042.ENV"));
}

TEST(RelayQueue, PeerTextReachesTheLogWithItsControlBytesShown) {
  const std::string refusal = "550-5.1.1 \x1b[31mred\x1b[0m first\r\n550 5.1.1 second\x07 line";
  TScriptedPeer peer(testsupport::SmtpReceiver([&](const std::string&) { return refusal; }, 0,
                                               "220-mx.test \x1b]0;title\x07\r\n220 ESMTP\r\n"));
  Queue q(peer.Port);
  q.Put("MAIL00000050", "a@example.com\r\nx@one.test\r\n");
  q.Pass();
  peer.Wait();

  const std::string log = q.Log();
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.find('\x07'), std::string::npos);
  const std::string shown = "550-5.1.1 \\x1B[31mred\\x1B[0m first\\x0D\\x0A550 5.1.1 second\\x07 line";
  EXPECT_NE(log.find(std::string(vxtext::kRelayReceiveResponse) + "220-mx.test \\x1B]0;title\\x07\\x0D\\x0A220 ESMTP"),
            std::string::npos);
  EXPECT_NE(log.find(std::string(vxtext::kRecipientRefused) + "x@one.test" + vxtext::kCodeField + "550" +
                     vxtext::kInfoField + shown),
            std::string::npos);
  EXPECT_EQ(CountOf(log, shown + ", " + q.queue), 2u);
  // No line of the log starts with the peer's second line.
  EXPECT_EQ(log.find("\n550 5.1.1 second"), std::string::npos);
}

TEST(RelayQueue, ADeadDomainCostsOneTryPerPass) {
  std::atomic<int> connections{0};
  auto hangUp = [&](TPeerConn&) { ++connections; };
  TScriptedPeer peer({hangUp, hangUp, hangUp});
  Queue q(peer.Port);
  q.NoWait();
  q.Put("MAIL00000060", "a@example.com\r\nb@dead.test\r\n");
  q.Put("MAIL00000061", "a@example.com\r\nc@dead.test\r\n");
  q.Pass();
  peer.Wait(500);
  EXPECT_EQ(connections, 1);
  EXPECT_EQ(CountOf(q.Log(), std::string(vxtext::kDomainDeferred) + "dead.test"), 2u);
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000061.ENV"));
  EXPECT_TRUE(fs::is_empty(q.bad));
  // The next pass tries it once more.
  q.Pass();
  peer.Wait(500);
  EXPECT_EQ(connections, 2);
}

TEST(RelayQueue, AStopAfterADeliveryKeepsOnlyWhatIsOwed) {
  std::atomic<bool> release{false};
  std::string duringSecond;
  const std::string envelope = "/MAIL00000070.ENV";
  std::string queueFolder;
  TScriptedPeer peer({testsupport::SmtpReceiver(), [&](TPeerConn& c) {
                        // What a crash now would leave; then greets and never answers EHLO.
                        duringSecond = ReadFileBytes(queueFolder + envelope);
                        c.Send("220 mx.test ESMTP\r\n");
                        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                      }});
  Queue q(peer.Port);
  // One scripted session per domain.
  q.dm->qvSmtpRelay1->KeepSessions = false;
  queueFolder = q.queue;
  q.Put("MAIL00000070", "a@example.com\r\nb@one.test\r\nc@two.test\r\n");
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    q.dm->StopServers();
  });
  q.Pass();
  stopper.join();
  release = true;

  EXPECT_EQ(ReadFileBytes(q.queue + "MAIL00000070.ENV"), "a@example.com\r\nc@two.test\r\n");
  // Rewritten as soon as one.test took it, before two.test was tried.
  EXPECT_EQ(duringSecond, "a@example.com\r\nc@two.test\r\n");
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000070.MSG"));
  EXPECT_TRUE(fs::is_empty(q.bad));
}

TEST(RelayQueue, APassSendsItsPairsOverOneSessionThatEndsWithThePass) {
  TScriptedPeer peer({testsupport::SmtpReceiver({{"reject@one.test", "550 5.1.1 No such user"}}),
                      testsupport::SmtpReceiver()});
  Queue q(peer.Port);
  q.Put("MAIL00000081", "alice@example.com\r\nbob@one.test\r\n");
  q.Put("MAIL00000082", "alice@example.com\r\nreject@one.test\r\n");
  q.Put("MAIL00000083", "alice@example.com\r\ncarol@two.test\r\n");
  q.Pass();
  // The pass is over: its session has been closed.
  EXPECT_FALSE(q.dm->qvSmtpRelay1->Active());
  q.Put("MAIL00000084", "alice@example.com\r\ndave@one.test\r\n");
  q.Pass();
  peer.Wait();

  const std::string first = peer.Received(0);
  EXPECT_EQ(CountOf(first, "EHLO"), 1u);
  EXPECT_EQ(CountOf(first, "RSET\r\nMAIL FROM: <alice@example.com>\r\n"), 2u);
  EXPECT_EQ(CountOf(first, "\r\n.\r\n"), 2u);
  EXPECT_EQ(first.substr(first.size() - 6), "QUIT\r\n");
  EXPECT_EQ(CountOf(peer.Received(1), "RCPT TO: <dave@one.test>"), 1u);
  EXPECT_EQ(CountOf(peer.Received(1), "RSET"), 0u);
  for (const char* name : {"MAIL00000081", "MAIL00000082", "MAIL00000083", "MAIL00000084"})
    EXPECT_FALSE(fs::exists(q.queue + name + ".ENV")) << name;
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000082.ENV"), "alice@example.com\r\nreject@one.test\r\n");
}

TEST(RelayQueue, EachPairsGroupGoesOutWithTheEndOfThePairBeforeIt) {
  // Answers the first message's end only once the next group's DATA has
  // come: a pass that does not send it then stalls.
  TScriptedPeer peer(testsupport::EndAnsweredWithTheNextGroup());
  Queue q(peer.Port);
  q.Put("MAIL00000095", "alice@example.com\r\na@one.test\r\n");
  q.Put("MAIL00000096", "alice@example.com\r\nb@one.test\r\n");
  q.Put("MAIL00000097", "alice@example.com\r\nc@one.test\r\n");
  q.Pass();
  peer.Wait();

  for (const char* name : {"MAIL00000095", "MAIL00000096", "MAIL00000097"})
    EXPECT_FALSE(fs::exists(q.queue + name + ".ENV")) << name;
  const std::string got = peer.Received(0);
  EXPECT_EQ(CountOf(got, "\r\n.\r\n"), 3u);
  EXPECT_EQ(CountOf(got, "\r\n.\r\nRSET\r\nMAIL FROM: <alice@example.com>\r\n"), 2u);
  // Each pair's lines stay together in the log.
  const std::string log = q.Log();
  const size_t firstEnd = log.find(std::string(vxtext::kRelayReceiveResponse) + "250 2.0.0 Ok: queued");
  ASSERT_NE(firstEnd, std::string::npos);
  EXPECT_GT(log.find(std::string(vxtext::kRelaySendCommand) + "RCPT TO: <b@one.test>"), firstEnd);
  EXPECT_TRUE(fs::is_empty(q.bad));
}

TEST(RelayQueue, AWakeUpFromAnyThreadRunsAPassOnTheModulesThread) {
  TScriptedPeer peer({testsupport::SmtpReceiver()});
  Queue q(peer.Port);
  q.Put("MAIL00000091", "alice@example.com\r\nbob@one.test\r\n");
  auto pump = [](int AMs, const std::function<bool()>& ADone) {
    for (int i = 0; i < AMs / 10 && !ADone(); ++i) (void)plat::TMessageQueue::Current().ProcessMessages(10);
  };
  // Not relaying (the timer is off): a wake-up runs nothing.
  std::thread([&] { q.dm->WakeRelay(); }).join();
  pump(200, [] { return false; });
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000091.ENV"));
  // Relaying with a long interval: the pair goes out at once.
  q.dm->Timer1.SetInterval(600000);
  q.dm->Timer1.SetEnabled(true);
  std::thread([&] {
    q.dm->WakeRelay();
    q.dm->WakeRelay();
  }).join();
  pump(5000, [&] { return !fs::exists(q.queue + "MAIL00000091.ENV"); });
  EXPECT_FALSE(fs::exists(q.queue + "MAIL00000091.ENV"));
  peer.Wait();
  EXPECT_EQ(CountOf(peer.Received(0), "RCPT TO: <bob@one.test>"), 1u);
  EXPECT_EQ(CountOf(q.Log(), std::string(vxtext::kProcessQueue)), 2u) << "one pass: its opening and closing lines";
}

TEST(RelayQueue, StopEndsAPassWaitingOnADeadPeer) {
  std::atomic<bool> release{false};
  TScriptedPeer peer([&](TPeerConn& c) {
    // Greets, then never answers EHLO.
    c.Send("220 mx.test ESMTP\r\n");
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  Queue q(peer.Port);
  q.Put("MAIL00000007", "a@example.com\r\nb@one.test\r\n");
  q.Put("MAIL00000008", "a@example.com\r\nc@one.test\r\n");
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    q.dm->StopServers();
  });
  const auto start = std::chrono::steady_clock::now();
  q.dm->Timer1Timer(&q.dm->Timer1);
  const auto took = std::chrono::steady_clock::now() - start;
  stopper.join();
  release = true;

  EXPECT_LT(took, std::chrono::seconds(10));
  // Both pairs stay as they were, and no new pass starts.
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000007.ENV"));
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000008.ENV"));
  EXPECT_TRUE(fs::is_empty(q.bad));
  const std::string before = q.Log();
  q.dm->Timer1Timer(&q.dm->Timer1);
  EXPECT_EQ(q.Log(), before);
  EXPECT_FALSE(q.dm->Timer1.Enabled());
}

TEST(RelayQueue, StopEndsAPassWaitingOnASilentNameServer) {
  testsupport::TFakeDnsServer dns([](const std::string&) { return std::vector<testsupport::TDnsDatagram>{}; });
  Queue q(25);
  TqvSmtpRelay& relay = *q.dm->qvSmtpRelay1;
  relay.OnResolveMX = nullptr;
  relay.SetDnsServer("127.0.0.1");
  relay.Dns().SetPort(dns.Port());
  relay.Dns().SetTimeOut(30000);
  q.Put("MAIL00000009", "a@example.com\r\nb@one.test\r\n");
  // Stops once the look-up is under way.
  std::thread stopper([&] {
    for (int i = 0; i < 500 && dns.Queries().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    q.dm->StopServers();
  });
  const auto start = std::chrono::steady_clock::now();
  q.dm->Timer1Timer(&q.dm->Timer1);
  const auto took = std::chrono::steady_clock::now() - start;
  stopper.join();

  EXPECT_LT(took, std::chrono::seconds(2));
  EXPECT_EQ(dns.Queries().size(), 1u);
  // The pair stays queued for the next start, whole.
  EXPECT_EQ(ReadFileBytes(q.queue + "MAIL00000009.ENV"), "a@example.com\r\nb@one.test\r\n");
  EXPECT_TRUE(fs::exists(q.queue + "MAIL00000009.MSG"));
  EXPECT_TRUE(fs::is_empty(q.bad));
}

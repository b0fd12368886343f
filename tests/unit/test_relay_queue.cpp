// The relay queue pass over a real queue folder, with scripted receivers:
// what is sent, removed, kept and copied to the bad-mail folder, what the log
// says, that no pair blocks the others, that a failed pair is never lost nor
// sent twice, and that a stop ends a pass waiting on a dead peer or a silent
// name server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "DnsTestSupport.h"
#include "RelayTestSupport.h"
#include "TestSupport.h"
#include "VxMailTexts.h"
#include "dmVxMailServersU.h"
#include "qvLogger.h"

namespace fs = std::filesystem;
using testsupport::TPeerConn;
using testsupport::TScriptedPeer;

namespace {

using testsupport::ReadFileBytes;

size_t CountOf(const std::string& AText, const std::string& APart) {
  size_t n = 0;
  for (size_t at = AText.find(APart); at != std::string::npos; at = AText.find(APart, at + 1)) ++n;
  return n;
}

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
  TScriptedPeer peer({testsupport::SmtpReceiver({{"x@one.test", "550 no"}}), testsupport::SmtpReceiver(), testsupport::SmtpReceiver()});
  Queue q(peer.Port);
  // The name is taken in the bad-mail folder already.
  std::ofstream(q.bad + "MAIL00000005.ENV") << "old\r\n";
  q.Put("MAIL00000005", "a@example.com\r\nx@one.test\r\n");
  // A handler fault after one domain took the message.
  q.dm->qvSmtpRelay1->OnRelayMessage = [](TObject*, const std::string& ADomain, TStrings&, TqvSmtpRelayStatus&) {
    if (ADomain == "three.test") throw std::runtime_error("handler fault");
  };
  q.Put("MAIL00000006", "a@example.com\r\ny@two.test\r\nz@three.test\r\n");
  q.dm->Timer1Timer(&q.dm->Timer1);

  EXPECT_NE(q.Log().find(vxtext::kCopyFailed), std::string::npos);
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL00000005.ENV"), "old\r\n");
  EXPECT_FALSE(fs::exists(q.bad + "MAIL00000005.MSG"));
  // Kept whole under the store's next free name.
  EXPECT_EQ(ReadFileBytes(q.bad + "MAIL000000050.ENV"), "a@example.com\r\nx@one.test\r\n");
  EXPECT_TRUE(fs::exists(q.bad + "MAIL000000050.MSG"));
  // two.test has it: the pair is failed and gone from the queue.
  EXPECT_TRUE(fs::exists(q.bad + "MAIL00000006.ENV"));
  EXPECT_TRUE(fs::is_empty(q.queue));

  // A second pass finds nothing to send again.
  q.dm->Timer1Timer(&q.dm->Timer1);
  EXPECT_TRUE(peer.Received(3).empty());
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

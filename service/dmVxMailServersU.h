// The service's data module: owns the servers, their file stores, the relay
// and the relay timer, applies the settings to them, and starts and stops
// them. StartServers/StopServers run on the service thread; Timer1 fires on
// the thread that created the module (the main thread, whose message loop
// runs for the service's life). The logging handlers may run on any thread.
// StartServers raises when a step fails, having stopped what it started.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <vector>
#include <exception>
#include <memory>
#include <string>

#include "HostedComponents.h"
#include "HostedServers.h"
#include "MessageLoop.h"
#include "StringList.h"
#include "dmVxMailServersSettingsU.h"
#include "qvSmtpRelay.h"

class TqvRelayQueue;

class TdmVxMailServers : public TdmVxMailServersSettings, public IServerLog {
 public:
  TdmVxMailServers();
  TdmVxMailServers(std::string ProgramFolder, std::string ProgramPath);
  ~TdmVxMailServers() override;

  // Components, in creation order.
  std::unique_ptr<TqvSmtpRelay> qvSmtpRelay1;
  std::unique_ptr<IHostedServer> qvSmtpServer1;
  std::unique_ptr<IHostedSmtpStore> qvSmtpFileHandler1;
  std::unique_ptr<IHostedMailStore> qvPop3FileHandler1;
  std::unique_ptr<IHostedServer> qvPop3Server1;
  std::unique_ptr<IHostedServer> qvImap4Server1;
  std::unique_ptr<IHostedMailStore> qvImap4FileHandler1;
  plat::TTimer Timer1;

  // Ties the components' events to the handlers below (again after a slot
  // was replaced).
  void BindComponents();

  void ApplySettings();
  std::string GetCounterFile() const;
  void LoadCounter();
  void SaveCounter();
  // Writes ALimit as the counter, durably, ahead of the numbers up to it
  // (the store's OnReserveCounter; SaveCounter writes the current one);
  // nothing when the counter file's folder does not exist, raises when the
  // file cannot be written.
  void ReserveCounter(int ALimit);
  void StartServers();
  void StopServers();
  // True from a successful StartServers until StopServers begins.
  bool Serving() const { return FServing; }

  // One relay queue pass over the pairs that are due. Each pair is handled
  // on its own: one that cannot be read is logged and passed over (logged
  // once, again only when its files change). Recipients that took the
  // message leave its envelope, which is rewritten whole; those refused for
  // good go to the bad-mail folder; the others wait RetryWaitSeconds before
  // the next try, or go to the bad-mail folder at a failure once the message
  // file is older than GiveUpSeconds. After a stop request no further pair
  // is taken, and what a stop cut short stays queued with what is still
  // owed. Nothing raised inside the pass leaves it.
  void Timer1Timer(TObject* Sender);
  // Any thread: a pass runs soon on the module's thread, if the timer is on
  // (its interval stays the longest wait). Wake-ups while one waits to be
  // handled are one; those during a pass make one more pass after it.
  void WakeRelay();
  // ATarget gets AEnvelope's lines from the second on.
  void CopyRecipients(const TStrings& AEnvelope, TStrings& ATarget);
  // Places ASender with the recipients AFailed, and a copy of the message
  // file, under one free name of AQueue's bad-mail folder (the pair's own
  // name first, then with a retry digit); logs one line per file with
  // AReport's codes and where it went. False, nothing placed, when that failed.
  bool CopyToBadFolder(const TqvRelayQueue& AQueue, const std::string& AEnvelopeFile, const std::string& ASender,
                       const TStrings& AFailed, const TqvRelayRecipient& AReport);

  // Seconds to wait after the 1st, 2nd, ... temporary failure of a pair (the
  // last repeats), and the age past which a failing pair is given up.
  std::vector<int> RetryWaitSeconds{60, 300, 900, 1800, 3600};
  int64_t GiveUpSeconds = kDefaultGiveUpAge;

  // Logging handlers; the three servers share one per event.
  void qvSmtpRelay1SendCommand(TObject* Sender, const std::string& AText);
  void qvSmtpRelay1ReceiveResponse(TObject* Sender, const TStrings& AList);
  void ServerAcceptConnection(TObject* Sender, const std::string& PeerIP) override;
  void ServerCloseConnection(TObject* Sender, const std::string& PeerIP) override;
  // Secrets (PASS, every AUTH step after the mechanism, what follows an
  // unknown command word) are written as "***"; control bytes from the
  // client as "\xHH".
  void ServerReceiveCommand(TObject* Sender, const TqvTcpCommandParams& Params) override;
  void ServerReceiveCommand(TObject* Sender, const std::string& Command, const std::string& Params);
  // A reply that echoes an unknown command shows it masked as in its command line.
  void ServerSendResponse(TObject* Sender, const std::string& Command, const std::string& Response) override;
  void ServerError(TObject* Sender, const std::exception& E) override;
  void ServerStart(TObject* Sender);
  void ServerStop(TObject* Sender);

 private:
  void StopStarted(bool CounterLoaded);
  // Before the servers listen: removes what a crash left of the stores'
  // temporary files (account folders, relay queue) and logs how many.
  void RemoveStagedLeftovers();
  // Slow clients hold descriptors: the soft limit goes up to the hard one.
  void RaiseDescriptorLimit();
  // What the pass keeps of a queued pair between passes (the waits start
  // afresh after a restart; the give-up age does not).
  struct TQueuedPair {
    int Failures = 0;
    std::chrono::steady_clock::time_point Due{};
    bool Stuck = false;      // could not be handled; its files are these:
    std::string Signature;
  };
  // Tells the relay the first pair of ANames from AFrom on that is due: the
  // one the pass will most likely send next.
  void HintNextPair(const TqvRelayQueue& AQueue, const std::vector<std::string>& ANames, size_t AFrom,
                    std::chrono::steady_clock::time_point ANow);
  // One attempt; true when the pair left the queue.
  bool RelayPair(const TqvRelayQueue& AQueue, const std::string& AEnvelopeFile, TQueuedPair& APair);
  // The recipient and domain lines of the last Send.
  void LogRelayOutcome();
  // After each domain of the pair in hand: the envelope loses the
  // recipients delivered so far, so that a crash later in the pair sends
  // none of them again.
  void RelayMessageDone();
  std::string FEnvelopeInHand;   // the pair in hand's envelope file, "" between pairs
  TStringList FEnvelopeLines;    // what that file holds now
  // One "传送错误" line.
  void LogBadCopy(const TqvRelayRecipient& AReport, const std::string& ASource, const std::string& AOutcome);
  std::map<std::string, TQueuedPair> FQueued;
  // The wake-up: a message to a window of the module's thread.
  void RelayWoken();
  std::unique_ptr<plat::TMessageWindow> FWakeWindow;
  std::atomic<bool> FWakePending{false};
  bool FInPass = false;
  bool FWakeAgain = false;
  std::atomic<bool> FServing{false};
  std::atomic<bool> FStopRequested{false};
};

// Strict decimal text to int; raises EConvertError for anything else.
int StrToInt(const std::string& Text);

// The SMTP relay: delivers one message to recipients of any domains by acting
// as the sending mail server itself. Recipients are grouped by domain (the
// part after the first "@", lower-cased) in the order first seen; for each
// domain the mail exchangers come from OnResolveMX or an MX look-up (the
// domain's addresses when there is none), are tried in order until one opens
// a session, and that session carries the domain's recipients (matched by
// whole domain, never by substring). Exchanger names are resolved through the
// relay's own DNS client (the MX answer's additional records, else an address
// look-up), never the system resolver, and each address of an exchanger is
// tried, in order, before the next exchanger. Replies get the waits of RFC
// 5321 (5 minutes for the greeting, MAIL and RCPT, 10 after the final ".").
// A refused recipient does not stop the others: the message goes to those
// accepted, and the ones a "452" put off (too many recipients) follow in a
// further transaction on the same session. One status per domain records the
// outcome, with each recipient's fate: delivered, failed for good (a 5xx
// reply, a domain that does not exist or has no exchanger, a recipient
// without a domain) or to be tried again (a 4xx reply, no exchanger
// reachable, a name server that failed or was silent). A domain delivered
// through a later exchanger shows no error.
// Socket, reply, SMTP and security errors stay inside Send; anything else
// (an event handler raising, out of memory) leaves it, with the statuses made
// so far kept. One thread drives the relay; Abort may come from any thread.
// A queue pass may keep the session to an exchanger open from one domain or
// Send to the next (KeepSessions) and remember DNS answers (CacheLookUps);
// EndPass closes the one and forgets the other.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "StringList.h"
#include "qvDnsQuery.h"
#include "qvSmtp.h"

// How a domain's own look-up ended (ResolveMX), for callers that retry:
// dlTemporary for a time-out, a server failure, a truncated reply TCP could
// not complete and every other socket error; dlPermanent for a name that does
// not exist, or one with neither an exchanger nor an address. An exchanger
// whose own address cannot be found is a failure of that exchanger
// (ConnectMX records it, the look-up stays dlFound).
enum TqvDomainLookUp { dlFound, dlTemporary, dlPermanent };

// A recipient without a domain (no "@" in its e-mail part): never sent.
constexpr int qvRelayNoDomain = -210;

// What became of one recipient in the last Send.
enum class TqvRelayOutcome { roDelivered, roRetry, roFailed };

struct TqvRelayRecipient {
  std::string Email;  // as the caller gave it
  TqvRelayOutcome Outcome = TqvRelayOutcome::roRetry;
  // Why it was not delivered: the reply that refused it (OwnReply) or the
  // domain's failure; the three fields of the domain's status.
  int ResponseCode = 0;
  int ErrorCode = 0;
  std::string ErrorText;
  bool OwnReply = false;
};

class TqvSmtpRelayStatus : public TObject {
 public:
  VX_CLASS_NAME("TqvSmtpRelayStatus")
  bool Sent = false;  // every recipient of the domain took the message
  int ResponseCode = 0;      // the client's last reply code, 0 if none
  std::string ResponseText;  // the client's last reply lines, joined and trimmed
  std::string MailServer;    // the last mail exchanger tried
  std::string Domain;        // lower-case
  int ErrorCode = 0;         // the last socket, reply or security error, 0 if none
  std::string ErrorText;
  TqvDomainLookUp LookUp = dlFound;
  bool Transient = false;    // some recipients are to be tried again
  bool Deferred = false;     // not tried: the domain was unreachable earlier (DeferUnreachable)
  std::vector<TqvRelayRecipient> Recipients;  // the domain's, in the caller's order
};

class TqvSmtpRelayStatusList {
 public:
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  // EListError outside 0..Count-1.
  [[nodiscard]] TqvSmtpRelayStatus& Items(int AIndex) const;
  // Takes ownership; the status stays valid until Clear.
  TqvSmtpRelayStatus& Add(std::unique_ptr<TqvSmtpRelayStatus> AItem);
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TqvSmtpRelayStatus>> FItems;
};

using TqvConnectMXEvent = std::function<void(TObject* Sender, const std::string& ADomain, const std::string& AMailServer)>;
using TqvRelayMessageEvent = std::function<void(TObject* Sender, const std::string& ADomain, TStrings& ARecipients,
                                                TqvSmtpRelayStatus& ARelayStatus)>;
using TqvResolveMXEvent =
    std::function<void(TObject* Sender, const std::string& ADomain, TStrings& AMxList, bool& Handled)>;

class TqvSmtpRelay : public TqvSmtp {
 public:
  explicit TqvSmtpRelay(TComponent* AOwner = nullptr);
  ~TqvSmtpRelay() override;
  VX_CLASS_NAME("TqvSmtpRelay")

  // Relays ALines to every recipient, domain by domain, and fills StatusList.
  void Send(const std::string& AMailFrom, TStrings& ALines, const TStrings& ARecipients) override;
  using TqvSmtp::Send;

  // The DNS client's server; empty: the system's name servers.
  [[nodiscard]] const std::string& DnsServer() const { return FDns->Server(); }
  void SetDnsServer(const std::string& AValue);
  // The owned DNS client (its port and time-out are settable for tests).
  [[nodiscard]] TqvDnsQuery& Dns() { return *FDns; }
  [[nodiscard]] const TqvSmtpRelayStatusList& StatusList() const { return FStatusList; }

  // Any thread: the running Send tries no further host or domain, and a wait
  // on a peer or a name server ends at once; later Sends try nothing until
  // ResetAbort.
  void Abort();
  void ResetAbort();
  [[nodiscard]] bool Aborted() const { return FAborted; }

  // With DeferUnreachable on, a domain whose exchangers all failed without a
  // reply (refused, timed out), or whose look-up failed for the time being,
  // is not tried again until ForgetUnreachable: its recipients are to be
  // tried again, with the error first met. Off by default.
  bool DeferUnreachable = false;
  void ForgetUnreachable() { FUnreachable.clear(); }

  // With KeepSessions on, the session to an exchanger stays open after a
  // domain is done, and the next domain sent to the same exchanger (in this
  // Send or a later one) goes over it after an RSET; the domain it last
  // served goes on over it without a new look-up. A kept session that the
  // peer closed, or that refuses the RSET, is opened afresh once; that is
  // never a failure of the domain. A session that met any error, or an
  // Abort, is closed at once; one older than KeptSessionLimitMs is not used
  // again. Another exchanger or EndPass closes a kept session with QUIT.
  // Off by default: every domain gets its own session.
  bool KeepSessions = false;
  int KeptSessionLimitMs = 300000;
  // MAIL, RCPT and DATA go out together when the exchanger offers
  // PIPELINING (RFC 2920); each recipient's fate is as without it.
  bool UsePipelining = true;
  // With CacheLookUps on, MX answers (with the addresses they carry) and
  // exchanger address answers are used again until EndPass, each no longer
  // than the smallest TTL of its records; answers without records or with a
  // TTL of 0, failed look-ups and OnResolveMX lists never are. Off by default.
  bool CacheLookUps = false;
  // The end of a queue pass: QUIT on a kept session; unreachable domains and
  // cached answers are forgotten. Never raises for the peer.
  void EndPass();
  // A hint with KeepSessions and PIPELINING: the message the next Send will
  // carry, all to one domain. Its RSET, MAIL, RCPT and DATA then go out right
  // behind the end of this Send's message to that domain, on its kept
  // session, which saves a wait. A next Send that is not that message,
  // another exchanger, an error or EndPass then closes the session without
  // QUIT: the receiver drops the half transaction, nothing of it delivered.
  // Each Send uses the hint once.
  void SetNextMessage(const std::string& AMailFrom, const TStrings& ARecipients);
  void ClearNextMessage() { FHasNext = false; }
  // True while a kept session is open.
  [[nodiscard]] bool SessionKept() { return FKeptHost.size() > 0 && Active(); }

  // The domain of a recipient as the relay groups it, lower-case; "" when
  // its e-mail part has no "@" or nothing after it.
  [[nodiscard]] static std::string RecipientDomain(const std::string& ARecipient);

  TqvConnectMXEvent OnConnectMX;
  TqvConnectMXEvent OnDisconnectMX;
  TqvRelayMessageEvent OnRelayMessage;
  TqvResolveMXEvent OnResolveMX;

  // The steps of Send, for callers that drive a domain themselves.
  // The exchangers of ADomain into AHosts (OnResolveMX, else MX, else the
  // domain's addresses); a DNS error goes into AStatus (LookUp says which kind).
  virtual void ResolveMX(const std::string& ADomain, TStrings& AHosts, TqvSmtpRelayStatus& AStatus);
  // A session to AHost, trying each of its addresses; true when one opened.
  // A kept session to AHost is used again (after RSET); one to another
  // exchanger is closed first. Failures go into AStatus.
  virtual bool ConnectMX(const std::string& ADomain, const std::string& AHost, TqvSmtpRelayStatus& AStatus);
  // MAIL, RCPT and DATA for the recipients of exactly ADomain over the open
  // session; the outcome goes into AStatus, then OnRelayMessage. A kept
  // session found gone at its RSET returns at once with nothing recorded.
  virtual void RelayToDomain(const std::string& ADomain, const std::string& AMailFrom, TqvSmtpRelayStatus& AStatus,
                             const TStrings& ARecipients, TStrings& ALines);
  // QUIT and close, then OnDisconnectMX.
  virtual void DisconnectMX(const std::string& ADomain, const std::string& AHost);

 protected:
  // Notes that a reply came in the attempt at hand.
  void WaitResponse(const TqvReplyCodes& ACodes) override;

 private:
  struct TUnreachable {
    int ErrorCode = 0;
    std::string ErrorText;
  };
  // The domain's exchangers in order, each until one opens a session.
  void TryExchangers(const std::string& ADomain, const std::string& AMailFrom, TqvSmtpRelayStatus& AStatus,
                     const TStrings& ARecipients, TStrings& ALines);
  // One transaction for the recipients APending (indexes into AStatus)
  // with PIPELINING; those a 452 put off go into ALater. True when the
  // message went to some of them.
  bool PipelinedTransaction(const std::string& AMailFrom, TqvSmtpRelayStatus& AStatus, TStrings& ALines,
                            const std::vector<size_t>& APending, std::vector<size_t>& ALater);
  // MAIL, RCPT and DATA, again for the recipients a 452 put off.
  void RunTransactions(const std::string& AMailFrom, TqvSmtpRelayStatus& AStatus, TStrings& ALines);
  // Fills in the domain's failure for every recipient without one of its own.
  static void Conclude(TqvSmtpRelayStatus& AStatus, bool ATransient);
  // AHost itself when it is an address, else the addresses the MX answer
  // carried for it, else an address look-up through the relay's DNS client;
  // 11001 when there is none.
  [[nodiscard]] std::vector<std::string> ExchangerAddresses(const std::string& AHost);

  // True when the kept session, young enough, may carry the next
  // transaction: it answered RSET, or its RSET goes with the next pipelined
  // group. Else it is closed.
  bool ResumeKeptSession();
  // The domain's transactions over the open session to AHost, which is
  // then kept or closed.
  void DeliverOver(const std::string& AHost, const std::string& ADomain, const std::string& AMailFrom,
                   TqvSmtpRelayStatus& AStatus, const TStrings& ARecipients, TStrings& ALines);

  // An answer CacheLookUps keeps: exchangers with the addresses the answer
  // carried for them, or an exchanger's addresses (Hosts).
  struct TCachedAnswer {
    std::vector<std::string> Hosts;
    std::map<std::string, std::vector<std::string>> Known;
    std::chrono::steady_clock::time_point Expires;
  };
  // The live entry for AKey, or null.
  [[nodiscard]] static const TCachedAnswer* Cached(const std::map<std::string, TCachedAnswer>& ACache,
                                                   const std::string& AKey);
  // Keeps AAnswer for ATtl seconds (nothing for 0 or less).
  static void Keep(std::map<std::string, TCachedAnswer>& ACache, const std::string& AKey, TCachedAnswer AAnswer,
                   int64_t ATtl);
  // The smallest TTL of the last response's answer and additional records; 0 for none.
  [[nodiscard]] int64_t LastAnswerTtl();

  std::unique_ptr<TqvDnsQuery> FDns;
  TqvSmtpRelayStatusList FStatusList;
  // Exchanger addresses from the last MX answer, by lower-case host name.
  std::map<std::string, std::vector<std::string>> FKnownAddresses;
  std::atomic<bool> FAborted{false};
  bool FReplied = false;
  std::map<std::string, TUnreachable> FUnreachable;
  // The exchanger (as the host list named it) and domain of the open
  // session; "" when none is kept.
  std::string FKeptHost;
  std::string FKeptDomain;
  std::chrono::steady_clock::time_point FKeptSince;
  bool FSessionSound = true;  // no error met in the domain's transactions
  std::map<std::string, TCachedAnswer> FMxCache;       // by the domain asked
  std::map<std::string, TCachedAnswer> FAddressCache;  // by exchanger, lower-case
  // The RSET of a kept session with PIPELINING leads the next group: owed,
  // sent (no reply yet), answered 250, or refused or never answered (the
  // session was gone: the domain goes once more over a new one).
  enum class TReset { None, Owed, Sent, Done, Failed };
  TReset FReset = TReset::None;
  // Closes a session that is out of step, without QUIT, then OnDisconnectMX.
  void DropSession(const std::string& ADomain, const std::string& AHost);
  // Closes the kept session: without QUIT when a group went out for a
  // message not sent yet, else with it.
  void CloseKept(const std::string& ADomain, const std::string& AHost);
  // The next message's group may ride behind the end of this one.
  [[nodiscard]] bool MayPrefetch();
  bool FHasNext = false;  // SetNextMessage's hint, for the Send in hand
  std::string FNextFrom;
  std::vector<std::string> FNextRcpts;
  // A group that went out for the next message; its sender and recipients.
  bool FPrefetched = false;
  std::string FPrefetchFrom;
  std::vector<std::string> FPrefetchRcpts;
  std::string FDomainInHand;  // the domain whose transactions run now
  bool FLastDomain = false;   // ... and it is the last of the Send
};

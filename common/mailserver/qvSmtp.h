// The SMTP client: greeting, EHLO or HELO (no fall-back from one to the
// other), STARTTLS when the TLS mode asks for it, AUTH (LOGIN, CRAM-MD5, NTLM,
// XOAUTH2), then MAIL, RCPT and DATA per message, and QUIT when closed.
// Send adds X-Mailer and Message-ID when missing and removes every Bcc field,
// in the caller's lines, then sends them dot-stuffed as they are. Addresses go
// out as their e-mail part in IDN form. Reply errors are EqvTcpClientError
// with the server's code and text; the SMTP errors are EqvSmtpError (-200,
// -201, -202, -400). A failure in Open closes without QUIT; a failure in Send
// leaves the session open for the caller to close. Each step may have its
// own wait (TimeOuts; the relay uses those of RFC 5321), else TimeOut holds.
// SendEnvelope sends MAIL, the RCPTs and DATA together (RFC 2920) for a
// server that offers PIPELINING.
// One thread at a time.
// TqvSmtp sends either the lines in MailData (the relay's way) or a composed
// MIME message, whose From and To/CC/BCC stand in for an empty MailFrom or
// MailToList; its Bcc fields never go out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "StringList.h"
#include "qvTcpCommandClient.h"

constexpr int qvSmtpDataEmpty = -200;
constexpr int qvSmtpRecipientsEmpty = -201;
constexpr int qvSmtpRecipientsFailed = -202;
constexpr int qvSmtpSaslUnavailable = -400;

// A recipient the server took: "250", or "251" (not local, it forwards).
[[nodiscard]] constexpr bool RecipientAccepted(int AReplyCode) { return AReplyCode == 250 || AReplyCode == 251; }

class EqvSmtpError : public EqvTcpClientError {
 public:
  // One of the codes above, with its fixed text.
  explicit EqvSmtpError(int ACode);
  VX_CLASS_NAME("EqvSmtpError")
};

// The wait for each step's reply, ms; 0 leaves the client's TimeOut. A
// step's wait also bounds each block of the message that it writes.
struct TqvSmtpTimeOuts {
  int Greeting = 0;   // the server's 220
  int Hello = 0;      // EHLO or HELO, STARTTLS, AUTH steps
  int MailFrom = 0;
  int Rcpt = 0;       // each RCPT
  int DataStart = 0;  // DATA's 354
  int DataBlock = 0;  // each block of message lines written
  int DataEnd = 0;    // the reply to the final "."
  bool operator==(const TqvSmtpTimeOuts&) const = default;
};

// RFC 5321 section 4.5.3.2: what a sending mail server waits for each reply
// (EHLO and AUTH as long as the greeting).
inline constexpr TqvSmtpTimeOuts qvRfc5321TimeOuts{300000, 300000, 300000, 300000, 120000, 180000, 600000};

class TqvFailedRecipient : public TObject {
 public:
  TqvFailedRecipient(std::string AEmail, std::string AErrorText, int AErrorCode)
      : ErrorText(std::move(AErrorText)), Email(std::move(AEmail)), ErrorCode(AErrorCode) {}
  VX_CLASS_NAME("TqvFailedRecipient")
  std::string ErrorText;  // the server's trimmed reply
  std::string Email;      // as the caller gave it
  int ErrorCode;          // the server's reply code
};

class TqvFailedRecipientList {
 public:
  void Add(std::unique_ptr<TqvFailedRecipient> AItem) { FItems.push_back(std::move(AItem)); }
  void Clear() { FItems.clear(); }
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  [[nodiscard]] TqvFailedRecipient& Items(int AIndex) const { return *FItems.at(static_cast<size_t>(AIndex)); }

 private:
  std::vector<std::unique_ptr<TqvFailedRecipient>> FItems;
};

class TqvCustomSmtp : public TqvCustomMail {
 public:
  explicit TqvCustomSmtp(TComponent* AOwner = nullptr);
  VX_CLASS_NAME("TqvCustomSmtp")

  virtual void OpenSmtpSession();
  virtual void SendMailFrom(const std::string& AMailFrom);
  virtual void SendRecipients(const TStrings& ARecipients);
  virtual void SendData(const TStrings& ALines);
  // PIPELINING (RFC 2920): MAIL FROM, a RCPT for each of ARecipients and
  // DATA in one write, then their replies in order, each with its step's
  // wait; AReplies gets each RCPT's reply as it is read (250 accepted, as
  // SendRecipients has it). True when DATA was answered 354 and a recipient
  // was accepted: the message must follow (SendDataBody). Once every reply is
  // read, a refused MAIL raises as SendMailFrom does, and a refused DATA
  // after an accepted recipient as SendData does; a DATA that a server
  // answered 354 with no recipient gets an empty message ("." alone).
  // With AResetFirst an RSET leads the group; a refused RSET raises at once
  // with its reply, the other replies unread (the session is out of step).
  // With AAlreadySent the group went out behind the end of the message
  // before (SendDataBody's AThen, the same commands): only its replies are
  // read.
  [[nodiscard]] bool SendEnvelope(const std::string& AMailFrom, const TStrings& ARecipients,
                                  std::vector<TqvFailedRecipient>& AReplies, bool AResetFirst = false,
                                  bool AAlreadySent = false);
  // The group SendEnvelope writes.
  [[nodiscard]] std::vector<std::string> EnvelopeCommands(const std::string& AMailFrom, const TStrings& ARecipients,
                                                          bool AResetFirst) const;
  // After DATA's 354: the lines, the final "." and its reply. AThen, when
  // given, goes out right behind the "." (the next transaction's group,
  // reported to OnSendCommand only when its replies are read); the reply to
  // the "." is then read alone, the group's left for SendEnvelope.
  void SendDataBody(const TStrings& ALines, const std::vector<std::string>* AThen = nullptr);
  // The last EHLO offered PIPELINING.
  [[nodiscard]] bool PipeliningOffered() const;
  virtual void Quit();
  virtual void Reset();
  virtual void Noop();
  // Header changes in ALines, then MAIL, RCPT, DATA; -202 when any recipient
  // failed (the others got the message).
  virtual void Send(const std::string& AMailFrom, TStrings& ALines, const TStrings& ARecipients);
  // The header changes of Send, made in ALines: X-Mailer and Message-ID when
  // missing (at the header's end, also where no empty line follows it), and
  // every Bcc field removed. Running it again changes nothing more.
  void PrepareMessage(TStrings& ALines);
  [[nodiscard]] virtual std::string GenerateMessageId();
  void StartTls() override;

  // The name EHLO and HELO give: HostName when it is not blank, else the
  // machine's fully qualified name, else the address literal of the local
  // end ("[192.0.2.1]", "[IPv6:...]") while connected, else the bare host
  // name.
  [[nodiscard]] std::string EhloName();

  [[nodiscard]] const TqvSmtpTimeOuts& TimeOuts() const { return FTimeOuts; }
  void SetTimeOuts(const TqvSmtpTimeOuts& AValue);

  TStringList Extensions;
  TStringList AuthMethods;
  TqvFailedRecipientList FailedRecipients;
  int64_t MessageSizeLimit = 0;

  // Every setter stores a changed value and fires OnChanged.
  [[nodiscard]] bool UseEHLO() const { return FUseEHLO; }
  void SetUseEHLO(bool AValue);
  [[nodiscard]] bool SkipFailedRecipients() const { return FSkipFailedRecipients; }
  void SetSkipFailedRecipients(bool AValue);
  // The "X-Mailer" value added to messages without one.
  [[nodiscard]] const std::string& MailAgent() const { return FMailAgent; }
  void SetMailAgent(const std::string& AValue);
  // The name for EHLO, HELO and generated message IDs; empty by default.
  [[nodiscard]] const std::string& HostName() const { return FHostName; }
  void SetHostName(const std::string& AValue);

 protected:
  int ParseResponseCode(const std::string& ALine) override;
  int GetDefaultPort() const override { return 25; }

 private:
  void Hello(const std::string& AVerb, const TqvReplyCodes& ACodes);
  void Login();
  void AuthLogin();
  void AuthCramMd5();
  void AuthNtlm();
  void AuthXOAuth2();
  [[nodiscard]] bool Offered(const std::string& AMechanism) const;

  TqvSmtpTimeOuts FTimeOuts;
  bool FUseEHLO = true;
  bool FSkipFailedRecipients = false;
  std::string FMailAgent = "Quorvin Mail Kit - Ostra Edition";
  std::string FHostName;
};

class TqvSmtp : public TqvCustomSmtp {
 public:
  explicit TqvSmtp(TComponent* AOwner = nullptr);
  ~TqvSmtp() override;
  VX_CLASS_NAME("TqvSmtp")

  // Sends MailMessage (see below).
  void Send();
  // With MailData lines, or no message, sends MailData from MailFrom to a
  // copy of MailToList. Otherwise sends the message's built lines under a new
  // Message-ID, from MailFrom or else the message's From, to MailToList or
  // else the message's To, CC and BCC addresses.
  void Send(TqvMailMessage* AMessage);
  using TqvCustomSmtp::Send;

  [[nodiscard]] const std::string& MailFrom() const { return FMailFrom; }
  void SetMailFrom(const std::string& AValue);
  // Owned lists: any change to their contents (Assign copies) fires OnChanged.
  TStringList MailToList;
  TStringList MailData;

 protected:
  void AfterOpen() override { OpenSmtpSession(); }
  void BeforeClose() override { Quit(); }
  void SendKeepAlive() override { Noop(); }

 private:
  std::string FMailFrom;
};

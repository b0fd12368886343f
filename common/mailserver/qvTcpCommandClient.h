// The line-command client: writes one command line, reads reply lines until
// a final reply arrives and checks its code against the codes the caller
// accepts (a refused final reply raises EqvTcpClientError with the server's
// code and trimmed text; the connection stays open). Sends blocks of lines
// with an end line through a dot-stuffing filter (SMTP DATA). TqvCustomMail
// adds what mail clients share: the message to send, SASL options and the
// XOAUTH2 string.
// Replies are bounded: a line over qvMaxReplyLineBytes or a reply over
// qvMaxReplyBytes raises qvReplyTooLong, and one exchange may take at most
// qvReplyDeadlineFactor x TimeOut in all (then -1, the time-out error), so a
// peer that trickles bytes cannot hold the client. The busy flag is set
// during every exchange and transfer, so keep-alive ticks and the closing
// exchange never cut into one. One thread at a time; Interrupt on the
// connection from another thread ends a wait with -6.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "StringList.h"
#include "qvTcpClient.h"

class TqvMailMessage;

constexpr int qvMaxReplyLineBytes = 4096;
constexpr int qvMaxReplyBytes = 64 * 1024;
constexpr int qvReplyDeadlineFactor = 5;
constexpr int qvReplyTooLong = -102;

using TqvTcpListEvent = std::function<void(TObject* Sender, TStrings& AList)>;
using TqvTcpTextEvent = std::function<void(TObject* Sender, const std::string& AText)>;
// Accepted reply codes; a 0 entry ends the list; exactly {1} waits without
// raising until a line of code 1 arrives.
using TqvReplyCodes = std::vector<int>;

// One argument of a formatted command: a text, or a number.
struct TqvCommandArg {
  TqvCommandArg(std::string_view AText) : Text(AText) {}
  TqvCommandArg(const char* AText) : Text(AText) {}
  TqvCommandArg(const std::string& AText) : Text(AText) {}
  template <class I>
    requires std::is_integral_v<I>
  TqvCommandArg(I AValue) : Text(std::to_string(AValue)), IsNumber(true) {}
  std::string Text;
  bool IsNumber = false;
};

// AFormat with each "%s" (text or number) and "%d" (number) replaced by the
// next argument, and "%%" by "%". EConvertError for a conversion without an
// argument, an argument left over, a text for "%d" or any other conversion.
[[nodiscard]] std::string FormatCommand(std::string_view AFormat, std::initializer_list<TqvCommandArg> AArgs);

// Gathers lines into blocks of at most ABatchSize bytes, each line ending in
// CR LF, with a "." put before a leading "." when AStuff; hands each block to
// the writer. A line too long for a block goes out alone.
class TqvDotStuffingWriter {
 public:
  TqvDotStuffingWriter(int ABatchSize, bool AStuff, std::function<void(const std::string&)> AWrite)
      : FBatchSize(ABatchSize), FStuff(AStuff), FWrite(std::move(AWrite)) {}
  void Add(const std::string& ALine);
  // Writes what is gathered, with ATrailer behind it in the same write.
  void Finish(const std::string& ATrailer = {});

 private:
  int FBatchSize;
  bool FStuff;
  std::function<void(const std::string&)> FWrite;
  std::string FBuffer;
};

class TqvTcpCommandClient : public TqvTcpClientTls {
 public:
  explicit TqvTcpCommandClient(TComponent* AOwner = nullptr);
  VX_CLASS_NAME("TqvTcpCommandClient")

  // -6 on a closed connection.
  void SendCommand(const std::string& ACommand);
  // The commands in one write, each then reported to OnSendCommand (their
  // replies are read by one WaitResponse each, with split replies on).
  void SendCommands(const std::vector<std::string>& ACommands);
  // Reports commands sent earlier (behind a message's end line, say) when
  // their replies are read, so that the log keeps each message's lines together.
  void NotifySent(const std::vector<std::string>& ACommands);
  virtual void WaitResponse(const TqvReplyCodes& ACodes);
  virtual void SendAndWait(const std::string& ACommand, const TqvReplyCodes& ACodes);
  // SendAndWait with the busy flag set.
  void SendCommandSync(const std::string& ACommand, const TqvReplyCodes& ACodes);
  // FormatCommand, then SendCommandSync; a bad format raises before anything is sent.
  void SendCommandSyncFmt(std::string_view AFormat, std::initializer_list<TqvCommandArg> AArgs,
                          const TqvReplyCodes& ACodes);
  // CheckConnected raises; socket, reply and security errors of the exchange
  // are swallowed (QUIT).
  void SendCommandSilently(const std::string& ACommand, const TqvReplyCodes& ACodes);
  // The lines, then AEndLine alone; lines are dot-stuffed when AEndLine is ".".
  // The commands AThen go out behind the end line in the same write, not
  // yet reported (NotifySent).
  void SendMultipleLines(const TStrings& ALines, const std::string& AEndLine,
                         const std::vector<std::string>& AThen = {});
  // A block up to a "." line, unstuffed, without its status and end lines.
  virtual void ReadMultiLineData(int64_t ASize);

  [[nodiscard]] TStrings& Response() { return FResponse; }
  [[nodiscard]] int ResponseCode() const { return FResponseCode; }
  // The reply lines joined by CR LF and trimmed.
  [[nodiscard]] std::string ResponseText() const;

  // Every setter stores a changed value and fires OnChanged.
  [[nodiscard]] const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& AValue);
  [[nodiscard]] const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& AValue);
  [[nodiscard]] const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& AValue);
  [[nodiscard]] const std::string& Authorization() const { return FAuthorization; }
  virtual void SetAuthorization(const std::string& AValue);

  TqvTcpListEvent OnReceiveResponse;
  TqvTcpTextEvent OnSendCommand;
  TqvProgressEvent OnProgress;

 protected:
  virtual void AfterOpen() = 0;
  virtual void BeforeClose() = 0;
  // 0 for a line that is not a final reply line.
  [[nodiscard]] virtual int ParseResponseCode(const std::string& ALine) = 0;
  [[nodiscard]] virtual std::string GetRequestCharSet() { return FCharSet; }
  [[nodiscard]] virtual std::string GetResponseCharSet() { return FCharSet; }
  void OpenSession() override;
  void CloseSession(bool ANotify) override;
  // With split replies on, a reply ends at its final line, and what a read
  // brought after it is kept for the next WaitResponse: the replies to
  // commands sent together. Off by default; a new session starts empty.
  void SetSplitReplies(bool AValue) { FSplitReplies = AValue; }

 private:
  // Reads once more into the reply lines; raises on limits and deadline.
  // True when a final line was taken (only with split replies on).
  bool ReadReply(uint32_t AStart, std::string& APartial);
  // The complete lines of APartial into the reply (with split replies on,
  // none after a final line); true when a final line was taken.
  bool TakeLines(std::string& APartial);

  TStringList FResponse;
  int FResponseCode = 0;
  std::string FUserName;
  std::string FPassword;
  std::string FCharSet;
  std::string FAuthorization;
  bool FSplitReplies = false;
  std::string FUnread;  // bytes after the last reply taken, with split replies on
};

class TqvCustomMail : public TqvTcpCommandClient {
 public:
  using TqvTcpCommandClient::TqvTcpCommandClient;
  ~TqvCustomMail() override;
  VX_CLASS_NAME("TqvCustomMail")

  // Borrowed; cleared when the message component is destroyed.
  [[nodiscard]] TqvMailMessage* MailMessage() const { return FMailMessage; }
  void SetMailMessage(TqvMailMessage* AValue);

  // A new non-empty value turns UseSasl on (not while loading).
  void SetAuthorization(const std::string& AValue) override;
  // b64("user=" + UserName + "\x01auth=" + Authorization + "\x01\x01").
  [[nodiscard]] std::string BuildXOAuth2String() const;

  [[nodiscard]] bool UseSasl() const { return FUseSasl; }
  void SetUseSasl(bool AValue);
  [[nodiscard]] bool SaslOnly() const { return FSaslOnly; }
  void SetSaslOnly(bool AValue);
  // Set while the component is being loaded from stored settings.
  bool Loading = false;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  TqvMailMessage* FMailMessage = nullptr;
  bool FUseSasl = false;
  bool FSaslOnly = false;
};

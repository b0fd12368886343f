#include "dmVxMailServersU.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "IniFile.h"
#include "SysError.h"
#include "Streams.h"
#include "ProgramPath.h"
#include "TextTrim.h"
#include "VxMailTexts.h"
#include "qvImap4FileHandler.h"
#include "qvImap4Server.h"
#include "qvLogger.h"
#include "qvMailServerLimits.h"
#include "qvMailBoxFiles.h"
#include "qvMailStoreUtils.h"
#include "qvPop3FileHandler.h"
#include "qvRelayQueue.h"
#include "qvPop3Server.h"
#include "qvSmtpFileHandler.h"
#include "qvSmtpServer.h"

int StrToInt(const std::string& Text) {
  int v;
  if (!TryStrToInt(Text, v)) throw EConvertError("'" + Text + "' is not a valid integer value");
  return v;
}

TdmVxMailServers::TdmVxMailServers() : TdmVxMailServers(plat::ProgramFolder(), plat::ProgramPath()) {}

namespace {

// A start failure names the server and the port it could not listen on.
void StartListening(IHostedServer& AServer, const char* AName) {
  try {
    AServer.Start();
  } catch (const std::exception& e) {
    throw Exception(std::string(AName) + " port " + std::to_string(AServer.Port()) + ": " + e.what());
  }
}

// The relay's wake-up, posted to the module's window.
constexpr uint32_t kWakeRelayMessage = plat::WM_USER + 1;

// Room for a worker per busy session: a worker that answered a command waits
// a moment on that session for the next one, and only while one is spare.
constexpr int kMailWorkers = 64;

std::unique_ptr<TqvSmtpServer> MakeSmtpServer() {
  auto s = std::make_unique<TqvSmtpServer>();
  s->SetName("qvSmtpServer1");
  s->SetServerName("Quorvin Mail Kit SMTP service");
  s->SetMaxDataSize(-1);
  TStringList help;
  help.Add("Commands Supported:");
  help.Add("HELO EHLO AUTH HELP QUIT MAIL NOOP RSET RCPT DATA STARTTLS");
  s->SetHelpText(help);
  s->SetMaxThreadCount(kMailWorkers);
  return s;
}

std::unique_ptr<TqvPop3Server> MakePop3Server() {
  auto s = std::make_unique<TqvPop3Server>();
  s->SetName("qvPop3Server1");
  s->SetServerName("Quorvin Mail Kit POP3 service");
  s->SetMaxDataSize(-1);
  TStringList help;
  for (const char* line : {"Valid commands:", "USER,", "PASS,", "APOP,", "AUTH,", "QUIT,", "NOOP,", "HELP,", "STAT,",
                           "RETR,", "TOP,", "DELE,", "RSET,", "LIST,", "UIDL,", "STLS"})
    help.Add(line);
  s->SetHelpText(help);
  s->SetMaxThreadCount(kMailWorkers);
  return s;
}

constexpr int kImapWorkers = 12;

std::unique_ptr<TqvImap4Server> MakeImap4Server() {
  auto s = std::make_unique<TqvImap4Server>();
  s->SetName("qvImap4Server1");
  s->SetServerName("Quorvin Mail Kit IMAP4 service");
  s->SetMaxDataSize(-1);
  TStringList capabilities;
  for (const char* word : {"IMAP4rev1", "NAMESPACE", "AUTH=CRAM-MD5"}) capabilities.Add(word);
  s->SetCapabilities(capabilities);
  // A fixed set of workers: the pool neither frees nor makes threads as the
  // load moves, and other sessions' commands run while one waits for a
  // STORE's fsync.
  s->SetMinThreadCount(kImapWorkers);
  s->SetMaxThreadCount(kImapWorkers);
  return s;
}

std::unique_ptr<TqvImap4FileHandler> MakeImap4FileHandler() {
  auto h = std::make_unique<TqvImap4FileHandler>();
  h->SetMailBoxInfoFile("imap.dat");
  h->SetMessagesInfoFile("messages.dat");
  return h;
}

}  // namespace

TdmVxMailServers::TdmVxMailServers(std::string ProgramFolder, std::string ProgramPath)
    : TdmVxMailServersSettings(std::move(ProgramFolder), std::move(ProgramPath)),
      qvSmtpRelay1(std::make_unique<TqvSmtpRelay>()),
      qvSmtpServer1(std::make_unique<THostedCommandServer<TqvSmtpServer>>(MakeSmtpServer())),
      qvSmtpFileHandler1(std::make_unique<THostedSmtpStore<TqvSmtpFileHandler>>(std::make_unique<TqvSmtpFileHandler>())),
      qvPop3FileHandler1(std::make_unique<THostedMailStore<TqvPop3FileHandler>>(std::make_unique<TqvPop3FileHandler>())),
      qvPop3Server1(std::make_unique<THostedCommandServer<TqvPop3Server>>(MakePop3Server())),
      qvImap4Server1(std::make_unique<THostedCommandServer<TqvImap4Server>>(MakeImap4Server())),
      qvImap4FileHandler1(std::make_unique<THostedMailStore<TqvImap4FileHandler>>(MakeImap4FileHandler())),
      Timer1(this) {
  // The stores write their methods into their servers' delivery events.
  auto& smtp = static_cast<THostedCommandServer<TqvSmtpServer>&>(*qvSmtpServer1);
  static_cast<THostedSmtpStore<TqvSmtpFileHandler>&>(*qvSmtpFileHandler1).Store->SetServer(smtp.Server.get());
  auto& pop3 = static_cast<THostedCommandServer<TqvPop3Server>&>(*qvPop3Server1);
  static_cast<THostedMailStore<TqvPop3FileHandler>&>(*qvPop3FileHandler1).Store->SetServer(pop3.Server.get());
  auto& imap = static_cast<THostedCommandServer<TqvImap4Server>&>(*qvImap4Server1);
  TqvImap4FileHandler& imapStore = *static_cast<THostedMailStore<TqvImap4FileHandler>&>(*qvImap4FileHandler1).Store;
  imapStore.SetServer(imap.Server.get());
  // IMAP APPEND and COPY name their files from the counter SMTP uses.
  TqvSmtpFileHandler& smtpStore = *static_cast<THostedSmtpStore<TqvSmtpFileHandler>&>(*qvSmtpFileHandler1).Store;
  imapStore.OnNewMessageNumber = [&smtpStore](TObject*, int& ANumber) { ANumber = smtpStore.NewMessageNumber(); };
  qvSmtpRelay1->SetName("qvSmtpRelay1");
  qvSmtpRelay1->SetMailAgent("Quorvin Mail Kit");
  // One time-out per dead domain and pass, not one per message.
  qvSmtpRelay1->DeferUnreachable = true;
  // One session per exchanger and pass, and one look-up per domain and pass
  // (within its TTL), not one of each per message.
  qvSmtpRelay1->KeepSessions = true;
  qvSmtpRelay1->CacheLookUps = true;
  qvSmtpRelay1->OnRelayMessage = [this](TObject*, const std::string&, TStrings&, TqvSmtpRelayStatus&) {
    RelayMessageDone();
  };
  qvSmtpRelay1->OnSendCommand = [this](TObject* Sender, const std::string& AText) {
    qvSmtpRelay1SendCommand(Sender, AText);
  };
  qvSmtpRelay1->OnReceiveResponse = [this](TObject* Sender, TStrings& AList) {
    qvSmtpRelay1ReceiveResponse(Sender, AList);
  };
  Timer1.SetName("Timer1");
  Timer1.SetEnabled(false);
  Timer1.SetInterval(5000);
  Timer1.OnTimer = [this](TObject* Sender) { Timer1Timer(Sender); };
  FWakeWindow = std::make_unique<plat::TMessageWindow>([this](plat::TMessage& AMessage) {
    if (AMessage.Msg == kWakeRelayMessage) RelayWoken();
  });
  BindComponents();
}

TdmVxMailServers::~TdmVxMailServers() {
  Timer1.SetEnabled(false);
  // No worker may reach a store that is already gone.
  for (IHostedServer* server : {qvImap4Server1.get(), qvPop3Server1.get(), qvSmtpServer1.get()}) {
    try {
      if (server) server->Stop();
    } catch (...) {
    }
  }
}

void TdmVxMailServers::BindComponents() {
  for (IHostedServer* server : {qvSmtpServer1.get(), qvPop3Server1.get(), qvImap4Server1.get()}) {
    server->OnStart = [this](TObject* Sender) { ServerStart(Sender); };
    server->OnStop = [this](TObject* Sender) { ServerStop(Sender); };
    if (auto* logging = dynamic_cast<ILoggingSlot*>(server)) logging->Bind(*this);
  }
  for (IHostedMailStore* store : {static_cast<IHostedMailStore*>(qvSmtpFileHandler1.get()), qvPop3FileHandler1.get(),
                                  qvImap4FileHandler1.get()})
    store->OnStoreError = [this](TObject* Sender, const std::exception& E) { ServerError(Sender, E); };
  qvSmtpFileHandler1->OnReserveCounter = [this](TObject*, int ALimit) { ReserveCounter(ALimit); };
  // A queued pair goes out at once, not at the next tick.
  qvSmtpFileHandler1->OnRelayQueued = [this](TObject*) { WakeRelay(); };
}

void TdmVxMailServers::WakeRelay() {
  if (FWakePending.exchange(true)) return;
  if (!plat::PostMessage(FWakeWindow->Handle(), kWakeRelayMessage, 0, 0)) FWakePending = false;
}

void TdmVxMailServers::RelayWoken() {
  FWakePending = false;
  // A wait inside a pass dispatches messages: the pass in hand runs again
  // when it is done, never inside itself.
  if (FInPass) {
    FWakeAgain = true;
    return;
  }
  if (Timer1.Enabled()) Timer1Timer(&Timer1);
}

void TdmVxMailServers::ApplySettings() {
  Timer1.SetInterval(StrToInt(RelayInterval));
  qvSmtpRelay1->SetDnsServer(DnsServer);
  if (!ParseRetryWaits(RetryWaits, RetryWaitSeconds)) (void)ParseRetryWaits(kDefaultRetryWaits, RetryWaitSeconds);
  int giveUp = 0;
  GiveUpSeconds = TryStrToInt(GiveUpAge, giveUp) && giveUp >= 0 ? giveUp : kDefaultGiveUpAge;
  qvSmtpServer1->SetPort(StrToInt(SmtpPort));
  qvSmtpServer1->SetUserAccounts(*UserAccounts);
  qvSmtpFileHandler1->SetMailBoxDir(MailboxFolder());
  qvSmtpFileHandler1->SetRelayDir(RelayFolder());
  qvPop3Server1->SetPort(StrToInt(Pop3Port));
  qvPop3Server1->SetUserAccounts(*UserAccounts);
  qvPop3FileHandler1->SetMailBoxDir(MailboxFolder());
  qvImap4Server1->SetPort(StrToInt(ImapPort));
  qvImap4Server1->SetUserAccounts(*UserAccounts);
  qvImap4FileHandler1->SetMailBoxDir(MailboxFolder());
}

// The mailbox folder text with "smtp.dat" put straight after it: by default
// "MailBoxsmtp.dat" beside the mailbox folder, inside it when it ends in "/".
std::string TdmVxMailServers::GetCounterFile() const { return MailboxFolder() + "smtp.dat"; }

void TdmVxMailServers::LoadCounter() {
  plat::TIniFile ini(GetCounterFile());
  qvSmtpFileHandler1->SetCounter(ini.ReadInteger("SMTP", "Counter", 1));
}

void TdmVxMailServers::SaveCounter() { ReserveCounter(qvSmtpFileHandler1->Counter()); }

void TdmVxMailServers::ReserveCounter(int ALimit) {
  std::string file = GetCounterFile();
  if (!plat::DirectoryExists(plat::ExtractFilePath(file))) return;
  plat::TIniFile ini(file);
  ini.WriteInteger("SMTP", "Counter", ALimit);
  // A temporary file, flushed and renamed over the old one.
  ini.UpdateFile();
}

void TdmVxMailServers::StartServers() {
  LoadSettings();
  // Defaults in place of settings that exist but cannot be read would run
  // without the accounts: no start.
  if (!SettingsError().empty()) throw Exception(SettingsError());
  ApplySettings();
  LoadCounter();
  // Every file and folder the service makes is its own alone.
  ::umask(077);
  for (const std::string& dir :
       {qvSmtpFileHandler1->MailBoxDir(), qvSmtpFileHandler1->RelayDir(), BadFolder()}) {
    // A folder that cannot be made shows up when a store writes into it.
    if (dir.empty()) continue;
    try {
      (void)OpenStoreFolder(dir, true);
    } catch (const std::exception&) {
    }
  }
  RemoveStagedLeftovers();
  RaiseDescriptorLimit();
  try {
    StartListening(*qvSmtpServer1, "SMTP");
    StartListening(*qvPop3Server1, "POP3");
    StartListening(*qvImap4Server1, "IMAP4");
  } catch (...) {
    // Leave nothing listening behind a failed start.
    StopStarted(true);
    throw;
  }
  FStopRequested = false;
  qvSmtpRelay1->ResetAbort();
  FServing = true;
  Timer1.SetEnabled(true);
}

void TdmVxMailServers::RemoveStagedLeftovers() {
  int removed = 0;
  auto clean = [&removed](const TqvStoreFolder& AFolder) {
    try {
      removed += ::RemoveStagedLeftovers(AFolder);
    } catch (const std::exception&) {
      // An unreadable folder keeps its leftovers; the stores report it when used.
    }
  };
  // The folders below AFolder at level ALevel (accounts are level 0) and,
  // as deep as IMAP4 mailboxes go, theirs; a folder that is a link is passed
  // over, never followed. One that cannot be opened or listed is skipped.
  std::function<void(const TqvStoreFolder&, int)> cleanBelow = [&](const TqvStoreFolder& AFolder, int ALevel) {
    for (const std::string& name : ListAccountFolders(AFolder)) {
      try {
        const TqvStoreFolder child = OpenAccountFolder(AFolder, name, false);
        clean(child);
        if (ALevel < qvMaxMailBoxLevels) cleanBelow(child, ALevel + 1);
      } catch (const std::exception&) {
      }
    }
  };
  // Each configured folder on its own: one that cannot be opened or listed
  // keeps its leftovers, and the others still lose theirs.
  auto sweep = [](const std::string& APath, const std::function<void(const TqvStoreFolder&)>& AClean) {
    if (APath.empty()) return;
    try {
      if (const TqvStoreFolder folder = OpenStoreFolder(APath, false)) AClean(folder);
    } catch (const std::exception&) {
    }
  };
  sweep(qvSmtpFileHandler1->MailBoxDir(), [&](const TqvStoreFolder& AMailBox) { cleanBelow(AMailBox, 0); });
  // The relay queue, and the bad-mail folder that failed pairs are copied
  // into through temporary names as well.
  removed += TqvRelayQueue(qvSmtpFileHandler1->RelayDir(), BadFolder()).SweepLeftovers();
  LogMessage(nullptr, 2, vxtext::kTempFilesRemoved + std::to_string(removed));
}

void TdmVxMailServers::RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  const rlim_t old = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  auto text = [](rlim_t v) { return v == RLIM_INFINITY ? std::string("unlimited") : std::to_string(v); };
  LogMessage(nullptr, 2, vxtext::kDescriptorLimit + text(old) + " -> " + text(limit.rlim_cur));
}

void TdmVxMailServers::StopStarted(bool CounterLoaded) {
  FServing = false;
  Timer1.SetEnabled(false);
  for (IHostedServer* server : {qvImap4Server1.get(), qvPop3Server1.get(), qvSmtpServer1.get()}) {
    try {
      server->Stop();
    } catch (...) {
      // Stopping the others matters more than this one's error.
    }
  }
  if (CounterLoaded) {
    try {
      SaveCounter();
    } catch (...) {
    }
  }
}

void TdmVxMailServers::StopServers() {
  FServing = false;
  Timer1.SetEnabled(false);
  // A pass waiting on a peer ends now; its pair stays queued.
  FStopRequested = true;
  qvSmtpRelay1->Abort();
  qvImap4Server1->Stop();
  qvPop3Server1->Stop();
  qvSmtpServer1->Stop();
  SaveCounter();
}

void TdmVxMailServers::qvSmtpRelay1SendCommand(TObject* Sender, const std::string& AText) {
  LogMessage(Sender, 2, vxtext::kRelaySendCommand + EscapeLogText(plat::Trim(AText)));
}

// The peer's lines stay one entry: the CR LF between them shows as "\x0D\x0A",
// and no byte of theirs reaches the log as a control character.
void TdmVxMailServers::qvSmtpRelay1ReceiveResponse(TObject* Sender, const TStrings& AList) {
  std::string text;
  for (int i = 0; i < AList.Count(); ++i) text += AList.Strings(i) + "\r\n";
  LogMessage(Sender, 2, vxtext::kRelayReceiveResponse + EscapeLogText(plat::Trim(text)));
}

void TdmVxMailServers::ServerAcceptConnection(TObject* Sender, const std::string& PeerIP) {
  LogMessage(Sender, 2, vxtext::kAcceptConnection + PeerIP);
}

void TdmVxMailServers::ServerCloseConnection(TObject* Sender, const std::string& PeerIP) {
  LogMessage(Sender, 2, vxtext::kCloseConnection + PeerIP);
}

void TdmVxMailServers::ServerReceiveCommand(TObject* Sender, const TqvTcpCommandParams& Params) {
  ServerReceiveCommand(Sender, MaskedCommand(Params), MaskedParams(Params));
}

void TdmVxMailServers::ServerReceiveCommand(TObject* Sender, const std::string& Command, const std::string& Params) {
  LogMessage(Sender, 2, vxtext::kReceiveCommand + EscapeLogText(Command) + " " + EscapeLogText(Params));
}

void TdmVxMailServers::ServerSendResponse(TObject* Sender, const std::string& Command, const std::string& Response) {
  LogMessage(Sender, 2, vxtext::kSendResponse + EscapeLogText(MaskedResponse(Command, Response)));
}

void TdmVxMailServers::ServerError(TObject* Sender, const std::exception& E) {
  LogException(Sender, 2, vxtext::kServerError, &E);
}

void TdmVxMailServers::ServerStart(TObject* Sender) { LogMessage(Sender, 2, vxtext::kServerStart); }

void TdmVxMailServers::ServerStop(TObject* Sender) { LogMessage(Sender, 2, vxtext::kServerStop); }

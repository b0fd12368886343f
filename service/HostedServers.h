// Slot adapters for the real protocol servers and their file stores: each
// holds one component, forwards the slot calls to it and passes its logging
// events to the data module's handlers. TServer is a line-command server with
// UserAccounts(); TStore a file handler with MailBoxDir (and for SMTP RelayDir
// and Counter). Calls come from the service thread; the events from the
// servers' own threads.
#pragma once

#include <memory>
#include <string>

#include "HostedComponents.h"
#include "qvTcpCommandServer.h"

// What the adapters report to; the data module implements it.
class IServerLog {
 public:
  virtual ~IServerLog() = default;
  virtual void ServerAcceptConnection(TObject* Sender, const std::string& PeerIP) = 0;
  virtual void ServerCloseConnection(TObject* Sender, const std::string& PeerIP) = 0;
  virtual void ServerReceiveCommand(TObject* Sender, const TqvTcpCommandParams& Params) = 0;
  virtual void ServerSendResponse(TObject* Sender, const std::string& Command, const std::string& Response) = 0;
  virtual void ServerError(TObject* Sender, const std::exception& E) = 0;
};

// A slot whose component has logging events of its own.
class ILoggingSlot {
 public:
  virtual ~ILoggingSlot() = default;
  virtual void Bind(IServerLog& ALog) = 0;
};

template <class TServer>
class THostedCommandServer : public IHostedServer, public ILoggingSlot {
 public:
  explicit THostedCommandServer(std::unique_ptr<TServer> AServer) : Server(std::move(AServer)) {}
  TObject& Component() override { return *Server; }
  void SetPort(int Port) override { Server->SetPort(Port); }
  int Port() const override { return Server->Port(); }
  // The copy takes the master list's case rule too.
  void SetUserAccounts(const TqvMailUserAccountList& Accounts) override {
    Server->UserAccounts().Assign(Accounts);
    Server->SetCaseInsensitive(Accounts.CaseInsensitive());
  }
  void Start() override { Server->Start(); }
  void Stop() override { Server->Stop(); }
  bool Active() const override { return Server->IsStarted(); }

  // Routes the server's events to ALog and to the slot's OnStart/OnStop.
  void Bind(IServerLog& ALog) override {
    Server->OnStart = [this](TObject* Sender) {
      if (OnStart) OnStart(Sender);
    };
    Server->OnStop = [this](TObject* Sender) {
      if (OnStop) OnStop(Sender);
    };
    IServerLog* log = &ALog;
    Server->OnAcceptConnection = [log](TObject* Sender, TqvUserConnection* c, bool&) {
      log->ServerAcceptConnection(Sender, c->PeerIP);
    };
    Server->OnCloseConnection = [log](TObject* Sender, TqvUserConnection* c) {
      log->ServerCloseConnection(Sender, c->PeerIP);
    };
    Server->OnReceiveCommand = [log](TObject* Sender, TqvCommandConnection*, TqvTcpCommandParams* p) {
      log->ServerReceiveCommand(Sender, *p);
    };
    Server->OnSendResponse = [log](TObject* Sender, TqvCommandConnection*, const std::string& cmd,
                                   const std::string& r) { log->ServerSendResponse(Sender, cmd, r); };
    Server->OnServerError = [log](TObject* Sender, TqvUserConnection*, const std::exception& E) {
      log->ServerError(Sender, E);
    };
  }

  std::unique_ptr<TServer> Server;
};

template <class TStore>
class THostedMailStore : public IHostedMailStore {
 public:
  explicit THostedMailStore(std::unique_ptr<TStore> AStore) : Store(std::move(AStore)) {
    // Stores that turn failures into replies tell the host through this.
    if constexpr (requires { Store->OnStoreError; })
      Store->OnStoreError = [this](TObject* Sender, const std::exception& E) {
        if (OnStoreError) OnStoreError(Sender, E);
      };
  }
  void SetMailBoxDir(const std::string& Dir) override { Store->SetMailBoxDir(Dir); }
  std::string MailBoxDir() const override { return Store->MailBoxDir(); }
  std::unique_ptr<TStore> Store;
};

template <class TStore>
class THostedSmtpStore : public IHostedSmtpStore {
 public:
  explicit THostedSmtpStore(std::unique_ptr<TStore> AStore) : Store(std::move(AStore)) {
    Store->OnStoreError = [this](TObject* Sender, const std::exception& E) {
      if (OnStoreError) OnStoreError(Sender, E);
    };
    Store->OnReserveCounter = [this](TObject* Sender, int ALimit) {
      if (OnReserveCounter) OnReserveCounter(Sender, ALimit);
    };
    Store->OnRelayQueued = [this](TObject* Sender) {
      if (OnRelayQueued) OnRelayQueued(Sender);
    };
  }
  void SetMailBoxDir(const std::string& Dir) override { Store->SetMailBoxDir(Dir); }
  std::string MailBoxDir() const override { return Store->MailBoxDir(); }
  void SetRelayDir(const std::string& Dir) override { Store->SetRelayDir(Dir); }
  std::string RelayDir() const override { return Store->RelayDir(); }
  int Counter() const override { return Store->Counter(); }
  void SetCounter(int Value) override { Store->SetCounter(Value); }
  std::unique_ptr<TStore> Store;
};

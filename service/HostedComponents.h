// What the host's data module needs of the components it owns: the three
// servers, their file stores and the relay, each behind a small slot
// interface, so the data module configures, starts and stops them without
// knowing how they work. The placeholders below hold the configuration and
// fire the start and stop events but do not serve: the protocol components
// take their slots as they arrive. The relay is held as it is. All calls come
// from the service thread.
#pragma once

#include <string>

#include "ClassCore.h"
#include "qvMailUserMgr.h"

class IHostedServer {
 public:
  virtual ~IHostedServer() = default;
  // The component itself: its class name is what the log prints.
  virtual TObject& Component() = 0;
  virtual void SetPort(int Port) = 0;
  virtual int Port() const = 0;
  // The server keeps its own copy.
  virtual void SetUserAccounts(const TqvMailUserAccountList& Accounts) = 0;
  // Opens the listening socket and fires OnStart; raises when it cannot.
  virtual void Start() = 0;
  // Closes everything and fires OnStop; nothing when not active.
  virtual void Stop() = 0;
  virtual bool Active() const = 0;

  TNotifyEvent OnStart;
  TNotifyEvent OnStop;
};

class IHostedMailStore {
 public:
  virtual ~IHostedMailStore() = default;
  virtual void SetMailBoxDir(const std::string& Dir) = 0;
  virtual std::string MailBoxDir() const = 0;
};

class IHostedSmtpStore : public IHostedMailStore {
 public:
  virtual void SetRelayDir(const std::string& Dir) = 0;
  virtual std::string RelayDir() const = 0;
  // The last number used in a store file name.
  virtual int Counter() const = 0;
  virtual void SetCounter(int Value) = 0;
};

// ---- Placeholders ----

class TPendingServer : public TComponent, public IHostedServer {
 public:
  // ClassName: the class of the component that will take the slot.
  explicit TPendingServer(std::string ComponentClass) : FClass(std::move(ComponentClass)) {}
  const char* ClassName() const override { return FClass.c_str(); }
  TObject& Component() override { return *this; }
  void SetPort(int Port) override { FPort = Port; }
  int Port() const override { return FPort; }
  void SetUserAccounts(const TqvMailUserAccountList& Accounts) override { FAccounts.Assign(Accounts); }
  const TqvMailUserAccountList& UserAccounts() const { return FAccounts; }
  void Start() override;
  void Stop() override;
  bool Active() const override { return FActive; }

 private:
  std::string FClass;
  int FPort = 0;
  TqvMailUserAccountList FAccounts{true};
  bool FActive = false;
};

class TPendingStore : public TComponent, public IHostedSmtpStore {
 public:
  void SetMailBoxDir(const std::string& Dir) override { FMailBoxDir = Dir; }
  std::string MailBoxDir() const override { return FMailBoxDir; }
  void SetRelayDir(const std::string& Dir) override { FRelayDir = Dir; }
  std::string RelayDir() const override { return FRelayDir; }
  int Counter() const override { return FCounter; }
  void SetCounter(int Value) override { FCounter = Value; }

 private:
  std::string FMailBoxDir, FRelayDir;
  int FCounter = 0;
};

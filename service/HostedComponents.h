// What the host's data module needs of the components it owns: the three
// servers, their file stores and the relay, each behind a small slot
// interface, so the data module configures, starts and stops them without
// knowing how they work. All calls come from the service thread.
#pragma once

#include <exception>
#include <functional>
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

  // A failure the store turned into a protocol reply; Sender is the store.
  std::function<void(TObject* Sender, const std::exception& E)> OnStoreError;
};

class IHostedSmtpStore : public IHostedMailStore {
 public:
  virtual void SetRelayDir(const std::string& Dir) = 0;
  virtual std::string RelayDir() const = 0;
  // The last number used in a store file name.
  virtual int Counter() const = 0;
  virtual void SetCounter(int Value) = 0;

  // Before a new block of numbers is used: ALimit is its last number, to be
  // kept durably; raising leaves the block unreserved.
  std::function<void(TObject* Sender, int ALimit)> OnReserveCounter;
  // A pair was queued for the relay (on the session's thread).
  std::function<void(TObject* Sender)> OnRelayQueued;
};


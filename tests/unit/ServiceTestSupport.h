// A stand-in for a server in one of the service's slots: takes the slot
// without listening, fires the start and stop events as a real one does,
// keeps the accounts it was given, and records "start NAME" and "stop NAME"
// in a list when it has one. FailStart makes Start raise as a taken port does.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "HostedComponents.h"

namespace servicetest {

class TFakeServer : public TComponent, public IHostedServer {
 public:
  TFakeServer() = default;
  TFakeServer(std::string AName, std::vector<std::string>& ACalls) : FName(std::move(AName)), FCalls(&ACalls) {}
  TObject& Component() override { return *this; }
  void SetPort(int APort) override { FPort = APort; }
  int Port() const override { return FPort; }
  void SetUserAccounts(const TqvMailUserAccountList& AAccounts) override { FAccounts.Assign(AAccounts); }
  void Start() override {
    if (FailStart) throw Exception("Address already in use");
    FActive = true;
    if (FCalls) FCalls->push_back("start " + FName);
    if (OnStart) OnStart(this);
  }
  void Stop() override {
    if (!FActive) return;
    FActive = false;
    if (FCalls) FCalls->push_back("stop " + FName);
    if (OnStop) OnStop(this);
  }
  bool Active() const override { return FActive; }

  bool FailStart = false;
  TqvMailUserAccountList FAccounts{true};

 private:
  std::string FName;
  std::vector<std::string>* FCalls = nullptr;
  int FPort = 0;
  bool FActive = false;
};

}  // namespace servicetest

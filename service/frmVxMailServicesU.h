// The service object: ties the framework's start and stop to the data
// module's StartServers and StopServers. Its handlers run on the service thread;
// a start that succeeds tells standard error the ports and the log file.
#pragma once

#include "ServiceApplication.h"
#include "dmVxMailServersU.h"

class TVxMailServices : public plat::TService {
 public:
  explicit TVxMailServices(TdmVxMailServers& DataModule);
  VX_CLASS_NAME("TVxMailServices")

  void ServiceStart(plat::TService* Sender, bool& Started);
  void ServiceStop(plat::TService* Sender, bool& Stopped);
  // "VxMailServers: listening on SMTP port 25, POP3 port 110; log <path>":
  // what a foreground start tells standard error.
  [[nodiscard]] std::string ListeningText() const;

 private:
  TdmVxMailServers& FDataModule;
};

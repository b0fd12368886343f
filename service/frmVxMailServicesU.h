// The service object: ties the framework's start and stop to the data
// module's StartServers and StopServers. Its handlers run on the service thread.
#pragma once

#include "ServiceApplication.h"
#include "dmVxMailServersU.h"

class TVxMailServices : public plat::TService {
 public:
  explicit TVxMailServices(TdmVxMailServers& DataModule);
  VX_CLASS_NAME("TVxMailServices")

  void ServiceStart(plat::TService* Sender, bool& Started);
  void ServiceStop(plat::TService* Sender, bool& Stopped);

 private:
  TdmVxMailServers& FDataModule;
};

#include "frmVxMailServicesU.h"

#include "VxMailTexts.h"

TVxMailServices::TVxMailServices(TdmVxMailServers& DataModule) : FDataModule(DataModule) {
  SetName("VxMailServices");
  DisplayName = vxtext::kDisplayName;
  OnStart = [this](plat::TService* Sender, bool& Started) { ServiceStart(Sender, Started); };
  OnStop = [this](plat::TService* Sender, bool& Stopped) { ServiceStop(Sender, Stopped); };
  OnMainLoopError = [this](plat::TService* Sender, const std::exception& E) { FDataModule.ServerError(Sender, E); };
}

void TVxMailServices::ServiceStart(plat::TService*, bool&) { FDataModule.StartServers(); }

void TVxMailServices::ServiceStop(plat::TService*, bool&) { FDataModule.StopServers(); }

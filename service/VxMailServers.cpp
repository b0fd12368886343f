// VxMailServers: the mail service program.
#include "ServiceApplication.h"
#include "VxMailTexts.h"
#include "dmVxMailServersU.h"
#include "frmVxMailServicesU.h"

int main(int argc, char** argv) {
  // Before any thread exists, so every thread inherits the blocked signals.
  plat::TServiceApplication::PrepareProcess();
  plat::TServiceApplication Application;
  Application.Title = vxtext::kDisplayName;

  TdmVxMailServers dmVxMailServers;
  dmVxMailServers.DataModuleCreate();
  TVxMailServices VxMailServices(dmVxMailServers);
  return Application.Run(argc, argv, VxMailServices);
}

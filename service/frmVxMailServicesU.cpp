#include "frmVxMailServicesU.h"

#include <cstdio>
#include <utility>

#include "HostedComponents.h"
#include "VxMailTexts.h"

TVxMailServices::TVxMailServices(TdmVxMailServers& DataModule) : FDataModule(DataModule) {
  SetName("VxMailServices");
  DisplayName = vxtext::kDisplayName;
  OnStart = [this](plat::TService* Sender, bool& Started) { ServiceStart(Sender, Started); };
  OnStop = [this](plat::TService* Sender, bool& Stopped) { ServiceStop(Sender, Stopped); };
  OnMainLoopError = [this](plat::TService* Sender, const std::exception& E) { FDataModule.ServerError(Sender, E); };
}

void TVxMailServices::ServiceStart(plat::TService*, bool&) {
  FDataModule.StartServers();
  // Seen in a foreground run; a detached service has its streams on /dev/null.
  std::fprintf(stderr, "%s\n", ListeningText().c_str());
}

std::string TVxMailServices::ListeningText() const {
  std::string text = "VxMailServers: listening on";
  const char* separator = " ";
  const std::pair<const char*, IHostedServer*> servers[] = {{"SMTP", FDataModule.qvSmtpServer1.get()},
                                                             {"POP3", FDataModule.qvPop3Server1.get()},
                                                             {"IMAP4", FDataModule.qvImap4Server1.get()}};
  for (const auto& [name, server] : servers) {
    if (!server || !server->Active()) continue;
    text += separator + std::string(name) + " port " + std::to_string(server->Port());
    separator = ", ";
  }
  return text + "; log " + FDataModule.GetLogFile();
}

void TVxMailServices::ServiceStop(plat::TService*, bool&) { FDataModule.StopServers(); }

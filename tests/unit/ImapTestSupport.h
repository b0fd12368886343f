// An IMAP4 line client for the dialogue tests (over loopback or a memory
// session): sends one tagged command and gathers every reply line up to the
// tagged one.
#pragma once

#include <string>

#include "TestSockets.h"

namespace imaptest {

class TClient : public testsupport::TLineClient {
 public:
  using TLineClient::TLineClient;
  // Every line up to and including the tagged one, joined by "|" (literals
  // inline); what came so far when the connection goes quiet or closes.
  std::string Tagged(const std::string& ATag, const std::string& ACommand) {
    Send(ATag + " " + ACommand + "\r\n");
    std::string all;
    for (;;) {
      const std::string l = Line();
      all += (all.empty() ? "" : "|") + l;
      if (l.empty() || l.rfind(ATag + " ", 0) == 0) return all;
    }
  }
};

}  // namespace imaptest

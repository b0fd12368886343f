// A scripted receiving SMTP server for relay tests: answers EHLO, MAIL and
// the rest with 250, RCPT by address from a table (250 for the others),
// reads DATA to its end line and answers 250, QUIT with 221.
#pragma once

#include <map>
#include <string>

#include "ScriptedPeer.h"

namespace testsupport {

inline TScriptedPeer::Script SmtpReceiver(std::map<std::string, std::string> ARcpt = {}) {
  return [=](TPeerConn& c) {
    c.Send("220 mx.test ESMTP\r\n");
    for (;;) {
      const std::string line = c.Line();
      if (line.empty()) return;
      if (line.rfind("EHLO ", 0) == 0) {
        c.Send("250-mx.test\r\n250 SIZE 1000000\r\n");
      } else if (line.rfind("RCPT TO: <", 0) == 0) {
        auto it = ARcpt.find(line.substr(10, line.find('>') - 10));
        c.Send(it == ARcpt.end() ? "250 2.1.5 Ok\r\n" : it->second + "\r\n");
      } else if (line == "DATA\r\n") {
        c.Send("354 go ahead\r\n");
        while (c.Line() != ".\r\n" && c.Received.size() < 100000) {
        }
        c.Send("250 2.0.0 Ok: queued\r\n");
      } else if (line == "QUIT\r\n") {
        c.Send("221 2.0.0 Bye\r\n");
        return;
      } else {
        c.Send("250 Ok\r\n");
      }
    }
  };
}

}  // namespace testsupport

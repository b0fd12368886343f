// A scripted receiving SMTP server for relay tests: answers EHLO, MAIL and
// the rest with 250, RCPT by address (a table, or a function of the address
// that gives the reply line; "" for 250), reads DATA to its end line and
// answers 250, QUIT with 221. With ALimit, a transaction takes that many
// recipients and answers the others "452 4.5.3 Too many recipients".
// AGreeting: the greeting's lines. EndAnsweredWithTheNextGroup is a
// receiver that needs the next message's group behind a message's end.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "ScriptedPeer.h"

namespace testsupport {

using TRcptReply = std::function<std::string(const std::string& ARecipient)>;

inline TScriptedPeer::Script SmtpReceiver(TRcptReply AReply, int ALimit = 0,
                                          std::string AGreeting = "220 mx.test ESMTP\r\n") {
  return [=](TPeerConn& c) {
    c.Send(AGreeting);
    int taken = 0;
    for (;;) {
      const std::string line = c.Line();
      if (line.empty()) return;
      if (line.rfind("EHLO ", 0) == 0) {
        c.Send("250-mx.test\r\n250 SIZE 1000000\r\n");
      } else if (line.rfind("RCPT TO: <", 0) == 0) {
        const std::string answer = AReply ? AReply(line.substr(10, line.find('>') - 10)) : std::string();
        if (!answer.empty()) {
          c.Send(answer + "\r\n");
        } else if (ALimit > 0 && taken >= ALimit) {
          c.Send("452 4.5.3 Too many recipients\r\n");
        } else {
          ++taken;
          c.Send("250 2.1.5 Ok\r\n");
        }
      } else if (line == "DATA\r\n") {
        c.Send("354 go ahead\r\n");
        while (c.Line() != ".\r\n" && c.Received.size() < 100000) {
        }
        c.Send("250 2.0.0 Ok: queued\r\n");
        taken = 0;
      } else if (line == "QUIT\r\n") {
        c.Send("221 2.0.0 Bye\r\n");
        return;
      } else {
        if (line.rfind("MAIL ", 0) == 0) taken = 0;
        c.Send("250 Ok\r\n");
      }
    }
  };
}

inline TScriptedPeer::Script SmtpReceiver(std::map<std::string, std::string> ARcpt = {}, int ALimit = 0) {
  return SmtpReceiver(
      [ARcpt](const std::string& ARecipient) {
        auto it = ARcpt.find(ARecipient);
        return it == ARcpt.end() ? std::string() : it->second;
      },
      ALimit);
}

// Offers PIPELINING and answers the end of the first message only once the
// next group's DATA has come too: a relay that waits for that answer before
// it sends the next group stalls. Later messages are answered at once.
inline TScriptedPeer::Script EndAnsweredWithTheNextGroup() {
  return [](TPeerConn& c) {
    c.TimeOutMs = 1500;
    c.Send("220 mx.test ESMTP\r\n");
    if (c.Line().rfind("EHLO ", 0) != 0) return;
    c.Send("250-mx.test\r\n250 PIPELINING\r\n");
    std::string owed;  // the withheld answer to the first end of data
    for (int messages = 0;; ++messages) {
      std::string replies, line;
      while ((line = c.Line()) != "DATA\r\n") {
        if (line.empty()) return;
        if (line == "QUIT\r\n") return c.Send("221 Bye\r\n");
        replies += "250 Ok\r\n";
      }
      c.Send(owed + replies + "354 go ahead\r\n");
      owed.clear();
      for (line = c.Line(); line != ".\r\n"; line = c.Line())
        if (line.empty()) return;
      if (messages == 0)
        owed = "250 2.0.0 Ok: queued\r\n";
      else
        c.Send("250 2.0.0 Ok: queued\r\n");
    }
  };
}

// The number of times APart occurs in AText.
inline size_t CountOf(const std::string& AText, const std::string& APart) {
  size_t n = 0;
  for (size_t at = AText.find(APart); at != std::string::npos; at = AText.find(APart, at + 1)) ++n;
  return n;
}

}  // namespace testsupport

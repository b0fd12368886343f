// What the service's log shows of what clients send: credentials that come
// outside an exchange, unknown command words, and control characters.
#include <gtest/gtest.h>


#include "TestSupport.h"
#include "dmVxMailServersU.h"
#include "qvLogger.h"
#include "qvTcpCommandServer.h"

namespace {

// The command line as the log shows it: masked word, blank, masked parameters.
std::string Logged(const std::string& ALine, bool AUnknown) {
  TqvTcpCommandParams p;
  p.Parse(ALine);
  p.Unknown = AUnknown;
  return MaskedCommand(p) + " " + MaskedParams(p);
}

}  // namespace

TEST(LogMasking, CredentialsOutsideAnExchangeNeverShow) {
  struct {
    const char* line;
    bool unknown;
    const char* logged;
  } cases[] = {
      {"USER bob@example.test secret", false, "USER bob@example.test ***"},
      {"USER bob@example.test", false, "USER bob@example.test"},
      {"PASS secret", false, "PASS ***"},
      // After a refused AUTH the client's base64 lines arrive as commands.
      {"Ym9iQGV4YW1wbGUudGVzdA==", true, "*** "},
      {"c2VjcmV0", true, "*** "},
      {"PASS\tsecret", true, "*** "},
      {"AUTH\tLOGIN", true, "*** "},
      {"ABCDEFGHIJKLM", true, "*** "},
      // A word that looks like a command stays readable, without its parameters.
      {"XYZZY hidden words", true, "XYZZY "},
      {"ABCDEFGHIJKL", true, "ABCDEFGHIJKL "},
      {"NOOP", false, "NOOP "},
  };
  for (const auto& c : cases) EXPECT_EQ(Logged(c.line, c.unknown), c.logged) << c.line;
  // The rest of an IMAP LOGIN line after a literal user name is the password.
  TqvTcpCommandParams rest;
  rest.Command = "LOGIN";
  rest.Params = " secret";
  EXPECT_EQ(MaskedParams(rest), "***");

  EXPECT_EQ(MaskedResponse("C2VJCMV0", "500 Syntax error, command unrecognized: C2VJCMV0"),
            "500 Syntax error, command unrecognized: ***");
  EXPECT_EQ(MaskedResponse("5", "500 Syntax error, command unrecognized: 5"),
            "500 Syntax error, command unrecognized: ***");
  EXPECT_EQ(MaskedResponse("XYZZY", "500 Syntax error, command unrecognized: XYZZY"),
            "500 Syntax error, command unrecognized: XYZZY");
}

TEST(LogMasking, ClientControlCharactersAreEscapedInTheLog) {
  EXPECT_EQ(EscapeLogText("a\x1b[31mred\tb\x7f\r\n\x01\xc3\xa4\\x"), "a\\x1B[31mred\tb\\x7F\\x0D\\x0A\\x01\xc3\xa4\\x");
  testsupport::TempDir dir;
  TqvLogger::Instance()->SetLogFile(dir.Dir() + "VxMailServers.log");
  {
    TdmVxMailServers dm(dir.Dir(), dir.Dir() + "VxMailServers");
    TqvTcpCommandParams p;
    p.Parse("MAIL FROM:<\x1b]0;owned\x07@x.test>");
    dm.ServerReceiveCommand(nullptr, p);
    dm.ServerSendResponse(nullptr, "MAIL", "250 <\x1b]0;owned\x07@x.test> Sender ok");
  }
  const std::string log = testsupport::ReadFileBytes(dir.Dir() + "VxMailServers.log");
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.find('\x07'), std::string::npos);
  EXPECT_NE(log.find("MAIL FROM:<\\x1B]0;owned\\x07@x.test> \r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("250 <\\x1B]0;owned\\x07@x.test> Sender ok \r\n"), std::string::npos) << log;
}

// A real POP3 client against the server and its store: Python's poplib.
#include "Pop3TestSupport.h"
#include "PythonOracle.h"

namespace {

class Pop3Clients : public pop3test::TPop3Session {
 protected:
  void SetUp() override {
    TPop3Session::SetUp();
    // 8-bit bytes must come back as they were stored.
    pop3test::WriteFile(AliceDir + "MAIL00000004.MSG", "Subject: 8\r\n\r\n\xE4\xB8\xAD\xFF\r\n");
    Start();
  }
  std::string Port() const { return std::to_string(Server.BoundPort()); }
};

const char* kPoplib = R"(
import poplib, sys
port = int(open(sys.argv[1]).read())
out = []
p = poplib.POP3('127.0.0.1', port)
out.append(p.getwelcome()[:11].decode())
try:
    p.capa()
except poplib.error_proto:
    out.append('no CAPA')
out.append(p.user('alice@example.com').decode())
out.append(p.pass_('secret').decode())
out.append(repr(p.stat()))
out.append(repr(p.list()[1]))
out.append(repr(p.uidl()[1][0]))
out.append(repr(p.retr(1)[1]))
out.append(repr(p.retr(3)[1]))
out.append(p.dele(2).decode())
p.quit()
p = poplib.POP3('127.0.0.1', port)
out.append(p.apop('alice@example.com', 'secret').decode())
out.append(repr(p.stat()))
p.quit()
open(sys.argv[2], 'w').write('\n'.join(out))
)";

}  // namespace

TEST_F(Pop3Clients, PythonPoplibUserApopListRetrDele) {
  EXPECT_EQ(testsupport::RunPython(kPoplib, Port()),
            "+OK Quorvin\n"
            "no CAPA\n"
            "+OK please send the PASS\n"
            "+OK 3 messages (611 octets)\n"
            "(3, 611)\n"
            "[b'1 91', b'2 500', b'3 20']\n"
            "b'1 MAIL00000002:MSG:91'\n"
            "[b'Return-path: <carol@example.net>', b'From: carol@example.net', b'Subject: one', b'', "
            "b'.dot line', b'bye']\n"
            "[b'Subject: 8', b'', b'\\xe4\\xb8\\xad\\xff']\n"
            "+OK message 2 deleted\n"
            "+OK 2 messages (111 octets)\n"
            "(2, 111)");
  EXPECT_FALSE(std::filesystem::exists(AliceDir + "MAIL00000003.MSG"));
}

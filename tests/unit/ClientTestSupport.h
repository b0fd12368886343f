// Shared pieces of the client tests: a concrete TCP client that counts its
// keep-alives, reading from a client's connection, and a one-connection TLS
// server script (OpenSSL) for the scripted peer.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>
#include <string>

#include "ScriptedPeer.h"
#include "qvTcpClient.h"

namespace clienttest {

class TTestClient : public TqvTcpClientTls {
 public:
  ~TTestClient() override { Close(); }
  VX_CLASS_NAME("TTestClient")
  using TqvTcpClient::SetBusy;

  int DefaultPort = 25;
  int KeepAlives = 0;
  bool FailKeepAlive = false;

 protected:
  int GetDefaultPort() const override { return DefaultPort; }
  void SendKeepAlive() override {
    ++KeepAlives;
    if (FailKeepAlive) throw std::runtime_error("keep-alive failed");
  }
};

// Reads from AClient's connection until AUntil has arrived (or the
// connection's time-out raises).
inline std::string ReadUntil(TqvTcpClient& AClient, const std::string& AUntil) {
  TStringStream data;
  while (data.DataString().find(AUntil) == std::string::npos && AClient.Active())
    (void)AClient.GetConnection().ReadData(&data);
  return data.DataString();
}

inline void Write(TqvTcpClient& AClient, const std::string& AText) {
  WriteConnectionString(AClient.GetConnection(), AText, "");
}

// A script that sends APlainFirst in clear (if any), then accepts a TLS
// session with the certificate and key files, sends "secure\r\n" over it and
// waits for the client to go.
inline testsupport::TScriptedPeer::Script TlsServerScript(std::string APlainFirst, std::string ACert,
                                                          std::string AKey) {
  return [=](testsupport::TPeerConn& c) {
    if (!APlainFirst.empty()) c.Send(APlainFirst);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx, ACert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, AKey.c_str(), SSL_FILETYPE_PEM);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, c.Fd);
    timeval tv{5, 0};
    setsockopt(c.Fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (SSL_accept(ssl) == 1) {
      SSL_write(ssl, "secure\r\n", 8);
      char buf[256];
      while (SSL_read(ssl, buf, sizeof buf) > 0) {
      }
    } else {
      c.Received += "[tls refused]";
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  };
}

}  // namespace clienttest

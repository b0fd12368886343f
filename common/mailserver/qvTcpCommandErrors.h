// Errors of the line-command servers. The Message of a command error is the
// complete reply line (without CR LF) the client receives.
#pragma once

#include <string>

#include "qvTcpServer.h"

constexpr int qvMaxDataSizeErrorCode = -350;
constexpr int qvCommandLineTooLongCode = -351;
constexpr int qvConnectionGoneCode = -352;

class EqvTcpCommandServerError : public EqvTcpServerError {
 public:
  EqvTcpCommandServerError(std::string ACommand, std::string AMessage, int AErrorCode)
      : EqvTcpServerError(std::move(AMessage), AErrorCode), Command(std::move(ACommand)) {}
  EqvTcpCommandServerError(std::string ACommand, bool ACloseConnection, int AErrorCode, std::string AMessage)
      : EqvTcpServerError(std::move(AMessage), AErrorCode),
        Command(std::move(ACommand)),
        CloseConnection(ACloseConnection) {}
  VX_CLASS_NAME("EqvTcpCommandServerError")
  std::string Command;
  bool CloseConnection = false;
};

class EqvMaxDataSizeError : public EqvTcpCommandServerError {
 public:
  EqvMaxDataSizeError() : EqvTcpCommandServerError("", "Data size limit is exceeded", qvMaxDataSizeErrorCode) {}
  VX_CLASS_NAME("EqvMaxDataSizeError")
};

// A line past qvMaxCommandLineBytes: the size reply, then the connection closes,
// since the rest of the line cannot be told from a next command.
class EqvCommandLineTooLongError : public EqvMaxDataSizeError {
 public:
  EqvCommandLineTooLongError() { ErrorCode = qvCommandLineTooLongCode; }
  VX_CLASS_NAME("EqvCommandLineTooLongError")
};

// The connection was closed (by the client, a time-out or the server's stop)
// while a command still had output to give: the command ends there, with
// nobody left to answer. The framework drops it without a report.
class EqvConnectionGoneError : public EqvSocketError {
 public:
  EqvConnectionGoneError() : EqvSocketError("The connection is closed", qvConnectionGoneCode) {}
  VX_CLASS_NAME("EqvConnectionGoneError")
};

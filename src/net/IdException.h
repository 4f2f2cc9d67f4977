// Errors raised by the connection layer. Their texts reach the session logs verbatim.
#pragma once

#include <stdexcept>
#include <string>

class EIdException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The peer closed, or the socket was closed under the connection.
class EIdConnClosedGracefully : public EIdException {
 public:
  EIdConnClosedGracefully() : EIdException("Connection Closed Gracefully.") {}
};

// The connection's socket was released by Disconnect.
class EIdNotConnected : public EIdException {
 public:
  EIdNotConnected() : EIdException("Not Connected") {}
};

// A socket call failed; LastError is the errno value.
class EIdSocketError : public EIdException {
 public:
  explicit EIdSocketError(int lastError);
  // For failures whose text is not the system's errno text (name lookup).
  EIdSocketError(int lastError, const std::string& text);
  int LastError() const { return FLastError; }

 private:
  int FLastError;
};

class EIdMaxLineLengthExceeded : public EIdException {
 public:
  EIdMaxLineLengthExceeded() : EIdException("Max line length exceeded.") {}
};

class EIdNoDataToRead : public EIdException {
 public:
  EIdNoDataToRead() : EIdException("No data to read.") {}
};

class EIdCouldNotBindSocket : public EIdException {
 public:
  EIdCouldNotBindSocket()
      : EIdException("Could not bind socket. Address and port are already in use.") {}
};

class EIdTerminateThreadTimeout : public EIdException {
 public:
  EIdTerminateThreadTimeout() : EIdException("Terminate Thread Timeout") {}
};

class EIdNoExecuteHandlerFound : public EIdException {
 public:
  EIdNoExecuteHandlerFound() : EIdException("No execute handler found.") {}
};

class EIdAlreadyConnected : public EIdException {
 public:
  EIdAlreadyConnected() : EIdException("Already connected.") {}
};

// A read with a time-out of its own (client tools only) gave up waiting.
class EIdReadTimeout : public EIdException {
 public:
  EIdReadTimeout() : EIdException("Read timed out.") {}
};

// A send with a time-out of its own (client tools) found the peer taking no byte for that long.
class EIdWriteTimeout : public EIdException {
 public:
  EIdWriteTimeout() : EIdException("Write timed out.") {}
};

// A session phase (login, or browsing without a command) outlasted its time limit; the text
// names which, and is logged as it is.
class EIdSessionTimeout : public EIdException {
 public:
  using EIdException::EIdException;
};

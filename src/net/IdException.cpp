#include "net/IdException.h"

#include <cstring>

namespace {

// strerror_r comes in a GNU flavour (returns the text) and a POSIX one (fills the buffer).
[[maybe_unused]] const char* PickText(const char* result, const char*) {
  return result;
}
[[maybe_unused]] const char* PickText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}

std::string SystemErrorText(int error) {
  char buffer[256] = {};
  return PickText(strerror_r(error, buffer, sizeof buffer), buffer);
}

std::string SocketErrorMessage(int error, const std::string& text) {
  return "Socket Error # " + std::to_string(error) + "\r\n" + text;
}

}  // namespace

EIdSocketError::EIdSocketError(int lastError)
    : EIdException(SocketErrorMessage(lastError, SystemErrorText(lastError))),
      FLastError(lastError) {}

EIdSocketError::EIdSocketError(int lastError, const std::string& text)
    : EIdException(SocketErrorMessage(lastError, text)), FLastError(lastError) {}

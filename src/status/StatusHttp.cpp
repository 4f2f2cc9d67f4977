#include "status/StatusHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

// Enough for any head a browser or scraper sends. A larger one is read by the library itself,
// under the same deadline, and refused by its own limits.
constexpr std::size_t HeadLimit = 65536;

// A character HTTP allows in a method name.
bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

template <class TGetName>
void SocketAddress(int fd, TGetName getName, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ip.clear();
  port = 0;
  if (getName(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    port = ntohs(in.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    port = ntohs(in6.sin6_port);
  }
  ip = text;
}

}  // namespace

bool LibraryRoutes(const std::string& method) {
  for (const char* routed : {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"})
    if (method == routed) return true;
  return false;
}

bool RefusedForItsMethod(const httplib::Request& req) {
  return !req.method.empty() && !LibraryRoutes(req.method) &&
         std::all_of(req.method.begin(), req.method.end(), IsTokenChar) &&
         (req.version == "HTTP/1.1" || req.version == "HTTP/1.0");
}

bool TStatusStream::WaitForRequest(std::chrono::milliseconds idle) {
  if (FFailed || Stopped()) return false;
  if (FRead < FBuffer.size()) return true;
  return Wait(POLLIN, TClock::now() + idle) == TWait::Ready;
}

void TStatusStream::BeginRequest(TClock::duration requestTime, TClock::duration answerTime) {
  FBuffer.erase(0, FRead);
  FRead = FScanned = FLineStart = 0;
  FRequestDeadline = TClock::now() + requestTime;
  FAnswerTime = answerTime;
  FAnswering = false;
}

bool TStatusStream::ReadHead(std::size_t limit) {
  while (!HeadBuffered() && FBuffer.size() - FRead < limit) {
    const ssize_t n = Fill();
    if (n < 0) return false;
    // A part of a request before the peer's end is the library's to answer, as it always was.
    if (n == 0) return FRead < FBuffer.size();
  }
  return true;
}

std::string TStatusStream::Method() const {
  const std::size_t end = FBuffer.find_first_of(" \r\n", FRead);
  return FBuffer.substr(FRead, end == std::string::npos ? std::string::npos : end - FRead);
}

bool TStatusStream::HeadBuffered() {
  for (; FScanned < FBuffer.size(); ++FScanned) {
    if (FBuffer[FScanned] != '\n') continue;
    // The library ends a head at the first line after the request line that is CR LF alone.
    const bool empty = FScanned == FLineStart + 1 && FBuffer[FLineStart] == '\r';
    const bool requestLine = FLineStart == FRead;
    FLineStart = FScanned + 1;
    if (empty && !requestLine) {
      ++FScanned;
      return true;
    }
  }
  return false;
}

bool TStatusStream::is_readable() const {
  if (FFailed) return false;
  return FRead < FBuffer.size() || Wait(POLLIN, FRequestDeadline) == TWait::Ready;
}

bool TStatusStream::is_writable() const {
  return !FFailed && Wait(POLLOUT, AnswerDeadline()) == TWait::Ready;
}

ssize_t TStatusStream::read(char* ptr, size_t size) {
  if (FFailed) return -1;
  if (FRead == FBuffer.size()) {
    FBuffer.clear();
    FRead = FScanned = FLineStart = 0;
    const ssize_t n = Fill();
    if (n <= 0) return n;
  }
  const std::size_t count = std::min(size, FBuffer.size() - FRead);
  std::memcpy(ptr, FBuffer.data() + FRead, count);
  FRead += count;
  return static_cast<ssize_t>(count);
}

ssize_t TStatusStream::write(const char* ptr, size_t size) {
  if (FFailed) return -1;
  if (!FAnswering) {
    FAnswerDeadline = TClock::now() + FAnswerTime;
    FAnswering = true;
  }
  // What the socket takes at once is sent even while the server stops: only waits end.
  for (;;) {
    const ssize_t n = send(FFd, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) ||
        Wait(POLLOUT, FAnswerDeadline) != TWait::Ready) {
      FFailed = true;
      return -1;
    }
  }
}

void TStatusStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  SocketAddress(FFd, getpeername, ip, port);
}

void TStatusStream::get_local_ip_and_port(std::string& ip, int& port) const {
  SocketAddress(FFd, getsockname, ip, port);
}

TStatusStream::TWait TStatusStream::Wait(short events, TClock::time_point until) const {
  pollfd fds[2] = {{FFd, events, 0}, {FStop, POLLIN, 0}};
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - TClock::now());
    if (left.count() <= 0) return TWait::Expired;
    const int ready = poll(fds, 2, static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
    if (ready < 0 && errno != EINTR) return TWait::Expired;
    if (ready <= 0) continue;
    if (fds[1].revents != 0) return TWait::Stopped;
    // Errors and hang-ups count as ready: the receive or send that follows reports them.
    return TWait::Ready;
  }
}

bool TStatusStream::Stopped() const {
  pollfd stop{FStop, POLLIN, 0};
  return poll(&stop, 1, 0) > 0;
}

ssize_t TStatusStream::Fill() {
  char chunk[4096];
  for (;;) {
    if (Wait(POLLIN, FRequestDeadline) != TWait::Ready) break;
    const ssize_t n = recv(FFd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n >= 0) {
      FBuffer.append(chunk, static_cast<std::size_t>(n));
      return n;
    }
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) break;
  }
  FFailed = true;
  return -1;
}

TStatusStream::TClock::time_point TStatusStream::AnswerDeadline() const {
  return FAnswering ? FAnswerDeadline : TClock::now() + FAnswerTime;
}

TStatusHttp::TStatusHttp(std::chrono::milliseconds requestTime,
                         std::chrono::milliseconds answerTime)
    : FRequestTime(requestTime),
      FAnswerTime(answerTime),
      FStop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!FStop.Valid())
    throw std::runtime_error("Cannot create the status page's stop signal: " +
                             std::string(std::strerror(errno)));
}

void TStatusHttp::SetBacklog(int count) {
  // Listening again only changes the queue's length. Should it fail, the library's short queue
  // stays: clients past it are then only slower to connect.
  ::listen(svr_sock_, count);
}

void TStatusHttp::Interrupt() {
  const std::uint64_t one = 1;
  // Adding 1 to a fresh eventfd cannot fail but for a signal.
  while (::write(FStop.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool TStatusHttp::process_and_close_socket(socket_t sock) {
  const TFileHandle owned(sock);
  TStatusStream stream(sock, FStop.Get());
  const auto idle = std::chrono::seconds(keep_alive_timeout_sec_);
  bool closed = false;
  for (std::size_t served = 0; served < keep_alive_max_count_ && !closed; ++served) {
    if (!stream.WaitForRequest(idle)) break;
    stream.BeginRequest(FRequestTime, FAnswerTime);
    if (!stream.ReadHead(HeadLimit)) break;
    // The library does not read what follows a method it does not route, so the next request
    // cannot be found: the answer is the connection's last. (An empty line before a request is
    // answered 400 alone, and the request after it as ever.)
    const std::string method = stream.Method();
    const bool last =
        served + 1 == keep_alive_max_count_ || (!method.empty() && !LibraryRoutes(method));
    if (!process_request(stream, last, closed, nullptr) || last) break;
  }
  return true;  // the library does not look at it
}

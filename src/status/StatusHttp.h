// The status page's connections: the HTTP library parses, routes and answers; the waiting is
// done here, so that no client holds a thread for longer than a request may take.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "common/FileUtil.h"

// Methods the library routes itself (and then reads the body of); it answers the others with
// 400 before or without reading their body.
bool LibraryRoutes(const std::string& method);
// A request the library refused for its method alone: a well-formed HTTP/1.x request line whose
// method it does not route.
bool RefusedForItsMethod(const httplib::Request& req);

// One connection as the library reads and writes it. What the client sends ahead is kept for
// the next request, so pipelined requests are answered in turn. Every wait ends at its deadline,
// or at once when Stop is signalled; after either the stream fails for good.
class TStatusStream final : public httplib::Stream {
 public:
  using TClock = std::chrono::steady_clock;

  // Fd is the connection, not owned; Stop becomes readable when the server stops.
  TStatusStream(int fd, int stop) : FFd(fd), FStop(stop) {}

  // Waits up to Idle for the first byte of the next request; false when none comes, the
  // stream has failed or the server stops.
  bool WaitForRequest(std::chrono::milliseconds idle);
  // Starts the next request: its head and body must arrive within RequestTime from now, and
  // its answer may take AnswerTime from its first byte.
  void BeginRequest(TClock::duration requestTime, TClock::duration answerTime);
  // Reads until the request's head (through its empty line), Limit bytes of it, or the peer's
  // end are buffered; false when nothing is left to answer: the deadline passed, the server
  // stops, or the peer ended without a byte.
  bool ReadHead(std::size_t limit);
  // The method of the buffered request line.
  std::string Method() const;

  bool is_readable() const override;
  bool is_writable() const override;
  using httplib::Stream::write;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return FFd; }

 private:
  enum class TWait { Ready, Expired, Stopped };
  TWait Wait(short events, TClock::time_point until) const;
  bool Stopped() const;
  // Receives what has come into the buffer: the byte count, 0 at the peer's end, -1 when the
  // wait for it fails (the stream has failed then).
  ssize_t Fill();
  // True once the buffer holds a whole head, scanning only what is new since the last call.
  bool HeadBuffered();
  TClock::time_point AnswerDeadline() const;

  const int FFd;
  const int FStop;
  std::string FBuffer;
  std::size_t FRead = 0;       // bytes of FBuffer the library has read
  std::size_t FScanned = 0;    // bytes of the head scanned for its end
  std::size_t FLineStart = 0;  // where the line being scanned starts
  TClock::time_point FRequestDeadline;
  TClock::duration FAnswerTime{};
  TClock::time_point FAnswerDeadline;  // set at the answer's first byte
  bool FAnswering = false;
  bool FFailed = false;
};

// The library's server with connections handled by TStatusStream.
class TStatusHttp final : public httplib::Server {
 public:
  // RequestTime and AnswerTime as for TStatusStream::BeginRequest; a connection waits for the
  // next request as long as the keep-alive timeout, also for its first one.
  TStatusHttp(std::chrono::milliseconds requestTime, std::chrono::milliseconds answerTime);
  // Lets the kernel queue up to Count connections that are not accepted yet; call after binding.
  void SetBacklog(int count);
  // Ends every connection's waits, now and from now on.
  void Interrupt();

 private:
  bool process_and_close_socket(socket_t sock) override;

  const std::chrono::milliseconds FRequestTime;
  const std::chrono::milliseconds FAnswerTime;
  TFileHandle FStop;  // an eventfd, readable once Interrupt was called
};

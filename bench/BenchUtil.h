// What the load generator's modes share: clocks, blocking client sockets, percentiles, the
// server's CPU and memory from /proc, and a small JSON writer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Monotonic time in nanoseconds.
std::int64_t NowNs();
// Sleeps until the monotonic time Deadline (nanoseconds).
void SleepUntil(std::int64_t deadline);

// The I-th of several loopback source addresses (127.0.0.10 and up), so that tens of
// thousands of connections to one port do not run out of ephemeral ports.
std::string SourceAddress(int index);
// A non-blocking TCP socket bound to Source, connect started to 127.0.0.1:Port; -1 on failure.
int StartConnect(const std::string& source, int port);
// A blocking connected TCP socket with TCP_NODELAY; raises std::runtime_error on failure.
int ConnectBlocking(int port, const std::string& source = "127.0.0.1");
void SendAll(int fd, const void* data, std::size_t len);
void RecvExact(int fd, void* data, std::size_t len);
// One line without its CR LF; raises std::runtime_error when the peer closes first.
std::string RecvLine(int fd);
std::int32_t RecvInt(int fd);
// Appends a wire integer (big-endian) to Out.
void PutInt(std::string& out, std::int32_t value);

// The value below which Fraction of the sorted samples lie (0 for none); sorts Samples.
double Percentile(std::vector<std::int32_t>& samples, double fraction);

// What /proc says about a process at one moment.
struct TProcSample {
  bool ok = false;
  double cpuSeconds = 0;  // user + system, all threads
  std::int64_t rssKiB = 0;
  std::int64_t peakRssKiB = 0;
  int threads = 0;
  int fds = 0;
};
TProcSample SampleProcess(pid_t pid);

// The kernel memory of the TCP sockets on local port Port, from `ss -tmn` (skmem), summed.
struct TSocketMemory {
  bool ok = false;
  int sockets = 0;      // in every state but listening and closed
  int established = 0;  // of those, still established (the others were closed by their owner)
  std::int64_t sendQueueBytes = 0;   // Send-Q: data sent to the socket, not yet acknowledged
  std::int64_t queuedBytes = 0;      // w, wmem_queued: the send queue with its buffers' overhead
  std::int64_t allocBytes = 0;       // t, wmem_alloc: sent buffers not yet freed below TCP
  std::int64_t sendBufferBytes = 0;  // tb: the send buffer sizes, the most w may reach
  std::int64_t receivedBytes = 0;    // r, rmem_alloc: data received, not yet read
  std::int64_t forwardBytes = 0;     // f, forward_alloc: charged to the socket, not yet used
  std::int64_t optionBytes = 0;      // o, optmem: socket options and filters
  std::int64_t backlogBytes = 0;     // bl: received while the socket was busy
  // The memory fields summed (r, t, f, w, o, bl; rb and tb are limits, d a count).
  std::int64_t KernelBytes() const {
    return receivedBytes + allocBytes + forwardBytes + queuedBytes + optionBytes + backlogBytes;
  }
};
TSocketMemory SampleSocketMemory(int port);

// The memory of every TCP socket of the system in pages (/proc/net/sockstat), and the
// system's pressure and hard limits for it (tcp_mem).
struct TTcpMemory {
  std::int64_t pages = 0;
  std::int64_t pressurePages = 0;
  std::int64_t limitPages = 0;
};
TTcpMemory SampleTcpMemory();

// A JSON object written field by field, nested objects included.
class TJson {
 public:
  TJson& Num(const std::string& key, double value);
  TJson& Int(const std::string& key, std::int64_t value);
  TJson& Bool(const std::string& key, bool value);
  TJson& Str(const std::string& key, const std::string& value);
  TJson& Obj(const std::string& key, const TJson& value);
  TJson& Arr(const std::string& key, const std::vector<TJson>& values);
  std::string Text() const { return "{" + FBody + "}"; }

 private:
  void Key(const std::string& key);
  std::string FBody;
};

}  // namespace bench

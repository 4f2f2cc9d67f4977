// The connection's line, integer and fixed-size block reads, fed the same bytes in chunks of
// every size: what they return, and the error that ends them, must not depend on how the
// bytes were cut, and must match a plain reading of the whole input.
//
// Input: byte 0 chooses the chunk size (1 to 256), byte 1 the number N of operation bytes
// that follow; then the bytes sent to the connection. Operations repeat until a read fails; each
// operation byte picks a line, an integer or a block of a size it gives.
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Worker.h"
#include "net/IdException.h"
#include "net/IdTCPConnection.h"

namespace {

using fuzz::TWorker;

constexpr std::size_t MaxLine = TIdTCPConnection::MaxLineLength;

// The bytes a block operation reads: 1 to 596, so that blocks span chunks and every operation
// takes at least a byte.
std::size_t BlockSize(char op) {
  return static_cast<unsigned char>(op) / 3 * 7 + 1;
}

// What one run of operations produced: the values read, then the ending error's text.
struct TOutcome {
  std::vector<std::string> Values;
  std::string Error;
  bool operator==(const TOutcome&) const = default;
};

TOutcome Expected(const std::string& ops, const std::string& bytes) {
  TOutcome out;
  std::size_t pos = 0;
  const auto integer = [&](std::int32_t& value) {
    if (bytes.size() - pos < 4) return false;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[pos + i]);
    value = static_cast<std::int32_t>(v);
    pos += 4;
    return true;
  };
  for (std::size_t i = 0;; ++i) {
    switch (ops.empty() ? 0 : ops[i % ops.size()] % 3) {
      case 0: {
        const std::size_t lf = bytes.find('\n', pos);
        if ((lf == std::string::npos ? bytes.size() - pos : lf - pos) > MaxLine) {
          out.Error = EIdMaxLineLengthExceeded().what();
          return out;
        }
        if (lf == std::string::npos) {
          out.Error = EIdConnClosedGracefully().what();
          return out;
        }
        std::string line = bytes.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.Values.push_back("L" + line);
        pos = lf + 1;
        break;
      }
      case 1: {
        std::int32_t value = 0;
        if (!integer(value)) {
          out.Error = EIdConnClosedGracefully().what();
          return out;
        }
        out.Values.push_back("I" + std::to_string(value));
        break;
      }
      default: {
        const std::size_t count = BlockSize(ops[i % ops.size()]);
        if (bytes.size() - pos < count) {
          out.Error = EIdConnClosedGracefully().what();
          return out;
        }
        out.Values.push_back("S" + bytes.substr(pos, count));
        pos += count;
        break;
      }
    }
  }
}

TOutcome Actual(const std::string& ops, const std::string& bytes, std::size_t chunk) {
  int fds[2];
  // Packets keep the chunks apart: each receive gets exactly one.
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  static TWorker writer;
  writer.Post([&, fd = fds[1]] {
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
      if (send(fd, bytes.data() + at, std::min(chunk, bytes.size() - at), MSG_NOSIGNAL) < 0) break;
    shutdown(fd, SHUT_WR);
  });
  TOutcome out;
  {
    TIdTCPConnection connection{TSocket(fds[0])};
    try {
      for (std::size_t i = 0;; ++i) {
        switch (ops.empty() ? 0 : ops[i % ops.size()] % 3) {
          case 0:
            out.Values.push_back("L" + connection.ReadLn());
            break;
          case 1:
            out.Values.push_back("I" + std::to_string(connection.ReadInteger()));
            break;
          default:
            out.Values.push_back("S" + connection.ReadBytes(BlockSize(ops[i % ops.size()])));
        }
      }
    } catch (const std::exception& e) {
      out.Error = e.what();
    }
  }  // closing the reader ends a writer still blocked in send
  writer.Wait();
  close(fds[1]);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t chunk = std::size_t{data[0]} + 1;
  const std::size_t opCount = std::min<std::size_t>(data[1], size - 2);
  const std::string ops(reinterpret_cast<const char*>(data) + 2, opCount);
  const std::string bytes(reinterpret_cast<const char*>(data) + 2 + opCount, size - 2 - opCount);
  if (!(Actual(ops, bytes, chunk) == Expected(ops, bytes))) {
    std::fprintf(stderr, "reads depend on the chunk size %zu\n", chunk);
    std::abort();
  }
  return 0;
}

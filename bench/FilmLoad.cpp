#include "bench/FilmLoad.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bench/BenchUtil.h"
#include "common/Protocol.h"

namespace bench {

namespace {

// Length of the section header record a Demo stream file starts with.
constexpr std::int32_t DemoHeader = 1032;

// A BLOCK message for one stream with Len bytes of data, sent in one piece.
class TBlockMessage {
 public:
  explicit TBlockMessage(std::int32_t len) {
    FText = "BLOCK\r\n";
    PutInt(FText, 0);
    PutInt(FText, FilmBlockData);
    PutInt(FText, len);
    FHead = FText.size();
    FText.append(std::size_t(len), 'z');
  }
  void Send(int fd, int stream) {
    std::string head;
    PutInt(head, stream);
    FText.replace(FHead - 12, 4, head);
    SendAll(fd, FText.data(), FText.size());
  }

 private:
  std::string FText;
  std::size_t FHead = 0;
};

}  // namespace

void SendBlock(int fd, int stream, const std::string& data) {
  std::string text = "BLOCK\r\n";
  PutInt(text, stream);
  PutInt(text, FilmBlockData);
  PutInt(text, static_cast<std::int32_t>(data.size()));
  text += data;
  SendAll(fd, text.data(), text.size());
}

void SendEnd(int fd, int stream) {
  std::string text = "BLOCK\r\n";
  PutInt(text, stream);
  PutInt(text, FilmBlockEnd);
  SendAll(fd, text.data(), text.size());
}

void Transmit(int fd, int section, const std::vector<std::int32_t>& sizes) {
  std::string text =
      "TRANSMIT\t" + std::to_string(sizes.size()) + "\t" + std::to_string(section) + "\r\n";
  for (std::size_t s = 0; s < sizes.size(); ++s) {
    PutInt(text, s == 0 ? 0 : 1);
    PutInt(text, sizes[s]);
    PutInt(text, s == 0 ? DemoHeader : 0);
  }
  SendAll(fd, text.data(), text.size());
  for (std::size_t s = 0; s < sizes.size(); ++s) RecvInt(fd);
}

namespace {

// Sends Bytes bytes of one stream in blocks of Block.
void SendStream(int fd, int stream, std::int64_t bytes, TBlockMessage& full, std::int32_t block) {
  for (; bytes >= block; bytes -= block) full.Send(fd, stream);
  if (bytes > 0) TBlockMessage(std::int32_t(bytes)).Send(fd, stream);
  SendEnd(fd, stream);
}

}  // namespace

int FilmLogin(const TFilmTarget& target, const std::string& game) {
  int fd = ConnectBlocking(target.port);
  try {
    if (RecvLine(fd) != Greeting(FilmProtocol))
      throw std::runtime_error("unexpected film greeting");
    std::string text = "CLIENTVERSION\t" + std::to_string(FilmProtocol) + "\r\nAUTH\t" +
                       target.password + "\tNEW\t" + game + "\r\n";
    SendAll(fd, text.data(), text.size());
    for (int i = 0; i < 2; ++i) {
      std::string line = RecvLine(fd);
      if (line != "OK") throw std::runtime_error("film server refused: " + line);
    }
    return fd;
  } catch (...) {
    close(fd);
    throw;
  }
}

void FilmFinish(int fd) {
  SendAll(fd, "COMPLETED\r\n", 11);
  char buf[256];
  while (recv(fd, buf, sizeof buf, 0) > 0) {
  }
  close(fd);
}

void StoreGame(const TFilmTarget& target, const std::string& game, int sections, int streams,
               std::int32_t bytes, std::int32_t block) {
  int fd = FilmLogin(target, game);
  TBlockMessage full(block);
  for (int c = 0; c < sections; ++c) {
    Transmit(fd, c, std::vector<std::int32_t>(std::size_t(streams), bytes));
    for (int s = 0; s < streams; ++s) SendStream(fd, s, bytes, full, block);
  }
  FilmFinish(fd);
}

double FilmThroughput(const TFilmTarget& target, const std::string& game, int sections,
                      std::int32_t sectionBytes, std::int32_t block) {
  int fd = FilmLogin(target, game);
  TBlockMessage full(block);
  std::int64_t start = NowNs();
  for (int c = 0; c < sections; ++c) {
    Transmit(fd, c, {sectionBytes});
    SendStream(fd, 0, sectionBytes, full, block);
  }
  FilmFinish(fd);
  double seconds = double(NowNs() - start) / 1e9;
  return double(sections) * sectionBytes / 1e6 / seconds;
}

double PlainCopy(const std::string& dir, std::int64_t bytes, std::int32_t block) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (listener >= 0) close(listener);
    throw std::runtime_error("plain copy: cannot listen: " + std::string(std::strerror(errno)));
  }
  std::int64_t start = NowNs();
  std::thread sender([port = ntohs(addr.sin_port), bytes, block] {
    int fd = ConnectBlocking(port);
    std::vector<char> data(std::size_t(block), 'z');
    for (std::int64_t left = bytes; left > 0; left -= block) {
      SendAll(fd, data.data(), std::size_t(std::min<std::int64_t>(left, block)));
    }
    close(fd);
  });
  int peer = accept(listener, nullptr, nullptr);
  close(listener);
  std::string path = dir + "/plain-copy.bin";
  int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<char> buf(1 << 16);
  ssize_t n = 0;
  std::int64_t got = 0;
  while (peer >= 0 && file >= 0 && (n = recv(peer, buf.data(), buf.size(), 0)) > 0) {
    if (write(file, buf.data(), std::size_t(n)) != n) break;
    got += n;
  }
  if (file >= 0) close(file);
  if (peer >= 0) close(peer);
  sender.join();
  double seconds = double(NowNs() - start) / 1e9;
  unlink(path.c_str());
  if (got != bytes) throw std::runtime_error("plain copy: short transfer");
  return double(bytes) / 1e6 / seconds;
}

double SectionSetups(const TFilmTarget& target, const std::string& game, double seconds,
                     int maxCount, bool nagle) {
  int fd = FilmLogin(target, game);
  const int noDelay = nagle ? 0 : 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  constexpr std::int32_t Small = 64;
  TBlockMessage data(Small);
  std::int64_t start = NowNs();
  std::int64_t end = start + std::int64_t(seconds * 1e9);
  int count = 0;
  for (; count < maxCount && NowNs() < end; ++count) {
    Transmit(fd, count, {Small, Small});
    for (int s = 0; s < 2; ++s) {
      data.Send(fd, s);
      SendEnd(fd, s);
    }
  }
  double elapsed = double(NowNs() - start) / 1e9;
  FilmFinish(fd);
  return count / elapsed;
}

TLiveFilmer::TLiveFilmer(const TFilmTarget& target, const std::string& game,
                         std::int32_t ratePerStream, TLiveClock& clock)
    : FFd(FilmLogin(target, game)), FBlock(std::max(1, ratePerStream / 10)), FClock(clock) {
  FClock.blockBytes = FBlock;
  FClock.sectionBytes = std::int64_t(FBlock) * MaxLiveBlocks;
}

TLiveFilmer::~TLiveFilmer() {
  Stop();
  close(FFd);
}

void TLiveFilmer::Start() {
  if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
}

std::string TLiveFilmer::Stop() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
  return FError;
}

void TLiveFilmer::Run() {
  try {
    auto size = std::int32_t(FClock.sectionBytes.load());
    Transmit(FFd, 0, {size, size});
    TBlockMessage block(FBlock);
    std::int64_t next = NowNs();
    for (int b = 0; b < MaxLiveBlocks && !FStop; ++b) {
      SleepUntil(next);
      for (int s = 0; s < LiveStreams; ++s) {
        FClock.sent[s][b] = NowNs();
        block.Send(FFd, s);
      }
      next += 100000000;
    }
  } catch (const std::exception& e) {
    FError = e.what();
  }
}

}  // namespace bench

// The filmer's side of the load: storing a finished game, upload throughput against a plain
// socket-to-file copy, section set-ups a second, and a live filmer that notes when it sent
// each block so viewers can measure how late the bytes reach them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Where a film session goes and how it authenticates.
struct TFilmTarget {
  int port = 28200;
  std::string password;
};

// An authenticated film session for a new game; raises std::runtime_error on a refusal.
int FilmLogin(const TFilmTarget& target, const std::string& game);
// Sends COMPLETED and waits until the server has closed the connection, which it does only
// after everything sent before has been stored.
void FilmFinish(int fd);

// TRANSMIT for Section with Sizes' streams (stream 0 Demo with its header record, others
// Audio); returns after the server's reply.
void Transmit(int fd, int section, const std::vector<std::int32_t>& sizes);
// One BLOCK message of Stream carrying Data.
void SendBlock(int fd, int stream, const std::string& data);
// The end marker of Stream.
void SendEnd(int fd, int stream);

// Uploads a finished game: Sections sections of Streams streams (stream 0 Demo, the others
// Audio), each of Bytes bytes, in blocks of Block bytes.
void StoreGame(const TFilmTarget& target, const std::string& game, int sections, int streams,
               std::int32_t bytes, std::int32_t block);

// Megabytes (10^6 bytes) a second of one upload of one-stream sections.
double FilmThroughput(const TFilmTarget& target, const std::string& game, int sections,
                      std::int32_t sectionBytes, std::int32_t block);
// Megabytes a second of the same bytes sent over a loopback socket and written to a file in
// Dir by a plain reader: what the machine can do without the server.
double PlainCopy(const std::string& dir, std::int64_t bytes, std::int32_t block);
// Two-stream section set-ups (TRANSMIT, its reply, a small block and the end marker per
// stream) a second, for Seconds or at most MaxCount set-ups. Nagle: the filmer keeps the
// socket's default (Nagle's algorithm, as most game clients do) instead of TCP_NODELAY.
double SectionSetups(const TFilmTarget& target, const std::string& game, double seconds,
                     int maxCount, bool nagle);

// Per stream, the send time (NowNs) of every fixed-size block of a live section.
inline constexpr int LiveStreams = 2;
inline constexpr int MaxLiveBlocks = 1 << 16;
struct TLiveClock {
  std::atomic<std::int64_t> blockBytes{0};
  std::atomic<std::int64_t> sectionBytes{0};
  std::atomic<std::int64_t> sent[LiveStreams][MaxLiveBlocks];
};

// Films one two-stream section at RatePerStream bytes a second in ten blocks a second, from
// Start() until Stop().
class TLiveFilmer {
 public:
  // Logs in (creating Game) at once, so viewers can request it before filming starts.
  TLiveFilmer(const TFilmTarget& target, const std::string& game, std::int32_t ratePerStream,
              TLiveClock& clock);
  ~TLiveFilmer();
  void Start();
  // Stops filming; the error that ended it early, or empty.
  std::string Stop();

 private:
  void Run();

  int FFd;
  std::int32_t FBlock;
  TLiveClock& FClock;
  std::atomic<bool> FStop{false};
  std::string FError;  // written by the thread, read after join
  std::thread FThread;
};

}  // namespace bench

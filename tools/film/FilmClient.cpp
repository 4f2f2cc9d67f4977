#include "tools/film/FilmClient.h"

#include "common/Protocol.h"

namespace tools {

void TFilmClient::Open(const std::string& password, bool resume, const std::string& game) {
  FClient.Greet("zarnel-film", FilmProtocol, "film");
  FClient.Connection().WriteLn("AUTH\t" + password + "\t" + (resume ? "RESUME" : "NEW") + "\t" +
                               game);
  FClient.ExpectOk();
}

std::vector<std::int32_t> TFilmClient::Transmit(const TSourceSection& section) {
  auto& connection = FClient.Connection();
  connection.WriteLn("TRANSMIT\t" + std::to_string(section.Streams.size()) + "\t" +
                     std::to_string(section.Number));
  for (const auto& stream : section.Streams) {
    connection.WriteInteger(stream.Type);
    connection.WriteInteger(stream.Size);
    connection.WriteInteger(stream.Block);
  }
  std::vector<std::int32_t> lengths;
  for (std::size_t i = 0; i < section.Streams.size(); ++i)
    lengths.push_back(connection.ReadInteger());
  return lengths;
}

void TFilmClient::SendBlock(std::int32_t stream, const char* data, std::int32_t length) {
  auto& connection = FClient.Connection();
  connection.WriteLn("BLOCK");
  connection.WriteInteger(stream);
  connection.WriteInteger(FilmBlockData);
  connection.WriteInteger(length);
  connection.WriteBuffer(data, static_cast<std::size_t>(length));
}

void TFilmClient::EndStream(std::int32_t stream) {
  auto& connection = FClient.Connection();
  connection.WriteLn("BLOCK");
  connection.WriteInteger(stream);
  connection.WriteInteger(FilmBlockEnd);
}

void TFilmClient::Complete() {
  auto& connection = FClient.Connection();
  { connection.WriteLn("COMPLETED"); }
  // The server answers with nothing but its close, once the game is marked complete.
  try {
    for (;;) connection.ReadLn();
  } catch (const EIdConnClosedGracefully&) {
  }
}

}  // namespace tools

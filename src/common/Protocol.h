// What the server and its clients agree on, port by port: protocol numbers, greetings,
// refusal texts and the integer codes of the binary phases.
#pragma once

#include <cstdint>
#include <string>

#include "common/UnitZarnelGlobal.h"

inline constexpr std::int32_t FilmProtocol = 2016;
inline constexpr std::int32_t ViewProtocol = 1016;
// Most streams one section carries.
inline constexpr int MaxStreams = 3;

// The first line a film or view client receives: the server version and the protocol number.
inline std::string Greeting(std::int32_t protocol) {
  return std::string(ServerVersion) + "\t" + std::to_string(protocol);
}
// What the server logs when a client speaks another protocol.
inline std::string ProtocolNeeded(std::int32_t protocol) {
  return "Invalid protocol need " + std::to_string(protocol);
}
// The refusal line a client of another protocol receives.
inline std::string ProtocolRefusal(std::int32_t protocol) {
  return "FAIL\t" + ProtocolNeeded(protocol) + " Get latest client at " + WebAddress;
}

// Film BLOCK kinds.
inline constexpr std::int32_t FilmBlockData = 0;
inline constexpr std::int32_t FilmBlockEnd = 1;

// View stream, while the sender waits for a section: these, or a stream count 1 to MaxStreams.
inline constexpr std::int32_t ViewUnavailable = -2;
inline constexpr std::int32_t ViewGameComplete = -1;
inline constexpr std::int32_t ViewKeepAlive = 0;
// View stream, while a section is sent: a slot followed by a kind, or this in place of a slot.
inline constexpr std::int32_t ViewSendKeepAlive = -1;
inline constexpr std::int32_t ViewKindData = 0;
inline constexpr std::int32_t ViewKindComplete = 1;

// Relay command codes, sent by the downstream and answered by the relay port.
enum TRelayCommand : std::int32_t {
  rcAuthorize = 0,
  rcGameList = 1,
  rcGameInfo = 2,
  rcAddSection = 3,
  rcSendBlocks = 4,
  rcSectionStatus = 5,
};

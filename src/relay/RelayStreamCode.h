// What a relayed stream record's block-start value carries between two servers of this version.
#pragma once

#include <cstdint>

// The block-start integer of a stream record, bit by bit:
//   0-19  header length of the stream in this section (`block`), 0 to 1,048,575
//   20-27 stream type (`types`), 0 = Demo, 1 = Audio (OGG)
//   28-29 number of streams the section was set up with, 0 to 3
//   30    final: the stream's section is complete and this record carries its last byte
//   31    always 0
// The section-size integer beside it is the announced size (`size`) unchanged.
struct TRelayStreamCode {
  static constexpr std::int32_t MaxHeaderLength = (1 << 20) - 1;

  std::int32_t HeaderLength = 0;
  std::uint8_t Type = 0;
  int StreamCount = 0;
  bool Final = false;

  // False when the header length does not fit the field.
  static bool Fits(std::int32_t headerLength) {
    return headerLength >= 0 && headerLength <= MaxHeaderLength;
  }
  std::int32_t Pack() const {
    return (HeaderLength & MaxHeaderLength) | std::int32_t{Type} << 20 | (StreamCount & 3) << 28 |
           (Final ? 1 << 30 : 0);
  }
  static TRelayStreamCode Unpack(std::int32_t value) {
    TRelayStreamCode code;
    code.HeaderLength = value & MaxHeaderLength;
    code.Type = static_cast<std::uint8_t>(value >> 20 & 0xFF);
    code.StreamCount = value >> 28 & 3;
    code.Final = (value >> 30 & 1) != 0;
    return code;
  }
};

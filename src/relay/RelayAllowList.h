// The addresses a relay server lets relay from: IPv4 and IPv6 addresses and CIDR blocks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class TRelayAllowList {
 public:
  // Parses a comma-separated list ("10.0.0.5, 192.168.0.0/16, 2001:db8::/32, ::1"); blanks
  // around entries are ignored. Entries that are not an address or block go to Rejected, in
  // order. An IPv4 entry also matches its IPv4-mapped IPv6 form, and the other way round.
  explicit TRelayAllowList(const std::string& list);
  // Whether Address (IPv4 dotted decimal or IPv6 text) lies in one of the entries; false for
  // anything else.
  bool Allows(const std::string& address) const;
  const std::vector<std::string>& Rejected() const { return FRejected; }

 private:
  // Addresses are kept as IPv6, IPv4 ones mapped (::ffff:a.b.c.d).
  using TAddress = std::array<std::uint8_t, 16>;
  struct TBlock {
    TAddress Network;  // masked
    int Prefix;        // leading bits that must match, 0 to 128
  };
  static bool Matches(const TBlock& block, const TAddress& address);
  std::vector<TBlock> FBlocks;
  std::vector<std::string> FRejected;
};

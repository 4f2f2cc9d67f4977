// The addresses a relay server lets relay from: IPv4 addresses and CIDR blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TRelayAllowList {
 public:
  // Parses a comma-separated list ("10.0.0.5, 192.168.0.0/16"); blanks around entries are
  // ignored. Entries that are not an IPv4 address or block go to Rejected, in order.
  explicit TRelayAllowList(const std::string& list);
  // Whether the dotted-decimal Address lies in one of the entries; false for anything else.
  bool Allows(const std::string& address) const;
  const std::vector<std::string>& Rejected() const { return FRejected; }

 private:
  struct TBlock {
    std::uint32_t Network;
    std::uint32_t Mask;
  };
  std::vector<TBlock> FBlocks;
  std::vector<std::string> FRejected;
};

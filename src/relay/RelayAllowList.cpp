#include "relay/RelayAllowList.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string Trim(const std::string& text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

// An IPv4 dotted quad, as an IPv4-mapped address, or an IPv6 address; false for anything else.
// Mapped also says whether it was IPv4.
bool ParseAddress(const std::string& text, std::array<std::uint8_t, 16>& address, bool& mapped) {
  in_addr v4{};
  in6_addr v6{};
  mapped = inet_pton(AF_INET, text.c_str(), &v4) == 1;
  if (mapped) {
    address.fill(0);
    address[10] = address[11] = 0xff;
    std::memcpy(&address[12], &v4, 4);
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  std::memcpy(address.data(), &v6, 16);
  return true;
}

// 0 to Most in decimal digits only.
bool ParsePrefix(const std::string& text, int most, int& prefix) {
  if (text.empty() || text.size() > std::to_string(most).size()) return false;
  if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return false;
  prefix = std::stoi(text);
  return prefix <= most;
}

// Address with every bit after the first Prefix cleared.
std::array<std::uint8_t, 16> Masked(std::array<std::uint8_t, 16> address, int prefix) {
  for (int i = 0; i < 16; ++i) {
    const int keep = std::clamp(prefix - 8 * i, 0, 8);
    address[i] &= static_cast<std::uint8_t>(0xff00 >> keep);
  }
  return address;
}

}  // namespace

TRelayAllowList::TRelayAllowList(const std::string& list) {
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    const std::string entry = Trim(list.substr(start, comma - start));
    start = comma + 1;
    if (entry.empty()) continue;
    const std::size_t slash = entry.find('/');
    TAddress address{};
    bool mapped = false;
    int prefix = 128;
    if (!ParseAddress(entry.substr(0, slash), address, mapped) ||
        (slash != std::string::npos &&
         !ParsePrefix(entry.substr(slash + 1), mapped ? 32 : 128, prefix))) {
      FRejected.push_back(entry);
      continue;
    }
    if (mapped && slash != std::string::npos) prefix += 96;
    FBlocks.push_back({Masked(address, prefix), prefix});
  }
}

bool TRelayAllowList::Matches(const TBlock& block, const TAddress& address) {
  return Masked(address, block.Prefix) == block.Network;
}

bool TRelayAllowList::Allows(const std::string& address) const {
  TAddress value{};
  bool mapped = false;
  if (!ParseAddress(address, value, mapped)) return false;
  return std::any_of(FBlocks.begin(), FBlocks.end(),
                     [&](const TBlock& b) { return Matches(b, value); });
}

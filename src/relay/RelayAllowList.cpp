#include "relay/RelayAllowList.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace {

std::string Trim(const std::string& text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

// Host-order address of a strict dotted quad; false for anything else.
bool ParseAddress(const std::string& text, std::uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = ntohl(parsed.s_addr);
  return true;
}

// 0 to 32 in decimal digits only.
bool ParsePrefix(const std::string& text, int& prefix) {
  if (text.empty() || text.size() > 2) return false;
  if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return false;
  prefix = std::stoi(text);
  return prefix <= 32;
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
    std::uint32_t address = 0;
    int prefix = 32;
    if (!ParseAddress(entry.substr(0, slash), address) ||
        (slash != std::string::npos && !ParsePrefix(entry.substr(slash + 1), prefix))) {
      FRejected.push_back(entry);
      continue;
    }
    const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    FBlocks.push_back({address & mask, mask});
  }
}

bool TRelayAllowList::Allows(const std::string& address) const {
  std::uint32_t value = 0;
  if (!ParseAddress(address, value)) return false;
  return std::any_of(FBlocks.begin(), FBlocks.end(),
                     [&](const TBlock& b) { return (value & b.Mask) == b.Network; });
}
